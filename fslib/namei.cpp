// Path lookup and the working directory.  Each component reads its
// directory's inode and blocks; the file system's cache keeps the inode
// block and indirect blocks read last.
#include <cstring>

#include "fslib/bswap.h"
#include "fslib/fslib.h"
#include "fslib/internal.h"
#include "fslib/platform.h"

namespace {

// Searches directory `dip` for `name`.  Returns FSE_OK with *match the
// entry's inode number (0: not there), or the status of the first block
// that could not be searched.  The walk stops at a match, a failure, or
// once pos has reached the size: every block it reads moves pos on, so a
// damaged chain of indirect blocks costs at most a few reads per
// directory block, and the map holds each indirect block once.
int search_dir(fsys* fs, const dinode* dip, const char* name, uint32_t* match)
{
    *match = 0;
    if (dip->di_size < 0 || dip->di_size > INT32_MAX)
        return FSE_OK;   // a directory that size is damage: it has no entries
    int32_t pos = 0;
    int32_t lbn = 0;
    while (pos < dip->di_size && *match == 0) {
        uint32_t addr;
        int rc = fsl::map_block(fs->cache->dirmap, dip, static_cast<uint64_t>(lbn), &addr);
        if (rc != FSE_OK)
            return rc;
        int32_t before = pos;
        if (dir_scan(fs, dip, addr, fs->cache->dirbuf, &pos, &lbn, name, match) != 0)
            return fs_errno;
        if (pos == before)
            break;   // a block of no bytes: nothing further can follow
    }
    return FSE_OK;
}

}  // namespace

int dir_scan(fsys* fs, const dinode* dip, uint32_t blkaddr, uint8_t* buffer,
             int32_t* pos, int32_t* lbn, const char* name, uint32_t* match)
{
    auto n = static_cast<uint32_t>(fsl::block_count(fs->sb, dip->di_size, *lbn, *pos));
    *pos += static_cast<int32_t>(n);
    *lbn += 1;
    if (blkaddr == 0) {
        fs_errno = FSE_READ;   // a directory has no holes
        return 2;
    }
    uint32_t got;
    int rc = fsl::frag_load(fs, blkaddr, buffer, sector_round(n), false, &got);
    if (rc != FSE_OK || got < n) {
        fs_errno = rc == FSE_SEEK ? FSE_SEEK : FSE_READ;
        return rc == FSE_SEEK ? 1 : 2;
    }
    bool final = *pos >= dip->di_size;
    uint32_t found = 0;
    for (uint32_t off = 0; off < n;) {
        fsl::rec_verdict v = fsl::record_step(buffer + off, n - off, final);
        if (v == fsl::rec_verdict::broken) {
            fs_errno = FSE_READ;
            return 2;
        }
        const auto* rec = reinterpret_cast<const direct*>(buffer + off);
        if (rec->d_ino != 0 && std::strcmp(name, reinterpret_cast<const char*>(buffer + off + DIRHDR)) == 0) {
            found = rec->d_ino;
            break;
        }
        if (v == fsl::rec_verdict::last)
            break;
        off += rec->d_reclen;
    }
    *match = found;
    return 0;
}

uint32_t fs_namei(const char* path)
{
    fsys* fs = fs_getfs();
    if (!fs)
        return 0;
    size_t len = std::strlen(path);
    if (len >= MAXPATHLEN_FS) {
        fs_errno = FSE_NAMETOOLONG;
        return 0;
    }
    char work[MAXPATHLEN_FS];
    std::memcpy(work, path, len + 1);

    uint32_t ino = path[0] == '/' ? ROOT_INO : fs->cwd_ino;
    char* save = nullptr;
    for (char* comp = strtok_r(work, "/", &save); comp; comp = strtok_r(nullptr, "/", &save)) {
        dinode dir;
        dinode* dip = &dir;
        if (fs_iget(fs, ino, nullptr, &dip) != 0)
            return 0;
        if ((dip->di_mode & IFMT) != IFDIR) {
            fs_errno = FSE_NOTDIR;
            return 0;
        }
        uint32_t match;
        int rc = search_dir(fs, dip, comp, &match);
        if (rc != FSE_OK) {
            fs_errno = rc;   // a block that could not be read is no answer
            return 0;
        }
        if (match == 0) {
            fs_errno = FSE_NOENT;
            return 0;
        }
        ino = match;
    }
    return ino;
}

int fs_stat(const char* path, fs_statrec* st)
{
    uint32_t ino = fs_namei(path);
    if (ino == 0)
        return -1;
    return fs_istat(ino, st);
}

int fs_chdir(const char* path)
{
    uint32_t ino = fs_namei(path);
    if (ino == 0)
        return -1;
    fs_statrec st;
    if (fs_istat(ino, &st) != 0)
        return -1;
    if ((st.st_mode & IFMT) != IFDIR) {
        fs_errno = FSE_NOTDIR;
        return -1;
    }
    fsys* fs = fs_getfs();
    std::string text = fs_path_abs(fs->cwd, path);
    if (text.size() >= static_cast<size_t>(CWD_SIZE)) {
        fs_errno = FSE_NAMETOOLONG;
        return -1;
    }
    std::memcpy(fs->cwd, text.c_str(), text.size() + 1);
    fs->cwd_ino = ino;
    return 0;
}
