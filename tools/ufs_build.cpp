// Lays a Ufs tree out as a big-endian Sun UFS (UFS1) file system.
//
// Geometry follows the classic file-system layout: a cylinder group c spans
// fragments [fs_fpg*c, fs_fpg*(c+1)); its metadata starts at
//   cgstart(c) = fs_fpg*c + fs_cgoffset*(c & ~fs_cgmask)
// (rotational staggering) and lies, in fragments from cgstart, as
//   [fs_sblkno] superblock copy, [fs_cblkno] cg header,
//   [fs_iblkno] inode blocks (fs_ipg inodes), [fs_dblkno] data.
// Cylinder group 0 starts at fragment 0 with the boot block and the
// primary superblock (byte 8192) below fs_sblkno; the cylinder-group
// summary (fs_csaddr) is the first data of group 0.
//
// Data is allocated first-fit from the start of the file system: whole
// blocks for full file blocks and indirect blocks, fragment runs packed
// into partly used blocks for the tails of small files.
#include "tools/sunimg.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "fslib/fslib.h"

namespace sunimg {

namespace {

constexpr uint32_t kCgHeader = 168;   // struct cg without its maps
constexpr int kMaxFrag = 8;        // UFS limit on bsize/fsize (cg_frsum[8])
constexpr int kMaxFragLoose = 16;  // accepted anyway (8192/512), see FsOptions

int ilog2(uint64_t v) {
    int r = 0;
    while (v > 1) {
        v >>= 1;
        r++;
    }
    return r;
}

bool pow2(int64_t v) { return v > 0 && (v & (v - 1)) == 0; }

int64_t howmany(int64_t a, int64_t b) { return (a + b - 1) / b; }
int64_t roundup(int64_t a, int64_t b) { return howmany(a, b) * b; }

// The parts of the superblock computation that do not depend on content.
struct Geo {
    Super sb{};
    std::string error;   // non-empty: these parameters cannot work
    int64_t free_frags = 0;   // data fragments free before any content
};

uint32_t cgbase(const Super& sb, int64_t c) { return uint32_t(int64_t(sb.fpg) * c); }
uint32_t cgstart(const Super& sb, int64_t c) {
    return uint32_t(int64_t(sb.fpg) * c + int64_t(sb.cgoffset) * (c & ~int64_t(sb.cgmask)));
}

// Rotational position of cg-relative fragment bno (classic cbtorpos).
int cbtorpos(const Super& sb, int64_t bno) {
    int64_t s = bno * sb.nspf;
    return int((((s % sb.spc) / sb.nsect * sb.trackskew + s % sb.spc % sb.nsect * sb.interleave) % sb.nsect) *
               sb.nrpos / sb.npsect);
}
int cbtocylno(const Super& sb, int64_t bno) { return int(bno * sb.nspf / sb.spc); }

Geo compute_geo(const FsOptions& o, const Geometry& g, int32_t ncyl) {
    Geo G;
    Super& s = G.sb;
    auto fail = [&](std::string why) {
        G.error = std::move(why);
        return G;
    };
    if (!pow2(o.bsize) || o.bsize < 4096 || o.bsize > 65536) return fail("bsize must be a power of two, 4096..65536");
    if (!pow2(o.fsize) || o.fsize < 512 || o.fsize > o.bsize) return fail("fsize must be a power of two, 512..bsize");
    if (o.bsize / o.fsize > kMaxFragLoose) return fail("bsize/fsize must be at most 16");
    if (g.nhead == 0 || g.nsect == 0) return fail("geometry needs heads and sectors");
    if (o.cpg < 1) return fail("cpg must be at least 1");
    if (ncyl < 1) return fail("the file system needs at least one cylinder");
    if (o.nrpos < 1 || o.nrpos > 16) return fail("nrpos must be 1..16");

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
    const int32_t nspb = s.nspf * s.frag;
    if ((int64_t(s.cpg) * s.spc) % nspb != 0)
        return fail("cpg * sectors per cylinder must be a multiple of the sectors per block (" +
                    std::to_string(nspb) + ")");
    s.fpg = int32_t(int64_t(s.cpg) * s.spc / s.nspf);
    int64_t size = int64_t(ncyl) * s.spc / s.nspf;
    if (size > INT32_MAX) return fail("file system too large");
    s.size = int32_t(size);
    s.ncg = int32_t(howmany(ncyl, s.cpg));

    s.sblkno = int32_t(roundup(howmany(8192 + 8192, s.fsize), s.frag));
    s.cblkno = int32_t(s.sblkno + roundup(howmany(8192, s.fsize), s.frag));
    s.iblkno = s.cblkno + s.frag;

    int64_t ipg = o.ipg;
    if (ipg <= 0) ipg = std::min<int64_t>(int64_t(s.fpg) * s.fsize / std::max(1, o.nbpi), 2048);
    ipg = std::max<int64_t>(roundup(ipg, s.inopb), s.inopb);
    s.ipg = int32_t(ipg);
    s.dblkno = int32_t(s.iblkno + ipg * 128 / s.fsize);

    if (o.stagger) {
        s.cgoffset = int32_t(roundup(howmany(s.nsect, s.nspf), s.frag));
        uint32_t mask = 0xffffffffu;
        for (int i = s.ntrak; i > 1; i >>= 1) mask <<= 1;
        s.cgmask = int32_t(mask);
    } else {
        s.cgoffset = 0;
        s.cgmask = -1;
    }
    if (o.cgoffset) s.cgoffset = *o.cgoffset;
    if (o.cgmask) s.cgmask = *o.cgmask;

    // Cylinder group header and maps must fit in the one block at cblkno.
    int64_t cgsize = kCgHeader + int64_t(s.cpg) * 4 + int64_t(s.cpg) * s.nrpos * 2 + howmany(s.ipg, 8) +
                     howmany(s.fpg, 8);
    if (cgsize > s.bsize)
        return fail("cylinder group maps (" + std::to_string(cgsize) + " bytes) do not fit a block; lower cpg or ipg");
    s.cgsize = int32_t(roundup(cgsize, s.fsize));

    s.csaddr = s.dblkno;   // cgdmin(0): cgstart(0) == 0
    s.cssize = int32_t(roundup(int64_t(s.ncg) * 16, s.fsize));
    s.csshift = ilog2(uint64_t(s.bsize / 16));
    s.csmask = ~(s.bsize / 16 - 1);

    // Rotational layout tables (classic dynamic format), after fs_magic.
    int32_t cpc = nspb;
    for (int32_t i = s.spc; cpc > 1 && (i & 1) == 0; cpc >>= 1, i >>= 1) {
    }
    s.cpc = cpc;
    s.postbloff = 1376;
    s.rotbloff = s.postbloff + s.cpc * s.nrpos * 2;
    int64_t rotblsize = int64_t(s.cpc) * s.spc / nspb;
    int64_t sbsize = s.rotbloff + rotblsize;
    if (sbsize > 8192) return fail("rotational tables do not fit the superblock");
    s.sbsize = int32_t(roundup(sbsize, s.fsize));
    if (s.sbsize > 8192) s.sbsize = 8192;

    // Every group must hold its metadata and at least one fragment of data.
    for (int64_t c = 0; c < s.ncg; c++) {
        int64_t dmax = std::min<int64_t>(int64_t(cgbase(s, c)) + s.fpg, s.size);
        int64_t dmin = int64_t(cgstart(s, c)) + s.dblkno + (c == 0 ? s.cssize / s.fsize : 0);
        if (int64_t(cgstart(s, c)) + s.dblkno - cgbase(s, c) >= s.fpg)
            return fail("inode blocks and staggering do not fit a cylinder group; raise cpg or lower ipg");
        if (dmin >= dmax) {
            G.error = c == s.ncg - 1 ? "last cylinder group too small" : "cylinder group too small";
            return G;
        }
        int64_t free = dmax - dmin;
        if (c > 0) free += int64_t(cgstart(s, c)) + s.sblkno - cgbase(s, c);
        G.free_frags += free;
    }
    return G;
}

// The allocation plan of one inode: which logical blocks exist and how
// many fragments each holds.
struct PlanBlock {
    int64_t lbn;
    uint32_t nfrags;
};

std::vector<PlanBlock> plan_blocks(const Super& s, uint64_t size, const std::vector<Extent>& data, bool dense) {
    std::vector<PlanBlock> out;
    if (size == 0) return out;
    const uint64_t bsize = uint64_t(s.bsize);
    const int64_t nblocks = int64_t((size + bsize - 1) / bsize);
    std::set<int64_t> lbns;
    if (dense) {
        for (int64_t b = 0; b < nblocks; b++) lbns.insert(b);
    } else {
        for (const auto& e : data) {
            if (e.data.empty()) continue;
            int64_t first = int64_t(e.offset / bsize);
            int64_t last = int64_t((e.offset + e.data.size() - 1) / bsize);
            for (int64_t b = first; b <= last; b++) lbns.insert(b);
        }
    }
    for (int64_t b : lbns) {
        uint32_t nfrags = uint32_t(s.frag);
        if (b < kNDirect && size < uint64_t(b + 1) * bsize) {
            uint64_t in_block = size - uint64_t(b) * bsize;
            nfrags = uint32_t((in_block + s.fsize - 1) / uint64_t(s.fsize));
        }
        out.push_back({b, nfrags});
    }
    return out;
}

// Number of indirect blocks a block list needs.
int64_t count_indirect(const Super& s, const std::vector<PlanBlock>& blocks) {
    const int64_t N = s.nindir;
    std::set<std::pair<int, int64_t>> seen;
    for (const auto& b : blocks) {
        int64_t l = b.lbn - kNDirect;
        if (l < 0) continue;
        if (l < N) {
            seen.insert({0, 0});
            continue;
        }
        l -= N;
        if (l < N * N) {
            seen.insert({1, 0});
            seen.insert({2, l / N});
            continue;
        }
        l -= N * N;
        seen.insert({3, 0});
        seen.insert({4, l / (N * N)});
        seen.insert({5, l / N});
    }
    return int64_t(seen.size());
}

// Directory contents: records packed into 512-byte chunks, the last record
// of each chunk stretched to the chunk's end.
struct DirBytes {
    std::vector<uint8_t> bytes;
    std::vector<DirentRef> refs;
};

DirBytes pack_dir(const std::vector<DirEntry>& entries, uint32_t min_size) {
    DirBytes d;
    uint32_t chunk = 0, used = 0;
    int last = -1;
    auto stretch_last = [&]() {
        if (last < 0) return;
        DirentRef& r = d.refs[size_t(last)];
        uint32_t end = chunk + kDirChunk;
        r.reclen = uint16_t(end - r.pos);
        put16be(d.bytes.data() + r.pos + dir_off::reclen, r.reclen);
    };
    d.bytes.resize(kDirChunk, 0);
    for (const auto& e : entries) {
        uint32_t need = uint32_t(8 + roundup(int64_t(e.name.size()) + 1, 4));
        if (used + need > kDirChunk) {
            stretch_last();
            chunk += kDirChunk;
            used = 0;
            d.bytes.resize(chunk + kDirChunk, 0);
        }
        uint32_t pos = chunk + used;
        uint8_t* p = d.bytes.data() + pos;
        put32be(p + dir_off::ino, e.ino);
        put16be(p + dir_off::reclen, uint16_t(need));
        put16be(p + dir_off::namlen, uint16_t(e.name.size()));
        std::memcpy(p + dir_off::name, e.name.data(), e.name.size());
        d.refs.push_back({e.name, e.ino, pos, uint16_t(need)});
        last = int(d.refs.size()) - 1;
        used += need;
    }
    stretch_last();
    // Padding chunks: one empty record each.
    while (d.bytes.size() < min_size) {
        uint32_t pos = uint32_t(d.bytes.size());
        d.bytes.resize(pos + kDirChunk, 0);
        put16be(d.bytes.data() + pos + dir_off::reclen, uint16_t(kDirChunk));
        d.refs.push_back({"", 0, pos, uint16_t(kDirChunk)});
    }
    return d;
}

// Everything about one inode that the layout needs, before placement.
struct Prep {
    const Node* node;
    uint64_t size;
    std::vector<Extent> owned;          // directory bytes
    const std::vector<Extent>* data;   // content extents
    std::vector<PlanBlock> blocks;
    std::vector<DirentRef> refs;
    int16_t nlink;
    bool fast_link = false;   // target kept in di_db/di_ib
};

// The fragment allocator over the whole file system.
class Alloc {
public:
    Alloc(const Super& s) : s_(s), free_(size_t(s.size), 0) {}

    void set_free(int64_t f, bool v) { free_[size_t(f)] = v ? 1 : 0; }
    bool is_free(int64_t f) const { return f >= 0 && f < s_.size && free_[size_t(f)]; }

    // A whole free block; returns its first fragment.
    uint32_t block() {
        const int64_t frag = s_.frag;
        for (int64_t b = bcur_; (b + 1) * frag <= s_.size; b++) {
            bool ok = true;
            for (int64_t i = 0; i < frag && ok; i++) ok = free_[size_t(b * frag + i)] != 0;
            if (ok) {
                for (int64_t i = 0; i < frag; i++) free_[size_t(b * frag + i)] = 0;
                bcur_ = b + 1;
                return uint32_t(b * frag);
            }
        }
        throw Error("file system full (no free block); give it more cylinders");
    }

    // n < frag fragments, packed into the current partial block if they fit.
    uint32_t frags(uint32_t n) {
        const int64_t frag = s_.frag;
        if (fblk_ >= 0) {
            for (int64_t start = 0; start + n <= uint32_t(frag); start++) {
                bool ok = true;
                for (uint32_t i = 0; i < n && ok; i++) ok = free_[size_t(fblk_ * frag + start + i)] != 0;
                if (ok) {
                    for (uint32_t i = 0; i < n; i++) free_[size_t(fblk_ * frag + start + i)] = 0;
                    return uint32_t(fblk_ * frag + start);
                }
            }
        }
        uint32_t f = block();
        fblk_ = f / frag;
        for (int64_t i = n; i < frag; i++) free_[size_t(f + i)] = 1;
        return f;
    }

    const std::vector<uint8_t>& map() const { return free_; }

private:
    const Super& s_;
    std::vector<uint8_t> free_;   // 1 = free, per fragment
    int64_t bcur_ = 0;
    int64_t fblk_ = -1;
};

class Builder {
public:
    Builder(const FsOptions& o, const Super& sb, std::vector<Prep>& preps, std::set<uint32_t> dirs)
        : o_(o), s_(sb), preps_(preps), dirs_(std::move(dirs)), alloc_(s_) {}

    FsImage run(int32_t part_ncyl);

private:
    void init_free_map();
    void place(Prep& p, InodeInfo& info);
    void write_inode(const Prep& p, const InodeInfo& info, const std::vector<uint32_t>& db,
                     const std::vector<uint32_t>& ib, int64_t frags_held);
    void write_cgs_and_super();
    uint8_t* at(uint64_t off, size_t n) {
        if (off + n > img_.bytes.size()) throw Error("internal: write outside the file system");
        return img_.bytes.data() + off;
    }

    const FsOptions& o_;
    Super s_;
    std::vector<Prep>& preps_;
    std::set<uint32_t> dirs_;
    Alloc alloc_;
    FsImage img_;
};

void Builder::init_free_map() {
    for (int64_t c = 0; c < s_.ncg; c++) {
        int64_t cbase = cgbase(s_, c);
        int64_t dmax = std::min<int64_t>(cbase + s_.fpg, s_.size);
        int64_t dlower = int64_t(cgstart(s_, c)) + s_.sblkno - cbase;
        int64_t dupper = int64_t(cgstart(s_, c)) + s_.dblkno - cbase;
        if (c == 0) dupper += s_.cssize / s_.fsize;
        if (c > 0)
            for (int64_t d = 0; d < dlower; d++) alloc_.set_free(cbase + d, true);
        for (int64_t d = dupper; d < dmax - cbase; d++) alloc_.set_free(cbase + d, true);
    }
}

// Allocates and writes the blocks of one inode.
void Builder::place(Prep& p, InodeInfo& info) {
    const int64_t N = s_.nindir;
    const uint64_t inode_off = img_.layout.inode_offset(p.node->ino);
    std::vector<uint32_t> db(kNDirect, 0), ib(3, 0);
    int64_t frags_held = 0;

    struct Ind {
        int level;
        uint32_t frag;
        int64_t first_lbn;
        uint64_t ptr_off;
        std::vector<uint32_t> e;
    };
    std::map<std::tuple<int, int64_t, int64_t>, Ind> inds;
    std::vector<std::tuple<int, int64_t, int64_t>> order;
    auto get_ind = [&](std::tuple<int, int64_t, int64_t> key, int level, int64_t first_lbn,
                       uint64_t ptr_off) -> Ind& {
        auto it = inds.find(key);
        if (it != inds.end()) return it->second;
        Ind ind{level, alloc_.block(), first_lbn, ptr_off, std::vector<uint32_t>(size_t(N), 0)};
        frags_held += s_.frag;
        order.push_back(key);
        return inds.emplace(key, std::move(ind)).first->second;
    };
    auto ind_entry_off = [&](const Ind& ind, int64_t idx) { return uint64_t(ind.frag) * s_.fsize + 4 * idx; };

    for (const auto& b : p.blocks) {
        // Find (and create) the word that will point at this data block.
        uint32_t* slot;
        uint64_t ptr_off;
        if (b.lbn < kNDirect) {
            slot = &db[size_t(b.lbn)];
            ptr_off = inode_off + ino_off::db + 4 * b.lbn;
        } else {
            int64_t l = b.lbn - kNDirect;
            if (l < N) {
                Ind& i1 = get_ind({0, -1, -1}, 1, kNDirect, inode_off + ino_off::ib);
                ib[0] = i1.frag;
                slot = &i1.e[size_t(l)];
                ptr_off = ind_entry_off(i1, l);
            } else if ((l -= N) < N * N) {
                Ind& i2 = get_ind({1, -1, -1}, 2, kNDirect + N, inode_off + ino_off::ib + 4);
                ib[1] = i2.frag;
                int64_t a = l / N;
                Ind& i1 = get_ind({1, a, -1}, 1, kNDirect + N + a * N, ind_entry_off(i2, a));
                i2.e[size_t(a)] = i1.frag;
                slot = &i1.e[size_t(l % N)];
                ptr_off = ind_entry_off(i1, l % N);
            } else if ((l -= N * N) < N * N * N) {
                int64_t base = kNDirect + N + N * N;
                Ind& i3 = get_ind({2, -1, -1}, 3, base, inode_off + ino_off::ib + 8);
                ib[2] = i3.frag;
                int64_t a = l / (N * N), bb = (l / N) % N;
                Ind& i2 = get_ind({2, a, -1}, 2, base + a * N * N, ind_entry_off(i3, a));
                i3.e[size_t(a)] = i2.frag;
                Ind& i1 = get_ind({2, a, bb}, 1, base + a * N * N + bb * N, ind_entry_off(i2, bb));
                i2.e[size_t(bb)] = i1.frag;
                slot = &i1.e[size_t(l % N)];
                ptr_off = ind_entry_off(i1, l % N);
            } else {
                throw Error("file too large for triple indirection (logical block " + std::to_string(b.lbn) + ")");
            }
        }
        uint32_t f = b.nfrags == uint32_t(s_.frag) ? alloc_.block() : alloc_.frags(b.nfrags);
        *slot = f;
        frags_held += b.nfrags;
        BlockRef ref;
        ref.level = 0;
        ref.lbn = b.lbn;
        ref.frag = f;
        ref.nfrags = b.nfrags;
        ref.bytes = b.nfrags * uint32_t(s_.fsize);
        ref.offset = uint64_t(f) * s_.fsize;
        ref.ptr_offset = ptr_off;
        info.data.push_back(ref);
    }

    // Content: copy every extent piece into its blocks.
    std::map<int64_t, const BlockRef*> by_lbn;
    for (const auto& r : info.data) by_lbn[r.lbn] = &r;
    const uint64_t bsize = uint64_t(s_.bsize);
    static const std::vector<Extent> kNone;
    const std::vector<Extent>& content = p.fast_link ? kNone : *p.data;
    for (const auto& e : content) {
        uint64_t pos = e.offset, end = e.offset + e.data.size();
        while (pos < end) {
            int64_t lbn = int64_t(pos / bsize);
            uint64_t in = pos % bsize;
            uint64_t n = std::min<uint64_t>(end - pos, bsize - in);
            const BlockRef* r = by_lbn.at(lbn);
            if (in + n > r->bytes) throw Error("internal: content beyond its block");
            std::memcpy(at(r->offset + in, n), e.data.data() + (pos - e.offset), n);
            pos += n;
        }
    }

    // Indirect blocks.
    for (const auto& key : order) {
        const Ind& ind = inds.at(key);
        uint8_t* p8 = at(uint64_t(ind.frag) * s_.fsize, size_t(s_.bsize));
        for (int64_t i = 0; i < N; i++) put32be(p8 + 4 * i, ind.e[size_t(i)]);
        BlockRef ref;
        ref.level = ind.level;
        ref.lbn = ind.first_lbn;
        ref.frag = ind.frag;
        ref.nfrags = uint32_t(s_.frag);
        ref.bytes = uint32_t(s_.bsize);
        ref.offset = uint64_t(ind.frag) * s_.fsize;
        ref.ptr_offset = ind.ptr_off;
        info.indirect.push_back(ref);
    }
    write_inode(p, info, db, ib, frags_held);
}

void Builder::write_inode(const Prep& p, const InodeInfo& info, const std::vector<uint32_t>& db,
                          const std::vector<uint32_t>& ib, int64_t frags_held) {
    const Node& n = *p.node;
    uint8_t* d = at(img_.layout.inode_offset(n.ino), 128);
    std::memset(d, 0, 128);
    static_assert(offsetof(dinode, di_mode) == ino_off::mode && offsetof(dinode, di_nlink) == ino_off::nlink &&
                  offsetof(dinode, di_uid) == ino_off::uid && offsetof(dinode, di_gid) == ino_off::gid &&
                  offsetof(dinode, di_size) == ino_off::size_hi &&
                  offsetof(dinode, di_atime) == ino_off::atime && offsetof(dinode, di_mtime) == ino_off::mtime &&
                  offsetof(dinode, di_ctime) == ino_off::ctime && offsetof(dinode, di_db) == ino_off::db &&
                  offsetof(dinode, di_ib) == ino_off::ib && offsetof(dinode, di_flags) == ino_off::flags &&
                  offsetof(dinode, di_blocks) == ino_off::blocks && offsetof(dinode, di_gen) == ino_off::gen &&
                  offsetof(dinode, di_uid32) == ino_off::uid32 &&
                  offsetof(dinode, di_gid32) == ino_off::gid32);
    put16be(d + ino_off::mode, n.mode);
    put16be(d + ino_off::nlink, uint16_t(info.nlink));
    put16be(d + ino_off::uid, n.uid);
    put16be(d + ino_off::gid, n.gid);
    put32be(d + ino_off::size_hi, uint32_t(p.size >> 32));
    put32be(d + ino_off::size, uint32_t(p.size));
    put32be(d + ino_off::atime, uint32_t(n.atime));
    put32be(d + ino_off::mtime, uint32_t(n.mtime));
    put32be(d + ino_off::ctime, uint32_t(n.ctime));
    uint16_t type = n.mode & kIFMT;
    for (int i = 0; i < kNDirect; i++) put32be(d + ino_off::db + 4 * i, db[size_t(i)]);
    if (type == kIFCHR || type == kIFBLK) put32be(d + ino_off::db, n.rdev);
    for (int i = 0; i < 3; i++) put32be(d + ino_off::ib + 4 * i, ib[size_t(i)]);
    if (p.fast_link && !n.data.empty()) std::memcpy(d + ino_off::db, n.data[0].data.data(), n.data[0].data.size());
    put32be(d + ino_off::flags, uint32_t(n.flags));
    put32be(d + ino_off::blocks, uint32_t(frags_held * s_.nspf));
    put32be(d + ino_off::gen, uint32_t(n.gen ? *n.gen : int32_t(n.ino * 2654435761u >> 4)));
    if (o_.wide_ids) {
        put32be(d + ino_off::uid32, n.uid);
        put32be(d + ino_off::gid32, n.gid);
    }
}

void Builder::write_cgs_and_super() {
    const auto& freemap = alloc_.map();
    std::set<uint32_t> used_inos;
    used_inos.insert(0);
    used_inos.insert(1);
    for (const auto& p : preps_) used_inos.insert(p.node->ino);

    std::vector<std::array<int32_t, 4>> cs(size_t(s_.ncg));   // ndir, nbfree, nifree, nffree
    int64_t dsize = 0;
    for (int64_t c = 0; c < s_.ncg; c++) {
        const int64_t cbase = cgbase(s_, c);
        const int64_t dmax = std::min<int64_t>(cbase + s_.fpg, s_.size);
        const int64_t ndblk = dmax - cbase;
        const int64_t dlower = int64_t(cgstart(s_, c)) + s_.sblkno - cbase;
        int64_t dupper = int64_t(cgstart(s_, c)) + s_.dblkno - cbase;
        if (c == 0) dupper += s_.cssize / s_.fsize;
        dsize += ndblk - dupper + (c > 0 ? dlower : 0);

        uint8_t* g = at(uint64_t(cgstart(s_, c) + s_.cblkno) * s_.fsize, size_t(s_.cgsize));
        std::memset(g, 0, size_t(s_.cgsize));
        const uint32_t btotoff = kCgHeader;
        const uint32_t boff = btotoff + uint32_t(s_.cpg) * 4;
        const uint32_t iusedoff = boff + uint32_t(s_.cpg * s_.nrpos) * 2;
        const uint32_t freeoff = iusedoff + uint32_t(howmany(s_.ipg, 8));
        const uint32_t nextfreeoff = freeoff + uint32_t(howmany(s_.fpg, 8));

        int32_t ndir = 0, nbfree = 0, nifree = 0, nffree = 0;
        std::array<int32_t, kMaxFragLoose> frsum{};   // only [0, 8) is stored
        for (int64_t i = 0; i < s_.ipg; i++) {
            uint32_t ino = uint32_t(c * s_.ipg + i);
            if (used_inos.count(ino)) {
                g[iusedoff + i / 8] |= uint8_t(1 << (i % 8));
                if (dirs_.count(ino)) ndir++;
            } else {
                nifree++;
            }
        }
        for (int64_t d = 0; d < ndblk; d++)
            if (freemap[size_t(cbase + d)]) g[freeoff + d / 8] |= uint8_t(1 << (d % 8));
        for (int64_t d = 0; d < ndblk; d += s_.frag) {
            int64_t n = std::min<int64_t>(s_.frag, ndblk - d);
            int64_t nfree = 0;
            for (int64_t i = 0; i < n; i++) nfree += freemap[size_t(cbase + d + i)];
            if (n == s_.frag && nfree == n) {
                nbfree++;
                int cyl = cbtocylno(s_, d);
                put32be(g + btotoff + 4 * cyl, get32be(g + btotoff + 4 * cyl) + 1);
                uint8_t* bp = g + boff + 2 * (cyl * s_.nrpos + cbtorpos(s_, d));
                put16be(bp, uint16_t(get16be(bp) + 1));
                continue;
            }
            nffree += int32_t(nfree);
            for (int64_t i = 0; i < n;) {
                if (!freemap[size_t(cbase + d + i)]) {
                    i++;
                    continue;
                }
                int64_t j = i;
                while (j < n && freemap[size_t(cbase + d + j)]) j++;
                frsum[size_t(j - i)]++;
                i = j;
            }
        }
        cs[size_t(c)] = {ndir, nbfree, nifree, nffree};

        int32_t cg_ncyl = int32_t(c == s_.ncg - 1 ? s_.ncyl - c * s_.cpg : s_.cpg);
        put32be(g + 4, uint32_t(kCgMagic));
        put32be(g + 8, uint32_t(s_.time));
        put32be(g + 12, uint32_t(c));
        put16be(g + 16, uint16_t(cg_ncyl));
        put16be(g + 18, uint16_t(s_.ipg));
        put32be(g + 20, uint32_t(ndblk));
        put32be(g + 24, uint32_t(ndir));
        put32be(g + 28, uint32_t(nbfree));
        put32be(g + 32, uint32_t(nifree));
        put32be(g + 36, uint32_t(nffree));
        for (int i = 0; i < kMaxFrag; i++) put32be(g + 52 + 4 * i, uint32_t(frsum[size_t(i)]));
        put32be(g + 84, btotoff);
        put32be(g + 88, boff);
        put32be(g + 92, iusedoff);
        put32be(g + 96, freeoff);
        put32be(g + 100, nextfreeoff);
    }

    // Cylinder-group summary.
    uint8_t* csp = at(uint64_t(s_.csaddr) * s_.fsize, size_t(s_.cssize));
    s_.ndir = s_.nbfree = s_.nifree = s_.nffree = 0;
    for (int64_t c = 0; c < s_.ncg; c++) {
        for (int i = 0; i < 4; i++) put32be(csp + 16 * c + 4 * i, uint32_t(cs[size_t(c)][size_t(i)]));
        s_.ndir += cs[size_t(c)][0];
        s_.nbfree += cs[size_t(c)][1];
        s_.nifree += cs[size_t(c)][2];
        s_.nffree += cs[size_t(c)][3];
    }
    s_.dsize = int32_t(dsize);

    // The superblock.
    std::vector<uint8_t> sb(8192, 0);
    auto w = [&](size_t off, int32_t v) { put32be(sb.data() + off, uint32_t(v)); };
    w(offsetof(fs_super, fs_sblkno), s_.sblkno);
    w(offsetof(fs_super, fs_cblkno), s_.cblkno);
    w(offsetof(fs_super, fs_iblkno), s_.iblkno);
    w(offsetof(fs_super, fs_dblkno), s_.dblkno);
    w(offsetof(fs_super, fs_cgoffset), s_.cgoffset);
    w(offsetof(fs_super, fs_cgmask), s_.cgmask);
    w(offsetof(fs_super, fs_time), s_.time);
    w(offsetof(fs_super, fs_size), s_.size);
    w(offsetof(fs_super, fs_dsize), s_.dsize);
    w(offsetof(fs_super, fs_ncg), s_.ncg);
    w(offsetof(fs_super, fs_bsize), s_.bsize);
    w(offsetof(fs_super, fs_fsize), s_.fsize);
    w(offsetof(fs_super, fs_frag), s_.frag);
    w(offsetof(fs_super, fs_minfree), s_.minfree);
    w(offsetof(fs_super, fs_rotdelay), s_.rotdelay);
    w(offsetof(fs_super, fs_rps), s_.rps);
    w(offsetof(fs_super, fs_bmask), s_.bmask);
    w(offsetof(fs_super, fs_fmask), s_.fmask);
    w(offsetof(fs_super, fs_bshift), s_.bshift);
    w(offsetof(fs_super, fs_fshift), s_.fshift);
    w(offsetof(fs_super, fs_maxcontig), s_.maxcontig);
    w(offsetof(fs_super, fs_maxbpg), s_.maxbpg);
    w(offsetof(fs_super, fs_fragshift), s_.fragshift);
    w(offsetof(fs_super, fs_fsbtodb), s_.fsbtodb);
    w(offsetof(fs_super, fs_sbsize), s_.sbsize);
    w(offsetof(fs_super, fs_csmask), s_.csmask);
    w(offsetof(fs_super, fs_csshift), s_.csshift);
    w(offsetof(fs_super, fs_nindir), s_.nindir);
    w(offsetof(fs_super, fs_inopb), s_.inopb);
    w(offsetof(fs_super, fs_nspf), s_.nspf);
    w(offsetof(fs_super, fs_optim), s_.optim);
    w(offsetof(fs_super, fs_npsect), s_.npsect);
    w(offsetof(fs_super, fs_interleave), s_.interleave);
    w(offsetof(fs_super, fs_trackskew), s_.trackskew);
    w(offsetof(fs_super, fs_id), o_.id[0]);
    w(offsetof(fs_super, fs_id) + 4, o_.id[1]);
    w(offsetof(fs_super, fs_csaddr), s_.csaddr);
    w(offsetof(fs_super, fs_cssize), s_.cssize);
    w(offsetof(fs_super, fs_cgsize), s_.cgsize);
    w(offsetof(fs_super, fs_ntrak), s_.ntrak);
    w(offsetof(fs_super, fs_nsect), s_.nsect);
    w(offsetof(fs_super, fs_spc), s_.spc);
    w(offsetof(fs_super, fs_ncyl), s_.ncyl);
    w(offsetof(fs_super, fs_cpg), s_.cpg);
    w(offsetof(fs_super, fs_ipg), s_.ipg);
    w(offsetof(fs_super, fs_fpg), s_.fpg);
    w(offsetof(fs_super, fs_cstotal) + 0, s_.ndir);
    w(offsetof(fs_super, fs_cstotal) + 4, s_.nbfree);
    w(offsetof(fs_super, fs_cstotal) + 8, s_.nifree);
    w(offsetof(fs_super, fs_cstotal) + 12, s_.nffree);
    sb[offsetof(fs_super, fs_clean)] = o_.clean;
    std::memcpy(sb.data() + offsetof(fs_super, fs_fsmnt), o_.fsmnt.data(), std::min<size_t>(o_.fsmnt.size(), 511));
    w(offsetof(fs_super, fs_cpc), s_.cpc);
    w(offsetof(fs_super, fs_qbmask), 0);
    w(offsetof(fs_super, fs_qbmask) + 4, ~s_.bmask);
    w(offsetof(fs_super, fs_qfmask), 0);
    w(offsetof(fs_super, fs_qfmask) + 4, ~s_.fmask);
    w(offsetof(fs_super, fs_postblformat), 1);   // FS_DYNAMICPOSTBLFMT
    w(offsetof(fs_super, fs_nrpos), s_.nrpos);
    w(offsetof(fs_super, fs_postbloff), s_.postbloff);
    w(offsetof(fs_super, fs_rotbloff), s_.rotbloff);
    w(offsetof(fs_super, fs_magic), kFsMagic);

    // Rotational tables (classic layout): postbl[cpc][nrpos] of shorts, the
    // first block at each position; rotbl[] the distance to the next.
    {
        const int32_t nspb = s_.nspf * s_.frag;
        const int64_t rotblsize = int64_t(s_.cpc) * s_.spc / nspb;
        auto postbl = [&](int cyl, int rpos) { return sb.data() + s_.postbloff + 2 * (cyl * s_.nrpos + rpos); };
        for (int cyl = 0; cyl < s_.cpc; cyl++)
            for (int r = 0; r < s_.nrpos; r++) put16be(postbl(cyl, r), 0xFFFF);
        for (int64_t i = (rotblsize - 1) * s_.frag; i >= 0; i -= s_.frag) {
            int cyl = cbtocylno(s_, i);
            int rpos = cbtorpos(s_, i);
            int64_t blk = i / s_.frag;
            int16_t head = int16_t(get16be(postbl(cyl, rpos)));
            sb[size_t(s_.rotbloff + blk)] = head == -1 ? 0 : uint8_t(head - blk);
            put16be(postbl(cyl, rpos), uint16_t(blk));
        }
    }

    std::memcpy(at(kSbOff, 8192), sb.data(), 8192);
    for (int64_t c = 0; c < s_.ncg; c++) {
        uint64_t off = uint64_t(cgstart(s_, c) + s_.sblkno) * s_.fsize;
        size_t n = size_t(std::min<int64_t>(8192, int64_t(s_.cblkno - s_.sblkno) * s_.fsize));
        std::memcpy(at(off, n), sb.data(), n);
    }
}

FsImage Builder::run(int32_t part_ncyl) {
    img_.layout.sb = s_;
    img_.layout.part_ncyl = part_ncyl;
    img_.bytes.assign(size_t(int64_t(part_ncyl) * s_.spc * 512), 0);
    if (img_.bytes.size() < uint64_t(s_.size) * s_.fsize) throw Error("internal: partition smaller than the fs");
    init_free_map();
    for (auto& p : preps_) {
        InodeInfo info;
        info.ino = p.node->ino;
        info.mode = p.node->mode;
        info.size = p.size;
        info.nlink = p.nlink;
        info.dirents = p.refs;
        place(p, info);
        img_.layout.inodes[info.ino] = std::move(info);
    }
    write_cgs_and_super();
    img_.layout.sb = s_;
    return std::move(img_);
}

}  // namespace

uint32_t FsLayout::cg_start(uint32_t cg) const { return cgstart(sb, cg); }

uint64_t FsLayout::inode_offset(uint32_t ino) const {
    uint32_t cg = ino / uint32_t(sb.ipg);
    uint64_t frag = uint64_t(sb.fpg) * cg + uint64_t(sb.cgoffset) * (cg & ~uint32_t(sb.cgmask)) + uint64_t(sb.iblkno) +
                    (uint64_t((ino % uint32_t(sb.ipg)) / uint32_t(sb.inopb)) << sb.fragshift);
    return (ino % uint32_t(sb.inopb)) * 128 + frag * uint32_t(sb.fsize);
}

const InodeInfo& FsLayout::inode(uint32_t ino) const {
    auto it = inodes.find(ino);
    if (it == inodes.end()) throw Error("inode " + std::to_string(ino) + " is not allocated");
    return it->second;
}

uint64_t FsLayout::file_offset(uint32_t ino, uint64_t pos) const {
    const InodeInfo& in = inode(ino);
    int64_t lbn = int64_t(pos / uint32_t(sb.bsize));
    uint64_t within = pos % uint32_t(sb.bsize);
    for (const auto& b : in.data)
        if (b.lbn == lbn) {
            if (within >= b.bytes) break;
            return b.offset + within;
        }
    throw Error("byte " + std::to_string(pos) + " of inode " + std::to_string(ino) + " is in a hole");
}

uint64_t FsLayout::dirent_offset(uint32_t dir_ino, std::string_view name) const {
    for (const auto& r : inode(dir_ino).dirents)
        if (r.ino != 0 && r.name == name) return file_offset(dir_ino, r.pos);
    throw Error("no entry '" + std::string(name) + "' in directory " + std::to_string(dir_ino));
}

FsImage Ufs::build(const Geometry& g) const {
    // Directory bytes, link counts and block plans, independent of placement.
    std::map<uint32_t, int> dotdot;
    std::set<uint32_t> dirs;
    for (const auto& [ino, n] : nodes_) {
        if ((n.mode & kIFMT) != kIFDIR) continue;
        dirs.insert(ino);
        dotdot[n.parent]++;
        for (const auto& e : n.entries)
            if (!nodes_.count(e.ino)) throw Error("entry '" + e.name + "' names a missing inode");
    }
    uint32_t max_ino = nodes_.rbegin()->first;

    std::vector<Prep> preps;
    preps.reserve(nodes_.size());
    for (const auto& [ino, n] : nodes_) {
        Prep p;
        p.node = &n;
        uint16_t type = n.mode & kIFMT;
        if (type == kIFDIR) {
            std::vector<DirEntry> all{{".", ino}, {"..", n.parent}};
            all.insert(all.end(), n.entries.begin(), n.entries.end());
            DirBytes d = pack_dir(all, n.dir_min_size);
            p.size = d.bytes.size();
            p.refs = std::move(d.refs);
            p.owned.push_back({0, std::move(d.bytes)});
            p.nlink = int16_t(n.names + 1 + dotdot[ino]);
        } else {
            p.size = (type == kIFREG || type == kIFLNK) ? n.size : 0;
            p.fast_link = type == kIFLNK && opt_.fast_symlinks && n.size < 60;
            p.nlink = int16_t(n.names);
        }
        if (n.nlink) p.nlink = *n.nlink;
        preps.push_back(std::move(p));
    }
    // (pointers taken only now that the vector no longer moves)
    for (auto& p : preps) p.data = p.owned.empty() ? &p.node->data : &p.owned;

    auto plan_all = [&](const Super& s) {
        int64_t frags = 0;
        for (auto& p : preps) {
            uint16_t type = p.node->mode & kIFMT;
            bool dense = type == kIFDIR || type == kIFLNK;
            p.blocks = p.fast_link ? std::vector<PlanBlock>{} : plan_blocks(s, p.size, *p.data, dense);
            frags += int64_t(p.blocks.size()) * s.frag;   // tails counted whole
            frags += count_indirect(s, p.blocks) * s.frag;
        }
        return frags;
    };

    const bool automatic = opt_.ncyl <= 0;
    Geometry geo = g;
    if (automatic) {
        // Smallest cylinder count whose groups hold the inodes and the data.
        Geo probe = compute_geo(opt_, geo, std::max(opt_.cpg, 1));
        if (!probe.error.empty() && probe.error.find("too small") == std::string::npos)
            throw Error("cannot lay out the file system: " + probe.error);
        int64_t need = plan_all(probe.sb) + int64_t(opt_.min_free_blocks) * probe.sb.frag;
        int64_t fpc = std::max<int64_t>(1, int64_t(geo.nhead) * geo.nsect / probe.sb.nspf);
        int64_t ncyl = std::max<int64_t>(1, need / fpc);
        int64_t groups_needed = max_ino / uint32_t(probe.sb.ipg) + 1;
        ncyl = std::max<int64_t>(ncyl, (groups_needed - 1) * opt_.cpg + 1);
        for (int attempt = 0;; attempt++) {
            Geo G;
            for (; ncyl <= 65535; ncyl++) {
                G = compute_geo(opt_, geo, int32_t(ncyl));
                if (!G.error.empty()) {
                    if (G.error.find("too small") != std::string::npos) continue;
                    throw Error("cannot lay out the file system: " + G.error);
                }
                if (int64_t(G.sb.ncg) * G.sb.ipg > max_ino && G.free_frags >= need) break;
            }
            if (ncyl > 65535) throw Error("content too large for a disk of 65535 cylinders");
            try {
                plan_all(G.sb);
                Builder b(opt_, G.sb, preps, dirs);
                return b.run(int32_t(ncyl));
            } catch (const Error& e) {
                if (attempt >= 3 || std::string(e.what()).find("file system full") == std::string::npos) throw;
                ncyl += ncyl / 2 + 1;
            }
        }
    }

    // Fixed size: drop a last group too small to hold its own metadata.
    int32_t fs_ncyl = opt_.ncyl;
    Geo G = compute_geo(opt_, geo, fs_ncyl);
    if (G.error == "last cylinder group too small" && G.sb.ncg > 1) {
        fs_ncyl = (G.sb.ncg - 1) * opt_.cpg;
        G = compute_geo(opt_, geo, fs_ncyl);
    }
    if (!G.error.empty()) throw Error("cannot lay out the file system: " + G.error);
    if (int64_t(G.sb.ncg) * G.sb.ipg <= max_ino)
        throw Error("inode " + std::to_string(max_ino) + " does not fit: " + std::to_string(G.sb.ncg) + " groups of " +
                    std::to_string(G.sb.ipg) + " inodes");
    plan_all(G.sb);
    Builder b(opt_, G.sb, preps, dirs);
    return b.run(opt_.ncyl);
}

}  // namespace sunimg
