// Fuzz target: path lookup and a whole-tree walk.  Every path met on the
// walk is looked up, stat'ed and, for directories, entered, with "." and
// ".." steps taken from there.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_image.h"

namespace {

constexpr size_t MAX_LOOKUPS = 300;

void look_around(const fuzz::Node& n)
{
    fs_statrec st{};
    fs_namei(n.path.c_str());
    fs_stat(n.path.c_str(), &st);
    if ((n.mode & IFMT) != IFDIR || fs_chdir(n.path.c_str()) != 0)
        return;
    char cwd[MAXPATHLEN_FS];
    fs_getcwd(cwd);
    fs_namei(".");
    fs_namei("..");
    fs_namei("../..//./x");
    fs_chdir("..");
    fs_chdir("/");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::on_mounted(data, size, [] {
        fuzz::Walk w = fuzz::walk_tree();
        size_t looked = 0;
        for (const fuzz::Node& n : w.nodes) {
            if (n.path.empty() || looked++ >= MAX_LOOKUPS)
                continue;
            look_around(n);
        }
        fs_namei("/no/such/name");
    });
    return 0;
}
