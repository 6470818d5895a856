// The FUSE requests, answered from the image.  One thread serves them all:
// the library keeps its state in process-wide tables.
#define FUSE_USE_VERSION 35
#include <fuse_lowlevel.h>

#include "shell/mount/nodes.h"
#include "shell/mount/ops.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <vector>

namespace mnt {

namespace {

// The image never changes: the host may keep what it learnt for long.
constexpr double ATTR_TIMEOUT = 86400.0;

state& st_of(fuse_req_t req)
{
    return *static_cast<state*>(fuse_req_userdata(req));
}

// An open directory: its entries as they were when it was opened.
struct open_dir {
    std::shared_ptr<listing> list;   // null for the lost directory
    std::vector<entry> lost;         // the lost directory's entries
};

void reply_entry(fuse_req_t req, state& st, uint64_t node)
{
    fuse_entry_param e{};
    e.ino = node;
    e.attr_timeout = ATTR_TIMEOUT;
    e.entry_timeout = ATTR_TIMEOUT;
    int rc = node == LOST_NODE ? lost_dir_attr(st, &e.attr) : inode_attr(st, inode_of(node), &e.attr);
    if (rc != 0)
        fuse_reply_err(req, rc);
    else
        fuse_reply_entry(req, &e);
}

// "<N>" in the root: inode N, when it is allocated by the prompt's rule
// (a file type and a link).
bool inode_name(const state& st, const char* name, uint32_t* ino)
{
    struct stat s;
    return fs_path_inode(name, std::strlen(name), ino) && inode_attr(st, *ino, &s) == 0 && s.st_nlink > 0;
}

// The lost directory's name for a top: "inode-N".
bool lost_name(state& st, const char* name, uint32_t* ino)
{
    const char* prefix = "inode-";
    if (std::strncmp(name, prefix, 6) != 0 || name[6] < '0' || name[6] > '9')
        return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long n = std::strtoull(name + 6, &end, 10);
    if (*end != '\0' || errno != 0 || n > UINT32_MAX || std::to_string(n) != name + 6)
        return false;
    for (uint32_t top : lost_list(st)) {
        if (top == n) {
            *ino = top;
            return true;
        }
    }
    return false;
}

std::string child_path(const std::string& dir, const char* name)
{
    return dir == "/" ? "/" + std::string(name) : dir + "/" + name;
}

void op_lookup(fuse_req_t req, fuse_ino_t parent, const char* name)
{
    state& st = st_of(req);
    uint32_t ino = 0;
    if (parent == LOST_NODE) {
        if (!lost_name(st, name, &ino)) {
            fuse_reply_err(req, ENOENT);
            return;
        }
        note_path(st, ino, "<" + std::to_string(ino) + ">");
        reply_entry(req, st, node_of(ino));
        return;
    }
    uint32_t dir = inode_of(parent);
    std::shared_ptr<listing> list = dir_listing(st, dir);
    if (!list) {
        fuse_reply_err(req, errno);
        return;
    }
    auto it = list->by_name.find(name);
    if (it != list->by_name.end()) {
        ino = it->second;
        note_path(st, ino, child_path(path_of(st, dir), name));
        reply_entry(req, st, node_of(ino));
        return;
    }
    // The root's own entries win over the two names it does not list.
    if (dir == ROOT_INO && std::strcmp(name, LOST_NAME) == 0) {
        reply_entry(req, st, LOST_NODE);
        return;
    }
    if (dir == ROOT_INO && inode_name(st, name, &ino)) {
        note_path(st, ino, name);
        reply_entry(req, st, node_of(ino));
        return;
    }
    fuse_reply_err(req, ENOENT);
}

void op_getattr(fuse_req_t req, fuse_ino_t node, fuse_file_info*)
{
    state& st = st_of(req);
    struct stat s;
    int rc = node == LOST_NODE ? lost_dir_attr(st, &s) : inode_attr(st, inode_of(node), &s);
    if (rc != 0)
        fuse_reply_err(req, rc);
    else
        fuse_reply_attr(req, &s, ATTR_TIMEOUT);
}

void op_readlink(fuse_req_t req, fuse_ino_t node)
{
    fs_ifile* f = fs_iopen(inode_of(node));
    if (f == nullptr) {
        fuse_reply_err(req, EIO);
        return;
    }
    int64_t size = fs_iinode(f)->di_size;
    if (size < 0 || size >= PATH_MAX) {
        fs_iclose(f);
        fuse_reply_err(req, EIO);
        return;
    }
    std::string text(static_cast<size_t>(size), '\0');
    int64_t got = fs_pread(f, text.data(), static_cast<uint32_t>(size), 0);
    fs_iclose(f);
    if (got != size) {
        report_damage(st_of(req), inode_of(node), "its link text cannot be read");
        fuse_reply_err(req, EIO);
        return;
    }
    fuse_reply_readlink(req, text.c_str());
}

void op_opendir(fuse_req_t req, fuse_ino_t node, fuse_file_info* fi)
{
    state& st = st_of(req);
    auto* od = new open_dir;
    if (node == LOST_NODE) {
        od->lost.push_back(entry{".", 0});   // its own number lies past 32 bits
        od->lost.push_back(entry{"..", ROOT_INO});
        for (uint32_t top : lost_list(st))
            od->lost.push_back(entry{"inode-" + std::to_string(top), top});
    } else {
        od->list = dir_listing(st, inode_of(node));
        if (!od->list) {
            delete od;
            fuse_reply_err(req, errno);
            return;
        }
    }
    fi->fh = reinterpret_cast<uintptr_t>(od);
    fi->keep_cache = 1;
    fi->cache_readdir = 1;
    fuse_reply_open(req, fi);
}

void op_readdir(fuse_req_t req, fuse_ino_t, size_t size, off_t off, fuse_file_info* fi)
{
    auto* od = reinterpret_cast<open_dir*>(fi->fh);
    const std::vector<entry>& all = od->list ? od->list->entries : od->lost;
    std::vector<char> buf(size);
    size_t used = 0;
    for (size_t i = off < 0 ? 0 : static_cast<size_t>(off); i < all.size(); i++) {
        struct stat s{};
        s.st_ino = all[i].ino != 0 ? all[i].ino : LOST_NODE;
        fs_statrec rec;
        if (all[i].ino != 0 && fs_istat(all[i].ino, &rec) == 0)
            s.st_mode = rec.st_mode & IFMT;
        size_t want = fuse_add_direntry(req, buf.data() + used, size - used, all[i].name.c_str(), &s,
                                        static_cast<off_t>(i + 1));
        if (want > size - used)
            break;
        used += want;
    }
    fuse_reply_buf(req, buf.data(), used);
}

// readdir with each entry's status, so that a walk over a tree needs no
// lookup of its own for every name.
void op_readdirplus(fuse_req_t req, fuse_ino_t node, size_t size, off_t off, fuse_file_info* fi)
{
    state& st = st_of(req);
    auto* od = reinterpret_cast<open_dir*>(fi->fh);
    const std::vector<entry>& all = od->list ? od->list->entries : od->lost;
    std::string dir_path = node == LOST_NODE ? "" : path_of(st, inode_of(node));
    std::vector<char> buf(size);
    size_t used = 0;
    for (size_t i = off < 0 ? 0 : static_cast<size_t>(off); i < all.size(); i++) {
        const entry& en = all[i];
        fuse_entry_param e{};
        bool dots = en.name == "." || en.name == "..";
        if (!dots && inode_attr(st, en.ino, &e.attr) == 0) {
            e.ino = node_of(en.ino);
            e.attr_timeout = ATTR_TIMEOUT;
            e.entry_timeout = ATTR_TIMEOUT;
        } else {
            // Only a name: the host looks it up when it needs more.
            e.attr = {};
            e.attr.st_ino = en.ino != 0 ? en.ino : LOST_NODE;
            fs_statrec rec;
            if (en.ino != 0 && fs_istat(en.ino, &rec) == 0)
                e.attr.st_mode = rec.st_mode & IFMT;
        }
        size_t want = fuse_add_direntry_plus(req, buf.data() + used, size - used, en.name.c_str(), &e,
                                             static_cast<off_t>(i + 1));
        if (want > size - used)
            break;
        used += want;
        if (e.ino != 0)
            note_path(st, en.ino, node == LOST_NODE ? "<" + std::to_string(en.ino) + ">" : child_path(dir_path, en.name.c_str()));
    }
    fuse_reply_buf(req, buf.data(), used);
}

void op_releasedir(fuse_req_t req, fuse_ino_t, fuse_file_info* fi)
{
    delete reinterpret_cast<open_dir*>(fi->fh);
    fuse_reply_err(req, 0);
}

void op_open(fuse_req_t req, fuse_ino_t node, fuse_file_info* fi)
{
    if ((fi->flags & O_ACCMODE) != O_RDONLY || (fi->flags & O_TRUNC) != 0) {
        fuse_reply_err(req, EROFS);
        return;
    }
    state& st = st_of(req);
    uint32_t ino = inode_of(node);
    fs_ifile* f = fs_iopen(ino);
    if (f == nullptr) {
        fuse_reply_err(req, fs_errno == FSE_NOMEM ? ENOMEM : EIO);
        return;
    }
    std::string ranges;
    lost_ranges(st, ino, &ranges);
    if (!ranges.empty()) {
        // The host's readahead would pull a lost range into a read that
        // does not touch it: such a file goes by the caller's reads alone.
        report_damage(st, ino, "lost " + ranges);
        fi->direct_io = 1;
    } else {
        fi->keep_cache = 1;
    }
    fi->fh = reinterpret_cast<uintptr_t>(f);
    st.open.insert(f);
    fuse_reply_open(req, fi);
}

void op_read(fuse_req_t req, fuse_ino_t node, size_t size, off_t off, fuse_file_info* fi)
{
    auto* f = reinterpret_cast<fs_ifile*>(fi->fh);
    static std::vector<char> buf;   // one thread: one buffer serves every read
    if (buf.size() < size)
        buf.resize(size);
    uint32_t count = size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(size);
    int64_t got = fs_pread(f, buf.data(), count, off);
    if (got < 0) {
        std::string ranges;
        uint32_t ino = inode_of(node);
        if (lost_ranges(st_of(req), ino, &ranges) && !ranges.empty())
            report_damage(st_of(req), ino, "lost " + ranges);
        else
            report_damage(st_of(req), ino, fs_errlist[fs_errno >= 0 && fs_errno < FSE_NERR ? fs_errno : FSE_READ]);
        fuse_reply_err(req, EIO);
        return;
    }
    fuse_reply_buf(req, buf.data(), static_cast<size_t>(got));
}

void op_release(fuse_req_t req, fuse_ino_t, fuse_file_info* fi)
{
    auto* f = reinterpret_cast<fs_ifile*>(fi->fh);
    st_of(req).open.erase(f);
    fs_iclose(f);
    fuse_reply_err(req, 0);
}

void op_lseek(fuse_req_t req, fuse_ino_t, off_t off, int whence, fuse_file_info* fi)
{
    if (whence != SEEK_DATA && whence != SEEK_HOLE) {
        fuse_reply_err(req, EINVAL);
        return;
    }
    int64_t at = fs_iseek(reinterpret_cast<fs_ifile*>(fi->fh), off, whence == SEEK_DATA);
    if (at < 0)
        fuse_reply_err(req, ENXIO);
    else
        fuse_reply_lseek(req, at);
}

void op_statfs(fuse_req_t req, fuse_ino_t)
{
    const fs_super* sb = fs_getfs()->sb;
    auto count = [](int64_t v) { return static_cast<fsblkcnt_t>(v < 0 ? 0 : v); };
    struct statvfs s{};
    s.f_bsize = static_cast<unsigned long>(sb->fs_bsize);
    s.f_frsize = static_cast<unsigned long>(sb->fs_fsize);
    s.f_blocks = count(sb->fs_dsize);
    int64_t free = int64_t{sb->fs_cstotal.cs_nbfree} * sb->fs_frag + sb->fs_cstotal.cs_nffree;
    s.f_bfree = count(free);
    // What an ordinary user may still take: the free space past the
    // share kept back for the system.
    int64_t reserve = int64_t{sb->fs_dsize} * (sb->fs_minfree < 0 || sb->fs_minfree > 100 ? 0 : sb->fs_minfree) / 100;
    s.f_bavail = count(free - reserve);
    s.f_files = static_cast<fsfilcnt_t>(st_of(req).inodes);
    s.f_ffree = static_cast<fsfilcnt_t>(sb->fs_cstotal.cs_nifree < 0 ? 0 : sb->fs_cstotal.cs_nifree);
    s.f_favail = s.f_ffree;
    s.f_namemax = MAXNAMLEN;
    s.f_flag = ST_RDONLY;
    fuse_reply_statfs(req, &s);
}

void op_getxattr(fuse_req_t req, fuse_ino_t node, const char* name, size_t size)
{
    std::string ranges;
    if (node == LOST_NODE || std::strcmp(name, LOST_XATTR) != 0 || !lost_ranges(st_of(req), inode_of(node), &ranges)
        || ranges.empty()) {
        fuse_reply_err(req, ENODATA);
        return;
    }
    if (size == 0)
        fuse_reply_xattr(req, ranges.size());
    else if (size < ranges.size())
        fuse_reply_err(req, ERANGE);
    else
        fuse_reply_buf(req, ranges.data(), ranges.size());
}

void op_listxattr(fuse_req_t req, fuse_ino_t node, size_t size)
{
    std::string ranges;
    std::string names;
    if (node != LOST_NODE && lost_ranges(st_of(req), inode_of(node), &ranges) && !ranges.empty())
        names.assign(LOST_XATTR, std::strlen(LOST_XATTR) + 1);
    if (size == 0)
        fuse_reply_xattr(req, names.size());
    else if (size < names.size())
        fuse_reply_err(req, ERANGE);
    else
        fuse_reply_buf(req, names.data(), names.size());
}

// Everything that would change the file system.
void refuse(fuse_req_t req) { fuse_reply_err(req, EROFS); }
void op_setattr(fuse_req_t req, fuse_ino_t, struct stat*, int, fuse_file_info*) { refuse(req); }
void op_mknod(fuse_req_t req, fuse_ino_t, const char*, mode_t, dev_t) { refuse(req); }
void op_mkdir(fuse_req_t req, fuse_ino_t, const char*, mode_t) { refuse(req); }
void op_unlink(fuse_req_t req, fuse_ino_t, const char*) { refuse(req); }
void op_symlink(fuse_req_t req, const char*, fuse_ino_t, const char*) { refuse(req); }
void op_rename(fuse_req_t req, fuse_ino_t, const char*, fuse_ino_t, const char*, unsigned) { refuse(req); }
void op_link(fuse_req_t req, fuse_ino_t, fuse_ino_t, const char*) { refuse(req); }
void op_write(fuse_req_t req, fuse_ino_t, const char*, size_t, off_t, fuse_file_info*) { refuse(req); }
void op_create(fuse_req_t req, fuse_ino_t, const char*, mode_t, fuse_file_info*) { refuse(req); }
void op_setxattr(fuse_req_t req, fuse_ino_t, const char*, const char*, size_t, int) { refuse(req); }
void op_removexattr(fuse_req_t req, fuse_ino_t, const char*) { refuse(req); }
void op_fallocate(fuse_req_t req, fuse_ino_t, int, off_t, off_t, fuse_file_info*) { refuse(req); }

void op_init(void*, fuse_conn_info* conn)
{
    // Large reads: fewer round trips through the kernel.
    conn->max_readahead = UINT_MAX;
    conn->want &= ~FUSE_CAP_ATOMIC_O_TRUNC;
}

}  // namespace

fuse_lowlevel_ops operations()
{
    fuse_lowlevel_ops ops{};
    ops.init = op_init;
    ops.lookup = op_lookup;
    ops.getattr = op_getattr;
    ops.readlink = op_readlink;
    ops.opendir = op_opendir;
    ops.readdir = op_readdir;
    ops.readdirplus = op_readdirplus;
    ops.releasedir = op_releasedir;
    ops.open = op_open;
    ops.read = op_read;
    ops.release = op_release;
    ops.lseek = op_lseek;
    ops.statfs = op_statfs;
    ops.getxattr = op_getxattr;
    ops.listxattr = op_listxattr;
    ops.setattr = op_setattr;
    ops.mknod = op_mknod;
    ops.mkdir = op_mkdir;
    ops.unlink = op_unlink;
    ops.rmdir = op_unlink;
    ops.symlink = op_symlink;
    ops.rename = op_rename;
    ops.link = op_link;
    ops.write = op_write;
    ops.create = op_create;
    ops.setxattr = op_setxattr;
    ops.removexattr = op_removexattr;
    ops.fallocate = op_fallocate;
    return ops;
}

}  // namespace mnt
