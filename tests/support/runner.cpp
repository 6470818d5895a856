#include "support/runner.h"

#include "support/fingerprint.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace runner {

namespace {

std::string env_name(const std::string& entry)
{
    return entry.substr(0, entry.find('='));
}

// The caller's environment with the entries of `extra` added or replacing
// those of the same name.
std::vector<std::string> merged_env(const std::vector<std::string>& extra)
{
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        bool replaced = false;
        for (const auto& x : extra)
            if (env_name(x) == env_name(entry))
                replaced = true;
        if (!replaced)
            env.push_back(entry);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::vector<char*> c_strings(std::vector<std::string>& v)
{
    std::vector<char*> out;
    for (auto& s : v)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// Writes `text` to /proc/self/`file`; false on failure.
bool write_proc(const char* file, const char* text)
{
    std::string path = std::string("/proc/self/") + file;
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd == -1)
        return false;
    bool ok = write(fd, text, strlen(text)) == ssize_t(strlen(text));
    return close(fd) == 0 && ok;
}

// In the child: becomes who `opts` asks for.
bool become(const Options& opts)
{
    if (opts.root_only_namespace
        && (unshare(CLONE_NEWUSER) != 0 || !write_proc("uid_map", "0 0 1") || !write_proc("setgroups", "deny")
            || !write_proc("gid_map", "0 0 1")))
        return false;
    if (opts.as_uid >= 0) {
        auto id = static_cast<uid_t>(opts.as_uid);
        if (setgroups(0, nullptr) != 0 || setresgid(id, id, id) != 0 || setresuid(id, id, id) != 0)
            return false;
    }
    return true;
}

}  // namespace

Result run(const std::string& program, const Options& opts)
{
    Result result;

    // Standard input comes from a file, so the child can never block the
    // parent on a full pipe however much or little it reads.
    std::string in_dir = make_temp_dir("stdin");
    std::string in_path = opts.stdin_path;
    if (in_path.empty()) {
        in_path = in_dir + "/input";
        write_file(in_path, opts.input);
    }

    std::vector<std::string> argv_s;
    argv_s.push_back(opts.argv0.empty() ? program : opts.argv0);
    argv_s.insert(argv_s.end(), opts.args.begin(), opts.args.end());
    std::vector<std::string> env_s = merged_env(opts.env);
    std::vector<char*> argv_c = c_strings(argv_s);
    std::vector<char*> env_c = c_strings(env_s);

    int out_pipe[2], err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0)
        throw std::runtime_error("pipe failed");

    pid_t pid = fork();
    if (pid == -1)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        int in_fd = open(in_path.c_str(), O_RDONLY);
        if (in_fd == -1 || dup2(in_fd, 0) == -1 || dup2(out_pipe[1], 1) == -1
            || dup2(err_pipe[1], 2) == -1)
            _exit(125);
        close(in_fd);
        close(out_pipe[0]);
        close(out_pipe[1]);
        close(err_pipe[0]);
        close(err_pipe[1]);
        if (!become(opts))
            _exit(124);
        if (!opts.cwd.empty() && chdir(opts.cwd.c_str()) != 0)
            _exit(125);
        signal(SIGPIPE, SIG_DFL);
        execve(program.c_str(), argv_c.data(), env_c.data());
        _exit(126);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);

    // Drain both pipes together so that neither can fill up and stall the
    // child.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(opts.timeout_seconds);
    struct pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_count = 2;
    bool timed_out = false;
    while (open_count > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            timed_out = true;
            break;
        }
        int rc = poll(fds, 2, static_cast<int>(left));
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc <= 0)
            continue;
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buf[65536];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                open_count--;
            }
        }
    }
    if (timed_out)
        kill(pid, SIGKILL);
    for (auto& f : fds)
        if (f.fd >= 0)
            close(f.fd);

    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) == -1 && errno == EINTR) {
    }
    if (timed_out)
        result.status = -1;
    else if (WIFEXITED(wstatus))
        result.status = WEXITSTATUS(wstatus);
    else if (WIFSIGNALED(wstatus))
        result.status = 128 + WTERMSIG(wstatus);
    remove_tree(in_dir);
    return result;
}

// Every session is also checked to leave its image as it was: each
// argument that names a regular file is hashed before and after.
Result run_sunufs(const Options& opts)
{
    std::vector<std::string> files;
    for (const std::string& a : opts.args)
        files.push_back(!opts.cwd.empty() && !a.empty() && a[0] != '/' ? opts.cwd + "/" + a : a);
    testimg::FileHashes before = testimg::hash_files(files);
    Result r = run(SUNUFS_BIN, opts);
    testimg::expect_unchanged(before);
    return r;
}

std::string make_temp_dir(const std::string& tag)
{
    std::string base = (std::filesystem::temp_directory_path() / ("sunufs-" + tag + "-XXXXXX")).string();
    std::vector<char> templ(base.begin(), base.end());
    templ.push_back('\0');
    if (mkdtemp(templ.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed: " + base);
    return std::string(templ.data());
}

void remove_tree(const std::string& path)
{
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
    // Paths past the host's path limit (very deep copies) need a remover
    // that works relative to each directory.
    if (ec && std::filesystem::exists(path, ec)) {
        Options o;
        o.args = {"-rf", "--", path};
        run("/bin/rm", o);
    }
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string& path, const std::string& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

bool path_exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> install_fake_less(const std::string& dir, const std::string& body)
{
    std::string path = dir + "/less";
    write_file(path, "#!/bin/sh\n" + body);
    if (chmod(path.c_str(), 0755) != 0)
        throw std::runtime_error("chmod failed: " + path);
    const char* old_path = getenv("PATH");
    return {"PATH=" + dir + ":" + (old_path ? old_path : "/usr/bin:/bin")};
}

}  // namespace runner
