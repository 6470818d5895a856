// Fuzz target: every file, link and directory of the tree read through its
// stream (directories are read whole by the walk itself).
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::on_mounted(data, size, [] {
        fuzz::Walk w = fuzz::walk_tree();
        uint64_t total = 0;
        for (const fuzz::Node& n : w.nodes) {
            uint16_t type = n.mode & IFMT;
            if ((type != IFREG && type != IFLNK && type != IFDIR) || total >= fuzz::READ_TOTAL)
                continue;
            total += fuzz::read_file(n.ino, fuzz::READ_PER_FILE);
            if (!n.path.empty() && type == IFREG) {
                FS_FILE* f = fs_fopen(n.path.c_str(), "rb");
                if (f != nullptr)
                    fs_fclose(f);
            }
        }
    });
    return 0;
}
