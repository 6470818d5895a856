// tar and body on crafted images, read back by independent tools: the
// archive by bsdtar, which must list it to its end and give back each
// member's bytes, and the body file line by line.
#include "support/oracle.h"
#include "support/session.h"
#include "tools/sunimg.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

using Build = std::function<sunimg::DiskImage()>;

// Sets the 64-bit size of inode `ino` of partition 0.
void set_size(sunimg::DiskImage& img, uint32_t ino, uint64_t size)
{
    uint64_t at = img.inode_offset(0, ino) + 8;
    img.image.put32be(at, uint32_t(size >> 32));
    img.image.put32be(at + 4, uint32_t(size));
}

// Logical blocks that the direct, single and double indirect pointers map
// with 8192-byte blocks: the first block under the triple indirect one.
constexpr uint64_t kTripleStart = (12 + 2048 + 2048ull * 2048) * 8192;

struct TarCase {
    const char* name;
    Build image;
    std::string command;                  // after "tar -cf a.tar"
    std::vector<std::string> err;         // lines standard error must hold
    int status;
    std::vector<std::string> listed;      // lines bsdtar -tvf must hold a part of
    std::vector<std::pair<std::string, std::string>> bytes;   // member, its bytes as bsdtar extracts them
    uint64_t max_archive = 1 << 20;
};

std::ostream& operator<<(std::ostream& os, const TarCase& c) { return os << c.name; }

const TarCase kTarCases[] = {
    {"empty_file_and_its_second_name",
     [] {
         sunimg::Ufs t;
         uint32_t e = t.file("/empty", "");
         t.link(t.root(), "again", e);
         return sunimg::make_disk(t);
     },
     "/", {"archived 1 file (0 bytes), 1 directory, 1 link, 0 devices; 0 not archived; 0 failed"}, 0,
     {"again link to empty"}, {{"empty", ""}}},
    {"hard_linked_fifo_and_device",
     [] {
         sunimg::Ufs t;
         uint32_t f = t.add_fifo(t.root(), "fifo");
         t.link(t.root(), "fifo2", f);
         uint32_t d = t.add_chardev(t.root(), "tty", (4u << 18) | 7);
         t.link(t.root(), "tty2", d);
         return sunimg::make_disk(t);
     },
     "/", {"archived 0 files (0 bytes), 1 directory, 2 links, 2 devices; 0 not archived; 0 failed"}, 0,
     {"fifo2 link to fifo", "tty2 link to tty"}, {}},
    {"all_holes_file_is_sparse",
     [] {
         sunimg::Ufs t;
         t.add_sparse(t.root(), "holes", 64ull << 20, {});
         return sunimg::make_disk(t);
     },
     "/holes", {"archived 1 file (67108864 bytes)"}, 0, {"67108864"}, {}, 64 << 10},
    {"lost_triple_indirect_is_a_hole",
     [] {
         sunimg::Ufs t;
         uint32_t f = t.add_sparse(t.root(), "far", kTripleStart + 4096,
                                   {{0, {'h', 'e', 'a', 'd'}}, {kTripleStart, {'t', 'a', 'i', 'l'}}});
         sunimg::DiskImage img = sunimg::make_disk(t);
         img.image.put32be(img.inode_offset(0, f) + 88 + 8, 0x7fffff00);
         return img;
     },
     "/far",
     {"/far: incomplete, " + std::to_string(kTripleStart) + " of " + std::to_string(kTripleStart + 4096) + " bytes; lost "
          + std::to_string(kTripleStart) + "-" + std::to_string(kTripleStart + 4096),
      "1 failed"},
     1, {std::to_string(kTripleStart + 4096) + " "}, {}, 64 << 10},
    {"impossible_sizes_are_not_archived",
     [] {
         sunimg::Ufs t;
         uint32_t a = t.file("/a_huge", "x");
         uint32_t b = t.file("/b_negative", "y");
         t.file("/c_after", "still here\n");
         sunimg::DiskImage img = sunimg::make_disk(t);
         set_size(img, a, 0x7fffffffffffffffull);
         set_size(img, b, ~0ull);
         return img;
     },
     "/", {"/a_huge not archived", "/b_negative not archived", "2 not archived; 0 failed"}, 0,
     {"c_after"}, {{"c_after", "still here\n"}}},
    {"duplicate_name",
     [] {
         sunimg::Ufs t;
         t.file("/x", "first\n");
         t.file("/y", "second\n");
         t.file("/z", "third\n");
         sunimg::DiskImage img = sunimg::make_disk(t);
         img.image.put(img.dirent_offset(0, t.root(), "z") + 8, "x", 1);
         return img;
     },
     "/", {"/x: duplicate name, not archived", "1 failed"}, 1, {"x"}, {{"x", "first\n"}, {"y", "second\n"}}},
    {"inode_number_named_as_cp_names_it",
     [] {
         sunimg::Ufs t;
         t.file("/d/x", "in d\n");
         return sunimg::make_disk(t);
     },
     "<3>", {"archived 1 file (5 bytes), 1 directory"}, 0, {"inode-3/x"}, {{"inode-3/x", "in d\n"}}},
    {"damaged_record_named_as_ls_names_it",
     [] {
         // The last record of /d names no inode there is, under a name of
         // 255 bytes that the record's length stretches to its end.
         sunimg::Ufs t;
         uint32_t d = t.dir("/d");
         t.file("/d/ok", "fine\n");
         t.add_entry(d, "bad\nname" + std::string(247, 'x'), 0x7fffff00);
         sunimg::DiskImage img = sunimg::make_disk(t);
         uint64_t at = img.dirent_offset(0, d, "bad\nname" + std::string(247, 'x'));
         auto reclen = uint16_t(512 - at % 512);
         img.image.put16be(at + 4, reclen);
         img.image.fill(at + 8 + 255, reclen - 8 - 256, 'y');
         return img;
     },
     "/d", {"stat: Seek error\n/d/bad\nname" + std::string(247, 'x') + "...: failed\n", "1 failed"}, 1,
     {"d/ok"}, {{"d/ok", "fine\n"}}},
};

class TarTable : public testimg::SessionTest, public ::testing::WithParamInterface<TarCase> {};

TEST_P(TarTable, ArchiveReadsBackWhole)
{
    const TarCase& c = GetParam();
    if (!oracle::require_tool("bsdtar"))
        return;
    c.image().write(disk);
    timeout_seconds = 20;
    auto r = run({"-p", "0", "-c", "tar -cf " + tmp + "/a.tar " + c.command, disk});
    EXPECT_EQ(r.status, c.status) << r.err;
    for (const std::string& line : c.err)
        EXPECT_NE(r.err.find(line), std::string::npos) << line << "\n---\n" << r.err;
    auto list = oracle::run_tool({"bsdtar", "-tvf", tmp + "/a.tar"});
    EXPECT_EQ(list.status, 0) << list.err;
    for (const std::string& part : c.listed)
        EXPECT_NE(list.out.find(part), std::string::npos) << part << "\n---\n" << list.out;
    for (const auto& [member, bytes] : c.bytes)
        EXPECT_EQ(oracle::run_tool({"bsdtar", "-xOf", tmp + "/a.tar", member}).out, bytes) << member;
    EXPECT_LE(std::filesystem::file_size(tmp + "/a.tar"), c.max_archive);
}

INSTANTIATE_TEST_SUITE_P(Tar, TarTable, ::testing::ValuesIn(kTarCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct BodyCase {
    const char* name;
    Build image;
    std::string command;               // the whole body command
    std::vector<std::string> err;      // lines standard error must hold
    int status;
    std::vector<std::string> lines;    // lines the body file (standard output) must hold
    size_t line_count;
};

std::ostream& operator<<(std::ostream& os, const BodyCase& c) { return os << c.name; }

const BodyCase kBodyCases[] = {
    {"names_cannot_forge_lines_or_fields",
     [] {
         sunimg::Ufs t;
         t.file("/a\nb", "");
         t.file("/p|q\\r\x7f", "");
         return sunimg::make_disk(t);
     },
     "body - /", {}, 0,
     {"0|/a\\x0ab|3|r/rrw-r--r--|", "0|/p\\x7cq\\x5cr\\x7f|4|r/rrw-r--r--|"}, 2},
    {"directory_with_an_unsafe_name_is_named",
     [] {
         sunimg::Ufs t;
         t.file("/ab/inside", "");
         sunimg::DiskImage img = sunimg::make_disk(t);
         img.image.put(img.dirent_offset(0, t.root(), "ab") + 9, "/", 1);
         return img;
     },
     "body - /", {"/a/ not listed"}, 1, {"0|/a/|3|d/d"}, 1},
    {"md5_not_computed_past_the_partition",
     [] {
         sunimg::Ufs t;
         t.add_sparse(t.root(), "huge", 1ull << 40, {});
         t.file("/small", "abc");
         return sunimg::make_disk(t);
     },
     "body -5 - /", {"/huge: MD5 not computed, size 1099511627776 exceeds the partition"}, 1,
     {"0|/huge|3|", "900150983cd24fb0d6963f7d28e17f72|/small|4|"}, 2},
    {"named_output_that_cannot_be_truncated",
     [] {
         sunimg::Ufs t;
         t.file("/f", "abc");
         return sunimg::make_disk(t);
     },
     "body /dev/null /", {}, 0, {}, 0},
};

class BodyTable : public testimg::SessionTest, public ::testing::WithParamInterface<BodyCase> {};

TEST_P(BodyTable, LinesAsTimelineToolsReadThem)
{
    const BodyCase& c = GetParam();
    c.image().write(disk);
    timeout_seconds = 20;
    auto r = run({"-p", "0", "-c", c.command, disk});
    EXPECT_EQ(r.status, c.status) << r.err;
    for (const std::string& line : c.err)
        EXPECT_NE(r.err.find(line), std::string::npos) << line << "\n---\n" << r.err;
    for (const std::string& line : c.lines)
        EXPECT_NE(("\n" + r.out).find("\n" + line), std::string::npos) << line << "\n---\n" << r.out;
    EXPECT_EQ(size_t(std::count(r.out.begin(), r.out.end(), '\n')), c.line_count) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Body, BodyTable, ::testing::ValuesIn(kBodyCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
