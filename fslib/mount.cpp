// Mounted file systems: the 16-slot mount table, the superblock read,
// its conversion and the geometry check, and the working-directory text.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "fslib/bswap.h"
#include "fslib/fslib.h"
#include "fslib/internal.h"
#include "fslib/labels.h"
#include "fslib/log.h"
#include "fslib/platform.h"
#include "fslib/rescue.h"

fsys* fs_current = nullptr;

namespace {

fsys fsys_table[NFSYS];

bool is_pow2(int32_t v) { return v > 0 && (v & (v - 1)) == 0; }

int log2_of(int32_t v)
{
    int s = 0;
    while (v > 1) {
        v >>= 1;
        ++s;
    }
    return s;
}

// Accepts exactly the geometries the rest of the library reads safely:
// 4096- or 8192-byte blocks (they fit the 8192-byte buffers), fragments a
// power of two from 512 up to the block size, the shifts and masks that go
// with those sizes, and non-zero divisors for the inode address.
bool geometry_ok(const fs_super* sb)
{
    int32_t bsize = sb->fs_bsize;
    int32_t fsize = sb->fs_fsize;
    if (bsize != 4096 && bsize != FF_BUFSIZE)
        return false;
    if (!is_pow2(fsize) || fsize < SECTOR_SIZE || fsize > bsize)
        return false;
    if (sb->fs_bshift != log2_of(bsize) || sb->fs_bmask != ~(bsize - 1))
        return false;
    if (sb->fs_fmask != ~(fsize - 1))
        return false;
    if (sb->fs_fsbtodb != log2_of(fsize / SECTOR_SIZE))
        return false;
    if (sb->fs_fragshift != log2_of(bsize / fsize))
        return false;
    return sb->fs_ipg != 0 && sb->fs_inopb != 0 && sb->fs_fpg != 0;
}

// The groups' layout against the partition that holds them: the groups
// cover the size and no more than one group past it, the size fits the
// partition, a group's maps fit its one block and its inodes fit the
// group.  Every table that follows the superblock's counts is then bounded
// by what the partition holds.
bool layout_ok(const fsys* fs)
{
    const fs_super* sb = fs->sb;
    auto part_sectors = static_cast<int64_t>(std::min<uint64_t>(fs->sectors, uint64_t{INT64_MAX} / SECTOR_SIZE));
    int64_t ncg = sb->fs_ncg, fpg = sb->fs_fpg, ipg = sb->fs_ipg, size = sb->fs_size;
    int64_t bits = int64_t{sb->fs_bsize} * 8;
    if (ncg <= 0 || size <= 0 || fpg <= 0 || ipg <= 0 || fpg > bits || ipg > bits)
        return false;
    if (ncg * fpg < size || (ncg - 1) * fpg >= size)
        return false;
    if (size * sb->fs_fsize > part_sectors * SECTOR_SIZE)
        return false;
    if (sb->fs_inopb != sb->fs_bsize / static_cast<int32_t>(sizeof(dinode)))
        return false;
    int64_t inode_frags = (ipg + sb->fs_inopb - 1) / sb->fs_inopb * (sb->fs_bsize / sb->fs_fsize);
    return inode_frags < fpg;
}

// Takes a free slot of the mount table with its buffers into *out;
// FSE_OK, or FSE_NFILE / FSE_NOMEM.
int take_slot(disk* d, int part, fsys** out)
{
    fsys* fs = fsl::first_free(fsys_table, [](const fsys& s) { return s.handle == FS_NOHANDLE; });
    if (!fs)
        return FSE_NFILE;
    auto* sb = static_cast<fs_super*>(std::malloc(sizeof(fs_super)));
    auto* cwd = static_cast<char*>(std::malloc(MAXPATHLEN_FS));
    if (!sb || !cwd) {
        std::free(sb);
        std::free(cwd);
        return FSE_NOMEM;
    }
    *fs = fsys{d->handle, d->label, part, sb, cwd, ROOT_INO, d->bare, nullptr};
    const disk_slot& slot = d->slots[part];
    fs->start = slot.start > uint64_t{INT64_MAX} / SECTOR_SIZE ? -1 : static_cast<int64_t>(slot.start * SECTOR_SIZE);
    fs->sectors = slot.sectors;
    std::strcpy(cwd, "/");
    *out = fs;
    return FSE_OK;
}

// Why a partition without a UFS1 superblock cannot be mounted: UFS2, a
// volume manager's replica, or no file system at all.
int no_super(const fsys* fs, const disk* d)
{
    if (fsl::ufs2_at(fs->handle, fs->start))
        return FSE_UFS2;
    if (slot_replica(d, fs->part))
        return FSE_REPLICA;
    return FSE_MAGIC;
}

// True when the file system claims more than its slot holds on a disk that
// a volume manager uses: the slot is the first part of a stripe or a
// concatenation, whose other parts lie on other disks.
bool volume_part(const fsys* fs, const disk* d)
{
    if (int64_t{fs->sb->fs_size} * fs->sb->fs_fsize / SECTOR_SIZE <= static_cast<int64_t>(fs->sectors))
        return false;
    for (int i = 0; i < d->nslots; i++) {
        if (slot_replica(d, i))
            return true;
    }
    return false;
}

// Reads, converts and checks the superblock; FSE_OK or the failure.
int load_super(fsys* fs, const disk* d)
{
    uint32_t got;
    int64_t where = fs->start;
    int rc = fsl::dev_load(fs->handle, where < 0 ? -1 : where + SBOFF, fs->sb, sizeof(fs_super), true, &got);
    if (rc != FSE_OK)
        return rc;
    rc = super_order(fs->sb, &fs->swap);
    if (rc != FSE_OK)
        return no_super(fs, d);
    super_swap(fs->sb, fs->swap);
    if (!geometry_ok(fs->sb))
        return FSE_BADSB;
    // A stripe's first part claims more than its slot: named as such
    // before the layout check would call it a bad superblock.
    if (volume_part(fs, d))
        return FSE_STRIPE;
    return layout_ok(fs) ? FSE_OK : FSE_BADSB;
}

// The superblock (or, as `flags` allow, a copy of it) and the cache.
int read_super(fsys* fs, const disk* d, int flags, fs_rescue* used)
{
    *used = {FSE_OK, 0};
    int rc = load_super(fs, d);
    if (rc != FSE_OK && rc != FSE_UFS2 && rc != FSE_REPLICA && rc != FSE_STRIPE && (flags & FS_MNT_SBCOPY)) {
        rc = fsl::super_copy(fs, rc, used);
        if (rc == FSE_OK && !layout_ok(fs))
            rc = FSE_BADSB;
    }
    if (rc != FSE_OK)
        return rc;
    fs->cache = cache_new(fs);
    return fs->cache ? FSE_OK : FSE_NOMEM;
}

}  // namespace

bool fsl::super_sound(fs_super* sb, bool* swap)
{
    bool order = false;
    if (super_order(sb, &order) != FSE_OK)
        return false;
    if (swap)
        *swap = order;
    return super_swap(sb, order) == FSE_OK && geometry_ok(sb);
}

fsys* fs_mount(disk* d, int part, int flags)
{
    fs_rescue used;
    return fs_mount_with(d, part, flags, &used);
}

fsys* fs_mount_with(disk* d, int part, int flags, fs_rescue* used)
{
    *used = {FSE_OK, 0};
    if (part < 0 || part >= d->nslots) {
        fs_errno = FSE_PART;
        return nullptr;
    }
    if (d->slots[part].sectors == 0) {
        fs_errno = FSE_EMPTY;
        return nullptr;
    }
    if (!(flags & FS_MNT_ANYPART) && d->slots[part].special) {
        fs_errno = FSE_PART;
        return nullptr;
    }
    fsys* fs = nullptr;
    int rc = take_slot(d, part, &fs);
    if (rc != FSE_OK) {
        fs_errno = rc;
        return nullptr;
    }
    rc = read_super(fs, d, flags, used);
    if (rc != FSE_OK) {
        fs_umount(fs);
        fs_errno = rc;
        return nullptr;
    }
    if (!(flags & FS_MNT_NOLOG))
        fsl::log_open(fs);
    if (!fs_current)
        fs_current = fs;
    return fs;
}

int fs_umount(fsys* fs)
{
    fs->handle = FS_NOHANDLE;
    std::free(fs->sb);
    fs->sb = nullptr;
    std::free(fs->cwd);
    fs->cwd = nullptr;
    cache_free(fs->cache);
    fs->cache = nullptr;
    if (fs_current == fs)
        fs_current = nullptr;
    return 0;
}

fsys* fs_getfs() { return fs_current; }

namespace fsl {

int current_fs(fsys** fs)
{
    *fs = fs_current;
    return fs_current ? FSE_OK : FSE_NOFS;
}

}  // namespace fsl

fsys* fs_setfs(fsys* fs)
{
    fs_current = fs;
    return fs;
}

char* fs_getcwd(char* buf)
{
    if (!fs_current) {
        std::strcpy(buf, "No current fs");
        fs_errno = FSE_NOFS;
        return nullptr;
    }
    std::strncpy(buf, fs_current->cwd, MAXPATHLEN_FS);
    buf[MAXPATHLEN_FS - 1] = '\0';   // cwd is always shorter; keep it so
    return buf;
}

// Word ranges of the superblock that hold numbers, first and last word
// included; everything else is text, single bytes or never used.
struct word_range {
    size_t first;
    size_t last;
};
constexpr word_range SUPER_WORDS[] = {
    {offsetof(fs_super, fs_sblkno), offsetof(fs_super, fs_cstotal.cs_nffree)},
    {offsetof(fs_super, fs_cgrotor), offsetof(fs_super, fs_cgrotor)},
    {offsetof(fs_super, fs_cpc), offsetof(fs_super, fs_cpc)},
    {offsetof(fs_super, fs_maxsymlinklen), offsetof(fs_super, fs_inodefmt)},
    {offsetof(fs_super, fs_qbmask), offsetof(fs_super, fs_magic)},
};

int super_swap(fs_super* sb) { return super_swap(sb, true); }

// Solaris on x86 declares two superblock words in the other's place when
// it builds little-endian (fs_state at 132, fs_npsect at 1336); 4.4-format
// writers keep fs_npsect at 132 in either order.
constexpr size_t X86_NPSECT_AT = 1336;

int super_swap(fs_super* sb, bool swap)
{
    auto* raw = reinterpret_cast<unsigned char*>(sb);
    if (swap) {
        for (const word_range& r : SUPER_WORDS) {
            for (size_t off = r.first; off <= r.last; off += 4) {
                uint32_t w;
                std::memcpy(&w, raw + off, 4);
                w = fsl::bswap32(w);
                std::memcpy(raw + off, &w, 4);
            }
        }
    }
    bool little = swap == fsl::swap_for(false);
    if (little && sb->fs_inodefmt != FS_INODEFMT_NEW) {
        uint32_t state, npsect;
        std::memcpy(&state, raw + offsetof(fs_super, fs_npsect), 4);
        std::memcpy(&npsect, raw + X86_NPSECT_AT, 4);
        if (swap) {
            npsect = fsl::bswap32(npsect);
            state = fsl::bswap32(state);
        }
        std::memcpy(raw + offsetof(fs_super, fs_npsect), &npsect, 4);
        std::memcpy(raw + X86_NPSECT_AT, &state, 4);
    }
    return sb->fs_magic == FS_MAGIC ? FSE_OK : FSE_MAGIC;
}

int super_order(const fs_super* sb, bool* swap)
{
    const auto* raw = reinterpret_cast<const uint8_t*>(sb) + offsetof(fs_super, fs_magic);
    if (fsl::be32_at(raw) == static_cast<uint32_t>(FS_MAGIC)) {
        *swap = fsl::swap_for(true);
        return FSE_OK;
    }
    if (fsl::le32_at(raw) == static_cast<uint32_t>(FS_MAGIC)) {
        *swap = fsl::swap_for(false);
        return FSE_OK;
    }
    return FSE_MAGIC;
}
