// cp at the edges the host and the person running it set, through the
// sunufs binary: the longest name a record holds and link texts at the
// host's limit, and what -p keeps as root, as an ordinary user, and when
// an owner cannot be given.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "support/runner.h"
#include "support/session.h"
#include "tools/sunimg.h"

namespace {

constexpr int kNobody = 65534;

class CopyLimits : public testimg::SessionTest {
protected:
    struct stat lstat_of(const std::string& path)
    {
        struct stat st {};
        EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
        return st;
    }
};

// Names of 255 bytes, for a file and a directory; link texts of 4095 bytes
// (the most a host link holds) and of 4096 (refused, and no link made).
TEST_F(CopyLimits, LongestNamesAndLinkTexts)
{
    const std::string file(255, 'f'), dir(255, 'd');
    const std::string text4095(4095, 't'), text4096(4096, 'u');
    sunimg::Ufs fs;
    fs.file("/names/" + file, "long name\n");
    fs.file("/names/" + dir + "/inside", "inside\n");
    fs.symlink("/links/l4095", text4095);
    fs.symlink("/links/l4096", text4096);
    sunimg::make_disk(fs).write(disk);

    runner::Result r = run({"-p", "0", disk}, "cp -r /names .\ncp -r /links .\n");
    EXPECT_EQ(runner::read_file(host + "/names/" + file), "long name\n") << r.err;
    EXPECT_EQ(runner::read_file(host + "/names/" + dir + "/inside"), "inside\n") << r.err;
    std::error_code ec;
    EXPECT_EQ(std::filesystem::read_symlink(host + "/links/l4095", ec).string(), text4095) << r.err;
    EXPECT_FALSE(runner::path_exists(host + "/links/l4096"));
    EXPECT_NE(r.err.find("copied 2 files (17 bytes), 2 directories, 0 links; 0 not copied; 0 failed\n"),
              std::string::npos) << r.err;
    EXPECT_TRUE(std::regex_search(r.err, std::regex("1 directories, 1 links; (1 not copied; 0|0 not copied; 1) failed\n")))
        << r.err;
}

// Image entries for -p: set-id files, a sticky directory, a plain file.
struct PermEntry {
    const char* name;
    uint16_t perm;
    bool dir;
    unsigned as_user;   // the mode an ordinary user's copy gets
};
const PermEntry kPermEntries[] = {
    {"setuid", 04755, false, 0755},
    {"setgid", 02750, false, 0750},
    {"sticky", 01777, true, 01777},   // asks nothing of the owner
    {"plain", 0640, false, 0640},
};

void write_perm_image(const std::string& path)
{
    sunimg::Ufs fs;
    uint32_t s = fs.dir("/s", {.perm = 0755, .uid = 100, .gid = 10});
    for (const PermEntry& e : kPermEntries) {
        sunimg::Meta m{.perm = e.perm, .uid = 100, .gid = 10};
        if (e.dir)
            fs.mkdir(s, e.name, m);
        else
            fs.add_file(s, e.name, "x\n", m);
    }
    sunimg::make_disk(fs).write(path);
}

// As root, -p keeps the owner and every mode bit; as an ordinary user the
// files become the user's and lose set-user-ID and set-group-ID, which
// mean nothing without their owner.  A directory's sticky bit needs no
// owner: the user keeps it.
TEST_F(CopyLimits, PermKeepsSetIdBitsOnlyWithTheOwner)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to copy both as root and as another user";
    // The other user runs its own copy of the program from the scratch
    // folder: the checkout may lie where only root can enter.
    for (auto up = std::filesystem::path(tmp).parent_path(); up != up.parent_path(); up = up.parent_path()) {
        struct stat st {};
        if (::stat(up.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0)
            GTEST_SKIP() << "another user cannot enter " << up << ", which holds the scratch folder";
    }
    const std::string program = tmp + "/sunufs";
    std::filesystem::copy_file(SUNUFS_BIN, program);
    write_perm_image(disk);
    ASSERT_EQ(chmod(tmp.c_str(), 0755), 0);
    std::filesystem::create_directory(host + "/user");
    ASSERT_EQ(chown((host + "/user").c_str(), kNobody, kNobody), 0);

    struct Who {
        const char* what;
        int uid;
        std::string into;
    } const whos[] = {{"root", -1, host + "/root"}, {"ordinary user", kNobody, host + "/user"}};
    std::filesystem::create_directory(host + "/root");
    for (const Who& w : whos) {
        SCOPED_TRACE(w.what);
        runner::Options o;
        o.args = {"-p", "0", disk};
        o.input = "cp -rp /s " + w.into + "\n";
        o.env = env;
        o.cwd = host;
        o.as_uid = w.uid;
        runner::Result r = runner::run(program, o);
        EXPECT_EQ(r.status, 0) << r.err;
        for (const PermEntry& e : kPermEntries) {
            SCOPED_TRACE(e.name);
            struct stat st = lstat_of(w.into + "/s/" + e.name);
            if (w.uid < 0) {
                EXPECT_EQ(st.st_mode & 07777, e.perm);
                EXPECT_EQ(st.st_uid, 100u);
                EXPECT_EQ(st.st_gid, 10u);
            } else {
                EXPECT_EQ(st.st_mode & 07777, e.as_user);
                EXPECT_EQ(st.st_uid, unsigned(kNobody));
                EXPECT_EQ(st.st_gid, unsigned(kNobody));
            }
        }
    }
}

// Root of a user namespace where the image's owners do not exist: giving
// a file its owner fails, is reported, and fails the command and so the
// session; the data still comes out whole.
TEST_F(CopyLimits, PermOwnerThatCannotBeGivenFailsTheSession)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to run as root of a user namespace";
    write_perm_image(disk);
    runner::Options o;
    o.args = {"-p", "0", disk};
    o.input = "cp -rp /s .\n";
    o.env = env;
    o.cwd = host;
    o.root_only_namespace = true;
    runner::Result r = runner::run_sunufs(o);
    if (r.status == 124)
        GTEST_SKIP() << "no user namespaces here";
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("copy_perm: Invalid argument\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("copied 3 files (6 bytes), 2 directories, 0 links; 0 not copied; 0 failed\n"),
              std::string::npos) << r.err;
    EXPECT_EQ(runner::read_file(host + "/s/plain"), "x\n");
}

}  // namespace
