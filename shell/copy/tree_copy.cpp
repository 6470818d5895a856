// The host side of cp -r: the actions it takes on the walk of an image
// tree.  It works on the host relative to the directory being filled,
// with one host directory open at a time.
#include "shell/copy/copy.h"
#include "shell/prompt/console.h"
#include "shell/shell.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// A host directory being filled, one per directory of the walk.
struct host_level {
    image_attrs attrs;
    bool own_attrs = true;  // false: it fills a host directory that keeps its own
    int fd = -1;            // the host directory; -1 while a child is filled
    dev_t host_dev = 0;     // identity of that host directory, to check the
    ino_t host_ino = 0;     // way back up from a child
    size_t path_len = 0;    // length of its image path
    host_names names;       // what this copy made in it
};

struct copy_actions : walk_actions {
    copy_ctx& cc;
    int top_dirfd;
    std::string top_name;   // "": the copy fills top_dirfd itself
    std::vector<host_level> hs;

    copy_actions(copy_ctx& c, int dirfd, const std::string& name)
        : walk_actions(c), cc(c), top_dirfd(dirfd), top_name(name) {}

    bool make_dir(const walk_at& at, int dirfd, const std::string& host_name, host_level& h);
    bool enter(const walk_at& at, uint32_t ino, const fs_statrec& rec) override;
    bool leave(const walk_at& at) override;
    void entry(const walk_at& at, uint32_t ino, const fs_statrec& rec) override;
};

// Makes the host directory of a new level `h` inside `dirfd` (under
// `host_name`, or `dirfd` itself when that is empty); false (reported and
// counted) when it cannot be made.
bool copy_actions::make_dir(const walk_at& at, int dirfd, const std::string& host_name, host_level& h)
{
    host_names* parent_names = hs.empty() ? nullptr : &hs.back().names;
    bool made = false;
    if (host_name.empty()) {
        h.fd = fcntl(dirfd, F_DUPFD_CLOEXEC, 0);
    } else {
        // A name this copy made already is never filled again.
        struct stat was;
        if (fstatat(dirfd, host_name.c_str(), &was, AT_SYMLINK_NOFOLLOW) == 0
            && refuse_duplicate(cc, parent_names, dirfd, host_name.c_str(), at.path))
            return false;
        h.fd = host_dir_make(dirfd, host_name.c_str(), (cc.flags & CP_PERM) != 0, &made);
    }
    struct stat st;
    if (h.fd == -1 || fstat(h.fd, &st) == -1) {
        host_error(host_name.empty() ? at.word.c_str() : host_name.c_str(), errno);
        if (h.fd != -1)
            close(h.fd);
        report_failed(at.path);
        cc.n.failed++;
        return false;
    }
    // A name met again in the parent must be refused even where the parent
    // was there before this copy.
    if (!host_name.empty())
        note_made(parent_names, dirfd, nullptr, h.fd);
    h.names.fresh = made;
    h.host_dev = st.st_dev;
    h.host_ino = st.st_ino;
    return true;
}

bool copy_actions::enter(const walk_at& at, uint32_t, const fs_statrec& rec)
{
    if (cc.flags & CP_VERBOSE) {
        progress_clear();
        fprintf(stderr, "copy_dir %s .\n", shown(at.word.c_str(), stderr).c_str());
    }
    host_level h;
    h.attrs = attrs_of(rec);
    h.own_attrs = !at.top || !top_name.empty();
    h.path_len = at.path.size();
    int dirfd = at.top ? top_dirfd : hs.back().fd;
    if (!make_dir(at, dirfd, at.top ? top_name : at.word, h))
        return false;
    // One host directory open at a time: the parent's is opened again
    // when this one is done.
    if (!hs.empty()) {
        close(hs.back().fd);
        hs.back().fd = -1;
    }
    hs.push_back(std::move(h));
    return true;
}

// Opens the parent of host directory `fd` again and checks that it is the
// one the walk came from.
int climb(int fd, const host_level& parent)
{
    int up = openat(fd, "..", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (up != -1 && fstat(up, &st) == 0 && st.st_dev == parent.host_dev && st.st_ino == parent.host_ino)
        return up;
    if (up != -1)
        close(up);
    return -1;
}

// The directory's attributes (after its contents, so that -p times stay)
// and the way back to its parent.
bool copy_actions::leave(const walk_at& at)
{
    host_level& h = hs.back();
    if (hs.size() > 1 && h.fd != -1) {
        host_level& parent = hs[hs.size() - 2];
        parent.fd = climb(h.fd, parent);
        if (parent.fd == -1) {
            progress_clear();
            fprintf(stderr, "%s: cannot return to the host directory\n",
                    shown(at.path.substr(0, parent.path_len).c_str(), stderr).c_str());
            cc.stopped = true;
        }
    }
    bool ok = h.fd != -1;
    if (ok) {
        if ((cc.flags & CP_PERM) && h.own_attrs)
            copy_perm(cc, h.attrs, h.fd, -1, nullptr);
        close(h.fd);
    }
    hs.pop_back();
    return ok;
}

// Files and symbolic links are copied; other types and unsafe names not.
void copy_actions::entry(const walk_at& at, uint32_t ino, const fs_statrec& rec)
{
    image_attrs a = attrs_of(rec);
    uint16_t type = a.mode & IFMT;
    host_level& h = hs.back();
    if (!plain_name(at.word.c_str()) || (type != IFREG && type != IFLNK)) {
        report_not_copied(cc, at.path);
    } else if (type == IFREG) {
        if (cc.flags & CP_VERBOSE) {
            progress_clear();
            std::string s = shown(at.word.c_str(), stderr);
            fprintf(stderr, "copy_file %s %s\n", s.c_str(), s.c_str());
        }
        copy_regular(cc, ino, a, h.fd, at.word.c_str(), &h.names, at.path);
    } else {
        copy_link(cc, ino, a, h.fd, at.word.c_str(), &h.names, at.path);
    }
}

}  // namespace

void copy_dir(copy_ctx& cx, uint32_t ino, const fs_statrec& rec, int dirfd,
              const std::string& host_name, const std::string& path,
              const std::string& word, uint32_t parent_ino)
{
    copy_actions act(cx, dirfd, host_name);
    walk_tree(act, ino, rec, path, word, parent_ino);
}
