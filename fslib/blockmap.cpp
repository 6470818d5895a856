// The two rules every block read follows: where a fragment address lies
// on the device, and how many bytes a logical block of a file holds.
#include <cstring>

#include "fslib/fslib.h"
#include "fslib/internal.h"

namespace fsl {

int32_t frag_offset(const fsys* fs, uint32_t addr)
{
    // Computed whole: an address whose offset passes 4 GiB must not wrap
    // round to the start of the device and read something else there.
    uint64_t at = (uint64_t{addr} << fs->sb->fs_fsbtodb) * 512u + part_start_exact(fs->label, fs->part);
    return at < DEV_LIMIT ? static_cast<int32_t>(at) : -1;
}

int32_t block_count(const fs_super* sb, int32_t size, int32_t lbn, int32_t pos)
{
    int64_t count;
    if (lbn < NDADDR && size < (static_cast<int64_t>(lbn) + 1) << sb->fs_bshift) {
        // the file's bytes in this block, rounded up to whole fragments
        int64_t tail = size & (sb->fs_bsize - 1);
        count = (tail + sb->fs_fsize - 1) & sb->fs_fmask;
    } else {
        count = sb->fs_bsize;
    }
    int64_t left = static_cast<int64_t>(size) - pos;
    if (count >= left)
        count = left;
    if (count < 0)
        count = 0;   // never a negative length towards a read
    return static_cast<int32_t>(count);
}

bool record_ok(const direct* rec, uint32_t avail)
{
    uint32_t len = rec->d_reclen;
    if (len < DIRHDR + 4 || len % 4 != 0 || len > avail)
        return false;
    if (rec->d_ino == 0)
        return true;   // an empty record's name is never looked at
    const char* name = reinterpret_cast<const char*>(rec) + DIRHDR;
    return std::memchr(name, '\0', len - DIRHDR) != nullptr;
}

}  // namespace fsl
