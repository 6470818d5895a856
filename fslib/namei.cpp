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
    fsys* fs;
    int rc = fsl::current_fs(&fs);
    if (rc != FSE_OK) {
        fs_errno = rc;
        return 0;
    }
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
        const dinode* dip = &dir;
        rc = fsl::inode_read(fs, ino, &dir);
        if (rc != FSE_OK) {
            fs_errno = rc;
            return 0;
        }
        if ((dip->di_mode & IFMT) != IFDIR) {
            fs_errno = FSE_NOTDIR;
            return 0;
        }
        uint32_t match;
        rc = search_dir(fs, dip, comp, &match);
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
    char work[MAXPATHLEN_FS];
    std::strcpy(work, path);   // fs_namei has bounded its length
    char text[CWD_SIZE];
    if (path[0] == '/' || std::strcmp(fs->cwd, "/") == 0)
        text[0] = '\0';
    else
        std::strcpy(text, fs->cwd);

    // The text is rebuilt from the words of the path alone.
    int room = CWD_SIZE - static_cast<int>(std::strlen(text));
    char* save = nullptr;
    for (char* comp = strtok_r(work, "/", &save); comp; comp = strtok_r(nullptr, "/", &save)) {
        if (std::strcmp(comp, ".") == 0)
            continue;
        if (std::strcmp(comp, "..") == 0) {
            char* slash = std::strrchr(text, '/');
            if (slash)
                *slash = '\0';
            room = CWD_SIZE - static_cast<int>(std::strlen(text));
            continue;
        }
        room -= static_cast<int>(std::strlen(comp)) + 1;
        if (room <= 0) {
            fs_errno = FSE_NAMETOOLONG;
            return -1;
        }
        std::strcat(text, "/");
        std::strcat(text, comp);
    }
    std::strcpy(fs->cwd, text[0] ? text : "/");
    fs->cwd_ino = ino;
    return 0;
}
