// Inodes: where each one lies on the device (across cylinder groups, fragment
// sizes and partition starts), the two forms of the inode pointer, the
// conversion, the status record built from an inode, and the two dumps.
#include "support/bytes.h"
#include "support/images.h"
#include "support/mounted.h"
#include "support/oracle.h"
#include "tools/sunimg.h"

#include "fslib/fslib.h"
#include "fslib/internal.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

// <sys/stat.h> (pulled in by the test headers) turns these names into
// host-record macros; the library's status record uses them plainly.
#undef st_atime
#undef st_mtime
#undef st_ctime

namespace {

using testimg::TempDir;

void utc()
{
    setenv("TZ", "UTC", 1);
    tzset();
}

// An image file opened and one partition mounted; released on destruction
// so that no slot outlives the test.
struct Mounted {
    disk* d = nullptr;
    fsys* f = nullptr;
    Mounted(const std::string& path, int part, int flags = 0)
    {
        d = disk_open(path.c_str());
        if (d)
            f = fs_mount(d, part, flags);
    }
    ~Mounted()
    {
        if (f)
            fs_umount(f);
        if (d)
            disk_close(d);
    }
    Mounted(const Mounted&) = delete;
    Mounted& operator=(const Mounted&) = delete;
};

template <typename T>
std::string capture(int (*fn)(FILE*, const T*), const T* rec)
{
    char* buf = nullptr;
    size_t len = 0;
    FILE* f = open_memstream(&buf, &len);
    fn(f, rec);
    std::fclose(f);
    std::string s(buf, len);
    std::free(buf);
    return s;
}

// ---------------------------------------------------------------------------
// The inode address
// ---------------------------------------------------------------------------

struct AddrGeo {
    int32_t bsize, fsize;
    bool stagger;
    uint32_t ncg = 4;
    int32_t cpg = 4;
};

// Inodes spread over cylinder groups, two inode blocks per group, in a
// partition that does not start at cylinder 0.  Every inode read must come
// from the very bytes where the builder put that inode.  With 16 heads the
// stagger repeats every 16 groups, so only a file system of 17 groups or
// more tells the group number from the stagger's share of it.
TEST(InodeAddress, MatchesTheBuilderAcrossGroupsAndFragmentSizes)
{
    const AddrGeo geos[] = {
        {8192, 1024, true}, {8192, 2048, true}, {8192, 8192, true},
        {8192, 1024, false}, {4096, 512, true}, {8192, 1024, true, 18, 2},
    };
    for (const AddrGeo& g : geos) {
        SCOPED_TRACE(std::to_string(g.bsize) + "/" + std::to_string(g.fsize) +
                     (g.stagger ? " staggered" : " unstaggered"));
        sunimg::FsOptions o;
        o.bsize = g.bsize;
        o.fsize = g.fsize;
        o.stagger = g.stagger;
        o.cpg = g.cpg;
        const uint32_t inopb = uint32_t(g.bsize) / 128;
        const uint32_t ipg = 2 * inopb;
        o.ipg = int32_t(ipg);
        sunimg::Ufs fs(o);
        std::vector<uint32_t> inos = {2};
        for (uint32_t cg = 0; cg < g.ncg; cg++) {
            for (uint32_t k : {0u, 1u, 3u, inopb, inopb + 2, ipg - 1}) {
                uint32_t ino = cg * ipg + k;
                if (ino < 3)
                    continue;
                fs.add_file(fs.root(), "f" + std::to_string(ino), "inode " + std::to_string(ino) + "\n",
                            {.uid = uint16_t(ino), .mtime = int32_t(1000000 + ino), .ino = ino});
                inos.push_back(ino);
            }
        }
        sunimg::DiskOptions dopt;
        sunimg::Disk dk(dopt);
        dk.add_partition(0, 0, 3 * 512);
        sunimg::FsLayout L = dk.add_fs(3, fs, 3);
        sunimg::DiskImage img = dk.build();
        ASSERT_GE(uint32_t(L.sb.ncg), g.ncg);
        if (g.stagger) {
            ASSERT_NE(L.sb.cgoffset, 0);
        }
        TempDir dir;
        std::string path = testimg::write_disk(dir, img);
        Mounted m(path, 3);
        ASSERT_NE(m.f, nullptr) << fs_errlist[fs_errno];

        for (uint32_t ino : inos) {
            SCOPED_TRACE("inode " + std::to_string(ino));
            const uint64_t at = img.inode_offset(3, ino);
            const uint64_t aligned = at & ~uint64_t(511);
            const std::vector<uint8_t> raw = img.image.read(aligned, 8192);

            // Caller's own place: the buffer holds the device bytes as
            // read, the place the converted inode.
            alignas(8) uint8_t buf[IBUFSIZE];
            dinode mine;
            dinode* p = &mine;
            ASSERT_EQ(fs_iget(m.f, ino, buf, &p), 0) << fs_errlist[fs_errno];
            EXPECT_EQ(p, &mine);
            if (ino == 2) {
                EXPECT_EQ(mine.di_mode & IFMT, IFDIR);
            } else {
                EXPECT_EQ(mine.di_mode, IFREG | 0644);
                EXPECT_EQ(mine.di_uid, uint16_t(ino));
                EXPECT_EQ(mine.di_mtime, int32_t(1000000 + ino));
                const std::string text = "inode " + std::to_string(ino) + "\n";
                EXPECT_EQ(mine.di_size, int32_t(text.size()));
                FS_FILE* f = fs_fopen_ino(ino);
                ASSERT_NE(f, nullptr) << fs_errlist[fs_errno];
                char got[64];
                uint32_t n = fs_fread(got, 1, sizeof got, f);
                fs_fclose(f);
                EXPECT_EQ(std::string(got, n), text);
            }

            // Null pointer: the inode is converted in place in the buffer.
            alignas(8) uint8_t buf2[IBUFSIZE];
            dinode* q = nullptr;
            ASSERT_EQ(fs_iget(m.f, ino, buf2, &q), 0);
            EXPECT_EQ(reinterpret_cast<uint8_t*>(q), buf2 + at % 512);
            // the sector as read, around the inode converted in place
            const size_t in = at % 512;
            ASSERT_EQ(std::memcmp(buf2, raw.data(), in), 0) << "read from the wrong place";
            ASSERT_EQ(std::memcmp(buf2 + in + 128, raw.data() + in + 128, 512 - in - 128), 0);
            EXPECT_EQ(at % 512, (ino % 4) * 128);
            EXPECT_EQ(std::memcmp(q, &mine, sizeof mine), 0);
        }
    }
}

TEST(InodeAddress, RootInodeLiesAtByte256OfTheBuffer)
{
    for (int32_t fsize : {512, 1024, 2048, 4096}) {
        sunimg::FsOptions o;
        o.bsize = 4096;
        o.fsize = fsize;
        sunimg::Ufs fs = testimg::standard_tree(o);
        sunimg::DiskImage img = sunimg::make_disk(fs);
        TempDir dir;
        Mounted m(testimg::write_disk(dir, img), 0);
        ASSERT_NE(m.f, nullptr);
        alignas(8) uint8_t buf[IBUFSIZE];
        std::memset(buf, 0xAA, sizeof buf);
        dinode* p = nullptr;
        ASSERT_EQ(fs_iget(m.f, ROOT_INO, buf, &p), 0);
        EXPECT_EQ(reinterpret_cast<uint8_t*>(p), buf + 256) << fsize;
        EXPECT_EQ(p->di_mode & IFMT, IFDIR);
        EXPECT_EQ(p->di_nlink, img.layout(0).inode(ROOT_INO).nlink);
    }
}

// ---------------------------------------------------------------------------
// The pointer forms, the move inside the buffer, and failures
// ---------------------------------------------------------------------------

class Standard : public testimg::StandardDiskSuite {
protected:
    void TearDown() override { EXPECT_EQ(fs_current, nullptr); }
    static uint32_t ino(const char* path) { return testimg::standard_tree().lookup(path); }

};

TEST_F(Standard, NullPointerPointsIntoTheBufferAtEachOfTheFourPlaces)
{
    Mounted m(*path_, 0);
    ASSERT_NE(m.f, nullptr);
    for (uint32_t i : {4u, 5u, 6u, 7u}) {
        alignas(8) uint8_t buf[IBUFSIZE];
        dinode* p = nullptr;
        ASSERT_EQ(fs_iget(m.f, i, buf, &p), 0);
        EXPECT_EQ(reinterpret_cast<uint8_t*>(p) - buf, std::ptrdiff_t((i % 4) * 128)) << i;
        EXPECT_EQ(p->di_mode, image_->layout(0).inode(i).mode) << i;
    }
}

TEST_F(Standard, CopyIntoThePlaceBehavesAsAMove)
{
    Mounted m(*path_, 0);
    ASSERT_NE(m.f, nullptr);
    const uint32_t passwd = ino("/etc/passwd");
    const uint32_t doc = ino("/usr/share/doc");
    dinode want_root, want_passwd, want_doc;
    {
        alignas(8) uint8_t b[IBUFSIZE];
        dinode* p = &want_root;
        ASSERT_EQ(fs_iget(m.f, ROOT_INO, b, &p), 0);
        p = &want_passwd;
        ASSERT_EQ(fs_iget(m.f, passwd, b, &p), 0);
        p = &want_doc;
        ASSERT_EQ(fs_iget(m.f, doc, b, &p), 0);
    }
    // Places overlapping the inode's own bytes, before and after them, as
    // a path lookup that keeps its inode in the buffer would leave them.
    for (size_t place : {200u, 296u, 256u, 136u, 8064u}) {
        SCOPED_TRACE("place at byte " + std::to_string(place));
        alignas(8) uint8_t buf[IBUFSIZE];
        dinode* p = nullptr;
        ASSERT_EQ(fs_iget(m.f, passwd, buf, &p), 0);   // a first inode in place
        p = reinterpret_cast<dinode*>(buf + place);
        dinode* const kept = p;
        ASSERT_EQ(fs_iget(m.f, ROOT_INO, buf, &p), 0);  // read at byte 256
        EXPECT_EQ(p, kept) << "a non-null pointer is not moved";
        EXPECT_EQ(std::memcmp(p, &want_root, sizeof want_root), 0);
        ASSERT_EQ(fs_iget(m.f, doc, buf, &p), 0);
        EXPECT_EQ(std::memcmp(p, &want_doc, sizeof want_doc), 0);
    }
    // The place outside the buffer: only its 128 bytes change.
    struct {
        uint8_t before[16];
        dinode d;
        uint8_t after[16];
    } guarded;
    std::memset(&guarded, 0x5A, sizeof guarded);
    alignas(8) uint8_t buf[IBUFSIZE];
    dinode* p = &guarded.d;
    ASSERT_EQ(fs_iget(m.f, passwd, buf, &p), 0);
    EXPECT_EQ(std::memcmp(&guarded.d, &want_passwd, sizeof(dinode)), 0);
    for (uint8_t b : guarded.before)
        EXPECT_EQ(b, 0x5A);
    for (uint8_t b : guarded.after)
        EXPECT_EQ(b, 0x5A);
}

TEST_F(Standard, ReadPastTheImageEndIsAReadErrorAndTouchesNothing)
{
    const uint64_t at = image_->inode_offset(0, ROOT_INO);
    const uint64_t aligned = at & ~uint64_t(511);
    ASSERT_GE(aligned, 16384u) << "the superblock must stay readable";
    struct Cut {
        const char* name;
        uint64_t size;
    } const cuts[] = {
        {"the inode's own sector is there", aligned + 512},
        {"all but the last byte of the 8 KB", aligned + 8191},
        {"nothing from the inode on", aligned},
    };
    for (const Cut& c : cuts) {
        SCOPED_TRACE(c.name);
        sunimg::DiskImage img = *image_;
        img.image.resize(c.size);
        TempDir dir;
        Mounted m(testimg::write_disk(dir, img), 0);
        ASSERT_NE(m.f, nullptr) << fs_errlist[fs_errno];

        alignas(8) uint8_t buf[IBUFSIZE];
        dinode* p = nullptr;
        fs_errno = 0;
        EXPECT_EQ(fs_iget(m.f, ROOT_INO, buf, &p), 2);
        EXPECT_EQ(fs_errno, FSE_READ);
        EXPECT_EQ(p, nullptr) << "a null pointer stays null";

        dinode place;
        std::memset(&place, 0x77, sizeof place);
        p = &place;
        EXPECT_EQ(fs_iget(m.f, ROOT_INO, buf, &p), 2);
        EXPECT_EQ(p, &place);
        for (size_t i = 0; i < sizeof place; i++)
            ASSERT_EQ(reinterpret_cast<uint8_t*>(&place)[i], 0x77) << i;

        // A place inside the buffer survives the failed read as well.
        std::memset(buf, 0x33, sizeof buf);
        p = reinterpret_cast<dinode*>(buf);   // where the read begins
        EXPECT_EQ(fs_iget(m.f, ROOT_INO, buf, &p), 2);
        for (size_t i = 0; i < sizeof(dinode); i++)
            ASSERT_EQ(buf[i], 0x33) << i;

        fs_statrec st;
        std::memset(&st, 0x44, sizeof st);
        fs_setfs(m.f);
        fs_errno = 0;
        EXPECT_EQ(fs_istat(ROOT_INO, &st), -1);
        EXPECT_EQ(fs_errno, FSE_READ);
        for (size_t i = 0; i < sizeof st; i++)
            ASSERT_EQ(reinterpret_cast<uint8_t*>(&st)[i], 0x44) << "status record written";
        fs_setfs(nullptr);
    }
}

TEST_F(Standard, InodeZeroAndInodesPastTheLastAreReadWhereTheyPoint)
{
    Mounted m(*path_, 0);
    ASSERT_NE(m.f, nullptr);
    const sunimg::FsLayout& L = image_->layout(0);
    alignas(8) uint8_t buf[IBUFSIZE];
    dinode* p = nullptr;
    ASSERT_EQ(fs_iget(m.f, 0, buf, &p), 0);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(p), buf);
    std::vector<uint8_t> raw = image_->image.read(image_->inode_offset(0, 0), 8192);
    EXPECT_EQ(std::memcmp(buf + 128, raw.data() + 128, 512 - 128), 0);

    // The first inode past the last group: its read runs off the image.
    const uint32_t past = uint32_t(L.sb.ncg) * uint32_t(L.sb.ipg);
    const uint64_t at = image_->inode_offset(0, past);
    p = nullptr;
    int r = fs_iget(m.f, past, buf, &p);
    if (at + 128 > image_->image.size()) {
        EXPECT_NE(r, 0);
    }
    if (r != 0) {
        EXPECT_EQ(fs_errno, r == 1 ? FSE_SEEK : FSE_READ);
    }
    // Numbers whose address wraps in 32 bits: no fault, a clean answer.
    for (uint32_t n : {0xFFFFFFFFu, 0x80000000u, 0x7FFFFFFFu, 0xDEADBEEFu}) {
        p = nullptr;
        fs_errno = 0;
        r = fs_iget(m.f, n, buf, &p);
        if (r == 0) {
            EXPECT_NE(p, nullptr);
        } else {
            EXPECT_EQ(fs_errno, r == 1 ? FSE_SEEK : FSE_READ) << n;
        }
    }
}

// A file system whose inodes lie past 2 GiB (its superblock ends right at
// the line) is read there; one whose inode blocks are said to lie 4 GiB
// further on than they do fails cleanly instead of reading elsewhere.
TEST(InodeFar, InodesPast2GiBAreReadAndPastTheDeviceAreASeekError)
{
    sunimg::DiskOptions o;
    o.geom = {.nhead = 1, .nsect = 16};   // 8 KB cylinders
    sunimg::DiskImage img = sunimg::make_disk(testimg::standard_tree(), 0, o);
    std::vector<uint8_t> fsbytes = img.image.read(0, size_t(img.layout(0).partition_bytes()));
    img.label.part[3] = {262142, img.label.part[0].nblk, 0, 0};
    img.image.put_extent(uint64_t(262142) * 8192, fsbytes);
    img.rewrite_label();
    TempDir dir;
    Mounted m(testimg::write_disk(dir, img), 3);
    ASSERT_NE(m.f, nullptr) << fs_errlist[fs_errno];
    alignas(8) uint8_t buf[IBUFSIZE];
    dinode place;
    dinode* p = &place;
    EXPECT_EQ(fs_iget(m.f, ROOT_INO, buf, &p), 0) << fs_errlist[fs_errno];
    EXPECT_EQ(place.di_mode & IFMT, IFDIR);
    EXPECT_NE(fs_namei("/etc/passwd"), 0u);

    // fs_iblkno 4 GiB further on: in 32 bits the address would wrap round
    // onto the very inodes above.
    uint64_t sb = uint64_t(262142) * 8192 + 8192;
    int32_t fsize = img.layout(0).sb.fsize;
    img.image.put32be(sb + 16, uint32_t(img.layout(0).sb.iblkno + int32_t((uint64_t(1) << 32) / uint64_t(fsize))));
    std::string path = testimg::write_disk(dir, img, "far.img");
    Mounted far(path, 3);
    ASSERT_NE(far.f, nullptr) << fs_errlist[fs_errno];
    std::memset(&place, 0x11, sizeof place);
    fs_errno = 0;
    EXPECT_EQ(fs_iget(far.f, ROOT_INO, buf, &p), 1);
    EXPECT_EQ(fs_errno, FSE_SEEK);
    EXPECT_EQ(p, &place);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(&place)[0], 0x11);
    fs_setfs(far.f);
    fs_statrec st{};
    EXPECT_EQ(fs_istat(ROOT_INO, &st), -1);
    EXPECT_EQ(fs_errno, FSE_SEEK);
    EXPECT_EQ(fs_namei("/etc/passwd"), 0u);
    EXPECT_EQ(fs_errno, FSE_SEEK);
    EXPECT_STREQ(fs_errlist[fs_errno], "Seek error");
}

// A partition past 4 GiB on a sparse disk: a file's blocks, read in runs
// and one by one, come from past 4 GiB too, not from 4 GiB lower.
TEST(InodeFar, FileDataPast4GiBReadsBack)
{
    sunimg::Ufs fs;
    const std::vector<uint8_t> data = sunimg::pattern(13 * 8192 + 100, 7);   // past the direct blocks
    uint32_t ino = fs.file("/far", data);
    sunimg::DiskOptions o;
    o.geom = {.nhead = 1, .nsect = 16};   // 8 KB cylinders
    sunimg::DiskImage img = sunimg::make_disk(fs, 0, o);
    // The label's cylinder count cannot reach that far: partition 3, a
    // copy of partition 0, is placed by hand.
    const uint64_t far = uint64_t(524300) * 8192;
    img.image.put_extent(far, img.image.read(0, size_t(img.layout(0).partition_bytes())));
    img.label.part[3] = {524300, img.label.part[0].nblk, 0, 0};
    img.rewrite_label();
    ASSERT_GT(far, uint64_t(1) << 32);
    TempDir dir;
    Mounted m(testimg::write_disk(dir, img), 3);
    ASSERT_NE(m.f, nullptr) << fs_errlist[fs_errno];
    FS_FILE* f = fs_fopen_ino(ino);
    ASSERT_NE(f, nullptr) << fs_errlist[fs_errno];
    std::vector<uint8_t> got(data.size() + 10);
    got.resize(fs_fread(got.data(), 1, uint32_t(got.size()), f));
    EXPECT_TRUE(fs_fclean(f));
    fs_fclose(f);
    EXPECT_TRUE(testimg::SameBytes(got, data));
}

// ---------------------------------------------------------------------------
// inode_swap
// ---------------------------------------------------------------------------

TEST(InodeSwap, ConvertsExactlyTheListedFields)
{
    alignas(8) uint8_t b[128];
    for (int i = 0; i < 128; i++)
        b[i] = static_cast<uint8_t>(i * 37 + 11);
    uint8_t before[128];
    std::memcpy(before, b, sizeof b);
    EXPECT_EQ(inode_swap(reinterpret_cast<dinode*>(b)), 0);
    for (int off = 0; off < 128;) {
        int width = off < 8 ? 2 : off == 8 ? 8 : 4;
        for (int k = 0; k < width; k++) {
            uint8_t want = before[off + width - 1 - k];   // every field is converted
            ASSERT_EQ(b[off + k], want) << "byte " << off + k;
        }
        off += width;
    }
}

// ---------------------------------------------------------------------------
// fs_istat
// ---------------------------------------------------------------------------

TEST(Istat, NothingMountedLeavesTheRecordAlone)
{
    ASSERT_EQ(fs_current, nullptr);
    fs_statrec st;
    std::memset(&st, 0x6B, sizeof st);
    fs_errno = FSE_NOTDIR;
    EXPECT_EQ(fs_istat(ROOT_INO, &st), -1);
    EXPECT_EQ(fs_errno, FSE_NOFS);
    for (size_t i = 0; i < sizeof st; i++)
        ASSERT_EQ(reinterpret_cast<uint8_t*>(&st)[i], 0x6B) << i;
}

// Owners, sizes and link counts at the edges of their 16- and 32-bit
// fields, and the fields the status record leaves to its caller.
TEST(Istat, WholeFieldsAndUntouchedDeviceNumbers)
{
    sunimg::Ufs fs;
    struct Want {
        const char* name;
        uint16_t uid, gid;
        uint32_t uid_st, gid_st;
    } const wants[] = {
        {"u32767", 32767, 0, 32767, 0},
        {"u32768", 32768, 1, 32768, 1},
        {"nobody", 65534, 65534, 65534, 65534},
        {"u65535", 65535, 40000, 65535, 40000},   // 0xFFFF with no wider id beside it
    };
    std::map<std::string, uint32_t> ino;
    for (const Want& w : wants)
        ino[w.name] = fs.file(std::string("/") + w.name, "x", {.uid = w.uid, .gid = w.gid});
    ino["big"] = fs.file("/big", "abc", {.perm = 04755, .atime = -1, .mtime = INT32_MAX, .ctime = 0,
                                         .nlink = int16_t(-3)});
    ino["huge"] = fs.file("/huge", "abc");
    ino["fourgig"] = fs.file("/fourgig", "abc");
    ino["dev"] = fs.add_chardev(fs.root(), "dev", (7 << 8) | 9);
    sunimg::DiskImage img = sunimg::make_disk(fs);
    // Sizes of 2 GiB and more: both words count.
    img.image.put32be(img.inode_offset(0, ino["huge"]) + sunimg::ino_off::size_hi, 0);
    img.image.put32be(img.inode_offset(0, ino["huge"]) + sunimg::ino_off::size, 0xC0000000u);
    img.image.put32be(img.inode_offset(0, ino["fourgig"]) + sunimg::ino_off::size_hi, 1);
    img.image.put32be(img.inode_offset(0, ino["fourgig"]) + sunimg::ino_off::size, 1);
    TempDir dir;
    Mounted m(testimg::write_disk(dir, img), 0);
    ASSERT_NE(m.f, nullptr);
    ASSERT_EQ(fs_current, m.f);

    auto stat_of = [](uint32_t i) {
        fs_statrec st;
        std::memset(&st, 0, sizeof st);
        st.st_dev = 0xDEADBEEF;
        st.st_rdev = 0x12345678;
        EXPECT_EQ(fs_istat(i, &st), 0) << fs_errlist[fs_errno];
        EXPECT_EQ(st.st_dev, 0xDEADBEEFu);
        EXPECT_EQ(st.st_rdev, (st.st_mode & IFMT) == IFCHR ? (7u << 8 | 9u) : 0u) << "a device's number as stored";
        EXPECT_EQ(st.st_ino, uint32_t(i));
        return st;
    };
    for (const Want& w : wants) {
        SCOPED_TRACE(w.name);
        fs_statrec st = stat_of(ino[w.name]);
        EXPECT_EQ(st.st_uid, w.uid_st);
        EXPECT_EQ(st.st_gid, w.gid_st);
        EXPECT_EQ(st.st_mode, IFREG | 0644);
        EXPECT_EQ(st.st_size, 1);
        EXPECT_EQ(st.st_nlink, 1);
        EXPECT_EQ(st.st_atime, sunimg::kDefaultTime + 7200);
        EXPECT_EQ(st.st_mtime, sunimg::kDefaultTime);
        EXPECT_EQ(st.st_ctime, sunimg::kDefaultTime + 3600);
    }
    fs_statrec st = stat_of(ino["big"]);
    EXPECT_EQ(st.st_mode, IFREG | ISUID | 0755);
    EXPECT_EQ(st.st_nlink, -3);
    EXPECT_EQ(st.st_atime, -1);
    EXPECT_EQ(st.st_mtime, INT32_MAX);
    EXPECT_EQ(st.st_ctime, 0);
    EXPECT_EQ(stat_of(ino["huge"]).st_size, 3221225472);
    EXPECT_EQ(stat_of(ino["fourgig"]).st_size, 4294967297);
    EXPECT_EQ(stat_of(ino["dev"]).st_mode, IFCHR | 0666);
    st = stat_of(ROOT_INO);
    EXPECT_EQ(st.st_mode & IFMT, IFDIR);
}

// Where the whole owner lies, by inode format: the 4.4 format's words at
// 112/116; in the older one (Solaris: 112 the shadow inode) the words at
// 116/120, taken only for a 0xFFFF marker and only when they hold an id
// that a 16-bit word could not.
TEST(Istat, OwnersByInodeFormat)
{
    struct Row {
        const char* what;
        int32_t fmt;              // fs_inodefmt
        uint16_t uid16, gid16;    // bytes 4, 6
        uint32_t w112, w116, w120;
        uint32_t uid, gid;        // st_uid, st_gid
    } const rows[] = {
        {"older, small ids", 0, 1001, 20, 0, 0, 0, 1001, 20},
        {"older, 0xFFFF and zero words", 0, 0xFFFF, 0xFFFF, 0, 0, 0, 65535, 65535},
        {"older, wide owner beside a shadow inode", 0, 0xFFFF, 20, 77, 100000, 20, 100000, 20},
        {"older, wide group", 0, 300, 0xFFFF, 77, 300, 70000, 300, 70000},
        {"older, words that are no wider id", 0, 0xFFFF, 0xFFFF, 70000, 65535, 12, 65535, 65535},
        {"older, words beside a narrow id", 0, 5, 6, 70000, 80000, 90000, 5, 6},
        {"4.4 format", FS_INODEFMT_NEW, 0, 0, 100000, 200000, 77, 100000, 200000},
        {"4.4 format, 0xFFFF beside", FS_INODEFMT_NEW, 0xFFFF, 0xFFFF, 65535, 7, 77, 65535, 7},
    };
    for (int32_t fmt : {0, FS_INODEFMT_NEW}) {
        sunimg::Ufs fs;
        std::vector<uint32_t> inos;
        for (size_t i = 0; i < std::size(rows); ++i)
            inos.push_back(fs.file("/f" + std::to_string(i), "x"));
        sunimg::DiskImage img = sunimg::make_disk(fs);
        img.image.put32be(img.superblock_offset(0) + sunimg::sb_off::inodefmt, uint32_t(fmt));
        for (size_t i = 0; i < std::size(rows); ++i) {
            const uint64_t at = img.inode_offset(0, inos[i]);
            img.image.put16be(at + sunimg::ino_off::uid, rows[i].uid16);
            img.image.put16be(at + sunimg::ino_off::gid, rows[i].gid16);
            img.image.put32be(at + 112, rows[i].w112);
            img.image.put32be(at + 116, rows[i].w116);
            img.image.put32be(at + 120, rows[i].w120);
        }
        TempDir dir;
        Mounted m(testimg::write_disk(dir, img), 0);
        ASSERT_NE(m.f, nullptr);
        for (size_t i = 0; i < std::size(rows); ++i) {
            if (rows[i].fmt != fmt)
                continue;
            SCOPED_TRACE(rows[i].what);
            fs_statrec st{};
            ASSERT_EQ(fs_istat(inos[i], &st), 0);
            EXPECT_EQ(st.st_uid, rows[i].uid);
            EXPECT_EQ(st.st_gid, rows[i].gid);
        }
    }
}

TEST(Istat, InodeNumbersAbove65535KeepTheirLow16Bits)
{
    sunimg::FsOptions o;
    o.ipg = 16384;
    o.cpg = 16;
    sunimg::Ufs fs(o);
    const uint32_t nums[] = {65535, 65536 + 2, 70000};
    for (uint32_t n : nums)
        fs.add_file(fs.root(), "i" + std::to_string(n), std::string(n % 100, 'z'),
                    {.uid = uint16_t(n % 1000), .ino = n});
    sunimg::DiskImage img = sunimg::make_disk(fs);
    TempDir dir;
    Mounted m(testimg::write_disk(dir, img), 0);
    ASSERT_NE(m.f, nullptr) << fs_errlist[fs_errno];
    for (uint32_t n : nums) {
        SCOPED_TRACE(n);
        fs_statrec st{};
        ASSERT_EQ(fs_istat(n, &st), 0) << fs_errlist[fs_errno];
        EXPECT_EQ(st.st_ino, n);
        EXPECT_EQ(st.st_mode, IFREG | 0644) << "the record of inode " << n << ", not of " << (n & 0xFFFF);
        EXPECT_EQ(st.st_uid, n % 1000);
        EXPECT_EQ(st.st_size, int64_t(n % 100));
    }
    fs_statrec root{};
    ASSERT_EQ(fs_istat(ROOT_INO, &root), 0);
    EXPECT_EQ(root.st_mode & IFMT, IFDIR);
}

TEST(Istat, WorksOnTheCurrentFileSystemOnly)
{
    sunimg::Ufs a, b;
    uint32_t fa = a.file("/a", "aaaa");
    uint32_t fb = b.file("/b", "bbbbbbbb");
    ASSERT_EQ(fa, fb);
    TempDir dir;
    std::string pa = testimg::write_disk(dir, sunimg::make_disk(a), "a.img");
    std::string pb = testimg::write_disk(dir, sunimg::make_disk(b), "b.img");
    Mounted ma(pa, 0);
    Mounted mb(pb, 0);
    ASSERT_NE(ma.f, nullptr);
    ASSERT_NE(mb.f, nullptr);
    fs_statrec st{};
    ASSERT_EQ(fs_istat(fa, &st), 0);
    EXPECT_EQ(st.st_size, 4) << "the first mount is current";
    fs_setfs(mb.f);
    ASSERT_EQ(fs_istat(fa, &st), 0);
    EXPECT_EQ(st.st_size, 8);
    fs_setfs(ma.f);
}

// ---------------------------------------------------------------------------
// dump_inode and dump_stat
// ---------------------------------------------------------------------------

// Every field of a raw big-endian inode, written over a file's inode and
// read back through fs_iget.
TEST(DumpInode, ExactTextOfAnInodeReadFromDisk)
{
    utc();
    sunimg::Ufs fs;
    uint32_t victim = fs.file("/victim", "v");
    sunimg::DiskImage img = sunimg::make_disk(fs);
    const uint64_t at = img.inode_offset(0, victim);
    auto w16 = [&](uint32_t off, uint16_t v) { img.image.put16be(at + off, v); };
    auto w32 = [&](uint32_t off, uint32_t v) { img.image.put32be(at + off, v); };
    w16(0, 0x8FED);            // regular, suid, sgid, sticky, 0755
    w16(2, 0xFFFE);            // -2 links
    w16(4, 65534);
    w16(6, 40000);
    w32(8, 1);                 // high word of the size
    w32(12, 0xC0000000u);
    w32(16, 700000000);
    w32(20, 86400);
    w32(24, 0);
    w32(28, 0xFFFFFFFFu);
    w32(32, 0x7FFFFFFF);
    w32(36, 1000000000);
    for (uint32_t i = 0; i < 12; i++)
        w32(40 + 4 * i, i == 0 ? 0x0302u : i == 11 ? 0xFFFFFFFFu : 0x1000u + i);
    w32(88, 0xABC);
    w32(92, 0);
    w32(96, 0x80000000u);
    w32(100, uint32_t(-5));
    w32(104, 24);
    w32(108, 0x12345678);
    w32(112, 0x00000100);      // stored 00 00 01 00
    w32(116, 0xFFFFFFFEu);     // stored ff ff ff fe
    w32(120, 0x00000002);
    w32(124, 0x00000001);
    TempDir dir;
    Mounted m(testimg::write_disk(dir, img), 0);
    ASSERT_NE(m.f, nullptr);
    alignas(8) uint8_t buf[IBUFSIZE];
    dinode d;
    dinode* p = &d;
    ASSERT_EQ(fs_iget(m.f, victim, buf, &p), 0);
    const std::string expect =
        "8fed\tmode and type of file\n"
        "\t\tregular\n"
        "\t\tset user id on execution\n"
        "\t\tset group id on execution\n"
        "\t\tsave swapped text even after use\n"
        "\t\tPermissions: 7755\n"
        "-2\tnumber of links to file\n"
        "65534\towner's user id\n"
        "40000\towner's group id\n"
        "7516192768\tnumber of bytes in file\n"
        "\ttime last accessed\tSat Mar  7 20:26:40 1992\n"
        "\tatspare\tFri Jan  2 00:00:00 1970\n"
        "\ttime last modified\tThu Jan  1 00:00:00 1970\n"
        "\tmtspare\tWed Dec 31 23:59:59 1969\n"
        "\tlast time inode changed\tTue Jan 19 03:14:07 2038\n"
        "\tctspare\tSun Sep  9 01:46:40 2001\n"
        "\t\tdisk block address ic_db[0]=0x302\n"
        "\t\tdisk block address ic_db[1]=0x1001\n"
        "\t\tdisk block address ic_db[2]=0x1002\n"
        "\t\tdisk block address ic_db[3]=0x1003\n"
        "\t\tdisk block address ic_db[4]=0x1004\n"
        "\t\tdisk block address ic_db[5]=0x1005\n"
        "\t\tdisk block address ic_db[6]=0x1006\n"
        "\t\tdisk block address ic_db[7]=0x1007\n"
        "\t\tdisk block address ic_db[8]=0x1008\n"
        "\t\tdisk block address ic_db[9]=0x1009\n"
        "\t\tdisk block address ic_db[10]=0x100a\n"
        "\t\tdisk block address ic_db[11]=0xffffffff\n"
        "\t\tindirect block ic_ib[0]=abc\n"
        "\t\tindirect block ic_ib[1]=0\n"
        "\t\tindirect block ic_ib[2]=80000000\n"
        "-5\tstatus, currently unused\n"
        "24\tblocks actually held\n"
        "305419896\tgeneration number\n"
        "256\tshadow inode (4.4 format: owner's user id)\n"
        "4294967294\towner's whole user id (4.4 format: group id)\n"
        "2\towner's whole group id\n"
        "1\textended attribute directory\n";
    EXPECT_EQ(capture(dump_inode, p), expect);
}

// The builder's default times are 1992-03-07 20:26:40 UTC (mtime), one
// hour later (ctime) and two hours later (atime).
TEST(DumpStat, ExactTextOfADeviceWithHighOwner)
{
    utc();
    sunimg::Ufs fs;
    uint32_t dev = fs.add_chardev(fs.root(), "tty", (12 << 8) | 34,
                                  {.perm = 06620, .uid = 65534, .gid = 32768});
    TempDir dir;
    const std::string path = testimg::write_disk(dir, sunimg::make_disk(fs));
    Mounted m(path, 0);
    ASSERT_NE(m.f, nullptr);
    fs_statrec st;
    std::memset(&st, 0, sizeof st);
    st.st_dev = 0xABCD;      // kept: the caller says where the disk lies
    st.st_rdev = 0x1234;     // filled from the inode
    ASSERT_EQ(fs_istat(dev, &st), 0);
    const std::string expect = "\ttype:\tcharacter special\n"
                               "Device number:12,34\n"
                               "Resides on device:171,205\n"
                               "I-node: " + std::to_string(dev) + "; Links: 1; Size: 0\n"
                               "Owner ID: 65534\n"
                               "Group ID: 32768\n"
                               "Set-user-ID\n"
                               "Set-group-ID\n"
                               "Permissions: 6620\n"
                               "Last access:         Sat Mar  7 22:26:40 1992\n"
                               "Last modification:   Sat Mar  7 20:26:40 1992\n"
                               "Last status change:  Sat Mar  7 21:26:40 1992\n";
    EXPECT_EQ(capture(dump_stat, &st), expect);
}

TEST(Dumps, TypeLinesAndSpecialBits)
{
    utc();
    struct T {
        uint16_t type;
        const char* text;
        bool device;
    } const types[] = {
        {0x1000, "named pipe (fifo)", false}, {0x2000, "character special", true},
        {0x4000, "directory", false},         {0x6000, "block special", true},
        {0x8000, "regular", false},           {0xA000, "symbolic link", false},
        {0xC000, "socket", false},            {0x0000, "unknown", false},
        {0x3000, "unknown", false},           {0xF000, "unknown", false},
    };
    for (const T& t : types) {
        SCOPED_TRACE(t.text);
        fs_statrec st{};
        st.st_mode = uint16_t(t.type | ISVTX | 0701);
        st.st_ino = 65535;
        st.st_size = -1;
        st.st_rdev = 0x0102;
        st.st_dev = 0x0304;
        std::string s = capture(dump_stat, &st);
        std::string head = std::string("\ttype:\t") + t.text + "\n" + (t.device ? "Device number:1,2\n" : "") +
                           "Resides on device:3,4\nI-node: 65535; Links: 0; Size: -1\nOwner ID: 0\nGroup ID: 0\n"
                           "Save swapped text after use\nPermissions: 1701\n"
                           "Last access:         Thu Jan  1 00:00:00 1970\n";
        EXPECT_EQ(s.substr(0, head.size()), head);

        dinode d{};
        d.di_mode = uint16_t(t.type | ISGID | 0640);
        s = capture(dump_inode, &d);
        char first[64];
        std::snprintf(first, sizeof first, "%x\tmode and type of file\n", unsigned(d.di_mode));
        EXPECT_EQ(s.substr(0, std::strlen(first)), first);
        std::string rest = std::string("\t\t") + t.text + "\n\t\tset group id on execution\n\t\tPermissions: 2640\n"
                                                          "0\tnumber of links to file\n";
        EXPECT_EQ(s.substr(std::strlen(first), rest.size()), rest);
    }
}

// ---------------------------------------------------------------------------
// A makefs disk: status records against The Sleuth Kit's istat
// ---------------------------------------------------------------------------

TEST(IstatOracle, MakefsInodesAgreeWithIstat)
{
    REQUIRE_TOOL("makefs");
    REQUIRE_TOOL("sfdisk");
    REQUIRE_TOOL("fls");
    REQUIRE_TOOL("istat");
    TempDir dir;
    std::string src = dir.file("src");
    testimg::make_host_tree(src, {{"etc/passwd", "root:*:0:1::/:/bin/sh\n"},
                                  {"etc/motd", "hello\n"},
                                  {"usr/share/doc/long", std::string(200000, 'l')},
                                  {"empty/", ""}});
    testimg::MakefsDisk md = testimg::makefs_sun_disk(src, dir.file("disk.img"), {.size = "8m"});
    Mounted m(md.path, 0);
    ASSERT_NE(m.f, nullptr) << fs_errlist[fs_errno];

    auto rows = oracle::parse_fls(oracle::fls(md.path, 0).out);
    ASSERT_GE(rows.size(), 7u);
    std::vector<uint32_t> inos = {ROOT_INO};
    for (const auto& r : rows)
        if (r.name.rfind("$Orphan", 0) != 0)
            inos.push_back(r.ino);
    for (uint32_t i : inos) {
        SCOPED_TRACE("inode " + std::to_string(i));
        auto keys = oracle::parse_keys(oracle::istat(md.path, 0, i).out);
        fs_statrec st{};
        ASSERT_EQ(fs_istat(i, &st), 0) << fs_errlist[fs_errno];
        EXPECT_EQ(std::to_string(st.st_size), keys["size"]);
        EXPECT_EQ(std::to_string(st.st_nlink), keys["num of links"]);
        const std::string& mode = keys["mode"];
        ASSERT_FALSE(mode.empty());
        EXPECT_EQ(mode[0] == 'd', (st.st_mode & IFMT) == IFDIR) << mode;
        EXPECT_EQ(mode[0] == 'r', (st.st_mode & IFMT) == IFREG) << mode;
        EXPECT_EQ(mode.size() >= 10 && mode.substr(1, 3) == "rwx", (st.st_mode & 0700) == 0700) << mode;
        EXPECT_EQ(oracle::tsk_time(st.st_mtime), keys["File Modified"]);
        EXPECT_EQ(oracle::tsk_time(st.st_atime), keys["Accessed"]);
        EXPECT_EQ(oracle::tsk_time(st.st_ctime), keys["Inode Modified"]);
    }
}

}  // namespace
