// tar, body and -c against independent readers: a tree made on the host,
// put on a Sun disk by makefs (and one that makefs cannot write, by the
// image builder), archived by `sunufs -c 'tar ...'` and read back by
// Python's tarfile; its body file set against `fls -m` and read by
// `mactime -b`, its sums against md5sum.
#include "support/images.h"
#include "support/oracle.h"
#include "support/runner.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace {

// A tree with every kind of entry the archive keeps.  Devices and owners
// above 65535 need root; without it they are left out.
void make_source(const std::string& src)
{
    std::string big(200000, 'x');
    testimg::make_host_tree(src, {{"plain", "some bytes\n"}, {"suid", "setuid\n"}, {"sub/", ""},
                                  {"big", big}, {"tmp/", ""}});
    ASSERT_EQ(chmod((src + "/suid").c_str(), 06755), 0);
    ASSERT_EQ(chmod((src + "/tmp").c_str(), 01777), 0);
    ASSERT_EQ(link((src + "/plain").c_str(), (src + "/sub/again").c_str()), 0);
    ASSERT_EQ(symlink("../plain", (src + "/sub/sym").c_str()), 0);
    ASSERT_EQ(mkfifo((src + "/fifo").c_str(), 0640), 0);
    // Three different times; makefs reads no fifo, so none of them moves.
    const timespec times[2] = {{1000000000, 0}, {1100000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (src + "/fifo").c_str(), times, 0), 0);
    // Sizes about the ends of MD5's 64-byte blocks.
    for (int n : {55, 56, 57, 63, 64, 119, 120}) {
        std::string bytes;
        for (int i = 0; i < n; i++)
            bytes += char('a' + i * 7 % 26);
        testimg::make_host_tree(src, {{"sums/m" + std::to_string(n), bytes}});
    }
    int fd = open((src + "/sparse").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, "head", 4, 0), 4);
    ASSERT_EQ(pwrite(fd, "tail", 4, 3 << 20), 4);
    close(fd);
    if (geteuid() == 0) {
        ASSERT_EQ(mknod((src + "/tty").c_str(), S_IFCHR | 0620, makedev(4, 7)), 0);
        ASSERT_EQ(mknod((src + "/disk").c_str(), S_IFBLK | 0660, makedev(8, 17)), 0);
        ASSERT_EQ(lchown((src + "/suid").c_str(), 70000, 70001), 0);
        ASSERT_EQ(chmod((src + "/suid").c_str(), 06755), 0);
    }
}

// Reads the archive back and sets every member against the source tree:
// type, mode, owner, times, link target, device numbers, content; prints
// each difference, and "sparse" for each member stored sparse when the
// fourth argument is "dense".  Access times come from the image (the third
// argument, `fls -m` output): reading the sources to build it moved the
// host's.
const char* kCheck = R"(
import os, sys, stat, tarfile
archive, src, body, dense = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4] == 'dense'
atimes = {}
for line in open(body):
    f = line.split('|')
    atimes[f[1].split(' -> ')[0].lstrip('/')] = int(f[7])
names = set()
for m in tarfile.open(archive):
    st = os.lstat(os.path.join(src, m.name))
    got = (m.mode, m.uid, m.gid, m.mtime, int(float(m.pax_headers.get('atime', -1))))
    want = (stat.S_IMODE(st.st_mode), st.st_uid, st.st_gid, int(st.st_mtime), atimes[m.name])
    if got != want: print(m.name, 'attrs', got, want)
    if m.islnk():
        ok = m.linkname in names and m.linkname != m.name and \
             os.lstat(os.path.join(src, m.linkname)).st_ino == st.st_ino
    elif m.issym(): ok = m.linkname == os.readlink(os.path.join(src, m.name))
    elif m.ischr() or m.isblk():
        ok = (m.devmajor, m.devminor) == (os.major(st.st_rdev), os.minor(st.st_rdev))
    elif m.isfile():
        ok = open(os.path.join(src, m.name), 'rb').read() == tarfile.open(archive).extractfile(m.name).read()
    else: ok = m.isdir() == stat.S_ISDIR(st.st_mode) and m.isfifo() == stat.S_ISFIFO(st.st_mode)
    if not ok: print(m.name, 'content or type')
    if m.sparse and dense: print(m.name, 'sparse')
    names.add(m.name)
want = set()
for d, dirs, files in os.walk(src):
    for n in dirs + files: want.add(os.path.relpath(os.path.join(d, n), src))
if names != want: print('names', sorted(names ^ want))
)";

// What makefs cannot write, made by the image builder and twinned on the
// host: holes; data at the end of one single-indirect span of the double
// range, no single-indirect block for the next span, then data again; a
// device whose minor number needs more than 16 bits (needs root).
constexpr int32_t kTwinTime = 900000000;
constexpr uint64_t B = 8192, NINDIR = B / 4, DOUBLE = 12 + NINDIR;

void make_twin(const std::string& src, const std::string& image)
{
    sunimg::Ufs t;
    std::filesystem::create_directories(src);
    auto twin = [&](const std::string& name, uint64_t size, std::vector<sunimg::Extent> data) {
        t.add_sparse(t.root(), name, size, data,
                     {.perm = 0644, .uid = geteuid(), .gid = getegid(), .mtime = kTwinTime});
        int fd = open((src + "/" + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, off_t(size)), 0);
        for (const auto& e : data)
            ASSERT_EQ(pwrite(fd, e.data.data(), e.data.size(), off_t(e.offset)), ssize_t(e.data.size()));
        close(fd);
    };
    twin("holes", 3 * B + 10, {{0, sunimg::pattern(100, 7)}, {3 * B, sunimg::pattern(10, 8)}});
    twin("void", 100000, {});
    twin("double", (DOUBLE + 2 * NINDIR) * B + 5000,
         {{(DOUBLE + NINDIR - 1) * B, sunimg::pattern(B, 9)}, {(DOUBLE + 2 * NINDIR) * B, sunimg::pattern(5000, 10)}});
    if (geteuid() == 0) {
        t.add_chardev(t.root(), "term", 5u << 18 | 70000, {.perm = 0620, .uid = 0, .gid = 0, .mtime = kTwinTime});
        ASSERT_EQ(mknod((src + "/term").c_str(), S_IFCHR | 0620, makedev(5, 70000)), 0);
        ASSERT_EQ(chmod((src + "/term").c_str(), 0620), 0);
    }
    for (const char* name : {"holes", "void", "double", "term"}) {
        const timespec times[2] = {{kTwinTime, 0}, {kTwinTime, 0}};
        utimensat(AT_FDCWD, (src + "/" + name).c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
    sunimg::make_disk(t).write(image);
}

class ExportOracle : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!oracle::require_tool("makefs") || !oracle::require_tool("sfdisk") || !oracle::require_tool("fls"))
            GTEST_SKIP();
        src = tmp.file("src");
        make_source(src);
        disk = testimg::makefs_sun_disk(src, tmp.file("sun.img"), {.size = "24m"});
    }

    runner::Result sunufs(const std::string& command, const std::string& image = "")
    {
        runner::Options o;
        o.args = {"-p", "0", "-c", command, image.empty() ? disk.path : image};
        o.cwd = tmp.path();
        return runner::run_sunufs(o);
    }

    testimg::TempDir tmp;
    std::string src;
    testimg::MakefsDisk disk;
};

// The checker's own failure is a failure: a member it could not read
// leaves the rest unchecked.
void expect_tar_matches(const std::string& archive, const std::string& src, const std::string& image, bool dense)
{
    std::string body = archive + ".fls";
    testimg::write_text(body, oracle::fls(image, 0, {"-m", "/", "-r"}, "ufs1").out);
    auto check = oracle::run_tool({"python3", "-c", kCheck, archive, src, body, dense ? "dense" : "any"});
    EXPECT_EQ(check.out, "") << archive;
    EXPECT_EQ(check.err, "") << archive;
    EXPECT_EQ(check.status, 0) << archive;
}

TEST_F(ExportOracle, TarReadsBackAsTheSourceTree)
{
    // -c: the archive alone on standard output, compressed or not.
    for (std::string flags : {"-cf", "-czf", "-cJf"}) {
        auto r = sunufs("tar " + flags + " - /");
        ASSERT_EQ(r.status, 0) << r.err;
        unsigned devices = geteuid() == 0 ? 3 : 1;
        EXPECT_EQ(r.err, "archived 11 files (3346284 bytes), 4 directories, 2 links, " + std::to_string(devices)
                             + " devices; 0 not archived; 0 failed\n");
        testimg::write_text(tmp.file("a.tar"), r.out);
        // makefs writes the holes out, so nothing here is stored sparse.
        expect_tar_matches(tmp.file("a.tar"), src, disk.path, true);
    }
    // Holes, as cp and tar read them.
    const std::string twin = tmp.file("twin"), image = tmp.file("twin.img");
    make_twin(twin, image);
    auto r = sunufs("tar -cf - /", image);
    EXPECT_EQ(r.status, 0) << r.err;
    testimg::write_text(tmp.file("twin.tar"), r.out);
    expect_tar_matches(tmp.file("twin.tar"), twin, image, false);
    for (const char* name : {"holes", "double"}) {
        EXPECT_EQ(sunufs("cp /" + std::string(name) + " copied", image).status, 0) << name;
        EXPECT_TRUE(testimg::read_file(tmp.file("copied")) == testimg::read_file(twin + "/" + name)) << name;
    }
    if (geteuid() == 0) {
        r = sunufs("stat /term", image);
        EXPECT_NE(r.err.find("Device number:5,70000\n"), std::string::npos) << r.err;
    }
}

TEST_F(ExportOracle, BodyFileIsFlsMachineOutput)
{
    make_twin(tmp.file("twin"), tmp.file("twin.img"));
    for (const std::string& image : {disk.path, tmp.file("twin.img")}) {
        auto fls = oracle::fls(image, 0, {"-m", "/", "-r"}, "ufs1");
        std::vector<std::string> want, got;
        std::istringstream lines(fls.out);
        for (std::string line; std::getline(lines, line);) {
            // (TSK's own node; and the older records keep no type, which
            // TSK shows as "-/", the inode's own type after the slash.)
            size_t type = line.find("|-/");
            if (type != std::string::npos)
                line[type + 1] = line[type + 3];
            if (line.find("|/$OrphanFiles|") == std::string::npos)
                want.push_back(line);
        }
        auto r = sunufs("body body.txt", image);
        ASSERT_EQ(r.status, 0) << r.err;
        std::istringstream body(testimg::read_text(tmp.file("body.txt")));
        for (std::string line; std::getline(body, line);)
            got.push_back(line);
        // The order is the directories' own, which differs with the host's file system.
        std::sort(want.begin(), want.end());
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, want) << image;
        EXPECT_EQ(oracle::run_tool({"mactime", "-b", tmp.file("body.txt")}).status, 0);
    }

    // -5: each regular file's field is the MD5 of its bytes.
    auto r = sunufs("body -5 - /sums");
    std::vector<std::string> sums;
    std::istringstream out(r.out);
    for (std::string line; std::getline(out, line);) {
        size_t bar = line.find('|');
        if (line.find("|r/") != std::string::npos)
            sums.push_back(line.substr(0, bar) + "  " + src + line.substr(bar + 1, line.find('|', bar + 1) - bar - 1));
    }
    std::vector<std::string> files;
    for (int n : {55, 56, 57, 63, 64, 119, 120})
        files.push_back(src + "/sums/m" + std::to_string(n));
    files.insert(files.begin(), "md5sum");
    auto md5 = oracle::run_tool(files);
    std::vector<std::string> expected;
    std::istringstream m(md5.out);
    for (std::string line; std::getline(m, line);)
        expected.push_back(line);
    std::sort(sums.begin(), sums.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(sums, expected);
}

}  // namespace
