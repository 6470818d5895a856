// Lays a Ufs tree out as a big-endian UFS1 file system: block plans,
// directory bytes, data allocation, indirect blocks and inodes.
//
// Data is allocated first-fit from the start of the file system: whole
// blocks for full file blocks and indirect blocks, fragment runs packed
// into partly used blocks for the tails of small files.
#include <algorithm>
#include <cstring>
#include <map>

#include "tools/ufs_layout.h"

namespace sunimg::detail {

namespace {

// Which logical blocks of an inode exist, and the fragments each holds.
std::vector<PlanBlock> plan_blocks(const Super& s, uint64_t size, const std::vector<Extent>& data, bool dense)
{
    std::vector<PlanBlock> out;
    if (size == 0)
        return out;
    const uint64_t bsize = uint64_t(s.bsize);
    std::set<int64_t> lbns;
    if (dense) {
        for (int64_t b = 0; b < int64_t((size + bsize - 1) / bsize); b++)
            lbns.insert(b);
    }
    for (const auto& e : dense ? std::vector<Extent>{} : data) {
        if (e.data.empty())
            continue;
        for (int64_t b = int64_t(e.offset / bsize); b <= int64_t((e.offset + e.data.size() - 1) / bsize); b++)
            lbns.insert(b);
    }
    for (int64_t b : lbns) {
        uint32_t nfrags = uint32_t(s.frag);
        if (b < kNDirect && size < uint64_t(b + 1) * bsize) {
            uint64_t in_block = size - uint64_t(b) * bsize;
            nfrags = uint32_t((in_block + uint64_t(s.fsize) - 1) / uint64_t(s.fsize));
        }
        out.push_back({b, nfrags});
    }
    return out;
}

// Number of indirect blocks a block list needs.
int64_t count_indirect(const Super& s, const std::vector<PlanBlock>& blocks)
{
    const int64_t N = s.nindir;
    std::set<std::pair<int, int64_t>> seen;
    for (const auto& b : blocks) {
        int64_t l = b.lbn - kNDirect;
        if (l < 0)
            continue;
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
// of each chunk stretched to the chunk's end; padding chunks hold one empty
// record each.
struct DirBytes {
    std::vector<uint8_t> bytes;
    std::vector<DirentRef> refs;
};

void stretch_last(DirBytes& d, uint32_t chunk)
{
    if (d.refs.empty() || d.refs.back().pos < chunk)
        return;
    DirentRef& r = d.refs.back();
    r.reclen = uint16_t(chunk + kDirChunk - r.pos);
    put16be(d.bytes.data() + r.pos + dir_off::reclen, r.reclen);
}

DirBytes pack_dir(const std::vector<DirEntry>& entries, uint32_t min_size)
{
    DirBytes d;
    uint32_t chunk = 0, used = 0;
    d.bytes.resize(kDirChunk, 0);
    for (const auto& e : entries) {
        const uint32_t need = uint32_t(dir_off::name + roundup(int64_t(e.name.size()) + 1, 4));
        if (used + need > kDirChunk) {
            stretch_last(d, chunk);
            chunk += kDirChunk;
            used = 0;
            d.bytes.resize(chunk + kDirChunk, 0);
        }
        const uint32_t pos = chunk + used;
        uint8_t* p = d.bytes.data() + pos;
        put32be(p + dir_off::ino, e.ino);
        put16be(p + dir_off::reclen, uint16_t(need));
        put16be(p + dir_off::namlen, uint16_t(e.name.size()));
        std::memcpy(p + dir_off::name, e.name.data(), e.name.size());
        d.refs.push_back({e.name, e.ino, pos, uint16_t(need)});
        used += need;
    }
    stretch_last(d, chunk);
    while (d.bytes.size() < min_size) {
        const uint32_t pos = uint32_t(d.bytes.size());
        d.bytes.resize(pos + kDirChunk, 0);
        put16be(d.bytes.data() + pos + dir_off::reclen, uint16_t(kDirChunk));
        d.refs.push_back({"", 0, pos, uint16_t(kDirChunk)});
    }
    return d;
}

uint16_t narrow_id(uint32_t id)
{
    return id > 0xFFFF ? 0xFFFF : uint16_t(id);
}

}   // namespace

// ---------------------------------------------------------------------------
// Allocator
// ---------------------------------------------------------------------------
bool Alloc::run_free(int64_t first, int64_t n) const
{
    for (int64_t i = 0; i < n; i++)
        if (!free_[size_t(first + i)])
            return false;
    return true;
}

void Alloc::take(int64_t first, int64_t n, uint8_t v)
{
    for (int64_t i = 0; i < n; i++)
        free_[size_t(first + i)] = v;
}

// A whole free block; returns its first fragment.
uint32_t Alloc::block()
{
    const int64_t frag = s_.frag;
    for (int64_t b = bcur_; (b + 1) * frag <= s_.size; b++) {
        if (!run_free(b * frag, frag))
            continue;
        take(b * frag, frag, 0);
        bcur_ = b + 1;
        return uint32_t(b * frag);
    }
    throw Error("file system full (no free block); give it more cylinders");
}

// n < frag fragments, packed into the current partial block if they fit.
uint32_t Alloc::frags(uint32_t n)
{
    const int64_t frag = s_.frag;
    if (fblk_ >= 0) {
        for (int64_t start = 0; start + n <= frag; start++) {
            if (!run_free(fblk_ * frag + start, n))
                continue;
            take(fblk_ * frag + start, n, 0);
            return uint32_t(fblk_ * frag + start);
        }
    }
    const uint32_t f = block();
    fblk_ = f / frag;
    take(f + n, frag - n, 1);
    return f;
}

// ---------------------------------------------------------------------------
// Placing one inode
// ---------------------------------------------------------------------------

// The block addresses of one inode under construction.  Indirect blocks are
// made on first use and known by (height, first logical block they map).
struct Builder::Ptrs {
    struct Ind {
        int height;
        uint32_t frag;
        int64_t first_lbn;
        uint64_t ptr_off;
        std::vector<uint32_t> e;
    };
    std::array<uint32_t, kNDirect> db{};
    std::array<uint32_t, 3> ib{};
    std::map<std::pair<int, int64_t>, Ind> inds{};
    std::vector<std::pair<int, int64_t>> order{};   // allocation order
    int64_t frags_held = 0;
};

void Builder::init_free_map()
{
    for (int64_t c = 0; c < s_.ncg; c++) {
        const CgRange r = cg_range(s_, c);
        if (c > 0)
            for (int64_t f = r.base; f < r.lower_end; f++)
                alloc_.set_free(f);
        for (int64_t f = r.data_start; f < r.end; f++)
            alloc_.set_free(f);
    }
}

// Finds (making the indirect blocks on the way) the word that points at
// logical block lbn; returns it and its byte offset in the partition.
//
//   di_db[0..11]                                   lbn 0 .. 11
//   di_ib[0] -> [N data]                           lbn 12 ..
//   di_ib[1] -> [N x -> [N data]]                  lbn 12+N ..
//   di_ib[2] -> [N x -> [N x -> [N data]]]         lbn 12+N+N*N ..
std::pair<uint32_t*, uint64_t> Builder::slot_for(Ptrs& p, uint64_t inode_off, int64_t lbn)
{
    if (lbn < kNDirect)
        return {&p.db[size_t(lbn)], inode_off + ino_off::db + 4 * uint64_t(lbn)};
    const int64_t N = s_.nindir;
    int64_t l = lbn - kNDirect, span = N;
    int height = 1;
    while (l >= span) {
        l -= span;
        if (++height > 3)
            throw Error("file too large for triple indirection (logical block " + std::to_string(lbn) + ")");
        span *= N;
    }
    uint32_t* slot = &p.ib[size_t(height - 1)];
    uint64_t slot_off = inode_off + ino_off::ib + 4 * uint64_t(height - 1);
    int64_t first = lbn - l;
    for (int h = height; h >= 1; h--) {
        auto key = std::make_pair(h, first);
        auto it = p.inds.find(key);
        if (it == p.inds.end()) {
            Ptrs::Ind ind{h, alloc_.block(), first, slot_off, std::vector<uint32_t>(size_t(N), 0)};
            p.frags_held += s_.frag;
            p.order.push_back(key);
            it = p.inds.emplace(key, std::move(ind)).first;
        }
        *slot = it->second.frag;
        span /= N;
        const int64_t idx = l / span;
        l %= span;
        first += idx * span;
        slot = &it->second.e[size_t(idx)];
        slot_off = uint64_t(it->second.frag) * uint32_t(s_.fsize) + 4 * uint64_t(idx);
    }
    return {slot, slot_off};
}

// Allocates and writes the blocks of one inode, then the inode itself.
void Builder::place(Prep& p, InodeInfo& info)
{
    const uint64_t inode_off = img_.layout.inode_offset(p.node->ino);
    Ptrs ptrs;
    for (const auto& b : p.blocks) {
        auto [slot, ptr_off] = slot_for(ptrs, inode_off, b.lbn);
        const uint32_t f = b.nfrags == uint32_t(s_.frag) ? alloc_.block() : alloc_.frags(b.nfrags);
        *slot = f;
        ptrs.frags_held += b.nfrags;
        const uint64_t off = uint64_t(f) * uint32_t(s_.fsize);
        info.data.push_back({0, b.lbn, f, b.nfrags, b.nfrags * uint32_t(s_.fsize), off, ptr_off});
    }
    copy_content(p, info);
    for (const auto& key : ptrs.order) {
        const Ptrs::Ind& ind = ptrs.inds.at(key);
        const uint64_t off = uint64_t(ind.frag) * uint32_t(s_.fsize);
        uint8_t* p8 = at(off, size_t(s_.bsize));
        for (size_t i = 0; i < ind.e.size(); i++)
            put32be(p8 + 4 * i, ind.e[i]);
        info.indirect.push_back(
            {ind.height, ind.first_lbn, ind.frag, uint32_t(s_.frag), uint32_t(s_.bsize), off, ind.ptr_off});
    }
    write_inode(p, info, ptrs);
}

// Copies every content extent into the data blocks placed for it.
void Builder::copy_content(const Prep& p, const InodeInfo& info)
{
    if (p.fast_link)
        return;
    std::map<int64_t, const BlockRef*> by_lbn;
    for (const auto& r : info.data)
        by_lbn[r.lbn] = &r;
    const uint64_t bsize = uint64_t(s_.bsize);
    for (const auto& e : *p.data) {
        uint64_t pos = e.offset;
        const uint64_t end = e.offset + e.data.size();
        while (pos < end) {
            const uint64_t in = pos % bsize;
            const uint64_t n = std::min<uint64_t>(end - pos, bsize - in);
            const BlockRef* r = by_lbn.at(int64_t(pos / bsize));
            if (in + n > r->bytes)
                throw Error("internal: content beyond its block");
            std::memcpy(at(r->offset + in, n), e.data.data() + (pos - e.offset), n);
            pos += n;
        }
    }
}

// Owner and group words, as FsOptions::owners says.
void Builder::write_owner(uint8_t* d, const Node& n) const
{
    const OwnerFormat fmt = o_.wide_ids ? OwnerFormat::both : o_.owners;
    if (fmt == OwnerFormat::old16 && (n.uid > 0xFFFF || n.gid > 0xFFFF))
        throw Error("inode " + std::to_string(n.ino) +
                    ": owner or group above 65535 needs another owner format (FsOptions::owners, mksunimg --owners)");
    if (fmt != OwnerFormat::new32) {
        put16be(d + ino_off::uid, narrow_id(n.uid));
        put16be(d + ino_off::gid, narrow_id(n.gid));
    }
    if (fmt == OwnerFormat::new32 || o_.wide_ids) {
        put32be(d + ino_off::uid32, n.uid);
        put32be(d + ino_off::gid32, n.gid);
    } else if (fmt == OwnerFormat::both) {
        put32be(d + ino_off::uid_older, n.uid);
        put32be(d + ino_off::gid_older, n.gid);
    }
}

void Builder::write_inode(const Prep& p, const InodeInfo& info, const Ptrs& ptrs)
{
    const Node& n = *p.node;
    uint8_t* d = at(img_.layout.inode_offset(n.ino), ino_off::inode_size);
    std::memset(d, 0, ino_off::inode_size);
    const uint64_t size = n.raw_size ? *n.raw_size : p.size;
    put16be(d + ino_off::mode, n.mode);
    put16be(d + ino_off::nlink, uint16_t(info.nlink));
    write_owner(d, n);
    put32be(d + ino_off::size_hi, uint32_t(size >> 32));
    put32be(d + ino_off::size, uint32_t(size));
    put32be(d + ino_off::atime, uint32_t(n.atime));
    put32be(d + ino_off::mtime, uint32_t(n.mtime));
    put32be(d + ino_off::ctime, uint32_t(n.ctime));
    for (size_t i = 0; i < kNDirect; i++)
        put32be(d + ino_off::db + 4 * i, ptrs.db[i]);
    for (size_t i = 0; i < 3; i++)
        put32be(d + ino_off::ib + 4 * i, ptrs.ib[i]);
    const uint16_t type = n.mode & kIFMT;
    if (type == kIFCHR || type == kIFBLK)
        put32be(d + ino_off::db, n.rdev);
    if (p.fast_link && !n.data.empty())
        std::memcpy(d + ino_off::db, n.data[0].data.data(), n.data[0].data.size());
    put32be(d + ino_off::flags, uint32_t(n.flags));
    put32be(d + ino_off::blocks, uint32_t(ptrs.frags_held * s_.nspf));
    put32be(d + ino_off::gen, uint32_t(n.gen ? *n.gen : int32_t(n.ino * 2654435761u >> 4)));
}

FsImage Builder::run(int32_t part_ncyl)
{
    img_.layout.sb = s_;
    img_.layout.part_ncyl = part_ncyl;
    img_.bytes.assign(size_t(int64_t(part_ncyl) * s_.spc * 512), 0);
    if (img_.bytes.size() < uint64_t(s_.size) * uint32_t(s_.fsize))
        throw Error("internal: partition smaller than the fs");
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
    std::set<uint32_t> used_inos{0, 1};
    for (const auto& p : preps_)
        used_inos.insert(p.node->ino);
    std::vector<std::array<int32_t, 4>> cs;
    for (int64_t c = 0; c < s_.ncg; c++)
        cs.push_back(write_cg(c, used_inos));
    write_summary(cs);
    write_super_copies(encode_super());
    img_.layout.sb = s_;
    return std::move(img_);
}

// ---------------------------------------------------------------------------
// From the tree to a file system
// ---------------------------------------------------------------------------
namespace {

struct Prepared {
    std::vector<Prep> preps;
    std::set<uint32_t> dirs;
    uint32_t max_ino = 0;
};

// Directory bytes and link counts, independent of placement.
Prepared prepare(const std::map<uint32_t, Node>& nodes, const FsOptions& opt)
{
    Prepared out;
    std::map<uint32_t, int> dotdot;
    for (const auto& [ino, n] : nodes) {
        if ((n.mode & kIFMT) != kIFDIR)
            continue;
        out.dirs.insert(ino);
        dotdot[n.parent]++;
        for (const auto& e : n.entries)
            if (!e.raw && !nodes.count(e.ino))
                throw Error("entry '" + e.name + "' names a missing inode");
    }
    out.max_ino = nodes.rbegin()->first;
    out.preps.reserve(nodes.size());
    for (const auto& [ino, n] : nodes) {
        Prep p;
        p.node = &n;
        const uint16_t type = n.mode & kIFMT;
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
            p.fast_link = type == kIFLNK && opt.fast_symlinks && n.size < 60;
            p.nlink = int16_t(n.names);
        }
        if (n.nlink)
            p.nlink = *n.nlink;
        out.preps.push_back(std::move(p));
    }
    // (pointers taken only now that the vector no longer moves)
    for (auto& p : out.preps)
        p.data = p.owned.empty() ? &p.node->data : &p.owned;
    return out;
}

// Block plans of every inode; returns the blocks they need (fragment tails
// counted as whole blocks, indirect blocks included).
int64_t plan_all(const Super& s, std::vector<Prep>& preps)
{
    int64_t blocks = 0;
    for (auto& p : preps) {
        const uint16_t type = p.node->mode & kIFMT;
        const bool dense = type == kIFDIR || type == kIFLNK;
        p.blocks = p.fast_link ? std::vector<PlanBlock>{} : plan_blocks(s, p.size, *p.data, dense);
        blocks += int64_t(p.blocks.size()) + count_indirect(s, p.blocks);
    }
    return blocks;
}

Geo checked(Geo G)
{
    if (G.fit != Fit::ok)
        throw Error("cannot lay out the file system: " + G.why);
    return G;
}

// The smallest cylinder count whose groups hold the inodes, the data and
// the slack.  Whole free blocks are counted, so placing cannot run out.
std::pair<Geo, int32_t> auto_geo(const FsOptions& opt, const Geometry& g, std::vector<Prep>& preps, uint32_t max_ino)
{
    Geo probe = compute_geo(opt, g, std::max(opt.cpg, 1));
    if (probe.fit == Fit::bad_options)
        checked(probe);
    const int64_t blocks = plan_all(probe.sb, preps);
    const int64_t need_frags = (blocks + opt.min_free_blocks) * probe.sb.frag;
    const int64_t fpc = std::max<int64_t>(1, int64_t(g.nhead) * g.nsect / probe.sb.nspf);
    const int64_t groups_needed = max_ino / uint32_t(probe.sb.ipg) + 1;
    int64_t ncyl = std::max<int64_t>({1, need_frags / fpc, (groups_needed - 1) * opt.cpg + 1});
    for (; ncyl <= 65535; ncyl++) {
        Geo G = compute_geo(opt, g, int32_t(ncyl));
        if (G.fit == Fit::group_too_small || G.fit == Fit::last_group_too_small)
            continue;
        checked(G);
        if (int64_t(G.sb.ncg) * G.sb.ipg > max_ino && G.free_frags >= need_frags && G.free_blocks >= blocks)
            return {G, int32_t(ncyl)};
    }
    throw Error("content too large for a disk of 65535 cylinders");
}

// A fixed cylinder count; a last group too small to hold its own metadata
// is left out of the file system (but not out of the partition).
Geo fixed_geo(const FsOptions& opt, const Geometry& g, std::vector<Prep>& preps, uint32_t max_ino)
{
    Geo G = compute_geo(opt, g, opt.ncyl);
    if (G.fit == Fit::last_group_too_small && G.sb.ncg > 1)
        G = compute_geo(opt, g, (G.sb.ncg - 1) * opt.cpg);
    checked(G);
    if (int64_t(G.sb.ncg) * G.sb.ipg <= max_ino)
        throw Error("inode " + std::to_string(max_ino) + " does not fit: " + std::to_string(G.sb.ncg) + " groups of " +
                    std::to_string(G.sb.ipg) + " inodes");
    plan_all(G.sb, preps);
    return G;
}

}   // namespace

}   // namespace sunimg::detail

namespace sunimg {

FsImage Ufs::build(const Geometry& g) const
{
    detail::Prepared pr = detail::prepare(nodes_, opt_);
    if (opt_.ncyl > 0) {
        detail::Geo G = detail::fixed_geo(opt_, g, pr.preps, pr.max_ino);
        detail::Builder b(opt_, G.sb, pr.preps, pr.dirs);
        return b.run(opt_.ncyl);
    }
    auto [G, ncyl] = detail::auto_geo(opt_, g, pr.preps, pr.max_ino);
    detail::Builder b(opt_, G.sb, pr.preps, pr.dirs);
    return b.run(ncyl);
}

}   // namespace sunimg
