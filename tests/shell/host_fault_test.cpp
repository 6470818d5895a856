// Host faults during `cp -r`, through the sunufs binary: a target that
// fills up, a read-only target, a file-size limit below a file's size, and
// target names already taken by a file, a symbolic link to outside and a
// dangling symbolic link.  In every case each file that did not come out
// whole is named, the session goes on to its next command, the exit status
// is 1, and nothing beside the target changes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <sys/mount.h>
#include <unistd.h>
#include <vector>

#include "support/copy_check.h"
#include "support/fingerprint.h"
#include "support/images.h"
#include "support/runner.h"

namespace {

constexpr size_t kBig = 40000;

// The image's regular files and their contents.
const std::vector<std::pair<std::string, std::string>>& image_files()
{
    static const std::vector<std::pair<std::string, std::string>> files = {
        {"/a.txt", "a\n"},
        {"/b.txt", "b\n"},
        {"/big1", sunimg::text_lines(kBig, "one")},
        {"/big2", sunimg::text_lines(kBig, "two")},
        {"/docs/small.txt", "small\n"},
    };
    return files;
}

sunimg::DiskImage host_fault_image()
{
    sunimg::Ufs fs;
    for (const auto& [path, text] : image_files())
        fs.file(path, text);
    return sunimg::make_disk(fs);
}

// box/ holds the target and what lies beside it: a file the target's links
// point at, and the place a dangling link names.
struct Box {
    testimg::TempDir tmp;
    std::string box = tmp.file("box");
    std::string target = box + "/target";
    std::string outside = box + "/outside.txt";
    bool mounted = false;
    ~Box()
    {
        if (mounted)
            umount2(target.c_str(), MNT_DETACH);
    }
};

// Mounts a small tmpfs on the target; false when this process may not.
bool mount_tmpfs(Box& b, unsigned long flags)
{
    b.mounted = geteuid() == 0 && mount("tmpfs", b.target.c_str(), "tmpfs", flags, "size=64k") == 0;
    return b.mounted;
}

struct HostCase {
    const char* name;
    // Makes the fault; returns the copy command line, or "" to skip.
    std::function<std::string(Box&)> prepare;
    std::vector<std::string> lost;   // image files that cannot come out whole
    const char* cause;               // the host's reason, as perror gives it
    int fsize_blocks = 0;            // ulimit -f for the session; 0: none
};

const HostCase kCases[] = {
    {"target fills up",
     [](Box& b) -> std::string {
         if (mount_tmpfs(b, 0))
             return "cp -r / " + b.target;
         return "cp /big1 /dev/full";   // without the right to mount
     },
     {"/big2"}, "No space left on device"},
    {"read-only target",
     [](Box& b) -> std::string {
         if (!mount_tmpfs(b, MS_RDONLY)) {
             if (geteuid() == 0)
                 return "";   // root writes through permission bits
             std::filesystem::permissions(b.target, std::filesystem::perms(0555));
         }
         return "cp -r / " + b.target;
     },
     {"/a.txt", "/b.txt", "/big1", "/big2", "/docs/small.txt"}, nullptr},
    {"file-size limit below a file's size",
     [](Box& b) { return "cp -r / " + b.target; },
     {"/big1", "/big2"}, "File too large", 16},
    {"names taken by a file, a link to outside, a dangling link",
     [](Box& b) {
         runner::write_file(b.target + "/docs", "a file where the copy wants a directory\n");
         std::filesystem::create_symlink("../outside.txt", b.target + "/a.txt");
         std::filesystem::create_symlink("../nowhere", b.target + "/b.txt");
         return "cp -r / " + b.target;
     },
     {"/a.txt", "/b.txt", "/docs/small.txt"}, nullptr},
};

void PrintTo(const HostCase& c, std::ostream* os)
{
    *os << c.name;
}

class HostFaults : public ::testing::TestWithParam<HostCase> {};

TEST_P(HostFaults, EachLossNamedSessionGoesOnNothingBesideChanges)
{
    const HostCase& c = GetParam();
    testimg::TempDir images;
    std::string image = testimg::write_disk(images, host_fault_image());
    Box b;
    std::filesystem::create_directories(b.target);
    runner::write_file(b.outside, "outside, never to be written\n");
    std::string command = c.prepare(b);
    if (command.empty()) {
        GTEST_SKIP() << "cannot make a read-only target here";
    }
    uint64_t beside = testimg::hash_tree(b.box, "target");

    runner::Options o;
    o.args = {"-p", "0", image};
    o.input = command + "\ncd /docs\npwd\n";
    runner::Result r;
    if (c.fsize_blocks == 0) {
        r = runner::run_sunufs(o);
    } else {
        o.args.insert(o.args.begin(), {"-c", "ulimit -f " + std::to_string(c.fsize_blocks) + "; exec \"$0\" \"$@\"",
                                       SUNUFS_BIN});
        testimg::FileHashes before = testimg::hash_files({image});
        r = runner::run("/bin/sh", o);
        testimg::expect_unchanged(before);
    }

    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(r.err.size() >= 6 && r.err.compare(r.err.size() - 6, 6, "/docs\n") == 0)
        << "the session did not go on:\n" << r.err;
    if (c.cause != nullptr) {
        EXPECT_NE(r.err.find(c.cause), std::string::npos) << r.err;
    }
    // Copied to /dev/full, only /big1 was asked for, and nothing stays.
    bool to_full = command.find("/dev/full") != std::string::npos;
    auto whole = [&](const std::string& path, const std::string& text) {
        std::string host = b.target + path;
        return !to_full && !std::filesystem::is_symlink(host) && runner::read_file(host) == text;
    };
    for (const auto& [path, text] : image_files()) {
        if ((!to_full || path == "/big1") && !whole(path, text)) {
            EXPECT_TRUE(testimg::reported_lost(r.err, path)) << path << " not whole and not named:\n" << r.err;
        }
    }
    for (const auto& [path, text] : image_files()) {
        bool listed = std::find(c.lost.begin(), c.lost.end(), path) != c.lost.end();
        if (listed && !to_full) {
            EXPECT_FALSE(whole(path, text)) << path << ": the fault did not take effect";
        }
    }
    EXPECT_EQ(testimg::hash_tree(b.box, "target"), beside) << "something beside the target changed";
    EXPECT_EQ(runner::read_file(b.outside), "outside, never to be written\n");
    EXPECT_FALSE(runner::path_exists(b.box + "/nowhere"));
}

INSTANTIATE_TEST_SUITE_P(Cases, HostFaults, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<HostCase>& info) {
                             std::string name;
                             for (const char* p = info.param.name; *p != '\0'; p++)
                                 name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return name;
                         });

}  // namespace
