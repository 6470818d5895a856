// Replays fuzz inputs through a fuzz target's entry point, without the
// fuzzing engine, so that any compiler builds it and the test suite can run
// the seed corpus and every kept regression on each run.
//   replay_<target> FILE-OR-DIR...
// Each input runs in a child process with its own scratch TMPDIR, removed
// afterwards.  An input that crashes, or runs longer than
// FUZZ_REPLAY_SECONDS (default 5), fails the replay with its name instead
// of hanging the suite; the replay goes on with the next input.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

using Clock = std::chrono::steady_clock;

// The files named, directories expanded to their files in name order
// (READMEs and dot files left out).
std::vector<std::string> inputs(int argc, char** argv)
{
    std::vector<std::string> out;
    for (int i = 1; i < argc; i++) {
        std::filesystem::path p = argv[i];
        if (!std::filesystem::is_directory(p)) {
            out.push_back(p.string());
            continue;
        }
        std::vector<std::string> dir;
        for (const auto& e : std::filesystem::directory_iterator(p)) {
            std::string name = e.path().filename().string();
            if (e.is_regular_file() && name[0] != '.' && name.rfind("README", 0) != 0)
                dir.push_back(e.path().string());
        }
        std::sort(dir.begin(), dir.end());
        out.insert(out.end(), dir.begin(), dir.end());
    }
    return out;
}

[[noreturn]] void run_child(const std::string& name, const std::string& tmp)
{
    setenv("TMPDIR", tmp.c_str(), 1);
    std::ifstream in(name, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    std::exit(0);
}

// Waits for the child up to `limit`; kills it after.  The failure text, or
// empty when the child ended well.
std::string wait_child(pid_t pid, Clock::duration limit)
{
    auto deadline = Clock::now() + limit;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return "runs too long";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (WIFSIGNALED(status))
        return "killed by signal " + std::to_string(WTERMSIG(status));
    if (WEXITSTATUS(status) != 0)
        return "exit status " + std::to_string(WEXITSTATUS(status));
    return {};
}

// Runs one input; true when it ended well in time.
bool replay(const std::string& name, unsigned seconds)
{
    std::string tmp = (std::filesystem::temp_directory_path() / "sunufs-replay-XXXXXX").string();
    if (mkdtemp(tmp.data()) == nullptr)
        return false;
    auto start = Clock::now();
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0)
        run_child(name, tmp);
    std::string failure = pid < 0 ? "cannot fork" : wait_child(pid, std::chrono::seconds(seconds));
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    std::error_code ec;
    std::filesystem::remove_all(tmp, ec);
    std::fprintf(stderr, "replay: %s: %lld ms%s%s\n", name.c_str(), static_cast<long long>(ms),
                 failure.empty() ? "" : ": FAILED, ", failure.c_str());
    return failure.empty();
}

}  // namespace

int main(int argc, char** argv)
{
    const char* env = std::getenv("FUZZ_REPLAY_SECONDS");
    unsigned seconds = env != nullptr ? static_cast<unsigned>(std::atoi(env)) : 5;
    std::vector<std::string> files = inputs(argc, argv);
    if (files.empty()) {
        std::fprintf(stderr, "replay: no inputs\n");
        return 1;
    }
    size_t failed = 0;
    for (const std::string& name : files)
        failed += replay(name, seconds) ? 0 : 1;
    std::fprintf(stderr, "replay: %zu inputs, %zu failed\n", files.size(), failed);
    return failed == 0 ? 0 : 1;
}
