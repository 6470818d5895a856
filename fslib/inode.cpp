// Inodes: where an inode lies on the device, its conversion, and the
// status record built from it.  Nothing is cached: every request reads.
#include <cstdint>
#include <cstring>

#include "fslib/bswap.h"
#include "fslib/fslib.h"
#include "fslib/internal.h"
#include "fslib/platform.h"

namespace {

constexpr int INODE_SIZE = 128;

// Device byte offset of inode `ino`, before alignment.  Unsigned 32-bit
// throughout; the mount has made sure the divisors are non-zero and the
// shift is small.
uint32_t inode_offset(const fsys* fs, uint32_t ino)
{
    const fs_super* sb = fs->sb;
    uint32_t ipg = static_cast<uint32_t>(sb->fs_ipg);
    uint32_t inopb = static_cast<uint32_t>(sb->fs_inopb);
    uint32_t cg = ino / ipg;
    uint32_t frag = static_cast<uint32_t>(sb->fs_fpg) * cg
                  + static_cast<uint32_t>(sb->fs_cgoffset) * (cg & ~static_cast<uint32_t>(sb->fs_cgmask))
                  + static_cast<uint32_t>(sb->fs_iblkno)
                  + (((ino % ipg) / inopb) << sb->fs_fragshift);
    return (ino % inopb) * INODE_SIZE
         + frag * static_cast<uint32_t>(sb->fs_fsize)
         + static_cast<uint32_t>(fsl::part_start_bytes(fs->label, fs->part));
}

}  // namespace

int fs_iget(fsys* fs, uint32_t ino, uint8_t* buffer, dinode** inode_ptr)
{
    auto offset = static_cast<int32_t>(inode_offset(fs, ino));
    int32_t r = offset % 512;   // signed: a negative offset fails the seek
    offset -= r;
    if (!fsl::dev_seek(fs->handle, offset)) {
        fs_errno = FSE_SEEK;
        return 1;
    }
    // The caller's 128-byte place may lie inside the buffer (path lookup
    // keeps its inode there); a short read must not leave it half
    // overwritten, so keep a copy until the read is known to be good.
    auto* place = reinterpret_cast<uint8_t*>(*inode_ptr);
    auto at = reinterpret_cast<uintptr_t>(place);
    auto lo = reinterpret_cast<uintptr_t>(buffer);
    bool inside = place && at + INODE_SIZE > lo && at < lo + IBUFSIZE;
    uint8_t saved[INODE_SIZE];
    if (inside)
        std::memcpy(saved, place, INODE_SIZE);
    if (fsl::dev_read(fs->handle, buffer, IBUFSIZE) != IBUFSIZE) {
        if (inside)
            std::memcpy(place, saved, INODE_SIZE);
        fs_errno = FSE_READ;
        return 2;
    }
    if (*inode_ptr == nullptr)
        *inode_ptr = reinterpret_cast<dinode*>(buffer + r);
    else
        std::memmove(*inode_ptr, buffer + r, INODE_SIZE);   // may overlap
    return inode_swap(*inode_ptr);
}

int inode_swap(dinode* ip)
{
    using fsl::swap_field;
    swap_field(ip->di_mode);
    swap_field(ip->di_nlink);
    swap_field(ip->di_uid);
    swap_field(ip->di_gid);
    swap_field(ip->di_size);
    swap_field(ip->di_atime);
    swap_field(ip->di_atspare);
    swap_field(ip->di_mtime);
    swap_field(ip->di_mtspare);
    swap_field(ip->di_ctime);
    swap_field(ip->di_ctspare);
    for (uint32_t& a : ip->di_db)
        swap_field(a);
    for (uint32_t& a : ip->di_ib)
        swap_field(a);
    swap_field(ip->di_flags);
    swap_field(ip->di_blocks);
    swap_field(ip->di_gen);
    return 0;
}

int fs_istat(uint32_t ino, fs_statrec* st)
{
    fsys* fs = fs_getfs();
    if (!fs)
        return -1;
    alignas(8) uint8_t buffer[IBUFSIZE];
    dinode* ip = nullptr;
    if (fs_iget(fs, ino, buffer, &ip) != 0)
        return -1;
    st->st_mode = ip->di_mode;
    st->st_ino = static_cast<uint16_t>(ino);
    st->st_nlink = ip->di_nlink;
    st->st_uid = static_cast<int16_t>(ip->di_uid);
    st->st_gid = static_cast<int16_t>(ip->di_gid);
    st->st_size = ip->di_size;
    st->st_atime = ip->di_atime;
    st->st_mtime = ip->di_mtime;
    st->st_ctime = ip->di_ctime;
    return 0;
}
