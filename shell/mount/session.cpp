// The mount's lifetime: the checks before it, the session in the
// foreground, and a clean unmount however it ends.
#include "shell/mount/mount.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#if SUNUFS_HAVE_FUSE
#include <unistd.h>

#include "shell/mount/nodes.h"
#include "shell/mount/ops.h"
#endif

bool mount_built()
{
#if SUNUFS_HAVE_FUSE
    return true;
#else
    return false;
#endif
}

#if !SUNUFS_HAVE_FUSE

int mount_serve(const mount_request&)
{
    fputs("sunufs: not built with FUSE\n", stderr);
    return 2;
}

#else

namespace {

// A mount option's value with the option parser's separators escaped.
std::string option_text(const char* text)
{
    std::string out;
    for (const char* p = text; *p != '\0'; p++) {
        if (*p == ',' || *p == '\\')
            out += '\\';
        out += *p;
    }
    return out;
}

// What stands in the way of mounting at `dir`; "" when nothing does.
std::string mount_obstacle(const char* dir)
{
    struct stat s;
    if (stat("/dev/fuse", &s) != 0)
        return std::string("/dev/fuse: ") + strerror(errno);
    if (stat(dir, &s) != 0)
        return std::string(dir) + ": " + strerror(errno);
    if (!S_ISDIR(s.st_mode))
        return std::string(dir) + ": " + strerror(ENOTDIR);
    return "";
}

}  // namespace

int mount_serve(const mount_request& req)
{
    std::string obstacle = mount_obstacle(req.dir);
    if (!obstacle.empty()) {
        fprintf(stderr, "sunufs: cannot mount: %s\n", obstacle.c_str());
        return 1;
    }
    mnt::state st;
    mnt::state_start(st);
    // Read-only for the kernel too; the modes on the disk decide who may
    // read what, as on any other mount.  Root's mount serves every user,
    // as a kernel mount does.
    std::string opts = "ro,default_permissions,subtype=sunufs,fsname=" + option_text(req.disk_path);
    if (geteuid() == 0)
        opts += ",allow_other";
    const char* argv[] = {"sunufs", "-o", opts.c_str(), nullptr};
    fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(argv));
    fuse_lowlevel_ops ops = mnt::operations();
    fuse_session* se = fuse_session_new(&args, &ops, sizeof ops, &st);
    if (se == nullptr) {
        fuse_opt_free_args(&args);
        fprintf(stderr, "sunufs: cannot mount: %s: the session could not be made\n", req.dir);
        return 1;
    }
    if (fuse_set_signal_handlers(se) != 0 || fuse_session_mount(se, req.dir) != 0) {
        fprintf(stderr, "sunufs: cannot mount: %s: the mount was refused\n", req.dir);
        fuse_remove_signal_handlers(se);
        fuse_session_destroy(se);
        fuse_opt_free_args(&args);
        return 1;
    }
    fprintf(stderr, "%s: partition %s mounted read-only on %s; fusermount3 -u %s unmounts it\n", req.disk_path,
            req.part_text, req.dir, req.dir);
    int rc = fuse_session_loop(se);
    fuse_session_unmount(se);
    fuse_remove_signal_handlers(se);
    fuse_session_destroy(se);
    fuse_opt_free_args(&args);
    for (fs_ifile* f : st.open)
        fs_iclose(f);
    return rc < 0 ? 1 : 0;
}

#endif
