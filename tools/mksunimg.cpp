// mksunimg: builds a Sun disk image (Sun label + big-endian UFS) from a
// host directory tree.
//
//   mksunimg --tree DIR -o IMG [--bsize N] [--fsize N] [--label TEXT]
//            [--cpg N] [--ipg N] [--ncyl N] [--owner UID:GID] [--time T]
//            [--wide-ids] [--lost+found]
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/sunimg.h"

namespace {

void usage(FILE* f)
{
    std::fprintf(f,
                 "usage: mksunimg --tree DIR -o IMG [options]\n"
                 "  --tree DIR       host directory to copy into partition 0\n"
                 "  -o, --output IMG image file to write\n"
                 "  --bsize N        block size, 4096 or 8192 (default 8192)\n"
                 "  --fsize N        fragment size, 512..bsize (default 1024)\n"
                 "  --label TEXT     label text (default: SUNIMG cyl .. alt .. hd .. sec ..)\n"
                 "  --cpg N          cylinders per group (default 16)\n"
                 "  --ipg N          inodes per group (default: one per 2048 bytes)\n"
                 "  --ncyl N         cylinders of the file system (default: fit the tree)\n"
                 "  --owner UID:GID  owner of every file (default: as on the host)\n"
                 "  --time T         all times, seconds since 1970 (default: as on the host)\n"
                 "  --wide-ids       also store uid/gid at inode offsets 112/116\n"
                 "  --lost+found     make /lost+found (inode 3)\n");
}

long number(const char* opt, const char* v)
{
    char* end = nullptr;
    errno = 0;
    long n = std::strtol(v, &end, 0);
    if (errno != 0 || end == v || *end != '\0') {
        std::fprintf(stderr, "mksunimg: %s: not a number: %s\n", opt, v);
        std::exit(2);
    }
    return n;
}

}   // namespace

int main(int argc, char** argv)
{
    std::string tree, out;
    sunimg::FsOptions fo;
    sunimg::DiskOptions dopt;
    sunimg::TreeOptions topt;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto val = [&]() -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "mksunimg: %s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "-h" || a == "--help") {
            usage(stdout);
            return 0;
        } else if (a == "--tree") {
            tree = val();
        } else if (a == "-o" || a == "--output") {
            out = val();
        } else if (a == "--bsize") {
            fo.bsize = int32_t(number("--bsize", val()));
        } else if (a == "--fsize") {
            fo.fsize = int32_t(number("--fsize", val()));
        } else if (a == "--label") {
            dopt.label_text = val();
        } else if (a == "--cpg") {
            fo.cpg = int32_t(number("--cpg", val()));
        } else if (a == "--ipg") {
            fo.ipg = int32_t(number("--ipg", val()));
        } else if (a == "--ncyl") {
            fo.ncyl = int32_t(number("--ncyl", val()));
        } else if (a == "--owner") {
            const char* v = val();
            const char* colon = std::strchr(v, ':');
            if (!colon) {
                std::fprintf(stderr, "mksunimg: --owner wants UID:GID\n");
                return 2;
            }
            topt.uid = uint16_t(number("--owner", std::string(v, colon).c_str()));
            topt.gid = uint16_t(number("--owner", colon + 1));
        } else if (a == "--time") {
            topt.time = int32_t(number("--time", val()));
        } else if (a == "--wide-ids") {
            fo.wide_ids = true;
        } else if (a == "--lost+found") {
            fo.lost_found = true;
        } else {
            std::fprintf(stderr, "mksunimg: unknown argument: %s\n", a.c_str());
            usage(stderr);
            return 2;
        }
    }
    if (tree.empty() || out.empty()) {
        std::fprintf(stderr, "mksunimg: --tree and -o are required\n");
        usage(stderr);
        return 2;
    }
    try {
        sunimg::DiskImage img = sunimg::build_tree_image(tree, fo, dopt, topt);
        img.write(out);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "mksunimg: %s\n", e.what());
        return 1;
    }
    return 0;
}
