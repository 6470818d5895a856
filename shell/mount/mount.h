// -M: the mounted partition offered to the host as a read-only file
// system through FUSE, in the foreground until it is unmounted.
#pragma once

#include "fslib/fslib.h"

// What the start line names: the disk as given, the partition ("3", or
// "at sector N"), the mount point as given.
struct mount_request {
    const char* disk_path;
    const char* part_text;
    const char* dir;
};

// Serves the current file system at req.dir until it is unmounted
// (fusermount3 -u, Ctrl-C, SIGTERM).  Returns the exit status: 0 after a
// clean unmount, 1 when it could not mount (the reason said), 2 when the
// program was built without FUSE (said).
int mount_serve(const mount_request& req);
// False when the program was built without FUSE.
bool mount_built();
