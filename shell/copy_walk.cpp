// The walk of cp -r.  It keeps its own stack of directories instead of
// recursing, so no depth can exhaust the program's stack; it shuts a
// directory's stream before going deeper and takes it up again where it
// stopped, so no depth can exhaust the library's stream slots and no
// directory's size grows the memory it holds; it finds every entry by
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

// A directory being copied.  Only the directory on top of the stack has its
// stream open; the others keep where their next entry lies, so the walk
// holds no list of entries and its memory does not grow with a directory.
struct dir_level {
    uint32_t ino = 0;
    image_attrs attrs;
    int fd = -1;          // host directory being filled; -1 while a child is
    dev_t host_dev = 0;   // identity of that host directory, to check the
    ino_t host_ino = 0;   // way back up from a child
    std::string path;     // absolute image path
    std::string word;     // the name it was given by
    std::string parent;   // image path of the directory that named it
    FS_FILE* stream = nullptr;  // open while no child is being copied
    int64_t resume = 0;   // where the next entry lies while the stream is shut
    int lost = FSE_OK;    // first fault met in the entries read so far
    bool ended = false;   // every entry was taken in turn
    bool whole = true;    // every entry was read
};

// Longest name a directory record can hold, without its NUL.
constexpr size_t NAME_MAX_FS = 255;

// Opens the stream of directory level `d`, where its next entry lies;
// false (reported) when it cannot be opened.
bool open_entries(dir_level& d)
{
    d.stream = fs_opendir_ino(d.ino);
    if (d.stream == nullptr) {
        progress_clear();
        fprintf(stderr, "opendir %s\n", shown(d.word.c_str(), stderr).c_str());
        show_error(shown(d.word.c_str(), stderr).c_str());
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
        d.lost = d.stream->ff_lost;
    fs_closedir(d.stream);
    d.stream = nullptr;
}

// The next entry of level `d`, read where the last one ended; false at the
// end of the directory, which is then reported (and the level marked not
// whole) when it could not be read to its end.
bool next_entry(dir_level& d, std::string& name, uint32_t& ino)
{
    if (d.stream == nullptr && !open_entries(d)) {
        d.whole = false;
        report_failed(d.path);
        return false;
    }
    if (direct* e = fs_readdir(d.stream)) {
        name.assign(e->d_name, strnlen(e->d_name, NAME_MAX_FS));
        ino = e->d_ino;
        return true;
    }
    if (!fs_fclean(d.stream) || d.lost != FSE_OK) {
        if (d.lost != FSE_OK)
            fs_errno = d.lost;   // the first fault is the one to name
        progress_clear();
        show_error(shown(d.word.c_str(), stderr).c_str());
        d.whole = false;
        report_failed(d.path);
    }
    fs_closedir(d.stream);
    d.stream = nullptr;
    return false;
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
    // One host directory and one directory stream open at a time: the
    // parent's are opened again when this one is done.
    if (!stack.empty()) {
        close(stack.back().fd);
        stack.back().fd = -1;
        shut_entries(stack.back());
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
    // Whole only when every entry was read and taken in turn; a directory
    // that was not read whole has been named already.
    if (d.stream != nullptr)
        fs_closedir(d.stream);
    if (d.whole && d.fd != -1 && d.ended) {
        cx.n.dirs++;
    } else {
        if (d.whole)
            report_failed(d.path);
        cx.n.failed++;
    }
    stack.pop_back();
}

void not_copied(copy_ctx& cx, const dir_level& d, const std::string& name)
{
    progress_clear();
    fprintf(stderr, "%s/%s/%s not copied\n", shown(d.parent.c_str(), stderr).c_str(),
            shown(d.word.c_str(), stderr).c_str(), shown(name.c_str(), stderr).c_str());
    cx.n.not_copied++;
}

// Copies entry `name` (inode `ino`) of the directory on top of the stack.
// A subdirectory is pushed onto the stack, to be copied by the loop.
void copy_entry(copy_ctx& cx, std::vector<dir_level>& stack, const std::string& name, uint32_t ino)
{
    dir_level& d = stack.back();
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
    std::string name;
    uint32_t entry_ino = 0;
    while (!stack.empty()) {
        if (sh_interrupted)
            cx.stopped = true;
        dir_level& d = stack.back();
        if (!cx.stopped && !d.ended && d.fd != -1) {
            if (next_entry(d, name, entry_ino)) {
                copy_entry(cx, stack, name, entry_ino);
                continue;
            }
            d.ended = true;
        }
        leave_dir(cx, stack);
    }
}
