// The mount table, the superblock read, conversion and geometry check, the
// working-directory text, the superblock dump, and a disk made by other
// tools (makefs + sfdisk) read side by side with The Sleuth Kit.
#include "support/images.h"
#include "support/mounted.h"
#include "support/oracle.h"
#include "tools/sunimg.h"

#include "fslib/fslib.h"
#include "fslib/internal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using testimg::TempDir;

void utc()
{
    setenv("TZ", "UTC", 1);
    tzset();
}

// Releases, when it goes away, every file system and disk it was given:
// the tables are process-wide and must be empty between tests.
struct Held {
    std::vector<fsys*> mounts;
    std::vector<disk*> disks;
    ~Held() { release(); }
    disk* open(const std::string& path)
    {
        disk* d = disk_open(path.c_str());
        if (d)
            disks.push_back(d);
        return d;
    }
    fsys* mount(disk* d, int part, int flags = 0)
    {
        fsys* f = fs_mount(d, part, flags);
        if (f)
            mounts.push_back(f);
        return f;
    }
    void umount(fsys* f)
    {
        for (size_t i = 0; i < mounts.size(); i++) {
            if (mounts[i] == f) {
                mounts.erase(mounts.begin() + static_cast<std::ptrdiff_t>(i));
                fs_umount(f);
                return;
            }
        }
    }
    void release()
    {
        while (!mounts.empty()) {
            fs_umount(mounts.back());
            mounts.pop_back();
        }
        while (!disks.empty()) {
            disk_close(disks.back());
            disks.pop_back();
        }
    }
};

// The library's text for fs_errno, also when it holds a value the library
// never sets (a case that left it as the test set it).
const char* errtext()
{
    return fs_errno >= 0 && fs_errno < FSE_NERR ? fs_errlist[fs_errno] : "(status left as set)";
}

std::string dump_text(const fs_super* sb)
{
    char* buf = nullptr;
    size_t len = 0;
    FILE* f = open_memstream(&buf, &len);
    dump_super(f, sb);
    std::fclose(f);
    std::string s(buf, len);
    std::free(buf);
    return s;
}

// Number of mount slots still free, found by filling the table; leaves it
// as it was.
int free_mount_slots(disk* d)
{
    std::vector<fsys*> got;
    for (int i = 0; i <= NFSYS; i++) {
        fsys* f = fs_mount(d, 0, 0);
        if (!f)
            break;
        got.push_back(f);
    }
    for (fsys* f : got)
        fs_umount(f);
    return static_cast<int>(got.size());
}

// Byte offsets of superblock fields (checked against the record layout by
// the header's static assertions).
enum : uint32_t {
    SB_SIZE = 36, SB_NCG = 44, SB_BSIZE = 48, SB_FSIZE = 52, SB_BMASK = 72, SB_FMASK = 76, SB_BSHIFT = 80,
    SB_FSHIFT = 84, SB_FRAGSHIFT = 96, SB_FSBTODB = 100, SB_INOPB = 120,
    SB_CPG = 180, SB_IPG = 184, SB_FPG = 188, SB_MAGIC = 1372,
};

// The standard tree on a plain disk, built once for the whole file.
class Mount : public testimg::StandardDiskSuite {
protected:
    void TearDown() override
    {
        held.release();
        EXPECT_EQ(fs_current, nullptr) << "a test left a file system current";
    }

    Held held;
};

// ---------------------------------------------------------------------------
// Mount, current file system, working directory
// ---------------------------------------------------------------------------

TEST_F(Mount, FirstMountBecomesCurrentAndStartsAtTheRoot)
{
    disk* d = held.open(*path_);
    ASSERT_NE(d, nullptr);
    fs_errno = FSE_NOENT;
    fsys* a = held.mount(d, 0);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(fs_errno, FSE_NOENT) << "a successful mount leaves the status alone";
    EXPECT_EQ(a->handle, d->handle);
    EXPECT_EQ(a->label, d->label) << "the label is borrowed, not copied";
    EXPECT_EQ(a->part, 0);
    EXPECT_EQ(a->cwd_ino, ROOT_INO);
    EXPECT_STREQ(a->cwd, "/");
    EXPECT_EQ(fs_current, a);
    EXPECT_EQ(fs_getfs(), a);

    char buf[MAXPATHLEN_FS];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(fs_getcwd(buf), buf);
    EXPECT_EQ(buf[0], '/');
    for (int i = 1; i < MAXPATHLEN_FS; i++)
        ASSERT_EQ(buf[i], '\0') << "the copy fills all 1024 bytes; byte " << i;

    // The same partition again: a second slot; the first stays current.
    fsys* b = held.mount(d, 0);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(fs_current, a);
    EXPECT_NE(a->sb, b->sb);
    EXPECT_NE(a->cwd, b->cwd);

    // A working directory of the longest size that fits comes back whole.
    std::string deep(MAXPATHLEN_FS - 1, 'd');
    deep[0] = '/';
    std::memcpy(b->cwd, deep.c_str(), MAXPATHLEN_FS);
    EXPECT_EQ(fs_setfs(b), b);
    EXPECT_EQ(fs_current, b);
    EXPECT_EQ(fs_getcwd(buf), buf);
    EXPECT_EQ(std::string(buf), deep);

    // Releasing a file system that is not current changes nothing else.
    fs_errno = FSE_NOTDIR;
    EXPECT_EQ(fs_umount(a), 0);
    held.mounts.erase(held.mounts.begin());
    EXPECT_EQ(fs_current, b);
    EXPECT_EQ(a->handle, FS_NOHANDLE);
    EXPECT_EQ(a->sb, nullptr);
    EXPECT_EQ(a->cwd, nullptr);
    EXPECT_EQ(fs_errno, FSE_NOTDIR) << "fs_umount leaves the status alone";

    // Releasing the current one leaves none; the disk stays open.
    held.umount(b);
    EXPECT_EQ(fs_current, nullptr);
    EXPECT_EQ(fs_getfs(), nullptr);
    std::memset(buf, 'x', sizeof buf);
    fs_errno = FSE_SEEK;
    EXPECT_EQ(fs_getcwd(buf), nullptr);
    EXPECT_STREQ(buf, "No current fs");
    EXPECT_EQ(fs_errno, FSE_NOFS) << "fs_getcwd says why it has no text";

    fsys* c = held.mount(d, 0);
    ASSERT_NE(c, nullptr) << "the device is still open after the releases";
    EXPECT_EQ(c, a) << "the first free slot is taken again";
    EXPECT_EQ(fs_current, c);

    // fs_setfs to none, and back.
    EXPECT_EQ(fs_setfs(nullptr), nullptr);
    EXPECT_EQ(fs_getcwd(buf), nullptr);
    fs_setfs(c);
}

TEST_F(Mount, SeventeenthMountFails)
{
    disk* d = held.open(*path_);
    ASSERT_NE(d, nullptr);
    fsys* slots[NFSYS];
    for (int i = 0; i < NFSYS; i++) {
        slots[i] = held.mount(d, 0);
        ASSERT_NE(slots[i], nullptr) << i;
    }
    EXPECT_EQ(fs_current, slots[0]);
    fs_errno = 0;
    EXPECT_EQ(fs_mount(d, 0, 0), nullptr);
    EXPECT_EQ(fs_errno, FSE_NFILE);
    // Partition checks come first: a bad number still reads as such.
    EXPECT_EQ(fs_mount(d, 9, 0), nullptr);
    EXPECT_EQ(fs_errno, FSE_PART);

    held.umount(slots[5]);
    fsys* again = held.mount(d, 0);
    EXPECT_EQ(again, slots[5]);
    EXPECT_EQ(fs_current, slots[0]);
    EXPECT_EQ(fs_mount(d, 0, 0), nullptr);
    EXPECT_EQ(fs_errno, FSE_NFILE);
}

// ---------------------------------------------------------------------------
// Partition numbers and flags
// ---------------------------------------------------------------------------

struct PartCase {
    int part;
    int flags;
    int err;            // FSE_OK: mounts
    const char* fsmnt;  // on success: which file system it is
};

TEST(MountPartitions, NumbersFlagsAndEmptyPartitions)
{
    utc();
    // Disk A: partition 0 the standard tree, 1 another file system, 2 the
    // whole disk (so its superblock is partition 0's), 3 a start but no
    // blocks, 4 blocks but no file system.
    sunimg::FsOptions other;
    other.fsmnt = "/usr";
    sunimg::Ufs usr(other);
    usr.file("/readme", "usr\n");
    sunimg::Disk a;
    a.add_fs(0, testimg::standard_tree(), 0);
    a.add_fs(1, usr);
    a.add_partition(3, 7, 0);
    a.add_partition(4, 1, 64);
    sunimg::DiskImage ia = a.build();
    ASSERT_EQ(ia.label.part[2].cylno, 0);
    ASSERT_GT(ia.label.part[2].nblk, 0);
    // Disk B: partitions 1 and 2 empty.
    sunimg::DiskOptions bo;
    bo.whole_disk = false;
    sunimg::Disk b(bo);
    b.add_fs(0, testimg::standard_tree(), 0);
    sunimg::DiskImage ib = b.build();

    TempDir dir;
    std::string pa = testimg::write_disk(dir, ia, "a.img");
    std::string pb = testimg::write_disk(dir, ib, "b.img");

    const PartCase a_cases[] = {
        {0, 0, FSE_OK, "/"},
        {1, 0, FSE_PART, nullptr},
        {2, 0, FSE_PART, nullptr},
        {1, FS_MNT_ANYPART, FSE_OK, "/usr"},
        {2, FS_MNT_ANYPART, FSE_OK, "/"},
        {2, 2, FSE_PART, nullptr},          // only bit 0 means anything
        {2, 3, FSE_OK, "/"},
        {1, -1, FSE_OK, "/usr"},
        {3, 0, FSE_EMPTY, nullptr},
        {3, FS_MNT_ANYPART, FSE_EMPTY, nullptr},
        {4, 0, FSE_MAGIC, nullptr},
        {5, 0, FSE_EMPTY, nullptr},
        {8, 0, FSE_PART, nullptr},
        {-1, 0, FSE_PART, nullptr},
        {8, FS_MNT_ANYPART, FSE_PART, nullptr},
        {-1, FS_MNT_ANYPART, FSE_PART, nullptr},
        {INT_MAX, 0, FSE_PART, nullptr},
        {INT_MIN, 0, FSE_PART, nullptr},
    };
    const PartCase b_cases[] = {
        {0, 0, FSE_OK, "/"},
        {1, 0, FSE_EMPTY, nullptr},
        {2, 0, FSE_EMPTY, nullptr},
        {1, FS_MNT_ANYPART, FSE_EMPTY, nullptr},
        {2, FS_MNT_ANYPART, FSE_EMPTY, nullptr},
    };
    struct Set {
        const std::string* path;
        const PartCase* cases;
        size_t n;
    } sets[] = {{&pa, a_cases, std::size(a_cases)}, {&pb, b_cases, std::size(b_cases)}};

    for (const Set& s : sets) {
        Held held;
        disk* d = held.open(*s.path);
        ASSERT_NE(d, nullptr);
        for (size_t i = 0; i < s.n; i++) {
            const PartCase& c = s.cases[i];
            SCOPED_TRACE(*s.path + " part " + std::to_string(c.part) + " flags " + std::to_string(c.flags));
            fs_errno = 77;
            // Held unmounts in every path: a mount that should have been
            // refused fails its own case, not every later one.
            fsys* f = held.mount(d, c.part, c.flags);
            if (c.err == FSE_OK) {
                ASSERT_NE(f, nullptr) << errtext();
                EXPECT_EQ(fs_errno, 77);
                EXPECT_EQ(f->part, c.part);
                EXPECT_STREQ(f->sb->fs_fsmnt, c.fsmnt);
                EXPECT_EQ(fs_current, f);
            } else {
                EXPECT_EQ(f, nullptr);
                EXPECT_EQ(fs_errno, c.err) << errtext();
                EXPECT_EQ(fs_current, nullptr);
            }
            held.umount(f);
            EXPECT_EQ(free_mount_slots(d), NFSYS) << "a refused mount leaked its slot";
        }
    }
}

// ---------------------------------------------------------------------------
// Reading the superblock: seek and read failures, the magic number
// ---------------------------------------------------------------------------

// Copies of the standard file system placed far out on a sparse disk with
// 8 KB cylinders (1 head, 16 sectors), so that a superblock can sit right
// at the 2 GiB line; one past the image cannot be positioned.
TEST(MountFar, SuperblocksPast2GiBAndPast4GiBAreRead)
{
    sunimg::DiskOptions o;
    o.geom = {.nhead = 1, .nsect = 16};
    sunimg::DiskImage img = sunimg::make_disk(testimg::standard_tree(), 0, o);
    const sunimg::FsLayout& L = img.layout(0);
    std::vector<uint8_t> fsbytes = img.image.read(0, size_t(L.partition_bytes()));
    const int32_t nblk = img.label.part[0].nblk;
    struct Far {
        int part;
        int32_t cylno;   // 8 KB each
        int err;
    } const fars[] = {
        {3, 262142, FSE_OK},     // superblock ends exactly at 2 GiB
        {5, 393216, FSE_OK},     // 3 GiB
        {6, 524286, FSE_OK},     // superblock in the last 8 KB under 4 GiB
        {7, 600000, FSE_OK},     // past 4 GiB
        {4, 2000000, FSE_SEEK},  // past the end of the image
    };
    for (const Far& f : fars) {
        img.label.part[size_t(f.part)] = {f.cylno, nblk, 0, 0};
        if (f.err == FSE_OK)
            img.image.put_extent(uint64_t(f.cylno) * 8192, fsbytes);
    }
    ASSERT_GT(img.image.size(), uint64_t(1) << 32) << "every seek lands inside the image";
    img.rewrite_label();
    TempDir dir;
    std::string p = testimg::write_disk(dir, img);

    Held held;
    disk* d = held.open(p);
    ASSERT_NE(d, nullptr);
    for (const Far& f : fars) {
        SCOPED_TRACE("partition " + std::to_string(f.part));
        fs_errno = 0;
        fsys* m = fs_mount(d, f.part, 0);
        EXPECT_EQ(fs_errno, f.err) << fs_errlist[fs_errno];
        if (f.err == FSE_OK) {
            ASSERT_NE(m, nullptr);
            EXPECT_EQ(m->sb->fs_magic, FS_MAGIC);
            EXPECT_EQ(m->sb->fs_ncg, L.sb.ncg);
            fs_umount(m);
        } else {
            EXPECT_EQ(m, nullptr);
        }
        EXPECT_EQ(fs_current, nullptr);
        EXPECT_EQ(free_mount_slots(d), NFSYS);
    }
}

TEST_F(Mount, ShortSuperblockReadAndBadMagic)
{
    const uint64_t sboff = image_->superblock_offset(0);
    struct Case {
        const char* name;
        void (*damage)(sunimg::Image&, uint64_t sboff);
        int err;
    } const cases[] = {
        {"image ends at the superblock", [](sunimg::Image& i, uint64_t o) { i.resize(o); }, FSE_READ},
        {"image ends one byte short", [](sunimg::Image& i, uint64_t o) { i.resize(o + 8191); }, FSE_READ},
        {"image ends mid-superblock", [](sunimg::Image& i, uint64_t o) { i.resize(o + 4096); }, FSE_READ},
        {"image ends right after the superblock", [](sunimg::Image& i, uint64_t o) { i.resize(o + 8192); },
         FSE_OK},
        {"magic zero", [](sunimg::Image& i, uint64_t o) { i.put32be(o + SB_MAGIC, 0); }, FSE_MAGIC},
        // Read as a little-endian file system, whose other words then make
        // no geometry.
        {"magic little-endian",
         [](sunimg::Image& i, uint64_t o) {
             const uint8_t le[4] = {0x54, 0x19, 0x01, 0x00};
             i.put(o + SB_MAGIC, le, 4);
         },
         FSE_BADSB},
        {"magic off by one", [](sunimg::Image& i, uint64_t o) { i.put32be(o + SB_MAGIC, 0x011955); }, FSE_MAGIC},
        {"magic right, geometry wrong", [](sunimg::Image& i, uint64_t o) { i.put32be(o + SB_BSIZE, 1234); },
         FSE_BADSB},
        {"magic wrong and geometry wrong: the magic is checked first",
         [](sunimg::Image& i, uint64_t o) {
             i.put32be(o + SB_MAGIC, 0);
             i.put32be(o + SB_IPG, 0);
         },
         FSE_MAGIC},
    };
    Held held;
    disk* good = held.open(*path_);
    ASSERT_NE(good, nullptr);
    fsys* first = held.mount(good, 0);
    ASSERT_NE(first, nullptr);

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sunimg::DiskImage img = *image_;
        c.damage(img.image, sboff);
        TempDir dir;
        std::string p = testimg::write_disk(dir, img);
        disk* d = held.open(p);
        ASSERT_NE(d, nullptr);
        fs_errno = 0;
        fsys* f = held.mount(d, 0);
        EXPECT_EQ(fs_errno, c.err) << fs_errlist[fs_errno];
        EXPECT_EQ(f != nullptr, c.err == FSE_OK);
        EXPECT_EQ(fs_current, first) << "a mount never moves the current file system";
        held.release();
        good = held.open(*path_);
        first = held.mount(good, 0);
        ASSERT_EQ(free_mount_slots(good), NFSYS - 1);
    }
}

// ---------------------------------------------------------------------------
// Geometry check
// ---------------------------------------------------------------------------

struct Patch {
    uint32_t off;
    int32_t value;
};
struct GeoCase {
    const char* name;
    std::vector<Patch> patches;
    int err;
};

TEST_F(Mount, RefusesGeometriesTheReadsCannotHandle)
{
    ASSERT_EQ(image_->layout(0).sb.bsize, 8192);
    ASSERT_EQ(image_->layout(0).sb.fsize, 1024);
    const auto& sb = image_->layout(0).sb;
    const GeoCase cases[] = {
        {"as built", {}, FSE_OK},
        {"fragments of 512 bytes, shifts to match",
         {{SB_FSIZE, 512}, {SB_FMASK, ~511}, {SB_FSBTODB, 0}, {SB_FRAGSHIFT, 4}}, FSE_OK},
        {"fragments of a whole block, shifts to match",
         {{SB_FSIZE, 8192}, {SB_FMASK, ~8191}, {SB_FSBTODB, 4}, {SB_FRAGSHIFT, 0}, {SB_SIZE, sb.size / 8},
          {SB_FPG, sb.fpg / 8}},
         FSE_OK},
        {"4096-byte blocks, shifts to match",
         {{SB_BSIZE, 4096}, {SB_BMASK, ~4095}, {SB_BSHIFT, 12}, {SB_FRAGSHIFT, 2}, {SB_INOPB, 32}}, FSE_OK},
        {"bsize 16384, shifts to match",
         {{SB_BSIZE, 16384}, {SB_BMASK, ~16383}, {SB_BSHIFT, 14}, {SB_FRAGSHIFT, 4}}, FSE_BADSB},
        {"bsize 2048, shifts to match",
         {{SB_BSIZE, 2048}, {SB_BMASK, ~2047}, {SB_BSHIFT, 11}, {SB_FRAGSHIFT, 1}}, FSE_BADSB},
        {"bsize 4096 alone", {{SB_BSIZE, 4096}}, FSE_BADSB},
        {"bsize 0", {{SB_BSIZE, 0}}, FSE_BADSB},
        {"bsize negative", {{SB_BSIZE, -8192}}, FSE_BADSB},
        {"bsize 8193", {{SB_BSIZE, 8193}}, FSE_BADSB},
        {"fsize not a power of two", {{SB_FSIZE, 1536}}, FSE_BADSB},
        {"fsize 3072, fmask to match", {{SB_FSIZE, 3072}, {SB_FMASK, ~3071}}, FSE_BADSB},
        {"fsize 256, shifts to match", {{SB_FSIZE, 256}, {SB_FMASK, ~255}, {SB_FSBTODB, 0}, {SB_FRAGSHIFT, 5}},
         FSE_BADSB},
        {"fsize above bsize", {{SB_FSIZE, 16384}, {SB_FMASK, ~16383}, {SB_FSBTODB, 5}, {SB_FRAGSHIFT, 0}},
         FSE_BADSB},
        {"fsize 0", {{SB_FSIZE, 0}}, FSE_BADSB},
        {"fsize negative", {{SB_FSIZE, -1024}}, FSE_BADSB},
        {"fsize INT_MIN", {{SB_FSIZE, INT32_MIN}}, FSE_BADSB},
        {"bshift off", {{SB_BSHIFT, 12}}, FSE_BADSB},
        {"bshift huge", {{SB_BSHIFT, 45}}, FSE_BADSB},
        {"bmask off", {{SB_BMASK, ~4095}}, FSE_BADSB},
        {"bmask zero", {{SB_BMASK, 0}}, FSE_BADSB},
        {"fmask off", {{SB_FMASK, ~2047}}, FSE_BADSB},
        {"fsbtodb off", {{SB_FSBTODB, 0}}, FSE_BADSB},
        {"fsbtodb huge", {{SB_FSBTODB, 40}}, FSE_BADSB},
        {"fsbtodb negative", {{SB_FSBTODB, -1}}, FSE_BADSB},
        {"fragshift off", {{SB_FRAGSHIFT, 2}}, FSE_BADSB},
        {"fragshift huge", {{SB_FRAGSHIFT, 35}}, FSE_BADSB},
        {"fs_ipg zero", {{SB_IPG, 0}}, FSE_BADSB},
        {"fs_inopb zero", {{SB_INOPB, 0}}, FSE_BADSB},
        {"fs_fpg zero", {{SB_FPG, 0}}, FSE_BADSB},
        {"fs_cpg zero is only the dump's business", {{SB_CPG, 0}}, FSE_OK},
        {"fs_ncg 2^31-1", {{SB_NCG, INT32_MAX}}, FSE_BADSB},
        {"fs_ncg zero", {{SB_NCG, 0}}, FSE_BADSB},
        {"fs_size past the partition", {{SB_SIZE, INT32_MAX}}, FSE_BADSB},
        {"fs_ipg more than a group's map holds", {{SB_IPG, 8192 * 8 + 1}}, FSE_BADSB},
        {"fs_fpg more than a group's map holds", {{SB_FPG, 8192 * 8 + 1}}, FSE_BADSB},
        {"fs_inopb not the block's inodes", {{SB_INOPB, 1}}, FSE_BADSB},
    };
    const uint64_t sboff = image_->superblock_offset(0);
    TempDir dir;
    for (const GeoCase& c : cases) {
        SCOPED_TRACE(c.name);
        sunimg::DiskImage img = *image_;
        for (const Patch& p : c.patches)
            img.image.put32be(sboff + p.off, uint32_t(p.value));
        std::string p = testimg::write_disk(dir, img);
        Held held;
        disk* d = held.open(p);
        ASSERT_NE(d, nullptr);
        fs_errno = 0;
        fsys* f = held.mount(d, 0);
        EXPECT_EQ(fs_errno, c.err) << fs_errlist[fs_errno];
        EXPECT_EQ(f != nullptr, c.err == FSE_OK);
        EXPECT_EQ(fs_current, f);
        if (f) {
            EXPECT_EQ(dump_text(f->sb).substr(0, 3), "0\tl");   // the dump never divides by zero
        }
        held.release();
        disk* g = held.open(*path_);
        EXPECT_EQ(free_mount_slots(g), NFSYS);
        held.release();
    }
    EXPECT_STREQ(fs_errlist[FSE_BADSB], "Bad superblock");
}

// Every geometry the builder can make mounts, and the converted superblock
// holds exactly the values it wrote.
TEST(MountGeometry, BuilderGeometriesMountWithTheirValues)
{
    struct G {
        int32_t bsize, fsize;
        bool stagger;
    } const geos[] = {
        {8192, 1024, true}, {8192, 2048, true}, {8192, 4096, false}, {8192, 8192, true},
        {4096, 512, true},  {4096, 1024, false}, {4096, 2048, true}, {4096, 4096, true},
    };
    TempDir dir;
    for (const G& g : geos) {
        SCOPED_TRACE(std::to_string(g.bsize) + "/" + std::to_string(g.fsize));
        sunimg::FsOptions o;
        o.bsize = g.bsize;
        o.fsize = g.fsize;
        o.stagger = g.stagger;
        o.cpg = 8;
        sunimg::DiskImage img = sunimg::make_disk(testimg::standard_tree(o));
        const sunimg::Super& s = img.layout(0).sb;
        std::string p = testimg::write_disk(dir, img);
        Held held;
        disk* d = held.open(p);
        ASSERT_NE(d, nullptr);
        fsys* f = held.mount(d, 0);
        ASSERT_NE(f, nullptr) << fs_errlist[fs_errno];
        const fs_super* sb = f->sb;
        const int32_t want[] = {s.sblkno, s.cblkno, s.iblkno, s.dblkno, s.cgoffset, s.cgmask, s.time,
                                s.size, s.dsize, s.ncg, s.bsize, s.fsize, s.frag, s.minfree, s.rotdelay,
                                s.rps, s.bmask, s.fmask, s.bshift, s.fshift, s.maxcontig, s.maxbpg,
                                s.fragshift, s.fsbtodb, s.sbsize, s.csmask, s.csshift, s.nindir, s.inopb,
                                s.nspf, s.optim, s.npsect, s.interleave, s.trackskew};
        const int32_t* got = &sb->fs_sblkno;
        for (size_t i = 0; i < std::size(want); i++)
            EXPECT_EQ(got[i], want[i]) << "word at byte " << 8 + 4 * i;
        EXPECT_EQ(sb->fs_csaddr, s.csaddr);
        EXPECT_EQ(sb->fs_cssize, s.cssize);
        EXPECT_EQ(sb->fs_cgsize, s.cgsize);
        EXPECT_EQ(sb->fs_ntrak, s.ntrak);
        EXPECT_EQ(sb->fs_nsect, s.nsect);
        EXPECT_EQ(sb->fs_spc, s.spc);
        EXPECT_EQ(sb->fs_ncyl, s.ncyl);
        EXPECT_EQ(sb->fs_cpg, s.cpg);
        EXPECT_EQ(sb->fs_ipg, s.ipg);
        EXPECT_EQ(sb->fs_fpg, s.fpg);
        EXPECT_EQ(sb->fs_cstotal.cs_ndir, s.ndir);
        EXPECT_EQ(sb->fs_cstotal.cs_nbfree, s.nbfree);
        EXPECT_EQ(sb->fs_cstotal.cs_nifree, s.nifree);
        EXPECT_EQ(sb->fs_cstotal.cs_nffree, s.nffree);
        EXPECT_EQ(sb->fs_cpc, s.cpc);
        EXPECT_EQ(sb->fs_nrpos, s.nrpos);
        EXPECT_EQ(sb->fs_postbloff, s.postbloff);
        EXPECT_EQ(sb->fs_rotbloff, s.rotbloff);
        EXPECT_EQ(sb->fs_qbmask[0], 0);
        EXPECT_EQ(sb->fs_qbmask[1], ~s.bmask);
        EXPECT_EQ(sb->fs_qfmask[1], ~s.fmask);
        EXPECT_EQ(sb->fs_magic, FS_MAGIC);
    }
}

// ---------------------------------------------------------------------------
// super_swap
// ---------------------------------------------------------------------------

TEST(SuperSwap, ConvertsExactlyTheListedWords)
{
    alignas(8) uint8_t buf[8192];
    for (size_t i = 0; i < sizeof buf; i++)
        buf[i] = static_cast<uint8_t>(i * 31 + 7);
    uint8_t before[8192];
    std::memcpy(before, buf, sizeof buf);
    auto* sb = reinterpret_cast<fs_super*>(buf);
    EXPECT_EQ(super_swap(sb), FSE_MAGIC);

    std::vector<bool> swapped(8192, false);
    for (uint32_t off = 8; off <= 204; off += 4)
        swapped[off] = true;
    swapped[724] = swapped[856] = swapped[1320] = swapped[1324] = true;
    for (uint32_t off = 1340; off <= 1372; off += 4)
        swapped[off] = true;
    for (uint32_t off = 0; off < 8192; off += 4) {
        for (uint32_t k = 0; k < 4; k++) {
            uint8_t want = swapped[off] ? before[off + 3 - k] : before[off + k];
            ASSERT_EQ(buf[off + k], want) << "byte " << off + k;
        }
    }

    // The magic decides the result, after the conversion.
    std::memset(buf, 0, sizeof buf);
    sunimg::put32be(buf + SB_MAGIC, FS_MAGIC);
    EXPECT_EQ(super_swap(sb), FSE_OK);
    EXPECT_EQ(sb->fs_magic, FS_MAGIC);
    std::memset(buf, 0, sizeof buf);
    const uint8_t le[4] = {0x54, 0x19, 0x01, 0x00};
    std::memcpy(buf + SB_MAGIC, le, 4);
    EXPECT_EQ(super_swap(sb), FSE_MAGIC);
}

// ---------------------------------------------------------------------------
// dump_super
// ---------------------------------------------------------------------------

// A superblock with a distinct value in every dumped field, as a Sun would
// have written it (big-endian), then converted as the mount converts it.
std::vector<uint8_t> sample_super()
{
    std::vector<uint8_t> b(8192, 0);
    auto w = [&](uint32_t off, uint32_t v) { sunimg::put32be(b.data() + off, v); };
    const uint8_t link[4] = {0x12, 0x34, 0x56, 0x78};
    std::memcpy(b.data() + 0, link, 4);
    w(4, 1);                                 // fs_rlink, stored 00 00 00 01
    const uint32_t words[] = {
        16, 24, 32, 544, 32, 0xfffffff0, 700086400, 40960, 39000, 5,   // sblkno .. ncg
        8192, 1024, 8, 10, 4, 60, 0xffffe000, 0xfffffc00, 13, 10,      // bsize .. fshift
        1, 2048, 3, 1, 2048, 0xfffffc00, 3, 2048, 64, 2,               // maxcontig .. nspf
        0, 32, 1, 0, 0x29b9b680, 0x3f1c5a07, 552, 1024, 2048, 16,      // optim .. ntrak
        32, 512, 80, 16, 1024, 8192, 7, 4000, 5000, 12,                // nsect .. nffree
    };
    for (size_t i = 0; i < std::size(words); i++)
        w(8 + 4 * uint32_t(i), words[i]);
    b[208] = 0x01;   // fs_fmod
    b[209] = 0xFE;   // fs_clean
    b[210] = 0x00;   // fs_ronly
    b[211] = 0x80;   // fs_flags
    std::memcpy(b.data() + 212, "/export/home", 12);
    w(724, 3);
    w(856, 16);
    w(1340, 0);
    w(1344, 0x1fff);
    w(1348, 0x12);
    w(1352, 0x3ff);
    w(1356, 1);
    w(1360, 8);
    w(1364, 1248);
    w(1368, 1376);
    w(1372, FS_MAGIC);
    return b;
}

const char* const sample_super_text =
    "78563412\tlinked list of file systems\n"
    "1000000\tused for incore super blocks\n"
    "10\taddr of super-block in filesys\n"
    "18\toffset of cyl-block in filesys\n"
    "20\toffset of inode-blocks in filesys\n"
    "220\toffset of first data after cg\n"
    "20\tcylinder group offset in cylinder\n"
    "fffffff0\tused to calc mod fs_ntrak\n"
    "last time written:\tSun Mar  8 20:26:40 1992\n"
    "40960\tnumber of blocks in fs (41943040 b, 40960 Kb, 40 Mb)\n"
    "39000\tnumber of data blocks in fs (39936000 b, 39000 Kb, 38 Mb) \n"
    "5\tnumber of cylinder groups\n"
    "8192\tsize of basic blocks in fs\n"
    "1024\tsize of frag blocks in fs\n"
    "8\tnumber of frags in a block in fs\n"
    "10\tminimum percentage of free blocks\n"
    "4\tnum of ms for optimal next block\n"
    "60\tdisk revolutions per second\n"
    "ffffe000\t``blkoff'' calc of blk offsets\n"
    "fffffc00\t``fragoff'' calc of frag offsets\n"
    "d\t``lblkno'' calc of logical blkno\n"
    "a\t``numfrags'' calc number of frags\n"
    "1\tmax number of contiguous blks\n"
    "2048\tmax number of blks per cyl group\n"
    "3\tblock to frag shift\n"
    "1\tfsbtodb and dbtofsb shift constant\n"
    "2048\tactual size of super block\n"
    "fffffc00\tcsum block offset\n"
    "3\tcsum block number\n"
    "2048\tvalue of NINDIR\n"
    "64\tvalue of INOPB\n"
    "2\tvalue of NSPF\n"
    "0\toptimization preference, see below\n"
    "32\t# sectors\n"
    "1\thardware sector interleave\n"
    "0\tsector 0 skew, per track\n"
    "29b9b680 3f1c5a07\tfile system id\n"
    "228\tblk addr of cyl grp summary area\n"
    "1024\tsize of cyl grp summary area\n"
    "2048\tcylinder group size\n"
    "16\ttracks per cylinder\n"
    "32\tsectors per track\n"
    "512\tsectors per cylinder (16*32=512)\n"
    "80\tcylinders in file system\n"
    "16\tcylinders per group\n"
    "\t\tThis makes 80/16=5 cg\n"
    "1024\tinodes per group\n"
    "\t\tThis makes 80/16*1024=5120 inodes\n"
    "8192\tblocks per group * fs_frag\n"
    "\t7\tnumber of directories\n"
    "\t4000\tnumber of free blocks\n"
    "\t5000\tnumber of free inodes\n"
    "\t12\tnumber of free frags\n"
    "1\tsuper block modified flag\n"
    "fffffffe\tfile system is clean flag\n"
    "0\tmounted read-only flag\n"
    "ffffff80\tcurrently unused flag\n"
    "last mounted on\t/export/home\n"
    "3\tlast cg searched\n"
    "10\tcyl per cycle in postbl\n"
    "0\t~fs_bmask - for use with quad size\n"
    "12\t~fs_fmask - for use with quad size\n"
    "1\tformat of positional layout tables\n"
    "8\tnumber of rotaional positions\n"
    "1248\t(short) rotation block list head\n"
    "1376\t(u_char) blocks for each rotation\n"
    "0x11954\tmagic number (should be 0x11954)\n";

TEST(DumpSuper, ExactText)
{
    utc();
    std::vector<uint8_t> b = sample_super();
    alignas(8) uint8_t buf[8192];
    std::memcpy(buf, b.data(), sizeof buf);
    auto* sb = reinterpret_cast<fs_super*>(buf);
    ASSERT_EQ(super_swap(sb), FSE_OK);
    EXPECT_EQ(dump_text(sb), sample_super_text);
}

TEST(DumpSuper, ZeroCylindersPerGroupAndOtherHostileValues)
{
    utc();
    std::vector<uint8_t> b = sample_super();
    alignas(8) uint8_t buf[8192];
    std::memcpy(buf, b.data(), sizeof buf);
    auto* sb = reinterpret_cast<fs_super*>(buf);
    ASSERT_EQ(super_swap(sb), FSE_OK);

    sb->fs_cpg = 0;
    std::string out = dump_text(sb);
    EXPECT_NE(out.find("0\tcylinders per group\n\t\tThis makes 80/0="), std::string::npos) << out;
    EXPECT_NE(out.find("1024\tinodes per group\n\t\tThis makes 80/0*1024="), std::string::npos);
    EXPECT_NE(out.find("0x11954\tmagic number"), std::string::npos) << "the dump ran to its end";

    // Overflowing figures wrap; INT_MIN / -1 does not trap.
    sb->fs_ncyl = INT32_MIN;
    sb->fs_cpg = -1;
    sb->fs_ipg = INT32_MAX;
    sb->fs_ntrak = INT32_MAX;
    sb->fs_nsect = INT32_MAX;
    sb->fs_size = INT32_MAX;
    sb->fs_dsize = -1;
    sb->fs_fsbtodb = 31;
    out = dump_text(sb);
    EXPECT_NE(out.find("\t\tThis makes -2147483648/-1="), std::string::npos);
    EXPECT_NE(out.find("2147483647\tnumber of blocks in fs ("), std::string::npos);
    EXPECT_NE(out.find("4294967295\tnumber of data blocks in fs ("), std::string::npos);

    // A mount point filling its 512 bytes prints exactly those bytes.
    std::memset(sb->fs_fsmnt, 'm', sizeof sb->fs_fsmnt);
    out = dump_text(sb);
    EXPECT_NE(out.find("last mounted on\t" + std::string(512, 'm') + "\n3\tlast cg searched\n"),
              std::string::npos);
}

// ---------------------------------------------------------------------------
// A disk made by makefs and sfdisk, checked against The Sleuth Kit
// ---------------------------------------------------------------------------

int64_t num(const std::map<std::string, std::string>& keys, const std::string& k)
{
    auto it = keys.find(k);
    if (it == keys.end()) {
        ADD_FAILURE() << "fsstat printed no \"" << k << "\"";
        return -1;
    }
    return std::stoll(it->second);
}

TEST(MountOracle, MakefsDiskAgreesWithMmlsAndFsstat)
{
    REQUIRE_TOOL("makefs");
    REQUIRE_TOOL("sfdisk");
    REQUIRE_TOOL("mmls");
    REQUIRE_TOOL("fsstat");
    utc();
    struct G {
        int bsize, fsize;
        const char* size;
    } const geos[] = {{8192, 1024, "16m"}, {8192, 2048, "12m"}, {4096, 512, "6m"}, {8192, 8192, "20m"}};
    for (const G& g : geos) {
        SCOPED_TRACE(std::to_string(g.bsize) + "/" + std::to_string(g.fsize));
        TempDir dir;
        std::string src = dir.file("src");
        testimg::make_host_tree(src, {{"etc/passwd", "root:*:0:1::/:/bin/sh\n"},
                                      {"usr/share/doc/README", std::string(30000, 'r')},
                                      {"tmp/", ""}});
        testimg::MakefsDisk md = testimg::makefs_sun_disk(src, dir.file("disk.img"),
                                                          {.size = g.size, .bsize = g.bsize, .fsize = g.fsize});

        Held held;
        disk* d = held.open(md.path);
        ASSERT_NE(d, nullptr) << fs_errlist[fs_errno];
        const dk_label* l = d->label;

        // The label against mmls: the same partitions, starts and lengths.
        auto rows = oracle::parse_mmls(oracle::mmls(md.path).out);
        std::vector<std::pair<uint64_t, uint64_t>> theirs, ours;
        for (const auto& r : rows)
            if (r.slot != "-------")
                theirs.emplace_back(r.start, r.length);
        for (int i = 0; i < NDKMAP; i++)
            if (l->dkl_map[i].dkl_nblk != 0)
                ours.emplace_back(part_start_sectors(l, i), uint64_t(uint32_t(l->dkl_map[i].dkl_nblk)));
        std::sort(theirs.begin(), theirs.end());
        std::sort(ours.begin(), ours.end());
        EXPECT_EQ(ours, theirs);
        EXPECT_EQ(l->dkl_map[0].dkl_nblk, int32_t(md.part_sectors));
        EXPECT_EQ(l->dkl_map[2].dkl_nblk, int32_t(md.disk_sectors));
        EXPECT_EQ(uint64_t(l->dkl_ncyl) * l->dkl_nhead * l->dkl_nsect, md.disk_sectors);

        // The superblock against fsstat.
        fsys* f = held.mount(d, 0);
        ASSERT_NE(f, nullptr) << fs_errlist[fs_errno];
        const fs_super* sb = f->sb;
        oracle::Result st = oracle::fsstat(md.path, part_start_sectors(l, 0));
        ASSERT_TRUE(st.ok()) << st.err;
        auto keys = oracle::parse_keys(st.out);
        EXPECT_EQ(keys["File System Type"], "UFS 1");
        EXPECT_EQ(num(keys, "Block Size"), sb->fs_bsize);
        EXPECT_EQ(num(keys, "Fragment Size"), sb->fs_fsize);
        EXPECT_EQ(sb->fs_bsize, g.bsize);
        EXPECT_EQ(sb->fs_fsize, g.fsize);
        EXPECT_EQ(num(keys, "Number of Cylinder Groups"), sb->fs_ncg);
        EXPECT_EQ(num(keys, "Inodes per group"), sb->fs_ipg);
        EXPECT_EQ(num(keys, "Fragments per group"), sb->fs_fpg);
        EXPECT_EQ(num(keys, "Num of Directories"), sb->fs_cstotal.cs_ndir);
        EXPECT_EQ(num(keys, "Num of Avail Inodes"), sb->fs_cstotal.cs_nifree);
        EXPECT_EQ(num(keys, "Num of Avail Full Blocks"), sb->fs_cstotal.cs_nbfree);
        EXPECT_EQ(num(keys, "Num of Avail Fragments"), sb->fs_cstotal.cs_nffree);
        EXPECT_EQ(keys["Fragment Range"], "0 - " + std::to_string(sb->fs_size - 1));
        EXPECT_EQ(keys["Last Written"], oracle::tsk_time(sb->fs_time));
        EXPECT_EQ(int64_t(sb->fs_size) * sb->fs_fsize, int64_t(md.fs_bytes));

        // The dumps print those same values.
        std::string out = dump_text(sb);
        time_t t = sb->fs_time;
        EXPECT_NE(out.find(std::string("last time written:\t") + std::ctime(&t)), std::string::npos);
        EXPECT_NE(out.find(std::to_string(g.bsize) + "\tsize of basic blocks in fs\n" + std::to_string(g.fsize) +
                           "\tsize of frag blocks in fs\n"),
                  std::string::npos);
        EXPECT_NE(out.find(std::to_string(sb->fs_ncg) + "\tnumber of cylinder groups\n"), std::string::npos);
        EXPECT_NE(out.find(std::to_string(sb->fs_ipg) + "\tinodes per group\n"), std::string::npos);
    }
}

}  // namespace

// A partition that starts at 4 GiB or beyond would wrap round to the start
// of the device in 32 bits, where partition 0's superblock lies: that must
// be a seek error, never a silent mount of the wrong file system.
TEST(MountFar, PartitionPast4GiBDoesNotWrapOntoAnother)
{
    sunimg::DiskOptions o;
    o.geom = {.nhead = 1, .nsect = 16};
    sunimg::DiskImage img = sunimg::make_disk(testimg::standard_tree(), 0, o);
    const int32_t nblk = img.label.part[0].nblk;
    img.label.part[3] = {524288, nblk, 0, 0};        // exactly 4 GiB
    img.label.part[4] = {524288 + 1, nblk, 0, 0};    // 4 GiB + 8 KB
    img.rewrite_label();
    TempDir dir;
    std::string p = testimg::write_disk(dir, img);

    Held held;
    disk* d = held.open(p);
    ASSERT_NE(d, nullptr);
    for (int part : {3, 4}) {
        fs_errno = 0;
        EXPECT_EQ(fs_mount(d, part, 0), nullptr) << part;
        EXPECT_EQ(fs_errno, FSE_SEEK) << part;
    }
    fsys* m = fs_mount(d, 0, 0);   // partition 0 itself still mounts
    ASSERT_NE(m, nullptr);
    fs_umount(m);
}
