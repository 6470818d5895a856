// Files opened by inode number outside the stream table: reads at any
// offset, the data and holes the block map shows, and the ranges a lost
// indirect block takes, each against what the image builder wrote.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fslib/fslib.h"
#include "support/mounted.h"
#include "tools/sunimg.h"

namespace {

constexpr int64_t B = 8192;

class InodeFiles : public testimg::LibraryTest {};

TEST_F(InodeFiles, ReadsSeeksAndLossesFollowTheBlockMap)
{
    // Data at 0..100 and 20B..23B, holes between and after, one byte at
    // the end; a second file whose single indirect block lies past the disk.
    const uint64_t size = 40 * B + 1;
    std::vector<sunimg::Extent> ext = {{0, sunimg::pattern(100, 3)}, {20 * B, sunimg::pattern(3 * B, 4)},
                                       {40 * B, {7}}};
    std::vector<uint8_t> want(size, 0);
    for (const auto& e : ext)
        std::copy(e.data.begin(), e.data.end(), want.begin() + static_cast<long>(e.offset));
    sunimg::Ufs t;
    uint32_t sparse = t.add_sparse(t.root(), "sparse", size, ext);
    uint32_t broken = t.file("/broken", sunimg::pattern(30 * B, 5));
    sunimg::DiskImage img = sunimg::make_disk(t);
    img.image.put32be(img.inode_offset(0, broken) + sunimg::ino_off::ib, 0x7fffffff);
    testimg::Mounted m(img);
    ASSERT_TRUE(m.ok());

    // More files open at once than the stream table holds.
    std::vector<fs_ifile*> open;
    for (int i = 0; i < 3 * NFILES; i++) {
        open.push_back(fs_iopen(sparse));
        ASSERT_NE(open.back(), nullptr) << i;
    }
    struct Read {
        int64_t at;
        uint32_t count;
    } const reads[] = {{0, 200}, {50, B}, {B - 3, 2 * B}, {20 * B - 1, 3 * B + 2}, {40 * B, 10}, {40 * B + 1, 5}};
    for (const Read& r : reads) {
        SCOPED_TRACE(r.at);
        std::vector<uint8_t> got(r.count);
        int64_t n = fs_pread(open[static_cast<size_t>(r.at) % open.size()], got.data(), r.count, r.at);
        int64_t expect = std::min<int64_t>(r.count, static_cast<int64_t>(size) - r.at);
        ASSERT_EQ(n, expect);
        EXPECT_TRUE(std::equal(got.begin(), got.begin() + n, want.begin() + r.at));
    }
    struct Seek {
        int64_t at;
        bool data;
        int64_t found;   // -1: none
    } const seeks[] = {{0, true, 0}, {50, false, B}, {B, true, 20 * B}, {21 * B, false, 23 * B},
                       {23 * B, true, 40 * B}, {40 * B, false, static_cast<int64_t>(size)}, {static_cast<int64_t>(size), true, -1}};
    for (const Seek& s : seeks)
        EXPECT_EQ(fs_iseek(open[0], s.at, s.data), s.found) << s.at << (s.data ? " data" : " hole");
    int64_t runs[4][2];
    EXPECT_EQ(fs_ilost(open[0], runs, 4), 0u);
    for (fs_ifile* f : open)
        fs_iclose(f);
    EXPECT_TRUE(testimg::all_stream_slots_free());

    // What the indirect block maps is lost; the direct blocks still read.
    fs_ifile* f = fs_iopen(broken);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(fs_ilost(f, runs, 4), 1u);
    EXPECT_EQ(runs[0][0], 12 * B);
    EXPECT_EQ(runs[0][1], 30 * B);
    std::vector<uint8_t> buf(B);
    EXPECT_EQ(fs_pread(f, buf.data(), uint32_t(B), 11 * B), B);
    EXPECT_EQ(fs_pread(f, buf.data(), uint32_t(B), 12 * B - 1), -1);
    fs_iclose(f);
}

}  // namespace
