// The way back in, on disks made by makefs and sfdisk and held against
// what The Sleuth Kit reads from the undamaged disk: backup labels, -b,
// the scan (-s) with -o, and the log that is not rolled.
#include "support/fingerprint.h"
#include "support/images.h"
#include "support/oracle.h"
#include "support/rescue.h"
#include "support/runner.h"

#include <gtest/gtest.h>

#include <filesystem>
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

// Every entry that fls lists in the partition at `offset` is in `host` with
// icat's bytes, and nothing else is.
void expect_tsk_tree(const std::string& image, uint64_t offset, const std::string& host)
{
    size_t entries = 0;
    for (const auto& row : oracle::parse_fls(oracle::fls(image, offset, {"-r", "-p"}, "ufs1").out)) {
        if (row.type == "V/V" || row.deleted)
            continue;
        entries++;
        std::string path = host + "/" + row.name;
        if (row.type == "d/d")
            EXPECT_TRUE(std::filesystem::is_directory(path)) << row.name;
        else
            EXPECT_EQ(runner::read_file(path), oracle::icat(image, offset, row.ino, "ufs1").out) << row.name;
    }
    size_t found = 0;
    for (auto it = std::filesystem::recursive_directory_iterator(host); it != decltype(it)(); ++it)
        found++;
    EXPECT_EQ(found, entries);
}

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
}

std::string fs_line(uint64_t start, uint64_t sectors, int bsize, int fsize, int copies, bool primary)
{
    return "sector " + std::to_string(start) + ": file system, " + std::to_string(sectors) + " sectors, block " +
           std::to_string(bsize) + ", fragment " + std::to_string(fsize) + ", " + std::to_string(copies) +
           " copies, open with -o " + std::to_string(start) + (primary ? "" : " -b") + ", last mounted on \n";
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
