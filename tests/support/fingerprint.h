// Fingerprints of host files and trees, taken before and after a test, so
// that a test can show that something was left exactly as it was: the
// image a session read, or the folder around a copy's target.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace testimg {

// Hash of a file's bytes.  Holes are skipped (their places are part of the
// hash), so a large sparse image costs only its data.  0 when unreadable.
uint64_t hash_file(const std::string& path);

// Hash of a whole host tree under `root`, symbolic links not followed:
// every name with its type, permission bits, size, file bytes and link
// text.  What lies below `skip` (a name relative to root) is left out,
// though the name itself is not.
uint64_t hash_tree(const std::string& root, const std::string& skip = "");

// The hashes of those `paths` that name existing regular files.
using FileHashes = std::vector<std::pair<std::string, uint64_t>>;
FileHashes hash_files(const std::vector<std::string>& paths);

// Adds a test failure for each file in `before` whose bytes changed.
void expect_unchanged(const FileHashes& before);

}  // namespace testimg
