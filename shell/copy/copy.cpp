// cp: copies files and directory trees out of the mounted file system onto
// the host.  This is the one command that writes on the user's machine, so
// it is strict about where it writes: host names come only from the words
// the user typed or from checked entry names, every host directory is
// opened without following symbolic links and filled relative to itself,
// and every entry that does not come out whole is named.
#include "shell/copy/copy.h"
#include "shell/prompt/console.h"
#include "shell/commands.h"
#include "shell/getopt.h"
#include "shell/prompt/words.h"
#include "shell/shell.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// A cp that stopped on the host: "cp: <the host's reason>".
static int stopped_by(int err)
{
    fprintf(stderr, "cp: %s\n", strerror(err));
    return 1;
}

static void cp_usage()
{
    print_usage(*find_command("cp"));
}

bool plain_name(const char* name)
{
    return name[0] != '\0' && strcmp(name, ".") != 0 && strcmp(name, "..") != 0
        && strchr(name, '/') == nullptr && strlen(name) <= HOST_NAME_MAX_LEN;
}

std::string last_name(const char* path)
{
    std::string name = fs_path_last(path);
    uint32_t ino;
    // An inode named by number lands under a name that says so.
    if (std::strchr(path, '/') == nullptr && fs_path_inode(name.c_str(), name.size(), &ino))
        return "inode-" + std::to_string(ino);
    return plain_name(name.c_str()) ? name : std::string();
}

// Options of one cp command into `flags`; false after the usage line.
static bool cp_options(int argc, char** argv, int* flags)
{
    sh_opt::getopt_reset();
    *flags = 0;
    int ch;
    while ((ch = sh_opt::getopt(argc, argv, "rpv")) != -1) {
        switch (ch) {
        case 'r': *flags |= CP_RECURSIVE; break;
        case 'p': *flags |= CP_PERM; break;
        case 'v': *flags |= CP_VERBOSE; break;
        default:
            cp_usage();
            return false;
        }
    }
    if (argc - sh_opt::optind != 2) {
        fprintf(stderr, "%d:%d\n", sh_opt::optind, argc);
        cp_usage();
        return false;
    }
    return true;
}

// The command's result for a copy_file result: a host file that could not
// be made or written also gives the host's reason.
static int file_result(int copied)
{
    if (copied == 1)
        return stopped_by(errno);
    return copied == 0 ? 0 : 1;
}

// Copies one node that is not a directory to host path `dirfd`/`name`
// (`dirfd` AT_FDCWD: the path as typed): a file's bytes, a link made
// again; anything else is not copied, which fails the command.
static int copy_node(copy_ctx& cx, uint32_t ino, const image_attrs& a, const char* src,
                     int dirfd, const char* name, host_names* names, const std::string& path)
{
    uint16_t type = a.mode & IFMT;
    if (type == IFLNK)
        return copy_link(cx, ino, a, dirfd, name, names, path) ? 0 : 1;
    if (type != IFREG && type != IFDIR) {
        report_not_copied(cx, path);
        return 1;
    }
    if (cx.flags & CP_VERBOSE)
        fprintf(stderr, "copy_file %s %s\n", src, name);
    return file_result(copy_file(cx, ino, a, dirfd, name, names, path));
}

// Copies the file into host directory `dst` under its last name.
static int copy_into(copy_ctx& cx, uint32_t ino, const image_attrs& a, const char* src,
                     const char* dst, const std::string& path)
{
    std::string name = last_name(src);
    if (name.empty()) {
        fprintf(stderr, "%s not copied\n", src);
        return 1;
    }
    int dirfd = open(dst, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirfd == -1)
        return stopped_by(errno);
    cx.image_base = path;
    cx.host_base = fs_path_join(dst, name.c_str());
    host_names names;   // the user's own directory: only its name is checked
    int result = copy_node(cx, ino, a, src, dirfd, name.c_str(), &names, path);
    close(dirfd);
    return result;
}

// cp without -r: the source read as a file (a directory gives its raw
// blocks), into host file `dst` or into host directory `dst`.
static int cp_plain(copy_ctx& cx, uint32_t ino, const image_attrs& a, const char* src,
                    const char* dst, const std::string& path)
{
    struct stat target;
    if (stat(dst, &target) == 0 && S_ISDIR(target.st_mode))
        return copy_into(cx, ino, a, src, dst, path);
    cx.image_base = path;
    cx.host_base = dst;
    return copy_node(cx, ino, a, src, AT_FDCWD, dst, nullptr, path);
}

void print_summary(const copy_counts& n)
{
    progress_clear();
    fprintf(stderr, "copied %u files (%llu bytes), %u directories, %u links; %u not copied; %u failed\n",
            n.files, n.bytes, n.dirs, n.links, n.not_copied, n.failed);
}

// A host directory as typed, without the slashes that may end it, ready
// for a name to be joined on.
static std::string host_dir_text(const char* dst)
{
    std::string text = dst;
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    return text;
}

// cp -r of a directory into the existing host directory `dst`.
static int cp_tree(copy_ctx& cx, uint32_t ino, const fs_statrec& rec, const char* src,
                   const char* dst, const std::string& path)
{
    struct stat target;
    if (stat(dst, &target) == -1) {
        int err = errno;
        fprintf(stderr, "%s: directory, target %s does not exist\n", src, dst);
        return stopped_by(err);
    }
    if (!S_ISDIR(target.st_mode)) {
        fprintf(stderr, "%s: directory, target %s not directory\n", src, dst);
        return 1;
    }
    int dirfd = open(dst, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirfd == -1)
        return stopped_by(errno);
    std::string name = last_name(src);
    cx.image_base = path;
    cx.host_base = name.empty() ? host_dir_text(dst) : fs_path_join(host_dir_text(dst), name.c_str());
    copy_dir(cx, ino, rec, dirfd, name, path, src, parent_ino_of(ino, path));
    close(dirfd);
    print_summary(cx.n);
    return copy_failed(cx) ? 1 : 0;
}

bool copy_failed(const copy_ctx& cx)
{
    return cx.n.failed != 0 || cx.perm_failed || cx.stopped;
}

void copy_tree_into(copy_ctx& cx, uint32_t ino, int dirfd, const std::string& name, const std::string& path)
{
    fs_statrec rec;
    if (fs_istat(ino, &rec) == -1) {
        show_error(path.c_str());
        report_failed(path);
        cx.n.failed++;
        return;
    }
    image_attrs a = attrs_of(rec);
    host_names names;
    switch (a.mode & IFMT) {
    case IFDIR: copy_dir(cx, ino, rec, dirfd, name, path, path, 0); break;
    case IFREG: copy_regular(cx, ino, a, dirfd, name.c_str(), &names, path); break;
    case IFLNK: copy_link(cx, ino, a, dirfd, name.c_str(), &names, path); break;
    default: report_not_copied(cx, path); break;
    }
}

void copy_start(copy_ctx& cx, int flags)
{
    cx.flags = flags;
    cx.as_root = geteuid() == 0;
    progress_start();
}

// cp -r of a file: copied into `dst` when that is a host directory.
static int cp_tree_file(copy_ctx& cx, uint32_t ino, const image_attrs& a, const char* src,
                        const char* dst, const std::string& path)
{
    struct stat target;
    int result = 0;
    if (stat(dst, &target) == 0) {
        if (!S_ISDIR(target.st_mode)) {
            fprintf(stderr, "target %s exists\n", dst);
            return 1;
        }
        result = copy_into(cx, ino, a, src, dst, path);
    } else {
        result = 1;   // nothing of what was asked is copied
    }
    fputs("-r makes no sense here\n", stderr);
    return result;
}

static int cp_run(int argc, char** argv)
{
    int flags = 0;
    if (!cp_options(argc, argv, &flags))
        return 1;
    const char* src = argv[sh_opt::optind];
    std::string host = host_word(argv[sh_opt::optind + 1]);
    const char* dst = host.c_str();

    fs_statrec rec;
    uint32_t ino = 0;
    std::string path;
    if (!image_node(src, &ino, &rec, &path))
        return 1;
    image_attrs a = attrs_of(rec);

    copy_ctx cx;
    copy_start(cx, flags);
    if (!(flags & CP_RECURSIVE))
        return cp_plain(cx, ino, a, src, dst, path);
    if ((a.mode & IFMT) == IFDIR)
        return cp_tree(cx, ino, rec, src, dst, path);
    return cp_tree_file(cx, ino, a, src, dst, path);
}

int do_cp(int argc, char** argv)
{
    int result = cp_run(argc, argv);
    progress_clear();
    return result;
}
