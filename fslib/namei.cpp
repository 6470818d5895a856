// Path lookup and the working directory.  Each component reads its
// directory through the file system's own lookup stream; the cache keeps
// the inode block and the indirect blocks read last.
#include <cstring>

#include "fslib/fslib.h"
#include "fslib/internal.h"
#include "fslib/platform.h"

namespace {

// Searches directory `ino` for `name` through the file system's lookup
// stream, with the directory reader fs_readdir uses.  Returns FSE_OK with
// *match the entry's inode number (0: not there), or why the directory
// could not be searched: the inode's read, FSE_NOTDIR, FSE_TOOBIG, or the
// first block that could not be read (a block that could not be read is
// no answer).  Every block read moves the stream on, and the map holds
// each indirect block once, so a damaged chain of indirect blocks costs at
// most a few reads per directory block.
int search_dir(fsys* fs, uint32_t ino, const char* name, uint32_t* match)
{
    FS_FILE* d = &fs->cache->lookup;
    *match = 0;
    int rc = fsl::stream_start(d, fs, ino, true);
    while (rc == FSE_OK) {
        direct* rec;
        rc = fsl::dir_next(d, false, &rec);
        if (rc != FSE_OK || rec == nullptr)
            break;
        if (std::strcmp(name, reinterpret_cast<const char*>(rec) + DIRHDR) == 0) {
            *match = rec->d_ino;
            break;
        }
    }
    return rc;
}

// Where a lookup of `path` starts: the root, the working directory, or the
// inode that a first word "<N>" names, which must be allocated (a type and
// a link).  Moves *path past that word.
int lookup_start(fsys* fs, const char** path, uint32_t* ino)
{
    const char* p = *path;
    size_t len = std::strcspn(p, "/");
    if (!fs_path_inode(p, len, ino)) {
        *ino = p[0] == '/' ? ROOT_INO : fs->cwd_ino;
        return FSE_OK;
    }
    fs_statrec st;
    if (fs_istat(*ino, &st) != 0 || (st.st_mode & IFMT) == 0 || st.st_nlink <= 0)
        return FSE_NOENT;
    *path = p + len;
    return FSE_OK;
}

// An inode named "<N>" has no parent to climb to: its ".." is itself, as
// the working directory has it.  `top` is that inode (0: the lookup is
// not below one) and `depth` how many names the lookup is below it.
struct Floor {
    uint32_t top = 0;
    unsigned depth = 0;
};

// The floor of a lookup of `path` that starts at `start`: the inode the
// path names first, or the one the working directory's text starts with.
Floor lookup_floor(const fsys* fs, const char* path, uint32_t start)
{
    Floor f;
    uint32_t ino;
    if (path[0] != '/' && fs_path_inode(path, std::strcspn(path, "/"), &ino)) {
        f.top = start;
        return f;
    }
    size_t first = std::strcspn(fs->cwd, "/");
    if (path[0] == '/' || !fs_path_inode(fs->cwd, first, &f.top))
        return Floor{};
    for (const char* p = fs->cwd + first; *p != '\0'; p++)
        if (p[0] == '/' && p[1] != '/' && p[1] != '\0')
            f.depth++;
    return f;
}

}  // namespace

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
    uint32_t ino;
    const char* whole = path;
    rc = lookup_start(fs, &path, &ino);
    if (rc != FSE_OK) {
        fs_errno = rc;
        return 0;
    }
    Floor floor = lookup_floor(fs, whole, ino);
    char work[MAXPATHLEN_FS];
    std::memcpy(work, path, std::strlen(path) + 1);
    char* save = nullptr;
    for (char* comp = strtok_r(work, "/", &save); comp; comp = strtok_r(nullptr, "/", &save)) {
        bool up = std::strcmp(comp, "..") == 0;
        if (floor.top != 0 && up && floor.depth == 0) {
            fs_statrec st;
            if (fs_istat(floor.top, &st) != 0)
                return 0;
            if ((st.st_mode & IFMT) != IFDIR) {
                fs_errno = FSE_NOTDIR;
                return 0;
            }
            ino = floor.top;
            continue;
        }
        if (floor.top != 0 && std::strcmp(comp, ".") != 0)
            floor.depth = up ? floor.depth - 1 : floor.depth + 1;
        uint32_t match;
        rc = search_dir(fs, ino, comp, &match);
        if (rc != FSE_OK) {
            fs_errno = rc;
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
    // The text never climbs above an inode named "<N>"; neither does the
    // working directory.
    uint32_t top;
    if (fs_path_inode(text.c_str(), text.size(), &top))
        ino = top;
    if (text.size() >= static_cast<size_t>(MAXPATHLEN_FS)) {
        fs_errno = FSE_NAMETOOLONG;
        return -1;
    }
    std::memcpy(fs->cwd, text.c_str(), text.size() + 1);
    fs->cwd_ino = ino;
    return 0;
}
