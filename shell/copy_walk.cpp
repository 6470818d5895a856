// The walk of cp -r.  It keeps its own stack of directories instead of
// recursing, so no depth can exhaust the program's stack; it reads a
// directory's entries whole and closes the stream before going deeper, so
// no depth can exhaust the library's stream slots; it finds every entry by
// the inode number its directory gives, so no image path is ever looked up
// again and none is too long; and it works on the host relative to the
// directory being filled, with one host directory open at a time.
// Each directory inode is entered once: a second name for one (a cycle or
// an alias on a damaged image) is reported and skipped, so the work is
// bounded by the number of inodes on the image.
#include "shell/copy_internal.h"
#include "shell/console.h"
#include "shell/shell.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// One directory's entries in directory order, names packed in one text.
struct entry_list {
    std::vector<uint32_t> inos;
    std::vector<uint32_t> name_at;  // where each name starts in `names`
    std::string names;            // names, each ended by a NUL

    size_t size() const { return inos.size(); }
    std::string name(size_t i) const { return std::string(names.c_str() + name_at[i]); }
};

// A directory being copied.
struct dir_level {
    uint32_t ino = 0;
    image_attrs attrs;
    int fd = -1;          // host directory being filled; -1 while a child is
    dev_t host_dev = 0;   // identity of that host directory, to check the
    ino_t host_ino = 0;   // way back up from a child
    std::string path;     // absolute image path
    std::string word;     // the name it was given by
    std::string parent;   // image path of the directory that named it
    entry_list entries;
    size_t next = 0;      // next entry to copy
    bool whole = true;    // every entry was read
};

// Longest name a directory record can hold, without its NUL.
constexpr size_t NAME_MAX_FS = 255;
// Most name text one directory's list holds: far beyond any real
// directory, and within reach of the 32-bit offsets.
constexpr size_t NAMES_MAX = size_t{1} << 30;

// Reads the entries of directory `ino`; false (reported) when the
// directory could not be read to its end.
bool read_entries(uint32_t ino, const std::string& word, entry_list& out)
{
    FS_FILE* d = fs_opendir_ino(ino);
    if (d == nullptr) {
        progress_clear();
        fprintf(stderr, "opendir %s\n", shown(word.c_str(), stderr).c_str());
        show_error(shown(word.c_str(), stderr).c_str());
        return false;
    }
    while (!sh_interrupted && out.names.size() < NAMES_MAX) {
        direct* e = fs_readdir(d);
        if (e == nullptr)
            break;
        out.inos.push_back(e->d_ino);
        out.name_at.push_back(static_cast<uint32_t>(out.names.size()));
        out.names.append(e->d_name, strnlen(e->d_name, NAME_MAX_FS));
        out.names.push_back('\0');
    }
    if (out.names.size() >= NAMES_MAX)
        fs_errno = FSE_NOMEM;
    bool whole = sh_interrupted || (out.names.size() < NAMES_MAX && fs_fclean(d));
    if (!whole) {
        progress_clear();
        show_error(shown(word.c_str(), stderr).c_str());
    }
    fs_closedir(d);
    return whole;
}

// Starts copying directory `ino` into host directory `dirfd` (under
// `host_name`, or straight into it when that is empty) and puts it on the
// stack.  False (reported and counted) when the host directory cannot be
// made.
bool enter_dir(copy_ctx& cx, std::vector<dir_level>& stack, int dirfd, uint32_t ino,
               const image_attrs& a, const std::string& host_name, dir_level&& d)
{
    if (cx.flags & CP_VERBOSE) {
        progress_clear();
        fprintf(stderr, "copy_dir %s .\n", shown(d.word.c_str(), stderr).c_str());
    }
    progress_update(cx.n.files, cx.n.bytes, d.path.c_str());
    cx.dirs_seen.insert(ino);
    d.fd = host_name.empty() ? fcntl(dirfd, F_DUPFD_CLOEXEC, 0)
                             : host_dir_make(dirfd, host_name.c_str(), (cx.flags & CP_PERM) != 0);
    struct stat st;
    if (d.fd == -1 || fstat(d.fd, &st) == -1) {
        host_error(host_name.empty() ? d.word.c_str() : host_name.c_str(), errno);
        if (d.fd != -1)
            close(d.fd);
        report_failed(d.path);
        cx.n.failed++;
        return false;
    }
    d.ino = ino;
    d.attrs = a;
    d.host_dev = st.st_dev;
    d.host_ino = st.st_ino;
    d.whole = read_entries(ino, d.word, d.entries);
    if (!d.whole)
        report_failed(d.path);
    // One host directory open at a time: the parent is opened again
    // through ".." when this one is done.
    if (!stack.empty()) {
        close(stack.back().fd);
        stack.back().fd = -1;
    }
    stack.push_back(std::move(d));
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
void leave_dir(copy_ctx& cx, std::vector<dir_level>& stack)
{
    dir_level& d = stack.back();
    if (stack.size() > 1 && d.fd != -1) {
        dir_level& parent = stack[stack.size() - 2];
        parent.fd = climb(d.fd, parent);
        if (parent.fd == -1) {
            progress_clear();
            fprintf(stderr, "%s: cannot return to the host directory\n",
                    shown(parent.path.c_str(), stderr).c_str());
            cx.stopped = true;
        }
    }
    if (d.fd != -1) {
        if (cx.flags & CP_PERM)
            copy_perm(cx, d.attrs, d.fd, -1, nullptr);
        close(d.fd);
    }
    // Whole only when every entry was read and taken in turn.
    if (d.whole && d.fd != -1 && d.next == d.entries.size())
        cx.n.dirs++;
    else
        cx.n.failed++;
    stack.pop_back();
}

void not_copied(copy_ctx& cx, const dir_level& d, const std::string& name)
{
    progress_clear();
    fprintf(stderr, "%s/%s/%s not copied\n", shown(d.parent.c_str(), stderr).c_str(),
            shown(d.word.c_str(), stderr).c_str(), shown(name.c_str(), stderr).c_str());
    cx.n.not_copied++;
}

// Copies entry `i` of the directory on top of the stack.  A subdirectory
// is pushed onto the stack, to be copied by the loop.
void copy_entry(copy_ctx& cx, std::vector<dir_level>& stack, size_t i)
{
    dir_level& d = stack.back();
    std::string name = d.entries.name(i);
    uint32_t ino = d.entries.inos[i];
    std::string path = image_join(d.path, name.c_str());
    progress_update(cx.n.files, cx.n.bytes, path.c_str());
    fs_statrec rec;
    if (fs_istat(ino, &rec) == -1) {
        progress_clear();
        show_error(shown(name.c_str(), stderr).c_str());
        report_failed(path);
        cx.n.failed++;
        return;
    }
    image_attrs a = attrs_of(rec);
    uint16_t type = a.mode & IFMT;
    if (type == IFDIR && (name == "." || name == ".."))
        return;
    if (!plain_name(name.c_str()) || (type != IFDIR && type != IFREG && type != IFLNK)) {
        not_copied(cx, d, name);
    } else if (type == IFDIR && cx.dirs_seen.count(ino) != 0) {
        progress_clear();
        fprintf(stderr, "%s: directory already copied\n", shown(path.c_str(), stderr).c_str());
        cx.n.not_copied++;
    } else if (type == IFDIR) {
        dir_level child;
        child.path = path;
        child.word = name;
        child.parent = d.path;
        enter_dir(cx, stack, d.fd, ino, a, name, std::move(child));
    } else if (type == IFREG) {
        if (cx.flags & CP_VERBOSE) {
            progress_clear();
            std::string s = shown(name.c_str(), stderr);
            fprintf(stderr, "copy_file %s %s\n", s.c_str(), s.c_str());
        }
        copy_file(cx, ino, a, d.fd, name.c_str(), true, path);
    } else {
        copy_link(cx, ino, a, d.fd, name.c_str(), path);
    }
}

}  // namespace

void copy_dir(copy_ctx& cx, uint32_t ino, const image_attrs& a, int dirfd,
              const std::string& host_name, const std::string& path,
              const std::string& word, const std::string& parent)
{
    std::vector<dir_level> stack;
    dir_level top;
    top.path = path;
    top.word = word;
    top.parent = parent;
    if (!enter_dir(cx, stack, dirfd, ino, a, host_name, std::move(top)))
        return;
    while (!stack.empty()) {
        if (sh_interrupted)
            cx.stopped = true;
        dir_level& d = stack.back();
        if (cx.stopped || d.next == d.entries.size() || d.fd == -1) {
            leave_dir(cx, stack);
            continue;
        }
        copy_entry(cx, stack, d.next++);
    }
}
