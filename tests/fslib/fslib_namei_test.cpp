// Path lookup, status by path and the working directory, over images made
// by the builder and then damaged where a test needs it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <stdexcept>
#include <vector>

#include "fslib/fslib.h"
#include "support/images.h"
#include "support/mounted.h"
#include "tools/sunimg.h"

using sunimg::DiskImage;
using sunimg::Meta;
using testimg::TempDir;

namespace {

using Mount = testimg::Mounted;

// Every test leaves the process-wide tables as it found them.
class Lookup : public testimg::LibraryTest {};

std::string cwd_text()
{
    char buf[MAXPATHLEN_FS];
    return fs_getcwd(buf) ? std::string(buf) : std::string("<none>");
}

// A directory record as it lies on disk.  `nul` false leaves the name
// without its terminator.
void put_record(sunimg::Image& im, uint64_t off, uint32_t ino, uint16_t reclen, const std::string& name,
                bool nul = true)
{
    im.put32be(off + sunimg::dir_off::ino, ino);
    im.put16be(off + sunimg::dir_off::reclen, reclen);
    im.put16be(off + sunimg::dir_off::namlen, static_cast<uint16_t>(name.size()));
    im.put(off + sunimg::dir_off::name, name.data(), name.size());
    if (nul)
        im.put8(off + sunimg::dir_off::name + name.size(), 0);
}

// Appends one file-system block past everything in the image; returns its
// fragment address.
uint32_t append_block(DiskImage& img, const std::vector<uint8_t>& bytes, int part = 0)
{
    const auto& sb = img.layout(part).sb;
    uint64_t base = img.partition_offset(part);
    uint64_t rel = img.image.size() - base;
    rel = (rel + uint64_t(sb.bsize) - 1) / uint64_t(sb.bsize) * uint64_t(sb.bsize);
    std::vector<uint8_t> block(size_t(sb.bsize), 0);
    std::copy(bytes.begin(), bytes.begin() + std::min(bytes.size(), block.size()), block.begin());
    img.image.put(base + rel, block);
    return static_cast<uint32_t>(rel / uint64_t(sb.fsize));
}

// An indirect block whose entries are `entries` followed by zeros.
std::vector<uint8_t> indirect(const std::vector<uint32_t>& entries, int32_t bsize = 8192)
{
    std::vector<uint8_t> b(size_t(bsize), 0);
    for (size_t i = 0; i < entries.size(); ++i)
        sunimg::put32be(b.data() + 4 * i, entries[i]);
    return b;
}

uint64_t ino_field(const DiskImage& img, uint32_t ino, uint32_t field) { return img.inode_offset(0, ino) + field; }

// The tree most lookups run on.  "etcetera" comes before "etc" in the root
// so that a prefix compare would find the wrong entry first.
struct Tree {
    static constexpr const char* kPasswd = "root:*:0:1::/:/bin/sh\n";
    sunimg::Ufs fs;
    uint32_t etcetera, etc, passwd, motd, usr, bin, lib, share, readme, x, a, b, binlink;
    explicit Tree(sunimg::FsOptions o = {}) : fs(o)
    {
        etcetera = fs.file("/etcetera", "not the directory\n");
        etc = fs.dir("/etc");
        passwd = fs.file("/etc/passwd", kPasswd);
        motd = fs.file("/etc/motd", "welcome\n");
        usr = fs.dir("/usr");
        bin = fs.dir("/usr/bin");
        lib = fs.dir("/usr/lib");
        share = fs.dir("/usr/share");
        readme = fs.file("/usr/share/README", "read me\n");
        x = fs.dir("/x");
        a = fs.dir("/x/a");
        b = fs.dir("/x/a/b");
        fs.link(x, "alias", lib);   // a second name for /usr/lib
        binlink = fs.symlink("/bin", "usr/bin");
    }
};

// ---------------------------------------------------------------------------
// Path forms
// ---------------------------------------------------------------------------

TEST_F(Lookup, PathFormsResolve)
{
    Tree t;
    Mount m(sunimg::make_disk(t.fs));
    ASSERT_TRUE(m.ok());
    const std::string a = "<" + std::to_string(t.a) + ">";
    struct Case {
        std::string path;
        uint32_t ino;
    } cases[] = {
        {"/", ROOT_INO},
        {"", ROOT_INO},
        {"/etc", t.etc},
        {"etc", t.etc},
        {"/etc/passwd", t.passwd},
        {"//usr///bin/", t.bin},
        {"/usr/bin", t.bin},
        {"usr/share/README", t.readme},
        {"/.", ROOT_INO},
        {"/..", ROOT_INO},
        {"/../../etc", t.etc},
        {"/usr/..", ROOT_INO},
        {"/usr/bin/../lib", t.lib},
        {"/x/a/b/../../a/./b", t.b},
        {"/x/alias/..", t.usr},         // ".." is the entry of the directory itself
        {"/etc/passwd/", t.passwd},     // the last component's type is not tested
        {"/bin", t.binlink},            // a symbolic link is not followed
        {"/etcetera", t.etcetera},
        {a, t.a},
        {a + "/..", t.a},               // nothing above an inode named by number
        {a + "/b/../..", t.a},
        {a + "/../b", t.b},
        {a + "/b/..", t.a},
    };
    for (const Case& c : cases) {
        fs_errno = FSE_OK;
        EXPECT_EQ(fs_namei(c.path.c_str()), c.ino) << '"' << c.path << '"';
        EXPECT_EQ(fs_errno, FSE_OK) << '"' << c.path << '"';
    }
}

TEST_F(Lookup, PathFailures)
{
    Tree t;
    Mount m(sunimg::make_disk(t.fs));
    ASSERT_TRUE(m.ok());
    struct Case {
        const char* path;
        int err;
    } cases[] = {
        {"/etc/passwd/x", FSE_NOTDIR},
        {"/etc/passwd/..", FSE_NOTDIR},
        {"/bin/x", FSE_NOTDIR},          // symbolic link in the middle
        {"/etcetera/passwd", FSE_NOTDIR},
        {"/Etc", FSE_NOENT},
        {"/ETC/passwd", FSE_NOENT},
        {"/et", FSE_NOENT},
        {"/e", FSE_NOENT},
        {"/etcx", FSE_NOENT},
        {"/etc/passw", FSE_NOENT},
        {"/etc/passwdx", FSE_NOENT},
        {"/nothere/etc", FSE_NOENT},
    };
    for (const Case& c : cases) {
        fs_errno = FSE_OK;
        EXPECT_EQ(fs_namei(c.path), 0u) << c.path;
        EXPECT_EQ(fs_errno, c.err) << c.path;
    }
    // Relative to the working directory.
    ASSERT_EQ(fs_chdir("/etc"), 0);
    EXPECT_EQ(fs_namei("passwd"), t.passwd);
    EXPECT_EQ(fs_namei(""), t.etc);
    fs_errno = FSE_OK;
    EXPECT_EQ(fs_namei("passwd/x"), 0u);
    EXPECT_EQ(fs_errno, FSE_NOTDIR);
    EXPECT_EQ(fs_namei("etc"), 0u);
    EXPECT_EQ(fs_errno, FSE_NOENT);
}

TEST_F(Lookup, RootAndEmptyPathReadNothing)
{
    Tree t;
    DiskImage img = sunimg::make_disk(t.fs);
    // Move the inode area far past the end of the image: any inode read
    // now fails, so a lookup that succeeds read nothing.
    img.image.put32be(img.superblock_offset(0) + 16, 0x100000);
    Mount m(img);
    ASSERT_TRUE(m.ok());
    fs_errno = FSE_MAGIC;   // a value no lookup sets
    EXPECT_EQ(fs_namei("/"), ROOT_INO);
    EXPECT_EQ(fs_namei("///"), ROOT_INO);
    EXPECT_EQ(fs_namei(""), ROOT_INO);
    m.fs()->cwd_ino = 1234;
    EXPECT_EQ(fs_namei(""), 1234u);
    EXPECT_EQ(fs_namei("/"), ROOT_INO);
    EXPECT_EQ(fs_errno, FSE_MAGIC);
    // A component does read the start directory's inode.
    EXPECT_EQ(fs_namei("/."), 0u);
    EXPECT_EQ(fs_errno, FSE_SEEK);   // the inodes now lie past the device's end
}

TEST_F(Lookup, NothingMounted)
{
    fs_statrec st{};
    st.st_size = 4711;
    // Each call fails with a status of its own; nothing else happens.
    for (const char* path : {"/", "/etc", "etc"}) {
        fs_errno = FSE_MAGIC;
        EXPECT_EQ(fs_namei(path), 0u);
        EXPECT_EQ(fs_errno, FSE_NOFS);
        fs_errno = FSE_MAGIC;
        EXPECT_EQ(fs_stat(path, &st), -1);
        EXPECT_EQ(fs_errno, FSE_NOFS);
        fs_errno = FSE_MAGIC;
        EXPECT_EQ(fs_chdir(path), -1);
        EXPECT_EQ(fs_errno, FSE_NOFS);
    }
    EXPECT_EQ(st.st_size, 4711);
}

// ---------------------------------------------------------------------------
// Entries
// ---------------------------------------------------------------------------

TEST_F(Lookup, EmptyRecordNeverMatches)
{
    Tree t;
    DiskImage img = sunimg::make_disk(t.fs);
    img.image.put32be(img.dirent_offset(0, t.etc, "passwd") + sunimg::dir_off::ino, 0);
    Mount m(img);
    ASSERT_TRUE(m.ok());
    EXPECT_EQ(fs_namei("/etc/passwd"), 0u);
    EXPECT_EQ(fs_errno, FSE_NOENT);
    EXPECT_EQ(fs_namei("/etc/motd"), t.motd);   // the walk goes on past it
}

TEST_F(Lookup, NameLengthFieldIsNotTrusted)
{
    // Other writers keep a type byte in the high half of d_namlen.
    Tree t;
    DiskImage img = sunimg::make_disk(t.fs);
    img.image.put16be(img.dirent_offset(0, t.etc, "passwd") + sunimg::dir_off::namlen, 0x0806);
    img.image.put16be(img.dirent_offset(0, t.etc, "motd") + sunimg::dir_off::namlen, 0xFFFF);
    Mount m(img);
    ASSERT_TRUE(m.ok());
    EXPECT_EQ(fs_namei("/etc/passwd"), t.passwd);
    EXPECT_EQ(fs_namei("/etc/motd"), t.motd);
}

TEST_F(Lookup, DirectoryWithoutFirstBlockIsAReadError)
{
    Tree t;
    DiskImage img = sunimg::make_disk(t.fs);
    img.image.put32be(ino_field(img, t.etc, sunimg::ino_off::db), 0);
    Mount m(img);
    ASSERT_TRUE(m.ok());
    for (const char* p : {"/etc/passwd", "/etc/motd", "/etc/.", "/etc/.."}) {
        fs_errno = FSE_OK;
        EXPECT_EQ(fs_namei(p), 0u) << p;
        EXPECT_EQ(fs_errno, FSE_READ) << p;   // a directory has no holes
    }
    EXPECT_EQ(fs_namei("/etc"), t.etc);
}

TEST_F(Lookup, FailingReadsWhileSearching)
{
    Tree t;
    t.fs.file("/broken/placeholder", "x");
    uint32_t broken = t.fs.lookup("/broken");
    DiskImage img = sunimg::make_disk(t.fs);
    // /etc's block lies past the end of the image; /usr's block would need
    // a device offset of 2 GiB or more; /broken's entry names an inode far
    // past the image.
    img.image.put32be(ino_field(img, t.etc, sunimg::ino_off::db), 0x00100000);
    img.image.put32be(ino_field(img, t.usr, sunimg::ino_off::db), 0x00300000);
    img.image.put32be(img.dirent_offset(0, broken, "placeholder") + sunimg::dir_off::ino, 40000000);
    Mount m(img);
    ASSERT_TRUE(m.ok());

    // A search that fails keeps its cause: past the device's end.
    EXPECT_EQ(fs_namei("/etc/passwd"), 0u);
    EXPECT_EQ(fs_errno, FSE_SEEK);
    EXPECT_EQ(fs_namei("/usr/bin"), 0u);
    EXPECT_EQ(fs_errno, FSE_SEEK);

    // The inode of the last component is not read by the lookup...
    EXPECT_EQ(fs_namei("/broken/placeholder"), 40000000u);
    // ...but it is when the path goes through it, and by fs_stat.
    fs_errno = FSE_OK;
    EXPECT_EQ(fs_namei("/broken/placeholder/x"), 0u);
    EXPECT_TRUE(fs_errno == FSE_READ || fs_errno == FSE_SEEK) << fs_errno;
    fs_statrec st{};
    fs_errno = FSE_OK;
    EXPECT_EQ(fs_stat("/broken/placeholder", &st), -1);
    EXPECT_TRUE(fs_errno == FSE_READ || fs_errno == FSE_SEEK) << fs_errno;
    fs_errno = FSE_OK;
    EXPECT_EQ(fs_chdir("/broken/placeholder"), -1);
    EXPECT_TRUE(fs_errno == FSE_READ || fs_errno == FSE_SEEK) << fs_errno;
    EXPECT_EQ(cwd_text(), "/");
}

// ---------------------------------------------------------------------------
// Block lengths: how much of a directory block is read and searched
// ---------------------------------------------------------------------------

TEST_F(Lookup, BlockLengthFollowsTheSizeRule)
{
    struct Case {
        int32_t fsize;
        int32_t di_size;     // patched directory size
        uint32_t rec_at;     // where a record "tail" is put inside block 0
        bool found;
    } cases[] = {
        {1024, 512, 512, false},    // rule gives 1024, capped to the 512 left
        {1024, 700, 512, true},     // the record's header and name lie inside the 700 bytes
        {1024, 1024, 512, true},
        {2048, 700, 1024, false},   // read as 1024 of the 2048-byte fragment
        {2048, 1025, 1024, false},  // read as 1536, but one byte of the record is the directory's
        {2048, 1536, 1024, true},
        {2048, 1536, 1536, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("fsize " + std::to_string(c.fsize) + " size " + std::to_string(c.di_size) + " record at " +
                     std::to_string(c.rec_at));
        sunimg::Ufs fs({.fsize = c.fsize});
        uint32_t d = fs.dir("/d");
        uint32_t target = fs.file("/target", "t");
        DiskImage img = sunimg::make_disk(fs);
        auto blocks = img.data_blocks(0, d);
        ASSERT_EQ(blocks.size(), 1u);
        ASSERT_GE(blocks[0].bytes, c.rec_at + 512);   // inside the directory's own fragment
        for (uint32_t at = 512; at < c.rec_at; at += 512)   // whole chunks up to the record
            put_record(img.image, blocks[0].offset + at, 0, 512, "");
        put_record(img.image, blocks[0].offset + c.rec_at, target, 512, "tail");
        img.image.put32be(ino_field(img, d, sunimg::ino_off::size), uint32_t(c.di_size));
        Mount m(img);
        ASSERT_TRUE(m.ok());
        EXPECT_EQ(fs_namei("/d/.."), ROOT_INO);
        EXPECT_EQ(fs_namei("/d/tail"), c.found ? target : 0u);
    }
}

TEST_F(Lookup, BlockPastTheSizeYieldsNothing)
{
    Tree t;
    uint32_t d = t.fs.dir("/d");
    DiskImage img = sunimg::make_disk(t.fs);
    uint32_t extra = append_block(img, {});
    uint64_t extra_off = img.frag_offset(0, extra);
    put_record(img.image, extra_off, t.passwd, 512, "beyond");
    img.image.put32be(ino_field(img, d, sunimg::ino_off::db) + 4, extra);
    Mount m(img);
    ASSERT_TRUE(m.ok());
    EXPECT_EQ(fs_namei("/d/beyond"), 0u);
    EXPECT_EQ(fs_errno, FSE_NOENT);
    EXPECT_EQ(fs_namei("/d/."), d);
}

// ---------------------------------------------------------------------------
// Directories beyond the direct blocks
// ---------------------------------------------------------------------------

struct BigDir {
    Tree t;
    uint32_t big = 0;
    DiskImage img;
    // A directory of `blocks` blocks: its own entries in block 0, empty
    // records everywhere else, then `names` put by hand into chosen blocks.
    BigDir(int32_t blocks, const std::vector<std::pair<std::string, int>>& names, sunimg::FsOptions o = {})
        : t(o)
    {
        big = t.fs.dir("/big");
        t.fs.file("/big/first", "first");
        t.fs.node(big).dir_min_size = uint32_t(blocks) * uint32_t(o.bsize);
        img = sunimg::make_disk(t.fs);
        auto data = img.data_blocks(0, big);
        for (const auto& [name, lbn] : names) {
            if (size_t(lbn) >= data.size() || data[size_t(lbn)].lbn != lbn)
                throw std::runtime_error("no block " + std::to_string(lbn));
            // the second 512-byte chunk of the block, over its empty record
            put_record(img.image, data[size_t(lbn)].offset + 512, t.passwd, 512, name);
        }
    }
};

TEST_F(Lookup, NameInThirteenthBlockIsFoundThroughSingleIndirect)
{
    BigDir bd(14, {{"twelve", 11}, {"hidden", 12}, {"deep", 13}});
    ASSERT_NE(bd.img.image.get32be(ino_field(bd.img, bd.big, sunimg::ino_off::ib)), 0u);
    {
        Mount m(bd.img);
        ASSERT_TRUE(m.ok());
        EXPECT_EQ(fs_namei("/big/first"), bd.t.fs.lookup("/big/first"));
        EXPECT_EQ(fs_namei("/big/twelve"), bd.t.passwd);
        EXPECT_EQ(fs_namei("/big/hidden"), bd.t.passwd);
        EXPECT_EQ(fs_namei("/big/deep"), bd.t.passwd);
        EXPECT_EQ(fs_namei("/big/nothere"), 0u);
        EXPECT_EQ(fs_errno, FSE_NOENT);
    }
    {
        // A zero direct address inside the size is a hole: the search
        // ends there with a read error.
        DiskImage img = bd.img;
        img.image.put32be(ino_field(img, bd.big, sunimg::ino_off::db) + 4 * 5, 0);
        Mount m(img);
        ASSERT_TRUE(m.ok());
        EXPECT_EQ(fs_namei("/big/first"), bd.t.fs.lookup("/big/first"));
        EXPECT_EQ(fs_namei("/big/hidden"), 0u);
        EXPECT_EQ(fs_errno, FSE_READ);
    }
    {
        // The single indirect block lies past the device's end: the search
        // says so, and names in the direct blocks remain reachable.
        DiskImage img = bd.img;
        img.image.put32be(ino_field(img, bd.big, sunimg::ino_off::ib), 0x00100000);
        Mount m(img);
        ASSERT_TRUE(m.ok());
        EXPECT_EQ(fs_namei("/big/hidden"), 0u);
        EXPECT_EQ(fs_errno, FSE_SEEK);
        EXPECT_EQ(fs_namei("/big/twelve"), bd.t.passwd);
    }
    {
        // A zero first indirect address is a hole over the blocks it would
        // map, whatever the double level holds.
        DiskImage img = bd.img;
        uint64_t ib = ino_field(img, bd.big, sunimg::ino_off::ib);
        uint32_t single = img.image.get32be(ib);
        uint32_t dbl = append_block(img, indirect({single}));
        img.image.put32be(ib, 0);
        img.image.put32be(ib + 4, dbl);
        Mount m(img);
        ASSERT_TRUE(m.ok());
        EXPECT_EQ(fs_namei("/big/hidden"), 0u);
        EXPECT_EQ(fs_errno, FSE_READ);
        EXPECT_EQ(fs_namei("/big/twelve"), bd.t.passwd);
    }
}

TEST_F(Lookup, DoubleIndirectDirectoryWith4096ByteBlocks)
{
    // 1024 entries per indirect block: logical block 1036 is the first one
    // under the double indirect block, 2060 the first of its second single
    // indirect block.
    BigDir bd(2064, {{"single-last", 1035}, {"double-first", 1036}, {"double-second", 2061}, {"last", 2063}},
              {.bsize = 4096, .fsize = 512});
    Mount m(bd.img);
    ASSERT_TRUE(m.ok());
    for (const char* n : {"first", "single-last", "double-first", "double-second", "last"}) {
        std::string p = std::string("/big/") + n;
        EXPECT_NE(fs_namei(p.c_str()), 0u) << p;
    }
    EXPECT_EQ(fs_namei("/big/nothere"), 0u);
    EXPECT_EQ(fs_errno, FSE_NOENT);
}

TEST_F(Lookup, BlocksAreFoundByTheirPositionNotByWalkOrder)
{
    BigDir bd(13, {{"hidden", 12}});
    DiskImage img = bd.img;
    uint64_t ib = ino_field(img, bd.big, sunimg::ino_off::ib);
    uint32_t single = img.image.get32be(ib);
    uint32_t dbl = append_block(img, indirect({single}));
    uint32_t tpl = append_block(img, indirect({dbl}));
    img.image.put32be(ib, 0);
    img.image.put32be(ib + 8, tpl);
    Mount m(img);
    ASSERT_TRUE(m.ok());
    // Block 12 belongs under di_ib[0], which is now empty: a hole.
    EXPECT_EQ(fs_namei("/big/hidden"), 0u);
    EXPECT_EQ(fs_errno, FSE_READ);
}

// An indirect block whose entries all point back at itself, at each
// level, and a triple indirect block that fans out to blocks of zeros.
// Every lookup must come back promptly with "not found".
TEST_F(Lookup, DamagedIndirectChainsFinishQuickly)
{
    BigDir bd(13, {{"hidden", 12}});
    struct Case {
        const char* what;
        int level;           // di_ib slot used: 1, 2 or 3
        bool fan_to_zeros;   // level 3 only: all entries of all levels non-zero, leaves zero
        bool huge_size;
    } cases[] = {
        {"single points at itself", 1, false, false},
        {"double points at itself", 2, false, false},
        {"triple points at itself", 3, false, false},
        {"single points at itself, size 2 GiB - 1", 1, false, true},
        {"triple fans out to empty single blocks", 3, true, false},
        {"triple fans out to empty single blocks, size 2 GiB - 1", 3, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DiskImage img = bd.img;
        uint64_t ib = ino_field(img, bd.big, sunimg::ino_off::ib);
        img.image.put32be(ib, 0);
        uint32_t self;
        if (c.fan_to_zeros) {
            uint32_t zeros = append_block(img, {});
            uint32_t dbl = append_block(img, indirect(std::vector<uint32_t>(2048, zeros)));
            self = append_block(img, indirect(std::vector<uint32_t>(2048, dbl)));
        } else {
            self = append_block(img, {});
            img.image.put(img.frag_offset(0, self), indirect(std::vector<uint32_t>(2048, self)));
        }
        img.image.put32be(ib + 4 * uint32_t(c.level - 1), self);
        if (c.huge_size)
            img.image.put32be(ino_field(img, bd.big, sunimg::ino_off::size), 0x7FFFFFFF);
        Mount m(img);
        ASSERT_TRUE(m.ok());
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(fs_namei("/big/nothere"), 0u);
        EXPECT_EQ(fs_errno, FSE_READ);   // a hole, or indirect words read as records
        EXPECT_EQ(fs_namei("/big/first"), bd.t.fs.lookup("/big/first"));
        double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_LT(secs, 1.0);
    }
}

// A directory size past 2 GiB, or negative, is damage: lookup and a
// listing both call it too large.
TEST_F(Lookup, DirectorySizePastTwoGigabytesIsTooLarge)
{
    const std::pair<uint32_t, uint32_t> sizes[] = {{0, 0x80000000u}, {0x80000000u, 0}, {0xFFFFFFFFu, 0xFFFFFFFFu}};
    for (auto [hi, lo] : sizes) {
        SCOPED_TRACE(std::to_string(hi) + ":" + std::to_string(lo));
        Tree t;
        DiskImage img = sunimg::make_disk(t.fs);
        img.image.put32be(ino_field(img, t.etc, sunimg::ino_off::size_hi), hi);
        img.image.put32be(ino_field(img, t.etc, sunimg::ino_off::size), lo);
        Mount m(img);
        ASSERT_TRUE(m.ok());
        EXPECT_EQ(fs_namei("/etc/passwd"), 0u);
        EXPECT_EQ(fs_errno, FSE_TOOBIG);
        EXPECT_EQ(fs_opendir("/etc"), nullptr);
        EXPECT_EQ(fs_errno, FSE_TOOBIG);
        EXPECT_EQ(fs_namei("/etc"), t.etc);
    }
}

// ---------------------------------------------------------------------------
// Status by path
// ---------------------------------------------------------------------------

TEST_F(Lookup, StatByPath)
{
    Tree t;
    Mount m(sunimg::make_disk(t.fs));
    ASSERT_TRUE(m.ok());
    fs_statrec st{};
    st.st_dev = 0xDEADBEEF;
    ASSERT_EQ(fs_stat("/etc/passwd", &st), 0);
    EXPECT_EQ(st.st_ino, t.passwd);
    EXPECT_EQ(st.st_mode, IFREG | 0644);
    EXPECT_EQ(st.st_size, int32_t(std::strlen(Tree::kPasswd)));
    EXPECT_EQ(st.st_dev, 0xDEADBEEFu);
    ASSERT_EQ(fs_stat("//usr///", &st), 0);
    EXPECT_EQ(st.st_ino, t.usr);
    EXPECT_EQ(st.st_mode & IFMT, IFDIR);

    fs_statrec untouched{};
    untouched.st_size = 4711;
    EXPECT_EQ(fs_stat("/etc/nothere", &untouched), -1);
    EXPECT_EQ(fs_errno, FSE_NOENT);
    EXPECT_EQ(fs_stat("/etc/passwd/x", &untouched), -1);
    EXPECT_EQ(fs_errno, FSE_NOTDIR);
    EXPECT_EQ(untouched.st_size, 4711);
}

// ---------------------------------------------------------------------------
// Working directory
// ---------------------------------------------------------------------------

TEST_F(Lookup, ChdirSequences)
{
    Tree t;
    Mount m(sunimg::make_disk(t.fs));
    ASSERT_TRUE(m.ok());
    const std::string a = "<" + std::to_string(t.a) + ">";
    struct Case {
        std::string from;
        std::string path;
        std::string text;
        uint32_t ino;
    } cases[] = {
        {"/", "usr", "/usr", t.usr},
        {"/usr/lib", "../bin", "/usr/bin", t.bin},
        {"/usr", "..", "/", ROOT_INO},
        {"/", "..", "/", ROOT_INO},
        {"/usr", "/", "/", ROOT_INO},
        {"/usr/lib", ".", "/usr/lib", t.lib},
        {"/x", "a/./b", "/x/a/b", t.b},
        {"/", "//usr///lib/", "/usr/lib", t.lib},
        {"/usr/lib", "../../x/a/..", "/x", t.x},
        {"/x/a/b", "/usr/./share", "/usr/share", t.share},
        {"/usr", "", "/usr", t.usr},
        // The text follows the words, the inode follows the entries: the
        // ".." of /usr/lib is /usr, whatever name led there.
        {"/x", "alias/..", "/x", t.usr},
        // Below an inode named by number, ".." never climbs above it.
        {a + "/b", "../../b", a + "/b", t.b},
        {a + "/b", "../..", a, t.a},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.from + " + " + c.path);
        ASSERT_EQ(fs_chdir("/"), 0);
        ASSERT_EQ(fs_chdir(c.from.c_str()), 0);
        ASSERT_EQ(cwd_text(), c.from);
        EXPECT_EQ(fs_chdir(c.path.c_str()), 0);
        EXPECT_EQ(cwd_text(), c.text);
        EXPECT_EQ(m.fs()->cwd_ino, c.ino);
    }
}

TEST_F(Lookup, ChdirFailuresChangeNothing)
{
    Tree t;
    Mount m(sunimg::make_disk(t.fs));
    ASSERT_TRUE(m.ok());
    struct Case {
        const char* path;
        int err;
    } cases[] = {
        {"/etc/passwd", FSE_NOTDIR},
        {"../etc/passwd", FSE_NOTDIR},
        {"/bin", FSE_NOTDIR},
        {"/bin/", FSE_NOTDIR},
        {"/bin/x", FSE_NOTDIR},
        {"/nothere", FSE_NOENT},
        {"share/nothere/..", FSE_NOENT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        ASSERT_EQ(fs_chdir("/usr"), 0);
        fs_errno = FSE_OK;
        EXPECT_EQ(fs_chdir(c.path), -1);
        EXPECT_EQ(fs_errno, c.err);
        EXPECT_EQ(cwd_text(), "/usr");
        EXPECT_EQ(m.fs()->cwd_ino, t.usr);
    }
}

TEST_F(Lookup, WorkingDirectoryTextLimit)
{
    // /A/B/C is 768 characters; one more piece of 255 characters makes
    // 1023, one of 256 (a name of 255) makes 1024.
    const std::string A(255, 'a'), B(255, 'b'), C(255, 'c'), D(254, 'd'), E(255, 'e');
    sunimg::Ufs fs;
    const std::string abc = "/" + A + "/" + B + "/" + C;
    uint32_t c_ino = fs.dir(abc);
    uint32_t d_ino = fs.dir(abc + "/" + D);
    uint32_t e_ino = fs.dir(abc + "/" + E);
    Mount m(sunimg::make_disk(fs));
    ASSERT_TRUE(m.ok());

    const std::string d_path = abc + "/" + D;   // 1023 characters
    const std::string e_path = abc + "/" + E;   // 1024 characters
    ASSERT_EQ(d_path.size(), 1023u);
    ASSERT_EQ(e_path.size(), 1024u);

    // Paths: 1023 characters resolve, 1024 are refused whole.
    EXPECT_EQ(fs_namei(d_path.c_str()), d_ino);
    fs_errno = FSE_OK;
    EXPECT_EQ(fs_namei(e_path.c_str()), 0u);
    EXPECT_EQ(fs_errno, FSE_NAMETOOLONG);
    EXPECT_EQ(fs_namei(("/" + d_path).c_str()), 0u);
    EXPECT_EQ(fs_errno, FSE_NAMETOOLONG);
    std::string huge(5000, '/');
    EXPECT_EQ(fs_namei(huge.c_str()), 0u);
    EXPECT_EQ(fs_errno, FSE_NAMETOOLONG);

    // The working directory: 1023 characters are accepted...
    ASSERT_EQ(fs_chdir(d_path.c_str()), 0);
    EXPECT_EQ(cwd_text(), d_path);
    EXPECT_EQ(m.fs()->cwd_ino, d_ino);
    ASSERT_EQ(fs_chdir(".."), 0);
    EXPECT_EQ(cwd_text(), abc);
    EXPECT_EQ(m.fs()->cwd_ino, c_ino);

    // ...1024 are not, even though the short relative path resolves.
    EXPECT_EQ(fs_namei(E.c_str()), e_ino);
    fs_errno = FSE_OK;
    EXPECT_EQ(fs_chdir(E.c_str()), -1);
    EXPECT_EQ(fs_errno, FSE_NAMETOOLONG);
    EXPECT_EQ(cwd_text(), abc);
    EXPECT_EQ(m.fs()->cwd_ino, c_ino);
    fs_errno = FSE_OK;
    EXPECT_EQ(fs_chdir(e_path.c_str()), -1);
    EXPECT_EQ(fs_errno, FSE_NAMETOOLONG);
    EXPECT_EQ(cwd_text(), abc);

    ASSERT_EQ(fs_chdir(D.c_str()), 0);
    EXPECT_EQ(cwd_text(), d_path);
}

}  // namespace
