// cp: copies files and directory trees out of the mounted file system onto
// the host.  This is the one command that writes on the user's machine, so
// it is strict about where it writes: host names come only from the words
// the user typed or from checked entry names, the host working directory
// follows the walk level by level, and every host failure is reported.
#include "shell/shell.h"
#include "shell/getopt.h"
#include "shell/console.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Internal flag, never set by an option: the host name is one that the walk
// chose inside the target, so a host symbolic link of that name must not be
// followed out of it.
static constexpr int CP_INSIDE = 0x100;

// Set when the walk could not climb back out of a directory, on the host or
// in the library: entries named from then on would be read or written in
// the wrong place, so the walk stops, and do_cp goes back to where it
// started on the host.
static bool walk_lost = false;
static int walk_depth = 0;

// Files and bytes copied so far by this cp command, for the progress line.
static uint64_t progress_files = 0;
static uint64_t progress_bytes = 0;

void cp_usage()
{
    fputs("Use: cp [-rpv] fs-file unix-file\n", stderr);
}

int copy_perm(const char*, const char*)
{
    return 0;
}

// An entry name that may be used as a host name inside the target: not
// empty, not "." or "..", no '/'.
static bool plain_name(const char* name)
{
    return name[0] != '\0' && strcmp(name, ".") != 0 && strcmp(name, "..") != 0
        && strchr(name, '/') == nullptr;
}

// The last name of a source path, copied into `out` (which holds `size`
// bytes), with trailing slashes dropped.  False when the path has no last
// name of its own ("", "/", ".", "..", "a/..") or it does not fit.
static bool last_name(const char* path, char* out, size_t size)
{
    size_t end = strlen(path);
    while (end > 0 && path[end - 1] == '/')
        end--;
    size_t start = end;
    while (start > 0 && path[start - 1] != '/')
        start--;
    size_t len = end - start;
    if (len == 0 || len >= size)
        return false;
    memcpy(out, path + start, len);
    out[len] = '\0';
    return plain_name(out);
}

// Creates (or truncates) host file `name` for writing, as fopen(name, "wb")
// does; with `inside`, a symbolic link of that name is refused instead of
// followed.
static FILE* host_create(const char* name, bool inside)
{
    int oflags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
    if (inside)
        oflags |= O_NOFOLLOW;
    int fd = open(name, oflags, 0666);
    if (fd == -1)
        return nullptr;
    FILE* f = fdopen(fd, "wb");
    if (f == nullptr) {
        int saved = errno;
        close(fd);
        errno = saved;
    }
    return f;
}

int copy_file(const char* src, const char* dst, int flags)
{
    progress_files++;
    if (flags & CP_VERBOSE) {
        progress_clear();
        fprintf(stderr, "copy_file %s %s\n", src, dst);
    }

    // The source is opened first: a source that cannot be read must leave
    // an existing host file as it was.
    FS_FILE* in = fs_fopen(src, "rb");
    if (in == nullptr) {
        show_error("fs_fopen");
        return 1;
    }
    FILE* out = host_create(dst, (flags & CP_INSIDE) != 0);
    if (out == nullptr) {
        perror("fopen");
        int saved = errno;  // the shell reports it once more as the reason
        fs_fclose(in);
        errno = saved;
        return 1;
    }

    unsigned char buffer[512];
    uint32_t got;
    int write_errno = 0;
    while ((got = fs_fread(buffer, 1, sizeof buffer, in)) > 0) {
        if (fwrite(buffer, 1, got, out) != got) {
            write_errno = errno;
            break;
        }
        progress_bytes += got;
        progress_update(progress_files, progress_bytes, src);
    }
    // After a write failure the stream was left midway on purpose.
    if (write_errno == 0 && !fs_fclean(in))
        show_error("fs_fread");
    fs_fclose(in);
    if (fclose(out) != 0 && write_errno == 0)
        write_errno = errno;
    if (write_errno != 0) {
        errno = write_errno;
        perror(dst);
    }

    if (flags & CP_PERM) {
        if (copy_perm(src, dst) != 0)
            perror("copy_perm");
    }
    return write_errno != 0 ? 1 : 0;
}

// Makes host directory `name` in the host working directory (or reuses the
// one there) and moves into it.  Reports and returns false when that cannot
// be done; the host working directory is then unchanged.
static bool enter_host_dir(const char* name)
{
    if (mkdir(name, 0777) == -1 && errno != EEXIST) {
        perror(name);
        return false;
    }
    // Only a real directory: neither a file of that name nor a symbolic
    // link that would lead the copy out of the target.
    struct stat st;
    if (lstat(name, &st) == -1) {
        perror(name);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        perror(name);
        return false;
    }
    if (chdir(name) == -1) {
        perror(name);
        return false;
    }
    return true;
}

static void leave_host_dir(const char* name)
{
    if (chdir("..") == -1) {
        perror(name);
        walk_lost = true;
    }
}

// Takes the library back to the working directory a level started in.
static void fs_return(const char* saved)
{
    if (fs_chdir(saved) == -1) {
        show_error(saved);
        walk_lost = true;
    }
}

// One entry of a directory being copied; the library's and the host's
// working directories are both inside that directory.
static int copy_entry(const char* fs_cwd, const char* dir, const direct* entry,
                      int flags, int result)
{
    char name[256];
    size_t len = strnlen(entry->d_name, sizeof name - 1);
    memcpy(name, entry->d_name, len);
    name[len] = '\0';

    fs_statrec rec;
    if (fs_istat(entry->d_ino, &rec) == -1) {
        show_error(name);
        return result;
    }
    uint16_t type = rec.st_mode & IFMT;
    if (type == IFDIR && (strcmp(name, ".") == 0 || strcmp(name, "..") == 0))
        return result;
    if ((type == IFDIR || type == IFREG) && plain_name(name)) {
        if (type == IFDIR)
            return copy_dir(name, ".", flags);
        return copy_file(name, name, flags | CP_INSIDE);
    }
    fprintf(stderr, "%s/%s/%s not copied\n", fs_cwd, dir, name);
    return result;
}

int copy_dir(const char* src, const char* dst, int flags)
{
    int result = 0;
    if (flags & CP_VERBOSE)
        fprintf(stderr, "copy_dir %s %s\n", src, dst);
    if (walk_depth == 0)
        walk_lost = false;

    char saved[CWD_SIZE];
    if (fs_getcwd(saved) == nullptr)
        saved[0] = '\0';
    if (fs_chdir(src) == -1) {
        show_error(src);
        return 2;
    }

    // The host side goes by the source's last name alone; a source without
    // one ("/", ".", "..") is copied straight into the host directory.
    char host_name[256];
    bool entered = false;
    if (last_name(src, host_name, sizeof host_name)) {
        if (!enter_host_dir(host_name)) {
            fs_return(saved);
            return 1;
        }
        entered = true;
    }

    if (flags & CP_PERM) {
        if (copy_perm(".", ".") != 0)
            perror("copy_perm");
    }

    FS_FILE* dir = fs_opendir(".");
    if (dir == nullptr) {
        fprintf(stderr, "opendir %s\n", src);
        show_error(src);
        result = 1;
    } else {
        walk_depth++;
        while (!walk_lost) {
            direct* entry = fs_readdir(dir);
            if (entry == nullptr) {
                // Entries lost to an unreadable block must not pass
                // unnoticed in a copy that otherwise looks complete.
                if (!fs_fclean(dir))
                    show_error(src);
                break;
            }
            result = copy_entry(saved, src, entry, flags & ~CP_INSIDE, result);
        }
        walk_depth--;
    }

    if (entered && !walk_lost)
        leave_host_dir(host_name);
    if (dir != nullptr)
        fs_closedir(dir);
    fs_return(saved);
    return result;
}

// The host working directory at the start of a command, kept as an open
// descriptor (any length of path) and, failing that, as its path.
struct host_place {
    int fd = -1;
    char path[4096] = "";
};

static bool host_save(host_place& place)
{
    place.fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (place.fd != -1)
        return true;
    if (getcwd(place.path, sizeof place.path) != nullptr)
        return true;
    perror("getcwd");
    return false;
}

static void host_restore(host_place& place)
{
    int rc = place.fd != -1 ? fchdir(place.fd) : chdir(place.path);
    if (rc == -1)
        perror(place.fd != -1 ? "cannot return to the host directory" : place.path);
    if (place.fd != -1)
        close(place.fd);
}

// The host end of a -r copy: save the host working directory, change into
// `dst`.  5 when either fails, 0 when the caller may copy and must call
// host_restore afterwards.
static int host_enter_target(host_place& place, const char* dst)
{
    if (!host_save(place))
        return 5;
    if (chdir(dst) == -1) {
        int saved = errno;
        if (place.fd != -1)
            close(place.fd);
        errno = saved;
        return 5;
    }
    return 0;
}

int do_cp(int argc, char** argv)
{
    sh_opt::getopt_reset();
    progress_files = progress_bytes = 0;
    progress_start();
    int flags = 0;
    int ch;
    while ((ch = sh_opt::getopt(argc, argv, "rpv")) != -1) {
        switch (ch) {
        case 'r': flags |= CP_RECURSIVE; break;
        case 'p': flags |= CP_PERM; break;
        case 'v': flags |= CP_VERBOSE; break;
        default:
            cp_usage();
            return 1;
        }
    }
    if (argc - sh_opt::optind != 2) {
        fprintf(stderr, "%d:%d\n", sh_opt::optind, argc);
        cp_usage();
        return 2;
    }
    const char* src = argv[sh_opt::optind];
    const char* dst = argv[sh_opt::optind + 1];

    fs_statrec rec;
    if (fs_stat(src, &rec) == -1) {
        // The library's own reason: the host's errno has nothing to do
        // with a name missing from the image and may be left over from
        // any earlier command.
        show_error(src);
        return 3;
    }
    if (!(flags & CP_RECURSIVE))
        return copy_file(src, dst, flags);

    struct stat target;
    bool target_exists = stat(dst, &target) == 0;
    if ((rec.st_mode & IFMT) == IFDIR) {
        if (!target_exists) {
            fprintf(stderr, "%s: directory, target %s does not exist\n", src, dst);
            return 3;
        }
        if (!S_ISDIR(target.st_mode)) {
            fprintf(stderr, "%s: directory, target %s not directory\n", src, dst);
            return 4;
        }
        host_place place;
        if (host_enter_target(place, dst) != 0)
            return 5;
        copy_dir(src, ".", flags);
        host_restore(place);
        return 0;
    }

    if (target_exists) {
        if (!S_ISDIR(target.st_mode)) {
            fprintf(stderr, "target %s exists\n", dst);
            return 6;
        }
        char name[256];
        if (!last_name(src, name, sizeof name)) {
            fprintf(stderr, "%s not copied\n", src);
        } else {
            host_place place;
            if (host_enter_target(place, dst) != 0)
                return 5;
            copy_file(src, name, flags | CP_INSIDE);
            host_restore(place);
        }
    }
    fputs("-r makes no sense here\n", stderr);
    return 0;
}
