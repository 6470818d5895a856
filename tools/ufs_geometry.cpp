// File-system geometry: the superblock values that follow from the options
// and the disk geometry, and where things lie in a built file system.
//
// A cylinder group c spans fragments [fs_fpg*c, fs_fpg*(c+1)); its metadata
// starts at
//   cgstart(c) = fs_fpg*c + fs_cgoffset*(c & ~fs_cgmask)
// (rotational staggering) and lies, in fragments from cgstart, as
//   [fs_sblkno] superblock copy, [fs_cblkno] cg header,
//   [fs_iblkno] inode blocks (fs_ipg inodes), [fs_dblkno] data.
// Cylinder group 0 starts at fragment 0 with the boot block and the
// primary superblock (byte 8192) below fs_sblkno; the cylinder-group
// summary (fs_csaddr) is the first data of group 0.
#include <algorithm>

#include "tools/ufs_layout.h"

namespace sunimg::detail {

namespace {

int ilog2(uint64_t v)
{
    int r = 0;
    while (v > 1) {
        v >>= 1;
        r++;
    }
    return r;
}

bool pow2(int64_t v)
{
    return v > 0 && (v & (v - 1)) == 0;
}

// Why these options can never make a file system; empty when they can.
std::string bad_options(const FsOptions& o, const Geometry& g, int32_t ncyl)
{
    if (!pow2(o.bsize) || o.bsize < 4096 || o.bsize > 65536)
        return "bsize must be a power of two, 4096..65536";
    if (!pow2(o.fsize) || o.fsize < 512 || o.fsize > o.bsize)
        return "fsize must be a power of two, 512..bsize";
    if (o.bsize / o.fsize > kMaxFragLoose)
        return "bsize/fsize must be at most 16";
    if (g.nhead == 0 || g.nsect == 0)
        return "geometry needs heads and sectors";
    if (o.cpg < 1)
        return "cpg must be at least 1";
    if (ncyl < 1)
        return "the file system needs at least one cylinder";
    if (o.nrpos < 1 || o.nrpos > 16)
        return "nrpos must be 1..16";
    const int64_t nspb = o.bsize / 512;
    if ((int64_t(o.cpg) * g.nhead * g.nsect) % nspb != 0)
        return "cpg * sectors per cylinder must be a multiple of the sectors per block (" + std::to_string(nspb) + ")";
    if (int64_t(ncyl) * g.nhead * g.nsect / (o.fsize / 512) > INT32_MAX)
        return "file system too large";
    return {};
}

// Sizes, shifts and masks that follow from bsize, fsize and the geometry.
void set_sizes(Super& s, const FsOptions& o, const Geometry& g, int32_t ncyl)
{
    s.bsize = o.bsize;
    s.fsize = o.fsize;
    s.frag = o.bsize / o.fsize;
    s.bshift = ilog2(uint64_t(o.bsize));
    s.fshift = ilog2(uint64_t(o.fsize));
    s.fragshift = ilog2(uint64_t(s.frag));
    s.fsbtodb = ilog2(uint64_t(o.fsize / 512));
    s.nspf = o.fsize / 512;
    s.bmask = ~(o.bsize - 1);
    s.fmask = ~(o.fsize - 1);
    s.nindir = o.bsize / 4;
    s.inopb = o.bsize / 128;
    s.ntrak = g.nhead;
    s.nsect = g.nsect;
    s.npsect = g.nsect;
    s.spc = int32_t(g.nhead) * g.nsect;
    s.interleave = 1;
    s.trackskew = 0;
    s.rps = std::max(1, g.rpm / 60);
    s.minfree = o.minfree;
    s.rotdelay = o.rotdelay;
    s.maxcontig = o.maxcontig;
    s.maxbpg = o.bsize / 4;
    s.optim = 0;
    s.time = o.time;
    s.nrpos = o.nrpos;
    s.cpg = o.cpg;
    s.ncyl = ncyl;
    s.fpg = int32_t(int64_t(s.cpg) * s.spc / s.nspf);
    s.size = int32_t(int64_t(ncyl) * s.spc / s.nspf);
    s.ncg = int32_t(howmany(ncyl, s.cpg));
    if (o.owners == OwnerFormat::new32 || o.wide_ids) {
        s.maxsymlinklen = 60;
        s.inodefmt = 2;
    }
}

// Where the metadata of a group lies, and the staggering.  Returns why the
// maps do not fit a block, or nothing.
std::string set_cg_layout(Super& s, const FsOptions& o)
{
    s.sblkno = int32_t(roundup(howmany(8192 + 8192, s.fsize), s.frag));
    s.cblkno = int32_t(s.sblkno + roundup(howmany(8192, s.fsize), s.frag));
    s.iblkno = s.cblkno + s.frag;
    int64_t ipg = o.ipg;
    if (ipg <= 0)
        ipg = std::min<int64_t>(int64_t(s.fpg) * s.fsize / std::max(1, o.nbpi), 2048);
    ipg = std::max<int64_t>(roundup(ipg, s.inopb), s.inopb);
    s.ipg = int32_t(ipg);
    s.dblkno = int32_t(s.iblkno + ipg * 128 / s.fsize);

    s.cgoffset = o.stagger ? int32_t(roundup(howmany(s.nsect, s.nspf), s.frag)) : 0;
    uint32_t mask = 0xffffffffu;
    if (o.stagger)
        for (int i = s.ntrak; i > 1; i >>= 1)
            mask <<= 1;
    s.cgmask = int32_t(mask);
    if (o.cgoffset)
        s.cgoffset = *o.cgoffset;
    if (o.cgmask)
        s.cgmask = *o.cgmask;

    // Cylinder group header and maps must fit in the one block at cblkno.
    int64_t cgsize =
        cg_off::header_size + int64_t(s.cpg) * 4 + int64_t(s.cpg) * s.nrpos * 2 + howmany(s.ipg, 8) + howmany(s.fpg, 8);
    if (cgsize > s.bsize)
        return "cylinder group maps (" + std::to_string(cgsize) + " bytes) do not fit a block; lower cpg or ipg";
    s.cgsize = int32_t(roundup(cgsize, s.fsize));
    s.csaddr = s.dblkno;   // first data of group 0 (cgstart(0) == 0)
    s.cssize = int32_t(roundup(int64_t(s.ncg) * 16, s.fsize));
    s.csshift = ilog2(uint64_t(s.bsize / 16));
    s.csmask = ~(s.bsize / 16 - 1);
    return {};
}

// The superblock words that describe the rotational layout tables.  The
// tables themselves are not written (nothing reads them); the words keep
// the values the classic layout gives them.
std::string set_rotational_words(Super& s)
{
    const int32_t nspb = s.nspf * s.frag;
    int32_t cpc = nspb;
    for (int32_t i = s.spc; cpc > 1 && (i & 1) == 0; cpc >>= 1, i >>= 1) {}
    s.cpc = cpc;
    s.postbloff = int32_t(sb_off::end_of_fields);
    s.rotbloff = s.postbloff + s.cpc * s.nrpos * 2;
    int64_t sbsize = s.rotbloff + int64_t(s.cpc) * s.spc / nspb;
    if (sbsize > 8192)
        return "rotational tables do not fit the superblock";
    s.sbsize = int32_t(std::min<int64_t>(roundup(sbsize, s.fsize), 8192));
    return {};
}

// Whole blocks inside fragments [a, b).
int64_t whole_blocks(int64_t a, int64_t b, int64_t frag)
{
    int64_t n = b / frag - howmany(a, frag);
    return n > 0 ? n : 0;
}

}   // namespace

uint32_t cgstart(const Super& s, int64_t c)
{
    return uint32_t(int64_t(s.fpg) * c + int64_t(s.cgoffset) * (c & ~int64_t(s.cgmask)));
}

CgRange cg_range(const Super& s, int64_t c)
{
    CgRange r;
    r.base = int64_t(s.fpg) * c;
    r.lower_end = int64_t(cgstart(s, c)) + s.sblkno;
    r.data_start = int64_t(cgstart(s, c)) + s.dblkno + (c == 0 ? s.cssize / s.fsize : 0);
    r.end = std::min<int64_t>(r.base + s.fpg, s.size);
    return r;
}

Geo compute_geo(const FsOptions& o, const Geometry& g, int32_t ncyl)
{
    Geo G;
    auto fail = [&](Fit fit, std::string why) {
        G.fit = fit;
        G.why = std::move(why);
        return G;
    };
    if (std::string why = bad_options(o, g, ncyl); !why.empty())
        return fail(Fit::bad_options, why);
    Super& s = G.sb;
    set_sizes(s, o, g, ncyl);
    if (std::string why = set_cg_layout(s, o); !why.empty())
        return fail(Fit::bad_options, why);
    if (std::string why = set_rotational_words(s); !why.empty())
        return fail(Fit::bad_options, why);

    // Every group must hold its metadata and at least one fragment of data.
    for (int64_t c = 0; c < s.ncg; c++) {
        const CgRange r = cg_range(s, c);
        if (int64_t(cgstart(s, c)) + s.dblkno - r.base >= s.fpg)
            return fail(Fit::bad_options,
                        "inode blocks and staggering do not fit a cylinder group; raise cpg or lower ipg");
        if (r.data_start >= r.end)
            return c == s.ncg - 1 ? fail(Fit::last_group_too_small, "last cylinder group too small")
                                  : fail(Fit::group_too_small, "cylinder group too small");
        G.free_frags += r.end - r.data_start + (c > 0 ? r.lower_end - r.base : 0);
        G.free_blocks += whole_blocks(r.data_start, r.end, s.frag);
        if (c > 0)
            G.free_blocks += whole_blocks(r.base, r.lower_end, s.frag);
    }
    return G;
}

}   // namespace sunimg::detail

namespace sunimg {

uint32_t FsLayout::cg_start(uint32_t cg) const
{
    return detail::cgstart(sb, cg);
}

uint64_t FsLayout::inode_offset(uint32_t ino) const
{
    uint32_t cg = ino / uint32_t(sb.ipg);
    uint64_t frag = uint64_t(detail::cgstart(sb, cg)) + uint64_t(sb.iblkno) +
        (uint64_t((ino % uint32_t(sb.ipg)) / uint32_t(sb.inopb)) << sb.fragshift);
    return (ino % uint32_t(sb.inopb)) * ino_off::inode_size + frag * uint32_t(sb.fsize);
}

const InodeInfo& FsLayout::inode(uint32_t ino) const
{
    auto it = inodes.find(ino);
    if (it == inodes.end())
        throw Error("inode " + std::to_string(ino) + " is not allocated");
    return it->second;
}

uint64_t FsLayout::file_offset(uint32_t ino, uint64_t pos) const
{
    const InodeInfo& in = inode(ino);
    int64_t lbn = int64_t(pos / uint32_t(sb.bsize));
    uint64_t within = pos % uint32_t(sb.bsize);
    for (const auto& b : in.data)
        if (b.lbn == lbn) {
            if (within >= b.bytes)
                break;
            return b.offset + within;
        }
    throw Error("byte " + std::to_string(pos) + " of inode " + std::to_string(ino) + " is in a hole");
}

uint64_t FsLayout::dirent_offset(uint32_t dir_ino, std::string_view name) const
{
    for (const auto& r : inode(dir_ino).dirents)
        if (r.ino != 0 && r.name == name)
            return file_offset(dir_ino, r.pos);
    throw Error("no entry '" + std::string(name) + "' in directory " + std::to_string(dir_ino));
}

}   // namespace sunimg
