// Images inside containers read exactly as the raw image they were made
// from: every command gives the same bytes, but for the one line that
// names the container.  The containers are written by their own tools.
#include "support/containers.h"
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

struct Command {
    const char* name;
    std::vector<std::string> args;   // before the image; -m MAP comes first
    bool copies;                     // compare the tree written to out/
};

// Partition 4's primary superblock is unreadable by the map: the mounts
// take a copy (-b), and the scan says so.
const Command commands[] = {
    {"summary", {}, false},
    {"-s", {"-s"}, false},
    {"-d", {"-d", "-b", "-p4"}, false},
    {"ls -l", {"-b", "-p4", "-c", "ls -l /"}, false},
    {"cp -rp /", {"-b", "-p4", "-c", "cp -rp / out"}, true},
    {"tar -cf -", {"-b", "-p4", "-c", "tar -c -f - /"}, false},
    {"body -5", {"-b", "-p4", "-c", "body -5 - /"}, false},
    {"lost", {"-b", "-p4", "-c", "lost"}, false},
};

struct Outcome {
    runner::Result r;
    uint64_t tree = 0;
};

class Containers : public ::testing::TestWithParam<testimg::ContainerFormat> {
protected:
    // The raw disks and the map, made once for every format.
    static void prepare()
    {
        if (dir != nullptr)
            return;
        dir = new testimg::TempDir;
        testimg::make_host_tree(dir->file("src"), {{"etc/motd", "hello\n"},
                                                   {"a/b/c.txt", std::string(20000, 'c')},
                                                   {"big", std::string(1500000, 'b') + "end"},
                                                   {"empty/", ""}});
        std::filesystem::create_directories(dir->file("sound"));
        std::filesystem::create_directories(dir->file("label"));
        auto disk = testimg::two_fs_disk(dir->file("src"), dir->file("sound/disk.img"));
        testimg::write_backup_labels(disk.path);
        disks[0] = disk.path;
        disks[1] = dir->file("label/disk.img");
        oracle::run_tool({"cp", "--sparse=always", disks[0], disks[1]});
        testimg::patch(disks[1], 0, std::string(512, '\0'));
        uint64_t bytes = std::filesystem::file_size(disk.path);
        uint64_t sb = disk.start[1] * 512 + 8192;
        map = dir->file("disk.map");
        runner::write_file(map, "# rescued\n0 +\n0 " + std::to_string(sb) + " +\n" + std::to_string(sb) + " 512 -\n" +
                                    std::to_string(sb + 512) + " " + std::to_string(bytes - sb - 512) + " +\n");
    }
    static void TearDownTestSuite()
    {
        delete dir;
        dir = nullptr;
    }

    static Outcome run(const Command& c, const std::string& image)
    {
        std::string host = dir->file("host" + std::to_string(runs++));
        std::filesystem::create_directories(host);
        runner::Options o;
        o.args = {"-m", map};
        o.args.insert(o.args.end(), c.args.begin(), c.args.end());
        o.args.push_back(image);
        o.cwd = host;
        o.env = {"TZ=UTC"};
        Outcome got{runner::run_sunufs(o), 0};
        if (c.copies)
            got.tree = testimg::hash_tree(host + "/out");
        testimg::remove_tree(host);
        return got;
    }

    static inline testimg::TempDir* dir = nullptr;
    static inline std::string disks[2];
    static inline std::string map;
    static inline int runs = 0;
};

// Drops the container line, and names the raw image where the container
// is named.
std::string as_raw(std::string text, const std::string& container, const std::string& raw, int* lines)
{
    for (size_t at; (at = text.find("container: ")) != std::string::npos;) {
        size_t end = text.find('\n', at);
        text.erase(at, end == std::string::npos ? std::string::npos : end + 1 - at);
        ++*lines;
    }
    for (size_t at; (at = text.find(container)) != std::string::npos;)
        text.replace(at, container.size(), raw);
    return text;
}

TEST_P(Containers, ReadAsTheRawImage)
{
    REQUIRE_TOOL("makefs");
    REQUIRE_TOOL("sfdisk");
    const testimg::ContainerFormat& f = GetParam();
    REQUIRE_TOOL(f.tool);
    prepare();
    for (int d = 0; d < 2; d++) {
        std::string image = testimg::make_container(disks[d], f, dir->file("c" + std::to_string(runs++)));
        std::string line = "container: " + std::string(f.name) + ", " +
                           std::to_string(std::filesystem::file_size(disks[d])) + " bytes\n";
        for (const Command& c : commands) {
            SCOPED_TRACE(std::string(c.name) + (d ? " (damaged label)" : ""));
            Outcome want = run(c, disks[d]);
            Outcome got = run(c, image);
            int named = 0;
            EXPECT_EQ(as_raw(got.r.out, image, disks[d], &named), want.r.out);
            EXPECT_EQ(as_raw(got.r.err, image, disks[d], &named), want.r.err);
            EXPECT_EQ(got.r.status, want.r.status);
            EXPECT_EQ(got.tree, want.tree);
            bool names = !c.args.empty() && (c.args[0] == "-s" || c.args[0] == "-d");
            EXPECT_EQ(named, names ? 1 : 0);
            if (names) {
                EXPECT_NE((got.r.out + got.r.err).find(line), std::string::npos) << got.r.out << got.r.err;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, Containers, ::testing::ValuesIn(testimg::container_formats()),
                         [](const auto& info) { return "f" + std::to_string(info.index) + "_" + info.param.name; });

}  // namespace
