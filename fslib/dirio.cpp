// Directory streams: file streams opened on a directory, refilled one
// block at a time and walked record by record where the records lie.
#include "fslib/fslib.h"
#include "fslib/internal.h"

namespace {

// Steps over the record at ff_cur.  FSE_OK with *rec the record when it is
// in use (null for an empty one); FSE_READ when the layout is broken: the
// directory ends there, since nothing past a broken record can be trusted
// and walking on could loop or leave the block.
int step_record(FS_FILE* d, direct** rec)
{
    bool final = d->ff_pos >= d->ff_inode->di_size;
    fsl::rec_verdict v = fsl::record_step(d->ff_cur, d->ff_avail, final, d->ff_fs->swap);
    *rec = nullptr;
    if (v == fsl::rec_verdict::broken) {
        if (d->ff_lost == FSE_OK)
            d->ff_lost = FSE_READ;
        d->ff_avail = 0;
        d->ff_state = FS_EOF;
        return FSE_READ;
    }
    auto* r = reinterpret_cast<direct*>(d->ff_cur);
    if (v == fsl::rec_verdict::last) {
        d->ff_avail = 0;
        d->ff_state = FS_EOF;
    } else {
        d->ff_cur += r->d_reclen;
        d->ff_avail -= r->d_reclen;
    }
    if (r->d_ino != 0)
        *rec = r;
    return FSE_OK;
}

}  // namespace

namespace fsl {

int dir_next(FS_FILE* d, bool past_losses, direct** rec)
{
    int status = FSE_OK;
    *rec = nullptr;
    while (*rec == nullptr) {
        if (d->ff_avail == 0) {
            if (d->ff_state == FS_EOF)
                break;
            int64_t lbn = d->ff_lbn;
            int rc = stream_fill(d, false);
            if (rc != FSE_OK && (d->ff_lbn == lbn || !past_losses))
                return rc;   // an indirect block failed (the next call tries again), or a loss ends the walk
            if (rc != FSE_OK)
                status = rc;   // this block is lost (kept in ff_lost); go on past it
            continue;
        }
        int rc = step_record(d, rec);
        if (rc != FSE_OK)
            return rc;
    }
    return status;
}

}  // namespace fsl

FS_FILE* fs_opendir(const char* path)
{
    uint32_t ino = fs_namei(path);
    if (ino == 0)
        return nullptr;
    return fs_opendir_ino(ino);
}

FS_FILE* fs_opendir_ino(uint32_t ino)
{
    return fsl::stream_open(ino, true);
}

direct* fs_readdir(FS_FILE* d)
{
    direct* rec;
    int rc = fsl::dir_next(d, true, &rec);
    if (rc != FSE_OK)
        fs_errno = rc;
    return rec;
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
