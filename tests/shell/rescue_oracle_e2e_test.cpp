// The way back in, on disks made by makefs and sfdisk and held against
// what The Sleuth Kit reads from the undamaged disk: backup labels, -b,
// the scan (-s) with -o, and the log that is not rolled.
#include "support/fingerprint.h"
#include "support/images.h"
#include "support/labels.h"
#include "support/oracle.h"
#include "support/rescue.h"
#include "support/runner.h"
#include "tools/sunimg.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace {

using testimg::patch;

// The line after a bad magic number at mount, when no copy was tried.
#define COPIES_HINT "\t-b tries the superblock copies; -s scans the disk for file systems\n"

struct Session {
    runner::Result r;
    uint64_t tree = 0;   // hash of what `cp -r /` wrote
};

class Rescue : public ::testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_TOOL("makefs");
        REQUIRE_TOOL("sfdisk");
        std::filesystem::create_directories(dir.file("sound"));
        std::filesystem::create_directories(dir.file("bad"));
        testimg::make_host_tree(dir.file("src"), {{"etc/motd", "hello\n"},
                                                  {"a/b/c.txt", std::string(20000, 'c')},
                                                  {"empty/", ""}});
        disk = testimg::two_fs_disk(dir.file("src"), dir.file("sound/disk.img"));
        sound = disk.path;
        bad = dir.file("bad/disk.img");
        oracle::run_tool({"cp", "--sparse=always", sound, bad});
    }

    // Runs sunufs on `args`; with `copy`, lists / and copies it to out/.
    Session run(std::vector<std::string> args, bool copy = false)
    {
        std::string host = dir.file("host" + std::to_string(runs++));
        std::filesystem::create_directories(host + "/out");
        runner::Options o;
        o.args = std::move(args);
        o.input = copy ? "ls -l\ncp -r / out\nbye\n" : "";
        o.cwd = host;
        o.env = {"TZ=UTC"};
        Session s{runner::run_sunufs(o), 0};
        s.tree = testimg::hash_tree(host + "/out");
        return s;
    }

    testimg::TempDir dir;
    testimg::TwoFsDisk disk;
    std::string sound, bad;
    int runs = 0;
};

using testimg::expect_tsk_tree;

struct LabelDamage {
    const char* name;
    uint64_t at;
    std::string bytes;
    const char* reason;
};

TEST_F(Rescue, BackupLabelStandsInForADamagedSectorZero)
{
    uint64_t first = testimg::write_backup_labels(sound);
    testimg::write_backup_labels(bad);
    const LabelDamage cases[] = {
        {"checksum", 100, "\x01", "Bad checksum"},
        {"magic", 508, std::string(2, '\0'), "Bad magic number"},
        {"zeros", 0, std::string(512, '\0'), "Bad magic number"},
    };
    for (const auto& c : cases) {
        oracle::run_tool({"cp", "--sparse=always", sound, bad});
        testimg::write_backup_labels(bad);
        patch(bad, c.at, c.bytes);
        std::string notice = "open disk: " + std::string(c.reason) + "; using the backup label at sector " +
                             std::to_string(first) + "\n";
        EXPECT_EQ(run({bad}).r.err, notice + run({sound}).r.err) << c.name;
        for (const char* part : {"-p0", "-p4"}) {
            Session want = run({part, sound}, true), got = run({part, bad}, true);
            std::string out = got.r.out;   // the prompts name the image
            for (size_t at; (at = out.find(bad)) != std::string::npos;)
                out.replace(at, bad.size(), sound);
            EXPECT_EQ(out, want.r.out) << c.name << part;
            EXPECT_EQ(got.r.err, notice + want.r.err) << c.name << part;
            EXPECT_EQ(got.tree, want.tree) << c.name << part;
        }
    }
    // Where else the copies lie: past the alternate cylinders that the
    // builder's labels keep (sfdisk's keep none), and on head 2 alone.
    sunimg::Ufs tree;
    tree.file("/etc/motd", "hello\n");
    sunimg::make_disk(tree).write(dir.file("sound/built.img"));
    struct Place {
        const char* name;
        std::string sound;
        int head;
    } const places[] = {{"alternate cylinders", dir.file("sound/built.img"), -1}, {"head 2", sound, 2}};
    for (const auto& p : places) {
        oracle::run_tool({"cp", "--sparse=always", p.sound, bad});
        uint64_t at = testimg::write_backup_labels(bad, p.head);
        patch(bad, 0, std::string(512, '\0'));
        Session want = run({"-p0", p.sound}, true), got = run({"-p0", bad}, true);
        EXPECT_EQ(got.r.err, "open disk: Bad magic number; using the backup label at sector " + std::to_string(at) +
                                 "\n" + want.r.err) << p.name;
        EXPECT_EQ(got.tree, want.tree) << p.name;
    }
}

std::string fs_line(uint64_t start, uint64_t sectors, int bsize, int fsize, int copies, bool primary)
{
    return "sector " + std::to_string(start) + ": file system, " + std::to_string(sectors) + " sectors, block " +
           std::to_string(bsize) + ", fragment " + std::to_string(fsize) + ", " + std::to_string(copies) +
           " copies, open with -o " + std::to_string(start) + (primary ? "" : " -b") + ", last mounted on \n";
}

// Device bytes of the superblock copy of each cylinder group of the file
// system at sector `offset`, as fsstat places them.
std::vector<uint64_t> copy_places(const std::string& image, uint64_t offset)
{
    std::istringstream stat(oracle::fsstat(image, offset, "ufs1").out);
    uint64_t fsize = 0;
    std::vector<uint64_t> at;
    for (std::string line; std::getline(stat, line);) {
        if (line.rfind("Fragment Size: ", 0) == 0)
            fsize = std::stoull(line.substr(15));
        if (size_t k = line.find("Super Block: "); k != std::string::npos && fsize > 0) {
            uint64_t place = std::stoull(line.substr(k + 13)) * fsize;
            if (place != 8192)   // the primary
                at.push_back(offset * 512 + place);
        }
    }
    return at;
}

struct SuperDamage {
    const char* name;
    uint64_t at;   // within the superblock
    std::string bytes;
    const char* reason;
};

TEST_F(Rescue, SuperblockCopyOpensAPartitionWhosePrimaryIsLost)
{
    REQUIRE_TOOL("fls");
    REQUIRE_TOOL("icat");
    REQUIRE_TOOL("fsstat");
    const SuperDamage cases[] = {
        {"zeroed", 0, std::string(8192, '\0'), "Bad magic number"},
        {"unsafe block size", 48, std::string("\0\0\x40\0", 4), "Bad superblock"},
    };
    const uint64_t start = disk.start[1];
    Session want = run({"-p4", sound}, true);
    for (const auto& c : cases) {
        oracle::run_tool({"cp", "--sparse=always", sound, bad});
        patch(bad, start * 512 + 8192 + c.at, c.bytes);
        Session refused = run({"-p4", bad}, true);
        EXPECT_EQ(refused.r.err, "mount fs: " + std::string(c.reason) + "\n" +
                                     (c.at == 0 ? std::string(COPIES_HINT) : "")) << c.name;
        EXPECT_EQ(refused.r.status, 1) << c.name;
        Session got = run({"-b", "-p4", bad}, true);
        EXPECT_EQ(got.r.err, "mount fs: superblock unusable (" + std::string(c.reason) +
                                 "); using the copy at sector " + std::to_string(start + 32) + "\n" + want.r.err)
            << c.name;
        EXPECT_EQ(got.tree, want.tree) << c.name;
        expect_tsk_tree(sound, start, dir.file("host" + std::to_string(runs - 1) + "/out"));
    }
    EXPECT_EQ(run({"-b", "-p4", sound}, true).r.err, want.r.err);   // a sound primary: -b changes nothing

    // A staggered file system of 18 groups, as older systems made them:
    // with the primary and the copies of groups 0-15 lost, the copy of
    // group 16 opens it, found where fsstat places it.
    sunimg::Ufs tree({.cpg = 2, .ncyl = 36, .ipg = 32});
    tree.file("/etc/motd", "staggered\n");
    tree.file("/a/b", std::string(30000, 'b'));
    const std::string staggered = dir.file("sound/staggered.img");
    sunimg::make_disk(tree).write(staggered);
    const std::vector<uint64_t> copies = copy_places(staggered, 0);
    ASSERT_EQ(copies.size(), 18u);
    oracle::run_tool({"cp", "--sparse=always", staggered, bad});
    patch(bad, 8192, std::string(8192, '\0'));
    for (int g = 0; g < 16; g++)
        patch(bad, copies[g], std::string(8192, '\0'));
    want = run({"-p0", staggered}, true);
    Session got = run({"-b", "-p0", bad}, true);
    EXPECT_EQ(got.r.err, "mount fs: superblock unusable (Bad magic number); using the copy at sector " +
                             std::to_string(copies[16] / 512) + "\n" + want.r.err);
    EXPECT_EQ(got.tree, want.tree);
    std::string line = fs_line(0, 36 * 512, 8192, 1024, 2, false);
    EXPECT_EQ(run({"-s", bad}).r.out, "sector 0: label, sound\n" + line.insert(line.size() - 1, "/"));
}

TEST_F(Rescue, ScanFindsFileSystemsAndTheOptionsThatOpenThem)
{
    REQUIRE_TOOL("mmls");
    REQUIRE_TOOL("fsstat");
    // The suite's disks: what mmls and fsstat see is what the scan reports.
    for (const auto& row : oracle::parse_mmls(oracle::mmls(sound).out)) {
        if (row.desc.find("0x02") == std::string::npos)
            continue;
        auto keys = oracle::parse_keys(oracle::fsstat(sound, row.start, "ufs1").out);
        std::string line = fs_line(row.start, row.length, std::stoi(keys["Block Size"]),
                                   std::stoi(keys["Fragment Size"]), std::stoi(keys["Number of Cylinder Groups"]), true);
        EXPECT_NE(run({"-s", sound}).r.out.find(line), std::string::npos) << line;
    }
    std::string small = dir.file("small.img");
    testimg::MakefsDisk m = testimg::makefs_sun_disk(dir.file("src"), small);
    auto rows = oracle::parse_mmls(oracle::mmls(small).out);
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(run({"-s", small}).r.out, "sector 0: label, sound\n" + fs_line(0, m.part_sectors, 8192, 1024, 1, true));

    patch(bad, 0, std::string(512, '\0'));
    const std::string both = fs_line(disk.start[0], disk.fs_sectors, 4096, 512, 3, true) +
                             fs_line(disk.start[1], disk.fs_sectors, 4096, 512, 3, true);
    Session s = run({"-s", bad});
    EXPECT_EQ(s.r.out, "sector 0: label, Bad magic number\n" + both);
    EXPECT_EQ(s.r.status, 0);
    for (int i = 0; i < 2; i++) {
        Session want = run({i == 0 ? "-p0" : "-p4", sound}, true);
        Session got = run({"-o", std::to_string(disk.start[i]), bad}, true);
        EXPECT_EQ(got.r.err, want.r.err) << i;
        EXPECT_EQ(got.tree, want.tree) << i;
    }
    patch(bad, disk.start[1] * 512 + 8192, std::string(8192, '\0'));
    EXPECT_EQ(run({"-s", bad}).r.out, "sector 0: label, Bad magic number\n" +
                                          fs_line(disk.start[0], disk.fs_sectors, 4096, 512, 3, true) +
                                          fs_line(disk.start[1], disk.fs_sectors, 4096, 512, 3, false));
    runner::write_file(dir.file("zeros.img"), std::string(1 << 20, '\0'));
    Session none = run({"-s", dir.file("zeros.img")});
    EXPECT_EQ(none.r.out, "sector 0: label, Bad magic number\n");
    EXPECT_EQ(none.r.status, 1);
    EXPECT_EQ(run({"-o", "1", "-p", "0", bad}).r.status, 2);
    EXPECT_EQ(run({"-o", "999999999", bad}).r.err, "mount fs: Seek error\n");
    EXPECT_EQ(run({"-o", "100", bad}).r.err, "mount fs: Bad magic number\n" COPIES_HINT);

    // Partition 0 without its primary and its group 0 copy: its start and
    // the start one group later each explain the two copies left; the
    // lower one is taken.
    const std::vector<uint64_t> copies = copy_places(sound, disk.start[0]);
    ASSERT_EQ(copies.size(), 3u);
    patch(bad, disk.start[0] * 512 + 8192, std::string(8192, '\0'));
    patch(bad, copies[0], std::string(8192, '\0'));
    EXPECT_EQ(run({"-s", bad}).r.out, "sector 0: label, Bad magic number\n" +
                                          fs_line(disk.start[0], disk.fs_sectors, 4096, 512, 2, false) +
                                          fs_line(disk.start[1], disk.fs_sectors, 4096, 512, 3, false));

    // One stray copy alone, of a late group: no file system.
    const std::string lone = dir.file("lone.img");
    runner::write_file(lone, "");
    std::filesystem::resize_file(lone, std::filesystem::file_size(sound));
    const uint64_t stray = copy_places(sound, disk.start[1]).back();
    patch(lone, stray, testimg::peek(sound, stray, 8192));
    Session alone = run({"-s", lone});
    EXPECT_EQ(alone.r.out, "sector 0: label, Bad magic number\n");
    EXPECT_EQ(alone.r.status, 1);
}

struct LogCase {
    const char* name;
    std::string clean;    // byte 209
    std::string rolled;   // bytes 4..7
    const char* err;
};

TEST_F(Rescue, UnrolledLogIsReported)
{
    const LogCase cases[] = {
        {"log not rolled", "\xFD", std::string("\0\0\0\x02", 4),
         "\tfile system log not rolled: the newest changes may be missing\n"},
        {"log rolled", "\xFD", std::string("\0\0\0\x01", 4), ""},
        {"no log", "\x01", std::string("\0\0\0\x02", 4), ""},
    };
    for (const auto& c : cases) {
        uint64_t sb = disk.start[0] * 512 + 8192;
        patch(bad, sb + 209, c.clean);
        patch(bad, sb + 4, c.rolled);
        EXPECT_EQ(run({"-p0", bad}).r.err, c.err) << c.name;
    }
}

}  // namespace
