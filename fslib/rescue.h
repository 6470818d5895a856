// Helpers of the way back in (backup labels, superblock copies, the disk
// scan), shared by the library's own files; not part of the public face.
#pragma once

#include <cstdint>

#include "fslib/bswap.h"
#include "fslib/fslib.h"

namespace fsl {

// Bytes of one large device read of the searches and the scan.
inline constexpr uint32_t BIG_READ = 1u << 20;
// Their buffers start on a page: the host copies into a page-aligned
// buffer several times faster.
inline constexpr size_t PAGE = 4096;

// disk_open's label decision when the caller chose the start (-o): true
// when it made the label, false when the label is to be read as usual.
bool forced_label(disk* d, const disk_choices* c);

// After sector 0 held no sound label (`status` says why): true when a sound
// backup label was found and put in d->label (host order).
bool backup_label(disk* d, int status);

// True when `raw` (512 bytes as on disk) has the label magic and a right
// checksum.
bool label_raw_ok(const uint8_t* raw);

// True when label `l` (host order), found at `sector`, is one of the
// backups its own geometry places there.
bool backup_placed(const dk_label* l, uint64_t sector);

// Converts `sb` to host order and checks it: magic (in either byte order,
// given in *swap when `swap` is not null) and a geometry that the library
// reads safely.
bool super_sound(fs_super* sb, bool* swap = nullptr);

// True when the 32-bit word at `p` is the UFS magic in either byte order.
inline bool ufs_magic_at(const uint8_t* p)
{
    return be32_at(p) == static_cast<uint32_t>(FS_MAGIC) || le32_at(p) == static_cast<uint32_t>(FS_MAGIC);
}

// True when the group numbers of `sb` bound every copy's place, so that
// the copy arithmetic below stays exact.
bool groups_ok(const fs_super* sb);

// Group of a superblock copy that lies `rel` bytes after the start of its
// file system by the copy's own geometry, or -1 when none lies there.
int64_t copy_group(const fs_super* sb, int64_t rel);

// Bytes from the start of a file system to the copy of group `c`.
int64_t copy_offset(const fs_super* sb, int64_t c);

// After the superblock of `fs` proved unusable (`status`): finds the first
// sound copy, puts it in fs->sb, notes it in *used and returns FSE_OK;
// else `status`.
int super_copy(fsys* fs, int status, fs_rescue* used);

}  // namespace fsl
