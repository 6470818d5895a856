#include "support/host_mount.h"

#include "support/images.h"
#include "support/oracle.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace testimg {

namespace {

// The mount point field of each line of /proc/self/mountinfo, with the
// kernel's octal escapes undone.
std::vector<std::string> mount_points()
{
    std::vector<std::string> out;
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string w;
        for (int i = 0; i < 5 && words >> w; i++) {
        }
        std::string plain;
        for (size_t i = 0; i < w.size(); i++) {
            if (w[i] == '\\' && i + 3 < w.size()) {
                plain += static_cast<char>(std::stoi(w.substr(i + 1, 3), nullptr, 8));
                i += 3;
            } else {
                plain += w[i];
            }
        }
        out.push_back(plain);
    }
    return out;
}

int wait_for(pid_t pid, int seconds)
{
    for (int i = 0; i < seconds * 50; i++) {
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
}

}  // namespace

std::string host_mount_missing()
{
    struct stat s;
    if (stat("/dev/fuse", &s) != 0)
        return "no /dev/fuse on this machine";
    if (oracle::find_tool("fusermount3").empty())
        return "no fusermount3 on this machine";
    return "";
}

bool is_mount_point(const std::string& dir)
{
    char real[4096];
    if (realpath(dir.c_str(), real) == nullptr)
        return false;
    for (const std::string& p : mount_points()) {
        if (p == real)
            return true;
    }
    return false;
}

HostMount::HostMount(const std::vector<std::string>& args, const std::string& dir, int uid)
    : dir_(dir), err_path_(dir + ".err")
{
    std::vector<std::string> argv;
    if (uid >= 0)
        argv = {oracle::find_tool("setpriv"), "--reuid=" + std::to_string(uid), "--regid=" + std::to_string(uid),
                "--clear-groups", "--"};
    argv.push_back(SUNUFS_BIN);
    argv.push_back("-M");
    argv.push_back(dir);
    argv.insert(argv.end(), args.begin(), args.end());
    pid_ = fork();
    if (pid_ == 0) {
        int fd = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 2);
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        std::vector<char*> cargs;
        for (std::string& a : argv)
            cargs.push_back(a.data());
        cargs.push_back(nullptr);
        execv(cargs[0], cargs.data());
        _exit(127);
    }
    for (int i = 0; i < 500 && !mounted_; i++) {
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            pid_ = -1;
            return;
        }
        mounted_ = is_mount_point(dir_);
        if (!mounted_)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

int HostMount::stop(int sig)
{
    if (pid_ > 0) {
        kill(pid_, sig);
        status_ = wait_for(pid_, 20);
        if (status_ != -1)
            pid_ = -1;
    }
    mounted_ = is_mount_point(dir_);
    return status_;
}

std::string HostMount::err() const
{
    return read_text(err_path_);
}

HostMount::~HostMount()
{
    if (is_mount_point(dir_))
        oracle::run_tool({"fusermount3", "-u", "-z", dir_});
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        wait_for(pid_, 20);
    }
    unlink(err_path_.c_str());
}

}  // namespace testimg
