// tar, body and -c against independent readers: a tree made on the host,
// put on a Sun disk by makefs, archived by `sunufs -c 'tar ...'` and read
// back by Python's tarfile; its body file set against `fls -m` and read by
// `mactime -b`.
#include "support/images.h"
#include "support/oracle.h"
#include "support/runner.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace {

// A tree with every kind of entry the archive keeps.  Devices and owners
// above 65535 need root; without it they are left out.
// Access times later than the modification and change times, so that
// reading the tree (makefs, the check below) leaves them as the image
// holds them.
void settle_times(const std::string& src)
{
    time_t now = time(nullptr);
    const timespec times[2] = {{now + 100, 0}, {now - 200, 0}};
    for (const auto& e : std::filesystem::recursive_directory_iterator(src))
        ASSERT_EQ(utimensat(AT_FDCWD, e.path().c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << e.path();
}

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
    settle_times(src);
}

// Reads the archive back and sets every member against the source tree:
// type, mode, owner, times, link target, device numbers, content; prints
// each difference, and "sparse" for each member stored sparse.
const char* kCheck = R"(
import os, sys, stat, tarfile
archive, src = sys.argv[1], sys.argv[2]
names = set()
for m in tarfile.open(archive):
    names.add(m.name)
    st = os.lstat(os.path.join(src, m.name))
    got = (m.mode, m.uid, m.gid, m.mtime, int(float(m.pax_headers.get('atime', -1))))
    want = (stat.S_IMODE(st.st_mode), st.st_uid, st.st_gid, int(st.st_mtime), int(st.st_atime))
    if got != want: print(m.name, 'attrs', got, want)
    if m.islnk():
        ok = os.lstat(os.path.join(src, m.linkname)).st_ino == st.st_ino
    elif m.issym(): ok = m.linkname == os.readlink(os.path.join(src, m.name))
    elif m.ischr() or m.isblk():
        ok = (m.devmajor, m.devminor) == (os.major(st.st_rdev), os.minor(st.st_rdev))
    elif m.isfile():
        ok = open(os.path.join(src, m.name), 'rb').read() == tarfile.open(archive).extractfile(m.name).read()
    else: ok = m.isdir() == stat.S_ISDIR(st.st_mode) and m.isfifo() == stat.S_ISFIFO(st.st_mode)
    if not ok: print(m.name, 'content or type')
    if m.sparse: print(m.name, 'sparse')
want = set()
for d, dirs, files in os.walk(src):
    for n in dirs + files: want.add(os.path.relpath(os.path.join(d, n), src))
if names != want: print('names', sorted(names ^ want))
)";

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

    runner::Result sunufs(const std::string& command)
    {
        runner::Options o;
        o.args = {"-p", "0", "-c", command, disk.path};
        o.cwd = tmp.path();
        return runner::run_sunufs(o);
    }

    testimg::TempDir tmp;
    std::string src;
    testimg::MakefsDisk disk;
};

TEST_F(ExportOracle, TarReadsBackAsTheSourceTree)
{
    // -c: the archive alone on standard output, compressed or not.
    for (std::string flags : {"-cf", "-czf", "-cJf"}) {
        auto r = sunufs("tar " + flags + " - /");
        ASSERT_EQ(r.status, 0) << r.err;
        unsigned devices = geteuid() == 0 ? 3 : 1;
        EXPECT_EQ(r.err, "archived 4 files (3345750 bytes), 3 directories, 2 links, " + std::to_string(devices)
                             + " devices; 0 not archived; 0 failed\n");
        testimg::write_text(tmp.file("a.tar"), r.out);
        auto check = oracle::run_tool({"python3", "-c", kCheck, tmp.file("a.tar"), src});
        // makefs writes the holes out, so nothing here is stored sparse.
        EXPECT_EQ(check.out, "") << flags << check.err;
    }
}

TEST_F(ExportOracle, BodyFileIsFlsMachineOutput)
{
    auto fls = oracle::fls(disk.path, 0, {"-m", "/", "-r"}, "ufs1");
    std::string want;
    std::istringstream lines(fls.out);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("|/$OrphanFiles|") == std::string::npos)   // TSK's own node
            want += line + "\n";
    }
    auto r = sunufs("body body.txt");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(testimg::read_text(tmp.file("body.txt")), want);
    EXPECT_EQ(oracle::run_tool({"mactime", "-b", tmp.file("body.txt")}).status, 0);

    // -5: each regular file's field is the MD5 of its bytes.
    r = sunufs("body -5 - /sub");
    auto md5 = oracle::run_tool({"md5sum", src + "/plain"});
    EXPECT_EQ(r.out.substr(0, r.out.find('|')), md5.out.substr(0, 32)) << r.out;
}

}  // namespace
