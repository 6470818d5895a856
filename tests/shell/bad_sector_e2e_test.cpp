// What one unreadable sector costs, row by row of where it lies: `cp -rp /`
// keeps every file it does not touch byte for byte and names the others
// with exactly their lost ranges, and `bad` names the same.  The places and
// the expected ranges come from The Sleuth Kit's block lists.
#include "support/images.h"
#include "support/oracle.h"
#include "support/runner.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr uint64_t FS_BYTES = 4u << 20;
constexpr int FSIZE = 1024;

// The fragments istat lists after `heading` ("Direct Blocks:" lists every
// data fragment, those mapped through indirect blocks too).
std::vector<uint64_t> frags(const std::string& istat, const std::string& heading)
{
    std::vector<uint64_t> out;
    size_t at = istat.find(heading);
    if (at == std::string::npos)
        return out;
    std::istringstream in(istat.substr(at + heading.size()));
    for (uint64_t f; in >> f;)
        out.push_back(f);
    return out;
}

uint32_t inode_of(const std::string& image, const std::string& path)
{
    oracle::Result r = oracle::run_tool({"ifind", "-n", path, image});
    return static_cast<uint32_t>(std::stoul(r.out));
}

// A map whose only unreadable area is sector `s`.
std::string one_sector_map(uint64_t s)
{
    char text[256];
    snprintf(text, sizeof text, "0x0 +\n0x0 0x%llx +\n0x%llx 0x200 -\n0x%llx 0x%llx +\n",
             static_cast<unsigned long long>(s * 512), static_cast<unsigned long long>(s * 512),
             static_cast<unsigned long long>(s * 512 + 512),
             static_cast<unsigned long long>(FS_BYTES - s * 512 - 512));
    return text;
}

struct Row {
    const char* name;
    std::string where;          // what the bad sector holds
    std::vector<std::string> open;  // options besides -m and -o 0
    std::string mount_err;      // a line the failed mount (without -b) prints
    std::string lost;           // file and range `cp` and `bad` name, or ""
    std::string bad_line;       // another line `bad` prints, or ""
};

class BadSector : public ::testing::Test {
protected:
    testimg::TempDir dir;
    std::string image;
    std::map<std::string, std::string> files;

    void SetUp() override
    {
        REQUIRE_TOOL("makefs");
        REQUIRE_TOOL("istat");
        std::string mid(6000, '\0'), big(8192 * 200, '\0');
        for (size_t i = 0; i < mid.size(); i++)
            mid[i] = static_cast<char>(i * 7 % 251 + 1);
        for (size_t i = 0; i < big.size(); i++)
            big[i] = static_cast<char>(i * 13 % 241 + 1);
        files = {{"mid.bin", mid}, {"big/ind.bin", big}, {"etc/motd", "hello\n"}};
        for (int i = 0; i < 60; i++)
            files["d/name" + std::to_string(100 + i) + "_padding"] = "x" + std::to_string(i) + "\n";
        testimg::make_host_tree(dir.file("src"), files);
        image = dir.file("fs.img");
        oracle::Result r = oracle::run_tool({"makefs", "-t", "ffs", "-B", "be", "-o",
                                             "version=1,bsize=8192,fsize=1024", "-s", "4m", image,
                                             dir.file("src")});
        ASSERT_TRUE(r.ok()) << r.err;
    }

    std::string istat(const std::string& path)
    {
        return oracle::run_tool({"istat", image, std::to_string(inode_of(image, path))}).out;
    }

    // The sector each row damages, from TSK's lists.
    uint64_t sector_of(const std::string& where)
    {
        if (where == "data")   // the fifth sector of mid.bin: bytes 2048-2560
            return frags(istat("mid.bin"), "Direct Blocks:")[2] * 2;
        if (where == "indirect")
            return frags(istat("big/ind.bin"), "Indirect Blocks:")[0] * 2;
        if (where == "directory")   // d's second 512-byte chunk
            return frags(istat("d"), "Direct Blocks:")[0] * 2 + 1;
        if (where == "inodes") {   // inodes 8-11: the third sector of the table
            std::string s = oracle::run_tool({"fsstat", image}).out;
            return std::stoull(s.substr(s.find("Inode Table: ") + 13)) * 2 + 2;
        }
        return SBOFF_SECTOR + 2;   // the primary superblock
    }
    static constexpr uint64_t SBOFF_SECTOR = 16;

    runner::Result run(const std::vector<std::string>& opts, const std::string& command)
    {
        runner::Options o;
        o.args = {"-m", dir.file("one.map"), "-o", "0"};
        o.args.insert(o.args.end(), opts.begin(), opts.end());
        o.args.insert(o.args.end(), {"-c", command, image});
        return runner::run_sunufs(o);
    }
};

TEST_F(BadSector, CostsOnlyWhatLiesInIt)
{
    const Row rows[] = {
        {"a data sector mid-file", "data", {}, "", "/mid.bin: lost 2048-2560", ""},
        {"first sector of an indirect block", "indirect", {}, "", "/big/ind.bin: lost 98304-1146880", ""},
        {"a directory's second chunk", "directory", {}, "", "", "/d: directory bytes 512-1024 unreadable"},
        {"an inode sector", "inodes", {}, "", "", "inodes 8-11 unreadable"},
        {"the primary superblock", "super", {"-b"}, "\ta superblock copy at sector 32 is sound: add -b\n", "",
         "superblock unreadable"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        testimg::write_text(dir.file("one.map"), one_sector_map(sector_of(row.where)));
        if (!row.mount_err.empty()) {
            runner::Result m = run({}, "ls");
            EXPECT_NE(m.err.find(row.mount_err), std::string::npos) << m.err;
        }
        std::string out = dir.file(std::string("out-") + row.where);
        std::filesystem::create_directories(out);
        runner::Result cp = run(row.open, "cp -rp / " + out);
        runner::Result bad = run(row.open, "bad");
        EXPECT_EQ(bad.status, 1);
        if (!row.lost.empty()) {
            std::string file = row.lost.substr(0, row.lost.find(':'));
            std::string range = row.lost.substr(row.lost.find("lost ") + 5);
            EXPECT_NE(cp.err.find(file + ": incomplete, "), std::string::npos) << cp.err;
            EXPECT_NE(cp.err.find("; lost " + range + "\n"), std::string::npos) << cp.err;
            EXPECT_NE(bad.out.find(row.lost + "\n"), std::string::npos) << bad.out;
        }
        if (!row.bad_line.empty()) {
            EXPECT_NE(bad.out.find(row.bad_line + "\n"), std::string::npos) << bad.out;
        }
        // Every file the sector does not touch comes out whole.
        size_t names_lost = 0;
        for (const auto& [path, data] : files) {
            std::string host = out + "/" + path;
            bool touched = !row.lost.empty() && "/" + path == row.lost.substr(0, row.lost.find(':'));
            if (!std::filesystem::exists(host)) {
                names_lost++;
                continue;
            }
            if (!touched) {
                EXPECT_EQ(testimg::read_text(host), data) << path;
            }
        }
        if (row.where == "directory") {
            // Only the names of the one chunk are gone; `lost` finds them.
            EXPECT_GT(names_lost, 0u);
            EXPECT_LT(names_lost, 30u);
            runner::Result lost = run({}, "lost");
            EXPECT_NE((lost.out + lost.err).find(std::to_string(names_lost) + " lost: " + std::to_string(names_lost) + " files"),
                      std::string::npos) << names_lost << lost.err;
        } else if (row.where == "inodes") {
            EXPECT_EQ(names_lost, 4u);   // the four inodes of the sector alone
        } else {
            EXPECT_EQ(names_lost, 0u);
        }
    }
}

}  // namespace
