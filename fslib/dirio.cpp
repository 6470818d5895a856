// Directory streams: file streams opened on a directory, refilled one
// block at a time and walked record by record where the records lie.
#include <climits>

#include "fslib/fslib.h"
#include "fslib/internal.h"

namespace {

// The directory ends here with `status`: nothing past a broken record or a
// lost block can be trusted, and walking on could loop or leave the block.
direct* broken(FS_FILE* d, int status)
{
    fs_errno = status;
    if (d->ff_lost == FSE_OK)
        d->ff_lost = status;
    d->ff_avail = 0;
    d->ff_state = FS_EOF;
    return nullptr;
}

}  // namespace

FS_FILE* fs_opendir(const char* path)
{
    uint32_t ino = fs_namei(path);
    if (ino == 0)
        return nullptr;
    return fs_opendir_ino(ino);
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
    if (st.st_size > INT32_MAX) {
        fs_errno = FSE_TOOBIG;   // no directory is that big: damage
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
            int64_t lbn = d->ff_lbn;
            int rc = fsl::stream_fill(d, false);
            if (rc != FSE_OK && d->ff_lbn == lbn) {
                fs_errno = rc;   // an indirect block failed: the next call tries again
                return nullptr;
            }
            if (rc != FSE_OK)
                fs_errno = rc;   // this block is lost (kept in ff_lost); go on past it
            if (d->ff_avail == 0)
                continue;
        }
        bool final = d->ff_pos >= d->ff_inode->di_size;
        fsl::rec_verdict v = fsl::record_step(d->ff_cur, d->ff_avail, final);
        if (v == fsl::rec_verdict::broken)
            return broken(d, FSE_READ);
        auto* rec = reinterpret_cast<direct*>(d->ff_cur);
        if (v == fsl::rec_verdict::last) {
            d->ff_avail = 0;
            d->ff_state = FS_EOF;
            if (rec->d_ino != 0)
                return rec;
            return nullptr;
        }
        d->ff_cur += rec->d_reclen;
        d->ff_avail -= rec->d_reclen;
        if (rec->d_ino != 0)
            return rec;
    }
}

int64_t fs_telldir(const FS_FILE* d)
{
    return d->ff_pos - d->ff_avail;
}

namespace {

// The block at the place to resume could not be read again.  An
// uninterrupted pass would have lost it and gone on with the next block;
// so does the resumed stream.  Its records from the place on are lost, and
// the ones before it were handed out already, so it is never read from its
// start again.  A map that failed above a place at a block's start has
// moved nothing: the next fs_readdir tries again, as it would have.
int resume_lost(FS_FILE* d, int64_t lbn, uint32_t skip, int rc)
{
    fs_errno = rc;
    if (d->ff_lbn != lbn || skip != 0)
        fsl::stream_lose(d, lbn, rc);
    return -1;
}

}  // namespace

int fs_seekdir(FS_FILE* d, int64_t pos)
{
    int64_t size = d->ff_inode->di_size;
    if (pos < 0 || pos >= size) {
        // Nothing lies there: the stream is at its end.
        d->ff_cur = d->ff_buf;
        d->ff_avail = 0;
        d->ff_pos = size;
        d->ff_state = FS_EOF;
        return 0;
    }
    int64_t lbn = pos >> d->ff_fs->sb->fs_bshift;
    auto skip = static_cast<uint32_t>(pos - (lbn << d->ff_fs->sb->fs_bshift));
    fsl::stream_place(d, lbn);
    int rc = fsl::stream_fill(d, false);
    if (rc == FSE_OK && skip > d->ff_avail)
        rc = FSE_READ;   // the block holds less than it did
    if (rc != FSE_OK)
        return resume_lost(d, lbn, skip, rc);
    d->ff_cur += skip;
    d->ff_avail -= skip;
    return 0;
}

int fs_closedir(FS_FILE* d)
{
    return fs_fclose(d);
}
