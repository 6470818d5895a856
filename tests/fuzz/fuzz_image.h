// What the fuzz targets share: the input put on a memory file and opened
// through the library's own device layer, the first partition that mounts,
// and a bounded walk of the mounted tree by inode numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fslib/fslib.h"

namespace fuzz {

// Bounds that keep one input to milliseconds whatever its metadata claims.
inline constexpr size_t MAX_NODES = 2000;          // directory entries walked
inline constexpr size_t MAX_PATH = 900;            // longer paths are not built
inline constexpr uint32_t READ_PER_FILE = 1u << 20;
inline constexpr uint64_t READ_TOTAL = 8u << 20;

// The input bytes as a disk: written to one memory file per process (the
// label checksum made right, so that mutations get past the label) and
// opened by disk_open through /proc/self/fd/N.  null when the label is
// refused anyway.  The disk is closed on destruction.
class MemDisk {
public:
    MemDisk(const uint8_t* data, size_t size);
    ~MemDisk();
    MemDisk(const MemDisk&) = delete;
    MemDisk& operator=(const MemDisk&) = delete;
    disk* get() const { return d_; }

private:
    disk* d_ = nullptr;
};

// Mounts the first of partitions 0..7 that mounts (any partition allowed);
// null when none does.
fsys* mount_first(disk* d);

// Puts the input on a disk, mounts its first file system, runs `work` on it
// and unmounts it; does nothing when no file system mounts.
template <class Work>
void on_mounted(const uint8_t* data, size_t size, Work work)
{
    MemDisk disk(data, size);
    if (disk.get() == nullptr)
        return;
    fsys* fs = mount_first(disk.get());
    if (fs == nullptr)
        return;
    work();
    fs_umount(fs);
}

// One directory entry met on the walk.
struct Node {
    uint32_t ino = 0;
    uint16_t mode = 0;
    int64_t size = 0;
    std::string path;   // empty when it would pass MAX_PATH
};

struct Walk {
    std::vector<Node> nodes;   // the root first, then entries as met
    bool complete = true;      // false: a bound cut the walk short
};

// Lists the mounted tree from the root by inode numbers, entering each
// directory inode once, at most MAX_NODES entries; "." and ".." skipped.
Walk walk_tree();

// Reads file `ino` up to `limit` bytes; returns the bytes read.
uint32_t read_file(uint32_t ino, uint32_t limit);

// /dev/null opened once, for the dumps.
FILE* null_out();

}  // namespace fuzz
