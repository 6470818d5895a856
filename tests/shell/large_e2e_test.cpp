// End-to-end runs of build/sunufs on what real Sun disks hold beyond the
// small images: files of more than 31 bits through the double and triple
// indirect ranges, a directory whose size is damage, the short directory
// with an oversized ".." record, and a file system without a label.
#include "support/images.h"
#include "support/oracle.h"
#include "support/runner.h"
#include "support/session.h"
#include "tools/sunimg.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <sys/resource.h>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

class Large : public testimg::SessionTest {
protected:
    void SetUp() override
    {
        SessionTest::SetUp();
        timeout_seconds = 300;
    }
};

// First offset at which `path` differs from `size` bytes that are zero but
// for `extents`; -1 when it holds exactly those bytes.
long long first_difference(const std::string& path, uint64_t size, const std::vector<sunimg::Extent>& extents)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return 0;
    std::vector<uint8_t> buf(1 << 20);
    uint64_t at = 0;
    long long bad = -1;
    size_t n;
    while (bad < 0 && (n = std::fread(buf.data(), 1, buf.size(), f)) > 0) {
        for (const auto& e : extents)   // clear the expected bytes, then all must be zero
            for (uint64_t i = 0; i < e.data.size(); i++)
                if (e.offset + i >= at && e.offset + i < at + n) {
                    uint8_t& b = buf[size_t(e.offset + i - at)];
                    b = b == e.data[i] ? 0 : 1;
                }
        for (size_t i = 0; i < n && bad < 0; i++)
            if (buf[i] != 0)
                bad = (long long)(at + i);
        at += n;
    }
    std::fclose(f);
    return bad >= 0 ? bad : at == size ? -1 : (long long)at;
}

// Sparse files of more than 31 bits: with 8192-byte blocks through the
// double indirect range, with 4096-byte blocks into the triple one (which
// starts at block 12 + 1024 + 1024^2), data at their far ends.
TEST_F(Large, FilesPast31BitsReadToTheirLastByte)
{
    struct Case {
        int32_t bsize;
        uint64_t size;
        uint64_t triple_at;   // first byte of the triple range, or 0
    } const cases[] = {
        {8192, (uint64_t(1) << 31) + 12345, 0},
        {4096, uint64_t(12 + 1024 + 1024 * 1024 + 9) * 4096 + 777, uint64_t(12 + 1024 + 1024 * 1024) * 4096},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bsize);
        sunimg::Ufs t({.bsize = c.bsize, .fsize = 1024});
        std::vector<sunimg::Extent> ext = {
            {0, sunimg::pattern(5000, 1)},
            {uint64_t(12 + c.bsize / 4 + 3) * uint64_t(c.bsize) + 100, sunimg::pattern(20000, 2)},
            {c.size - 3000, sunimg::pattern(3000, 3)},
        };
        if (c.triple_at)
            ext.push_back({c.triple_at - 10, sunimg::pattern(c.bsize * 2, 4)});
        t.add_sparse(t.root(), "big", c.size, ext);
        sunimg::make_disk(t).write(disk);
        // The pager sees the bytes of the first file; the second is only copied.
        const bool page = c.triple_at == 0;
        auto r = run({"-p", "0", disk}, page ? "ls -l\ncp big big.out\nmore big\n" : "ls -l\ncp big big.out\n");
        EXPECT_NE(r.err.find(" " + std::to_string(c.size) + " "), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("error"), std::string::npos) << r.err;
        EXPECT_EQ(first_difference(host + "/big.out", c.size, ext), -1);
        fs::remove(host + "/big.out");
        if (page) {
            EXPECT_EQ(first_difference(tmp + "/pager.out", c.size, ext), -1);
            fs::remove(tmp + "/pager.out");
        }
    }
}

// A directory claiming 3 GB is damage; a 24-byte directory whose ".."
// record says 500 bytes is how real disks hold an empty directory.
TEST_F(Large, DirectoriesAsRealDisksHoldThem)
{
    sunimg::Ufs t;
    uint32_t huge = t.dir("/huge");
    uint32_t empty = t.dir("/empty");
    t.file("/empty2/inside", "x\n");
    sunimg::DiskImage img = sunimg::make_disk(t);
    img.image.put32be(img.inode_offset(0, huge) + sunimg::ino_off::size_hi, 0);
    img.image.put32be(img.inode_offset(0, huge) + sunimg::ino_off::size, 3000000000u);
    img.image.put32be(img.inode_offset(0, empty) + sunimg::ino_off::size, 24);
    ASSERT_EQ(img.image.get16be(img.dirent_offset(0, empty, "..") + sunimg::dir_off::reclen), 500);
    img.write(disk);
    char listing[128];
    std::snprintf(listing, sizeof listing, "%10u %24s\n%10u %24s\n", empty, ".", 2u, "..");
    struct Case {
        std::string input;
        std::string out;   // standard output, prompts left out
        std::string err;
    } const cases[] = {
        {"cd /empty\nls\n", listing, ""},
        {"cd /empty\ncd ..\npwd\nls\n", "", "/\n"},
        {"cp -r /empty .\n", "", "copied 0 files (0 bytes), 1 directory, 0 links; 0 not copied; 0 failed\n"},
        {"cd /huge\nls\n", "", "ls .\nopendir: File too large\n"},   // not even "." is looked up
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        auto r = run({"-p", "0", disk}, c.input);
        std::string out = r.out;
        for (size_t p; (p = out.find(disk + "(0) # ")) != std::string::npos;)
            out.erase(p, disk.size() + 6);
        if (c.input.starts_with("cd /empty\ncd"))
            EXPECT_NE(out.find("huge"), std::string::npos) << out;   // the root, listed through ".."
        else
            EXPECT_EQ(out, c.out);
        EXPECT_EQ(r.err, c.err);
    }
    EXPECT_TRUE(fs::is_directory(host + "/empty"));
}

// A slice copied out on its own: no label, the file system from byte 0.
TEST_F(Large, BareSliceIsOnePartition)
{
    REQUIRE_TOOL("makefs");
    REQUIRE_TOOL("fls");
    REQUIRE_TOOL("icat");
    testimg::make_host_tree(tmp + "/src", {{"a.txt", "alpha\n"}, {"d/b.txt", std::string(100000, 'b')}});
    auto mk = oracle::run_tool({"makefs", "-t", "ffs", "-B", "be", "-o", "version=1", "-s", "4m", disk, tmp + "/src"});
    ASSERT_TRUE(mk.ok()) << mk.err;
    const long long mb = (long long)(fs::file_size(disk) / (1024 * 1024));
    const std::string mbs = std::to_string(mb);
    struct Case {
        std::vector<std::string> args;
        std::string input;
        std::string err;   // exact, or a prefix ending in "*"
    } const cases[] = {
        {{disk}, "", "\tno Sun label: one UFS file system\n\t" + mbs + " Mb\n\t0\t" + mbs + " Mb\n"},
        {{"-p", "0", disk}, "cd d\npwd\n", "/d\n"},
        {{"-p", "a", disk}, "more a.txt\n", ""},
        {{"-p", "3", disk}, "", "mount fs: Empty partition\n"},
        {{"-p", "1", disk}, "", "mount fs: Empty partition\n"},
        {{"-d", "-p", "0", disk}, "", "0\tlinked list of file systems\n*"},
        {{"-p", "0", disk}, "cp -r / out\n",
         "copied 2 files (100006 bytes), 2 directories, 0 links; 0 not copied; 0 failed\n"},
    };
    fs::create_directory(host + "/out");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.input);
        auto r = run(c.args, c.input);
        if (c.err.ends_with("*")) {
            EXPECT_TRUE(r.err.starts_with(c.err.substr(0, c.err.size() - 1))) << r.err;
            EXPECT_EQ(r.err.find("logical partition"), std::string::npos);
        } else {
            EXPECT_EQ(r.err, c.err);
        }
    }
    // The copy holds what The Sleuth Kit reads from the slice at offset 0.
    auto rows = oracle::parse_fls(oracle::fls(disk, 0, {"-r", "-p"}, "ufs1").out);
    int files = 0;
    for (const auto& row : rows) {
        if (row.type != "r/r")
            continue;
        files++;
        std::string ours = runner::read_file(host + "/out/" + row.name);
        EXPECT_EQ(ours, oracle::icat(disk, 0, row.ino, "ufs1").out) << row.name;
    }
    EXPECT_EQ(files, 2);
}

}  // namespace

namespace {

// Deep trees: the walk's memory grows with the depth times the names'
// length, not with their square, and no depth stops it.
struct DeepCase {
    int depth;
    size_t name_len;
    long max_rss_kib;   // peak of the run, 0: not checked
};

TEST_F(Large, DeepTreesCopyWhole)
{
    const DeepCase cases[] = {{1500, 255, 32 * 1024}, {10000, 1, 0}};
    for (const auto& c : cases) {
        sunimg::FsOptions opt;
        opt.fsize = 512;
        sunimg::Ufs t(opt);
        uint32_t dir = t.root();
        for (int i = 0; i < c.depth; i++)
            dir = t.mkdir(dir, std::string(c.name_len, char('a' + i % 26)));
        t.add_file(dir, "leaf", "bottom\n");
        sunimg::make_disk(t).write(disk);
        runner::remove_tree(host + "/out");
        fs::create_directory(host + "/out");
        auto r = run({"-p", "0", disk}, "cp -r / out\n");
        struct rusage ru {};
        getrusage(RUSAGE_CHILDREN, &ru);   // each test runs in a process of its own
        EXPECT_EQ(r.err, "copied 1 file (7 bytes), " + std::to_string(c.depth + 1)
                             + " directories, 0 links; 0 not copied; 0 failed\n") << c.depth;
        EXPECT_EQ(r.status, 0) << c.depth;
        // The sanitizers' own shadow memory would swamp the figure.
#ifndef __SANITIZE_ADDRESS__
        if (c.max_rss_kib != 0) {
            EXPECT_LT(ru.ru_maxrss, c.max_rss_kib) << c.depth;
        }
#endif
    }
}

}  // namespace
