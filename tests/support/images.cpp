// Shared test fixtures (see images.h).
#include "support/images.h"

#include <algorithm>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace testimg {

namespace fs = std::filesystem;

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/sunufs-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp: " + std::string(std::strerror(errno)));
    path_ = buf.data();
}

TempDir::~TempDir() {
    const char* keep = std::getenv("SUNUFS_KEEP_TMP");
    if (keep && std::string(keep) == "1") return;
    remove_tree(path_);
}

void remove_tree(const std::string& path) {
    std::error_code ec;
    fs::remove_all(path, ec);
}

void write_image(const std::string& path, const std::vector<uint8_t>& bytes) { sunimg::write_file(path, bytes); }

void write_text(const std::string& path, const std::string& text) {
    sunimg::write_file(path, std::vector<uint8_t>(text.begin(), text.end()));
}

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) throw std::runtime_error(path + ": cannot open");
    std::vector<uint8_t> v(size_t(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(v.data()), std::streamsize(v.size()));
    if (!in) throw std::runtime_error(path + ": read error");
    return v;
}

std::string read_text(const std::string& path) {
    auto v = read_file(path);
    return std::string(v.begin(), v.end());
}

std::string write_disk(const TempDir& dir, const sunimg::DiskImage& img, const std::string& name) {
    std::string p = dir.file(name);
    img.write(p);
    return p;
}

void make_host_tree(const std::string& root, const std::map<std::string, std::string>& files) {
    fs::create_directories(root);
    for (const auto& [rel, content] : files) {
        fs::path p = fs::path(root) / rel;
        if (!rel.empty() && rel.back() == '/') {
            fs::create_directories(p);
            continue;
        }
        fs::create_directories(p.parent_path());
        write_text(p.string(), content);
    }
}

MakefsDisk makefs_sun_disk(const std::string& srcdir, const std::string& image, const MakefsOptions& o) {
    MakefsDisk d;
    d.path = image;
    std::string fsimg = image + ".fs";
    d.makefs = oracle::run_tool({"makefs", "-t", "ffs", "-B", "be", "-o",
                                 "version=1,bsize=" + std::to_string(o.bsize) + ",fsize=" + std::to_string(o.fsize),
                                 "-s", o.size, fsimg, srcdir});
    if (!d.makefs.ok()) throw std::runtime_error("makefs failed:\n" + d.makefs.out + d.makefs.err);
    struct stat st;
    if (stat(fsimg.c_str(), &st) != 0) throw std::runtime_error("makefs wrote no " + fsimg);
    d.fs_bytes = uint64_t(st.st_size);
    d.part_sectors = d.fs_bytes / 512;

    // sfdisk's geometry for an image file: 255 heads x 63 sectors.
    const uint64_t cyl = 255 * 63;
    uint64_t cyls = std::max(o.start_cyl + (d.part_sectors + cyl - 1) / cyl, o.disk_cyls);
    d.disk_sectors = cyls * cyl;
    const uint64_t start = o.start_cyl * cyl;

    // File system first, at its partition's start...
    std::vector<uint8_t> fsb = read_file(fsimg);
    remove_tree(fsimg);
    sunimg::Image disk;
    disk.put(start * 512, fsb);
    disk.resize(d.disk_sectors * 512);
    disk.write(image);

    // ... then the label over sector 0, the file system's boot area.
    std::string base = fs::path(image).filename().string();
    std::ostringstream script;
    script << "label: sun\n\n"
           << base << "1 : start=" << start << ", size=" << d.part_sectors << ", type=2\n"
           << base << "3 : start=0, size=" << d.disk_sectors << ", type=5\n";
    d.sfdisk = oracle::run_tool({"sfdisk", "--no-reread", "--no-tell-kernel", "--wipe", "never",
                                 "--wipe-partitions", "never", image},
                                script.str());
    if (!d.sfdisk.ok()) throw std::runtime_error("sfdisk failed:\n" + d.sfdisk.out + d.sfdisk.err);
    return d;
}

sunimg::Ufs standard_tree(sunimg::FsOptions o) {
    using sunimg::Meta;
    sunimg::Ufs fs(std::move(o));
    fs.dir("/etc", {.perm = 0755, .uid = 0, .gid = 3});
    fs.file("/etc/passwd",
            "root:*:0:1:Operator:/:/bin/csh\n"
            "daemon:*:1:1::/:\n"
            "user:*:1001:20:Sample User:/home/user:/bin/csh\n",
            {.perm = 0644, .uid = 0, .gid = 3});
    fs.file("/etc/motd", "Sun Release 1.0 (SAMPLE) #1\n", {.perm = 0644, .uid = 0, .gid = 3});
    fs.dir("/home", {.uid = 0, .gid = 1});
    fs.dir("/home/user", {.perm = 0750, .uid = 1001, .gid = 20});
    fs.file("/home/user/notes.txt", "remember the backup tapes\n", {.perm = 0600, .uid = 1001, .gid = 20});
    fs.dir("/usr", {.uid = 0, .gid = 2});
    fs.dir("/usr/bin", {.uid = 2, .gid = 2});
    fs.dir("/usr/share", {.uid = 0, .gid = 2});
    fs.dir("/usr/share/doc", {.uid = 0, .gid = 2});
    fs.file("/usr/share/doc/README", "Documentation lives here.\n", {.uid = 2, .gid = 4});
    fs.file("/usr/share/doc/long.txt", sunimg::text_lines(40000, "doc"), {.uid = 2, .gid = 4});
    fs.symlink("/bin", "usr/bin", {.uid = 0, .gid = 0});
    uint32_t dev = fs.dir("/dev", {.uid = 0, .gid = 3});
    fs.add_chardev(dev, "null", (3 << 8) | 2, {.perm = 0666, .uid = 0, .gid = 3});
    fs.dir("/tmp", {.perm = 01777, .uid = 0, .gid = 0});
    return fs;
}

std::string host_device(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return "?";
    dev_t d = S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode) ? st.st_rdev : st.st_dev;
    return std::to_string(major(d)) + "," + std::to_string(minor(d));
}

}  // namespace testimg
