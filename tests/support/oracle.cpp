// Runs the oracle tools and parses their output (see oracle.h).
#include "support/oracle.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>

namespace oracle {

std::string find_tool(const std::string& name) {
    if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0 ? name : "";
    std::vector<std::string> dirs;
    if (const char* p = std::getenv("PATH")) {
        std::stringstream ss(p);
        std::string d;
        while (std::getline(ss, d, ':'))
            if (!d.empty()) dirs.push_back(d);
    }
    for (const char* d : {"/usr/sbin", "/sbin", "/usr/bin", "/bin", "/usr/local/bin", "/usr/local/sbin"})
        dirs.push_back(d);
    for (const auto& d : dirs) {
        std::string full = d + "/" + name;
        struct stat st;
        if (stat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(full.c_str(), X_OK) == 0) return full;
    }
    return "";
}

bool oracles_required() {
    const char* v = std::getenv("SUNUFS_REQUIRE_ORACLES");
    return v && std::string(v) == "1";
}

bool require_tool(const std::string& name) {
    if (!find_tool(name).empty()) return true;
    std::string msg = "oracle tool '" + name + "' is not installed";
    if (oracles_required()) {
        msg += " (SUNUFS_REQUIRE_ORACLES=1: failing instead of skipping)";
        GTEST_MESSAGE_(msg.c_str(), ::testing::TestPartResult::kFatalFailure);
    } else {
        std::fprintf(stderr, "[  SKIP    ] %s\n", msg.c_str());
        GTEST_MESSAGE_(msg.c_str(), ::testing::TestPartResult::kSkip);
    }
    return false;
}

Result run_tool(const std::vector<std::string>& argv, const std::string& input) {
    Result r;
    if (argv.empty()) return r;
    std::string path = find_tool(argv[0]);
    if (path.empty()) {
        r.err = argv[0] + ": not found";
        return r;
    }
    int in[2], out[2], err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) {
        r.err = std::string("pipe: ") + std::strerror(errno);
        return r;
    }
    pid_t pid = fork();
    if (pid < 0) {
        r.err = std::string("fork: ") + std::strerror(errno);
        return r;
    }
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
        setenv("TZ", "UTC", 1);
        std::string p = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
        setenv("PATH", (p + ":/usr/sbin:/sbin").c_str(), 1);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args[0] = const_cast<char*>(path.c_str());
        args.push_back(nullptr);
        execv(path.c_str(), args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    fcntl(in[1], F_SETFL, O_NONBLOCK);
    // A tool that exits without reading its input must not kill us.
    struct sigaction ign{}, old{};
    ign.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ign, &old);
    size_t written = 0;
    if (input.empty()) {
        close(in[1]);
        in[1] = -1;
    }
    bool out_open = true, err_open = true;
    char buf[65536];
    while (out_open || err_open || in[1] >= 0) {
        pollfd fds[3];
        int n = 0;
        int io = -1, ie = -1, ii = -1;
        if (out_open) fds[io = n++] = {out[0], POLLIN, 0};
        if (err_open) fds[ie = n++] = {err[0], POLLIN, 0};
        if (in[1] >= 0) fds[ii = n++] = {in[1], POLLOUT, 0};
        if (poll(fds, nfds_t(n), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (io >= 0 && fds[io].revents) {
            ssize_t k = read(out[0], buf, sizeof buf);
            if (k > 0) r.out.append(buf, size_t(k));
            else if (k == 0 || errno != EINTR) out_open = false;
        }
        if (ie >= 0 && fds[ie].revents) {
            ssize_t k = read(err[0], buf, sizeof buf);
            if (k > 0) r.err.append(buf, size_t(k));
            else if (k == 0 || errno != EINTR) err_open = false;
        }
        if (ii >= 0 && fds[ii].revents) {
            ssize_t k = write(in[1], input.data() + written, input.size() - written);
            if (k > 0) written += size_t(k);
            if ((k < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) {
                close(in[1]);
                in[1] = -1;
            }
        }
    }
    close(out[0]);
    close(err[0]);
    if (in[1] >= 0) close(in[1]);
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    sigaction(SIGPIPE, &old, nullptr);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

namespace {
std::vector<std::string> tsk_args(const std::string& tool, uint64_t offset, const std::string& fstype) {
    std::vector<std::string> a{tool, "-o", std::to_string(offset)};
    if (!fstype.empty()) {
        a.push_back("-f");
        a.push_back(fstype);
    }
    return a;
}

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}
}  // namespace

Result mmls(const std::string& image) { return run_tool({"mmls", image}); }

Result fsstat(const std::string& image, uint64_t offset, const std::string& fstype) {
    auto a = tsk_args("fsstat", offset, fstype);
    a.push_back(image);
    return run_tool(a);
}

Result fls(const std::string& image, uint64_t offset, const std::vector<std::string>& args,
           const std::string& fstype) {
    auto a = tsk_args("fls", offset, fstype);
    a.insert(a.end(), args.begin(), args.end());
    a.push_back(image);
    return run_tool(a);
}

Result istat(const std::string& image, uint64_t offset, uint32_t ino, const std::string& fstype) {
    auto a = tsk_args("istat", offset, fstype);
    a.push_back(image);
    a.push_back(std::to_string(ino));
    return run_tool(a);
}

Result icat(const std::string& image, uint64_t offset, uint32_t ino, const std::string& fstype) {
    auto a = tsk_args("icat", offset, fstype);
    a.push_back(image);
    a.push_back(std::to_string(ino));
    return run_tool(a);
}

std::vector<MmlsRow> parse_mmls(const std::string& out) {
    // "000:  000       0000000000   0000001023   0000001024   / (0x02)"
    std::vector<MmlsRow> rows;
    std::stringstream ss(out);
    std::string line;
    while (std::getline(ss, line)) {
        size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0) continue;
        std::string idx = line.substr(0, colon);
        if (idx.find_first_not_of("0123456789") != std::string::npos) continue;
        std::stringstream ls(line.substr(colon + 1));
        MmlsRow r;
        std::string start, end, len;
        if (!(ls >> r.slot >> start >> end >> len)) continue;
        r.start = std::stoull(start);
        r.end = std::stoull(end);
        r.length = std::stoull(len);
        std::getline(ls, r.desc);
        r.desc = trim(r.desc);
        rows.push_back(r);
    }
    return rows;
}

std::vector<FlsRow> parse_fls(const std::string& out) {
    // "[+ ...]r/r [* ]123[(realloc)]:\tname"
    std::vector<FlsRow> rows;
    std::stringstream ss(out);
    std::string line;
    while (std::getline(ss, line)) {
        size_t tab = line.find('\t');
        if (tab == std::string::npos) continue;
        std::string head = line.substr(0, tab);
        FlsRow r;
        r.name = line.substr(tab + 1);
        size_t p = 0;
        while (p < head.size() && (head[p] == '+' || head[p] == ' ')) p++;
        size_t sp = head.find(' ', p);
        if (sp == std::string::npos) continue;
        r.type = head.substr(p, sp - p);
        std::string rest = trim(head.substr(sp));
        if (!rest.empty() && rest[0] == '*') {
            r.deleted = true;
            rest = trim(rest.substr(1));
        }
        r.ino = uint32_t(std::strtoul(rest.c_str(), nullptr, 10));
        rows.push_back(r);
    }
    return rows;
}

std::map<std::string, std::string> parse_keys(const std::string& out) {
    std::map<std::string, std::string> m;
    std::stringstream ss(out);
    std::string line;
    while (std::getline(ss, line)) {
        size_t c = line.find(':');
        if (c == std::string::npos) continue;
        std::string k = trim(line.substr(0, c));
        if (k.empty() || m.count(k)) continue;
        m[k] = trim(line.substr(c + 1));
    }
    return m;
}

std::string tsk_time(int64_t t) {
    time_t tt = time_t(t);
    struct tm tm;
    gmtime_r(&tt, &tm);
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S (UTC)", &tm);
    return buf;
}

}  // namespace oracle
