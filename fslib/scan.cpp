// The disk scan: one pass over the whole device in large reads that notes
// every Sun label and every sound UFS superblock, then works out which
// file systems those superblocks belong to.  A superblock is either a
// file system's primary (byte 8192 of it) or the copy of one of its
// cylinder groups; the start that explains the most of them is taken
// first, so that copies never pass for file systems of their own.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "fslib/bswap.h"
#include "fslib/fslib.h"
#include "fslib/internal.h"
#include "fslib/labels.h"
#include "fslib/platform.h"
#include "fslib/rescue.h"


namespace {

constexpr int MOST_SUPERS = 16384;          // superblocks one scan keeps
constexpr int GROUPS_TRIED = 4;             // leading copies a start may lack
constexpr int MOST_STARTS = MOST_SUPERS * (GROUPS_TRIED + 2);
constexpr uint32_t CARRY = sizeof(fs_super);  // a superblock across a cut is seen whole

// The numbers by which superblocks are judged to be of one file system.
struct geo {
    int32_t size, ncg, fpg, fsize, bsize, cgoffset, cgmask, sblkno;
    bool operator==(const geo&) const = default;
};

struct super_at {
    int64_t at;       // device byte
    geo g;
    int owner;        // index of the start that explains it; -1: none yet
};

// A possible start of a file system, with the geometry of the superblock
// that suggested it.
struct start_guess {
    int64_t at;
    int source;       // superblock index
    int score;        // superblocks it explains (last counted)
    bool primary;
};

struct scan_state {
    fs_handle h;
    unsigned left_out;  // finds and superblocks past what the tables hold
    scan_find* found;
    int nfound;
    super_at* supers;
    int nsupers;
    start_guess* starts;
    int nstarts;
    int64_t part_at[NDKMAP];   // partition starts (bytes) of a sound label in sector 0
    int nparts;
    int64_t bytes;    // size of the device
    fs_super sb;      // scratch
    uint64_t skipped; // sectors that could not be read
};

geo geo_of(const fs_super* sb)
{
    return {sb->fs_size, sb->fs_ncg, sb->fs_fpg, sb->fs_fsize, sb->fs_bsize, sb->fs_cgoffset, sb->fs_cgmask,
            sb->fs_sblkno};
}

// The scratch superblock made from `g`, enough for the copy arithmetic.
const fs_super* with_geo(scan_state* s, const geo& g)
{
    s->sb.fs_size = g.size;
    s->sb.fs_ncg = g.ncg;
    s->sb.fs_fpg = g.fpg;
    s->sb.fs_fsize = g.fsize;
    s->sb.fs_bsize = g.bsize;
    s->sb.fs_cgoffset = g.cgoffset;
    s->sb.fs_cgmask = g.cgmask;
    s->sb.fs_sblkno = g.sblkno;
    return &s->sb;
}

scan_find* add_find(scan_state* s, int kind, uint64_t sector)
{
    if (s->nfound >= SCAN_MOST) {
        s->left_out++;
        return nullptr;
    }
    scan_find* f = &s->found[s->nfound++];
    std::memset(f, 0, sizeof *f);
    f->kind = kind;
    f->sector = sector;
    return f;
}

// Notes a label in sector `sector` (512 bytes at `raw`), if there is one.
void note_label(scan_state* s, const uint8_t* raw, uint64_t sector)
{
    scan_find other[fsl::SECTOR_FINDS];
    int n = fsl::scan_sector(raw, sector, other);
    for (int i = 0; i < n; i++) {
        scan_find* f = add_find(s, other[i].kind, other[i].sector);
        if (f)
            *f = other[i];
    }
    bool magic = raw[508] == 0xDA && raw[509] == 0xBE;
    if (sector == 0) {
        scan_find* f = add_find(s, SCAN_LABEL, 0);
        if (f)
            f->status = !magic ? FSE_MAGIC : fsl::label_raw_ok(raw) ? FSE_OK : FSE_CHECKSUM;
        dk_label l;
        std::memcpy(&l, raw, sizeof l);
        if (magic && fsl::label_raw_ok(raw) && label_check(&l) == FSE_OK) {
            for (int p = 0; p < NDKMAP; p++) {
                if (l.dkl_map[p].dkl_nblk > 0 && fsl::part_start(&l, p) >= 0)
                    s->part_at[s->nparts++] = fsl::part_start(&l, p);
            }
        }
        return;
    }
    if (!magic || !fsl::label_raw_ok(raw))
        return;
    dk_label l;
    std::memcpy(&l, raw, sizeof l);
    label_check(&l);
    scan_find* f = add_find(s, SCAN_BACKUP, sector);
    if (f)
        f->placed = fsl::backup_placed(&l, sector);
}

// Notes a sound superblock at device byte `at` (8192 bytes at `raw`).
void note_super(scan_state* s, const uint8_t* raw, int64_t at)
{
    if (!fsl::ufs_magic_at(raw + offsetof(fs_super, fs_magic)))
        return;
    std::memcpy(&s->sb, raw, sizeof s->sb);
    if (!fsl::super_sound(&s->sb) || !fsl::groups_ok(&s->sb))
        return;
    if (s->nsupers >= MOST_SUPERS) {
        s->left_out++;
        return;
    }
    s->supers[s->nsupers++] = {at, geo_of(&s->sb), -1};
}

// Looks at the sectors of one read: `buf` holds `avail` bytes from device
// byte `base`, of which the last `fresh` are new.
// `lost` lists the sectors of the read that could not be read (zeros in
// `buf`): no record is taken from them.
void look(scan_state* s, const uint8_t* buf, uint32_t avail, uint32_t fresh, int64_t base,
          const fsl::sector_list& lost)
{
    auto touches = [&](int64_t at, uint32_t bytes) {
        auto it = std::lower_bound(lost.begin(), lost.end(), fsl::first_sector(at));
        return it != lost.end() && *it < fsl::end_sector(at, bytes);
    };
    for (uint32_t o = avail - fresh; o < avail; o += SECTOR_SIZE) {
        if (!touches(base + o, SECTOR_SIZE))
            note_label(s, buf + o, static_cast<uint64_t>(base + o) / SECTOR_SIZE);
    }
    for (uint32_t o = 0; o + CARRY < avail; o += SECTOR_SIZE) {
        if (!touches(base + o, CARRY))
            note_super(s, buf + o, base + o);
    }
}

// One pass over the device; false when a read failed before the end.
bool pass(scan_state* s, uint64_t total, void (*progress)(uint64_t, uint64_t))
{
    auto* buf = static_cast<uint8_t*>(std::aligned_alloc(fsl::PAGE, CARRY + fsl::BIG_READ));
    if (!buf) {
        fs_errno = FSE_NOMEM;
        return false;
    }
    uint32_t carry = 0;
    uint64_t pos = 0;
    int rc = FSE_OK;
    fsl::sector_list lost;   // of this read and the carried bytes before it
    while (total == 0 || pos < total) {
        uint32_t got = 0;
        fsl::sector_list failed;
        rc = fsl::dev_read(s->h, static_cast<int64_t>(pos), buf + carry, fsl::BIG_READ, &got, &failed);
        std::erase_if(lost, [&](uint64_t l) { return l < fsl::first_sector(static_cast<int64_t>(pos) - carry); });
        lost.insert(lost.end(), failed.begin(), failed.end());
        s->skipped += failed.size();
        got &= ~uint32_t{SECTOR_SIZE - 1};
        if (rc == FSE_READ && !failed.empty())
            rc = FSE_OK;   // the sectors that failed read as zeros: nothing is found in them
        if (rc != FSE_OK || got == 0)
            break;
        if (carry + got < CARRY) {   // a device shorter than a superblock
            pos += got;
            break;
        }
        look(s, buf, carry + got, got, static_cast<int64_t>(pos) - carry, lost);
        std::memmove(buf, buf + carry + got - CARRY, CARRY);
        carry = CARRY;
        pos += got;
        if (progress)
            progress(pos, total);
    }
    std::free(buf);
    fs_errno = rc == FSE_SEEK ? FSE_OK : rc;
    return rc == FSE_OK || rc == FSE_SEEK;
}

}  // namespace

namespace {

// Index of the superblock at device byte `at`, or -1.
int super_index(const scan_state* s, int64_t at)
{
    const super_at* end = s->supers + s->nsupers;
    const super_at* first = s->supers;
    const super_at* p = std::lower_bound(first, end, at, [](const super_at& x, int64_t v) { return x.at < v; });
    return p != end && p->at == at ? static_cast<int>(p - first) : -1;
}

// True when superblock `i` is free and of geometry `g`; marks it as
// explained by start `mark` when that is not -1.
bool take(scan_state* s, int i, const geo& g, int mark)
{
    if (i < 0 || s->supers[i].owner >= 0 || !(s->supers[i].g == g))
        return false;
    if (mark >= 0)
        s->supers[i].owner = mark;
    return true;
}

// Counts the free superblocks that start `k` explains, as its primary or
// as copies by its geometry; marks them when `mark`.
int explain(scan_state* s, int k, bool mark)
{
    start_guess* g = &s->starts[k];
    geo gg = s->supers[g->source].g;
    const fs_super* sb = with_geo(s, gg);
    int64_t last = s->supers[s->nsupers - 1].at;
    g->primary = take(s, super_index(s, g->at + SBOFF), gg, mark ? k : -1);
    int n = g->primary ? 1 : 0;
    for (int64_t c = 0; c < gg.ncg; c++) {
        int64_t at = g->at + fsl::copy_offset(sb, c);
        if (at > last)
            break;
        n += take(s, super_index(s, at), gg, mark ? k : -1) ? 1 : 0;
    }
    return n;
}

void add_start(scan_state* s, int64_t at, int source)
{
    if (at >= 0 && s->nstarts < MOST_STARTS)
        s->starts[s->nstarts++] = {at, source, 0, false};
}

// Every start that a superblock suggests: itself as a primary, or as the
// copy of one of the first groups (the ones before it may be lost), or of
// any group of a partition that the label names, where it lies as such a
// copy: on a staggered file system, copies of later groups fit a false
// start as well as the true one.
void make_starts(scan_state* s)
{
    for (int i = 0; i < s->nsupers; i++) {
        const super_at& p = s->supers[i];
        const fs_super* sb = with_geo(s, p.g);
        add_start(s, p.at - SBOFF, i);
        for (int c = 0; c < GROUPS_TRIED && c < p.g.ncg; c++)
            add_start(s, p.at - fsl::copy_offset(sb, c), i);
        for (int k = 0; k < s->nparts; k++) {
            if (fsl::copy_group(sb, p.at - s->part_at[k]) >= GROUPS_TRIED) {
                add_start(s, s->part_at[k], i);
                break;
            }
        }
    }
    for (int k = 0; k < s->nstarts; k++)
        s->starts[k].score = explain(s, k, false);
}

// Order of the starts: the one that explains the most first, then one
// with its primary, then the lowest.
struct better {
    const scan_state* s;
    bool operator()(int a, int b) const
    {
        const start_guess& x = s->starts[a];
        const start_guess& y = s->starts[b];
        if (x.score != y.score)
            return x.score < y.score;
        if (x.primary != y.primary)
            return !x.primary;
        return x.at > y.at;
    }
};

// Reports start `k`, whose superblocks are marked as its own.
void report_fs(scan_state* s, int k, int count)
{
    const start_guess& g = s->starts[k];
    const geo& gg = s->supers[g.source].g;
    scan_find* f = add_find(s, SCAN_FS, static_cast<uint64_t>(g.at) / SECTOR_SIZE);
    if (!f)
        return;
    f->primary = g.primary;
    f->copies = count - (g.primary ? 1 : 0);
    f->bsize = gg.bsize;
    f->fsize = gg.fsize;
    f->sectors = static_cast<uint64_t>(int64_t{gg.size} * gg.fsize / SECTOR_SIZE);
    for (int i = 0; i < s->nsupers; i++) {
        uint32_t got;
        if (s->supers[i].owner == k && fsl::dev_load(s->h, s->supers[i].at, &s->sb, sizeof s->sb, true, &got) == FSE_OK) {
            std::memcpy(f->fsmnt, s->sb.fs_fsmnt, sizeof f->fsmnt);
            return;
        }
    }
}

// True when the file system that start `k` gives lies within the device:
// a stray copy of a late group, taken for a primary alone, would run past
// the end.
bool fits(const scan_state* s, int k)
{
    const start_guess& g = s->starts[k];
    const geo& gg = s->supers[g.source].g;
    return s->bytes <= 0 || g.at + int64_t{gg.size} * gg.fsize <= s->bytes;
}

// Takes the starts in turn, best first.  A start's count only falls as
// others take its superblocks, so a start whose count still holds when it
// comes up is the best one left.
void find_systems(scan_state* s, int* heap)
{
    if (s->nsupers == 0)
        return;
    make_starts(s);
    int n = 0;
    for (int k = 0; k < s->nstarts; k++) {
        if (s->starts[k].score > 0)
            heap[n++] = k;
    }
    better order{s};
    std::make_heap(heap, heap + n, order);
    for (int64_t turns = 0; n > 0 && turns < int64_t{4} * MOST_STARTS; turns++) {
        std::pop_heap(heap, heap + n, order);
        int k = heap[--n];
        start_guess before = s->starts[k];
        int count = explain(s, k, false);
        if (count != before.score || s->starts[k].primary != before.primary) {
            s->starts[k].score = count;
            if (count > 0) {
                heap[n++] = k;
                std::push_heap(heap, heap + n, order);
            }
            continue;
        }
        if ((s->starts[k].primary && fits(s, k)) || count >= 2) {
            explain(s, k, true);
            report_fs(s, k, count);
        }
    }
}

void drop_state(scan_state* s)
{
    std::free(s->supers);
    std::free(s->starts);
    std::free(s);
}

}  // namespace

int disk_scan(const char* path, const fs_map* map, disk_note* note, scan_find* found,
              void (*progress)(uint64_t done, uint64_t total))
{
    auto* s = static_cast<scan_state*>(std::calloc(1, sizeof(scan_state)));
    int* heap = static_cast<int*>(std::malloc(sizeof(int) * MOST_STARTS));
    if (s) {
        s->supers = static_cast<super_at*>(std::malloc(sizeof(super_at) * MOST_SUPERS));
        s->starts = static_cast<start_guess*>(std::malloc(sizeof(start_guess) * MOST_STARTS));
    }
    if (!s || !heap || !s->supers || !s->starts) {
        std::free(heap);
        if (s)
            drop_state(s);
        fs_errno = FSE_NOMEM;
        return -1;
    }
    s->found = found;
    s->h = fsl::dev_open(path, map, note);
    s->bytes = s->h != FS_NOHANDLE ? fsl::dev_size(s->h) : 0;
    bool ok = s->h != FS_NOHANDLE && pass(s, static_cast<uint64_t>(s->bytes), progress);
    if (ok)
        find_systems(s, heap);
    std::stable_sort(found, found + s->nfound, [](const scan_find& a, const scan_find& b) {
        return a.sector != b.sector ? a.sector < b.sector : a.kind < b.kind;
    });
    note->skipped = s->skipped;
    int result = ok ? s->nfound : -1;
    note->left_out = s->left_out;
    if (s->h != FS_NOHANDLE)
        fsl::dev_close(s->h);
    std::free(heap);
    drop_state(s);
    return result;
}
