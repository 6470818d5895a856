// File-system metadata: cylinder-group headers and maps, the cylinder-group
// summary, and the superblock with its copies.
#include <algorithm>
#include <array>
#include <cstring>

#include "tools/ufs_layout.h"

namespace sunimg::detail {

namespace {

// One 32-bit superblock word and the Super field it comes from.
struct SbWord {
    uint32_t off;
    int32_t Super::*field;
};

constexpr std::array kSbWords{
    SbWord{sb_off::sblkno, &Super::sblkno},
    SbWord{sb_off::cblkno, &Super::cblkno},
    SbWord{sb_off::iblkno, &Super::iblkno},
    SbWord{sb_off::dblkno, &Super::dblkno},
    SbWord{sb_off::cgoffset, &Super::cgoffset},
    SbWord{sb_off::cgmask, &Super::cgmask},
    SbWord{sb_off::time, &Super::time},
    SbWord{sb_off::size, &Super::size},
    SbWord{sb_off::dsize, &Super::dsize},
    SbWord{sb_off::ncg, &Super::ncg},
    SbWord{sb_off::bsize, &Super::bsize},
    SbWord{sb_off::fsize, &Super::fsize},
    SbWord{sb_off::frag, &Super::frag},
    SbWord{sb_off::minfree, &Super::minfree},
    SbWord{sb_off::rotdelay, &Super::rotdelay},
    SbWord{sb_off::rps, &Super::rps},
    SbWord{sb_off::bmask, &Super::bmask},
    SbWord{sb_off::fmask, &Super::fmask},
    SbWord{sb_off::bshift, &Super::bshift},
    SbWord{sb_off::fshift, &Super::fshift},
    SbWord{sb_off::maxcontig, &Super::maxcontig},
    SbWord{sb_off::maxbpg, &Super::maxbpg},
    SbWord{sb_off::fragshift, &Super::fragshift},
    SbWord{sb_off::fsbtodb, &Super::fsbtodb},
    SbWord{sb_off::sbsize, &Super::sbsize},
    SbWord{sb_off::csmask, &Super::csmask},
    SbWord{sb_off::csshift, &Super::csshift},
    SbWord{sb_off::nindir, &Super::nindir},
    SbWord{sb_off::inopb, &Super::inopb},
    SbWord{sb_off::nspf, &Super::nspf},
    SbWord{sb_off::optim, &Super::optim},
    SbWord{sb_off::npsect, &Super::npsect},
    SbWord{sb_off::interleave, &Super::interleave},
    SbWord{sb_off::trackskew, &Super::trackskew},
    SbWord{sb_off::csaddr, &Super::csaddr},
    SbWord{sb_off::cssize, &Super::cssize},
    SbWord{sb_off::cgsize, &Super::cgsize},
    SbWord{sb_off::ntrak, &Super::ntrak},
    SbWord{sb_off::nsect, &Super::nsect},
    SbWord{sb_off::spc, &Super::spc},
    SbWord{sb_off::ncyl, &Super::ncyl},
    SbWord{sb_off::cpg, &Super::cpg},
    SbWord{sb_off::ipg, &Super::ipg},
    SbWord{sb_off::fpg, &Super::fpg},
    SbWord{sb_off::cs_ndir, &Super::ndir},
    SbWord{sb_off::cs_nbfree, &Super::nbfree},
    SbWord{sb_off::cs_nifree, &Super::nifree},
    SbWord{sb_off::cs_nffree, &Super::nffree},
    SbWord{sb_off::cpc, &Super::cpc},
    SbWord{sb_off::maxsymlinklen, &Super::maxsymlinklen},
    SbWord{sb_off::inodefmt, &Super::inodefmt},
    SbWord{sb_off::nrpos, &Super::nrpos},
    SbWord{sb_off::postbloff, &Super::postbloff},
    SbWord{sb_off::rotbloff, &Super::rotbloff},
};

constexpr int32_t kDynamicPostblFormat = 1;

// Offsets of the maps inside a cylinder-group block.
struct CgMaps {
    uint32_t btot, b, iused, free, next;
};

CgMaps cg_maps(const Super& s)
{
    CgMaps m;
    m.btot = cg_off::header_size;
    m.b = m.btot + uint32_t(s.cpg) * 4;
    m.iused = m.b + uint32_t(s.cpg * s.nrpos) * 2;
    m.free = m.iused + uint32_t(howmany(s.ipg, 8));
    m.next = m.free + uint32_t(howmany(s.fpg, 8));
    return m;
}

}   // namespace

uint8_t* Builder::at(uint64_t off, size_t n)
{
    if (off + n > img_.bytes.size())
        throw Error("internal: write outside the file system");
    return img_.bytes.data() + off;
}

// Writes the header and maps of group c; returns its {ndir, nbfree,
// nifree, nffree}.  The per-cylinder rotational counts stay zero.
std::array<int32_t, 4> Builder::write_cg(int64_t c, const std::set<uint32_t>& used_inos)
{
    const auto& freemap = alloc_.map();
    const CgRange r = cg_range(s_, c);
    const int64_t ndblk = r.end - r.base;
    uint8_t* g = at(uint64_t(cgstart(s_, c) + s_.cblkno) * uint32_t(s_.fsize), size_t(s_.cgsize));
    std::memset(g, 0, size_t(s_.cgsize));
    const CgMaps m = cg_maps(s_);

    int32_t ndir = 0, nbfree = 0, nifree = 0, nffree = 0;
    for (int64_t i = 0; i < s_.ipg; i++) {
        uint32_t ino = uint32_t(c * s_.ipg + i);
        if (!used_inos.count(ino)) {
            nifree++;
            continue;
        }
        g[m.iused + i / 8] |= uint8_t(1 << (i % 8));
        ndir += dirs_.count(ino) ? 1 : 0;
    }
    std::array<int32_t, kMaxFragLoose + 1> frsum{};   // only [0, 8) is stored
    for (int64_t d = 0; d < ndblk; d++)
        if (freemap[size_t(r.base + d)])
            g[m.free + d / 8] |= uint8_t(1 << (d % 8));
    for (int64_t d = 0; d < ndblk; d += s_.frag) {
        const int64_t n = std::min<int64_t>(s_.frag, ndblk - d);
        int64_t nfree = 0;
        for (int64_t i = 0; i < n; i++)
            nfree += freemap[size_t(r.base + d + i)];
        if (n == s_.frag && nfree == n) {
            nbfree++;
            continue;
        }
        nffree += int32_t(nfree);
        for (int64_t i = 0, run = 0; i <= n; i++) {   // runs of free fragments
            if (i < n && freemap[size_t(r.base + d + i)]) {
                run++;
            } else if (run > 0) {
                frsum[size_t(run)]++;
                run = 0;
            }
        }
    }

    const int32_t cg_ncyl = int32_t(c == s_.ncg - 1 ? s_.ncyl - c * s_.cpg : s_.cpg);
    put32be(g + cg_off::magic, uint32_t(kCgMagic));
    put32be(g + cg_off::time, uint32_t(s_.time));
    put32be(g + cg_off::cgx, uint32_t(c));
    put16be(g + cg_off::ncyl, uint16_t(cg_ncyl));
    put16be(g + cg_off::niblk, uint16_t(s_.ipg));
    put32be(g + cg_off::ndblk, uint32_t(ndblk));
    put32be(g + cg_off::cs_ndir, uint32_t(ndir));
    put32be(g + cg_off::cs_nbfree, uint32_t(nbfree));
    put32be(g + cg_off::cs_nifree, uint32_t(nifree));
    put32be(g + cg_off::cs_nffree, uint32_t(nffree));
    for (int i = 0; i < kMaxFrag; i++)
        put32be(g + cg_off::frsum + 4 * uint32_t(i), uint32_t(frsum[size_t(i)]));
    put32be(g + cg_off::btotoff, m.btot);
    put32be(g + cg_off::boff, m.b);
    put32be(g + cg_off::iusedoff, m.iused);
    put32be(g + cg_off::freeoff, m.free);
    put32be(g + cg_off::nextfreeoff, m.next);
    return {ndir, nbfree, nifree, nffree};
}

// The cylinder-group summary, and the totals and data size in s_.
void Builder::write_summary(const std::vector<std::array<int32_t, 4>>& cs)
{
    uint8_t* csp = at(uint64_t(s_.csaddr) * uint32_t(s_.fsize), size_t(s_.cssize));
    s_.ndir = s_.nbfree = s_.nifree = s_.nffree = 0;
    int64_t dsize = 0;
    for (size_t c = 0; c < cs.size(); c++) {
        for (size_t i = 0; i < 4; i++)
            put32be(csp + 16 * c + 4 * i, uint32_t(cs[c][i]));
        s_.ndir += cs[c][0];
        s_.nbfree += cs[c][1];
        s_.nifree += cs[c][2];
        s_.nffree += cs[c][3];
        const CgRange r = cg_range(s_, int64_t(c));
        dsize += r.end - r.data_start + (c > 0 ? r.lower_end - r.base : 0);
    }
    s_.dsize = int32_t(dsize);
}

std::vector<uint8_t> Builder::encode_super() const
{
    std::vector<uint8_t> sb(8192, 0);
    uint8_t* p = sb.data();
    for (const SbWord& w : kSbWords)
        put32be(p + w.off, uint32_t(s_.*(w.field)));
    put32be(p + sb_off::id, uint32_t(o_.id[0]));
    put32be(p + sb_off::id + 4, uint32_t(o_.id[1]));
    p[sb_off::clean] = o_.clean;
    std::memcpy(p + sb_off::fsmnt, o_.fsmnt.data(), std::min<size_t>(o_.fsmnt.size(), sb_off::fsmnt_len - 1));
    put32be(p + sb_off::qbmask + 4, uint32_t(~s_.bmask));   // high words stay 0
    put32be(p + sb_off::qfmask + 4, uint32_t(~s_.fmask));
    put32be(p + sb_off::postblformat, uint32_t(kDynamicPostblFormat));
    put32be(p + sb_off::magic, uint32_t(kFsMagic));
    return sb;
}

// The primary superblock at byte 8192 and a copy in every group.
void Builder::write_super_copies(const std::vector<uint8_t>& sb)
{
    std::memcpy(at(kSbOff, sb.size()), sb.data(), sb.size());
    const size_t n = size_t(std::min<int64_t>(8192, int64_t(s_.cblkno - s_.sblkno) * s_.fsize));
    for (int64_t c = 0; c < s_.ncg; c++) {
        const uint64_t off = uint64_t(cgstart(s_, c) + s_.sblkno) * uint32_t(s_.fsize);
        std::memcpy(at(off, n), sb.data(), n);
    }
}

}   // namespace sunimg::detail
