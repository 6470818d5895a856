// mksunimg: builds a Sun disk image (Sun label + big-endian UFS) from a
// host directory tree, or from the small built-in tree.
//
//   mksunimg (--tree DIR | --seed) -o IMG [options]
//   mksunimg --x86-label IMG --at SECTOR [--label TEXT] --slice TAG:START:SIZE ...
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
                 "usage: mksunimg (--tree DIR | --seed) -o IMG [options]\n"
                 "  --tree DIR        host directory to copy into partition 0\n"
                 "  --seed            the small built-in tree (every node type, holes,\n"
                 "                    an indirect block) instead of a host directory\n"
                 "  -o, --output IMG  image file to write (sparse)\n"
                 "  --bsize N         block size, 4096 or 8192 (default 8192)\n"
                 "  --fsize N         fragment size, 512..bsize (default 1024)\n"
                 "  --label TEXT      label text (default: SUNIMG cyl .. alt .. hd .. sec ..)\n"
                 "  --heads N         tracks per cylinder (default 16)\n"
                 "  --sectors N       sectors per track (default 32)\n"
                 "  --cpg N           cylinders per group (default 16)\n"
                 "  --ipg N           inodes per group (default: one per 2048 bytes)\n"
                 "  --ncyl N          cylinders of the file system (default: fit the tree)\n"
                 "  --min-free N      free blocks left when the size is chosen (default 16)\n"
                 "  --owner UID:GID   owner of every file (default: as on the host)\n"
                 "  --owners FORMAT   where inodes keep owners: old (16-bit words, default),\n"
                 "                    new (32-bit words, newer inode format), both\n"
                 "                    (16-bit words, 0xFFFF and whole ids at 116/120)\n"
                 "  --wide-ids        both word kinds, 32-bit words at 112/116, newer format\n"
                 "  --fast-symlinks   keep link targets under 60 bytes inside the inode\n"
                 "  --time T          all times, seconds since 1970 (default: as on the host)\n"
                 "  --lost+found      make /lost+found (inode 3)\n"
                 "  --log SHAPE       a logging file system whose log holds SHAPE: empty,\n"
                 "                    create, no-commit, wrap, cancel, abzero,\n"
                 "                    broken-trailer, first-header-bad, headers-bad\n"
                 "  --replayed IMG    with --log: also write the image as it reads once\n"
                 "                    the log is replayed\n"
                 "\n"
                 "usage: mksunimg --x86-label IMG --at SECTOR [--label TEXT] --slice TAG:START:SIZE ...\n"
                 "  writes a Solaris x86 label into the second sector of the fdisk partition\n"
                 "  that starts at SECTOR of IMG; slices are numbered from 0 in the order given,\n"
                 "  their starts counted from SECTOR\n");
}

[[noreturn]] void fail_usage(const std::string& why)
{
    std::fprintf(stderr, "mksunimg: %s\n", why.c_str());
    std::exit(2);
}

long number(const std::string& opt, const std::string& v)
{
    char* end = nullptr;
    errno = 0;
    long n = std::strtol(v.c_str(), &end, 0);
    if (errno != 0 || end == v.c_str() || *end != '\0')
        fail_usage(opt + ": not a number: " + v);
    return n;
}

struct Args {
    std::string tree, out, log, replayed;
    bool seed = false;
    sunimg::FsOptions fo;
    sunimg::DiskOptions dopt;
    sunimg::TreeOptions topt;
};

sunimg::OwnerFormat owner_format(const std::string& v)
{
    if (v == "old")
        return sunimg::OwnerFormat::old16;
    if (v == "new")
        return sunimg::OwnerFormat::new32;
    if (v == "both")
        return sunimg::OwnerFormat::both;
    fail_usage("--owners wants old, new or both");
}

void set_owner(Args& a, const std::string& v)
{
    const size_t colon = v.find(':');
    if (colon == std::string::npos)
        fail_usage("--owner wants UID:GID");
    a.topt.uid = uint32_t(number("--owner", v.substr(0, colon)));
    a.topt.gid = uint32_t(number("--owner", v.substr(colon + 1)));
}

// Applies one option that takes a value; false when `opt` is not one.
bool value_option(Args& a, const std::string& opt, const std::string& v)
{
    auto i32 = [&]() {
        return int32_t(number(opt, v));
    };
    auto u16 = [&]() {
        return uint16_t(number(opt, v));
    };
    if (opt == "--tree")
        a.tree = v;
    else if (opt == "-o" || opt == "--output")
        a.out = v;
    else if (opt == "--bsize")
        a.fo.bsize = i32();
    else if (opt == "--fsize")
        a.fo.fsize = i32();
    else if (opt == "--log")
        a.log = v;
    else if (opt == "--replayed")
        a.replayed = v;
    else if (opt == "--label")
        a.dopt.label_text = v;
    else if (opt == "--heads")
        a.dopt.geom.nhead = u16();
    else if (opt == "--sectors")
        a.dopt.geom.nsect = u16();
    else if (opt == "--cpg")
        a.fo.cpg = i32();
    else if (opt == "--ipg")
        a.fo.ipg = i32();
    else if (opt == "--ncyl")
        a.fo.ncyl = i32();
    else if (opt == "--min-free")
        a.fo.min_free_blocks = i32();
    else if (opt == "--owner")
        set_owner(a, v);
    else if (opt == "--owners")
        a.fo.owners = owner_format(v);
    else if (opt == "--time")
        a.topt.time = i32();
    else
        return false;
    return true;
}

Args parse(int argc, char** argv)
{
    Args a;
    for (int i = 1; i < argc; i++) {
        const std::string opt = argv[i];
        if (opt == "-h" || opt == "--help") {
            usage(stdout);
            std::exit(0);
        } else if (opt == "--seed") {
            a.seed = true;
        } else if (opt == "--wide-ids") {
            a.fo.wide_ids = true;
        } else if (opt == "--fast-symlinks") {
            a.fo.fast_symlinks = true;
        } else if (opt == "--lost+found") {
            a.fo.lost_found = true;
        } else if (i + 1 < argc && value_option(a, opt, argv[i + 1])) {
            i++;
        } else {
            usage(stderr);
            fail_usage(i + 1 < argc ? "unknown argument: " + opt : opt + ": unknown, or needs a value");
        }
    }
    if ((a.tree.empty() == !a.seed) || a.out.empty()) {
        usage(stderr);
        fail_usage("one of --tree and --seed, and -o, are required");
    }
    return a;
}

// The x86 label mode: patches one sector of an existing image.
int x86_label(int argc, char** argv)
{
    std::string img = argv[2];
    long at = -1;
    sunimg::X86Label l;
    l.text = "SUNIMG x86";
    for (int i = 3; i + 1 < argc; i += 2) {
        const std::string opt = argv[i], v = argv[i + 1];
        if (opt == "--at") {
            at = number(opt, v);
        } else if (opt == "--label") {
            l.text = v;
        } else if (opt == "--slice") {
            const size_t c1 = v.find(':'), c2 = v.find(':', c1 == std::string::npos ? c1 : c1 + 1);
            if (c1 == std::string::npos || c2 == std::string::npos)
                fail_usage("--slice wants TAG:START:SIZE");
            l.slices.push_back({uint16_t(number(opt, v.substr(0, c1))), uint32_t(number(opt, v.substr(c1 + 1, c2 - c1 - 1))),
                                uint32_t(number(opt, v.substr(c2 + 1)))});
        } else {
            fail_usage("unknown argument: " + opt);
        }
    }
    if (at < 0)
        fail_usage("--x86-label wants --at SECTOR");
    FILE* f = std::fopen(img.c_str(), "r+b");
    if (!f) {
        std::fprintf(stderr, "mksunimg: %s: %s\n", img.c_str(), std::strerror(errno));
        return 1;
    }
    std::array<uint8_t, 512> s = sunimg::encode_x86_label(l);
    bool ok = std::fseek(f, (at + 1) * long(sunimg::kSector), SEEK_SET) == 0 && std::fwrite(s.data(), 1, s.size(), f) == s.size();
    ok = std::fclose(f) == 0 && ok;
    if (!ok)
        std::fprintf(stderr, "mksunimg: %s: %s\n", img.c_str(), std::strerror(errno));
    return ok ? 0 : 1;
}

}   // namespace

int main(int argc, char** argv)
{
    if (argc >= 3 && std::string(argv[1]) == "--x86-label")
        return x86_label(argc, argv);
    const Args a = parse(argc, argv);
    try {
        sunimg::Ufs fs = a.seed ? sunimg::seed_tree(a.fo) : sunimg::tree_ufs(a.tree, a.fo, a.topt);
        if (a.log.empty()) {
            sunimg::make_disk(fs, 0, a.dopt).write(a.out);
        } else {
            sunimg::LoggedDisk d = sunimg::make_logged_disk(fs, sunimg::log_shape(a.log), a.dopt);
            d.disk.write(a.out);
            if (!a.replayed.empty())
                d.replayed.write(a.replayed);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "mksunimg: %s\n", e.what());
        return 1;
    }
    return 0;
}
