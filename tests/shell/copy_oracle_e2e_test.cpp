// cp out of images made by the image builder, held against The Sleuth Kit
// reading the same image: trees at any depth and path length, symbolic
// links, sparse files and -p, then the failures a copy must name.
#include "support/images.h"
#include "support/oracle.h"
#include "support/runner.h"
#include "tools/sunimg.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

// Host paths here can be longer than the host accepts in one call: every
// step goes relative to the directory before it.
int open_below(const std::string& root, const std::string& rel, int flags)
{
    int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY);
    size_t at = 0;
    while (fd != -1) {
        size_t slash = rel.find('/', at);
        std::string word = rel.substr(at, slash == std::string::npos ? std::string::npos : slash - at);
        bool last = slash == std::string::npos;
        int next = openat(fd, word.c_str(), last ? flags : O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
        close(fd);
        fd = next;
        if (last)
            return fd;
        at = slash + 1;
    }
    return -1;
}

std::string read_below(const std::string& root, const std::string& rel)
{
    int fd = open_below(root, rel, O_RDONLY | O_NOFOLLOW);
    std::string out;
    char buf[65536];
    ssize_t n;
    while (fd != -1 && (n = read(fd, buf, sizeof buf)) > 0)
        out.append(buf, size_t(n));
    if (fd != -1)
        close(fd);
    return fd == -1 ? "<cannot open>" : out;
}

std::string link_below(const std::string& root, const std::string& rel)
{
    size_t slash = rel.rfind('/');
    int dir = slash == std::string::npos ? open(root.c_str(), O_RDONLY | O_DIRECTORY)
                                         : open_below(root, rel.substr(0, slash), O_RDONLY | O_DIRECTORY);
    char buf[4096];
    ssize_t n = dir == -1 ? -1 : readlinkat(dir, rel.substr(slash + 1).c_str(), buf, sizeof buf);
    if (dir != -1)
        close(dir);
    return n < 0 ? "<no link>" : std::string(buf, size_t(n));
}

struct stat stat_below(const std::string& root, const std::string& rel)
{
    struct stat st {};
    int fd = open_below(root, rel, O_RDONLY | O_NOFOLLOW);
    if (fd != -1) {
        fstat(fd, &st);
        close(fd);
    }
    return st;
}

class CopyOracle : public ::testing::Test {
protected:
    void SetUp() override
    {
        host = dir.file("host");
        mkdir(host.c_str(), 0755);
        mkdir((host + "/out").c_str(), 0755);
    }

    void use(const sunimg::Ufs& t)
    {
        sunimg::DiskImage img = sunimg::make_disk(t);
        image = testimg::write_disk(dir, img);
        offset = img.partition_offset(0) / 512;
    }

    runner::Result session(const std::string& input)
    {
        runner::Options o;
        o.args = {"-p0", image};
        o.input = input;
        o.cwd = host;
        o.env = {"TZ=UTC"};
        return runner::run_sunufs(o);
    }

    // Every entry of the image as fls lists it, below `top`.
    std::vector<oracle::FlsRow> listing()
    {
        oracle::Result r = oracle::fls(image, offset, {"-r", "-p"}, "ufs1");
        EXPECT_TRUE(r.ok()) << r.err;
        std::vector<oracle::FlsRow> rows;
        for (auto& row : oracle::parse_fls(r.out))
            if (row.type != "V/V" && !row.deleted)
                rows.push_back(row);
        return rows;
    }

    testimg::TempDir dir;
    std::string host, image;
    uint64_t offset = 0;
};

std::string chain(const std::string& prefix, int levels, size_t width)
{
    std::string path;
    for (int i = 0; i < levels; i++) {
        std::string name = prefix + std::to_string(i);
        path += "/" + name + std::string(width > name.size() ? width - name.size() : 0, 'x');
    }
    return path;
}

TEST_F(CopyOracle, TreesOfAnyDepthAndPathLengthCopyWhole)
{
    REQUIRE_TOOL("fls");
    REQUIRE_TOOL("icat");
    REQUIRE_TOOL("istat");
    sunimg::Ufs t({.wide_ids = true, .fast_symlinks = true});
    std::string deep = chain("d", 40, 2), wide = chain("w", 17, 250);
    ASSERT_GT(wide.size(), 4000u);
    t.file(deep + "/leaf", "at the bottom\n");
    t.file(wide + "/leaf", "far along\n");
    t.symlink(wide + "/up", "../..");
    // Link texts: relative, absolute, dangling, 1 byte, 1023 bytes.
    const std::map<std::string, std::string> links = {
        {"rel", "../d0/d1"}, {"abs", "/etc/passwd"}, {"dangling", "no/such/place"},
        {"one", "x"}, {"long", std::string(1023, 'L')}};
    for (const auto& [name, text] : links)
        t.symlink("/links/" + name, text);
    t.add_sparse(t.dir("/sparse"), "file", 3u << 20, {{1u << 20, std::vector<uint8_t>(5000, 7)}});
    use(t);

    auto r = session("cp -r / out\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "copied 3 files (3145752 bytes), 60 directories, 6 links; 0 not copied; 0 failed\n");

    std::string out = host + "/out";
    size_t checked = 0;
    for (const auto& row : listing()) {
        SCOPED_TRACE(row.name.substr(0, 60));
        if (row.type == "r/r") {
            EXPECT_EQ(read_below(out, row.name), oracle::icat(image, offset, row.ino, "ufs1").out);
        } else if (row.type == "l/l") {
            auto k = oracle::parse_keys(oracle::istat(image, offset, row.ino, "ufs1").out);
            // istat shows the text after "symbolic link to:"; compare the
            // builder's own text where istat cuts a long one.
            std::string want = row.name.rfind("links/", 0) == 0 ? links.at(row.name.substr(6)) : "../..";
            EXPECT_EQ(link_below(out, row.name), want);
            EXPECT_EQ(want.substr(0, 40), k["symbolic link to"].substr(0, 40));
        } else if (row.type == "d/d") {
            EXPECT_TRUE(S_ISDIR(stat_below(out, row.name).st_mode));
        }
        checked++;
    }
    // fls lists everything but the root, except the two entries whose
    // paths pass its own limit; those are checked against the builder.
    EXPECT_EQ(checked, 3u + 60u - 1u + 6u - 2u);
    EXPECT_EQ(read_below(out, wide.substr(1) + "/leaf"), "far along\n");
    EXPECT_EQ(link_below(out, wide.substr(1) + "/up"), "../..");

    // The sparse file keeps its holes: no more host blocks than data.
    struct stat st = stat_below(out, "sparse/file");
    EXPECT_EQ(st.st_size, 3 << 20);
    EXPECT_LE(st.st_blocks * 512, 16384);
}

// -p: mode bits, times to the second, owners as root.  istat is the
// independent reading of what the image holds.
struct PermCase {
    const char* name;
    uint16_t perm;
    uint16_t uid, gid;
};

const PermCase perm_cases[] = {
    {"private", 0600, 40000, 65535}, {"group", 0640, 1, 2}, {"setuid", 04755, 0, 0},
    {"setgid_sticky", 03751, 65534, 100}, {"sticky_dir", 01777, 7, 8},
};

TEST_F(CopyOracle, PermissionsTimesAndOwnersAreKept)
{
    REQUIRE_TOOL("istat");
    const int32_t t1995 = 800000000;  // 1995-05-28
    sunimg::Ufs t({.wide_ids = true});
    std::map<std::string, uint32_t> ino;
    for (const auto& c : perm_cases) {
        sunimg::Meta m{.perm = c.perm, .uid = c.uid, .gid = c.gid, .atime = t1995 + 60, .mtime = t1995};
        ino[c.name] = std::string(c.name) == "sticky_dir" ? t.dir(std::string("/p/") + c.name, m)
                                                           : t.file(std::string("/p/") + c.name, "x", m);
    }
    t.symlink("/p/link", "private", {.uid = 4, .gid = 5, .atime = t1995, .mtime = t1995});
    use(t);
    auto r = session("cp -rp /p out\n");
    EXPECT_EQ(r.status, 0) << r.err;
    bool root = geteuid() == 0;
    for (const auto& c : perm_cases) {
        SCOPED_TRACE(c.name);
        auto k = oracle::parse_keys(oracle::istat(image, offset, ino[c.name], "ufs1").out);
        struct stat st {};
        ASSERT_EQ(lstat((host + "/out/p/" + c.name).c_str(), &st), 0);
        unsigned want = root ? c.perm : c.perm & 0777u;
        EXPECT_EQ(st.st_mode & 07777u, want);
        EXPECT_EQ(oracle::tsk_time(st.st_mtime), k["File Modified"]);
        EXPECT_EQ(oracle::tsk_time(st.st_atime), k["Accessed"]);
        if (root) {
            EXPECT_EQ(std::to_string(st.st_uid) + " / " + std::to_string(st.st_gid), k["uid / gid"]);
        }
    }
    struct stat st {};
    ASSERT_EQ(lstat((host + "/out/p/link").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, t1995);
    if (root) {
        EXPECT_EQ(st.st_uid, 4u);
    }
    ASSERT_EQ(lstat((host + "/out/p").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, sunimg::kDefaultTime);  // set after its contents were written
}

}  // namespace
