// Logging file systems as a crashed machine leaves them: the disk holds an
// older state with the new files' data already in place, and the metadata
// log holds the changes that make the newer state.
//
// The log follows the system's own headers: an extent block (checksummed
// over the file system block) at fs_logbno, counted in 512-byte blocks;
// the log header and its copy in the log's first two sectors; then a
// circular area of 512-byte sectors each closed by {tid, ident}, the
// idents running on by one from the head.  Changes are a 16-byte header
// {mof, nb, type} and nb bytes, packed across sectors; a COMMIT fills the
// rest of its sector; CANCEL and ABZERO carry no bytes.
//
// The changes are found by comparing the images of successive states:
// every byte that differs outside regular files' data becomes part of a
// change, split at the 8192-byte map blocks as the system splits them,
// whole inodes for inodes; file data goes in place.
#include <algorithm>
#include <cstring>
#include <set>

#include "tools/sunimg.h"

namespace sunimg {

namespace {

constexpr uint32_t kLogSector = 512;
constexpr uint32_t kUsable = 504;
constexpr uint32_t kLogBytes = 1u << 20;     // the system's smallest log
constexpr uint32_t kStateBytes = 2 * kLogSector;
constexpr uint32_t kHeadIdent = 0x2f6a1c05;
constexpr uint32_t kMapBlock = 8192;

enum : int32_t { kDtSb = 1, kDtCg = 2, kDtAb = 4, kDtAbzero = 5, kDtDir = 6, kDtInode = 7, kDtCommit = 10, kDtCancel = 11 };

struct Delta {
    uint64_t mof = 0;
    int32_t type = 0;
    uint32_t nb = 0;
    std::vector<uint8_t> data{};   // empty for CANCEL and ABZERO
};

struct Tx {
    std::vector<Delta> deltas{};
    bool commit = true;
};

void put64be(uint8_t* p, uint64_t v)
{
    put32be(p, uint32_t(v >> 32));
    put32be(p + 4, uint32_t(v));
}

// Byte ranges [from, to) of a layout's blocks whose inodes pass `want`.
template <typename Want>
std::vector<std::pair<uint64_t, uint64_t>> blocks_of(const FsLayout& l, Want want, bool indirect)
{
    std::vector<std::pair<uint64_t, uint64_t>> out;
    for (const auto& [ino, info] : l.inodes) {
        if (!want(info.mode))
            continue;
        for (const BlockRef& b : indirect ? info.indirect : info.data)
            out.emplace_back(b.offset, b.offset + b.bytes);
    }
    return out;
}

bool inside(const std::vector<std::pair<uint64_t, uint64_t>>& ranges, uint64_t at)
{
    return std::any_of(ranges.begin(), ranges.end(), [&](const auto& r) { return at >= r.first && at < r.second; });
}

bool is_type(uint16_t mode, uint16_t type) { return (mode & kIFMT) == type; }

// Where the file system's bytes lie in the disk image, and its size.
struct Part {
    uint64_t at;
    uint64_t bytes;
};

Part part_of(const DiskImage& d) { return {d.partition_offset(0), uint64_t(d.layout(0).partition_bytes())}; }

// The changes from state `a` to state `b`, and b's file data copied onto `disk`.
std::vector<Delta> diff(const DiskImage& a, const DiskImage& b, DiskImage& disk)
{
    const FsLayout& l = b.layout(0);
    Part p = part_of(b);
    auto data = blocks_of(l, [](uint16_t m) { return is_type(m, kIFREG) || is_type(m, kIFLNK); }, false);
    auto dirs = blocks_of(l, [](uint16_t m) { return is_type(m, kIFDIR); }, false);
    auto indirect = blocks_of(l, [](uint16_t) { return true; }, true);
    std::set<uint64_t> inodes;
    for (const DiskImage* s : {&a, &b})
        for (const auto& [ino, info] : s->layout(0).inodes)
            inodes.insert(s->layout(0).inode_offset(ino));
    std::vector<uint8_t> x = a.image.read(p.at, p.bytes);
    std::vector<uint8_t> y = b.image.read(p.at, p.bytes);
    std::vector<Delta> out;
    uint64_t i = 0;
    while (i < p.bytes) {
        if (x[i] == y[i]) {
            i++;
            continue;
        }
        if (inside(data, i)) {
            disk.image.put8(p.at + i, y[i]);
            i++;
            continue;
        }
        uint64_t at = i & ~uint64_t{127};
        if (inodes.count(at)) {   // whole inodes, as the system logs them
            out.push_back({at, kDtInode, 128, {y.begin() + long(at), y.begin() + long(at + 128)}});
            i = at + 128;
            continue;
        }
        // A run of differing bytes, gaps under 32 bytes bridged, within one map block.
        uint64_t end = i + 1;
        uint64_t limit = (i / kMapBlock + 1) * kMapBlock;
        for (uint64_t j = end; j < limit && j < end + 32 && j < p.bytes; j++) {
            if (x[j] != y[j] && !inside(data, j) && !inodes.count(j & ~uint64_t{127}))
                end = j + 1;
        }
        int32_t type = i >= kSbOff && i < 2 * kSbOff ? kDtSb
                       : inside(dirs, i)             ? kDtDir
                       : inside(indirect, i)         ? kDtAb
                                                     : kDtCg;
        out.push_back({i, type, uint32_t(end - i), {y.begin() + long(i), y.begin() + long(end)}});
        i = end;
    }
    return out;
}

// The circular area, written from the head on.
struct Writer {
    std::vector<uint8_t>& log;   // logical bytes of the whole log
    uint64_t lof;
    uint32_t ident = kHeadIdent;
    uint32_t tid = 1;
    int64_t sector = -1;
    bool wrapped = false;
    std::vector<uint64_t> starts{};   // first sector of each transaction

    void touch()
    {
        auto s = int64_t(lof - lof % kLogSector);
        if (s == sector)
            return;
        sector = s;
        put32be(&log[size_t(s) + kUsable], tid);
        put32be(&log[size_t(s) + kUsable + 4], ident++);
    }
    void put(const uint8_t* p, size_t n)
    {
        while (n > 0) {
            if (lof >= kLogBytes) {
                lof = kStateBytes;
                wrapped = true;
            }
            touch();
            size_t k = std::min<size_t>(kUsable - lof % kLogSector, n);
            std::memcpy(&log[lof], p, k);
            p += k;
            n -= k;
            lof += k;
            if (lof % kLogSector == kUsable)
                lof += kLogSector - kUsable;
        }
    }
    void delta(const Delta& d)
    {
        uint8_t h[16];
        put64be(h, d.mof);
        put32be(h + 8, d.nb);
        put32be(h + 12, uint32_t(d.type));
        put(h, sizeof h);
        put(d.data.data(), d.data.size());
    }
    void transaction(const Tx& t)
    {
        if (lof >= kLogBytes)
            lof = kStateBytes;
        starts.push_back(lof - lof % kLogSector);
        for (const Delta& d : t.deltas)
            delta(d);
        if (t.commit) {
            delta({0, kDtCommit, 0, {}});
            if (lof % kLogSector != 0)
                lof += kLogSector - lof % kLogSector;
        }
        tid++;
    }
};

void put_header(std::vector<uint8_t>& log, uint32_t at, uint32_t head, uint32_t head_ident, uint32_t tail,
                uint32_t tail_ident)
{
    uint8_t* h = &log[at];
    const uint32_t words[] = {1, 0, 0, 1u << 20, kLogSector, kStateBytes, kLogBytes, kLogBytes, kStateBytes,
                              kLogBytes - kStateBytes, 0, 0, head, head_ident, tail, tail_ident, head_ident + tail_ident};
    for (size_t i = 0; i < std::size(words); i++)
        put32be(h + 4 * i, words[i]);
}

// A window of the partition, free in every state, for the extent block
// and the log: from the end down, in whole blocks.
uint64_t free_window(const std::vector<DiskImage>& states, uint64_t need, uint32_t bsize)
{
    Part p = part_of(states[0]);
    for (uint64_t at = (p.bytes - need) / bsize * bsize; at >= 16 * uint64_t{bsize}; at -= bsize) {
        bool clear = true;
        for (const DiskImage& s : states) {
            std::vector<uint8_t> w = s.image.read(p.at + at, need);
            clear = clear && std::all_of(w.begin(), w.end(), [](uint8_t v) { return v == 0; });
        }
        if (clear)
            return at;
    }
    throw Error("no room for the log");
}

struct Plan {
    std::vector<Ufs> states;
    size_t replayed = 0;   // index of the state a replay shows
};

Plan plan(const Ufs& base, LogShape shape)
{
    Plan pl{{base}, 1};
    Ufs one = base;
    const uint32_t bsize = uint32_t(base.options().bsize);
    if (shape == LogShape::abzero) {
        uint64_t lbn = kNDirect;   // first block the single indirect block maps
        one.add_sparse(one.root(), "logged", (lbn + 3) * bsize,
                       {{lbn * bsize, pattern(bsize, 7)}, {(lbn + 2) * bsize, pattern(100, 8)}});
    } else {
        one.add_file(one.root(), "logged", pattern(3 * bsize + 300, 5));
    }
    pl.states.push_back(one);
    if (shape == LogShape::broken_trailer) {
        Ufs two = one;
        two.add_file(two.root(), "logged2", pattern(5000, 6));
        pl.states.push_back(two);
    }
    if (shape == LogShape::empty)
        pl.states.erase(pl.states.begin());
    if (shape == LogShape::empty || shape == LogShape::no_commit || shape == LogShape::headers_bad)
        pl.replayed = 0;
    return pl;
}

}   // namespace

LogShape log_shape(std::string_view name)
{
    static const std::pair<const char*, LogShape> names[] = {
        {"empty", LogShape::empty},
        {"create", LogShape::create},
        {"no-commit", LogShape::no_commit},
        {"wrap", LogShape::wrap},
        {"cancel", LogShape::cancel},
        {"abzero", LogShape::abzero},
        {"broken-trailer", LogShape::broken_trailer},
        {"first-header-bad", LogShape::first_header_bad},
        {"headers-bad", LogShape::headers_bad},
    };
    for (const auto& [n, s] : names) {
        if (name == n)
            return s;
    }
    throw Error("unknown log shape: " + std::string(name));
}

LoggedDisk make_logged_disk(const Ufs& fs, LogShape shape, DiskOptions o)
{
    if (fs.options().owners == OwnerFormat::new32 || fs.options().wide_ids)
        throw Error("a logging file system keeps owners in the older format");
    Plan pl = plan(fs, shape);
    // One size for every state, with room for the log.
    int32_t ncyl = make_disk(pl.states.back(), 0, o).layout(0).sb.ncyl;
    const uint32_t cyl_bytes = uint32_t(o.geom.nhead) * o.geom.nsect * kLogSector;
    ncyl += int32_t((kLogBytes + 2 * kMapBlock) / cyl_bytes + 2);
    std::vector<DiskImage> imgs;
    for (Ufs& s : pl.states) {
        s.options().ncyl = ncyl;
        imgs.push_back(make_disk(s, 0, o));
    }
    const FsLayout& l = imgs.back().layout(0);
    const uint32_t logged = pl.states.back().lookup("/logged");
    const auto bsize = uint32_t(l.sb.bsize);
    const uint64_t window = free_window(imgs, bsize + kLogBytes, bsize);
    const auto logbno = uint32_t(window / kLogSector);
    const uint32_t half = kLogBytes / 2;
    // The log's second half lies first on the disk, so that reading it
    // needs both extents.
    const uint32_t ext0 = uint32_t((window + bsize + half) / kLogSector);
    const uint32_t ext1 = uint32_t((window + bsize) / kLogSector);
    for (DiskImage& d : imgs) {
        uint64_t sb = d.superblock_offset(0);
        d.image.put8(sb + 209, 0xFD);               // fs_clean: logging
        d.image.put32be(sb + 4, 2);                 // fs_rolled: changes not yet rolled
        d.image.put32be(sb + 1324, logbno);        // fs_logbno
    }

    LoggedDisk out{imgs.front(), imgs[pl.replayed], 0};
    {
        // The replayed state as a file system that no longer logs.
        uint64_t sb = out.replayed.superblock_offset(0);
        out.replayed.image.put8(sb + 209, fs.options().clean);
        out.replayed.image.put32be(sb + 4, 0);
        out.replayed.image.put32be(sb + 1324, 0);
    }
    std::vector<Tx> txs;
    for (size_t i = 0; i + 1 < imgs.size(); i++)
        txs.push_back({diff(imgs[i], imgs[i + 1], out.disk)});
    Part p = part_of(out.disk);
    if (shape == LogShape::cancel) {
        // An earlier transaction left a change over the block the new
        // file now holds; the block was freed, so the creating
        // transaction cancels it before the block takes file data.
        const BlockRef& first = l.inode(logged).data.at(0);
        txs.insert(txs.begin(), Tx{{{first.offset, kDtDir, bsize, pattern(bsize, 9)}}});
        txs[1].deltas.insert(txs[1].deltas.begin(), {first.offset, kDtCancel, bsize, {}});
    }
    if (shape == LogShape::abzero) {
        // The indirect block held stale bytes: the allocation zeroes it in
        // the log, and only its words in use are logged after that.
        const BlockRef& ind = l.inode(logged).indirect.at(0);
        out.disk.image.put(p.at + ind.offset, pattern(bsize, 11));
        txs[0].deltas.insert(txs[0].deltas.begin(), {ind.offset, kDtAbzero, bsize, {}});
    }
    if (shape == LogShape::no_commit)
        txs[0].commit = false;
    for (const Tx& t : txs)
        out.committed += t.commit ? 1 : 0;
    if (shape == LogShape::broken_trailer || shape == LogShape::headers_bad)
        out.committed = shape == LogShape::broken_trailer ? 1 : 0;

    std::vector<uint8_t> log(kLogBytes);
    uint32_t head = kStateBytes + 3 * kLogSector + 100;   // a head inside a sector
    if (shape == LogShape::wrap)
        head = kLogBytes - kLogSector + 400;   // 104 bytes before the end
    Writer w{log, head};
    for (const Tx& t : txs)
        w.transaction(t);
    if (shape == LogShape::wrap && !w.wrapped)
        throw Error("the transaction is too small to wrap");
    if (shape == LogShape::broken_trailer)
        put32be(&log[w.starts.at(1) + kUsable + 4], 0x5a5a5a5a);
    uint32_t tail = shape == LogShape::empty ? head : uint32_t(w.lof % kLogBytes);
    uint32_t tail_ident = shape == LogShape::empty ? kHeadIdent : w.ident;
    put_header(log, 0, head, kHeadIdent, tail, tail_ident);
    put_header(log, kLogSector, head, kHeadIdent, tail, tail_ident);
    if (shape == LogShape::first_header_bad || shape == LogShape::headers_bad)
        put32be(&log[64], get32be(&log[64]) + 1);
    if (shape == LogShape::headers_bad)
        put32be(&log[kLogSector + 64], 0);

    // The extent block, its checksum the sum of its words with itself as 0.
    std::vector<uint8_t> eb(bsize);
    const uint32_t ewords[] = {0, 0, 2, kLogBytes, 0, 0, ext0, half / kLogSector, half / kLogSector, ext1,
                               half / kLogSector};
    for (size_t i = 0; i < std::size(ewords); i++)
        put32be(&eb[4 * i], ewords[i]);
    uint32_t sum = 0;
    for (size_t i = 0; i < bsize; i += 4)
        sum += get32be(&eb[i]);
    put32be(&eb[4], sum);
    out.disk.image.put(p.at + window, eb);
    out.disk.image.put(uint64_t{ext0} * kLogSector + p.at, log.data(), half);
    out.disk.image.put(uint64_t{ext1} * kLogSector + p.at, log.data() + half, half);
    return out;
}

}   // namespace sunimg
