// Directory streams: enumeration block by block, empty and damaged
// records, failing blocks, over images made by the builder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <map>
#include <string>
#include <vector>

#include "fslib/fslib.h"
#include "support/dev_fault.h"
#include "support/bytes.h"
#include "support/images.h"
#include "support/mounted.h"
#include "support/oracle.h"
#include "tools/sunimg.h"

using sunimg::DiskImage;
using testimg::TempDir;

namespace {

constexpr uint32_t kPastImage = 0x00100000;   // 1 GiB in: past the end of every test image

struct Closer {
    void operator()(FS_FILE* d) const { fs_closedir(d); }
};
using Dir = std::unique_ptr<FS_FILE, Closer>;

using Mount = testimg::Mounted;
using testimg::all_stream_slots_free;

// Every test leaves the process-wide tables as it found them.
class DirStreams : public testimg::LibraryTest {};

struct Entry {
    std::string name;
    uint32_t ino;
    bool operator==(const Entry&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Entry& e) { return os << e.name << '=' << e.ino; }

// Enumerates a directory stream to its end, checking each record handed
// out on the way.  Gives up after `limit` entries (a stream that loops).
std::vector<Entry> list(FS_FILE* d, size_t limit = 100000)
{
    std::vector<Entry> out;
    while (direct* e = fs_readdir(d)) {
        auto* p = reinterpret_cast<uint8_t*>(e);
        EXPECT_TRUE(p >= d->ff_buf && p + e->d_reclen <= d->ff_buf + FF_BUFSIZE) << "entry outside the buffer";
        EXPECT_NE(e->d_ino, 0u);
        EXPECT_NE(std::memchr(e->d_name, 0, e->d_reclen - 8u), nullptr);
        out.push_back({e->d_name, e->d_ino});
        if (out.size() > limit) {
            ADD_FAILURE() << "the directory stream does not end";
            break;
        }
    }
    return out;
}

// What the builder put into a directory, empty records left out.
std::vector<Entry> expected(const DiskImage& img, uint32_t dir)
{
    std::vector<Entry> out;
    for (const auto& r : img.layout(0).inode(dir).dirents)
        if (r.ino != 0)
            out.push_back({r.name, r.ino});
    return out;
}

uint64_t ino_field(const DiskImage& img, uint32_t ino, uint32_t field) { return img.inode_offset(0, ino) + field; }

// A directory of `count` names (hard links to one file), padded with empty
// records to `pad` bytes.
uint32_t crowded_dir(sunimg::Ufs& fs, const std::string& path, int count, uint32_t pad = 0)
{
    uint32_t d = fs.dir(path);
    uint32_t target = fs.add_file(d, "target", "t");
    char name[32];
    for (int i = 0; i < count; ++i) {
        std::snprintf(name, sizeof name, "entry-%04d", i);
        fs.link(d, name, target);
    }
    fs.node(d).dir_min_size = pad;
    return d;
}

// ---------------------------------------------------------------------------
// Enumeration
// ---------------------------------------------------------------------------

TEST_F(DirStreams, OneSmallBlock)
{
    sunimg::Ufs fs = testimg::standard_tree();
    uint32_t etc = fs.lookup("/etc");
    DiskImage img = sunimg::make_disk(fs);
    ASSERT_EQ(img.image.get32be(ino_field(img, etc, sunimg::ino_off::size)), 512u);
    Mount m(img);
    ASSERT_TRUE(m.ok());
    Dir d(fs_opendir("/etc"));
    ASSERT_TRUE(d);
    EXPECT_EQ(d->ff_avail, 0u);
    EXPECT_EQ(d->ff_state, 0);

    // Numbers come out in host order and stay so until the next call.
    const std::vector<Entry> want = {
        {".", etc}, {"..", ROOT_INO}, {"passwd", fs.lookup("/etc/passwd")}, {"motd", fs.lookup("/etc/motd")}};
    const uint16_t reclens[] = {12, 12, 16, 512 - 40};
    for (size_t i = 0; i < want.size(); ++i) {
        direct* e = fs_readdir(d.get());
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->d_ino, want[i].ino);
        EXPECT_EQ(e->d_reclen, reclens[i]);
        EXPECT_EQ(e->d_namlen, want[i].name.size());
        EXPECT_STREQ(e->d_name, want[i].name.c_str());
        EXPECT_EQ(d->ff_state, FS_EOF);   // the only block is in
    }
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(fs_readdir(d.get()), nullptr);
    EXPECT_TRUE(fs_fclean(d.get()));
}

TEST_F(DirStreams, BlocksOfEveryGeometryInOrder)
{
    // Two (or more) full blocks and a short last one, with padding records
    // at the end; the refill must take one block at a time.
    struct Geo {
        int32_t bsize, fsize;
    } geos[] = {{8192, 1024}, {4096, 512}, {8192, 8192}, {4096, 4096}};
    for (const Geo& g : geos) {
        SCOPED_TRACE("bsize " + std::to_string(g.bsize) + " fsize " + std::to_string(g.fsize));
        sunimg::Ufs fs({.bsize = g.bsize, .fsize = g.fsize});
        // 25 names of 20 bytes fit a 512-byte chunk
        int count = 2 * g.bsize / 512 * 25 + 10;
        uint32_t d = crowded_dir(fs, "/d", count, uint32_t(2 * g.bsize + 1536));
        DiskImage img = sunimg::make_disk(fs);
        uint32_t size = img.image.get32be(ino_field(img, d, sunimg::ino_off::size));
        ASSERT_GT(size, uint32_t(2 * g.bsize));
        ASSERT_LT(size, uint32_t(3 * g.bsize));
        auto want = expected(img, d);
        ASSERT_EQ(want.size(), size_t(count) + 3);
        Mount m(img);
        ASSERT_TRUE(m.ok());
        Dir dir(fs_opendir("/d"));
        ASSERT_TRUE(dir);
        EXPECT_EQ(list(dir.get()), want);
        EXPECT_EQ(fs_readdir(dir.get()), nullptr);
        EXPECT_TRUE(fs_fclean(dir.get()));
    }
}

TEST_F(DirStreams, ThroughTheIndirectBlock)
{
    sunimg::Ufs fs;
    uint32_t d = crowded_dir(fs, "/d", 13 * 16 * 25);   // 13 blocks and a bit
    DiskImage img = sunimg::make_disk(fs);
    ASSERT_NE(img.image.get32be(ino_field(img, d, sunimg::ino_off::ib)), 0u);
    Mount m(img);
    ASSERT_TRUE(m.ok());
    Dir dir(fs_opendir("/d"));
    ASSERT_TRUE(dir);
    EXPECT_EQ(list(dir.get()), expected(img, d));
    EXPECT_TRUE(fs_fclean(dir.get()));
}

TEST_F(DirStreams, ResumeWhereTelldirLeftOff)
{
    // A caller that shuts a directory after k entries and opens it again at
    // fs_telldir's place gets exactly the rest: from the start, inside a
    // block, around a block's edge, in the indirect range, at the end.
    sunimg::Ufs fs;
    uint32_t d = crowded_dir(fs, "/d", 13 * 16 * 25);
    DiskImage img = sunimg::make_disk(fs);
    auto want = expected(img, d);
    Mount m(img);
    ASSERT_TRUE(m.ok());
    for (size_t k : {size_t{0}, size_t{1}, size_t{399}, size_t{400}, size_t{401}, size_t{4803}, want.size() - 1,
                     want.size()}) {
        SCOPED_TRACE("after " + std::to_string(k) + " entries");
        int64_t at;
        {
            Dir first(fs_opendir("/d"));
            ASSERT_TRUE(first);
            for (size_t i = 0; i < k; ++i)
                ASSERT_NE(fs_readdir(first.get()), nullptr);
            at = fs_telldir(first.get());
        }
        Dir again(fs_opendir("/d"));
        ASSERT_TRUE(again);
        ASSERT_EQ(fs_seekdir(again.get(), at), 0);
        EXPECT_EQ(list(again.get()), std::vector<Entry>(want.begin() + std::ptrdiff_t(k), want.end()));
        EXPECT_TRUE(fs_fclean(again.get()));
    }
    // The block at the place fails now: it is lost from the place on, and
    // the stream goes on with the next block, as one pass past a lost block
    // does: inside block 0, and at the start of block 1 (the place a walk
    // keeps when the last record of block 0 sent it into a subdirectory).
    auto from_block = [&](uint32_t block) {
        std::vector<Entry> out;
        for (const auto& r : img.layout(0).inode(d).dirents)
            if (r.ino != 0 && r.pos >= block * 8192u)
                out.push_back({r.name, r.ino});
        return out;
    };
    const size_t in_block0 = want.size() - from_block(1).size();
    struct Lost {
        size_t k;        // entries taken before the stream was shut
        uint32_t next;   // first block handed out after the loss
    } rows[] = {{5, 1}, {in_block0, 2}};
    for (const Lost& r : rows) {
        SCOPED_TRACE("lost after " + std::to_string(r.k) + " entries");
        int64_t at;
        {
            Dir first(fs_opendir("/d"));
            ASSERT_TRUE(first);
            for (size_t i = 0; i < r.k; ++i)
                ASSERT_NE(fs_readdir(first.get()), nullptr);
            at = fs_telldir(first.get());
        }
        Dir again(fs_opendir("/d"));
        ASSERT_TRUE(again);
        fsl::dev_fault_set(1, fsl::dev_fault_kind::error);
        EXPECT_EQ(fs_seekdir(again.get(), at), -1);
        fsl::dev_fault_clear();
        EXPECT_EQ(list(again.get()), from_block(r.next));
        EXPECT_FALSE(fs_fclean(again.get()));
        EXPECT_EQ(fs_errno, FSE_READ);
    }
}

TEST_F(DirStreams, EmptyRecordsAreSkipped)
{
    sunimg::Ufs fs = testimg::standard_tree();
    uint32_t etc = fs.lookup("/etc");
    DiskImage img = sunimg::make_disk(fs);
    img.image.put32be(img.dirent_offset(0, etc, ".") + sunimg::dir_off::ino, 0);
    img.image.put32be(img.dirent_offset(0, etc, "passwd") + sunimg::dir_off::ino, 0);
    Mount m(img);
    ASSERT_TRUE(m.ok());
    Dir dir(fs_opendir("/etc"));
    ASSERT_TRUE(dir);
    std::vector<Entry> want = {{"..", ROOT_INO}, {"motd", fs.lookup("/etc/motd")}};
    EXPECT_EQ(list(dir.get()), want);
    EXPECT_TRUE(fs_fclean(dir.get()));
}

TEST_F(DirStreams, EmptyAndHollowDirectories)
{
    sunimg::Ufs fs;
    uint32_t zero = fs.dir("/zero");
    uint32_t hollow = fs.dir("/hollow");
    DiskImage img = sunimg::make_disk(fs);
    img.image.put32be(ino_field(img, zero, sunimg::ino_off::size), 0);
    img.image.put32be(ino_field(img, hollow, sunimg::ino_off::db), 0);
    Mount m(img);
    ASSERT_TRUE(m.ok());
    {
        Dir dir(fs_opendir("/zero"));
        ASSERT_TRUE(dir);
        EXPECT_EQ(fs_readdir(dir.get()), nullptr);
        EXPECT_TRUE(fs_fclean(dir.get()));
    }
    {
        // A hole where the first block should be reads as zeros, which is
        // no valid record: nothing is listed, and the end is not clean.
        Dir dir(fs_opendir("/hollow"));
        ASSERT_TRUE(dir);
        EXPECT_EQ(fs_readdir(dir.get()), nullptr);
        EXPECT_EQ(fs_errno, FSE_READ);
        EXPECT_EQ(fs_readdir(dir.get()), nullptr);
        EXPECT_FALSE(fs_fclean(dir.get()));
    }
}

TEST_F(DirStreams, OpenDotIsTheWorkingDirectory)
{
    sunimg::Ufs fs = testimg::standard_tree();
    uint32_t usr = fs.lookup("/usr");
    DiskImage img = sunimg::make_disk(fs);
    Mount m(img);
    ASSERT_TRUE(m.ok());
    ASSERT_EQ(fs_chdir("/usr"), 0);
    Dir dir(fs_opendir("."));
    ASSERT_TRUE(dir);
    EXPECT_EQ(list(dir.get()), expected(img, usr));
}

TEST_F(DirStreams, OpenFailures)
{
    sunimg::Ufs fs = testimg::standard_tree();
    uint32_t tmp = fs.lookup("/tmp");
    DiskImage img = sunimg::make_disk(fs);
    img.image.put32be(ino_field(img, tmp, sunimg::ino_off::size), 0x80000000u);
    Mount m(img);
    ASSERT_TRUE(m.ok());
    struct Case {
        const char* path;
        int err;
    } cases[] = {
        {"/etc/passwd", FSE_NOTDIR},
        {"/dev/null", FSE_NOTDIR},
        {"/bin", FSE_NOTDIR},   // a symbolic link, not followed
        {"/etc/passwd/x", FSE_NOTDIR},
        {"/nothere", FSE_NOENT},
        {"/etc/nothere", FSE_NOENT},
        {"/tmp", FSE_TOOBIG},   // size 2 GiB
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        fs_errno = FSE_OK;
        EXPECT_EQ(fs_opendir(c.path), nullptr);
        EXPECT_EQ(fs_errno, c.err);
        EXPECT_TRUE(all_stream_slots_free());
    }
}

// ---------------------------------------------------------------------------
// Damage
// ---------------------------------------------------------------------------

TEST_F(DirStreams, DamagedRecordsEndTheDirectory)
{
    // /d holds ".", "..", "victim", "after" in block 0 and "later" in
    // block 1; "victim" is damaged in each case.  A listing and a lookup
    // both stop there with a read error.
    struct Case {
        const char* what;
        uint32_t ino;
        uint16_t reclen;
        bool name_without_nul;
        bool victim_listed;
    } cases[] = {
        {"reclen 0", 1, 0, false, false},
        {"reclen 0, empty record", 0, 0, false, false},
        {"reclen 6", 1, 6, false, false},
        {"reclen 8", 1, 8, false, false},
        {"reclen 18", 1, 18, false, false},
        {"reclen past the block", 1, 8192 + 512, false, false},
        {"reclen past the block, empty record", 0, 0xFFFC, false, false},
        {"name without NUL", 1, 16, true, false},
        {"leaves 4 bytes at the block's end", 1, 8192 - 24 - 4, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sunimg::Ufs fs;
        uint32_t d = fs.dir("/d");
        uint32_t victim = fs.file("/d/victim", "v");
        fs.file("/d/after", "a");
        fs.node(d).dir_min_size = 2 * 8192;   // block 0 full of empty records after "after"
        DiskImage img = sunimg::make_disk(fs);
        auto blocks = img.data_blocks(0, d);
        ASSERT_EQ(blocks.size(), 2u);
        img.image.put32be(blocks[1].offset + sunimg::dir_off::ino, victim);   // "later", over an empty record
        img.image.put16be(blocks[1].offset + sunimg::dir_off::namlen, 5);
        img.image.put(blocks[1].offset + sunimg::dir_off::name, "later", 6);
        uint64_t v = img.dirent_offset(0, d, "victim");
        img.image.put32be(v + sunimg::dir_off::ino, c.ino);
        img.image.put16be(v + sunimg::dir_off::reclen, c.reclen);
        if (c.name_without_nul)
            img.image.put(v + sunimg::dir_off::name, "victimXY", 8);
        Mount m(img);
        ASSERT_TRUE(m.ok());
        Dir dir(fs_opendir("/d"));
        ASSERT_TRUE(dir);
        std::vector<Entry> want = {{".", d}, {"..", ROOT_INO}};
        if (c.victim_listed)
            want.push_back({"victim", 1});
        EXPECT_EQ(list(dir.get(), 100), want);
        EXPECT_EQ(fs_errno, FSE_READ);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(fs_readdir(dir.get()), nullptr);
        fs_errno = FSE_OK;
        EXPECT_FALSE(fs_fclean(dir.get()));
        EXPECT_EQ(fs_errno, FSE_READ);

        EXPECT_EQ(fs_namei("/d/.."), ROOT_INO);
        for (const char* name : {"/d/after", "/d/victimXY", "/d/later"}) {
            fs_errno = FSE_OK;
            EXPECT_EQ(fs_namei(name), 0u) << name;
            EXPECT_EQ(fs_errno, FSE_READ) << name;
        }
    }
}

TEST_F(DirStreams, FailingBlocksAreReported)
{
    struct Case {
        const char* what;
        int bad_lbn;   // direct block to break; -1: the single indirect block
    } cases[] = {
        {"first block", 0},
        {"middle block", 1},
        {"last block", 2},
        {"single indirect block", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sunimg::Ufs fs;
        int count = c.bad_lbn < 0 ? 13 * 16 * 25 : 2 * 16 * 25 + 40;   // 14 or 3 blocks
        uint32_t d = crowded_dir(fs, "/d", count);
        DiskImage img = sunimg::make_disk(fs);
        const uint32_t bsize = 8192;
        uint64_t ptr = c.bad_lbn < 0 ? ino_field(img, d, sunimg::ino_off::ib)
                                     : ino_field(img, d, sunimg::ino_off::db) + 4 * uint32_t(c.bad_lbn);
        img.image.put32be(ptr, kPastImage);
        // Entries expected: those of every block that still reads.
        std::vector<Entry> want;
        for (const auto& r : img.layout(0).inode(d).dirents) {
            int lbn = int(r.pos / bsize);
            bool lost = c.bad_lbn < 0 ? lbn >= 12 : lbn == c.bad_lbn;
            if (r.ino != 0 && !lost)
                want.push_back({r.name, r.ino});
        }
        Mount m(img);
        ASSERT_TRUE(m.ok());
        Dir dir(fs_opendir("/d"));
        ASSERT_TRUE(dir);
        EXPECT_EQ(list(dir.get()), want);
        if (c.bad_lbn < 0) {
            // Not the end: the load is tried again, and fails again.
            EXPECT_NE(dir->ff_state, FS_EOF);
            EXPECT_EQ(fs_readdir(dir.get()), nullptr);
            EXPECT_EQ(fs_errno, FSE_SEEK);   // past the device's end
        }
        fs_errno = FSE_OK;
        EXPECT_FALSE(fs_fclean(dir.get()));
        EXPECT_EQ(fs_errno, c.bad_lbn < 0 ? FSE_READ : FSE_SEEK);
    }
}

// ---------------------------------------------------------------------------
// A file system from the other UFS writer
// ---------------------------------------------------------------------------

// Every directory of the tree (entries other than "." and ".."), as
// path -> inode number, collected through directory streams.
void walk(const std::string& dir, const std::string& rel, std::map<std::string, uint32_t>& out)
{
    std::vector<Entry> entries;
    {
        Dir d(fs_opendir(dir.c_str()));
        ASSERT_TRUE(d) << dir << ": " << fs_errlist[fs_errno];
        entries = list(d.get());
        ASSERT_TRUE(fs_fclean(d.get())) << dir;
    }
    for (const Entry& e : entries) {
        if (e.name == "." || e.name == "..")
            continue;
        std::string path = rel.empty() ? e.name : rel + "/" + e.name;
        out[path] = e.ino;
        fs_statrec st{};
        ASSERT_EQ(fs_istat(e.ino, &st), 0) << path;
        if ((st.st_mode & IFMT) == IFDIR)
            walk(dir + "/" + e.name, path, out);
    }
}

TEST_F(DirStreams, ForeignWriterTreeReadsBack)
{
    REQUIRE_TOOL("makefs");
    REQUIRE_TOOL("sfdisk");
    REQUIRE_TOOL("fls");
    TempDir tmp;
    const std::string src = tmp.file("src");
    std::map<std::string, std::string> files;
    char name[64];
    for (int i = 0; i < 300; ++i) {
        std::snprintf(name, sizeof name, "many/file-%04d", i);
        files[name] = std::string(size_t(i % 53), char('a' + i % 26));
    }
    // Two 212-byte records to a 512-byte chunk: 420 of them take 210
    // chunks, past the twelve direct blocks even of 8192 bytes.
    const std::string pad(196, 'x');
    for (int i = 0; i < 420; ++i) {
        std::snprintf(name, sizeof name, "huge/%04d-", i);
        files[name + pad] = "";
    }
    files["empty"] = "";
    files["a/b/c/deep.txt"] = "deep\n";
    auto mid = sunimg::pattern(100000, 21), big = sunimg::pattern((12 + 2048) * 8192 + 4321, 22);
    files["mid.bin"] = std::string(mid.begin(), mid.end());
    files["big.bin"] = std::string(big.begin(), big.end());
    testimg::make_host_tree(src, files);

    for (auto [bsize, fsize] : {std::pair{8192, 1024}, std::pair{4096, 512}}) {
        SCOPED_TRACE("bsize " + std::to_string(bsize));
        std::string image = tmp.file("disk-" + std::to_string(bsize) + ".img");
        testimg::MakefsDisk md = testimg::makefs_sun_disk(src, image, {.size = "32m", .bsize = bsize, .fsize = fsize});
        std::map<std::string, uint32_t> want;
        for (const auto& r : oracle::parse_fls(oracle::fls(image, 0).out))
            if (r.type != "V/V" && r.name.rfind("$Orphan", 0) != 0)
                want[r.name] = r.ino;
        ASSERT_GT(want.size(), 720u);

        Mount m(image, 0);
        ASSERT_TRUE(m.ok()) << fs_errlist[fs_errno];
        fs_statrec st{};
        ASSERT_EQ(fs_stat("/huge", &st), 0);
        EXPECT_GT(st.st_size, 12 * bsize);   // read through an indirect block
        std::map<std::string, uint32_t> got;
        walk("", "", got);
        EXPECT_EQ(got, want);
        int n = 0;
        for (const auto& [path, content] : files) {
            if (path.rfind("huge/", 0) == 0 && n++ % 50 != 0)
                continue;   // a sample of the empty ones is enough
            FS_FILE* f = fs_fopen(("/" + path).c_str(), "rb");
            EXPECT_NE(f, nullptr) << path;
            if (!f)
                continue;
            std::string text;
            char buf[4096];
            for (uint32_t n; (n = fs_fread(buf, 1, sizeof buf, f)) != 0;)
                text.append(buf, n);
            EXPECT_TRUE(testimg::SameBytes(text, content)) << path;
            EXPECT_TRUE(fs_fclean(f)) << path;
            fs_fclose(f);
        }
    }
}

}  // namespace
