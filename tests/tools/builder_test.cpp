// The disk-image builder (tools/sunimg) checked against independent
// readers: The Sleuth Kit (mmls, fsstat, fls, istat, icat), plus direct
// checks of the label, the superblock and the inode address formula.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <set>
#include <sstream>

#include "support/bytes.h"
#include "support/images.h"
#include "support/oracle.h"
#include "tools/sunimg.h"

using sunimg::Meta;
using testimg::TempDir;

namespace {

// TSK wants the partition start in sectors.
uint64_t sectors(const sunimg::DiskImage& img, int part)
{
    return img.partition_offset(part) / 512;
}

std::string as_string(const std::vector<uint8_t>& v)
{
    return std::string(v.begin(), v.end());
}

// Expected istat "mode:" text for a mode word.
std::string tsk_mode(uint16_t mode)
{
    std::string s;
    switch (mode & sunimg::kIFMT) {
    case sunimg::kIFREG: s = "r"; break;
    case sunimg::kIFDIR: s = "d"; break;
    case sunimg::kIFLNK: s = "l"; break;
    case sunimg::kIFCHR: s = "c"; break;
    case sunimg::kIFBLK: s = "b"; break;
    case sunimg::kIFIFO: s = "p"; break;
    case sunimg::kIFSOCK: s = "h"; break;   // TSK's letter for sockets
    default: s = "-";
    }
    const char* rwx = "rwxrwxrwx";
    for (int i = 0; i < 9; i++)
        s += (mode & (0400 >> i)) ? rwx[i] : '-';
    if (mode & sunimg::kISUID)
        s[3] = (mode & 0100) ? 's' : 'S';
    if (mode & sunimg::kISGID)
        s[6] = (mode & 0010) ? 's' : 'S';
    if (mode & sunimg::kISVTX)
        s[9] = (mode & 0001) ? 't' : 'T';
    return s;
}

// The fragment address of logical block lbn of an inode, walked by hand
// through the image bytes (0 in a hole).
uint32_t block_addr(const sunimg::DiskImage& img, int part, uint32_t ino, uint64_t lbn)
{
    const uint64_t ioff = img.inode_offset(part, ino);
    const uint64_t N = uint64_t(img.layout(part).sb.nindir);
    if (lbn < 12)
        return img.image.get32be(ioff + 40 + 4 * lbn);
    uint64_t l = lbn - 12;
    int level;
    uint32_t a;
    if (l < N) {
        level = 1;
        a = img.image.get32be(ioff + 88);
    } else if ((l -= N) < N * N) {
        level = 2;
        a = img.image.get32be(ioff + 92);
    } else {
        l -= N * N;
        level = 3;
        a = img.image.get32be(ioff + 96);
    }
    for (int lv = level; lv >= 1 && a != 0; lv--) {
        uint64_t span = 1;
        for (int k = 1; k < lv; k++)
            span *= N;
        a = img.image.get32be(img.frag_offset(part, a) + 4 * ((l / span) % N));
    }
    return a;
}

// Bytes [pos, pos + n) of a file, read by hand through its block map.
std::vector<uint8_t> read_at(const sunimg::DiskImage& img, int part, uint32_t ino, uint64_t pos, size_t n)
{
    const uint64_t bsize = uint64_t(img.layout(part).sb.bsize);
    std::vector<uint8_t> out;
    for (uint64_t p = pos; p < pos + n; p++) {
        uint32_t a = block_addr(img, part, ino, p / bsize);
        out.push_back(a == 0 ? 0 : img.image.get8(img.frag_offset(part, a) + p % bsize));
    }
    return out;
}

// Reads a file of the built image the way the UFS format says, through
// the image bytes alone (our own reader for what TSK cannot show).
std::vector<uint8_t> read_back(const sunimg::DiskImage& img, int part, uint32_t ino, uint64_t max_bytes)
{
    const auto& sb = img.layout(part).sb;
    const uint64_t ioff = img.inode_offset(part, ino);
    uint64_t size = (uint64_t(img.image.get32be(ioff + 8)) << 32) | img.image.get32be(ioff + 12);
    size = std::min(size, max_bytes);
    std::vector<uint8_t> out(size, 0);
    const uint64_t bsize = uint64_t(sb.bsize);
    auto frag_at = [&](uint32_t frag) {
        return img.frag_offset(part, frag);
    };
    auto addr = [&](uint64_t lbn) {
        return block_addr(img, part, ino, lbn);
    };
    for (uint64_t pos = 0; pos < size; pos += bsize) {
        uint32_t a = addr(pos / bsize);
        if (a == 0)
            continue;
        auto b = img.image.read(frag_at(a), size_t(std::min(bsize, size - pos)));
        std::copy(b.begin(), b.end(), out.begin() + pos);
    }
    return out;
}

std::map<std::string, oracle::FlsRow> fls_by_name(const std::string& out)
{
    std::map<std::string, oracle::FlsRow> m;
    for (const auto& r : oracle::parse_fls(out))
        m[r.name] = r;
    return m;
}

}   // namespace

// ---------------------------------------------------------------------------
// Label
// ---------------------------------------------------------------------------
TEST(Label, FieldsChecksumAndRoundTrip)
{
    sunimg::Label l;
    l.text = "SUN0669 cyl 1614 alt 2 hd 15 sec 54";
    l.rpm = 3600;
    l.pcyl = 1616;
    l.apc = 0;
    l.obs1 = 0x1234;
    l.obs4 = 0xBEEF;
    l.intrlv = 1;
    l.ncyl = 1614;
    l.acyl = 2;
    l.nhead = 15;
    l.nsect = 54;
    l.part[0] = {0, 15 * 54 * 100};
    l.part[2] = {0, 15 * 54 * 1614};
    l.part[6] = {100, 15 * 54 * 1514};
    auto s = sunimg::encode_label(l);

    EXPECT_EQ(0, std::memcmp(s.data(), l.text.data(), l.text.size()));
    EXPECT_EQ(sunimg::get16be(s.data() + 420), 3600);
    EXPECT_EQ(sunimg::get16be(s.data() + 422), 1616);
    EXPECT_EQ(sunimg::get16be(s.data() + 426), 0x1234);
    EXPECT_EQ(sunimg::get16be(s.data() + 432), 1614);
    EXPECT_EQ(sunimg::get16be(s.data() + 436), 15);
    EXPECT_EQ(sunimg::get16be(s.data() + 438), 54);
    EXPECT_EQ(sunimg::get16be(s.data() + 442), 0xBEEF);
    EXPECT_EQ(sunimg::get32be(s.data() + 444 + 6 * 8), 100u);
    EXPECT_EQ(sunimg::get32be(s.data() + 444 + 6 * 8 + 4), 15u * 54 * 1514);
    EXPECT_EQ(sunimg::get16be(s.data() + 508), 0xDABE);

    // XOR over all 256 words, checksum included, is zero.
    uint16_t x = 0;
    for (int i = 0; i < 512; i += 2)
        x ^= sunimg::get16be(s.data() + i);
    EXPECT_EQ(x, 0);
    EXPECT_EQ(sunimg::get16be(s.data() + 510), sunimg::label_checksum(s.data()));

    sunimg::Label back = sunimg::decode_label(s.data());
    EXPECT_EQ(back.text, l.text);
    EXPECT_EQ(back.ncyl, 1614);
    EXPECT_EQ(back.part[6].cylno, 100);
    EXPECT_EQ(*back.cksum, sunimg::label_checksum(s.data()));

    EXPECT_EQ(sunimg::partition_offset(l, 6), 100ull * 15 * 54 * 512);
    EXPECT_EQ(sunimg::partition_offset(l, 0), 0u);

    // Damage on request.
    l.cksum = uint16_t(sunimg::label_checksum(s.data()) ^ 1);
    l.magic = 0xBEDA;
    auto bad = sunimg::encode_label(l);
    EXPECT_EQ(sunimg::get16be(bad.data() + 508), 0xBEDA);
    EXPECT_EQ(sunimg::get16be(bad.data() + 510), *l.cksum);
    EXPECT_NE(sunimg::get16be(bad.data() + 510), sunimg::label_checksum(bad.data()));
}

TEST(Label, DiskPlacesPartitionsOnCylinders)
{
    sunimg::Ufs a, b;
    a.file("/a", "first");
    b.file("/b", "second");
    sunimg::Disk disk({.geom = {.nhead = 9, .nsect = 36}});
    auto la = disk.add_fs(0, a);
    auto lb = disk.add_fs(1, b);
    disk.add_partition(7, 300, 9 * 36 * 4);
    sunimg::DiskImage img = disk.build();

    const uint32_t cyl = 9 * 36;
    EXPECT_EQ(img.label.part[0].cylno, 0);
    EXPECT_EQ(img.label.part[0].nblk, int32_t(la.part_ncyl * cyl));
    EXPECT_EQ(img.label.part[1].cylno, la.part_ncyl);
    EXPECT_EQ(img.label.part[1].nblk, int32_t(lb.part_ncyl * cyl));
    EXPECT_EQ(img.label.part[7].cylno, 300);
    EXPECT_EQ(img.label.ncyl, 304);
    EXPECT_EQ(img.label.pcyl, 306);
    EXPECT_EQ(img.label.part[2].cylno, 0);
    EXPECT_EQ(img.label.part[2].nblk, int32_t(304 * cyl));
    EXPECT_EQ(img.image.size(), 304ull * cyl * 512);

    auto sector = img.image.read(0, 512);
    sunimg::Label onDisk = sunimg::decode_label(sector.data());
    EXPECT_EQ(*onDisk.cksum, sunimg::label_checksum(sector.data()));
    EXPECT_EQ(onDisk.nhead, 9);
    EXPECT_EQ(onDisk.nsect, 36);
    for (int p : {0, 1}) {
        uint64_t off = uint64_t(onDisk.part[p].cylno) * 9 * 36 * 512;
        EXPECT_EQ(img.partition_offset(p), off);
        EXPECT_EQ(img.superblock_offset(p), off + 8192);
        EXPECT_EQ(img.image.get32be(off + 8192 + 1372), uint32_t(sunimg::kFsMagic));
    }

    // rewrite_label() puts edited fields back, checksum recomputed.
    img.label.part[5] = {10, 99};
    img.rewrite_label();
    auto again = img.image.read(0, 512);
    EXPECT_EQ(sunimg::get32be(again.data() + 444 + 40), 10u);
    EXPECT_EQ(sunimg::get16be(again.data() + 510), sunimg::label_checksum(again.data()));
}

// ---------------------------------------------------------------------------
// Image container
// ---------------------------------------------------------------------------
TEST(Image, PatchCutAndSparseWrite)
{
    sunimg::Image im;
    im.dense().assign(4096, 0);
    im.resize(3ull << 30);
    EXPECT_EQ(im.size(), 3ull << 30);
    im.put32be(100, 0xDEADBEEF);
    im.put32be((2ull << 30) + 8192 + 1372, 0x011954);
    im.put(4094, std::vector<uint8_t>{1, 2, 3, 4});   // straddles the dense end
    EXPECT_EQ(im.get32be(100), 0xDEADBEEFu);
    EXPECT_EQ(im.get32be((2ull << 30) + 8192 + 1372), 0x011954u);
    EXPECT_EQ(im.get32be(4094), 0x01020304u);
    EXPECT_EQ(im.get8(1ull << 30), 0);

    TempDir tmp;
    std::string p = tmp.file("big.img");
    im.write(p);
    struct stat st;
    ASSERT_EQ(stat(p.c_str(), &st), 0);
    EXPECT_EQ(uint64_t(st.st_size), 3ull << 30);
    EXPECT_LT(uint64_t(st.st_blocks) * 512, 16ull << 20);

    im.resize(4000);
    EXPECT_EQ(im.size(), 4000u);
    EXPECT_EQ(im.bytes().size(), 4000u);

    // Writes that touch, bridge and extend separate extents.
    sunimg::Image s;
    s.put(0, std::vector<uint8_t>(100, 1));
    s.put(1000, std::vector<uint8_t>(10, 2));   // new extent
    s.put(1010, std::vector<uint8_t>(5, 3));   // extends it
    s.put(98, std::vector<uint8_t>(905, 4));   // bridges dense and extent
    auto all = s.bytes();
    ASSERT_EQ(all.size(), 1015u);
    EXPECT_EQ(all[97], 1);
    EXPECT_EQ(all[98], 4);
    EXPECT_EQ(all[500], 4);
    EXPECT_EQ(all[1002], 4);
    EXPECT_EQ(all[1003], 2);
    EXPECT_EQ(s.read(1008, 4), (std::vector<uint8_t>{2, 2, 3, 3}));
    s.put(2000, std::vector<uint8_t>{9});   // past the end: grows
    EXPECT_EQ(s.size(), 2001u);
    EXPECT_EQ(s.get8(1500), 0);
}

// ---------------------------------------------------------------------------
// Superblock, cylinder groups, inode placement
// ---------------------------------------------------------------------------
struct SizePair {
    int bsize, fsize;
};

class Geometry : public ::testing::TestWithParam<SizePair> {};

TEST_P(Geometry, SuperblockFieldsAreConsistent)
{
    const auto [bsize, fsize] = GetParam();
    sunimg::Ufs fs({.bsize = bsize, .fsize = fsize, .cpg = 8, .ncyl = 40});
    fs.file("/hello", "hello\n");
    sunimg::DiskImage img = sunimg::make_disk(fs);
    const auto& im = img.image;
    const uint64_t sbo = img.superblock_offset(0);
    auto w = [&](uint32_t off) {
        return int32_t(im.get32be(sbo + off));
    };

    EXPECT_EQ(w(1372), sunimg::kFsMagic);
    EXPECT_EQ(w(48), bsize);
    EXPECT_EQ(w(52), fsize);
    const int frag = bsize / fsize;
    EXPECT_EQ(w(56), frag);
    EXPECT_EQ(w(72), ~(bsize - 1));
    EXPECT_EQ(w(76), ~(fsize - 1));
    EXPECT_EQ(1 << w(80), bsize);
    EXPECT_EQ(1 << w(84), fsize);
    EXPECT_EQ(1 << w(96), frag);
    EXPECT_EQ(512 << w(100), fsize);
    EXPECT_EQ(w(116), bsize / 4);
    EXPECT_EQ(w(120), bsize / 128);
    EXPECT_EQ(w(124), fsize / 512);
    EXPECT_EQ(w(1344), bsize - 1);   // fs_qbmask low half
    EXPECT_EQ(w(1352), fsize - 1);   // fs_qfmask low half
    EXPECT_EQ(w(164), 16);   // ntrak
    EXPECT_EQ(w(168), 32);   // nsect
    EXPECT_EQ(w(172), 16 * 32);   // spc
    EXPECT_EQ(w(176), 40);   // ncyl
    EXPECT_EQ(w(180), 8);   // cpg
    EXPECT_EQ(w(44), 5);   // ncg
    EXPECT_EQ(w(188), 8 * 16 * 32 * 512 / fsize);   // fpg
    EXPECT_EQ(w(36), 40 * 16 * 32 * 512 / fsize);   // size
    EXPECT_EQ(w(184) % (bsize / 128), 0);   // ipg multiple of inopb

    // Every group: cg header with magic, superblock copy.
    const auto& L = img.layout(0);
    for (uint32_t c = 0; c < 5; c++) {
        uint64_t cgoff = img.frag_offset(0, L.cg_start(c) + uint32_t(L.sb.cblkno));
        EXPECT_EQ(im.get32be(cgoff + 4), uint32_t(sunimg::kCgMagic)) << "cg " << c;
        EXPECT_EQ(im.get32be(cgoff + 12), c);
        uint64_t copy = img.frag_offset(0, L.cg_start(c) + uint32_t(L.sb.sblkno));
        EXPECT_EQ(im.get32be(copy + 1372), uint32_t(sunimg::kFsMagic)) << "cg " << c;
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, Geometry,
                         ::testing::Values(SizePair{8192, 1024}, SizePair{8192, 512}, SizePair{8192, 2048},
                                           SizePair{8192, 4096}, SizePair{8192, 8192}, SizePair{4096, 512},
                                           SizePair{4096, 1024}, SizePair{4096, 4096}),
                         [](const auto& info) {
                             return std::to_string(info.param.bsize) + "_" + std::to_string(info.param.fsize);
                         });

TEST(Inodes, PlacedInLaterStaggeredGroups)
{
    // 64 inodes per group, 1024 fragments of 1 KiB per group, groups
    // staggered by 16 fragments (fs_cgmask ~15), inode blocks at fragment
    // 32 of each group.  Byte offsets worked out by hand: inode 130 is
    // inode 2 of group 2, (2*1024 + 2*16 + 32) * 1024 + 2*128.
    struct Case {
        uint32_t ino;
        uint64_t offset;
    };
    const Case cases[] = {{70, 1098496}, {130, 2162944}, {191, 2170752}, {200, 3228672}, {321, 5357696}};
    sunimg::Ufs fs({.cpg = 4, .ncyl = 24, .ipg = 64, .wide_ids = true});
    uint32_t d = fs.dir("/g");
    for (const auto& c : cases)
        fs.add_file(d, "f" + std::to_string(c.ino), "inode " + std::to_string(c.ino) + "\n",
                    {.uid = c.ino, .gid = c.ino + 1, .ino = c.ino});
    sunimg::DiskImage img = sunimg::make_disk(fs);
    for (const auto& c : cases) {
        EXPECT_EQ(img.inode_offset(0, c.ino), c.offset);
        EXPECT_EQ(img.image.get16be(c.offset), sunimg::kIFREG | 0644) << c.ino;
    }

    REQUIRE_TOOL("istat");
    REQUIRE_TOOL("icat");
    TempDir tmp;
    std::string path = testimg::write_disk(tmp, img);
    for (const auto& c : cases) {
        auto st = oracle::istat(path, 0, c.ino);
        ASSERT_TRUE(st.ok()) << st.err;
        auto k = oracle::parse_keys(st.out);
        EXPECT_EQ(k["Group"], std::to_string(c.ino / 64)) << c.ino;
        EXPECT_EQ(k["uid / gid"], std::to_string(c.ino) + " / " + std::to_string(c.ino + 1));
        auto cat = oracle::icat(path, 0, c.ino);
        EXPECT_EQ(cat.out, "inode " + std::to_string(c.ino) + "\n");
    }
}

TEST(Inodes, OldDriveGeometry)
{
    // A drive of 6 heads x 35 sectors: fs_cgmask ~3, fs_cgoffset 24.
    sunimg::DiskOptions d;
    d.geom = {.nhead = 6, .nsect = 35};
    sunimg::Ufs fs({.cpg = 16, .ncyl = 100, .ipg = 128});
    std::map<uint32_t, std::vector<uint8_t>> want;
    for (uint32_t ino : {5u, 130u, 260u, 400u, 700u, 777u}) {
        auto data = sunimg::pattern(ino * 100, ino);
        want[fs.add_file(fs.root(), "f" + std::to_string(ino), data, {.ino = ino})] = data;
    }
    sunimg::Disk disk(d);
    disk.add_fs(0, fs);
    sunimg::DiskImage img = disk.build();
    const auto& sb = img.layout(0).sb;
    EXPECT_EQ(sb.cgmask, ~3);
    EXPECT_EQ(sb.cgoffset, 24);
    EXPECT_EQ(sb.spc, 210);
    EXPECT_EQ(img.label.nhead, 6);
    EXPECT_EQ(img.label.nsect, 35);

    REQUIRE_TOOL("icat");
    TempDir tmp;
    std::string path = testimg::write_disk(tmp, img);
    for (const auto& [ino, data] : want) {
        auto r = oracle::icat(path, 0, ino);
        ASSERT_TRUE(r.ok()) << r.err;
        EXPECT_TRUE(testimg::SameBytes(r.out, as_string(data))) << ino;
        EXPECT_EQ(read_back(img, 0, ino, ~0ull), data);
    }
}

TEST(Directories, RecordsFillEvery512ByteChunk)
{
    sunimg::Ufs fs;
    uint32_t d = fs.dir("/many");
    uint32_t target = fs.file("/target", "x");
    for (int i = 0; i < 300; i++)
        fs.link(d, std::string(size_t(1 + i % 40), char('a' + i % 26)) + std::to_string(i), target);
    sunimg::DiskImage img = sunimg::make_disk(fs);
    const auto& info = img.layout(0).inode(d);
    ASSERT_EQ(info.size % 512, 0u);
    auto bytes = read_back(img, 0, d, info.size);
    size_t names = 0;
    for (size_t chunk = 0; chunk < bytes.size(); chunk += 512) {
        size_t pos = chunk;
        while (pos < chunk + 512) {
            uint16_t reclen = sunimg::get16be(bytes.data() + pos + 4);
            uint16_t namlen = sunimg::get16be(bytes.data() + pos + 6);
            ASSERT_GE(reclen, 8 + ((namlen + 1 + 3) & ~3));
            ASSERT_EQ(bytes[pos + 8 + namlen], 0);
            if (pos == 0) {
                EXPECT_EQ(std::string(reinterpret_cast<char*>(&bytes[8]), namlen), ".");
            }
            names++;
            pos += reclen;
        }
        EXPECT_EQ(pos, chunk + 512);
    }
    EXPECT_EQ(names, 302u);
    EXPECT_EQ(img.image.get16be(img.inode_offset(0, target) + 2), 301);   // nlink
}

// ---------------------------------------------------------------------------
// The Sleuth Kit: partitions and file-system summary
// ---------------------------------------------------------------------------
TEST(Tsk, MmlsSeesOurPartitions)
{
    REQUIRE_TOOL("mmls");
    sunimg::Ufs a, b;
    a.file("/a", "a");
    b.file("/b", "b");
    sunimg::Disk disk;
    auto la = disk.add_fs(0, a);
    disk.add_fs(6, b, la.part_ncyl + 3, 4);
    sunimg::DiskImage img = disk.build();
    TempDir tmp;
    std::string path = testimg::write_disk(tmp, img);
    auto r = oracle::mmls(path);
    ASSERT_TRUE(r.ok()) << r.err;
    EXPECT_NE(r.out.find("Sun Volume Table of Contents"), std::string::npos) << r.out;
    auto rows = oracle::parse_mmls(r.out);
    std::map<uint64_t, oracle::MmlsRow> by_start;
    bool saw0 = false, saw6 = false, saw2 = false;
    for (const auto& row : rows) {
        if (row.slot == "000" && row.start == 0 && row.length == uint64_t(img.label.part[0].nblk))
            saw0 = true;
        if (row.start == sectors(img, 6) && row.length == uint64_t(img.label.part[6].nblk))
            saw6 = true;
        if (row.desc.find("backup") != std::string::npos && row.length == uint64_t(img.label.part[2].nblk))
            saw2 = true;
    }
    EXPECT_TRUE(saw0) << r.out;
    EXPECT_TRUE(saw6) << r.out;
    EXPECT_TRUE(saw2) << r.out;
}

class TskSizes : public ::testing::TestWithParam<SizePair> {};

TEST_P(TskSizes, FsstatSeesUfs1WithOurSizes)
{
    REQUIRE_TOOL("fsstat");
    const auto [bsize, fsize] = GetParam();
    sunimg::Ufs fs({.bsize = bsize, .fsize = fsize, .cpg = 8, .ncyl = 24, .ipg = 256});
    fs.file("/f", "data");
    sunimg::DiskImage img = sunimg::make_disk(fs);
    TempDir tmp;
    std::string path = testimg::write_disk(tmp, img);
    for (std::string type : {"", "ufs1"}) {
        auto r = oracle::fsstat(path, 0, type);
        ASSERT_TRUE(r.ok()) << type << ": " << r.err;
        auto k = oracle::parse_keys(r.out);
        EXPECT_EQ(k["File System Type"], "UFS 1");
        EXPECT_EQ(k["Block Size"], std::to_string(bsize));
        EXPECT_EQ(k["Fragment Size"], std::to_string(fsize));
        EXPECT_EQ(k["Number of Cylinder Groups"], "3");
        EXPECT_EQ(k["Inodes per group"], "256");
        EXPECT_EQ(k["Fragments per group"], std::to_string(8 * 16 * 32 * 512 / fsize));
        EXPECT_EQ(k["Root Directory"], "2");
        EXPECT_EQ(k["Num of Avail Inodes"], std::to_string(3 * 256 - 4));   // 0, 1, root, /f
        EXPECT_EQ(k["Num of Directories"], "1");
        EXPECT_EQ(k["Last Mount Point"], "/");
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, TskSizes,
                         ::testing::Values(SizePair{8192, 1024}, SizePair{8192, 512}, SizePair{8192, 8192},
                                           SizePair{4096, 512}, SizePair{4096, 4096}),
                         [](const auto& info) {
                             return std::to_string(info.param.bsize) + "_" + std::to_string(info.param.fsize);
                         });

TEST(Tsk, CylinderGroupMapsMatchAllocation)
{
    REQUIRE_TOOL("blkls");
    REQUIRE_TOOL("icat");
    // Small groups (2 MB) so that a 5 MB file runs across two group
    // boundaries and the metadata in between, inodes in several groups.
    sunimg::Ufs fs = testimg::standard_tree({.cpg = 8, .ncyl = 60, .ipg = 64});
    auto big = sunimg::pattern(5 << 20, 77);
    uint32_t bigino = fs.file("/var/big", big, {.ino = 100});
    fs.file("/var/small", "small\n", {.ino = 200});
    sunimg::DiskImage img = sunimg::make_disk(fs);
    const auto& L = img.layout(0);
    TempDir tmp;
    std::string path = testimg::write_disk(tmp, img);
    auto r = oracle::run_tool({"blkls", "-l", "-e", "-o", "0", path});
    ASSERT_TRUE(r.ok()) << r.err;
    std::map<uint32_t, char> state;
    std::stringstream ss(r.out);
    std::string line;
    while (std::getline(ss, line)) {
        size_t bar = line.find('|');
        if (bar == std::string::npos || line.size() != bar + 2 || !isdigit(line[0]))
            continue;
        state[uint32_t(std::stoul(line.substr(0, bar)))] = line[bar + 1];
    }
    ASSERT_EQ(state.size(), size_t(L.sb.size));
    size_t nfree = 0;
    for (const auto& [f, c] : state)
        nfree += c == 'f';
    EXPECT_EQ(nfree, size_t(L.sb.nbfree) * size_t(L.sb.frag) + size_t(L.sb.nffree));
    for (const auto& [ino, info] : L.inodes) {
        for (const auto* list : {&info.data, &info.indirect})
            for (const auto& b : *list)
                for (uint32_t i = 0; i < b.nfrags; i++)
                    ASSERT_EQ(state[b.frag + i], 'a') << "inode " << ino;
    }
    // The big file's blocks skip the metadata of groups 1 and 2.
    std::set<uint32_t> cgs;
    for (const auto& b : L.inode(bigino).data)
        cgs.insert(b.frag / uint32_t(L.sb.fpg));
    EXPECT_GE(cgs.size(), 3u);
    auto c = oracle::icat(path, 0, bigino);
    EXPECT_TRUE(testimg::SameBytes(c.out, as_string(big)));
}

// ---------------------------------------------------------------------------
// The Sleuth Kit: names and inode numbers
// ---------------------------------------------------------------------------
TEST(Tsk, FlsListsNestedTree)
{
    REQUIRE_TOOL("fls");
    sunimg::Ufs fs = testimg::standard_tree();
    sunimg::DiskImage img = sunimg::make_disk(fs);
    TempDir tmp;
    std::string path = testimg::write_disk(tmp, img);
    auto r = oracle::fls(path, 0);
    ASSERT_TRUE(r.ok()) << r.err;
    auto m = fls_by_name(r.out);
    std::vector<std::string> expect{"etc",
                                    "etc/passwd",
                                    "etc/motd",
                                    "home",
                                    "home/user",
                                    "home/user/notes.txt",
                                    "usr",
                                    "usr/bin",
                                    "usr/share",
                                    "usr/share/doc",
                                    "usr/share/doc/README",
                                    "usr/share/doc/long.txt",
                                    "bin",
                                    "dev",
                                    "dev/null",
                                    "tmp"};
    for (const auto& name : expect) {
        ASSERT_TRUE(m.count(name)) << name << "\n" << r.out;
        EXPECT_EQ(m[name].ino, fs.lookup("/" + name)) << name;
        EXPECT_FALSE(m[name].deleted) << name;
    }
    EXPECT_EQ(m["etc"].type.back(), 'd');
    EXPECT_EQ(m["etc/passwd"].type.back(), 'r');
    EXPECT_EQ(m["bin"].type.back(), 'l');
    EXPECT_EQ(m["dev/null"].type.back(), 'c');
    // Nothing that we did not put there (TSK adds only its $OrphanFiles).
    for (const auto& [name, row] : m)
        if (name.rfind("$Orphan", 0) != 0) {
            EXPECT_TRUE(std::find(expect.begin(), expect.end(), name) != expect.end()) << name;
        }
}

TEST(Tsk, FlsBigDirectorySpillsIntoIndirectBlock)
{
    REQUIRE_TOOL("fls");
    for (int bsize : {8192, 4096}) {
        SCOPED_TRACE(bsize);
        sunimg::Ufs fs({.bsize = bsize, .fsize = 1024});
        uint32_t d = fs.dir("/big");
        uint32_t t1 = fs.file("/t1", "one");
        uint32_t t2 = fs.file("/t2", "two");
        // 16-byte records: 32 per chunk; enough for more than 12 blocks.
        const int n = 12 * (bsize / 16) + 200;
        for (int i = 0; i < n; i++)
            fs.link(d, "n" + std::to_string(100000 + i), i % 2 ? t1 : t2);
        uint32_t late = fs.add_file(d, "late-name", "found me\n");
        sunimg::DiskImage img = sunimg::make_disk(fs);
        const auto& info = img.layout(0).inode(d);
        ASSERT_FALSE(info.indirect.empty());
        EXPECT_EQ(info.indirect[0].level, 1);
        EXPECT_GT(info.size, 12u * uint64_t(bsize));
        // The late name lies in a block past the twelfth.
        uint64_t pos = 0;
        for (const auto& r : info.dirents)
            if (r.name == "late-name")
                pos = r.pos;
        EXPECT_GE(pos / uint64_t(bsize), 12u);

        TempDir tmp;
        std::string path = testimg::write_disk(tmp, img);
        auto all = oracle::fls(path, 0, {"-r", "-p"});
        ASSERT_TRUE(all.ok()) << all.err;
        auto m = fls_by_name(all.out);
        ASSERT_TRUE(m.count("big/late-name")) << "late-name missing";
        EXPECT_EQ(m["big/late-name"].ino, late);
        int seen = 0;
        for (int i = 0; i < n; i++) {
            auto it = m.find("big/n" + std::to_string(100000 + i));
            if (it != m.end() && it->second.ino == (i % 2 ? t1 : t2))
                seen++;
        }
        EXPECT_EQ(seen, n);
    }
}

// ---------------------------------------------------------------------------
// The Sleuth Kit: file contents
// ---------------------------------------------------------------------------
class TskContent : public ::testing::TestWithParam<SizePair> {};

TEST_P(TskContent, IcatReturnsEveryByte)
{
    REQUIRE_TOOL("icat");
    const auto [bsize, fsize] = GetParam();
    const uint64_t B = uint64_t(bsize);
    sunimg::Ufs fs({.bsize = bsize, .fsize = fsize});
    std::map<uint32_t, std::vector<uint8_t>> want;
    std::set<uint64_t> sizes{0,
                             1,
                             300,
                             512,
                             uint64_t(fsize),
                             uint64_t(fsize) + 1,
                             700,
                             B - 1,
                             B,
                             B + 1,
                             10000,
                             11 * B + 5,
                             12 * B,
                             12 * B + 1,
                             12 * B + 2 * uint64_t(fsize) + 3,
                             40 * B + 123};
    uint32_t seed = 1;
    for (uint64_t n : sizes) {
        auto data = sunimg::pattern(size_t(n), seed++);
        uint32_t ino = fs.file("/f" + std::to_string(n), data);
        want[ino] = data;
    }
    sunimg::DiskImage img = sunimg::make_disk(fs);

    // Tails of short files are fragments; exactly 12 blocks needs no
    // indirect block; 12 blocks + 1 needs one.
    const auto& L = img.layout(0);
    EXPECT_EQ(L.inode(fs.lookup("/f300")).data.at(0).nfrags, 1u);
    EXPECT_TRUE(L.inode(fs.lookup("/f" + std::to_string(12 * B))).indirect.empty());
    EXPECT_EQ(L.inode(fs.lookup("/f" + std::to_string(12 * B + 1))).indirect.size(), 1u);
    EXPECT_EQ(L.inode(fs.lookup("/f" + std::to_string(12 * B + 1))).data.back().nfrags, uint32_t(bsize / fsize));
    if (bsize / fsize > 1) {
        EXPECT_LT(L.inode(fs.lookup("/f10000")).data.back().nfrags, uint32_t(bsize / fsize));
    }

    TempDir tmp;
    std::string path = testimg::write_disk(tmp, img);
    for (const auto& [ino, data] : want) {
        auto r = oracle::icat(path, 0, ino);
        ASSERT_TRUE(r.ok()) << r.err;
        EXPECT_EQ(r.out.size(), data.size()) << "inode " << ino;
        EXPECT_TRUE(r.out == as_string(data)) << "inode " << ino << " size " << data.size();
        EXPECT_EQ(read_back(img, 0, ino, ~0ull), data);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, TskContent,
                         ::testing::Values(SizePair{8192, 1024}, SizePair{8192, 8192}, SizePair{4096, 512},
                                           SizePair{4096, 2048}),
                         [](const auto& info) {
                             return std::to_string(info.param.bsize) + "_" + std::to_string(info.param.fsize);
                         });

TEST(Tsk, IcatDoubleIndirectFile)
{
    REQUIRE_TOOL("icat");
    // 2060 blocks reach through the single indirect block; 5 more need the
    // double indirect block (logical block 2060 = entry 0 of the single
    // indirect block that is entry 0 of di_ib[1]).
    const uint64_t size = (2060 + 5) * 8192ull + 77;
    sunimg::Ufs fs;
    auto data = sunimg::pattern(size_t(size), 42);
    uint32_t ino = fs.file("/huge", data);
    sunimg::DiskImage img = sunimg::make_disk(fs);

    auto blocks = img.data_blocks(0, ino);
    auto ind = img.indirect_blocks(0, ino);
    ASSERT_EQ(blocks.size(), 2066u);
    ASSERT_EQ(ind.size(), 3u);   // single, double, one single under it
    const uint64_t ioff = img.inode_offset(0, ino);
    const sunimg::BlockRef* dbl = nullptr;
    for (const auto& b : ind)
        if (b.level == 2)
            dbl = &b;
    ASSERT_NE(dbl, nullptr);
    EXPECT_EQ(dbl->ptr_offset, ioff + 92);
    EXPECT_EQ(img.image.get32be(ioff + 92), dbl->frag);
    const auto& b2060 = blocks[2060];
    EXPECT_EQ(b2060.lbn, 2060);
    uint32_t single = img.image.get32be(dbl->offset);   // entry 0 of the double indirect block
    EXPECT_EQ(b2060.ptr_offset, img.frag_offset(0, single));
    EXPECT_EQ(img.image.get32be(b2060.ptr_offset), b2060.frag);

    TempDir tmp;
    std::string path = testimg::write_disk(tmp, img);
    auto r = oracle::icat(path, 0, ino);
    ASSERT_TRUE(r.ok()) << r.err;
    ASSERT_EQ(r.out.size(), size);
    EXPECT_TRUE(testimg::SameBytes(r.out, as_string(data)));
}

TEST(Tsk, IcatSparseFilesWithHoles)
{
    REQUIRE_TOOL("icat");
    // 4096-byte blocks keep the double indirect range small (from block 1036).
    // TSK quirk: it refuses a file whose missing indirect range would lie
    // past the end of the file system, so the fs (8 MB) is made larger than
    // the largest sparse file.
    sunimg::Ufs fs({.bsize = 4096, .fsize = 1024, .ncyl = 32});
    const uint64_t B = 4096;
    struct Case {
        std::string name;
        uint64_t size;
        std::vector<sunimg::Extent> ext;
    };
    std::vector<Case> cases{
        // hole in di_db: blocks 1..3 missing
        {"/hole-direct", 6 * B + 100, {{0, sunimg::pattern(B, 1)}, {4 * B, sunimg::pattern(2 * B + 100, 2)}}},
        // hole inside the single indirect block
        {"/hole-indirect", 40 * B, {{0, sunimg::pattern(13 * B, 3)}, {30 * B + 7, sunimg::pattern(10 * B - 7, 4)}}},
        // di_ib[0] zero: nothing between block 12 and the double range
        {"/no-single",
         (12 + 1024 + 3) * B,
         {{0, sunimg::pattern(100, 5)}, {(12 + 1024) * B, sunimg::pattern(3 * B, 6)}}},
        // all holes but the last byte
        {"/last-byte", 20 * B + 1, {{20 * B, {0x5a}}}},
        // no block at all
        {"/empty-holes", 5 * B, {}},
    };
    std::map<uint32_t, std::vector<uint8_t>> want;
    for (auto& c : cases) {
        std::vector<uint8_t> full(c.size, 0);
        for (const auto& e : c.ext)
            std::copy(e.data.begin(), e.data.end(), full.begin() + e.offset);
        want[fs.add_sparse(fs.root(), c.name.substr(1), c.size, c.ext)] = full;
    }
    sunimg::DiskImage img = sunimg::make_disk(fs);
    const uint32_t hd = fs.lookup("/hole-direct"), ns = fs.lookup("/no-single"), eh = fs.lookup("/empty-holes");
    const uint64_t hdo = img.inode_offset(0, hd);
    EXPECT_NE(img.image.get32be(hdo + 40), 0u);
    EXPECT_EQ(img.image.get32be(hdo + 44), 0u);
    EXPECT_EQ(img.image.get32be(hdo + 52), 0u);
    EXPECT_NE(img.image.get32be(hdo + 56), 0u);
    const uint64_t nso = img.inode_offset(0, ns);
    EXPECT_EQ(img.image.get32be(nso + 88), 0u);
    EXPECT_NE(img.image.get32be(nso + 92), 0u);
    EXPECT_EQ(img.image.get32be(img.inode_offset(0, eh) + 104), 0u);   // di_blocks

    TempDir tmp;
    std::string path = testimg::write_disk(tmp, img);
    for (const auto& [ino, data] : want) {
        auto r = oracle::icat(path, 0, ino);
        ASSERT_TRUE(r.ok()) << "inode " << ino << ": " << r.err;
        EXPECT_EQ(r.out.size(), data.size()) << ino;
        EXPECT_TRUE(testimg::SameBytes(r.out, as_string(data))) << "inode " << ino;
        EXPECT_EQ(read_back(img, 0, ino, ~0ull), data);
    }
}

TEST(Files, TripleIndirectSparseFile)
{
    // With 4096-byte blocks the triple indirect range starts at logical
    // block 12 + 1024 + 1024*1024: about 4.3 GB into the file.
    sunimg::Ufs fs({.bsize = 4096, .fsize = 1024});
    const uint64_t B = 4096, N = 1024;
    const uint64_t first_triple = 12 + N + N * N;
    const uint64_t at = (first_triple + N * N + 2 * N + 7) * B + 10;   // second double under di_ib[2]
    auto tail = sunimg::pattern(3 * B, 9);
    uint32_t ino = fs.add_sparse(fs.root(), "triple", at + tail.size(), {{0, {'S', 'O'}}, {at, tail}});
    sunimg::DiskImage img = sunimg::make_disk(fs);
    const uint64_t ioff = img.inode_offset(0, ino);
    EXPECT_EQ(img.image.get32be(ioff + 8), uint32_t((at + tail.size()) >> 32));   // size high word
    EXPECT_EQ(img.image.get32be(ioff + 12), uint32_t(at + tail.size()));
    EXPECT_EQ(img.image.get32be(ioff + 88), 0u);
    EXPECT_EQ(img.image.get32be(ioff + 92), 0u);
    EXPECT_NE(img.image.get32be(ioff + 96), 0u);
    auto ind = img.indirect_blocks(0, ino);
    int levels[4] = {0, 0, 0, 0};
    for (const auto& b : ind)
        levels[b.level]++;
    EXPECT_EQ(levels[3], 1);
    EXPECT_EQ(levels[2], 1);
    EXPECT_EQ(levels[1], 1);
    // Walk di_ib[2] by hand: entry 1, then entry 2, then entry 7.
    uint32_t t = img.image.get32be(ioff + 96);
    uint32_t d = img.image.get32be(img.frag_offset(0, t) + 4 * 1);
    uint32_t s = img.image.get32be(img.frag_offset(0, d) + 4 * 2);
    uint32_t blk = img.image.get32be(img.frag_offset(0, s) + 4 * 7);
    ASSERT_NE(blk, 0u);
    EXPECT_EQ(img.image.read(img.frag_offset(0, blk) + 10, 100),
              std::vector<uint8_t>(tail.begin(), tail.begin() + 100));
    EXPECT_EQ(img.file_offset(0, ino, at), img.frag_offset(0, blk) + 10);
    EXPECT_EQ(img.image.read(img.file_offset(0, ino, 0), 2), (std::vector<uint8_t>{'S', 'O'}));
}

// ---------------------------------------------------------------------------
// The Sleuth Kit: modes, owners, times, special files
// ---------------------------------------------------------------------------
TEST(Tsk, IstatSeesModesOwnersTimes)
{
    REQUIRE_TOOL("istat");
    // TSK takes di_db[0] of a device node for a block address and refuses
    // one past the end of the file system: 16 cylinders make room for the
    // rdev values below.
    sunimg::Ufs fs({.ncyl = 16, .wide_ids = true});
    struct Want {
        uint32_t ino;
        uint16_t mode;
        uint16_t uid, gid;
        int32_t at, mt, ct;
        int nlink;
        uint64_t size;
    };
    std::vector<Want> want;
    auto meta = [](uint16_t perm, uint16_t uid, uint16_t gid, int32_t base) {
        return Meta{.perm = perm, .uid = uid, .gid = gid, .atime = base + 3, .mtime = base + 1, .ctime = base + 2};
    };
    uint32_t bin = fs.mkdir(fs.root(), "bin", meta(0755, 2, 3, 500000000));
    uint32_t su = fs.add_file(bin, "su", "#!/bin/sh\n", meta(04755, 0, 4, 600000000));
    uint32_t sg = fs.add_file(bin, "ps", "ps\n", meta(02711, 5, 32767, 600100000));
    uint32_t tmp = fs.mkdir(fs.root(), "tmp", meta(01777, 0, 0, 600200000));
    uint32_t odd = fs.add_file(fs.root(), "odd", "odd", meta(07000, 65534, 60001, 700300000));
    uint32_t fifo = fs.add_fifo(fs.root(), "pipe", meta(0620, 11, 12, 700400000));
    uint32_t sock = fs.add_socket(fs.root(), "sock", meta(0777, 13, 14, 700500000));
    uint32_t chr = fs.add_chardev(fs.root(), "null", (3u << 8) | 2, meta(0666, 0, 3, 700600000));
    uint32_t blk = fs.add_blockdev(fs.root(), "sd0a", (7u << 8) | 0, meta(0640, 0, 5, 700700000));
    fs.link(tmp, "su-again", su);
    want.push_back({bin, uint16_t(0x4000 | 0755), 2, 3, 500000003, 500000001, 500000002, 2, 512});
    want.push_back({su, uint16_t(0x8000 | 04755), 0, 4, 600000003, 600000001, 600000002, 2, 10});
    want.push_back({sg, uint16_t(0x8000 | 02711), 5, 32767, 600100003, 600100001, 600100002, 1, 3});
    want.push_back({tmp, uint16_t(0x4000 | 01777), 0, 0, 600200003, 600200001, 600200002, 2, 512});
    want.push_back({odd, uint16_t(0x8000 | 07000), 65534, 60001, 700300003, 700300001, 700300002, 1, 3});
    want.push_back({fifo, uint16_t(0x1000 | 0620), 11, 12, 700400003, 700400001, 700400002, 1, 0});
    want.push_back({sock, uint16_t(0xC000 | 0777), 13, 14, 700500003, 700500001, 700500002, 1, 0});
    want.push_back({chr, uint16_t(0x2000 | 0666), 0, 3, 700600003, 700600001, 700600002, 1, 0});
    want.push_back({blk, uint16_t(0x6000 | 0640), 0, 5, 700700003, 700700001, 700700002, 1, 0});
    sunimg::DiskImage img = sunimg::make_disk(fs);

    // The Sun words themselves (what our reader uses).
    for (const auto& w : want) {
        uint64_t o = img.inode_offset(0, w.ino);
        EXPECT_EQ(img.image.get16be(o + 0), w.mode);
        EXPECT_EQ(img.image.get16be(o + 2), w.nlink);
        EXPECT_EQ(img.image.get16be(o + 4), w.uid);
        EXPECT_EQ(img.image.get16be(o + 6), w.gid);
        EXPECT_EQ(img.image.get32be(o + 12), w.size);
        EXPECT_EQ(int32_t(img.image.get32be(o + 16)), w.at);
        EXPECT_EQ(int32_t(img.image.get32be(o + 24)), w.mt);
        EXPECT_EQ(int32_t(img.image.get32be(o + 32)), w.ct);
    }
    EXPECT_EQ(img.image.get32be(img.inode_offset(0, chr) + 40), (3u << 8) | 2);   // rdev in di_db[0]
    EXPECT_EQ(img.image.get32be(img.inode_offset(0, blk) + 40), 7u << 8);

    TempDir dir;
    std::string path = testimg::write_disk(dir, img);
    for (const auto& w : want) {
        SCOPED_TRACE(w.ino);
        auto r = oracle::istat(path, 0, w.ino);
        ASSERT_TRUE(r.ok()) << r.err;
        auto k = oracle::parse_keys(r.out);
        EXPECT_EQ(k["mode"], tsk_mode(w.mode)) << r.out;
        EXPECT_EQ(k["uid / gid"], std::to_string(w.uid) + " / " + std::to_string(w.gid));
        EXPECT_EQ(k["num of links"], std::to_string(w.nlink));
        EXPECT_EQ(k["size"], std::to_string(w.size));
        EXPECT_EQ(k["Accessed"], oracle::tsk_time(w.at));
        EXPECT_EQ(k["File Modified"], oracle::tsk_time(w.mt));
        EXPECT_EQ(k["Inode Modified"], oracle::tsk_time(w.ct));
        EXPECT_NE(r.out.find("\nAllocated\n"), std::string::npos) << "not allocated in the cg map:\n" << r.out;
    }
}

TEST(Tsk, SymlinkTargets)
{
    REQUIRE_TOOL("icat");
    const std::string longt = "/usr/share/lib/zoneinfo/../../../../export/home/somebody/with/a/long/path";
    ASSERT_GE(longt.size(), 60u);
    for (bool fast : {false, true}) {
        SCOPED_TRACE(fast);
        sunimg::Ufs fs({.fast_symlinks = fast});
        uint32_t s = fs.symlink("/short", "usr/bin");
        uint32_t l = fs.symlink("/long", longt);
        sunimg::DiskImage img = sunimg::make_disk(fs);
        const auto& L = img.layout(0);
        if (fast) {
            EXPECT_TRUE(L.inode(s).data.empty());
            EXPECT_EQ(img.image.read(img.inode_offset(0, s) + 40, 7),
                      (std::vector<uint8_t>{'u', 's', 'r', '/', 'b', 'i', 'n'}));
        } else {
            ASSERT_EQ(L.inode(s).data.size(), 1u);
            EXPECT_EQ(as_string(img.image.read(img.file_offset(0, s, 0), 7)), "usr/bin");
        }
        TempDir tmp;
        std::string path = testimg::write_disk(tmp, img);
        auto r = oracle::icat(path, 0, l);
        ASSERT_TRUE(r.ok()) << r.err;
        EXPECT_EQ(r.out, longt);
        EXPECT_EQ(oracle::parse_keys(oracle::istat(path, 0, l).out)["symbolic link to"], longt);
        if (fast) {
            // TSK reads links under 60 bytes from di_db (istat shows the
            // text; icat of a fast link gives zeros, also for makefs images).
            EXPECT_EQ(oracle::parse_keys(oracle::istat(path, 0, s).out)["symbolic link to"], "usr/bin");
        }
    }
}

// ---------------------------------------------------------------------------
// Damage hooks
// ---------------------------------------------------------------------------
TEST(Damage, HooksPointAtTheRightBytes)
{
    sunimg::Ufs fs;
    uint32_t d = fs.dir("/etc");
    uint32_t f = fs.file("/etc/passwd", sunimg::pattern(30000, 3));
    uint32_t big = fs.file("/big", sunimg::pattern(14 * 8192, 4));
    sunimg::DiskImage img = sunimg::make_disk(fs);

    uint64_t rec = img.dirent_offset(0, d, "passwd");
    EXPECT_EQ(img.image.get32be(rec), f);
    EXPECT_EQ(img.image.get16be(rec + 6), 6);
    EXPECT_EQ(as_string(img.image.read(rec + 8, 7)), std::string("passwd\0", 7));
    EXPECT_EQ(img.image.get32be(img.dirent_offset(0, d, "..")), 2u);

    auto blocks = img.data_blocks(0, f);
    ASSERT_EQ(blocks.size(), 4u);
    for (const auto& b : blocks) {
        EXPECT_EQ(img.image.get32be(b.ptr_offset), b.frag);
        EXPECT_EQ(b.offset, img.frag_offset(0, b.frag));
    }
    EXPECT_EQ(blocks[0].ptr_offset, img.inode_offset(0, f) + 40);
    EXPECT_EQ(blocks[3].nfrags, 6u);   // 30000 - 3*8192 = 5424 bytes: 6 fragments

    auto ind = img.indirect_blocks(0, big);
    ASSERT_EQ(ind.size(), 1u);
    EXPECT_EQ(ind[0].ptr_offset, img.inode_offset(0, big) + 88);
    auto bb = img.data_blocks(0, big);
    EXPECT_EQ(bb[12].ptr_offset, ind[0].offset);
    EXPECT_EQ(bb[13].ptr_offset, ind[0].offset + 4);

    // Typical damage, in a line each.
    img.image.put16be(rec + 4, 0);   // d_reclen 0
    img.image.put32be(bb[13].ptr_offset, ind[0].frag);   // indirect entry points at itself
    img.image.put32be(blocks[0].ptr_offset, 0);   // zero di_db[0]
    EXPECT_EQ(img.image.get16be(rec + 4), 0);
    EXPECT_EQ(img.image.get32be(img.inode_offset(0, f) + 40), 0u);
    img.image.resize(img.superblock_offset(0) + 4096);   // cut short inside the superblock
    EXPECT_EQ(img.image.size(), 8192u + 4096u);
}

TEST(Damage, DamagedFilesAsTskSeesThem)
{
    REQUIRE_TOOL("icat");
    sunimg::Ufs fs;
    auto data = sunimg::pattern(3 * 8192, 5);
    uint32_t f = fs.file("/f", data);
    sunimg::DiskImage img = sunimg::make_disk(fs);
    img.image.put32be(img.data_blocks(0, f)[1].ptr_offset, 0);   // a hole where block 1 was
    TempDir tmp;
    std::string path = testimg::write_disk(tmp, img);
    auto r = oracle::icat(path, 0, f);
    ASSERT_TRUE(r.ok()) << r.err;
    std::fill(data.begin() + 8192, data.begin() + 16384, 0);
    EXPECT_TRUE(testimg::SameBytes(r.out, as_string(data)));
}

// ---------------------------------------------------------------------------
// A 3 GiB sparse disk with a file system past 2 GiB
// ---------------------------------------------------------------------------
TEST(Sparse, FileSystemsFarOut)
{
    // Partitions just past 2 GiB, just past 4 GiB, and near the end of a
    // 9 GB disk; only the written blocks may cost host space.
    struct Case {
        const char* name;
        uint64_t disk_bytes, start_bytes;
    };
    const Case cases[] = {
        {"past 2 GiB", 3ull << 30, (2ull << 30) + (10ull << 18)},
        {"past 4 GiB", 5ull << 30, (4ull << 30) + (3ull << 18)},
        {"at 9 GB", 9000000000ull, 8990000000ull},
    };
    REQUIRE_TOOL("mmls");
    REQUIRE_TOOL("icat");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sunimg::Ufs fs;
        uint32_t f = fs.file("/far/away.txt", std::string("written at ") + c.name + "\n");
        sunimg::DiskOptions o;
        o.ncyl = int32_t(c.disk_bytes / o.geom.cyl_bytes());
        sunimg::Disk disk(o);
        disk.add_fs(0, fs, int32_t(c.start_bytes / o.geom.cyl_bytes()));
        sunimg::DiskImage img = disk.build();
        EXPECT_GE(img.partition_offset(0) + (1 << 18), c.start_bytes);
        EXPECT_EQ(img.image.size(), uint64_t(o.ncyl) * o.geom.cyl_bytes());

        TempDir tmp;
        std::string path = testimg::write_disk(tmp, img);
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(uint64_t(st.st_size), img.image.size());
        EXPECT_LT(uint64_t(st.st_blocks) * 512, 64ull << 20) << "image not written sparsely";
        auto m = oracle::mmls(path);
        ASSERT_TRUE(m.ok()) << m.err;
        bool found = false;
        for (const auto& row : oracle::parse_mmls(m.out))
            found = found || (row.start == sectors(img, 0) && row.slot == "000");
        EXPECT_TRUE(found) << m.out;
        auto cat = oracle::icat(path, sectors(img, 0), f);
        ASSERT_TRUE(cat.ok()) << cat.err;
        EXPECT_EQ(cat.out, std::string("written at ") + c.name + "\n");
    }
}

// ---------------------------------------------------------------------------
// Host trees and the CLI
// ---------------------------------------------------------------------------
TEST(Cli, BuildsTheSampleTree)
{
    TempDir tmp;
    std::string img = tmp.file("sample.img");
    std::string tree = std::string(SUNUFS_SOURCE_DIR) + "/samples/tree";
    auto r = oracle::run_tool({MKSUNIMG_BIN, "--tree", tree, "-o", img});
    ASSERT_EQ(r.status, 0) << r.err;
    struct stat st;
    ASSERT_EQ(stat(img.c_str(), &st), 0);
    EXPECT_LT(st.st_size, 16 << 20);

    auto bad = oracle::run_tool({MKSUNIMG_BIN, "--tree", tmp.file("missing"), "-o", tmp.file("x.img")});
    EXPECT_NE(bad.status, 0);
    EXPECT_NE(bad.err.find("missing"), std::string::npos) << bad.err;
    auto usage = oracle::run_tool({MKSUNIMG_BIN, "-o", tmp.file("x.img")});
    EXPECT_NE(usage.status, 0);
    auto badsize = oracle::run_tool({MKSUNIMG_BIN, "--tree", tree, "-o", tmp.file("y.img"), "--fsize", "16384"});
    EXPECT_NE(badsize.status, 0);
    EXPECT_NE(badsize.err.find("fsize"), std::string::npos) << badsize.err;

    REQUIRE_TOOL("fls");
    REQUIRE_TOOL("icat");
    auto l = oracle::fls(img, 0);
    ASSERT_TRUE(l.ok()) << l.err;
    auto m = fls_by_name(l.out);
    // Every host file is there, with its bytes.
    std::vector<std::string> files;
    for (const auto& e : std::filesystem::recursive_directory_iterator(tree)) {
        std::string rel = std::filesystem::relative(e.path(), tree).string();
        ASSERT_TRUE(m.count(rel)) << rel << "\n" << l.out;
        if (e.is_regular_file() && !e.is_symlink()) {
            auto c = oracle::icat(img, 0, m[rel].ino);
            EXPECT_TRUE(testimg::SameBytes(c.out, testimg::read_text(e.path().string()))) << rel;
        }
    }
}

TEST(Cli, OptionsReachTheFileSystem)
{
    REQUIRE_TOOL("fsstat");
    REQUIRE_TOOL("istat");
    TempDir tmp;
    testimg::make_host_tree(tmp.file("src"), {{"a/b/c.txt", "c\n"}, {"empty/", ""}});
    std::string img = tmp.file("o.img");
    auto r = oracle::run_tool({MKSUNIMG_BIN, "--tree", tmp.file("src"), "-o", img, "--bsize", "4096", "--fsize", "512",
                               "--label", "TEST DISK 42", "--owner", "1234:567", "--wide-ids"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto bytes = testimg::read_file(img);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes.data())), "TEST DISK 42");
    auto k = oracle::parse_keys(oracle::fsstat(img, 0).out);
    EXPECT_EQ(k["Block Size"], "4096");
    EXPECT_EQ(k["Fragment Size"], "512");
    auto i = oracle::parse_keys(oracle::istat(img, 0, 2).out);
    EXPECT_EQ(i["uid / gid"], "1234 / 567");
}

TEST(Tree, AddTreeKeepsNamesModesAndLinks)
{
    TempDir tmp;
    std::string src = tmp.file("src");
    testimg::make_host_tree(src, {{"dir/file", "hello"}, {"top", "top\n"}});
    ASSERT_EQ(chmod((src + "/top").c_str(), 04751), 0);
    ASSERT_EQ(symlink("dir/file", (src + "/link").c_str()), 0);
    sunimg::Ufs fs;
    sunimg::add_tree(fs, fs.root(), src, {.uid = 7, .gid = 8, .time = 123456789});
    uint32_t top = fs.lookup("/top");
    ASSERT_NE(top, 0u);
    EXPECT_EQ(fs.node(top).mode, sunimg::kIFREG | 04751);
    EXPECT_EQ(fs.node(top).uid, 7);
    EXPECT_EQ(fs.node(top).gid, 8);
    EXPECT_EQ(fs.node(top).mtime, 123456789);
    uint32_t link = fs.lookup("/link");
    EXPECT_EQ(fs.node(link).mode & sunimg::kIFMT, sunimg::kIFLNK);
    EXPECT_EQ(fs.node(link).size, 8u);
    EXPECT_NE(fs.lookup("/dir/file"), 0u);
    // Names in sorted order.
    const auto& e = fs.node(fs.root()).entries;
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[0].name, "dir");
    EXPECT_EQ(e[1].name, "link");
    EXPECT_EQ(e[2].name, "top");
}

TEST(Errors, BadRequestsThrow)
{
    sunimg::Ufs fs;
    fs.file("/a", "x");
    EXPECT_THROW(fs.file("/a", "again"), sunimg::Error);
    EXPECT_THROW(fs.file("/a/b", "under a file"), sunimg::Error);
    EXPECT_THROW(fs.add_file(fs.root(), std::string(256, 'n'), "x"), sunimg::Error);
    EXPECT_THROW(fs.add_file(fs.root(), "..", "x"), sunimg::Error);
    EXPECT_THROW(fs.add_file(fs.root(), "b", "x", {.ino = 2}), sunimg::Error);
    EXPECT_THROW(sunimg::Ufs({.fsize = 768}).build(), sunimg::Error);
    // Staggering pushes the inode blocks of group 15 out of its 256 fragments.
    EXPECT_THROW(sunimg::Ufs({.bsize = 8192, .fsize = 1024, .cpg = 1, .ncyl = 20}).build(), sunimg::Error);
    sunimg::Ufs full({.ncyl = 2});
    full.file("/big", sunimg::pattern(2 << 20, 1));
    EXPECT_THROW(full.build(), sunimg::Error);
    sunimg::Ufs far_ino({.ncyl = 16, .ipg = 64});
    far_ino.add_file(far_ino.root(), "x", "x", {.ino = 5000});
    EXPECT_THROW(far_ino.build(), sunimg::Error);
}

// ---------------------------------------------------------------------------
// The other writer: makefs + sfdisk
// ---------------------------------------------------------------------------
TEST(Makefs, FixtureMakesALabelledDisk)
{
    REQUIRE_TOOL("makefs");
    REQUIRE_TOOL("sfdisk");
    REQUIRE_TOOL("mmls");
    REQUIRE_TOOL("fls");
    TempDir tmp;
    testimg::make_host_tree(tmp.file("src"), {{"etc/motd", "hello from makefs\n"}, {"home/u/x", "x"}});
    auto d = testimg::makefs_sun_disk(tmp.file("src"), tmp.file("mk.img"));
    EXPECT_EQ(d.fs_bytes, 16u << 20);
    auto m = oracle::mmls(d.path);
    ASSERT_TRUE(m.ok()) << m.err;
    bool part0 = false;
    for (const auto& row : oracle::parse_mmls(m.out))
        if (row.slot == "000" && row.start == 0 && row.length == d.part_sectors)
            part0 = true;
    EXPECT_TRUE(part0) << m.out;

    auto bytes = testimg::read_file(d.path);
    ASSERT_GE(bytes.size(), 16384u);
    EXPECT_EQ(sunimg::get16be(bytes.data() + 508), sunimg::kLabelMagic);
    EXPECT_EQ(sunimg::get16be(bytes.data() + 510), sunimg::label_checksum(bytes.data()));
    sunimg::Label l = sunimg::decode_label(bytes.data());
    EXPECT_EQ(l.part[0].cylno, 0);
    EXPECT_EQ(uint64_t(l.part[0].nblk), d.part_sectors);
    EXPECT_EQ(sunimg::get32be(bytes.data() + 8192 + 1372), uint32_t(sunimg::kFsMagic));

    auto f = oracle::fls(d.path, 0);
    ASSERT_TRUE(f.ok()) << f.err;
    auto names = fls_by_name(f.out);
    EXPECT_TRUE(names.count("etc/motd"));
    EXPECT_TRUE(names.count("home/u/x"));
}

// ---------------------------------------------------------------------------
// Features other tests build on: sizes past 31 bits, raw sizes, owner
// formats, short directories, aliases, far partitions
// ---------------------------------------------------------------------------
TEST(Features, SizesPast31BitsAndRawSizes)
{
    REQUIRE_TOOL("istat");
    REQUIRE_TOOL("icat");
    // 8192-byte blocks: the double indirect range starts at logical block
    // 12 + 2048, the triple one at 12 + 2048 + 2048^2 (byte 34376597504).
    const uint64_t B = 8192, dbl = (12 + 2048) * B, tpl = (12 + 2048 + 2048ull * 2048) * B;
    const uint64_t far_end = tpl + 5 * 2048 * B + 3 * B + 17;   // past the triple range's first blocks
    sunimg::Ufs fs;
    const auto head = sunimg::pattern(100, 1), mid = sunimg::pattern(B + 9, 2), deep = sunimg::pattern(300, 3);
    const auto tail = sunimg::pattern(40, 4);
    uint32_t big = fs.add_sparse(fs.root(), "big", far_end + tail.size(),
                                 {{0, head}, {dbl + 5 * B - 4, mid}, {tpl + 2048 * B + 7, deep}, {far_end, tail}});
    uint32_t neg = fs.file("/negative", "n");
    fs.node(neg).raw_size = 0x8000000000000005ull;
    uint32_t beyond = fs.file("/beyond", "b");
    fs.node(beyond).raw_size = 1ull << 50;   // past what 8192-byte blocks can map
    uint32_t dir3g = fs.dir("/dir3g");
    fs.node(dir3g).raw_size = 3ull << 30;
    sunimg::DiskImage img = sunimg::make_disk(fs);
    TempDir tmp;
    std::string path = testimg::write_disk(tmp, img);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_LT(uint64_t(st.st_blocks) * 512, 4ull << 20) << "image not written sparsely";

    // Sizes as The Sleuth Kit reads them, and as stored (high word first).
    struct SizeCase {
        uint32_t ino;
        std::string tsk;   // istat "size"; empty: not asked (istat walks a
                           // 34 GB map for ever, and refuses the others)
        uint32_t hi, lo;
    };
    const SizeCase sizes[] = {
        {big, "", uint32_t((far_end + 40) >> 32), uint32_t(far_end + 40)},
        {neg, "", 0x80000000u, 5},
        {beyond, "", 0x40000u, 0},
        {dir3g, std::to_string(3ull << 30), 0, 0xC0000000u},
    };
    for (const auto& c : sizes) {
        SCOPED_TRACE(c.ino);
        const uint64_t at = img.inode_offset(0, c.ino);
        EXPECT_EQ(img.image.get32be(at + 8), c.hi);
        EXPECT_EQ(img.image.get32be(at + 12), c.lo);
        if (!c.tsk.empty()) {
            EXPECT_EQ(oracle::parse_keys(oracle::istat(path, 0, c.ino).out)["size"], c.tsk);
        }
    }
    // Every piece of the big file where it belongs, read through the
    // block map by hand (icat would stream 34 GB of zeros).
    struct Piece {
        uint64_t pos;
        const std::vector<uint8_t>* data;
    };
    for (const Piece& p :
         {Piece{0, &head}, Piece{dbl + 5 * B - 4, &mid}, Piece{tpl + 2048 * B + 7, &deep}, Piece{far_end, &tail}}) {
        EXPECT_EQ(read_at(img, 0, big, p.pos, p.data->size()), *p.data) << "at " << p.pos;
    }
    EXPECT_EQ(read_at(img, 0, big, dbl, 3), std::vector<uint8_t>(3, 0));   // a hole
    int levels[4] = {0, 0, 0, 0};
    for (const auto& b : img.indirect_blocks(0, big))
        levels[b.level]++;
    EXPECT_EQ(levels[1], 3);   // one under di_ib[1], two under di_ib[2]
    EXPECT_EQ(levels[2], 2);
    EXPECT_EQ(levels[3], 1);
    EXPECT_EQ(img.image.get32be(img.inode_offset(0, big) + 88), 0u);   // no single indirect range
}

TEST(Features, OwnerFormats)
{
    REQUIRE_TOOL("istat");
    using sunimg::OwnerFormat;
    struct Case {
        const char* name;
        OwnerFormat fmt;
        uint32_t uid, gid;
        uint16_t w4, w6;   // 16-bit words
        uint32_t w112, w116, w120;   // 32-bit words
        uint32_t sb1320, sb1324;   // fs_maxsymlinklen, fs_inodefmt
        const char* tsk;   // istat reads 112/116 only
    };
    const Case cases[] = {
        {"older", OwnerFormat::old16, 1001, 20, 1001, 20, 0, 0, 0, 0, 0, "0 / 0"},
        {"newer", OwnerFormat::new32, 70000, 80001, 0, 0, 70000, 80001, 0, 60, 2, "70000 / 80001"},
        {"both, small ids", OwnerFormat::both, 1001, 20, 1001, 20, 0, 1001, 20, 0, 0, "0 / 1001"},
        {"both, marker", OwnerFormat::both, 70000, 20, 0xFFFF, 20, 0, 70000, 20, 0, 0, "0 / 70000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sunimg::Ufs fs({.owners = c.fmt});
        uint32_t f = fs.file("/f", "x", {.uid = c.uid, .gid = c.gid});
        sunimg::DiskImage img = sunimg::make_disk(fs);
        const uint64_t at = img.inode_offset(0, f), sb = img.superblock_offset(0);
        EXPECT_EQ(img.image.get16be(at + 4), c.w4);
        EXPECT_EQ(img.image.get16be(at + 6), c.w6);
        EXPECT_EQ(img.image.get32be(at + 112), c.w112);
        EXPECT_EQ(img.image.get32be(at + 116), c.w116);
        EXPECT_EQ(img.image.get32be(at + 120), c.w120);
        EXPECT_EQ(img.image.get32be(sb + 1320), c.sb1320);
        EXPECT_EQ(img.image.get32be(sb + 1324), c.sb1324);
        TempDir tmp;
        std::string path = testimg::write_disk(tmp, img);
        EXPECT_EQ(oracle::parse_keys(oracle::istat(path, 0, f).out)["uid / gid"], c.tsk);
    }
    sunimg::Ufs narrow;
    narrow.file("/f", "x", {.uid = 70000});
    EXPECT_THROW(narrow.build(), sunimg::Error);
}

TEST(Features, ShortDirectoriesAndAliases)
{
    REQUIRE_TOOL("fls");
    REQUIRE_TOOL("istat");
    sunimg::Ufs fs;
    uint32_t empty = fs.dir("/empty");
    fs.node(empty).raw_size = 24;   // ".." still claims 500 bytes
    uint32_t sub = fs.dir("/sub");
    for (int i = 0; i < 30; i++)
        fs.link(fs.root(), "root" + std::to_string(i), fs.root());
    fs.link(sub, "up", fs.root());
    fs.link(fs.root(), "sub2", sub);
    fs.add_entry(sub, "ghost", 40000);   // no such inode
    sunimg::DiskImage img = sunimg::make_disk(fs);
    EXPECT_EQ(img.image.get32be(img.dirent_offset(0, sub, "ghost")), 40000u);

    const uint64_t dot = img.dirent_offset(0, empty, "."), dotdot = img.dirent_offset(0, empty, "..");
    EXPECT_EQ(dotdot, dot + 12);
    EXPECT_EQ(img.image.get16be(dot + 4), 12);
    EXPECT_EQ(img.image.get16be(dotdot + 4), 500);
    EXPECT_EQ(img.image.get32be(dotdot), 2u);

    TempDir tmp;
    std::string path = testimg::write_disk(tmp, img);
    EXPECT_EQ(oracle::parse_keys(oracle::istat(path, 0, empty).out)["size"], "24");
    auto listing = [&](uint32_t dir) {
        std::map<std::string, uint32_t> m;
        auto r = oracle::run_tool({"fls", "-o", "0", path, std::to_string(dir)});
        EXPECT_TRUE(r.ok()) << r.err;
        for (const auto& row : oracle::parse_fls(r.out))
            m[row.name] = row.ino;
        return m;
    };
    auto top = listing(2);
    for (int i = 0; i < 30; i++)
        EXPECT_EQ(top["root" + std::to_string(i)], 2u) << i;
    EXPECT_EQ(top["sub"], sub);
    EXPECT_EQ(top["sub2"], sub);
    EXPECT_EQ(listing(sub)["up"], 2u);
}

TEST(Cli, SeedImagesForFuzzing)
{
    // The commands that make the fuzzing seeds: under 128 KiB each.
    TempDir tmp;
    const std::vector<std::vector<std::string>> seeds{
        {"--bsize", "4096", "--ncyl", "5"},
        {"--bsize", "8192", "--ncyl", "7"},
    };
    for (const auto& extra : seeds) {
        std::vector<std::string> argv{MKSUNIMG_BIN, "--seed", "-o", tmp.file("seed.img"), "--heads", "1", "--sectors",
                                      "32",         "--ipg",  "64"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        auto r = oracle::run_tool(argv);
        ASSERT_EQ(r.status, 0) << r.err;
        struct stat st;
        ASSERT_EQ(stat(tmp.file("seed.img").c_str(), &st), 0);
        EXPECT_LT(st.st_size, 128 << 10) << extra[1];
    }
    // The same tree at the default geometry, big enough for The Sleuth Kit.
    REQUIRE_TOOL("fls");
    auto r = oracle::run_tool({MKSUNIMG_BIN, "--seed", "-o", tmp.file("big.img")});
    ASSERT_EQ(r.status, 0) << r.err;
    auto m = fls_by_name(oracle::fls(tmp.file("big.img"), 0).out);
    const std::pair<const char*, char> want[] = {
        {"etc/motd", 'r'}, {"bin", 'l'},      {"dev/null", 'c'},        {"dev/sd0a", 'b'},
        {"dev/pipe", 'p'}, {"dev/sock", 'h'}, {"home/user/notes", 'r'}, {"holes", 'r'},
        {"indirect", 'r'}, {"tmp", 'd'},
    };
    for (const auto& [name, type] : want) {
        ASSERT_TRUE(m.count(name)) << name;
        EXPECT_EQ(m[name].type.back(), type) << name;
    }
    EXPECT_EQ(m["home/user/motd-again"].ino, m["etc/motd"].ino);
}
