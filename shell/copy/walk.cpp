// The walk of cp -r.  It keeps its own stack of directories instead of
// recursing, so no depth can exhaust the program's stack; it shuts a
// directory's stream before going deeper and takes it up again where it
// stopped, so no depth can exhaust the library's stream slots and no
// directory's size grows the memory it holds; it finds every entry by
// the inode number its directory gives, so no image path is ever looked up
// again and none is too long; it keeps one image path that grows and
// shrinks with the walk, so its memory grows with the depth times the
// names' length and no more; and it works on the host relative to the
// directory being filled, with one host directory open at a time.
// Each directory inode is entered once: a second name for one (a cycle or
// an alias on a damaged image) is reported and skipped, so the work is
// bounded by the number of inodes on the image.
#include "shell/copy/copy.h"
#include "shell/prompt/console.h"
#include "shell/shell.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A directory being copied.  Only the directory on top of the stack has its
// stream open; the others keep where their next entry lies, so the walk
// holds no list of entries and its memory does not grow with a directory.
struct dir_level {
    uint32_t ino = 0;
    uint32_t parent_ino = 0;   // what its ".." must name; 0: not known
    image_attrs attrs;
    bool own_attrs = true;     // false: it fills a host directory that keeps its own
    int fd = -1;          // host directory being filled; -1 while a child is
    dev_t host_dev = 0;   // identity of that host directory, to check the
    ino_t host_ino = 0;   // way back up from a child
    size_t path_len = 0;  // its image path is the walk's path cut here
    size_t name_at = 0;   // where its own name starts in that path
    host_names names;     // what this copy made in its host directory
    FS_FILE* stream = nullptr;  // open while no child is being copied
    int64_t resume = 0;   // where the next entry lies while the stream is shut
    int lost = FSE_OK;    // first fault met in the entries read so far
    bool ended = false;   // every entry was taken in turn
    bool whole = true;    // every entry was read
};

// The walk: its stack of directories and the one image path, which is the
// path of the directory on top, or of the entry being copied in it.
struct walk_state {
    std::vector<dir_level> stack;
    std::string path;
    std::string top_word;   // the source as the user typed it
};

std::string level_path(const walk_state& w, const dir_level& d)
{
    return w.path.substr(0, d.path_len);
}

// The name a level is known by in messages: the source as typed for the
// top, its entry name below.
std::string level_word(const walk_state& w, const dir_level& d)
{
    if (&d == &w.stack.front())
        return w.top_word;
    return w.path.substr(d.name_at, d.path_len - d.name_at);
}

// Sets the walk's path to that of directory `d` followed by entry `name`,
// in place: the one path grows and shrinks with the walk.
void path_to_entry(walk_state& w, const dir_level& d, const std::string& name)
{
    w.path.resize(d.path_len);
    if (w.path.back() != '/')
        w.path += '/';
    w.path += name;
}

// Opens the stream of directory level `d`, where its next entry lies;
// false (reported) when it cannot be opened.
bool open_entries(const walk_state& w, dir_level& d)
{
    d.stream = fs_opendir_ino(d.ino);
    if (d.stream == nullptr) {
        progress_clear();
        std::string word = shown(level_word(w, d).c_str(), stderr);
        fprintf(stderr, "opendir %s\n", word.c_str());
        show_error(word.c_str());
        return false;
    }
    if (d.resume != 0)
        fs_seekdir(d.stream, d.resume);   // a block that fails now is lost; the rest follows
    return true;
}

// Shuts the stream of level `d` while a child is copied, keeping where it
// was and any fault it met.
void shut_entries(dir_level& d)
{
    if (d.stream == nullptr)
        return;
    d.resume = fs_telldir(d.stream);
    if (d.lost == FSE_OK)
        fs_flost(d.stream, nullptr, &d.lost);
    fs_closedir(d.stream);
    d.stream = nullptr;
}

// The next entry of the top level, read where the last one ended; false at
// the end of the directory, which is then reported (and the level marked
// not whole) when it could not be read to its end.
bool next_entry(const walk_state& w, dir_level& d, std::string& name, uint32_t& ino)
{
    if (d.stream == nullptr && !open_entries(w, d)) {
        d.whole = false;
        report_failed(level_path(w, d));
        return false;
    }
    if (direct* e = fs_readdir(d.stream)) {
        name.assign(e->d_name);   // the record holds its NUL
        ino = e->d_ino;
        return true;
    }
    if (!fs_fclean(d.stream) || d.lost != FSE_OK) {
        if (d.lost != FSE_OK)
            fs_errno = d.lost;   // the first fault is the one to name
        progress_clear();
        show_error(shown(level_word(w, d).c_str(), stderr).c_str());
        d.whole = false;
        report_failed(level_path(w, d));
    }
    fs_closedir(d.stream);
    d.stream = nullptr;
    return false;
}

// Makes the host directory of a new level `d` inside `dirfd` (under
// `host_name`, or `dirfd` itself when that is empty); false (reported and
// counted) when it cannot be made.
bool make_level_dir(copy_ctx& cx, const walk_state& w, host_names* parent_names, int dirfd,
                    const std::string& host_name, dir_level& d)
{
    bool made = false;
    if (host_name.empty()) {
        d.fd = fcntl(dirfd, F_DUPFD_CLOEXEC, 0);
    } else {
        // A name this copy made already is never filled again.
        struct stat was;
        if (fstatat(dirfd, host_name.c_str(), &was, AT_SYMLINK_NOFOLLOW) == 0
            && refuse_duplicate(cx, parent_names, dirfd, host_name.c_str(), w.path))
            return false;
        d.fd = host_dir_make(dirfd, host_name.c_str(), (cx.flags & CP_PERM) != 0, &made);
    }
    struct stat st;
    if (d.fd == -1 || fstat(d.fd, &st) == -1) {
        host_error(host_name.empty() ? w.top_word.c_str() : host_name.c_str(), errno);
        if (d.fd != -1)
            close(d.fd);
        report_failed(w.path);
        cx.n.failed++;
        return false;
    }
    // A name met again in the parent must be refused even where the parent
    // was there before this copy.
    if (!host_name.empty())
        note_made(parent_names, dirfd, nullptr, d.fd);
    d.names.fresh = made;
    d.host_dev = st.st_dev;
    d.host_ino = st.st_ino;
    return true;
}

// Starts copying directory `ino` (at the walk's path) into host directory
// `dirfd` and puts it on the stack.  False (reported and counted) when the
// host directory cannot be made.
bool enter_dir(copy_ctx& cx, walk_state& w, int dirfd, uint32_t ino, const image_attrs& a,
               const std::string& host_name, dir_level&& d)
{
    if (cx.flags & CP_VERBOSE) {
        progress_clear();
        std::string word = w.stack.empty() ? w.top_word : w.path.substr(d.name_at);
        fprintf(stderr, "copy_dir %s .\n", shown(word.c_str(), stderr).c_str());
    }
    progress_update(cx.n.files, cx.n.bytes, w.path.c_str());
    host_names* parent_names = w.stack.empty() ? nullptr : &w.stack.back().names;
    if (!make_level_dir(cx, w, parent_names, dirfd, host_name, d))
        return false;
    // Copied only once its host directory exists: a name of it met later
    // is then an alias, never before.
    cx.dirs_seen.insert(ino);
    d.ino = ino;
    d.attrs = a;
    d.path_len = w.path.size();
    // One host directory and one directory stream open at a time: the
    // parent's are opened again when this one is done.
    if (!w.stack.empty()) {
        close(w.stack.back().fd);
        w.stack.back().fd = -1;
        shut_entries(w.stack.back());
    }
    w.stack.push_back(std::move(d));
    return true;
}

// Opens the parent of host directory `fd` again and checks that it is the
// one the walk came from.
int climb(int fd, const dir_level& parent)
{
    int up = openat(fd, "..", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (up != -1 && fstat(up, &st) == 0 && st.st_dev == parent.host_dev && st.st_ino == parent.host_ino)
        return up;
    if (up != -1)
        close(up);
    return -1;
}

// Ends the directory on top of the stack: its attributes (after its
// contents, so that -p times stay), the way back to its parent, its count.
void leave_dir(copy_ctx& cx, walk_state& w)
{
    dir_level& d = w.stack.back();
    if (w.stack.size() > 1 && d.fd != -1) {
        dir_level& parent = w.stack[w.stack.size() - 2];
        parent.fd = climb(d.fd, parent);
        if (parent.fd == -1) {
            progress_clear();
            fprintf(stderr, "%s: cannot return to the host directory\n",
                    shown(level_path(w, parent).c_str(), stderr).c_str());
            cx.stopped = true;
        }
    }
    if (d.fd != -1) {
        if ((cx.flags & CP_PERM) && d.own_attrs)
            copy_perm(cx, d.attrs, d.fd, -1, nullptr);
        close(d.fd);
    }
    // Whole only when every entry was read and taken in turn; a directory
    // that was not read whole has been named already.
    if (d.stream != nullptr)
        fs_closedir(d.stream);
    if (d.whole && d.fd != -1 && d.ended) {
        cx.n.dirs++;
    } else {
        if (d.whole)
            report_failed(level_path(w, d));
        cx.n.failed++;
    }
    w.stack.pop_back();
    if (!w.stack.empty())
        w.path.resize(w.stack.back().path_len);
}

// "." must name the directory itself and ".." the one the walk came from:
// true for such an entry, which is passed over.  Any other "." or ".."
// would hide a directory's files and is named as not copied.
bool self_or_parent(const dir_level& d, const std::string& name, uint32_t ino)
{
    if (name == ".")
        return ino == d.ino;
    if (name == "..")
        return d.parent_ino == 0 || ino == d.parent_ino;
    return false;
}

// Copies the entry at the walk's path (inode `ino`, named `name` in the
// directory on top of the stack).  A subdirectory is pushed onto the
// stack, to be copied by the loop.
void copy_entry(copy_ctx& cx, walk_state& w, const std::string& name, uint32_t ino)
{
    dir_level& d = w.stack.back();
    if (self_or_parent(d, name, ino))
        return;
    progress_update(cx.n.files, cx.n.bytes, w.path.c_str());
    fs_statrec rec;
    if (fs_istat(ino, &rec) == -1) {
        progress_clear();
        show_error(shown(name.c_str(), stderr).c_str());
        report_failed(w.path);
        cx.n.failed++;
        return;
    }
    image_attrs a = attrs_of(rec);
    uint16_t type = a.mode & IFMT;
    if (!plain_name(name.c_str()) || (type != IFDIR && type != IFREG && type != IFLNK)) {
        report_not_copied(cx, w.path);
    } else if (type == IFDIR && cx.dirs_seen.count(ino) != 0) {
        progress_clear();
        fprintf(stderr, "%s: directory already copied\n", shown(w.path.c_str(), stderr).c_str());
        cx.n.not_copied++;
    } else if (type == IFDIR) {
        dir_level child;
        child.parent_ino = d.ino;
        child.name_at = w.path.size() - name.size();
        enter_dir(cx, w, d.fd, ino, a, name, std::move(child));
    } else if (type == IFREG) {
        if (cx.flags & CP_VERBOSE) {
            progress_clear();
            std::string s = shown(name.c_str(), stderr);
            fprintf(stderr, "copy_file %s %s\n", s.c_str(), s.c_str());
        }
        copy_file(cx, ino, a, d.fd, name.c_str(), &d.names, w.path);
    } else {
        copy_link(cx, ino, a, d.fd, name.c_str(), &d.names, w.path);
    }
}

}  // namespace

void copy_dir(copy_ctx& cx, uint32_t ino, const image_attrs& a, int dirfd,
              const std::string& host_name, const std::string& path,
              const std::string& word, uint32_t parent_ino)
{
    walk_state w;
    w.path = path;
    w.top_word = word;
    dir_level top;
    top.parent_ino = parent_ino;
    top.own_attrs = !host_name.empty();
    if (!enter_dir(cx, w, dirfd, ino, a, host_name, std::move(top)))
        return;
    std::string name;
    uint32_t entry_ino = 0;
    while (!w.stack.empty()) {
        if (sh_interrupted)
            cx.stopped = true;
        dir_level& d = w.stack.back();
        if (!cx.stopped && !d.ended && d.fd != -1) {
            if (next_entry(w, d, name, entry_ino)) {
                path_to_entry(w, d, name);
                copy_entry(cx, w, name, entry_ino);
                continue;
            }
            d.ended = true;
        }
        leave_dir(cx, w);
    }
}
