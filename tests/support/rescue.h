// Fixtures of the rescue tests: a disk made by makefs + sfdisk with two
// file systems, backup labels where Sun systems write them, and the
// damage done to labels and superblocks by patching sectors in place.
#pragma once

#include <cstdint>
#include <string>

#include "support/images.h"

namespace testimg {

// A disk of 12 cylinders (255 heads, 63 sectors) labelled by sfdisk with
// two copies of one makefs file system (4096-byte blocks, 512-byte
// fragments, three cylinder groups): partition 0 from cylinder 1,
// partition 4 from cylinder 7, partition 2 the whole disk.  `srcdir` is
// the tree put in the file systems.
struct TwoFsDisk {
    std::string path;
    uint64_t start[2] = {0, 0};   // sectors of partitions 0 and 4
    uint64_t fs_sectors = 0;
};
TwoFsDisk two_fs_disk(const std::string& srcdir, const std::string& image);

// Writes `bytes` at byte `at` of the file, which keeps its length.
void patch(const std::string& path, uint64_t at, const std::string& bytes);
std::string peek(const std::string& path, uint64_t at, size_t count);

// Copies sector 0 to the backup places its own geometry gives: sectors 1,
// 3, 5, 7 and 9 of the last track of cylinder ncyl + acyl - 1 (of track
// `head` of that cylinder, when given, as some older drives have them).
// Returns the first of them.
uint64_t write_backup_labels(const std::string& path, int head = -1);

}  // namespace testimg
