// The mount's knowledge of the image: node numbers, directory entries,
// paths for the messages, status records and lost ranges.
#include "shell/mount/nodes.h"

#include "shell/prompt/console.h"
#include "shell/shell.h"

#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace mnt {

namespace {

// Directory entries held at once; past it the held directories are
// dropped and read again when asked, so a huge tree cannot take all the
// memory.
constexpr size_t HELD_ENTRIES_MOST = size_t{1} << 20;

// Longest list of lost ranges handed out in the attribute.
constexpr uint32_t RANGES_MOST = 4096;

bool known_type(uint16_t mode)
{
    switch (mode & IFMT) {
    case IFIFO: case IFCHR: case IFDIR: case IFBLK: case IFREG: case IFLNK: case IFSOCK:
        return true;
    default:
        return false;
    }
}

void set_times(struct stat* out, const dinode& di)
{
    int64_t sec[3];
    uint32_t nsec[3];
    fs_inode_times(&di, sec, nsec);
    out->st_atim.tv_sec = static_cast<time_t>(sec[0]);
    out->st_atim.tv_nsec = static_cast<long>(nsec[0]);
    out->st_mtim.tv_sec = static_cast<time_t>(sec[1]);
    out->st_mtim.tv_nsec = static_cast<long>(nsec[1]);
    out->st_ctim.tv_sec = static_cast<time_t>(sec[2]);
    out->st_ctim.tv_nsec = static_cast<long>(nsec[2]);
}

}  // namespace

uint64_t node_of(uint32_t ino)
{
    if (ino == ROOT_INO)
        return ROOT_ALIAS_NODE;
    if (ino == ROOT_NODE)
        return ROOT_INO;
    return ino;
}

uint32_t inode_of(uint64_t node)
{
    if (node == ROOT_NODE || node == ROOT_ALIAS_NODE)
        return ROOT_INO;
    if (node == ROOT_INO)
        return static_cast<uint32_t>(ROOT_NODE);
    return node > UINT32_MAX ? 0 : static_cast<uint32_t>(node);
}

void state_start(state& st)
{
    const fs_super* sb = fs_getfs()->sb;
    uint64_t n = uint64_t{static_cast<uint32_t>(sb->fs_ncg)} * static_cast<uint32_t>(sb->fs_ipg);
    st.inodes = n > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(n);
    st.paths[ROOT_INO] = "/";
}

void note_path(state& st, uint32_t ino, const std::string& path)
{
    // Past the bound a damaged object is named by its number instead.
    if (st.paths.size() < HELD_ENTRIES_MOST)
        st.paths.emplace(ino, path);
}

std::string path_of(const state& st, uint32_t ino)
{
    auto it = st.paths.find(ino);
    return it != st.paths.end() ? it->second : "<" + std::to_string(ino) + ">";
}

void report_damage(state& st, uint32_t ino, const std::string& what)
{
    if (!st.damaged.insert(ino).second)
        return;
    std::string path = path_of(st, ino);
    fprintf(stderr, "%s: damaged; %s\n", shown(path.c_str(), stderr).c_str(), what.c_str());
}

bool lost_ranges(state& st, uint32_t ino, std::string* text)
{
    auto known = st.ranges.find(ino);
    if (known != st.ranges.end()) {
        *text = known->second;
        return true;
    }
    fs_ifile* f = fs_iopen(ino);
    if (f == nullptr)
        return false;
    // Only these keep their bytes in blocks; a device keeps its number
    // where a block address would be.
    uint16_t type = fs_iinode(f)->di_mode & IFMT;
    bool has_blocks = type == IFREG || type == IFDIR || type == IFLNK;
    std::unique_ptr<int64_t[][2]> runs(new int64_t[RANGES_MOST][2]);
    uint32_t n = has_blocks ? fs_ilost(f, runs.get(), RANGES_MOST) : 0;
    fs_iclose(f);
    text->clear();
    for (uint32_t i = 0; i < n && i < RANGES_MOST; i++)
        *text += (i ? "," : "") + std::to_string(runs[i][0]) + "-" + std::to_string(runs[i][1]);
    if (st.ranges.size() >= HELD_ENTRIES_MOST)
        st.ranges.clear();
    st.ranges.emplace(ino, *text);
    return true;
}

std::shared_ptr<listing> dir_listing(state& st, uint32_t ino)
{
    auto held = st.dirs.find(ino);
    if (held != st.dirs.end())
        return held->second;
    FS_FILE* d = fs_opendir_ino(ino);
    if (d == nullptr) {
        errno = fs_errno == FSE_NOTDIR ? ENOTDIR : EIO;
        return nullptr;
    }
    auto dir = std::make_shared<listing>();
    while (direct* e = fs_readdir(d)) {
        // A name the host cannot hold, or a number past the inodes the
        // file system has, is damage the walk has no place for.
        if (e->d_name[0] == '\0' || std::strchr(e->d_name, '/') != nullptr || e->d_ino >= st.inodes)
            continue;
        dir->entries.push_back(entry{e->d_name, e->d_ino});
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            dir->by_name.emplace(e->d_name, e->d_ino);
    }
    bool clean = fs_fclean(d);
    int status = fs_errno;
    fs_closedir(d);
    if (!clean) {
        std::string ranges;
        if (lost_ranges(st, ino, &ranges) && !ranges.empty())
            report_damage(st, ino, "lost " + ranges);
        else
            report_damage(st, ino, fs_errlist[status >= 0 && status < FSE_NERR ? status : FSE_READ]);
    }
    if (st.dir_entries + dir->entries.size() > HELD_ENTRIES_MOST) {
        st.dirs.clear();
        st.dir_entries = 0;
    }
    st.dir_entries += dir->entries.size();
    st.dirs.emplace(ino, dir);
    return dir;
}

const std::vector<uint32_t>& lost_list(state& st)
{
    if (!st.lost_known) {
        st.lost = lost_tops();
        st.lost_known = true;
    }
    return st.lost;
}

int inode_attr(const state& st, uint32_t ino, struct stat* out)
{
    if (ino == 0 || ino >= st.inodes)
        return ENOENT;
    dinode di;
    fs_statrec rec;
    if (fs_inode(ino, &di) != 0 || fs_istat(ino, &rec) != 0)
        return EIO;
    if (!known_type(di.di_mode))
        return EIO;
    *out = {};
    out->st_ino = ino;
    out->st_mode = di.di_mode;
    out->st_nlink = static_cast<uint16_t>(di.di_nlink);
    out->st_uid = rec.st_uid;
    out->st_gid = rec.st_gid;
    uint16_t type = di.di_mode & IFMT;
    if (type == IFCHR || type == IFBLK) {
        uint32_t major = 0;
        uint32_t minor = 0;
        fs_devnum(rec.st_rdev, &major, &minor);
        out->st_rdev = makedev(major, minor);
    }
    out->st_size = di.di_size < 0 ? 0 : di.di_size;
    out->st_blocks = static_cast<uint32_t>(di.di_blocks);
    out->st_blksize = fs_getfs()->sb->fs_bsize;
    set_times(out, di);
    return 0;
}

int lost_dir_attr(const state& st, struct stat* out)
{
    int rc = inode_attr(st, ROOT_INO, out);
    if (rc != 0)
        return rc;
    out->st_ino = LOST_NODE;
    out->st_mode = S_IFDIR | 0555;
    out->st_nlink = 2;
    out->st_size = 0;
    out->st_blocks = 0;
    return 0;
}

}  // namespace mnt
