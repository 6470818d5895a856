// Files read at any offset by inode number, each its own allocation, so
// that a caller holding thousands of files open at once (a host mount) is
// not bounded by the stream table.  The reading itself is the streams'.
#include <cstdlib>
#include <cstring>

#include "fslib/fslib.h"
#include "fslib/ifile.h"
#include "fslib/internal.h"

namespace {

void ifile_free(fs_ifile* f)
{
    std::free(f->s.ff_buf);
    std::free(f->s.ff_inode);
    fsl::map_free(f->s.ff_map);
    delete f;
}

// Forgets what earlier reads lost, so that a read reports its own losses.
void forget_losses(FS_FILE* s)
{
    s->ff_lost = FSE_OK;
    s->ff_lostat = 0;
    s->ff_lostbytes = 0;
    s->ff_lostruns = 0;
    s->ff_lostend = 0;
}

}  // namespace

int fs_inode(uint32_t ino, dinode* out)
{
    fsys* fs;
    int rc = fsl::current_fs(&fs);
    if (rc == FSE_OK)
        rc = fsl::inode_read(fs, ino, out);
    if (rc != FSE_OK) {
        fs_errno = rc;
        return -1;
    }
    return 0;
}

fs_ifile* fs_iopen(uint32_t ino)
{
    fsys* fs;
    int rc = fsl::current_fs(&fs);
    if (rc != FSE_OK) {
        fs_errno = rc;
        return nullptr;
    }
    auto* f = new (std::nothrow) fs_ifile{};
    if (f == nullptr) {
        fs_errno = FSE_NOMEM;
        return nullptr;
    }
    f->s.ff_buf = static_cast<uint8_t*>(std::malloc(FF_BUFSIZE));
    f->s.ff_inode = static_cast<dinode*>(std::malloc(sizeof(dinode)));
    f->s.ff_map = fsl::map_new(fs);
    rc = !f->s.ff_buf || !f->s.ff_inode || !f->s.ff_map ? FSE_NOMEM : fsl::stream_start(&f->s, fs, ino, false);
    if (rc != FSE_OK) {
        ifile_free(f);
        fs_errno = rc;
        return nullptr;
    }
    return f;
}

const dinode* fs_iinode(const fs_ifile* f)
{
    return f->s.ff_inode;
}

int64_t fs_pread(fs_ifile* f, void* buf, uint32_t count, int64_t offset)
{
    FS_FILE* s = &f->s;
    int64_t size = s->ff_inode->di_size;
    if (offset < 0) {
        fs_errno = FSE_SEEK;
        return -1;
    }
    if (offset >= size || count == 0)
        return 0;
    if (static_cast<int64_t>(count) > size - offset)
        count = static_cast<uint32_t>(size - offset);
    // Every block before the last is whole: the block holding `offset`
    // starts at its number times the block size.
    int64_t lbn = offset >> s->ff_fs->sb->fs_bshift;
    fsl::stream_place(s, lbn);
    forget_losses(s);
    auto skip = static_cast<uint32_t>(offset - (lbn << s->ff_fs->sb->fs_bshift));
    fs_errno = FSE_OK;
    uint32_t got = fs_fread(nullptr, 1, skip, s) == skip ? fs_fread(buf, 1, count, s) : 0;
    if (s->ff_lost != FSE_OK || fs_errno != FSE_OK || got != count) {
        fs_errno = s->ff_lost != FSE_OK ? s->ff_lost : fs_errno != FSE_OK ? fs_errno : FSE_READ;
        return -1;
    }
    return got;
}

void fs_iclose(fs_ifile* f)
{
    if (f != nullptr)
        ifile_free(f);
}
