// Path lookup and the working directory.  Lookups read the directory's
// inode and blocks afresh for every component; nothing is cached.
#include <cstring>

#include "fslib/bswap.h"
#include "fslib/fslib.h"
#include "fslib/internal.h"
#include "fslib/platform.h"

namespace {

// State of one component's search through one directory.
struct lookup {
    fsys* fs;
    const dinode* dip;
    const char* name;
    uint8_t* dirbuf;            // one directory block
    uint8_t* ibuf[NIADDR];      // one indirect block per level
    int32_t pos;
    int32_t lbn;
    uint32_t match;
    bool failed;                // a seek or read failed during this search
    bool ended;                 // a zero address ended the block list
};

// Stops at a match, a failure, the end of the block list, or once pos has
// reached the size (every later block would hold no bytes).  Together these
// bound the walk of a damaged indirect chain: each indirect block read
// either ends the search or leads down to a directory block that moves pos
// on, so a chain pointing back at itself, or one that fans out to blocks
// of zeros, costs at most a few reads per directory block.
bool scan_done(const lookup& lk)
{
    return lk.failed || lk.ended || lk.match != 0 || lk.pos >= lk.dip->di_size;
}

void scan_block(lookup& lk, uint32_t addr)
{
    if (dir_scan(lk.fs, lk.dip, addr, lk.dirbuf, &lk.pos, &lk.lbn, lk.name, &lk.match) != 0)
        lk.failed = true;
}

// Walks the indirect block at `addr` of level `level` (1 = single).
void scan_indirect(lookup& lk, uint32_t addr, int level)
{
    uint8_t* buf = lk.ibuf[level - 1];
    uint32_t bsize = static_cast<uint32_t>(lk.fs->sb->fs_bsize);
    int32_t got;
    int rc = fsl::dev_load(lk.fs->handle, fsl::frag_offset(lk.fs, addr), buf, bsize, true, &got);
    if (rc != FSE_OK) {
        fs_errno = rc;
        lk.failed = true;
        return;
    }
    uint32_t n = fsl::nindir(lk.fs->sb);
    for (uint32_t i = 0; i < n && !scan_done(lk); ++i) {
        uint32_t entry = fsl::be32_at(buf + 4 * i);
        if (entry == 0) {
            // A directory has no holes: a zero address at any level ends
            // its list of blocks, not just this indirect block.
            lk.ended = true;
            break;
        }
        if (level == 1)
            scan_block(lk, entry);
        else
            scan_indirect(lk, entry, level - 1);
    }
}

// Searches directory `dip` for `name`; returns the inode number or 0.
uint32_t search_dir(fsys* fs, const dinode* dip, const char* name)
{
    alignas(8) uint8_t dirbuf[8192];
    alignas(8) uint8_t ib1[8192], ib2[8192], ib3[8192];
    lookup lk{fs, dip, name, dirbuf, {ib1, ib2, ib3}, 0, 0, 0, false, false};
    if (dip->di_size < 0)
        return 0;   // 2 GiB or more: no block length would be sane

    bool all_direct = true;
    for (int i = 0; i < NDADDR; ++i) {
        if (dip->di_db[i] == 0) {
            all_direct = false;
            break;
        }
        if (scan_done(lk))
            break;
        scan_block(lk, dip->di_db[i]);
    }
    if (all_direct) {
        for (int k = 0; k < NIADDR && !scan_done(lk); ++k) {
            if (dip->di_ib[k] != 0)
                scan_indirect(lk, dip->di_ib[k], k + 1);
        }
    }
    return lk.match;
}

}  // namespace

int dir_scan(fsys* fs, const dinode* dip, uint32_t blkaddr, uint8_t* buffer,
             int32_t* pos, int32_t* lbn, const char* name, uint32_t* match)
{
    int32_t n = fsl::block_count(fs->sb, dip->di_size, *lbn, *pos);
    *pos += n;
    int32_t offset = fsl::frag_offset(fs, blkaddr);
    *lbn += 1;
    if (!fsl::dev_seek(fs->handle, offset)) {
        fs_errno = FSE_SEEK;
        return 1;
    }
    int32_t got = fsl::dev_read(fs->handle, buffer, (static_cast<uint32_t>(n) + 511) & ~511u);
    if (got < 0) {
        fs_errno = FSE_READ;
        return 2;
    }
    *match = 0;
    // Every byte transferred is searched, record by record; a record that
    // breaks the layout ends the search of this block.
    uint32_t end = static_cast<uint32_t>(got);
    uint32_t off = 0;
    while (off + DIRHDR <= end) {
        auto* rec = reinterpret_cast<direct*>(buffer + off);
        fsl::swap_field(rec->d_ino);
        fsl::swap_field(rec->d_reclen);
        fsl::swap_field(rec->d_namlen);
        if (!fsl::record_ok(rec, end - off))
            break;
        if (rec->d_ino != 0 && std::strcmp(name, reinterpret_cast<char*>(buffer + off + DIRHDR)) == 0) {
            *match = rec->d_ino;
            break;
        }
        off += rec->d_reclen;
    }
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
    alignas(8) uint8_t ibuf[IBUFSIZE];
    char* save = nullptr;
    for (char* comp = strtok_r(work, "/", &save); comp; comp = strtok_r(nullptr, "/", &save)) {
        dinode* dip = nullptr;
        if (fs_iget(fs, ino, ibuf, &dip) != 0)
            return 0;
        if ((dip->di_mode & IFMT) != IFDIR) {
            fs_errno = FSE_NOTDIR;
            return 0;
        }
        uint32_t match = search_dir(fs, dip, comp);
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
