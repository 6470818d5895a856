// The host side of cp: directories opened and made relative to the one
// being filled, never through a symbolic link, and the attributes that -p
// carries over.
#include "shell/copy_internal.h"
#include "shell/console.h"
#include "shell/shell.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
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

int host_dir_make(int dirfd, const char* name, bool private_mode)
{
    if (mkdirat(dirfd, name, private_mode ? 0700 : 0777) == -1 && errno != EEXIST)
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
// set-id and sticky bits only when the owner was kept.
static void copy_mode_owner(copy_ctx& cx, const image_attrs& a, int fd)
{
    bool owner_kept = false;
    if (cx.as_root) {
        if (fchown(fd, a.uid, a.gid) == 0)
            owner_kept = true;
        else
            perm_error(cx);
    }
    mode_t mode = a.mode & (owner_kept ? (PERM_BITS | SPECIAL_BITS) : PERM_BITS);
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
