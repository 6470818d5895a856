// Disks in every label kind (see labels.h).
#include "support/labels.h"

#include "support/images.h"
#include "support/oracle.h"
#include "support/rescue.h"
#include "support/runner.h"
#include "tools/sunimg.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <stdexcept>

namespace testimg {

namespace {

constexpr uint64_t FS_SECTORS = 16384;   // every file system: makefs -s 8m

// makefs's UFS1 of `srcdir` in byte order `order` ("be" or "le").
std::string makefs(const std::string& srcdir, const std::string& order, const std::string& out)
{
    oracle::Result r = oracle::run_tool({"makefs", "-t", "ffs", "-B", order, "-o", "version=1", "-s", "8m", out, srcdir});
    if (!r.ok())
        throw std::runtime_error("makefs failed:\n" + r.out + r.err);
    std::string bytes = runner::read_file(out);
    std::filesystem::remove(out);
    return bytes;
}

void sfdisk(const std::string& image, const std::string& script)
{
    oracle::Result r = oracle::run_tool({"sfdisk", "--no-reread", "--no-tell-kernel", "--wipe", "never",
                                         "--wipe-partitions", "never", image},
                                        script);
    if (!r.ok())
        throw std::runtime_error("sfdisk failed:\n" + r.out + r.err);
}

void blank(const std::string& image, uint64_t sectors)
{
    std::filesystem::remove(image);
    runner::write_file(image, "");
    std::filesystem::resize_file(image, sectors * 512);
}

const char* const SOLARIS = "-1DD2-11B2-99A6-080020736631";

LabelDisk gpt_disk(const std::string& src, const std::string& image, bool zero_primary)
{
    const uint64_t sectors = 81920;   // 40 MiB
    blank(image, sectors);
    sfdisk(image, std::string("label: gpt\n") + "start=2048, size=16384, type=6A85CF4D" + SOLARIS + "\n"
                      + "start=18432, size=16384, type=6A898CC3" + SOLARIS + "\n"
                      + "start=34816, size=16384, type=6A90BA39" + SOLARIS + "\n"
                      + "start=51200, size=8192, type=6A87C46F" + SOLARIS + "\n"
                      + "start=59392, size=16384, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4\n");
    patch(image, 2048 * 512, makefs(src, "be", image + ".fs"));
    patch(image, 18432 * 512, makefs(src, "le", image + ".fs"));
    patch(image, 34816 * 512, makefs(src, "be", image + ".fs"));
    oracle::Result r = oracle::run_tool({"makefs", "-t", "ffs", "-o", "version=2", "-s", "8m", image + ".fs", src});
    if (!r.ok())
        throw std::runtime_error("makefs failed:\n" + r.out + r.err);
    patch(image, 59392 * 512, runner::read_file(image + ".fs"));
    LabelDisk d{image, "1", 18432, "", {}, {}, 0, {}};
    d.summary = "\tGPT label\n\t40 Mb\n\t0\t8 Mb\troot\n\t1\t8 Mb\tusr\n\t2\t8 Mb\thome\n\t3\t4 Mb\tswap\n"
                "\t4\t8 Mb\t0FC63DAF-8483-4772-8E79-3D69D8477DE4\n";
    d.refused = {{"3", "mount fs: Bad partition\n"}, {"4", "mount fs: UFS2 is not supported\n"}};
    d.scan = {"sector 0: label", "sector 1: fdisk partition 0", "sector 1: GPT header", "sector 2048: file system",
              "sector 18432: file system", "sector 34816: file system", "sector 81919: GPT backup header"};
    d.mmls = {"mmls", "-t", "gpt", image};
    d.mmls_start = 18432;
    if (zero_primary) {
        d.mmls.clear();   // mmls reads the primary header only
        patch(image, 512, std::string(512, '\0'));
        d.summary = "open disk: Bad magic number; using the backup GPT header at sector 81919\n" + d.summary;
        d.scan.erase(d.scan.begin() + 2);
    }
    return d;
}

LabelDisk x86_disk(const std::string& src, const std::string& image)
{
    blank(image, 81920);
    sfdisk(image, "label: dos\nstart=2048, size=79872, type=bf\n");
    patch(image, (2048 + 4096) * 512, makefs(src, "le", image + ".fs"));
    oracle::Result r = oracle::run_tool({MKSUNIMG_BIN, "--x86-label", image, "--at", "2048", "--label",
                                         "DEFAULT cyl 39 alt 2 hd 64 sec 32", "--slice", "2:4096:16384",
                                         "--slice", "3:20480:8192", "--slice", "5:0:79872"});
    if (!r.ok())
        throw std::runtime_error("mksunimg failed:\n" + r.out + r.err);
    LabelDisk d{image, "a", 2048 + 4096, "", {}, {}, 0, {}};
    d.summary = "\tDEFAULT cyl 39 alt 2 hd 64 sec 32\n\t40 Mb\n\t0\t8 Mb\n\t1\t4 Mb\n\t2\t39 Mb\n";
    d.scan = {"sector 0: label", "sector 2048: fdisk partition 0", "sector 2049: x86 label", "sector 6144: file system"};
    d.mmls = {"mmls", "-t", "sun", "-o", "2048", image};
    d.mmls_start = 4096;
    return d;
}

LabelDisk le_bare_disk(const std::string& src, const std::string& image)
{
    runner::write_file(image, makefs(src, "le", image + ".fs"));
    return {image, "", 0, "\tno Sun label: one UFS file system\n\t8 Mb\n\t0\t8 Mb\n",
            {"sector 0: label", "sector 0: file system"}, {}, 0, {}};
}

// A Sun label by sfdisk over 7 cylinders of 255 x 63 sectors, its slot 0
// and 2 as usual, OpenBSD's j (slot 9) holding the tree from cylinder 3 and
// k (slot 10) a volume manager's replica from cylinder 6.
LabelDisk obsd_disk(const std::string& src, const std::string& image)
{
    const uint64_t cyl = 255 * 63;
    blank(image, 7 * cyl);
    std::string base = std::filesystem::path(image).filename().string();
    sfdisk(image, "label: sun\n\n" + base + "1 : start=0, size=" + std::to_string(2 * cyl) + ", type=4\n" + base
                      + "3 : start=0, size=" + std::to_string(7 * cyl) + ", type=5\n");
    patch(image, 3 * cyl * 512, makefs(src, "be", image + ".fs"));
    patch(image, (6 * cyl + 16) * 512, "mdmb");
    std::string label = peek(image, 0, 512);
    std::array<sunimg::LabelPart, 8> xp{};
    xp[1] = {3, int32_t(FS_SECTORS), 0, 0};
    xp[2] = {6, int32_t(cyl), 0, 0};
    xp[3] = {3, int32_t(FS_SECTORS / 2), 0, 0};
    sunimg::add_obsd_extension(reinterpret_cast<uint8_t*>(label.data()), xp);
    patch(image, 0, label);
    sunimg::Label l = sunimg::decode_label(reinterpret_cast<const uint8_t*>(label.data()));
    LabelDisk d{image, "j", 3 * cyl, "", {}, {}, 0, {}};
    d.summary = "\t" + l.text + "\n\t" + std::to_string(uint32_t(l.ncyl) * l.nhead * l.nsect / 2048) + " Mb\n\t0\t"
                + std::to_string(2 * cyl / 2048) + " Mb\n\t2\t" + std::to_string(7 * cyl / 2048) + " Mb\n\t9\t8 Mb\n\t10\t"
                + std::to_string(cyl / 2048) + " Mb\tvolume manager replica\n\t11\t4 Mb\n";
    d.refused = {{"k", "mount fs: Volume manager replica, not a file system\n"},
                 {"l", "mount fs: Volume manager stripe or concatenation, not supported\n"}};
    d.scan = {"sector 0: label", "sector " + std::to_string(3 * cyl) + ": file system",
              "sector " + std::to_string(6 * cyl) + ": volume manager replica"};
    return d;
}

}  // namespace

LabelDisk label_disk(LabelKind k, const std::string& srcdir, const std::string& image)
{
    switch (k) {
    case LabelKind::gpt:
        return gpt_disk(srcdir, image, false);
    case LabelKind::gpt_backup:
        return gpt_disk(srcdir, image, true);
    case LabelKind::x86:
        return x86_disk(srcdir, image);
    case LabelKind::le_bare:
        return le_bare_disk(srcdir, image);
    case LabelKind::obsd:
        break;
    }
    return obsd_disk(srcdir, image);
}

void expect_tsk_tree(const std::string& image, uint64_t offset, const std::string& host)
{
    size_t entries = 0;
    for (const auto& row : oracle::parse_fls(oracle::fls(image, offset, {"-r", "-p"}, "ufs1").out)) {
        if (row.type == "V/V" || row.deleted)
            continue;
        entries++;
        std::string path = host + "/" + row.name;
        if (row.type == "d/d")
            EXPECT_TRUE(std::filesystem::is_directory(path)) << row.name;
        else if (row.type == "l/l")
            EXPECT_TRUE(std::filesystem::is_symlink(path)) << row.name;
        else
            EXPECT_EQ(runner::read_file(path), oracle::icat(image, offset, row.ino, "ufs1").out) << row.name;
    }
    size_t found = 0;
    for (auto it = std::filesystem::recursive_directory_iterator(host); it != decltype(it)(); ++it)
        found++;
    EXPECT_EQ(found, entries);
}

}  // namespace testimg
