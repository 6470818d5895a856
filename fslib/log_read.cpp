// Reading the metadata log: the extent block, the header and its copy,
// and one pass over the sectors from the head, whose idents run on by one
// until the first that breaks the run.  Changes are kept per transaction
// and only a COMMIT makes them count; a transaction the crash cut short
// is dropped whole, as the system itself drops it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "fslib/bswap.h"
#include "fslib/fslib.h"
#include "fslib/internal.h"
#include "fslib/log.h"
#include "fslib/platform.h"

namespace {

using fsl::LOG_SECTOR;
using fsl::LOG_USABLE;

// A word of the log in the file system's byte order.
uint32_t word32(const uint8_t* p, bool big)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    return big ? fsl::bswap32(v) : v;
}

uint64_t word64(const uint8_t* p, bool big)
{
    uint64_t v;
    std::memcpy(&v, p, 8);
    return big ? fsl::bswap64(v) : v;
}

void refuse(fs_log* lg, const char* why)
{
    lg->state = FS_LOG_DAMAGED;
    std::snprintf(lg->why, sizeof lg->why, "%s", why);
}

// Device byte of a log address in the superblock or an extent: 512-byte
// blocks, or fragments on the multi-terabyte layout.
int64_t log_addr(const fsys* fs, const fs_log* lg, uint32_t bno)
{
    int64_t unit = fs->sb->fs_magic == fsl::FS_MAGIC_BIG ? fs->sb->fs_fsize : LOG_SECTOR;
    return lg->part_start + int64_t{bno} * unit;
}

// The extent block: checksum, type, a count that fits the block, extents
// that follow one another from the log's first block, a size within the
// largest log.  Null, or why it fails.
const char* read_extents(const fsys* fs, fs_log* lg, uint32_t logbno)
{
    auto bsize = static_cast<uint32_t>(fs->sb->fs_bsize);
    uint8_t* blk = static_cast<uint8_t*>(std::malloc(bsize));
    if (!blk)
        return "out of memory";
    uint32_t got;
    const char* why = nullptr;
    if (fsl::dev_load(fs->handle, log_addr(fs, lg, logbno), blk, bsize, true, &got) != FSE_OK) {
        std::free(blk);
        return "extent block unreadable";
    }
    uint32_t sum = 0;
    for (uint32_t off = 0; off < bsize; off += 4)
        sum += off == offsetof(fsl::log_extent_block, chksum) ? 0 : word32(blk + off, lg->big);
    uint32_t count = word32(blk + offsetof(fsl::log_extent_block, nextents), lg->big);
    auto room = static_cast<uint32_t>((bsize - sizeof(fsl::log_extent_block)) / sizeof(fsl::log_extent));
    if (sum != word32(blk + offsetof(fsl::log_extent_block, chksum), lg->big))
        why = "extent block checksum";
    else if (word32(blk, lg->big) != 0)
        why = "extent block type";
    else if (count == 0 || count > room)
        why = "extent count";
    uint64_t blocks = 0;
    for (uint32_t i = 0; !why && i < count; i++) {
        const uint8_t* e = blk + sizeof(fsl::log_extent_block) + i * sizeof(fsl::log_extent);
        fsl::log_extent x{word32(e, lg->big), word32(e + 4, lg->big), word32(e + 8, lg->big)};
        if (x.lbno != blocks || x.nbno == 0 || x.pbno == 0)
            why = "extents do not follow one another";
        blocks += x.nbno;
        if (!why && blocks * LOG_SECTOR > fsl::LOG_MOST)
            why = "log larger than 64 MiB";
        if (!why) {
            lg->extents.push_back(x);
            lg->extent_at.push_back(log_addr(fs, lg, x.pbno));
        }
    }
    lg->ext_nbytes = word32(blk + offsetof(fsl::log_extent_block, nbytes), lg->big);
    std::free(blk);
    return why;
}

uint64_t log_bytes(const fs_log* lg)
{
    const fsl::log_extent& last = lg->extents.back();
    return (uint64_t{last.lbno} + last.nbno) * LOG_SECTOR;
}

// Converts one header copy and checks it; null, or why it fails.
const char* header_check(const uint8_t* raw, const fs_log* lg, fsl::log_header* h)
{
    auto* w = reinterpret_cast<uint32_t*>(h);
    for (size_t i = 0; i < sizeof *h / 4; i++)
        w[i] = word32(raw + 4 * i, lg->big);
    auto size = static_cast<int64_t>(log_bytes(lg));
    auto inside = [&](int32_t lof) {
        return lof >= h->od_bol_lof && lof < h->od_eol_lof && lof % LOG_SECTOR < LOG_USABLE;
    };
    if (h->od_version != fsl::LOG_VERSION)
        return "log version";
    if (h->od_chksum != h->od_head_ident + h->od_tail_ident)
        return "header checksum";
    if (h->od_bol_lof < int32_t{2 * LOG_SECTOR} || h->od_bol_lof % LOG_SECTOR != 0 || h->od_eol_lof % LOG_SECTOR != 0
        || h->od_eol_lof <= h->od_bol_lof || h->od_eol_lof > size || !inside(h->od_head_lof)
        || !inside(h->od_tail_lof))
        return "header offsets";
    if (h->od_badlog != 0)
        return "log marked bad";
    return nullptr;
}

// The header, or its copy in the next block when the first fails.
const char* read_header(const fsys* fs, fs_log* lg)
{
    uint8_t two[2 * LOG_SECTOR];
    uint32_t got;
    bool whole = fsl::dev_load(fs->handle, lg->extent_at[0], two, sizeof two, false, &got) == FSE_OK;
    if (!whole)
        got = 0;
    const char* first = got >= LOG_SECTOR ? header_check(two, lg, &lg->head) : "log header unreadable";
    if (!first) {
        lg->head_ok = true;
        return nullptr;
    }
    if (lg->extents[0].nbno >= 2 && got == sizeof two && !header_check(two + LOG_SECTOR, lg, &lg->head)) {
        lg->head_ok = true;
        lg->head_copy = 1;
        return nullptr;
    }
    return first;
}

// One pass over the circular area from the head.  Sectors are read a
// window at a time; each is taken only when its ident runs on.
struct cursor {
    const fsys* fs;
    fs_log* lg;
    int64_t lof;              // next byte to take
    uint32_t ident;           // ident the next new sector must carry
    uint32_t most;            // sectors in the circular area: one pass
    int64_t held = -1;        // log byte of the sector taken last
    uint8_t* win;             // window of sectors read from the device
    int64_t win_lof = -1;     // log byte of its first sector
    uint32_t win_n = 0;       // sectors in it
    bool ended = false;       // the run of idents ended, or one pass is done
    const char* failed = nullptr;
};

constexpr uint32_t WINDOW = 128;   // sectors

// Reads a window of sectors from `lof` on, within one extent and the
// circular area; false when the device fails.
bool fill_window(cursor* c, int64_t lof)
{
    const fs_log* lg = c->lg;
    auto lb = static_cast<uint64_t>(lof) / LOG_SECTOR;
    for (size_t i = 0; i < lg->extents.size(); i++) {
        const fsl::log_extent& x = lg->extents[i];
        if (lb < x.lbno || lb >= uint64_t{x.lbno} + x.nbno)
            continue;
        uint64_t n = uint64_t{x.lbno} + x.nbno - lb;
        uint64_t to_end = static_cast<uint64_t>(lg->head.od_eol_lof - lof) / LOG_SECTOR;
        n = n < to_end ? n : to_end;
        n = n < WINDOW ? n : WINDOW;
        uint32_t got;
        int64_t at = lg->extent_at[i] + static_cast<int64_t>((lb - x.lbno) * LOG_SECTOR);
        auto bytes = static_cast<uint32_t>(n * LOG_SECTOR);
        if (fsl::dev_load(c->fs->handle, at, c->win, bytes, true, &got) != FSE_OK)
            return false;
        c->win_lof = lof;
        c->win_n = static_cast<uint32_t>(n);
        return true;
    }
    return false;
}

// Takes the sector holding c->lof when its ident runs on; false at the
// end of the run (or on failure).
bool take_sector(cursor* c)
{
    int64_t sec = c->lof - c->lof % LOG_SECTOR;
    if (sec == c->held)
        return true;
    if (c->lg->sectors >= c->most) {
        c->ended = true;
        return false;
    }
    if (c->win_lof < 0 || sec < c->win_lof || sec >= c->win_lof + int64_t{c->win_n} * LOG_SECTOR) {
        if (!fill_window(c, sec)) {
            c->failed = "log unreadable";
            return false;
        }
    }
    const uint8_t* s = c->win + (sec - c->win_lof);
    if (word32(s + LOG_USABLE + 4, c->lg->big) != c->ident) {
        c->ended = true;
        return false;
    }
    c->held = sec;
    c->lg->last_ident = c->ident++;
    c->lg->sectors++;
    return true;
}

// Copies `nb` bytes of the log from c->lof on to `dst` (null: passes
// over them), stepping over the trailers and from the end back to the
// beginning.  False when the run ended first.
bool take(cursor* c, uint8_t* dst, uint32_t nb)
{
    const fsl::log_header& h = c->lg->head;
    while (nb > 0) {
        if (c->lof >= h.od_eol_lof)
            c->lof = h.od_bol_lof;
        if (!take_sector(c))
            return false;
        auto in = static_cast<uint32_t>(c->lof % LOG_SECTOR);
        uint32_t n = LOG_USABLE - in < nb ? LOG_USABLE - in : nb;
        if (dst) {
            std::memcpy(dst, c->win + (c->lof - c->win_lof), n);
            dst += n;
        }
        nb -= n;
        c->lof += n;
        if (c->lof % LOG_SECTOR == LOG_USABLE)
            c->lof += fsl::LOG_TRAILER;
    }
    return true;
}

// A change of the transaction being read; a CANCEL is kept in its place
// among them, since it drops only what came before it.
struct pending {
    int64_t mof;
    uint32_t nb;
    uint32_t data;
    bool cancel;
};

// Makes the transaction's changes count, in their order.
bool commit(fs_log* lg, std::vector<pending>& tx, uint64_t* budget)
{
    for (const pending& p : tx) {
        if (p.cancel) {
            if (!fsl::log_cancel(lg, p.mof, p.nb, budget))
                return false;
            continue;
        }
        lg->changes.push_back({p.mof, p.nb, p.data, false});
        if (!fsl::log_keep(lg, static_cast<uint32_t>(lg->changes.size() - 1), budget))
            return false;
    }
    tx.clear();
    lg->transactions++;
    return true;
}

// Reads one change's header and what it carries; false at the end of the
// log or when the log is refused.
bool read_change(cursor* c, std::vector<pending>& tx, size_t* kept, uint64_t* budget)
{
    fs_log* lg = c->lg;
    uint8_t raw[sizeof(fsl::log_delta_head)];
    if (!take(c, raw, sizeof raw))
        return false;
    fsl::log_delta_head d{static_cast<int64_t>(word64(raw, lg->big)), static_cast<int32_t>(word32(raw + 8, lg->big)),
                          static_cast<int32_t>(word32(raw + 12, lg->big))};
    int64_t area = lg->head.od_eol_lof - lg->head.od_bol_lof;
    if (d.d_typ < fsl::DT_NONE || d.d_typ >= fsl::DT_MAX) {
        c->failed = "unknown change type";
        return false;
    }
    if (d.d_nb < 0 || d.d_nb >= area || d.d_mof < 0 || d.d_mof > INT64_MAX - d.d_nb) {
        c->failed = "a change runs past the log";
        return false;
    }
    auto nb = static_cast<uint32_t>(d.d_nb);
    switch (d.d_typ) {
    case fsl::DT_COMMIT:
        if (!commit(lg, tx, budget)) {
            c->failed = "too many changes";
            return false;
        }
        *kept = lg->payload.size();
        if (c->lof % LOG_SECTOR != 0)   // a commit fills the rest of its sector
            c->lof += LOG_SECTOR - c->lof % LOG_SECTOR;
        return true;
    case fsl::DT_CANCEL:
        tx.push_back({d.d_mof, nb, fsl::LOG_ZEROS, true});
        return true;
    case fsl::DT_ABZERO:
        tx.push_back({d.d_mof, nb, fsl::LOG_ZEROS, false});
        return true;
    case fsl::DT_NONE:
    case fsl::DT_BOT:
    case fsl::DT_EOT:
        return take(c, nullptr, nb);
    default:
        break;
    }
    size_t at = lg->payload.size();
    lg->payload.resize(at + nb);
    if (!take(c, lg->payload.data() + at, nb))
        return false;
    if (nb > 0)
        tx.push_back({d.d_mof, nb, static_cast<uint32_t>(at), false});
    return true;
}

void scan(const fsys* fs, fs_log* lg)
{
    const fsl::log_header& h = lg->head;
    auto* win = static_cast<uint8_t*>(std::malloc(WINDOW * LOG_SECTOR));
    if (!win) {
        refuse(lg, "out of memory");
        return;
    }
    cursor c{fs, lg, h.od_head_lof, h.od_head_ident, static_cast<uint32_t>((h.od_eol_lof - h.od_bol_lof) / LOG_SECTOR),
             -1, win};
    std::vector<pending> tx;
    size_t kept = 0;
    // Every kept change indexes at least one map block; changes as the
    // system writes them touch at most two.
    uint64_t budget = 2 * (uint64_t{c.most} * LOG_SECTOR / sizeof(fsl::log_delta_head)) + 64;
    while (read_change(&c, tx, &kept, &budget)) {
    }
    std::free(win);
    if (c.failed) {
        refuse(lg, c.failed);
        return;
    }
    lg->payload.resize(kept);   // what the cut-short transaction brought
    lg->state = lg->transactions > 0 ? FS_LOG_REPLAYED : FS_LOG_EMPTY;
}

void read_log(fsys* fs, fs_log* lg, uint32_t logbno)
{
    const char* why = read_extents(fs, lg, logbno);
    if (!why)
        why = read_header(fs, lg);
    if (why) {
        refuse(lg, why);
        return;
    }
    scan(fs, lg);
}

}  // namespace

namespace fsl {

void log_open(fsys* fs)
{
    // Both words are converted with the rest of the superblock.  The 4.4
    // format keeps its longest inline link (60) where the log's format
    // keeps a small version, and its inode format where the log's address
    // is: such a file system has no log of this kind.
    uint32_t version;
    uint32_t logbno;
    std::memcpy(&version, reinterpret_cast<const uint8_t*>(fs->sb) + SB_VERSION_AT, 4);
    std::memcpy(&logbno, reinterpret_cast<const uint8_t*>(fs->sb) + SB_LOGBNO_AT, 4);
    if (fs->sb->fs_clean != FS_CLEAN_LOG || logbno == 0 || version > 2 || !fs->cache)
        return;
    auto* lg = new (std::nothrow) fs_log;
    if (!lg)
        return;
    fs->cache->log = lg;
    lg->part_start = part_start(fs->label, fs->part);
    lg->big = true;   // the records follow the file system's own byte order, big-endian here
    if (lg->part_start < 0) {
        refuse(lg, "partition out of reach");
        return;
    }
    try {
        read_log(fs, lg, logbno);
    } catch (const std::bad_alloc&) {
        refuse(lg, "out of memory");
    }
    if (lg->state != FS_LOG_REPLAYED) {
        // Nothing of a refused log may be laid over a read.
        std::vector<log_change>().swap(lg->changes);
        std::vector<uint8_t>().swap(lg->payload);
        lg->blocks.clear();
        return;
    }
    log_super(fs);
}

void log_free(fs_log* lg) { delete lg; }

}  // namespace fsl
