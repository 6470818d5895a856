// Golden transcripts: one fixed image, a script of commands, and the exact
// standard output and standard error expected, kept as files under
// tests/shell/golden/.  Any change to a message, a format or an order shows up
// here as a plain text difference.  To look at a difference, run the same
// script by hand and compare with the file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/images.h"
#include "support/runner.h"
#include "tools/sunimg.h"

namespace {

// A small file system with one of each kind of node and distinct owners,
// modes and times, so that swapped or misplaced fields cannot hide.
sunimg::Ufs golden_tree()
{
    sunimg::Ufs fs({.ncyl = 32});
    fs.dir("/etc", {.perm = 0755, .uid = 0, .gid = 3, .mtime = 700000000});
    fs.file("/etc/passwd", "root:x:0:1:Operator:/:/bin/csh\nuser:x:1001:20::/home/user:/bin/csh\n",
            {.perm = 0644, .uid = 0, .gid = 1, .mtime = 700003600});
    fs.file("/etc/motd", "Welcome to the golden disk.\n", {.perm = 0644, .uid = 2, .gid = 4, .mtime = 700007200});
    fs.dir("/home", {.uid = 0, .gid = 0, .mtime = 699000000});
    fs.dir("/home/user", {.perm = 0700, .uid = 1001, .gid = 20, .mtime = 701000000});
    fs.file("/home/user/notes.txt", sunimg::text_lines(10000, "note"),
            {.perm = 0600, .uid = 1001, .gid = 20, .mtime = 702000000});
    fs.symlink("/bin", "usr/bin", {.uid = 0, .gid = 0, .mtime = 700000000});
    fs.dir("/usr/bin", {.uid = 0, .gid = 0, .mtime = 700000000});
    fs.file("/usr/bin/su", std::string(3000, 'x'), {.perm = 04755, .uid = 0, .gid = 3, .mtime = 698000000});
    fs.dir("/tmp", {.perm = 01777, .uid = 0, .gid = 0, .mtime = 703000000});
    uint32_t dev = fs.dir("/dev", {.uid = 0, .gid = 0, .mtime = 700000000});
    fs.add_chardev(dev, "null", 0x0302, {.perm = 0666, .uid = 0, .gid = 0, .mtime = 700000000});
    fs.add_blockdev(dev, "sd0a", 0x0700, {.perm = 0640, .uid = 0, .gid = 5, .mtime = 700000000});
    fs.add_fifo(dev, "log", {.perm = 0620, .uid = 0, .gid = 0, .mtime = 700000000});
    fs.add_socket(dev, "printer", {.perm = 0777, .uid = 0, .gid = 0, .mtime = 700000000});
    return fs;
}

class Golden : public ::testing::Test {
protected:
    void SetUp() override
    {
        sunimg::DiskOptions o;
        o.label_text = "GOLDEN cyl 32 alt 2 hd 16 sec 32";
        image_ = testimg::write_disk(dir_, sunimg::make_disk(golden_tree(), 0, o), "golden.img");
        host_ = dir_.file("host");
        std::filesystem::create_directory(host_);
    }

    // Runs sunufs with the image named as it is in the golden files.
    runner::Result run(std::vector<std::string> args, const std::string& input)
    {
        runner::Options o;
        args.push_back("golden.img");
        o.args = args;
        o.input = input;
        o.cwd = dir_.path();
        std::filesystem::create_directories(dir_.path() + "/pager");
        o.env = runner::install_fake_less(dir_.path() + "/pager");
        o.env.push_back("OUT=" + dir_.file("paged"));
        o.env.push_back("TZ=UTC");
        return runner::run_sunufs(o);
    }

    static std::string golden_path(const std::string& name)
    {
        return std::string(SUNUFS_SOURCE_DIR) + "/tests/shell/golden/" + name;
    }
    static std::string golden(const std::string& name) { return testimg::read_text(golden_path(name)); }

    // Compares with a golden file; with SUNUFS_GOLDEN_UPDATE=1 rewrites it
    // instead, for a reviewer to read through the difference.
    static void expect_golden(const std::string& actual, const std::string& name)
    {
        const char* update = std::getenv("SUNUFS_GOLDEN_UPDATE");
        if (update && std::string(update) == "1") {
            testimg::write_text(golden_path(name), actual);
            return;
        }
        EXPECT_EQ(actual, golden(name)) << "golden file " << name;
    }

    testimg::TempDir dir_;
    std::string image_;
    std::string host_;
};

TEST_F(Golden, PartitionSummary)
{
    auto r = run({}, "");
    EXPECT_EQ(r.out, "");
    expect_golden(r.err, "summary.err");
}

TEST_F(Golden, LabelAndSuperblockDumps)
{
    auto r = run({"-d", "-p", "a"}, "bye\n");
    EXPECT_EQ(r.out, "golden.img(0) # ");
    expect_golden(r.err, "dumps.err");
}

TEST_F(Golden, BrowsingSession)
{
    auto r = run({"-p0"}, golden("session.in"));
    expect_golden(r.out, "session.out");
    expect_golden(r.err, "session.err");
    EXPECT_EQ(testimg::read_text(dir_.file("paged")), sunimg::text_lines(10000, "note"));
    EXPECT_EQ(testimg::read_text(dir_.file("host/home/user/notes.txt")), sunimg::text_lines(10000, "note"));
    EXPECT_EQ(testimg::read_text(dir_.file("host/pw")),
              "root:x:0:1:Operator:/:/bin/csh\nuser:x:1001:20::/home/user:/bin/csh\n");
}

}  // namespace
