// Mounted file systems: the 16-slot mount table, the superblock read,
// its conversion and the geometry check, and the working-directory text.
#include <cstdlib>
#include <cstring>

#include "fslib/bswap.h"
#include "fslib/fslib.h"
#include "fslib/internal.h"
#include "fslib/platform.h"

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
    if (bsize != 4096 && bsize != 8192)
        return false;
    if (!is_pow2(fsize) || fsize < 512 || fsize > bsize)
        return false;
    if (sb->fs_bshift != log2_of(bsize) || sb->fs_bmask != ~(bsize - 1))
        return false;
    if (sb->fs_fmask != ~(fsize - 1))
        return false;
    if (sb->fs_fsbtodb != log2_of(fsize / 512))
        return false;
    if (sb->fs_fragshift != log2_of(bsize / fsize))
        return false;
    return sb->fs_ipg != 0 && sb->fs_inopb != 0 && sb->fs_fpg != 0;
}

}  // namespace

fsys* fs_mount(disk* d, int part, int flags)
{
    if (part < 0 || part > 7) {
        fs_errno = FSE_PART;
        return nullptr;
    }
    if (d->label->dkl_map[part].dkl_nblk == 0) {
        fs_errno = FSE_EMPTY;
        return nullptr;
    }
    if (!(flags & FS_MNT_ANYPART) && (part == 1 || part == 2)) {
        fs_errno = FSE_PART;
        return nullptr;
    }
    fsys* fs = nullptr;
    for (fsys& slot : fsys_table) {
        if (slot.handle == FS_NOHANDLE) {
            fs = &slot;
            break;
        }
    }
    if (!fs) {
        fs_errno = FSE_NFILE;
        return nullptr;
    }
    auto* sb = static_cast<fs_super*>(std::malloc(sizeof(fs_super)));
    if (!sb) {
        fs_errno = FSE_NOMEM;
        return nullptr;
    }
    auto* cwd = static_cast<char*>(std::malloc(CWD_SIZE));
    if (!cwd) {
        std::free(sb);
        fs_errno = FSE_NOMEM;
        return nullptr;
    }
    fs->handle = d->handle;
    fs->part = part;
    fs->label = d->label;
    fs->sb = sb;
    fs->cwd = cwd;
    fs->cwd_ino = ROOT_INO;
    std::strcpy(cwd, "/");

    uint64_t where = fsl::part_start_exact(d->label, part) + SBOFF;
    if (where >= fsl::DEV_LIMIT || !fsl::dev_seek(fs->handle, static_cast<int32_t>(where))) {
        fs_errno = FSE_SEEK;
        fs_umount(fs);
        return nullptr;
    }
    if (fsl::dev_read(fs->handle, sb, sizeof(fs_super)) != static_cast<int32_t>(sizeof(fs_super))) {
        fs_errno = FSE_READ;
        fs_umount(fs);
        return nullptr;
    }
    if (!super_swap(sb)) {
        fs_errno = FSE_MAGIC;
        fs_umount(fs);
        return nullptr;
    }
    if (!geometry_ok(sb)) {
        fs_errno = FSE_BADSB;
        fs_umount(fs);
        return nullptr;
    }
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
    if (fs_current == fs)
        fs_current = nullptr;
    return 0;
}

fsys* fs_getfs() { return fs_current; }

fsys* fs_setfs(fsys* fs)
{
    fs_current = fs;
    return fs;
}

char* fs_getcwd(char* buf)
{
    if (!fs_current) {
        std::strcpy(buf, "No current fs");
        return nullptr;
    }
    std::strncpy(buf, fs_current->cwd, CWD_SIZE);
    buf[CWD_SIZE - 1] = '\0';   // cwd is always shorter; keep it so
    return buf;
}

int super_swap(fs_super* sb)
{
    auto* raw = reinterpret_cast<unsigned char*>(sb);
    auto swap_word = [raw](int off) {
        uint32_t w;
        std::memcpy(&w, raw + off, 4);
        w = fsl::bswap32(w);
        std::memcpy(raw + off, &w, 4);
    };
    for (int off = 8; off <= 204; off += 4)
        swap_word(off);
    swap_word(724);
    swap_word(856);
    for (int off = 1340; off <= 1372; off += 4)
        swap_word(off);
    return sb->fs_magic == FS_MAGIC ? 1 : 0;
}
