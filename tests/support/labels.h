// Disks in every label kind of the Sun family, made by independent tools
// (makefs, sfdisk) and the builder's x86 and OpenBSD label writers, each
// holding `srcdir` in the file system the test opens.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace testimg {

enum class LabelKind {
    gpt,          // sfdisk GPT, Solaris types: root (big-endian), usr (little), home (big),
                  // swap; and UFS2 under a Linux type
    gpt_backup,   // the same with the primary header zeroed
    x86,          // sfdisk fdisk partition 0xbf holding an x86 label; little-endian slice 0
    le_bare,      // makefs -B le, no label at all
    obsd,         // sfdisk Sun label with OpenBSD's slots: the tree in j, a replica in
                  // k, and in l the first half of j as a stripe's part
};

struct LabelDisk {
    std::string path;
    std::string part;                // -p's word; empty: the disk's only file system
    uint64_t start = 0;              // the opened file system's first sector
    std::string summary;             // what `sunufs disk` writes
    std::vector<std::string> scan;   // `sunufs -s disk`: each line up to its first comma
    // Where TSK's mmls reads the layout: its command, and the opened file
    // system's start in the sectors it counts.
    std::vector<std::string> mmls;
    uint64_t mmls_start = 0;
    // Partitions that do not open: -p's word and what sunufs says.
    std::vector<std::pair<std::string, std::string>> refused;
};

// Makes the disk of kind `k` at `image`.  Throws std::runtime_error when a
// tool fails.
LabelDisk label_disk(LabelKind k, const std::string& srcdir, const std::string& image);

// Every entry that TSK's fls lists in the UFS1 file system at sector
// `offset` is in `host` with icat's bytes, and nothing else is.
void expect_tsk_tree(const std::string& image, uint64_t offset, const std::string& host);

}  // namespace testimg
