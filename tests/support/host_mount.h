// A partition mounted on the host by `sunufs -M` for the length of a scope:
// started in the background, waited for until the mount is there, and
// taken down again (with fusermount3 if need be) so that no test leaves a
// stale mount behind.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testimg {

// Why the mount tests cannot run on this machine ("" when they can): no
// /dev/fuse, no fusermount3.
std::string host_mount_missing();

// True when `dir` is a mount point in this process's view.
bool is_mount_point(const std::string& dir);

class HostMount {
public:
    // Runs `sunufs -M dir <args>` (as user `uid` through setpriv when it
    // is not -1) and waits until the mount appears or the program ends.
    HostMount(const std::vector<std::string>& args, const std::string& dir, int uid = -1);
    ~HostMount();
    HostMount(const HostMount&) = delete;
    HostMount& operator=(const HostMount&) = delete;

    bool mounted() const { return mounted_; }
    const std::string& dir() const { return dir_; }
    // Sends `sig` and waits for the program: its exit status (128 + signal
    // when a signal ended it, -1 when it did not end in time).
    int stop(int sig);
    // What the program wrote on standard error so far.
    std::string err() const;

private:
    std::string dir_;
    std::string err_path_;
    pid_t pid_ = -1;
    int status_ = -1;
    bool mounted_ = false;
};

}  // namespace testimg
