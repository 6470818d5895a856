// The partition mounted on the host (-M), seen through the host's own
// tools: diff and stat against the source tree and The Sleuth Kit on a
// makefs disk; dd, getfattr and lseek on a damaged disk with a rescue map.
// Every case ends with SIGTERM, which must unmount cleanly.
#include "support/host_mount.h"
#include "support/images.h"
#include "support/oracle.h"
#include "support/runner.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int B = 8192;
constexpr int MANY = 1000;
const std::string kLongTarget(80, 'l');   // past what the inode keeps

std::string text(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

// The source tree of the clean disk: every kind of entry, raw-byte names,
// hard links, a link too long for the inode, and many small files.
void make_source(const std::string& src)
{
    testimg::make_host_tree(src, {{"plain", "some bytes\n"}, {"suid", "setuid\n"}, {"sub/", ""}, {"tmp/", ""},
                                  {"big", text(sunimg::pattern(300000, 5))}, {"caf\xe9", "latin-1 name\n"}});
    ASSERT_EQ(chmod((src + "/suid").c_str(), 06755), 0);
    ASSERT_EQ(chmod((src + "/tmp").c_str(), 01777), 0);
    ASSERT_EQ(link((src + "/plain").c_str(), (src + "/sub/again").c_str()), 0);
    ASSERT_EQ(symlink("../plain", (src + "/sub/sym").c_str()), 0);
    ASSERT_EQ(symlink(kLongTarget.c_str(), (src + "/sub/long").c_str()), 0);
    ASSERT_EQ(mkfifo((src + "/fifo").c_str(), 0640), 0);
    ASSERT_EQ(mkdir((src + "/many").c_str(), 0755), 0);
    for (int i = 0; i < MANY; i++)
        testimg::write_text(src + "/many/f" + std::to_string(i), "file " + std::to_string(i) + "\n");
    if (geteuid() == 0) {
        ASSERT_EQ(mknod((src + "/tty").c_str(), S_IFCHR | 0620, makedev(4, 7)), 0);
        ASSERT_EQ(mknod((src + "/disk").c_str(), S_IFBLK | 0660, makedev(8, 17)), 0);
        ASSERT_EQ(lchown((src + "/suid").c_str(), 70000, 70001), 0);
        ASSERT_EQ(chmod((src + "/suid").c_str(), 06755), 0);
    }
}

// The damaged disk: a directory whose only block is gone (its entries
// are lost trees), a file with one block the rescue map marks unreadable,
// a file with a hole, and a real root entry named like an inode.
struct Damaged {
    std::string path, map;
    uint32_t a = 0, deeper = 0;   // the lost tops
    int lost_lbn = 0;
};

Damaged make_damaged(const testimg::TempDir& tmp)
{
    sunimg::Ufs t;
    t.file("/data/big", sunimg::pattern(200000, 9));
    uint32_t holes =
        t.add_sparse(t.root(), "holes", 3 * B + 10, {{0, sunimg::pattern(100, 7)}, {3 * B, sunimg::pattern(10, 8)}});
    Damaged d;
    uint32_t dir = t.dir("/dir");
    d.a = t.file("/dir/a", "lost file\n");
    d.deeper = t.dir("/dir/deeper");
    t.file("/dir/deeper/c", "deeper\n");
    t.file("/<5>", "a real entry\n");
    sunimg::DiskImage img = sunimg::make_disk(t);
    img.image.put32be(img.inode_offset(0, dir) + sunimg::ino_off::db, 0);
    // The older format keeps microseconds in the word after each time.
    img.image.put32be(img.inode_offset(0, holes) + sunimg::ino_off::mtime + 4, 123456);
    auto big = img.data_blocks(0, t.lookup("/data/big"));
    d.lost_lbn = static_cast<int>(big[3].lbn);
    char map[160];
    std::snprintf(map, sizeof map, "0x0 +\n0x0 0x%llx +\n0x%llx 0x200 -\n0x%llx 0x100000000 +\n",
                  (unsigned long long)big[3].offset, (unsigned long long)big[3].offset,
                  (unsigned long long)big[3].offset + 512);
    d.path = testimg::write_disk(tmp, img, "damaged.img");
    d.map = tmp.file("damaged.map");
    testimg::write_text(d.map, map);
    return d;
}

oracle::Result sh(const std::string& script) { return oracle::run_tool({"sh", "-c", script}); }

std::string q(const std::string& s) { return "'" + s + "'"; }

struct Ctx {
    std::string src, mnt, image;
    const Damaged* damaged;
};

void tree_as_source(const Ctx& c)
{
    auto r = sh("LC_ALL=C diff -r --no-dereference " + q(c.src) + " " + q(c.mnt));
    std::regex special("File .* is a (fifo|character special file|block special file) while file .* is a .*");
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);)
        EXPECT_TRUE(std::regex_match(line, special)) << line;
    EXPECT_EQ(r.err, "");
}

void status_as_istat(const Ctx& c)
{
    auto fls = oracle::fls(c.image, 0, {"-r", "-p"}, "ufs1");
    ASSERT_TRUE(fls.ok()) << fls.err;
    int checked = 0;
    for (const auto& row : oracle::parse_fls(fls.out)) {
        if (row.type == "V/V" || row.name.rfind("$Orphan", 0) == 0 || (row.name.rfind("many/", 0) == 0 && row.name != "many/f7"))
            continue;
        auto st = oracle::run_tool({"stat", "-c", "%i %f %h %u %g %s %X %Y %Z %t %T", c.mnt + "/" + row.name});
        auto is = oracle::parse_keys(oracle::istat(c.image, 0, row.ino, "ufs1").out);
        std::istringstream w(st.out);
        std::string ino, mode, links, uid, gid, size, at, mt, ct, maj, min;
        w >> ino >> mode >> links >> uid >> gid >> size >> at >> mt >> ct >> maj >> min;
        SCOPED_TRACE(row.name);
        EXPECT_EQ(ino, std::to_string(row.ino));
        EXPECT_EQ(links, is["num of links"]);
        EXPECT_EQ(uid + " / " + gid, is["uid / gid"]);
        EXPECT_EQ(size, is["size"]);
        EXPECT_EQ(oracle::tsk_time(std::stoll(at)), is["Accessed"]);
        EXPECT_EQ(oracle::tsk_time(std::stoll(mt)), is["File Modified"]);
        EXPECT_EQ(oracle::tsk_time(std::stoll(ct)), is["Inode Modified"]);
        struct stat s;
        ASSERT_EQ(lstat((c.src + "/" + row.name).c_str(), &s), 0);
        char want[96];
        std::snprintf(want, sizeof want, "%x %u %u %lld %x %x", s.st_mode, s.st_uid, s.st_gid,
                      static_cast<long long>(s.st_mtime), major(s.st_rdev), minor(s.st_rdev));
        EXPECT_EQ(mode + " " + uid + " " + gid + " " + mt + " " + maj + " " + min, want);
        checked++;
    }
    EXPECT_GT(checked, 10);
    char target[200];
    ssize_t n = readlink((c.mnt + "/sub/long").c_str(), target, sizeof target);
    EXPECT_EQ(std::string(target, n > 0 ? static_cast<size_t>(n) : 0), kLongTarget);
}

void writes_refused(const Ctx& c)
{
    std::string p = c.mnt + "/plain";
    struct Try {
        const char* what;
        std::function<int()> call;
    } const tries[] = {
        {"open for writing", [&] { return open(p.c_str(), O_WRONLY); }},
        {"create", [&] { return open((c.mnt + "/new").c_str(), O_WRONLY | O_CREAT, 0644); }},
        {"mkdir", [&] { return mkdir((c.mnt + "/newdir").c_str(), 0755); }},
        {"unlink", [&] { return unlink(p.c_str()); }},
        {"rename", [&] { return rename(p.c_str(), (c.mnt + "/moved").c_str()); }},
        {"chmod", [&] { return chmod(p.c_str(), 0600); }},
        {"setxattr", [&] { return setxattr(p.c_str(), "user.x", "1", 1, 0); }},
    };
    for (const auto& t : tries) {
        errno = 0;
        EXPECT_EQ(t.call(), -1) << t.what;
        EXPECT_EQ(errno, EROFS) << t.what;
    }
    struct statvfs v;
    ASSERT_EQ(statvfs(c.mnt.c_str(), &v), 0);
    EXPECT_EQ(v.f_namemax, 255u);
    EXPECT_EQ(v.f_bsize, 8192u);
    EXPECT_NE(v.f_flag & ST_RDONLY, 0u);
}

void many_open(const Ctx& c)
{
    rlimit lim;
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
    std::vector<int> fds;
    for (int i = 0; i < MANY; i++)
        fds.push_back(open((c.mnt + "/many/f" + std::to_string(i)).c_str(), O_RDONLY));
    for (int i = MANY - 1; i >= 0; i--) {
        char buf[64];
        ASSERT_GE(fds[i], 0) << i;
        ssize_t n = read(fds[i], buf, sizeof buf);
        EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), "file " + std::to_string(i) + "\n");
    }
    for (int fd : fds)
        close(fd);
}

void lost_range(const Ctx& c)
{
    std::string big = c.mnt + "/data/big";
    std::string want = text(sunimg::pattern(200000, 9));
    int k = c.damaged->lost_lbn;
    for (int blk : {k - 1, k + 1}) {
        auto r = sh("dd if=" + q(big) + " bs=8192 skip=" + std::to_string(blk) + " count=1 status=none");
        EXPECT_EQ(r.out, want.substr(static_cast<size_t>(blk) * B, B)) << blk;
    }
    auto bad = sh("dd if=" + q(big) + " bs=512 skip=" + std::to_string(k * 16 + 3) + " count=1 status=none");
    EXPECT_NE(bad.status, 0);
    EXPECT_NE(bad.err.find("Input/output error"), std::string::npos) << bad.err;
    std::string range = std::to_string(k * B) + "-" + std::to_string((k + 1) * B);
    auto attr = oracle::run_tool({"getfattr", "-n", "user.sunufs.lost", "--only-values", big});
    EXPECT_EQ(attr.out, range) << attr.err;
    auto none = oracle::run_tool({"getfattr", "-n", "user.sunufs.lost", c.mnt + "/holes"});
    EXPECT_NE(none.status, 0);
}

void holes_and_names(const Ctx& c)
{
    auto seek = oracle::run_tool({"python3", "-c",
                                  "import os,sys\nfd=os.open(sys.argv[1],0)\nB=8192\n"
                                  "print(os.lseek(fd,100,os.SEEK_HOLE),os.lseek(fd,B,os.SEEK_DATA))",
                                  c.mnt + "/holes"});
    EXPECT_EQ(seek.out, std::to_string(B) + " " + std::to_string(3 * B) + "\n") << seek.err;
    auto mtime = oracle::run_tool({"stat", "-c", "%.9Y", c.mnt + "/holes"});
    EXPECT_NE(mtime.out.find(".123456000\n"), std::string::npos) << mtime.out;
    const Damaged& d = *c.damaged;
    auto ls = sh("cd " + q(c.mnt) + " && ls -a . '<lost>'");
    EXPECT_EQ(ls.out, ".:\n.\n..\n<5>\ndata\ndir\nholes\n\n<lost>:\n.\n..\ninode-" + std::to_string(d.a) + "\ninode-"
                          + std::to_string(d.deeper) + "\n") << ls.err;
    EXPECT_EQ(testimg::read_text(c.mnt + "/<lost>/inode-" + std::to_string(d.deeper) + "/c"), "deeper\n");
    EXPECT_EQ(testimg::read_text(c.mnt + "/<" + std::to_string(d.a) + ">"), "lost file\n");
    EXPECT_EQ(testimg::read_text(c.mnt + "/<5>"), "a real entry\n");
}

struct MountCase {
    const char* name;
    bool damaged;
    void (*check)(const Ctx&);
    const char* err;   // standard error after the start line, "" for none
};

const MountCase cases[] = {
    {"the tree as the source has it", false, tree_as_source, ""},
    {"status as istat and the source give it", false, status_as_istat, ""},
    {"every change refused", false, writes_refused, ""},
    {"a thousand files open at once", false, many_open, ""},
    {"lost range fails alone, named once", true, lost_range, "/data/big: damaged; lost {RANGE}\n"},
    {"holes, lost trees and inode names", true, holes_and_names, ""},
};

class HostMountOracle : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        tmp_ = new testimg::TempDir;
        src_ = new std::string(tmp_->file("src"));
        make_source(*src_);
        disk_ = new testimg::MakefsDisk(testimg::makefs_sun_disk(*src_, tmp_->file("sun.img"), {.size = "24m"}));
        damaged_ = new Damaged(make_damaged(*tmp_));
    }
    static void TearDownTestSuite()
    {
        delete damaged_;
        delete disk_;
        delete src_;
        delete tmp_;
    }
    static testimg::TempDir* tmp_;
    static std::string* src_;
    static testimg::MakefsDisk* disk_;
    static Damaged* damaged_;
};

testimg::TempDir* HostMountOracle::tmp_ = nullptr;
std::string* HostMountOracle::src_ = nullptr;
testimg::MakefsDisk* HostMountOracle::disk_ = nullptr;
Damaged* HostMountOracle::damaged_ = nullptr;

TEST_F(HostMountOracle, HostToolsSeeTheDisk)
{
    std::string missing = testimg::host_mount_missing();
    if (!missing.empty())
        GTEST_SKIP() << "mount tests skipped: " << missing;
    REQUIRE_TOOL("fls");
    REQUIRE_TOOL("getfattr");
    std::string mnt = tmp_->file("mnt");
    // No place to mount: said, exit status 1, before any mount is tried.
    for (std::string place : {mnt, tmp_->file("src/plain")}) {
        runner::Options o;
        o.args = {"-M", place, "-p", "0", disk_->path};
        auto r = runner::run_sunufs(o);
        EXPECT_EQ(r.status, 1) << place;
        EXPECT_EQ(r.err, "sunufs: cannot mount: " + place + (place == mnt ? ": No such file or directory\n"
                                                                           : ": Not a directory\n"));
    }
    ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
    for (const MountCase& mc : cases) {
        SCOPED_TRACE(mc.name);
        const Damaged& d = *damaged_;
        std::string image = mc.damaged ? d.path : disk_->path;
        std::vector<std::string> args = {"-p", "0", image};
        if (mc.damaged)
            args = {"-m", d.map, "-p", "0", image};
        testimg::HostMount m(args, mnt);
        if (!m.mounted())
            GTEST_SKIP() << "mount tests skipped: the mount was refused: " << m.err().substr(0, m.err().find('\n'));
        mc.check({*src_, mnt, image, &d});
        mc.check({*src_, mnt, image, &d});   // again, from what the host keeps
        EXPECT_EQ(m.stop(SIGTERM), 0);
        EXPECT_FALSE(m.mounted()) << "a stale mount";
        std::string err = m.err();
        std::string start = image + ": partition 0 mounted read-only on " + mnt + "; fusermount3 -u " + mnt
            + " unmounts it\n";
        std::string want = mc.err;
        std::string range = std::to_string(d.lost_lbn * B) + "-" + std::to_string((d.lost_lbn + 1) * B);
        if (size_t at = want.find("{RANGE}"); at != std::string::npos)
            want.replace(at, 7, range);
        if (mc.damaged)
            start = "map: 512 bytes in 1 area unreadable\n" + start;
        EXPECT_EQ(err, start + want);
    }
}

// An ordinary user mounts through fusermount3 and unmounts with it.
TEST_F(HostMountOracle, OrdinaryUserMountsAndUnmounts)
{
    std::string missing = testimg::host_mount_missing();
    if (!missing.empty())
        GTEST_SKIP() << "mount tests skipped: " << missing;
    if (geteuid() != 0 || oracle::find_tool("setpriv").empty())
        GTEST_SKIP() << "needs root and setpriv to become uid 65534";
    testimg::TempDir home;
    ASSERT_EQ(chmod(home.path().c_str(), 0755), 0);
    std::string image = home.file("disk.img");
    ASSERT_EQ(sh("cp " + q(damaged_->path) + " " + q(image) + " && chmod 644 " + q(image)).status, 0);
    std::string mnt = home.file("mnt");
    ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
    ASSERT_EQ(chown(mnt.c_str(), 65534, 65534), 0);
    testimg::HostMount m({"-p", "0", image}, mnt, 65534);
    if (!m.mounted())
        GTEST_SKIP() << "uid 65534 may not mount here: " << m.err().substr(0, m.err().find('\n'));
    runner::Options o;
    o.as_uid = 65534;
    o.args = {"-c", "cat " + q(mnt + "/data/big") + " | wc -c && fusermount3 -u " + q(mnt)};
    auto r = runner::run("/bin/sh", o);
    EXPECT_EQ(r.out, "200000\n") << r.err;
    EXPECT_EQ(m.stop(0), 0);
    EXPECT_FALSE(m.mounted());
}

}  // namespace
