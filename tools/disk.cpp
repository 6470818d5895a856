// Disk assembly (label + partitions), the finished DiskImage with its
// offset helpers, and the import of host directory trees.
#include "tools/sunimg.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace sunimg {

Disk::Disk(DiskOptions o) : opt_(std::move(o))
{}

FsLayout Disk::add_fs(int part, const Ufs& fs, int32_t cylno, uint16_t tag)
{
    if (part < 0 || part > 7)
        throw Error("partition number out of range: " + std::to_string(part));
    if (used_[size_t(part)])
        throw Error("partition " + std::to_string(part) + " given twice");
    if (cylno < 0)
        cylno = next_cyl_;
    FsImage img = fs.build(opt_.geom);
    int32_t ncyl = img.layout.part_ncyl;
    parts_[size_t(part)] = {cylno, int32_t(int64_t(ncyl) * opt_.geom.cyl_sectors()), tag, 0};
    used_[size_t(part)] = true;
    next_cyl_ = std::max(next_cyl_, cylno + ncyl);
    placed_.push_back({part, cylno, std::move(img)});
    return placed_.back().fs.layout;
}

void Disk::add_partition(int part, int32_t cylno, int32_t nblk, uint16_t tag)
{
    if (part < 0 || part > 7)
        throw Error("partition number out of range: " + std::to_string(part));
    if (used_[size_t(part)])
        throw Error("partition " + std::to_string(part) + " given twice");
    parts_[size_t(part)] = {cylno, nblk, tag, 0};
    used_[size_t(part)] = true;
    int64_t cyls = (int64_t(nblk) + opt_.geom.cyl_sectors() - 1) / opt_.geom.cyl_sectors();
    next_cyl_ = int32_t(std::max<int64_t>(next_cyl_, cylno + cyls));
}

DiskImage Disk::build() const
{
    const Geometry& g = opt_.geom;
    DiskImage d;
    d.geom = g;
    int64_t ncyl = opt_.ncyl > 0 ? opt_.ncyl : next_cyl_;
    if (ncyl < 1)
        ncyl = 1;
    if (ncyl + opt_.acyl > 65535)
        throw Error("disk of " + std::to_string(ncyl) + " cylinders: too many for the label");

    Label& l = d.label;
    l.rpm = g.rpm;
    l.ncyl = uint16_t(ncyl);
    l.acyl = opt_.acyl;
    l.pcyl = uint16_t(ncyl + opt_.acyl);
    l.nhead = g.nhead;
    l.nsect = g.nsect;
    l.vtoc = opt_.vtoc;
    l.part = parts_;
    if (opt_.whole_disk && !used_[2])
        l.part[2] = {0, int32_t(ncyl * g.cyl_sectors()), 5, 1};
    l.text = opt_.label_text.empty() ? "SUNIMG cyl " + std::to_string(ncyl) + " alt " + std::to_string(opt_.acyl) +
            " hd " + std::to_string(g.nhead) + " sec " + std::to_string(g.nsect)
                                     : opt_.label_text;

    // Small disks are held densely; big ones keep only the label sector and
    // the file systems, and the rest is a hole.
    const uint64_t disk_bytes = uint64_t(ncyl) * g.cyl_bytes();
    const bool dense = disk_bytes <= (uint64_t(512) << 20);
    if (dense)
        d.image.dense().assign(size_t(disk_bytes), 0);
    else
        d.image.dense().assign(8192, 0);
    d.image.resize(disk_bytes);
    for (const auto& p : placed_) {
        uint64_t off = uint64_t(p.cylno) * g.cyl_bytes();
        if (dense) {
            if (off + p.fs.bytes.size() > disk_bytes)
                throw Error("partition runs past the disk");
            std::copy(p.fs.bytes.begin(), p.fs.bytes.end(), d.image.dense().begin() + off);
        } else {
            d.image.put_extent(off, p.fs.bytes);
        }
        d.fs[p.part] = p.fs.layout;
    }
    // Label last: on a Sun disk partition 0 usually starts at cylinder 0,
    // and sector 0 is then the first sector of its (unused) boot block.
    d.rewrite_label();
    return d;
}

void DiskImage::rewrite_label()
{
    auto s = encode_label(label);
    image.put(0, s.data(), s.size());
}

const FsLayout& DiskImage::layout(int part) const
{
    auto it = fs.find(part);
    if (it == fs.end())
        throw Error("no file system in partition " + std::to_string(part));
    return it->second;
}

uint64_t DiskImage::frag_offset(int part, uint32_t frag) const
{
    return partition_offset(part) + layout(part).frag_offset(frag);
}

uint64_t DiskImage::inode_offset(int part, uint32_t ino) const
{
    return partition_offset(part) + layout(part).inode_offset(ino);
}

uint64_t DiskImage::dirent_offset(int part, uint32_t dir_ino, std::string_view name) const
{
    return partition_offset(part) + layout(part).dirent_offset(dir_ino, name);
}

uint64_t DiskImage::file_offset(int part, uint32_t ino, uint64_t pos) const
{
    return partition_offset(part) + layout(part).file_offset(ino, pos);
}

static std::vector<BlockRef> shifted(std::vector<BlockRef> v, uint64_t by)
{
    for (auto& b : v) {
        b.offset += by;
        b.ptr_offset += by;
    }
    return v;
}

std::vector<BlockRef> DiskImage::data_blocks(int part, uint32_t ino) const
{
    return shifted(layout(part).inode(ino).data, partition_offset(part));
}

std::vector<BlockRef> DiskImage::indirect_blocks(int part, uint32_t ino) const
{
    return shifted(layout(part).inode(ino).indirect, partition_offset(part));
}

DiskImage make_disk(const Ufs& fs, int part, DiskOptions o)
{
    Disk d(std::move(o));
    d.add_fs(part, fs, 0, part == 2 ? 5 : 2);
    return d.build();
}

// ---------------------------------------------------------------------------
// Host trees
// ---------------------------------------------------------------------------
namespace {
std::vector<uint8_t> read_host_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in)
        throw Error(path + ": " + std::strerror(errno));
    std::vector<uint8_t> v(size_t(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(v.data()), std::streamsize(v.size()));
    if (!in)
        throw Error(path + ": read error");
    return v;
}

Meta meta_of(const struct stat& st, const TreeOptions& t)
{
    Meta m;
    m.perm = uint16_t(st.st_mode & 07777);
    m.uid = t.uid ? *t.uid : uint32_t(st.st_uid);
    m.gid = t.gid ? *t.gid : uint32_t(st.st_gid);
    m.atime = t.time ? *t.time : int32_t(st.st_atime);
    m.mtime = t.time ? *t.time : int32_t(st.st_mtime);
    m.ctime = t.time ? *t.time : int32_t(st.st_ctime);
    return m;
}

uint32_t sun_dev(dev_t d)
{
    return ((major(d) & 0xFF) << 8) | (minor(d) & 0xFF);
}
}   // namespace

void add_tree(Ufs& fs, uint32_t at, const std::string& hostdir, const TreeOptions& t)
{
    DIR* dp = ::opendir(hostdir.c_str());
    if (!dp)
        throw Error(hostdir + ": " + std::strerror(errno));
    std::vector<std::string> names;
    while (struct dirent* e = ::readdir(dp)) {
        std::string n = e->d_name;
        if (n != "." && n != "..")
            names.push_back(n);
    }
    ::closedir(dp);
    std::sort(names.begin(), names.end());
    for (const auto& name : names) {
        std::string path = hostdir + "/" + name;
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0)
            throw Error(path + ": " + std::strerror(errno));
        Meta m = meta_of(st, t);
        if (S_ISDIR(st.st_mode)) {
            uint32_t sub = fs.mkdir(at, name, m);
            add_tree(fs, sub, path, t);
        } else if (S_ISREG(st.st_mode)) {
            fs.add_file(at, name, read_host_file(path), m);
        } else if (S_ISLNK(st.st_mode)) {
            std::string target(size_t(st.st_size) + 256, '\0');
            ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
            if (n < 0)
                throw Error(path + ": " + std::strerror(errno));
            target.resize(size_t(n));
            fs.add_symlink(at, name, target, m);
        } else if (S_ISFIFO(st.st_mode)) {
            fs.add_fifo(at, name, m);
        } else if (S_ISSOCK(st.st_mode)) {
            fs.add_socket(at, name, m);
        } else if (S_ISCHR(st.st_mode)) {
            fs.add_chardev(at, name, sun_dev(st.st_rdev), m);
        } else if (S_ISBLK(st.st_mode)) {
            fs.add_blockdev(at, name, sun_dev(st.st_rdev), m);
        }
    }
}

Ufs tree_ufs(const std::string& hostdir, FsOptions fo, const TreeOptions& t)
{
    struct stat st;
    if (::stat(hostdir.c_str(), &st) != 0)
        throw Error(hostdir + ": " + std::strerror(errno));
    if (!S_ISDIR(st.st_mode))
        throw Error(hostdir + ": not a directory");
    Ufs fs(std::move(fo));
    Node& root = fs.node(fs.root());
    Meta m = meta_of(st, t);
    root.mode = uint16_t(kIFDIR | (st.st_mode & 07777));
    root.uid = m.uid;
    root.gid = m.gid;
    root.atime = m.atime;
    root.mtime = m.mtime;
    root.ctime = m.ctime;
    add_tree(fs, fs.root(), hostdir, t);
    return fs;
}

DiskImage build_tree_image(const std::string& hostdir, FsOptions fo, DiskOptions d, const TreeOptions& t)
{
    return make_disk(tree_ufs(hostdir, std::move(fo), t), 0, std::move(d));
}

}   // namespace sunimg
