// Logging file systems as a crash leaves them: after the replay in memory
// a session shows what the file system holds once every committed change
// is in place (the builder's image of that state, and The Sleuth Kit's
// reading of it), and with -n what lies on the disk (The Sleuth Kit's
// reading of the disk itself, which knows nothing of the log).
#include "support/fingerprint.h"
#include "support/images.h"
#include "support/oracle.h"
#include "support/runner.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using sunimg::LogShape;

struct Session {
    runner::Result r;
    uint64_t tree = 0;   // hash of what `cp -rp /` wrote
    std::string dir;
};

// Lists / (short and long), copies it with cp -rp and shows /logged's
// status, on `image` copied to dir/`tag`/disk.img, so that the prompts
// of sessions on different images read alike.
Session run(const testimg::TempDir& tmp, const std::string& image, std::vector<std::string> args,
            const std::string& tag)
{
    Session s;
    s.dir = tmp.file(tag);
    std::filesystem::create_directories(s.dir + "/out");
    std::filesystem::copy_file(image, s.dir + "/disk.img");
    runner::Options o;
    o.args = std::move(args);
    o.args.push_back("disk.img");
    o.input = "ls\nls -l\ncp -rp / out\nstat /logged\nbye\n";
    o.cwd = s.dir;
    o.env = {"TZ=UTC"};
    s.r = runner::run_sunufs(o);
    s.tree = testimg::hash_tree(s.dir + "/out");
    return s;
}

// Names of the short listing, without "." and "..".
std::set<std::string> listed(const std::string& out)
{
    std::set<std::string> names;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        std::string name = line.substr(line.rfind(' ') + 1);
        if (!name.empty() && name != "." && name != ".." && name != "#")
            names.insert(name);
    }
    return names;
}

std::set<std::string> fls_root(const std::string& image)
{
    std::set<std::string> names;
    for (const auto& row : oracle::parse_fls(oracle::fls(image, 0, {}).out)) {
        if (row.name[0] != '$')
            names.insert(row.name);
    }
    return names;
}

const std::string kStateLine = "Inode state: from the file system log\n";

std::string without(std::string text, const std::string& line)
{
    size_t at = text.find(line);
    return at == std::string::npos ? text : text.erase(at, line.size());
}

struct Shape {
    const char* name;
    LogShape shape;
    std::string mount_line;   // what the mount says of the log
    bool logged_inode;        // /logged's inode comes from the log
};

const std::string kDamaged = "\tfile system log damaged (header checksum): not replayed; the newest changes may be missing\n";
std::string replayed(int n) { return "\tfile system log: " + std::to_string(n) + " transactions replayed in memory\n"; }

TEST(LogReplay, SessionsShowTheReplayedStateAndMinusNTheDisk)
{
    REQUIRE_TOOL("fls");
    REQUIRE_TOOL("icat");
    const Shape shapes[] = {
        {"empty log", LogShape::empty, "", false},
        {"one transaction", LogShape::create, replayed(1), true},
        {"no commit", LogShape::no_commit, "", false},
        {"wrapping", LogShape::wrap, replayed(1), true},
        {"cancel", LogShape::cancel, replayed(2), true},
        {"abzero", LogShape::abzero, replayed(1), true},
        {"broken trailer", LogShape::broken_trailer, replayed(1), true},
        {"first header damaged", LogShape::first_header_bad, replayed(1), true},
        {"both headers damaged", LogShape::headers_bad, kDamaged, false},
    };
    sunimg::Ufs fs;
    fs.file("/etc/motd", "hello\n");
    fs.file("/a/b/c.txt", sunimg::pattern(20000, 3));
    for (const Shape& c : shapes) {
        SCOPED_TRACE(c.name);
        testimg::TempDir tmp;
        sunimg::LoggedDisk ld = sunimg::make_logged_disk(fs, c.shape);
        std::string disk = testimg::write_disk(tmp, ld.disk, "disk.img");
        std::string want = testimg::write_disk(tmp, ld.replayed, "replayed.img");

        Session got = run(tmp, disk, {"-p0"}, "got");
        Session ref = run(tmp, want, {"-p0"}, "ref");
        std::string err = got.r.err;
        EXPECT_EQ(err.substr(0, c.mount_line.size()), c.mount_line);
        err.erase(0, c.mount_line.size());
        EXPECT_EQ(err.find(kStateLine) != std::string::npos, c.logged_inode);
        EXPECT_EQ(without(err, kStateLine), ref.r.err);
        EXPECT_EQ(got.r.out, ref.r.out);
        EXPECT_EQ(got.tree, ref.tree);
        EXPECT_EQ(listed(got.r.out), fls_root(want));
        uint32_t ino = ld.replayed.layout(0).inodes.rbegin()->first;
        if (ld.committed > 0) {
            EXPECT_EQ(runner::read_file(got.dir + "/out/logged"), oracle::icat(want, 0, ino).out);
        }

        Session raw = run(tmp, disk, {"-n", "-p0"}, "raw");
        EXPECT_EQ(raw.r.err.rfind("\tfile system log not rolled: the newest changes may be missing\n", 0), 0u);
        EXPECT_EQ(listed(raw.r.out), fls_root(disk));
        EXPECT_EQ(raw.r.err.find(kStateLine), std::string::npos);
    }
}


// The word sum of the extent block, the checksum word taken as 0.
void resum(sunimg::Image& img, uint64_t block)
{
    uint32_t sum = 0;
    for (uint64_t i = 0; i < 8192; i += 4)
        sum += i == 4 ? 0 : img.get32be(block + i);
    img.put32be(block + 4, sum);
}

struct Crafted {
    const char* why;
    uint64_t (*where)(uint64_t block, uint64_t head);   // block: the extent block; head: the first change
    uint32_t value;
    bool resummed;
};

TEST(LogReplay, CraftedLogsAreRefusedAndTheDiskIsShown)
{
    REQUIRE_TOOL("fls");
    const Crafted cases[] = {
        {"extent block checksum", [](uint64_t b, uint64_t) { return b + 8; }, 3, false},
        {"extent count", [](uint64_t b, uint64_t) { return b + 8; }, 0xFFFFFFFF, true},
        {"log larger than 64 MiB", [](uint64_t b, uint64_t) { return b + 28; }, 0x7FFFFFFF, true},
        {"extents do not follow one another", [](uint64_t b, uint64_t) { return b + 32; }, 5, true},
        {"a change runs past the log", [](uint64_t, uint64_t h) { return h + 8; }, 0x7FFFFFF0, false},
        {"unknown change type", [](uint64_t, uint64_t h) { return h + 12; }, 4096, false},
    };
    sunimg::Ufs fs;
    fs.file("/etc/motd", "hello\n");
    for (const Crafted& c : cases) {
        SCOPED_TRACE(c.why);
        testimg::TempDir tmp;
        sunimg::LoggedDisk ld = sunimg::make_logged_disk(fs, LogShape::create);
        sunimg::Image& img = ld.disk.image;
        uint64_t part = ld.disk.partition_offset(0);
        uint64_t block = part + uint64_t{img.get32be(ld.disk.superblock_offset(0) + 1324)} * 512;
        uint64_t log = part + uint64_t{img.get32be(block + 24)} * 512;   // the first extent
        uint64_t head = log + img.get32be(log + 48);
        img.put32be(c.where(block, head), c.value);
        if (c.resummed)
            resum(img, block);
        std::string disk = testimg::write_disk(tmp, ld.disk, "disk.img");
        runner::Options o;
        o.args = {"-p0", "-c", "ls", disk};
        runner::Result r = runner::run_sunufs(o);
        EXPECT_EQ(r.err, "\tfile system log damaged (" + std::string(c.why) +
                             "): not replayed; the newest changes may be missing\n");
        EXPECT_EQ(listed(r.out), fls_root(disk));
    }
}

}  // namespace
