// Directory streams: file streams opened on a directory, refilled one
// block at a time and walked record by record where the records lie.
#include "fslib/bswap.h"
#include "fslib/fslib.h"
#include "fslib/internal.h"

namespace {

// A record that breaks the layout ends the directory with a read error:
// nothing past it in this block can be trusted, and walking on could loop
// or leave the block.
direct* broken(FS_FILE* d)
{
    fs_errno = FSE_READ;
    if (d->ff_lost == FSE_OK)
        d->ff_lost = FSE_READ;
    d->ff_avail = 0;
    d->ff_state = FS_EOF;
    return nullptr;
}

}  // namespace

FS_FILE* fs_opendir(const char* path)
{
    fs_statrec st;
    if (fs_stat(path, &st) != 0)
        return nullptr;
    if ((st.st_mode & IFMT) != IFDIR) {
        fs_errno = FSE_NOTDIR;
        return nullptr;
    }
    return fs_fopen(path, "r");
}

FS_FILE* fs_opendir_ino(uint32_t ino)
{
    fs_statrec st;
    if (fs_istat(ino, &st) != 0)
        return nullptr;
    if ((st.st_mode & IFMT) != IFDIR) {
        fs_errno = FSE_NOTDIR;
        return nullptr;
    }
    return fs_fopen_ino(ino);
}

direct* fs_readdir(FS_FILE* d)
{
    for (;;) {
        if (d->ff_avail == 0) {
            if (d->ff_state == FS_EOF)
                return nullptr;
            // One block exactly: the request is the block size, so the
            // block just loaded is still in ff_buf when the skip ends.
            uint32_t got = fs_fread(nullptr, 1, static_cast<uint32_t>(d->ff_fs->sb->fs_bsize), d);
            d->ff_cur = d->ff_buf;
            d->ff_avail = got;
            if (got == 0)
                return nullptr;
        }
        if (d->ff_avail < DIRHDR)
            return broken(d);
        auto* rec = reinterpret_cast<direct*>(d->ff_cur);
        fsl::swap_field(rec->d_ino);
        fsl::swap_field(rec->d_reclen);
        fsl::swap_field(rec->d_namlen);
        if (!fsl::record_ok(rec, d->ff_avail))
            return broken(d);
        d->ff_cur += rec->d_reclen;
        d->ff_avail -= rec->d_reclen;
        if (rec->d_ino != 0)
            return rec;
    }
}

int fs_closedir(FS_FILE* d)
{
    return fs_fclose(d);
}
