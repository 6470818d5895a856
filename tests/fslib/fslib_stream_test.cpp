// File streams: opening, reading through direct, single and double
// indirect blocks, holes, the slot table, and every way a block can fail,
// over images made by the builder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fslib/fslib.h"
#include "fslib/internal.h"
#include "support/dev_fault.h"
#include "support/bytes.h"
#include "support/images.h"
#include "support/mounted.h"
#include "tools/sunimg.h"

using sunimg::DiskImage;
using sunimg::Extent;
using sunimg::pattern;
using testimg::TempDir;

namespace {

constexpr uint32_t kPastImage = 0x00100000;   // 1 GiB in: past the end of every test image
constexpr uint32_t kPast2G = 0x00300000;      // 3 GiB in: the device offset turns negative

struct Closer {
    void operator()(FS_FILE* f) const { fs_fclose(f); }
};
using Stream = std::unique_ptr<FS_FILE, Closer>;

Stream open(const char* path) { return Stream(fs_fopen(path, "rb")); }

using Mount = testimg::Mounted;
using testimg::all_stream_slots_free;

// Every test leaves the process-wide tables as it found them.
class Streams : public testimg::LibraryTest {};

// Reads a stream to its end in pieces of `chunk` bytes, as the shell does.
std::vector<uint8_t> read_all(FS_FILE* f, uint32_t chunk = 512, size_t limit = size_t(128) << 20)
{
    std::vector<uint8_t> out, buf(chunk);
    for (;;) {
        uint32_t n = fs_fread(buf.data(), 1, chunk, f);
        if (n == 0)
            break;
        out.insert(out.end(), buf.begin(), buf.begin() + n);
        if (out.size() > limit) {
            ADD_FAILURE() << "the stream does not end";
            break;
        }
    }
    return out;
}

// The bytes of a sparse file: zeros with the extents laid over them.
std::vector<uint8_t> sparse_bytes(uint64_t size, const std::vector<Extent>& ext)
{
    std::vector<uint8_t> v(size, 0);
    for (const Extent& e : ext)
        std::copy(e.data.begin(), e.data.end(), v.begin() + std::ptrdiff_t(e.offset));
    return v;
}

uint64_t ino_field(const DiskImage& img, uint32_t ino, uint32_t field, int part = 0)
{
    return img.inode_offset(part, ino) + field;
}

// Copies the block that the word at `ptr_offset` points at to the end of
// the image and points the word there; returns the block's new byte offset.
// Cutting the image at that offset then takes exactly this block away.
uint64_t move_to_end(DiskImage& img, uint64_t ptr_offset, int part = 0)
{
    const auto& sb = img.layout(part).sb;
    uint64_t base = img.partition_offset(part);
    uint32_t old = img.image.get32be(ptr_offset);
    auto bytes = img.image.read(img.frag_offset(part, old), size_t(sb.bsize));
    uint64_t rel = (img.image.size() - base + uint64_t(sb.bsize) - 1) / uint64_t(sb.bsize) * uint64_t(sb.bsize);
    img.image.put(base + rel, bytes);
    img.image.put32be(ptr_offset, uint32_t(rel / uint64_t(sb.fsize)));
    return base + rel;
}

// ---------------------------------------------------------------------------
// Reading
// ---------------------------------------------------------------------------

TEST_F(Streams, WorkedExamples)
{
    sunimg::Ufs fs;   // 8192-byte blocks, 1024-byte fragments
    auto small = pattern(300, 1), ten = pattern(10000, 2);
    fs.file("/small", small);
    fs.file("/ten", ten);
    Mount m(sunimg::make_disk(fs));
    ASSERT_TRUE(m.ok());
    uint8_t buf[512];
    {
        Stream f = open("/small");
        ASSERT_TRUE(f);
        EXPECT_EQ(f->ff_state, 0);
        EXPECT_EQ(f->ff_avail, 0u);
        EXPECT_EQ(fs_fread(buf, 1, 512, f.get()), 300u);
        EXPECT_EQ(fsl::dev_lastread, 512);   // 300 bytes, read as one sector
        EXPECT_EQ(0, std::memcmp(buf, small.data(), 300));
        EXPECT_EQ(f->ff_pos, 300);
        EXPECT_EQ(f->ff_lbn, 1);
        EXPECT_EQ(f->ff_state, FS_EOF);
        EXPECT_EQ(fs_fread(buf, 1, 512, f.get()), 0u);
        EXPECT_EQ(fs_errno, FSE_OK);
        EXPECT_TRUE(fs_fclean(f.get()));
    }
    {
        Stream f = open("/ten");
        ASSERT_TRUE(f);
        std::vector<uint8_t> got;
        ASSERT_EQ(fs_fread(buf, 1, 512, f.get()), 512u);
        got.insert(got.end(), buf, buf + 512);
        EXPECT_EQ(fsl::dev_lastread, 8192);
        EXPECT_EQ(f->ff_pos, 8192);
        EXPECT_EQ(f->ff_avail, 8192u - 512u);
        EXPECT_EQ(f->ff_state, 0);
        while (got.size() < 8192) {
            ASSERT_EQ(fs_fread(buf, 1, 512, f.get()), 512u);
            got.insert(got.end(), buf, buf + 512);
        }
        EXPECT_EQ(f->ff_lbn, 1);
        // Block 1: the file's 1808 bytes there, rounded up to two fragments
        // (2048) by the rule and capped back to 1808; read as 2048.
        ASSERT_EQ(fs_fread(buf, 1, 512, f.get()), 512u);
        got.insert(got.end(), buf, buf + 512);
        EXPECT_EQ(fsl::dev_lastread, 2048);
        EXPECT_EQ(f->ff_pos, 10000);
        EXPECT_EQ(f->ff_state, FS_EOF);
        EXPECT_EQ(f->ff_avail, 1808u - 512u);
        auto rest = read_all(f.get());
        got.insert(got.end(), rest.begin(), rest.end());
        EXPECT_EQ(got, ten);
        EXPECT_TRUE(fs_fclean(f.get()));
    }
}

TEST_F(Streams, ItemCountsAndTheEnd)
{
    sunimg::Ufs fs;
    auto b250 = pattern(250, 3), b100 = pattern(100, 4);
    fs.file("/empty", "");
    fs.file("/b250", b250);
    fs.file("/b100", b100);
    Mount m(sunimg::make_disk(fs));
    ASSERT_TRUE(m.ok());
    uint8_t buf[300] = {};
    {
        Stream f = open("/empty");
        ASSERT_TRUE(f);
        EXPECT_EQ(f->ff_inode->di_db[0], 0u);
        EXPECT_EQ(fs_fread(buf, 1, sizeof buf, f.get()), 0u);
        EXPECT_EQ(fs_errno, FSE_OK);
        EXPECT_TRUE(fs_fclean(f.get()));
    }
    {
        Stream f = open("/b250");
        ASSERT_TRUE(f);
        EXPECT_EQ(fs_fread(buf, 100, 3, f.get()), 2u);   // 250 bytes: two whole items
        EXPECT_EQ(0, std::memcmp(buf, b250.data(), 250));
        EXPECT_EQ(fs_fread(buf, 100, 3, f.get()), 0u);
        EXPECT_TRUE(fs_fclean(f.get()));
        // Reading on after the end keeps giving nothing, and no error.
        for (int i = 0; i < 5; ++i) {
            fs_errno = FSE_NOTDIR;
            EXPECT_EQ(fs_fread(buf, 1, 1, f.get()), 0u);
            EXPECT_EQ(fs_errno, FSE_OK);
        }
        EXPECT_EQ(f->ff_state, FS_EOF);
        EXPECT_TRUE(fs_fclean(f.get()));
    }
    {
        // The bytes of a final partial item are consumed all the same.
        Stream f = open("/b100");
        ASSERT_TRUE(f);
        EXPECT_EQ(fs_fread(buf, 7, 10, f.get()), 10u);
        EXPECT_EQ(fs_fread(buf, 7, 10, f.get()), 4u);   // 30 bytes left
        EXPECT_EQ(0, std::memcmp(buf, b100.data() + 70, 30));
        EXPECT_EQ(f->ff_avail, 0u);
        EXPECT_EQ(fs_fread(buf, 7, 10, f.get()), 0u);
        EXPECT_TRUE(fs_fclean(f.get()));
    }
}

TEST_F(Streams, EmptyRequestTouchesNothing)
{
    sunimg::Ufs fs;
    fs.file("/f", pattern(3000));
    Mount m(sunimg::make_disk(fs));
    ASSERT_TRUE(m.ok());
    Stream f = open("/f");
    ASSERT_TRUE(f);
    uint8_t buf[100];
    ASSERT_EQ(fs_fread(buf, 1, 100, f.get()), 100u);
    const FS_FILE before = *f;
    struct {
        uint32_t size, count;
    } cases[] = {{0, 5}, {5, 0}, {0, 0}, {65536, 65536}};   // the last wraps to 0
    for (auto c : cases) {
        fs_errno = FSE_NOTDIR;
        EXPECT_EQ(fs_fread(buf, c.size, c.count, f.get()), 0u);
        EXPECT_EQ(fs_errno, FSE_NOTDIR);
        EXPECT_EQ(f->ff_pos, before.ff_pos);
        EXPECT_EQ(f->ff_avail, before.ff_avail);
        EXPECT_EQ(f->ff_cur, before.ff_cur);
    }
}

TEST_F(Streams, NullDestinationSkipsExactly)
{
    sunimg::Ufs fs;
    auto data = pattern(30000, 5);
    fs.file("/f", data);
    Mount m(sunimg::make_disk(fs));
    ASSERT_TRUE(m.ok());
    {
        Stream f = open("/f");
        ASSERT_TRUE(f);
        EXPECT_EQ(fs_fread(nullptr, 1, 1000, f.get()), 1000u);
        EXPECT_EQ(fs_fread(nullptr, 100, 90, f.get()), 90u);   // to byte 10000, over a block edge
        auto rest = read_all(f.get(), 777);
        EXPECT_EQ(rest, std::vector<uint8_t>(data.begin() + 10000, data.end()));
        EXPECT_TRUE(fs_fclean(f.get()));
    }
    {
        Stream f = open("/f");
        ASSERT_TRUE(f);
        EXPECT_EQ(fs_fread(nullptr, 1, 1u << 20, f.get()), 30000u);
        EXPECT_EQ(fs_fread(nullptr, 1, 1u << 20, f.get()), 0u);
        EXPECT_TRUE(fs_fclean(f.get()));
    }
}

TEST_F(Streams, TwelveBlocksNeverLoadTheIndirectBlock)
{
    sunimg::Ufs fs;
    auto data = pattern(12 * 8192, 6);
    uint32_t ino = fs.file("/f", data);
    DiskImage img = sunimg::make_disk(fs);
    // Were the indirect block loaded, this address would fail the stream.
    img.image.put32be(ino_field(img, ino, sunimg::ino_off::ib), kPast2G);
    Mount m(img);
    ASSERT_TRUE(m.ok());
    Stream f = open("/f");
    ASSERT_TRUE(f);
    std::vector<uint8_t> got;
    uint8_t buf[512];
    uint32_t n;
    while ((n = fs_fread(buf, 1, sizeof buf, f.get())) != 0) {
        got.insert(got.end(), buf, buf + n);
        EXPECT_FALSE(f->ff_map->held[0]);   // no indirect block loaded
        if (f->ff_lbn < 12)
            EXPECT_EQ(f->ff_state, 0);
        else
            EXPECT_EQ(f->ff_state, FS_EOF);   // set once block 11 is in, before its bytes go out
        ASSERT_LT(got.size(), data.size() + 1);
    }
    EXPECT_EQ(got, data);
    EXPECT_TRUE(fs_fclean(f.get()));
}

TEST_F(Streams, OneByteInTheFirstIndirectBlock)
{
    sunimg::Ufs fs;
    auto data = pattern(12 * 8192 + 1, 7);
    fs.file("/f", data);
    Mount m(sunimg::make_disk(fs));
    ASSERT_TRUE(m.ok());
    Stream f = open("/f");
    ASSERT_TRUE(f);
    EXPECT_EQ(fs_fread(nullptr, 1, 12 * 8192, f.get()), 12u * 8192u);
    EXPECT_EQ(f->ff_state, 0);
    uint8_t byte = 0;
    EXPECT_EQ(fs_fread(&byte, 1, 512, f.get()), 1u);
    EXPECT_EQ(byte, data.back());
    EXPECT_EQ(fsl::dev_lastread, 512);   // 1 byte, read as one sector
    EXPECT_TRUE(f->ff_map->held[0]);      // the single indirect block is in
    EXPECT_EQ(f->ff_state, FS_EOF);
    EXPECT_EQ(fs_fread(&byte, 1, 1, f.get()), 0u);
    EXPECT_TRUE(fs_fclean(f.get()));
}

// Every file size of interest, under several geometries, read back byte
// for byte in pieces of several sizes.
TEST_F(Streams, FilesReadBackExactly)
{
    struct Geo {
        int32_t bsize, fsize;
        int part;
        int32_t cylno;   // partition start
        int beyond;      // 1: a file into the double indirect range; 2: more of them
    } geos[] = {
        {8192, 1024, 0, 0, 1},
        {8192, 8192, 0, 0, 0},
        {8192, 2048, 3, 5, 0},
        {4096, 512, 0, 0, 2},
        {4096, 4096, 4, 3, 2},
    };
    for (const Geo& g : geos) {
        SCOPED_TRACE("bsize " + std::to_string(g.bsize) + " fsize " + std::to_string(g.fsize) + " part " +
                     std::to_string(g.part));
        const uint64_t B = uint64_t(g.bsize), N = B / 4;
        std::vector<uint64_t> sizes = {1, 511, 512, 513, 1023, 1024, 1025, B - 1, B, B + 1, 3 * B + 700,
                                       12 * B - 1, 12 * B, 12 * B + 1, 12 * B + B + 100, 40 * B + 17};
        if (g.beyond >= 1)
            sizes.push_back((12 + N) * B + 3000);     // into the double range
        if (g.beyond >= 2) {
            sizes.push_back((12 + N) * B);            // the last block of the single range
            sizes.push_back((12 + N + N) * B + 5);    // into the second single block under it
        }
        sunimg::Ufs fs({.bsize = g.bsize, .fsize = g.fsize});
        std::vector<std::vector<uint8_t>> contents;
        for (size_t i = 0; i < sizes.size(); ++i) {
            contents.push_back(pattern(sizes[i], uint32_t(100 + i)));
            fs.file("/f" + std::to_string(i), contents.back());
        }
        sunimg::Disk layout;
        layout.add_fs(g.part, fs, g.cylno);
        DiskImage img = layout.build();
        Mount m(img, g.part);
        ASSERT_TRUE(m.ok());
        const uint32_t chunks[] = {512, 1, 8192, 65536, 3001};
        for (size_t i = 0; i < sizes.size(); ++i) {
            uint32_t chunk = chunks[i % 5];
            if (chunk < 512 && sizes[i] > 100000)
                chunk = 4096;
            SCOPED_TRACE("size " + std::to_string(sizes[i]) + " in pieces of " + std::to_string(chunk));
            Stream f = open(("/f" + std::to_string(i)).c_str());
            ASSERT_TRUE(f);
            auto got = read_all(f.get(), chunk);
            EXPECT_EQ(got.size(), contents[i].size());
            EXPECT_TRUE(testimg::SameBytes(got, contents[i]));
            EXPECT_TRUE(fs_fclean(f.get()));
            EXPECT_EQ(f->ff_pos, int32_t(sizes[i]));
        }
    }
}

TEST_F(Streams, HolesReadAsZeros)
{
    const uint64_t B = 8192, N = 2048;
    struct Case {
        const char* what;
        uint64_t size;
        std::vector<Extent> ext;
        bool ib0_zero;
    } cases[] = {
        {"direct holes, ending in one", 5 * B + 100, {{0, pattern(100, 1)}, {3 * B + 10, pattern(50, 2)}}, true},
        {"nothing but a hole", 20 * B + 3, {}, true},
        {"all direct blocks holes, one block in the single range", 22 * B, {{15 * B + 7, pattern(5000, 3)}}, false},
        {"single range holes around a block", (12 + 100) * B,
         {{5 * B, pattern(10, 4)}, {(12 + 50) * B, pattern(B, 5)}}, false},
        {"zero first indirect address", (12 + N + 3) * B,
         {{2 * B, pattern(B, 6)}, {(12 + N + 1) * B + 9, pattern(100, 7)}}, true},
        {"double range: a whole single block missing", (12 + N + 2 * N + 10) * B,
         {{(12 + N + 1) * B, pattern(300, 8)},
          {(12 + N + 2 * N + 5) * B + 1, pattern(B, 9)},
          {(12 + N + 2 * N + 10) * B - 1, {0x5A}}},
         true},
    };
    sunimg::Ufs fs;
    std::vector<uint32_t> inos;
    for (size_t i = 0; i < std::size(cases); ++i)
        inos.push_back(fs.add_sparse(fs.root(), "s" + std::to_string(i), cases[i].size, cases[i].ext));
    DiskImage img = sunimg::make_disk(fs);
    Mount m(img);
    ASSERT_TRUE(m.ok());
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.what);
        ASSERT_EQ(img.image.get32be(ino_field(img, inos[i], sunimg::ino_off::ib)) == 0, c.ib0_zero);
        Stream f = open(("/s" + std::to_string(i)).c_str());
        ASSERT_TRUE(f);
        auto got = read_all(f.get(), 65536);
        EXPECT_EQ(got.size(), c.size);
        EXPECT_TRUE(testimg::SameBytes(got, sparse_bytes(c.size, c.ext)));
        EXPECT_TRUE(fs_fclean(f.get()));
    }
}

TEST_F(Streams, HolesArePassedWholeByTheMap)
{
    // fs_fhole at each block edge, fs_fread of one block between: the holes
    // come out where the extents leave them, and the data read after each
    // one is exactly the file's.
    const uint64_t B = 8192, N = 2048;
    using Hole = std::pair<uint64_t, uint64_t>;   // file offset, bytes passed
    struct Case {
        const char* what;
        uint64_t size;
        std::vector<Extent> ext;
        std::vector<Hole> holes;
    } cases[] = {
        {"2^40 bytes, no data at all", uint64_t{1} << 40, {}, {{0, uint64_t{1} << 40}}},
        {"direct holes, then data, then a hole to a partial last block", 5 * B + 100,
         {{3 * B + 10, pattern(50, 2)}}, {{0, 3 * B}, {4 * B, B + 100}}},
        {"holes inside the single range, its block present", (12 + 100) * B,
         {{5 * B, pattern(10, 4)}, {(12 + 50) * B, pattern(B, 5)}},
         {{0, 5 * B}, {6 * B, (12 + 50 - 6) * B}, {(12 + 51) * B, 49 * B}}},
        {"single and double blocks absent, data in the triple range", (12 + N + N * N + 3) * B,
         {{B, pattern(7, 6)}, {(12 + N + N * N + 1) * B, pattern(B, 7)}},
         {{0, B}, {2 * B, (12 + N + N * N - 1) * B}, {(12 + N + N * N + 2) * B, B}}},
    };
    sunimg::Ufs fs;
    for (size_t i = 0; i < std::size(cases); ++i)
        fs.add_sparse(fs.root(), "s" + std::to_string(i), cases[i].size, cases[i].ext);
    DiskImage img = sunimg::make_disk(fs);
    Mount m(img);
    ASSERT_TRUE(m.ok());
    std::vector<uint8_t> buf(B);
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.what);
        Stream f = open(("/s" + std::to_string(i)).c_str());
        ASSERT_TRUE(f);
        std::vector<Hole> holes;
        uint64_t pos = 0;
        for (int step = 0; step < 64; ++step) {   // a handful of steps, whatever the size
            int64_t hole = fs_fhole(f.get());
            if (hole > 0)
                holes.push_back({pos, uint64_t(hole)});
            pos += uint64_t(hole);
            ASSERT_EQ(uint64_t(f->ff_pos), pos);
            uint32_t n = fs_fread(buf.data(), 1, uint32_t(B), f.get());
            if (n == 0)
                break;
            std::vector<uint8_t> want(n, 0);
            for (const Extent& e : c.ext)
                for (uint64_t k = 0; k < e.data.size(); ++k)
                    if (e.offset + k >= pos && e.offset + k < pos + n)
                        want[e.offset + k - pos] = e.data[k];
            EXPECT_TRUE(testimg::SameBytes(std::vector<uint8_t>(buf.begin(), buf.begin() + n), want));
            pos += n;
        }
        EXPECT_EQ(holes, c.holes);
        EXPECT_EQ(pos, c.size);
        EXPECT_EQ(fs_fhole(f.get()), 0);
        EXPECT_TRUE(fs_fclean(f.get()));
    }
}

// ---------------------------------------------------------------------------
// Opening and the slot table
// ---------------------------------------------------------------------------

TEST_F(Streams, SixteenSlots)
{
    sunimg::Ufs fs;
    fs.file("/f", "content\n");
    fs.dir("/d");
    Mount m(sunimg::make_disk(fs));
    ASSERT_TRUE(m.ok());
    std::vector<Stream> open_streams;
    for (int i = 0; i < NFILES; ++i) {
        // file and directory streams share the table
        open_streams.emplace_back(i % 2 ? fs_opendir("/d") : fs_fopen("/f", "rb"));
        ASSERT_TRUE(open_streams.back());
        EXPECT_EQ(open_streams.back().get(), &fs_files[i]);
    }
    fs_errno = FSE_OK;
    EXPECT_EQ(fs_fopen("/f", "rb"), nullptr);
    EXPECT_EQ(fs_errno, FSE_NFILE);
    fs_errno = FSE_OK;
    EXPECT_EQ(fs_opendir("/d"), nullptr);
    EXPECT_EQ(fs_errno, FSE_NFILE);
    // The path is resolved before the slots are searched.
    EXPECT_EQ(fs_fopen("/nothere", "rb"), nullptr);
    EXPECT_EQ(fs_errno, FSE_NOENT);
    // Lookup needs no slot of its own: it works with every slot taken, and
    // takes none.
    EXPECT_EQ(fs_namei("/d"), fs.lookup("/d"));
    fs_statrec st;
    EXPECT_EQ(fs_stat("/f", &st), 0);
    EXPECT_EQ(st.st_size, 8);
    EXPECT_EQ(fs_chdir("/d"), 0);
    EXPECT_EQ(fs_chdir("/"), 0);
    for (int i = 0; i < NFILES; ++i)
        EXPECT_EQ(open_streams[size_t(i)].get(), &fs_files[i]);

    open_streams[5].reset();
    Stream again = open("/f");
    ASSERT_TRUE(again);
    EXPECT_EQ(again.get(), &fs_files[5]);
    char buf[16];
    EXPECT_EQ(fs_fread(buf, 1, sizeof buf, again.get()), 8u);
    EXPECT_EQ(std::string(buf, 8), "content\n");
}

TEST_F(Streams, OpenFailures)
{
    sunimg::Ufs fs;
    fs.file("/f", "x");
    uint32_t big = fs.file("/big", "y");
    uint32_t huge = fs.file("/huge", "y");
    uint32_t two = fs.file("/two", "y");
    uint32_t d = fs.dir("/d");
    fs.file("/d/ghost", "z");
    DiskImage img = sunimg::make_disk(fs);
    img.image.put32be(ino_field(img, big, sunimg::ino_off::size_hi), 0x80000000u);   // negative
    img.image.put32be(ino_field(img, huge, sunimg::ino_off::size_hi), 0x00010000u);  // 2^48: past the map
    img.image.put32be(ino_field(img, two, sunimg::ino_off::size), 0x80000000u);      // 2 GiB: opens
    img.image.put32be(img.dirent_offset(0, d, "ghost") + sunimg::dir_off::ino, 40000000);
    {
        // No file system mounted: nothing opens, and the status says why.
        fs_errno = FSE_MAGIC;
        EXPECT_EQ(fs_fopen("/f", "rb"), nullptr);
        EXPECT_EQ(fs_errno, FSE_NOFS);
        fs_errno = FSE_MAGIC;
        EXPECT_EQ(fs_fopen_ino(ROOT_INO), nullptr);
        EXPECT_EQ(fs_errno, FSE_NOFS);
        fs_errno = FSE_MAGIC;
        EXPECT_EQ(fs_opendir("/"), nullptr);
        EXPECT_EQ(fs_errno, FSE_NOFS);
        fs_errno = FSE_MAGIC;
        EXPECT_EQ(fs_opendir_ino(ROOT_INO), nullptr);
        EXPECT_EQ(fs_errno, FSE_NOFS);
        EXPECT_TRUE(all_stream_slots_free());
    }
    Mount m(img);
    ASSERT_TRUE(m.ok());
    struct Case {
        const char* path;
        int err;
    } cases[] = {
        {"/nothere", FSE_NOENT},
        {"/f/x", FSE_NOTDIR},
        {"/big", FSE_TOOBIG},
        {"/huge", FSE_TOOBIG},
        {"/d/ghost", FSE_READ},   // the inode lies past the end of the image
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        fs_errno = FSE_OK;
        EXPECT_EQ(fs_fopen(c.path, "rb"), nullptr);
        if (c.err == FSE_READ)
            EXPECT_TRUE(fs_errno == FSE_READ || fs_errno == FSE_SEEK) << fs_errno;
        else
            EXPECT_EQ(fs_errno, c.err);
        EXPECT_TRUE(all_stream_slots_free());
    }
}

TEST_F(Streams, DirectoryOpenedAsFileGivesRawBlocks)
{
    sunimg::Ufs fs;
    uint32_t d = fs.dir("/d");
    fs.file("/d/one", "1");
    DiskImage img = sunimg::make_disk(fs);
    Mount m(img);
    ASSERT_TRUE(m.ok());
    Stream f(fs_fopen("/d", "any mode at all"));
    ASSERT_TRUE(f);
    auto got = read_all(f.get());
    EXPECT_EQ(got, img.image.read(img.data_blocks(0, d)[0].offset, 512));   // still big-endian
}

TEST_F(Streams, StreamKeepsItsFileSystem)
{
    sunimg::Ufs a, b;
    a.file("/f", "from partition zero\n");
    b.file("/f", "from partition three, which is longer\n");
    sunimg::Disk two;
    two.add_fs(0, a);
    two.add_fs(3, b);
    TempDir dir;
    std::string path = testimg::write_disk(dir, two.build());
    disk* dk = disk_open(path.c_str());
    ASSERT_NE(dk, nullptr);
    fsys* fa = fs_mount(dk, 0, 0);
    fsys* fb = fs_mount(dk, 3, 0);
    {
        struct Release {
            disk* dk;
            fsys *fa, *fb;
            ~Release()
            {
                if (fb)
                    fs_umount(fb);
                if (fa)
                    fs_umount(fa);
                disk_close(dk);
            }
        } release{dk, fa, fb};
        Stream sa, sb;   // closed before the file systems go
        ASSERT_TRUE(fa && fb);
        ASSERT_EQ(fs_current, fa);
        sa = open("/f");
        fs_setfs(fb);
        sb = open("/f");
        ASSERT_TRUE(sa && sb);
        auto ta = read_all(sa.get()), tb = read_all(sb.get());
        EXPECT_EQ(std::string(ta.begin(), ta.end()), "from partition zero\n");
        EXPECT_EQ(std::string(tb.begin(), tb.end()), "from partition three, which is longer\n");
    }
}

// ---------------------------------------------------------------------------
// Failures while reading: never silent
// ---------------------------------------------------------------------------

TEST_F(Streams, FailingDataBlockIsNeverAQuietEnd)
{
    struct Case {
        const char* what;
        int lbn;          // which of the three blocks fails
        uint32_t addr;
        int err;
    } cases[] = {
        {"middle block past the image", 1, kPastImage, FSE_SEEK},
        {"middle block past 2 GiB", 1, kPast2G, FSE_SEEK},
        {"last block past the image", 2, kPastImage, FSE_SEEK},
        {"first block past 2 GiB", 0, kPast2G, FSE_SEEK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sunimg::Ufs fs;
        auto data = pattern(3 * 8192, 11);
        uint32_t ino = fs.file("/f", data);
        DiskImage img = sunimg::make_disk(fs);
        img.image.put32be(ino_field(img, ino, sunimg::ino_off::db) + 4 * uint32_t(c.lbn), c.addr);
        Mount m(img);
        ASSERT_TRUE(m.ok());
        Stream f = open("/f");
        ASSERT_TRUE(f);
        // The failed block reads as zeros, so the others keep their places.
        std::vector<uint8_t> got(3 * 8192);
        uint32_t n = fs_fread(got.data(), 1, 3 * 8192, f.get());
        EXPECT_EQ(n, 3u * 8192u);
        EXPECT_EQ(fs_errno, c.err);
        std::vector<uint8_t> want = data;
        std::fill(want.begin() + c.lbn * 8192, want.begin() + (c.lbn + 1) * 8192, 0);
        EXPECT_TRUE(testimg::SameBytes(got, want));
        int64_t runs[FF_LOSTRUNS][2];
        EXPECT_EQ(fs_flostruns(f.get(), runs, FF_LOSTRUNS, nullptr), 1u);
        EXPECT_EQ(runs[0][0], c.lbn * 8192);
        EXPECT_EQ(runs[0][1], (c.lbn + 1) * 8192);
        EXPECT_EQ(fs_fread(got.data(), 1, 512, f.get()), 0u);
        EXPECT_EQ(f->ff_state, FS_EOF);
        fs_errno = FSE_OK;
        EXPECT_FALSE(fs_fclean(f.get()));
        EXPECT_EQ(fs_errno, c.err);
    }
}

TEST_F(Streams, ImageEndingInsideTheLastBlock)
{
    // 20000 bytes: the last block holds 3616 bytes in four 1024-byte
    // fragments and is read as 3584 + 512 = 4096 bytes.
    struct Case {
        const char* what;
        uint64_t keep;   // bytes of the moved last block left in the image
        bool clean;
    } cases[] = {
        {"cut inside the file's bytes", 1000, false},
        {"cut one byte short", 3615, false},
        {"cut after the file's bytes, inside the last sector", 3700, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sunimg::Ufs fs;
        auto data = pattern(20000, 12);
        uint32_t ino = fs.file("/f", data);
        DiskImage img = sunimg::make_disk(fs);
        uint64_t at = move_to_end(img, ino_field(img, ino, sunimg::ino_off::db) + 8);
        img.image.resize(at + c.keep);
        Mount m(img);
        ASSERT_TRUE(m.ok());
        Stream f = open("/f");
        ASSERT_TRUE(f);
        auto got = read_all(f.get());
        fs_errno = FSE_OK;
        if (c.clean) {
            EXPECT_TRUE(testimg::SameBytes(got, data));
            EXPECT_TRUE(fs_fclean(f.get()));
        } else {
            // Never bytes that are not the file's: the block reads as zeros.
            std::vector<uint8_t> want(data.begin(), data.begin() + 16384);
            want.resize(data.size(), 0);
            EXPECT_TRUE(testimg::SameBytes(got, want));
            EXPECT_FALSE(fs_fclean(f.get()));
            EXPECT_EQ(fs_errno, FSE_READ);
        }
    }
}

// A lost indirect block loses every block it maps, and only those: they
// read as zeros, and the device is asked for it once.
TEST_F(Streams, FailingIndirectLoadLosesWhatItMaps)
{
    const uint64_t B = 8192, N = 2048;
    struct Case {
        const char* what;
        uint64_t size;
        uint64_t good;    // bytes handed out before the failing load
        int level;        // 1: di_ib[0]; 2: di_ib[1]; 0: entry 0 of the double block
    } cases[] = {
        {"single indirect block", 14 * B + 10, 12 * B, 1},
        {"double indirect block", (12 + N + 2) * B, (12 + N) * B, 2},
        {"single block under the double one", (12 + N + 2) * B, (12 + N) * B, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sunimg::Ufs fs;
        auto data = pattern(c.size, 13);
        uint32_t ino = fs.file("/f", data);
        DiskImage img = sunimg::make_disk(fs);
        uint64_t ib = ino_field(img, ino, sunimg::ino_off::ib);
        uint64_t ptr = c.level == 1 ? ib : c.level == 2 ? ib + 4 : 0;
        if (c.level == 0) {
            for (const auto& r : img.indirect_blocks(0, ino))
                if (r.level == 1 && r.lbn == int64_t(12 + N))
                    ptr = r.ptr_offset;
            ASSERT_NE(ptr, 0u);
        }
        uint64_t at = move_to_end(img, ptr);
        DiskImage cut = img;
        cut.image.resize(at + 4096);   // half of the indirect block
        Mount m(cut);
        ASSERT_TRUE(m.ok());
        Stream f = open("/f");
        ASSERT_TRUE(f);

        uint64_t reads = fsl::dev_reads;
        auto got = read_all(f.get(), 65536);
        EXPECT_LE(fsl::dev_reads - reads, c.size / 65536 + 16);   // the bad block is asked once
        std::vector<uint8_t> want(data.begin(), data.begin() + long(c.good));
        want.resize(data.size(), 0);
        EXPECT_TRUE(testimg::SameBytes(got, want));
        EXPECT_EQ(f->ff_state, FS_EOF);
        fs_errno = FSE_OK;
        EXPECT_FALSE(fs_fclean(f.get()));
        EXPECT_EQ(fs_errno, FSE_READ);
    }
}

}  // namespace

namespace {

// A symbolic link reads as its target text, whether the target lies in a
// data block or, as newer writers keep short ones, inside the inode's
// address words, which must never be taken for block addresses.
TEST_F(Streams, SymbolicLinksReadAsTheirTargetText)
{
    const std::string long_target(80, 'x');
    for (bool fast : {false, true}) {
        sunimg::Ufs fs({.fast_symlinks = fast});
        fs.symlink("/short", "../etc/passwd");
        fs.symlink("/long", long_target);
        fs.symlink("/max", std::string(60, 'm'));
        Mount m(sunimg::make_disk(fs));
        ASSERT_TRUE(m.ok());
        for (const auto& [path, text] : {std::pair<const char*, std::string>{"/short", "../etc/passwd"},
                                         {"/long", long_target},
                                         {"/max", std::string(60, 'm')}}) {
            Stream f = open(path);
            ASSERT_TRUE(f) << path;
            auto got = read_all(f.get(), 7);
            EXPECT_EQ(std::string(got.begin(), got.end()), text) << path << " fast=" << fast;
            EXPECT_TRUE(fs_fclean(f.get())) << path;
        }
    }
}

}  // namespace

namespace {

// A block address whose device offset passes 4 GiB would wrap round in 32
// bits onto another block of the device; it must fail out loud instead of
// handing that block's bytes over as this one's.
TEST_F(Streams, AddressPast4GiBNeverWrapsOntoAnotherBlock)
{
    sunimg::Ufs fs;
    auto data = pattern(2 * 8192, 5);
    uint32_t ino = fs.file("/f", data);
    DiskImage img = sunimg::make_disk(fs);
    uint32_t first = img.data_blocks(0, ino)[0].frag;
    // 1024-byte fragments: 4 MiB fragments are 4 GiB.
    img.image.put32be(ino_field(img, ino, sunimg::ino_off::db) + 4, first + 0x400000u);
    Mount m(img);
    ASSERT_TRUE(m.ok());
    Stream f = open("/f");
    ASSERT_TRUE(f);
    auto got = read_all(f.get());
    std::vector<uint8_t> want(data.begin(), data.begin() + 8192);
    want.resize(data.size(), 0);
    EXPECT_EQ(got, want);
    EXPECT_FALSE(fs_fclean(f.get()));
    EXPECT_EQ(fs_errno, FSE_SEEK);
}

}  // namespace
