// A small built-in tree with one of everything the reader meets: the seed
// of fuzzing corpora and a quick demo disk.
#include "tools/sunimg.h"

namespace sunimg {

Ufs seed_tree(FsOptions o)
{
    Ufs fs(std::move(o));
    const uint64_t B = uint64_t(fs.options().bsize);
    fs.file("/etc/motd", "Welcome to a small disk.\n", {.uid = 0, .gid = 3});
    fs.file("/etc/passwd", "root:x:0:1:Super-User:/:/sbin/sh\nuser:x:1001:20::/home/user:/bin/csh\n",
            {.perm = 0600, .uid = 0, .gid = 1});
    fs.dir("/usr/bin");
    fs.symlink("/bin", "usr/bin");
    uint32_t dev = fs.dir("/dev");
    fs.add_chardev(dev, "null", (3u << 8) | 2, {.uid = 0, .gid = 3});
    fs.add_blockdev(dev, "sd0a", 7u << 8, {.perm = 0640, .uid = 0, .gid = 5});
    fs.add_fifo(dev, "pipe");
    fs.add_socket(dev, "sock");
    uint32_t home = fs.dir("/home/user", {.perm = 0750, .uid = 1001, .gid = 20});
    fs.add_file(home, "notes", text_lines(size_t(B) + 100, "note"), {.uid = 1001, .gid = 20});
    fs.link(home, "motd-again", fs.lookup("/etc/motd"));
    // Holes among the direct blocks, and a block in the single indirect
    // range with nothing mapped before it.
    fs.add_sparse(fs.root(), "holes", 3 * B + 10, {{0, pattern(100, 7)}, {3 * B, pattern(10, 8)}});
    fs.add_sparse(fs.root(), "indirect", 13 * B + 1, {{5, pattern(50, 9)}, {12 * B, pattern(B + 1, 10)}});
    fs.dir("/tmp", {.perm = 01777, .uid = 0, .gid = 0});
    return fs;
}

}   // namespace sunimg
