// The builder's own table of on-disk field offsets, checked twice: against
// the reader's structures (two tables written apart must agree), and
// against a file system written by makefs, read through those offsets and
// compared with what The Sleuth Kit reports about the same file system.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstddef>
#include <optional>

#include "fslib/fslib.h"
#include "support/images.h"
#include "support/oracle.h"
#include "tools/sunimg.h"

namespace {

struct OffsetRow {
    const char* name;
    uint32_t builder;
    size_t reader;
};

#define ROW(ns, field, type, member)                                                                                   \
    OffsetRow                                                                                                          \
    {                                                                                                                  \
#ns "::" #field, sunimg::ns::field, offsetof(type, member)                                                     \
    }

const OffsetRow kOffsetRows[] = {
    ROW(label_off, text, dk_label, dkl_asciilabel),
    ROW(label_off, rpm, dk_label, dkl_rpm),
    ROW(label_off, pcyl, dk_label, dkl_pcyl),
    ROW(label_off, apc, dk_label, dkl_apc),
    ROW(label_off, obs1, dk_label, dkl_obs1),
    ROW(label_off, obs2, dk_label, dkl_obs2),
    ROW(label_off, intrlv, dk_label, dkl_intrlv),
    ROW(label_off, ncyl, dk_label, dkl_ncyl),
    ROW(label_off, acyl, dk_label, dkl_acyl),
    ROW(label_off, nhead, dk_label, dkl_nhead),
    ROW(label_off, nsect, dk_label, dkl_nsect),
    ROW(label_off, obs3, dk_label, dkl_obs3),
    ROW(label_off, obs4, dk_label, dkl_obs4),
    ROW(label_off, map, dk_label, dkl_map),
    ROW(label_off, magic, dk_label, dkl_magic),
    ROW(label_off, cksum, dk_label, dkl_cksum),
    ROW(sb_off, link, fs_super, fs_link),
    ROW(sb_off, rlink, fs_super, fs_rlink),
    ROW(sb_off, sblkno, fs_super, fs_sblkno),
    ROW(sb_off, cblkno, fs_super, fs_cblkno),
    ROW(sb_off, iblkno, fs_super, fs_iblkno),
    ROW(sb_off, dblkno, fs_super, fs_dblkno),
    ROW(sb_off, cgoffset, fs_super, fs_cgoffset),
    ROW(sb_off, cgmask, fs_super, fs_cgmask),
    ROW(sb_off, time, fs_super, fs_time),
    ROW(sb_off, size, fs_super, fs_size),
    ROW(sb_off, dsize, fs_super, fs_dsize),
    ROW(sb_off, ncg, fs_super, fs_ncg),
    ROW(sb_off, bsize, fs_super, fs_bsize),
    ROW(sb_off, fsize, fs_super, fs_fsize),
    ROW(sb_off, frag, fs_super, fs_frag),
    ROW(sb_off, minfree, fs_super, fs_minfree),
    ROW(sb_off, rotdelay, fs_super, fs_rotdelay),
    ROW(sb_off, rps, fs_super, fs_rps),
    ROW(sb_off, bmask, fs_super, fs_bmask),
    ROW(sb_off, fmask, fs_super, fs_fmask),
    ROW(sb_off, bshift, fs_super, fs_bshift),
    ROW(sb_off, fshift, fs_super, fs_fshift),
    ROW(sb_off, maxcontig, fs_super, fs_maxcontig),
    ROW(sb_off, maxbpg, fs_super, fs_maxbpg),
    ROW(sb_off, fragshift, fs_super, fs_fragshift),
    ROW(sb_off, fsbtodb, fs_super, fs_fsbtodb),
    ROW(sb_off, sbsize, fs_super, fs_sbsize),
    ROW(sb_off, csmask, fs_super, fs_csmask),
    ROW(sb_off, csshift, fs_super, fs_csshift),
    ROW(sb_off, nindir, fs_super, fs_nindir),
    ROW(sb_off, inopb, fs_super, fs_inopb),
    ROW(sb_off, nspf, fs_super, fs_nspf),
    ROW(sb_off, optim, fs_super, fs_optim),
    ROW(sb_off, npsect, fs_super, fs_npsect),
    ROW(sb_off, interleave, fs_super, fs_interleave),
    ROW(sb_off, trackskew, fs_super, fs_trackskew),
    ROW(sb_off, id, fs_super, fs_id),
    ROW(sb_off, csaddr, fs_super, fs_csaddr),
    ROW(sb_off, cssize, fs_super, fs_cssize),
    ROW(sb_off, cgsize, fs_super, fs_cgsize),
    ROW(sb_off, ntrak, fs_super, fs_ntrak),
    ROW(sb_off, nsect, fs_super, fs_nsect),
    ROW(sb_off, spc, fs_super, fs_spc),
    ROW(sb_off, ncyl, fs_super, fs_ncyl),
    ROW(sb_off, cpg, fs_super, fs_cpg),
    ROW(sb_off, ipg, fs_super, fs_ipg),
    ROW(sb_off, fpg, fs_super, fs_fpg),
    ROW(sb_off, cs_ndir, fs_super, fs_cstotal.cs_ndir),
    ROW(sb_off, cs_nbfree, fs_super, fs_cstotal.cs_nbfree),
    ROW(sb_off, cs_nifree, fs_super, fs_cstotal.cs_nifree),
    ROW(sb_off, cs_nffree, fs_super, fs_cstotal.cs_nffree),
    ROW(sb_off, fmod, fs_super, fs_fmod),
    ROW(sb_off, clean, fs_super, fs_clean),
    ROW(sb_off, ronly, fs_super, fs_ronly),
    ROW(sb_off, flags, fs_super, fs_flags),
    ROW(sb_off, fsmnt, fs_super, fs_fsmnt),
    ROW(sb_off, cgrotor, fs_super, fs_cgrotor),
    ROW(sb_off, cpc, fs_super, fs_cpc),
    ROW(sb_off, qbmask, fs_super, fs_qbmask),
    ROW(sb_off, qfmask, fs_super, fs_qfmask),
    ROW(sb_off, postblformat, fs_super, fs_postblformat),
    ROW(sb_off, nrpos, fs_super, fs_nrpos),
    ROW(sb_off, postbloff, fs_super, fs_postbloff),
    ROW(sb_off, rotbloff, fs_super, fs_rotbloff),
    ROW(sb_off, magic, fs_super, fs_magic),
    ROW(ino_off, mode, dinode, di_mode),
    ROW(ino_off, nlink, dinode, di_nlink),
    ROW(ino_off, uid, dinode, di_uid),
    ROW(ino_off, gid, dinode, di_gid),
    ROW(ino_off, size_hi, dinode, di_size),   // the 64-bit size starts with its high word
    ROW(ino_off, uid32, dinode, di_uid44_or_shadow),
    ROW(ino_off, gid32, dinode, di_gid44_or_uid),
    ROW(ino_off, uid_older, dinode, di_gid44_or_uid),
    ROW(ino_off, gid_older, dinode, di_gid_or_spare),
    ROW(ino_off, xattr, dinode, di_xattr_or_spare),
    ROW(ino_off, atime, dinode, di_atime),
    ROW(ino_off, mtime, dinode, di_mtime),
    ROW(ino_off, ctime, dinode, di_ctime),
    ROW(ino_off, db, dinode, di_db),
    ROW(ino_off, ib, dinode, di_ib),
    ROW(ino_off, flags, dinode, di_flags),
    ROW(ino_off, blocks, dinode, di_blocks),
    ROW(ino_off, gen, dinode, di_gen),
    ROW(dir_off, ino, direct, d_ino),
    ROW(dir_off, reclen, direct, d_reclen),
    ROW(dir_off, namlen, direct, d_namlen),
    ROW(dir_off, name, direct, d_name),
};
#undef ROW

uint32_t be32(const std::vector<uint8_t>& b, uint64_t off)
{
    return sunimg::get32be(b, off);
}

// One superblock value of the makefs image, known apart from the image:
// asked of makefs, or reported by fsstat.
struct SbValue {
    const char* name;
    uint32_t builder;
    std::optional<size_t> reader;
    uint32_t want;
};

}   // namespace

TEST(Fields, BuilderTableMatchesReaderAndMakefs)
{
    for (const auto& r : kOffsetRows)
        EXPECT_EQ(r.builder, r.reader) << r.name;

    REQUIRE_TOOL("makefs");
    REQUIRE_TOOL("fsstat");
    REQUIRE_TOOL("fls");
    REQUIRE_TOOL("istat");
    testimg::TempDir tmp;
    testimg::make_host_tree(tmp.file("src"), {{"sub/f", "hello\n"}, {"g", "abc"}});
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown(tmp.file("src/g").c_str(), 70000, 80001), 0);
    }
    const std::string img = tmp.file("fs.img");
    auto mk = oracle::run_tool(
        {"makefs", "-t", "ffs", "-B", "be", "-o", "version=1,bsize=8192,fsize=1024", "-s", "4m", img, tmp.file("src")});
    ASSERT_TRUE(mk.ok()) << mk.err;
    const auto bytes = testimg::read_file(img);
    auto fs = oracle::parse_keys(oracle::fsstat(img, 0).out);
    auto num = [&](const char* key) {
        return uint32_t(std::stoul(fs.at(key)));
    };

    const SbValue values[] = {
        {"bsize", sunimg::sb_off::bsize, offsetof(fs_super, fs_bsize), 8192},
        {"fsize", sunimg::sb_off::fsize, offsetof(fs_super, fs_fsize), 1024},
        {"frag", sunimg::sb_off::frag, offsetof(fs_super, fs_frag), 8},
        {"bshift", sunimg::sb_off::bshift, offsetof(fs_super, fs_bshift), 13},
        {"fshift", sunimg::sb_off::fshift, offsetof(fs_super, fs_fshift), 10},
        {"nindir", sunimg::sb_off::nindir, offsetof(fs_super, fs_nindir), 2048},
        {"inopb", sunimg::sb_off::inopb, offsetof(fs_super, fs_inopb), 64},
        {"ncg", sunimg::sb_off::ncg, offsetof(fs_super, fs_ncg), num("Number of Cylinder Groups")},
        {"ipg", sunimg::sb_off::ipg, offsetof(fs_super, fs_ipg), num("Inodes per group")},
        {"fpg", sunimg::sb_off::fpg, offsetof(fs_super, fs_fpg), num("Fragments per group")},
        {"cs_ndir", sunimg::sb_off::cs_ndir, offsetof(fs_super, fs_cstotal.cs_ndir), num("Num of Directories")},
        {"magic", sunimg::sb_off::magic, offsetof(fs_super, fs_magic), 0x011954},
        {"maxsymlinklen", sunimg::sb_off::maxsymlinklen, std::nullopt, 60},
        {"inodefmt", sunimg::sb_off::inodefmt, std::nullopt, 2},
    };
    for (const auto& v : values) {
        EXPECT_EQ(be32(bytes, sunimg::kSbOff + v.builder), v.want) << v.name;
        if (v.reader) {
            EXPECT_EQ(be32(bytes, sunimg::kSbOff + *v.reader), v.want) << v.name << " (reader)";
        }
    }

    // Inodes of cylinder group 0, through the builder's superblock offsets.
    auto sbw = [&](uint32_t off) {
        return be32(bytes, sunimg::kSbOff + off);
    };
    auto inode_at = [&](uint32_t ino) {
        const uint32_t inopb = sbw(sunimg::sb_off::inopb);
        return uint64_t(sbw(sunimg::sb_off::iblkno) + (ino / inopb) * sbw(sunimg::sb_off::frag)) *
            sbw(sunimg::sb_off::fsize) +
            (ino % inopb) * sunimg::ino_off::inode_size;
    };
    std::map<std::string, uint32_t> listed;
    for (const auto& row : oracle::parse_fls(oracle::fls(img, 0, {}).out))
        if (row.name.rfind("$", 0) != 0)
            listed[row.name] = row.ino;
    ASSERT_EQ(listed.size(), 2u);
    for (const auto& [name, ino] : listed) {
        SCOPED_TRACE(name);
        const uint64_t at = inode_at(ino);
        auto st = oracle::parse_keys(oracle::istat(img, 0, ino).out);
        const uint64_t size =
            (uint64_t(be32(bytes, at + sunimg::ino_off::size_hi)) << 32) | be32(bytes, at + sunimg::ino_off::size);
        EXPECT_EQ(std::to_string(size), st["size"]);
        EXPECT_EQ(std::to_string(sunimg::get16be(bytes, at + sunimg::ino_off::nlink)), st["num of links"]);
        EXPECT_EQ(oracle::tsk_time(int32_t(be32(bytes, at + sunimg::ino_off::mtime))), st["File Modified"]);
        EXPECT_EQ(std::to_string(be32(bytes, at + sunimg::ino_off::uid32)) + " / " +
                      std::to_string(be32(bytes, at + sunimg::ino_off::gid32)),
                  st["uid / gid"]);
    }
    if (root) {
        EXPECT_EQ(be32(bytes, inode_at(listed["g"]) + sunimg::ino_off::uid32), 70000u);
    }

    // The root directory's records name what fls lists.
    const uint64_t dir = uint64_t(be32(bytes, inode_at(2) + sunimg::ino_off::db)) * sbw(sunimg::sb_off::fsize);
    std::map<std::string, uint32_t> records;
    for (uint64_t pos = dir; pos < dir + 512;) {
        const uint16_t reclen = sunimg::get16be(bytes, pos + sunimg::dir_off::reclen);
        ASSERT_GE(reclen, 12u);
        std::string name(reinterpret_cast<const char*>(&bytes[pos + sunimg::dir_off::name]));
        if (name != "." && name != "..")
            records[name] = be32(bytes, pos + sunimg::dir_off::ino);
        pos += reclen;
    }
    EXPECT_EQ(records, listed);
}
