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
#include <functional>
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
            if (d == 0 && std::string(c.name) == "-s") {
                EXPECT_NE(want.r.out.find(" -b\n"), std::string::npos) << "the map hides the primary superblock";
            }
            bool names = !c.args.empty() && (c.args[0] == "-s" || c.args[0] == "-d");
            EXPECT_EQ(named, names ? 1 : 0);
            if (names) {
                EXPECT_NE((got.r.out + got.r.err).find(line), std::string::npos) << got.r.out << got.r.err;
            }
        }
    }
}

// Containers that cannot be read are refused with what is wrong named, and
// a copy never writes over a file the disk is read from.
TEST(ContainerRefusals, SayWhatIsWrong)
{
    REQUIRE_TOOL("qemu-img");
    REQUIRE_TOOL("ewfacquire");
    testimg::TempDir dir;
    sunimg::Ufs tree = testimg::standard_tree();
    std::string noise(2500000, '\0');   // stored whole in E01 segments of 1 MiB: several of them
    for (size_t i = 0; i < noise.size(); i++)
        noise[i] = static_cast<char>((i * 2654435761u) >> 13);
    tree.file("/big", noise);
    sunimg::DiskImage img = sunimg::make_disk(tree);
    std::string raw = testimg::write_disk(dir, img);
    const auto& formats = testimg::container_formats();
    std::string base = dir.file("base.qcow2");
    oracle::run_tool({"qemu-img", "convert", "-O", "qcow2", raw, base});
    oracle::run_tool({"qemu-img", "create", "-f", "qcow2", "-b", "base.qcow2", "-F", "qcow2", dir.file("child.qcow2")});
    std::string e01 = testimg::make_container(raw, formats.back(), dir.file("ewf"));
    std::string split = dir.file("split.vmdk");
    oracle::run_tool({"qemu-img", "convert", "-O", "vmdk", "-o", "subformat=twoGbMaxExtentSparse", raw, split});
    runner::write_file(dir.file("game.chd"), std::string("MComprHD") + std::string(600, '\0'));
    std::string cut = dir.file("cut.qcow2");
    runner::write_file(cut, runner::read_file(base).substr(0, 1024));
    struct Case {
        const char* name;
        std::string image;
        std::vector<std::string> args;
        std::string err;   // "" : opens
        std::function<void()> damage;
    } const cases[] = {
        {"MAME CHD", dir.file("game.chd"), {}, "open disk: {IMG}: a MAME CHD image; extract it first with chdman extracthd\n", {}},
        {"MAME CHD, scanned", dir.file("game.chd"), {"-s"}, "open disk: {IMG}: a MAME CHD image; extract it first with chdman extracthd\n", {}},
        {"backing file read through", dir.file("child.qcow2"), {"-p0", "-c", "ls /etc"}, "", {}},
        {"backing file missing", dir.file("child.qcow2"), {}, "open disk: {IMG}: backing file " + base + " is missing\n",
         [&] { std::filesystem::rename(base, base + ".gone"); }},
        {"extent missing", split, {}, "open disk: {IMG}: extent files missing: " + dir.file("split-s001.vmdk") + "\n",
         [&] { std::filesystem::rename(dir.file("split-s001.vmdk"), dir.file("gone.vmdk")); }},
        {"container cut short", cut, {}, "open disk: {IMG}: a damaged qcow2 image\n", {}},
        {"copy onto a segment", e01, {"-p0", "-c", "cp /etc/motd " + dir.file("ewf/disk.E02")},
         dir.file("ewf/disk.E02") + ": is the disk being read, not written\n/etc/motd: failed\n", {}},
    };
    const std::string segment = runner::read_file(dir.file("ewf/disk.E02"));
    for (const auto& c : cases) {
        if (c.damage)
            c.damage();
        runner::Options o;
        o.args = c.args;
        o.args.push_back(c.image);
        auto r = runner::run_sunufs(o);
        std::string err = c.err;
        for (size_t at; (at = err.find("{IMG}")) != std::string::npos;)
            err.replace(at, 5, c.image);
        if (err.empty()) {
            EXPECT_EQ(r.status, 0) << c.name << r.err;
        } else {
            EXPECT_EQ(r.err, err) << c.name;
            EXPECT_EQ(r.status, 1) << c.name;
        }
    }
    EXPECT_EQ(runner::read_file(dir.file("ewf/disk.E02")), segment);
}

INSTANTIATE_TEST_SUITE_P(Formats, Containers, ::testing::ValuesIn(testimg::container_formats()),
                         [](const auto& info) { return "f" + std::to_string(info.index) + "_" + info.param.name; });

}  // namespace
