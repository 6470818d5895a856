// Writes the fuzzers' seed corpus and the first regression images with the
// project's image builder.  The images are small (a cylinder of 8 KiB, few
// inodes) so that a mutation lands on metadata often:
//   corpus/tree-4096.img, corpus/tree-8192.img  every node type, a file with
//       holes and single and double indirect blocks, a symbolic link kept in
//       a data block and one kept inside its inode
//   corpus/dirs-4096.img  a directory of several blocks and a deeper tree
//   regressions/alias-root-30.img  the root listed under 30 more names
//   regressions/alias-sub-root.img  a subdirectory with an entry naming the root
// Usage: fuzz_seeds CORPUS-DIR REGRESSIONS-DIR
#include <cstdio>
#include <string>

#include "tools/sunimg.h"

namespace {

sunimg::FsOptions small_fs(int32_t bsize, int32_t fsize)
{
    sunimg::FsOptions o;
    o.bsize = bsize;
    o.fsize = fsize;
    o.cpg = 16;
    o.ncyl = bsize == 4096 ? 0 : 14;
    o.ipg = bsize / 128;
    o.min_free_blocks = 1;
    o.stagger = false;
    return o;
}

sunimg::DiskImage small_disk(const sunimg::Ufs& fs)
{
    sunimg::DiskOptions d;
    d.geom.nhead = 1;
    d.geom.nsect = 16;
    return sunimg::make_disk(fs, 0, d);
}

// One of each node type, holes, indirect blocks, both kinds of link.
sunimg::Ufs every_node(int32_t bsize, int32_t fsize)
{
    sunimg::FsOptions o = small_fs(bsize, fsize);
    o.fast_symlinks = true;
    sunimg::Ufs fs(o);
    sunimg::Meta priv;
    priv.perm = 0600;
    priv.uid = 1234;
    priv.gid = 56;
    fs.file("/etc/passwd", "root:x:0:1::/:/bin/sh\n", priv);
    fs.file("/etc/motd", sunimg::text_lines(1500, "motd"));
    fs.symlink("/bin", "usr/bin");
    fs.symlink("/usr/long-link", std::string(70, 'L') + "/target");
    fs.dir("/usr/bin");
    uint32_t dev = fs.dir("/dev");
    fs.add_chardev(dev, "null", 0x0302);
    fs.add_blockdev(dev, "sd0a", 0x0700);
    fs.add_fifo(dev, "pipe");
    fs.add_socket(dev, "sock");
    uint32_t data = fs.dir("/data");
    // Data past the direct blocks, then past the single indirect range.
    uint64_t far = uint64_t(12 + bsize / 4 + 3) * uint64_t(bsize);
    fs.add_sparse(data, "holes", far + 10,
                  {{100, {'a', 'b', 'c'}}, {uint64_t(13) * uint64_t(bsize), {'m'}}, {far, {'z', 'z'}}});
    fs.file("/data/empty", "");
    fs.dir("/tmp", sunimg::Meta{.perm = 01777});
    return fs;
}

// A directory spread over several blocks, and a tree a few levels deep.
sunimg::Ufs many_dirs()
{
    sunimg::FsOptions o = small_fs(4096, 512);
    o.ipg = 160;
    sunimg::Ufs fs(o);
    uint32_t many = fs.dir("/many");
    for (int i = 0; i < 120; i++)
        fs.add_file(many, "entry-with-a-longer-name-" + std::to_string(i), "");
    fs.file("/a/b/c/d/e/f/deep.txt", "deep\n");
    return fs;
}

sunimg::Ufs root_aliases()
{
    sunimg::Ufs fs(small_fs(4096, 512));
    fs.file("/f", "x\n");
    fs.dir("/d");
    for (int i = 0; i < 30; i++)
        fs.link(fs.root(), "alias" + std::to_string(i), fs.root());
    return fs;
}

sunimg::Ufs sub_names_root()
{
    sunimg::Ufs fs(small_fs(4096, 512));
    uint32_t sub = fs.dir("/sub");
    fs.file("/sub/f", "x\n");
    fs.link(sub, "up", fs.root());
    return fs;
}

bool put(const std::string& dir, const char* name, const sunimg::Ufs& fs)
{
    sunimg::DiskImage img = small_disk(fs);
    std::string path = dir + "/" + name;
    img.write(path);
    std::printf("%s: %llu bytes\n", path.c_str(), static_cast<unsigned long long>(img.image.size()));
    return img.image.size() < 128 * 1024;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: fuzz_seeds CORPUS-DIR REGRESSIONS-DIR\n");
        return 2;
    }
    bool small = put(argv[1], "tree-4096.img", every_node(4096, 512));
    small &= put(argv[1], "tree-8192.img", every_node(8192, 1024));
    small &= put(argv[1], "dirs-4096.img", many_dirs());
    small &= put(argv[2], "alias-root-30.img", root_aliases());
    small &= put(argv[2], "alias-sub-root.img", sub_names_root());
    if (!small)
        std::fprintf(stderr, "fuzz_seeds: an image is 128 KiB or more\n");
    return small ? 0 : 1;
}
