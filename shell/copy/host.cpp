// The host side of cp: directories opened and made relative to the one
// being filled, never through a symbolic link, and the attributes that -p
// carries over.
#include "shell/copy/copy.h"
#include "shell/prompt/console.h"
#include "shell/shell.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Permission bits, and the three that only mean anything with their owner.
static constexpr mode_t PERM_BITS = 0777;
static constexpr mode_t SPECIAL_BITS = 07000;

void host_error(const char* label, int err)
{
    progress_clear();
    fprintf(stderr, "%s: %s\n", shown(label, stderr).c_str(), strerror(err));
}

void report_failed(const std::string& image_path)
{
    progress_clear();
    fprintf(stderr, "%s: failed\n", shown(image_path.c_str(), stderr).c_str());
}

void report_not_copied(walk_ctx& cx, const std::string& image_path)
{
    progress_clear();
    fprintf(stderr, "%s not %s\n", shown(image_path.c_str(), stderr).c_str(), cx.verb);
    cx.n.not_copied++;
}

std::string host_path_of(const copy_ctx& cx, const std::string& image_path)
{
    size_t base = cx.image_base.size();
    if (image_path.size() <= base)
        return cx.host_base;
    // The part below the base, which starts with '/' unless the base is
    // the root.
    std::string out = cx.host_base == "/" ? "" : cx.host_base;
    if (image_path[base] != '/')
        out += '/';
    out.append(image_path, base, std::string::npos);
    return out;
}

// The disk being read, as the host knows it.
// The host files the disk is read from: the image, or its container's
// segments and backing files.
static std::vector<std::pair<uint64_t, uint64_t>> disk_files;

void protect_disk(const disk* d)
{
    disk_files.clear();
    uint64_t dev = 0;
    uint64_t ino = 0;
    for (int i = 0; disk_ident(d, i, &dev, &ino); i++)
        disk_files.emplace_back(dev, ino);
}

static bool is_the_disk(const struct stat& st)
{
    for (const auto& f : disk_files) {
        if (static_cast<uint64_t>(st.st_dev) == f.first && static_cast<uint64_t>(st.st_ino) == f.second)
            return true;
    }
    return false;
}

int open_output(const char* cmd, const char* path)
{
    if (strcmp(path, "-") == 0)
        return STDOUT_FILENO;
    int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    struct stat st = {};
    if (fd != -1 && fstat(fd, &st) == 0 && is_the_disk(st)) {
        fprintf(stderr, "%s: %s: is the disk being read, not written\n", cmd, path);
        close(fd);
        return -1;
    }
    // Only a regular file is emptied: a pipe or a device (/dev/null) has
    // nothing to cut and refuses the call.
    if (fd == -1 || (S_ISREG(st.st_mode) && ftruncate(fd, 0) == -1)) {
        fprintf(stderr, "%s: %s: %s\n", cmd, path, strerror(errno));
        if (fd != -1)
            close(fd);
        return -1;
    }
    return fd;
}

static void refuse_disk(copy_ctx& cx, const std::string& image_path)
{
    progress_clear();
    fprintf(stderr, "%s: is the disk being read, not written\n",
            shown(host_path_of(cx, image_path).c_str(), stderr).c_str());
    report_failed(image_path);
    cx.n.failed++;
}

void note_made(host_names* names, int dirfd, const char* name, int fd)
{
    if (names == nullptr || names->fresh)
        return;
    struct stat st;
    int rc = fd != -1 ? fstat(fd, &st) : fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW);
    if (rc == 0)
        names->made.insert(static_cast<uint64_t>(st.st_ino));
}

bool refuse_duplicate(copy_ctx& cx, const host_names* names, int dirfd, const char* name,
                      const std::string& image_path)
{
    if (names == nullptr)
        return false;
    bool ours = names->fresh;
    struct stat st;
    if (!ours && !names->made.empty() && fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0)
        ours = names->made.count(static_cast<uint64_t>(st.st_ino)) != 0;
    if (!ours)
        return false;
    progress_clear();
    fprintf(stderr, "%s: duplicate name, not written\n", shown(image_path.c_str(), stderr).c_str());
    cx.n.failed++;
    return true;
}

// Opens an existing host file for writing without changing it, and checks
// that it is not the disk before it is emptied.
static host_open open_existing(copy_ctx& cx, int dirfd, const char* name, bool inside,
                               const std::string& image_path, int* fd)
{
    struct stat st;
    if (fstatat(dirfd, name, &st, inside ? AT_SYMLINK_NOFOLLOW : 0) == 0 && is_the_disk(st)) {
        refuse_disk(cx, image_path);
        return host_open::refused;
    }
    // Inside the target, neither a host symbolic link is followed nor does
    // the open wait for ever on a host pipe that has no reader.
    int oflags = O_WRONLY | O_CLOEXEC | (inside ? O_NOFOLLOW | O_NONBLOCK : O_CREAT);
    *fd = openat(dirfd, name, oflags, (cx.flags & CP_PERM) ? 0600 : 0666);
    if (*fd == -1)
        return host_open::failed;
    // Checked again on what was opened: the name may have changed since.
    bool known = fstat(*fd, &st) == 0;
    if (known && is_the_disk(st)) {
        close(*fd);
        *fd = -1;
        refuse_disk(cx, image_path);
        return host_open::refused;
    }
    if (known && S_ISREG(st.st_mode) && ftruncate(*fd, 0) == -1) {
        int err = errno;
        close(*fd);
        *fd = -1;
        errno = err;
        return host_open::failed;
    }
    return host_open::ok;
}

host_open host_file_open(copy_ctx& cx, host_names* names, int dirfd, const char* name,
                         const std::string& image_path, int* fd)
{
    bool inside = names != nullptr;
    mode_t mode = (cx.flags & CP_PERM) ? 0600 : 0666;
    // A name that was not there cannot be the disk, nor a name made before.
    *fd = openat(dirfd, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | (inside ? O_NOFOLLOW : 0), mode);
    if (*fd == -1 && errno == EEXIST) {
        if (refuse_duplicate(cx, names, dirfd, name, image_path))
            return host_open::refused;
        host_open r = open_existing(cx, dirfd, name, inside, image_path, fd);
        if (r != host_open::ok)
            return r;
    } else if (*fd == -1) {
        return host_open::failed;
    }
    // Once open, writes wait as usual: a pipe with a slow reader gets all
    // of the data instead of failing when it is full.
    if (inside)
        fcntl(*fd, F_SETFL, 0);
    note_made(names, dirfd, name, *fd);
    return host_open::ok;
}

int host_dir_make(int dirfd, const char* name, bool private_mode, bool* made)
{
    *made = mkdirat(dirfd, name, private_mode ? 0700 : 0777) == 0;
    if (!*made && errno != EEXIST)
        return -1;
    int fd = openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    // A symbolic link of that name is not a directory to fill.
    if (fd == -1 && errno == ELOOP)
        errno = ENOTDIR;
    return fd;
}

static void perm_error(copy_ctx& cx)
{
    int err = errno;
    cx.perm_failed = true;
    host_error("copy_perm", err);
}

// Owner first (changing it clears the set-id bits), then the mode; the
// set-id bits only when the owner was kept.  A directory's sticky bit asks
// nothing of its owner, and whoever runs the copy may set it.
static void copy_mode_owner(copy_ctx& cx, const image_attrs& a, int fd)
{
    bool owner_kept = false;
    if (cx.as_root) {
        if (fchown(fd, a.uid, a.gid) == 0)
            owner_kept = true;
        else
            perm_error(cx);
    }
    mode_t keep = owner_kept ? (PERM_BITS | SPECIAL_BITS) : PERM_BITS;
    if ((a.mode & IFMT) == IFDIR)
        keep |= S_ISVTX;
    mode_t mode = a.mode & keep;
    if (fchmod(fd, mode) == -1)
        perm_error(cx);
}

void copy_perm(copy_ctx& cx, const image_attrs& a, int fd, int dirfd, const char* name)
{
    struct timespec times[2] = {};
    times[0].tv_sec = static_cast<time_t>(a.atime);
    times[1].tv_sec = static_cast<time_t>(a.mtime);
    if (fd != -1) {
        copy_mode_owner(cx, a, fd);
        if (futimens(fd, times) == -1)
            perm_error(cx);
        return;
    }
    // A link: its own owner and times, never its target's.
    if (cx.as_root && fchownat(dirfd, name, a.uid, a.gid, AT_SYMLINK_NOFOLLOW) == -1)
        perm_error(cx);
    if (utimensat(dirfd, name, times, AT_SYMLINK_NOFOLLOW) == -1)
        perm_error(cx);
}
