// Fuzz target: `cp -r / out` of the whole tree, run by the shell's own
// command code into a scratch box, and the check that nothing appears
// beside `out`.  Trees whose files would add up to more than a few
// megabytes are left out, so that one input stays quick; host files are
// also capped by the file-size limit.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <signal.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fuzz/fuzz_image.h"
#include "shell/shell.h"

namespace {

constexpr rlim_t HOST_FILE_LIMIT = 4u << 20;
constexpr uint64_t CP_TOTAL = 2u << 20;

// scratch/box/out: cp writes into out; box and scratch must hold nothing
// else afterwards.
struct Scratch {
    std::string root, box, out;
    int box_fd = -1;
    int home_fd = -1;   // the working directory the engine runs in
};

// Made once and never destroyed, so that the removal at exit still finds it.
const Scratch& scratch()
{
    static const Scratch* s = [] {
        auto* t = new Scratch;
        const char* tmp = std::getenv("TMPDIR");
        std::string templ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/sunufs-fuzz-XXXXXX";
        if (mkdtemp(templ.data()) == nullptr)
            std::abort();
        t->root = templ;
        t->box = t->root + "/box";
        t->out = t->box + "/out";
        if (mkdir(t->box.c_str(), 0755) != 0)
            std::abort();
        t->box_fd = open(t->box.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        t->home_fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim = {HOST_FILE_LIMIT, HOST_FILE_LIMIT};
        setrlimit(RLIMIT_FSIZE, &lim);
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(scratch().root, ec);
        });
        return t;
    }();
    return *s;
}

// True when `dir` holds exactly one entry, named `only`.
bool holds_only(const std::string& dir, const char* only)
{
    std::error_code ec;
    int entries = 0;
    bool found = false;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
        entries++;
        found = found || e.path().filename() == only;
    }
    return !ec && found && entries == 1;
}

bool small_enough(const fuzz::Walk& w)
{
    uint64_t bytes = 0;
    for (const fuzz::Node& n : w.nodes)
        if ((n.mode & IFMT) == IFREG && n.size > 0)
            bytes += static_cast<uint64_t>(n.size);
    return w.complete && bytes <= CP_TOTAL;
}

void copy_tree(const Scratch& s)
{
    std::error_code ec;
    std::filesystem::remove_all(s.out, ec);
    if (mkdir(s.out.c_str(), 0755) != 0 || fchdir(s.box_fd) != 0)
        std::abort();
    char word_cp[] = "cp", word_r[] = "-r", word_src[] = "/", word_dst[] = "out";
    char* argv[] = {word_cp, word_r, word_src, word_dst, nullptr};
    do_cp(4, argv);
    if (fchdir(s.box_fd) != 0)
        std::abort();
    if (!holds_only(s.box, "out") || !holds_only(s.root, "box")) {
        std::fprintf(stderr, "cp -r wrote beside its target\n");
        std::abort();
    }
    // The engine names its files relative to where it started.
    if (fchdir(s.home_fd) != 0)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const Scratch& s = scratch();
    fuzz::on_mounted(data, size, [&] {
        if (small_enough(fuzz::walk_tree()))
            copy_tree(s);
    });
    return 0;
}
