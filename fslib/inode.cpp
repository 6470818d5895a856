// Inodes: where an inode lies on the device, its conversion, its owner,
// and the status record built from it.  The inode block read last is kept,
// so the inodes of one block cost one device read.
#include <cstdint>
#include <cstring>

#include "fslib/bswap.h"
#include "fslib/fslib.h"
#include "fslib/internal.h"
#include "fslib/log.h"
#include "fslib/platform.h"

namespace {

constexpr int INODE_SIZE = sizeof(dinode);

// Fragment address of the inode block holding `ino`, exact; -1 when it
// cannot be formed.  The mount has made sure the divisors are non-zero
// and the shift is small.
int64_t inode_frag(const fs_super* sb, uint32_t ino)
{
    auto ipg = static_cast<uint32_t>(sb->fs_ipg);
    auto inopb = static_cast<uint32_t>(sb->fs_inopb);
    uint32_t cg = ino / ipg;
    int64_t base = int64_t{sb->fs_fpg} * cg;
    int64_t shift = int64_t{sb->fs_cgoffset} * (cg & ~static_cast<uint32_t>(sb->fs_cgmask));
    int64_t inside = int64_t{sb->fs_iblkno} + (int64_t{(ino % ipg) / inopb} << sb->fs_fragshift);
    int64_t frag;
    if (__builtin_add_overflow(base, shift, &frag) || __builtin_add_overflow(frag, inside, &frag))
        return -1;
    return frag;
}

// Brings the block holding inode `ino` into the file system's cache;
// `*at` receives the inode's offset inside it.  Returns FSE_OK or the
// failure, after which no block is held.
int load_inode_block(fsys* fs, uint32_t ino, uint32_t* at)
{
    auto bsize = static_cast<uint32_t>(fs->sb->fs_bsize);
    uint64_t within = uint64_t{ino % static_cast<uint32_t>(fs->sb->fs_inopb)} * INODE_SIZE;
    uint64_t from = within + INODE_SIZE <= bsize ? 0 : within & ~uint64_t{SECTOR_SIZE - 1};
    int64_t frag = inode_frag(fs->sb, ino);
    int64_t offset = frag < 0 ? -1 : fsl::frag_offset(fs, frag, static_cast<int64_t>(from));
    *at = static_cast<uint32_t>(within - from);
    fs_cache* c = fs->cache;
    if (offset < 0 || c->iblock_at != offset) {
        c->iblock_at = -1;
        c->iblock_lost = 0;
        uint32_t got;
        fsl::sector_list failed;
        int rc = fsl::dev_read(fs->handle, offset, c->iblock, bsize, &got, &failed);
        if (rc == FSE_OK && got != bsize)
            rc = FSE_READ;
        if (rc == FSE_READ && !failed.empty() && got == bsize) {
            // The block is kept with its lost sectors marked: an inode in
            // any other sector of it still reads.
            for (uint64_t s : failed)
                c->iblock_lost |= uint32_t{1} << (s - fsl::first_sector(offset));
            rc = FSE_OK;
        }
        if (rc != FSE_OK)
            return rc;
        fsl::log_overlay(fs, offset, c->iblock, bsize);
        c->iblock_at = offset;
    }
    // An inode never crosses a sector: 128 bytes, 128-byte aligned.
    return c->iblock_lost & (uint32_t{1} << (*at / SECTOR_SIZE)) ? FSE_READ : FSE_OK;
}

}  // namespace

namespace fsl {

int inode_read(fsys* fs, uint32_t ino, dinode* out)
{
    uint32_t at;
    int rc = load_inode_block(fs, ino, &at);
    if (rc != FSE_OK)
        return rc;
    std::memcpy(out, fs->cache->iblock + at, INODE_SIZE);
    return inode_swap(out, fs->swap);
}

}  // namespace fsl

int fs_iget(fsys* fs, uint32_t ino, uint8_t* buffer, dinode** inode_ptr)
{
    uint32_t at;
    int rc = load_inode_block(fs, ino, &at);
    if (rc != FSE_OK) {
        fs_errno = rc;
        return rc == FSE_SEEK ? 1 : 2;
    }
    if (*inode_ptr == nullptr) {
        uint32_t sector = at & ~uint32_t{SECTOR_SIZE - 1};
        std::memcpy(buffer, fs->cache->iblock + sector, SECTOR_SIZE);
        *inode_ptr = reinterpret_cast<dinode*>(buffer + (at - sector));
    } else {
        std::memcpy(*inode_ptr, fs->cache->iblock + at, INODE_SIZE);
    }
    inode_swap(*inode_ptr, fs->swap);
    return 0;
}

int inode_swap(dinode* ip) { return inode_swap(ip, true); }

int inode_swap(dinode* ip, bool swap)
{
    using fsl::swap_field;
    if (!swap)
        return FSE_OK;
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
    swap_field(ip->di_uid44_or_shadow);
    swap_field(ip->di_gid44_or_uid);
    swap_field(ip->di_gid_or_spare);
    swap_field(ip->di_xattr_or_spare);
    return FSE_OK;
}

namespace fsl {

// An older-format id: the 16-bit word, or, when it is OWNER_WIDE, the whole
// word that a system with wider ids keeps beside it.  Systems that never
// wrote that word left it 0, and so the marker is a real 65535 whenever the
// word could not hold a wider id.
static uint32_t older_id(uint16_t narrow, uint32_t whole)
{
    return narrow == OWNER_WIDE && whole > 0xFFFF ? whole : narrow;
}

void inode_owner(const fs_super* sb, const dinode* ip, uint32_t* uid, uint32_t* gid)
{
    if (sb != nullptr && sb->fs_inodefmt == FS_INODEFMT_NEW) {
        *uid = ip->di_uid44_or_shadow;
        *gid = ip->di_gid44_or_uid;
        return;
    }
    // Byte 112 here is the shadow inode: the whole owner lies at 116.
    *uid = older_id(ip->di_uid, ip->di_gid44_or_uid);
    *gid = older_id(ip->di_gid, ip->di_gid_or_spare);
}

}  // namespace fsl

uint32_t fs_home(const fsys* fs)
{
    return fs != nullptr ? fsl::dev_home(fs->handle) : 0;
}

int fs_istat(uint32_t ino, fs_statrec* st)
{
    fsys* fs;
    dinode inode;
    const dinode* ip = &inode;
    int rc = fsl::current_fs(&fs);
    if (rc == FSE_OK)
        rc = fsl::inode_read(fs, ino, &inode);
    if (rc != FSE_OK) {
        fs_errno = rc;
        return -1;
    }
    st->st_mode = ip->di_mode;
    st->st_ino = ino;
    uint16_t type = ip->di_mode & IFMT;
    st->st_rdev = type == IFCHR || type == IFBLK ? ip->di_db[0] : 0;
    st->st_nlink = ip->di_nlink;
    fsl::inode_owner(fs->sb, ip, &st->st_uid, &st->st_gid);
    st->st_size = ip->di_size;
    st->st_atime = ip->di_atime;
    st->st_mtime = ip->di_mtime;
    st->st_ctime = ip->di_ctime;
    return 0;
}

void fs_devnum(uint32_t rdev, uint32_t* major, uint32_t* minor)
{
    const fsys* fs = fs_getfs();
    if (fs != nullptr && fs->sb->fs_inodefmt == FS_INODEFMT_NEW) {
        *major = (rdev >> 8) & 0xfff;
        *minor = (rdev & 0xff) | ((rdev >> 12) & 0xfff00);
    } else if (rdev > 0xffff) {
        *major = rdev >> 18;
        *minor = rdev & 0x3ffff;
    } else {
        *major = (rdev >> 8) & 0xff;
        *minor = rdev & 0xff;
    }
}

bool fs_inode_logged(uint32_t ino)
{
    fsys* fs = fs_getfs();
    if (!fs || fs->sb->fs_ipg <= 0)
        return false;
    int64_t frag = inode_frag(fs->sb, ino);
    uint64_t within = uint64_t{ino % static_cast<uint32_t>(fs->sb->fs_inopb)} * INODE_SIZE;
    int64_t at = frag < 0 ? -1 : fsl::frag_offset(fs, frag, static_cast<int64_t>(within));
    return at >= 0 && fsl::log_touches(fs, at, INODE_SIZE);
}
