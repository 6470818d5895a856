// Where a file's bytes lie: the address rule from fragment to device
// offset, the length of each logical block, the block map from logical
// block to fragment address, and the step over one directory record.
//
// Where logical block lbn lives (n = entries per indirect block):
//
//   lbn < 12                      di_db[lbn]
//   12 <= lbn < 12 + n            single:  di_ib[0] -> entry
//   next n*n blocks               double:  di_ib[1] -> single -> entry
//   next n*n*n blocks             triple:  di_ib[2] -> double -> single -> entry
//
// A zero address at any level is a hole: every block under it reads as
// zeros.
#include <cstdlib>
#include <cstring>

#include "fslib/bswap.h"
#include "fslib/fslib.h"
#include "fslib/internal.h"
#include "fslib/log.h"
#include "fslib/platform.h"

namespace fsl {

int64_t frag_offset(const fsys* fs, int64_t frag, int64_t within)
{
    int64_t start = fs->start;
    int64_t fsize = fs->sb->fs_fsize;   // 512 << fs_fsbtodb, checked at mount
    if (start < 0 || frag < 0 || within < 0)
        return -1;
    int64_t bytes;
    if (__builtin_mul_overflow(frag, fsize, &bytes) || __builtin_add_overflow(bytes, start, &bytes)
        || __builtin_add_overflow(bytes, within, &bytes))
        return -1;
    return bytes;
}

int frag_load(const fsys* fs, int64_t frag, void* buf, uint32_t count, bool exact, uint32_t* got)
{
    int64_t at = frag_offset(fs, frag);
    int rc = dev_load(fs->handle, at, buf, count, exact, got);
    if (rc == FSE_OK)
        log_overlay(fs, at, buf, *got);
    return rc;
}

int64_t block_count(const fs_super* sb, int64_t size, int64_t lbn, int64_t pos)
{
    int64_t count = sb->fs_bsize;
    if (lbn < NDADDR && size < (lbn + 1) << sb->fs_bshift) {
        // the file's bytes in this block, rounded up to whole fragments
        int64_t tail = size & (sb->fs_bsize - 1);
        count = (tail + sb->fs_fsize - 1) & sb->fs_fmask;
    }
    int64_t left = size - pos;
    if (count >= left)
        count = left;
    return count < 0 ? 0 : count;   // never a negative length towards a read
}

int64_t max_file_size(const fs_super* sb)
{
    int64_t n = nindir(sb);
    return (NDADDR + n + n * n + n * n * n) * sb->fs_bsize;
}

block_map* map_new(const fsys* fs)
{
    auto* m = static_cast<block_map*>(std::calloc(1, sizeof(block_map)));
    if (!m)
        return nullptr;
    m->fs = fs;   // the buffers come with the first indirect block of their level
    return m;
}

void map_free(block_map* m)
{
    if (!m)
        return;
    for (uint8_t* b : m->buf)
        std::free(b);
    std::free(m);
}

namespace {

// True when entry `k` of the block held in `slot` lay in a lost sector.
bool entry_lost(const block_map* m, int slot, uint64_t k)
{
    return (m->lost[slot] >> (k * sizeof(uint32_t) / SECTOR_SIZE)) & 1;
}

// The indirect block at `addr` in the map's slot `slot`, read unless held.
int hold(block_map* m, int slot, uint32_t addr)
{
    if (m->held[slot] && m->key[slot] == addr)
        return FSE_OK;
    if (m->bad_status[slot] != FSE_OK && m->bad_key[slot] == addr)
        return m->bad_status[slot];
    uint32_t got;
    m->held[slot] = false;
    if (!m->buf[slot])
        m->buf[slot] = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(m->fs->sb->fs_bsize)));
    if (!m->buf[slot])
        return FSE_NOMEM;
    auto bsize = static_cast<uint32_t>(m->fs->sb->fs_bsize);
    int64_t offset = frag_offset(m->fs, addr);
    sector_list failed;
    int rc = dev_read(m->fs->handle, offset, m->buf[slot], bsize, &got, &failed);
    if (rc == FSE_OK && got != bsize)
        rc = FSE_READ;
    m->lost[slot] = 0;
    if ((rc == FSE_OK || !failed.empty()) && got == bsize)
        log_overlay(m->fs, offset, m->buf[slot], got);
    if (rc == FSE_READ && !failed.empty() && got == bsize) {
        // The pointers in the sectors that could be read are kept; only
        // the blocks the lost ones map are lost.
        for (uint64_t s : failed)
            m->lost[slot] |= uint32_t{1} << (s - first_sector(offset));
        rc = FSE_OK;
    }
    if (rc != FSE_OK) {
        m->bad_key[slot] = addr;
        m->bad_status[slot] = rc;
        return rc;
    }
    m->key[slot] = addr;
    m->held[slot] = true;
    return FSE_OK;
}

// Walks down `depth` levels from the indirect block at `addr` to entry
// `idx` of the blocks it spans.
int walk(block_map* m, uint32_t addr, int depth, uint64_t idx, uint32_t* out)
{
    uint64_t n = nindir(m->fs->sb);
    uint64_t span = 1;
    for (int d = 1; d < depth; ++d)
        span *= n;
    for (int d = depth; d >= 1; --d) {
        if (addr == 0)
            break;   // a hole covers every block below it
        int rc = hold(m, d - 1, addr);
        if (rc != FSE_OK)
            return rc;
        if (entry_lost(m, d - 1, idx / span))
            return FSE_READ;
        addr = word_at(m->buf[d - 1] + 4 * (idx / span), m->fs->swap);
        idx %= span;
        span /= n;
    }
    *out = addr;
    return FSE_OK;
}

// Blocks from entry `idx` on, of the `span` blocks under the pointer
// `addr` that lies `depth` levels above the data, known to be a hole.  A
// zero address covers the rest of what it spans, and so do the zero
// entries that follow it in the same indirect block.  0 when block `idx`
// has data or an indirect block on the way cannot be read.
uint64_t hole_below(block_map* m, uint32_t addr, int depth, uint64_t idx, uint64_t span)
{
    uint64_t n = nindir(m->fs->sb);
    for (int d = depth; d >= 1; --d) {
        if (addr == 0)
            return span - idx;
        if (hold(m, d - 1, addr) != FSE_OK)
            return 0;
        uint64_t sub = span / n;   // blocks under each entry of this block
        uint64_t first = idx / sub;
        uint64_t k = first;
        // A lost pointer reads as zero, but it is no hole.
        while (k < n && !entry_lost(m, d - 1, k) && word_at(m->buf[d - 1] + 4 * k, false) == 0)   // zero either way
            ++k;
        if (k == first && entry_lost(m, d - 1, first))
            return 0;
        if (k > first)
            return (k - first) * sub - idx % sub;
        addr = word_at(m->buf[d - 1] + 4 * first, m->fs->swap);
        idx %= sub;
        span = sub;
    }
    return 0;   // a data block's address, not zero
}

// Which indirect tree holds logical block `lbn` (past the direct blocks):
// its level (0 single, 1 double, 2 triple), the block's index inside it
// and the blocks it spans; false past what the map reaches.
bool locate(const block_map* m, uint64_t lbn, int* level, uint64_t* idx, uint64_t* span)
{
    uint64_t n = nindir(m->fs->sb);
    *idx = lbn - NDADDR;
    *span = n;
    for (*level = 0; *level < NIADDR; ++*level) {
        if (*idx < *span)
            return true;
        *idx -= *span;
        *span *= n;
    }
    return false;   // the size check keeps callers out
}

}  // namespace

uint64_t map_hole(block_map* m, const dinode* ip, uint64_t lbn)
{
    if (lbn < NDADDR) {
        uint64_t k = lbn;
        while (k < NDADDR && ip->di_db[k] == 0)
            ++k;
        return k - lbn;
    }
    int level;
    uint64_t idx;
    uint64_t span;
    if (!locate(m, lbn, &level, &idx, &span))
        return 0;
    return hole_below(m, ip->di_ib[level], level + 1, idx, span);
}

int map_block(block_map* m, const dinode* ip, uint64_t lbn, uint32_t* addr)
{
    *addr = 0;
    if (lbn < NDADDR) {
        *addr = ip->di_db[lbn];
        return FSE_OK;
    }
    int level;
    uint64_t idx;
    uint64_t span;
    if (!locate(m, lbn, &level, &idx, &span))
        return FSE_OK;
    return walk(m, ip->di_ib[level], level + 1, idx, addr);
}

rec_verdict record_step(uint8_t* p, uint32_t avail, bool final, bool swap)
{
    if (avail < DIRHDR)
        return rec_verdict::broken;
    auto* rec = reinterpret_cast<direct*>(p);
    if (swap) {
        swap_field(rec->d_ino);
        swap_field(rec->d_reclen);
        swap_field(rec->d_namlen);
    }
    uint32_t len = rec->d_reclen;
    const char* name = reinterpret_cast<const char*>(p) + DIRHDR;
    if (len >= DIRHDR + 4 && len % 4 == 0 && len <= avail) {
        // an empty record's name is never looked at
        if (rec->d_ino == 0 || std::memchr(name, '\0', len - DIRHDR) != nullptr)
            return rec_verdict::next;
        return rec_verdict::broken;
    }
    // The last record of a directory may claim more than the directory
    // holds (real disks write a 24-byte directory whose ".." says 500):
    // what lies inside is sound, and nothing follows it.
    if (final && len > avail) {
        if (rec->d_ino == 0 || std::memchr(name, '\0', avail - DIRHDR) != nullptr)
            return rec_verdict::last;
    }
    return rec_verdict::broken;
}

}  // namespace fsl
