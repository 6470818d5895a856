// Laying the log's committed changes over reads.  Changes are indexed by
// the 8192-byte map block they touch, in log order, so a read finds the
// few that concern it and applies them oldest first: the newest wins,
// byte by byte, as when the system rolls the log.
#include <cstdlib>
#include <cstring>

#include "fslib/fslib.h"
#include "fslib/internal.h"
#include "fslib/log.h"
#include "fslib/platform.h"
#include "fslib/rescue.h"

namespace {

int64_t block_of(int64_t mof) { return mof / fsl::LOG_MAPBLOCK; }

const fs_log* replayed(const fsys* fs)
{
    const fs_log* lg = fs->cache ? fs->cache->log : nullptr;
    return lg && lg->state == FS_LOG_REPLAYED ? lg : nullptr;
}

// Calls `use(change, from, to)` for every kept change that touches
// [a, a + count), clipped to it and to one map block at a time, in log
// order within each block.
template <typename Use>
void each_change(const fs_log* lg, int64_t a, uint32_t count, Use use)
{
    if (count == 0)
        return;
    int64_t end = a + count;
    for (int64_t b = block_of(a); b <= block_of(end - 1); b++) {
        auto it = lg->blocks.find(b);
        if (it == lg->blocks.end())
            continue;
        int64_t lo = b * fsl::LOG_MAPBLOCK > a ? b * fsl::LOG_MAPBLOCK : a;
        int64_t hi = (b + 1) * fsl::LOG_MAPBLOCK < end ? (b + 1) * fsl::LOG_MAPBLOCK : end;
        for (uint32_t i : it->second) {
            const fsl::log_change& ch = lg->changes[i];
            int64_t from = ch.mof > lo ? ch.mof : lo;
            int64_t to = ch.mof + ch.nb < hi ? ch.mof + ch.nb : hi;
            if (!ch.dropped && from < to)
                use(ch, from, to);
        }
    }
}

}  // namespace

namespace fsl {

bool log_keep(fs_log* lg, uint32_t i, uint64_t* budget)
{
    const log_change& ch = lg->changes[i];
    int64_t first = block_of(ch.mof);
    int64_t last = block_of(ch.mof + (ch.nb ? ch.nb - 1 : 0));
    auto n = static_cast<uint64_t>(last - first + 1);
    if (n > *budget)
        return false;
    *budget -= n;
    for (int64_t b = first; b <= last; b++)
        lg->blocks[b].push_back(i);
    return true;
}

bool log_cancel(fs_log* lg, int64_t mof, uint32_t nb, uint64_t* budget)
{
    if (nb == 0)
        return true;
    int64_t first = block_of(mof);
    int64_t last = block_of(mof + nb - 1);
    auto n = static_cast<uint64_t>(last - first + 1);
    if (n > *budget)
        return false;
    *budget -= n;
    for (int64_t b = first; b <= last; b++) {
        auto it = lg->blocks.find(b);
        if (it == lg->blocks.end())
            continue;
        for (uint32_t i : it->second) {
            log_change& ch = lg->changes[i];
            if (ch.mof >= mof && ch.mof + ch.nb <= mof + nb)
                ch.dropped = true;
        }
    }
    return true;
}

void log_overlay(const fsys* fs, int64_t at, void* buf, uint32_t count)
{
    const fs_log* lg = replayed(fs);
    if (!lg || at < lg->part_start)
        return;
    int64_t a = at - lg->part_start;
    auto* out = static_cast<uint8_t*>(buf);
    each_change(lg, a, count, [&](const log_change& ch, int64_t from, int64_t to) {
        auto n = static_cast<size_t>(to - from);
        if (ch.data == LOG_ZEROS)
            std::memset(out + (from - a), 0, n);
        else
            std::memcpy(out + (from - a), lg->payload.data() + ch.data + (from - ch.mof), n);
    });
}

bool log_touches(const fsys* fs, int64_t at, uint32_t count)
{
    const fs_log* lg = replayed(fs);
    if (!lg || at < lg->part_start)
        return false;
    bool hit = false;
    each_change(lg, at - lg->part_start, count, [&](const log_change&, int64_t, int64_t) { hit = true; });
    return hit;
}

void log_super(fsys* fs)
{
    // The system logs the summary counts and times it keeps in the
    // superblock; the layout itself never changes under a log, so a
    // superblock that would change it is not taken.
    auto* sb = static_cast<fs_super*>(std::malloc(sizeof(fs_super)));
    if (!sb)
        return;
    uint32_t got;
    int64_t at = fs->cache->log->part_start + SBOFF;
    if (!log_touches(fs, at, sizeof(fs_super)) || dev_load(fs->handle, at, sb, sizeof(fs_super), true, &got) != FSE_OK) {
        std::free(sb);
        return;
    }
    log_overlay(fs, at, sb, sizeof(fs_super));
    if (super_sound(sb) && std::memcmp(reinterpret_cast<uint8_t*>(sb) + offsetof(fs_super, fs_sblkno),
                                       reinterpret_cast<uint8_t*>(fs->sb) + offsetof(fs_super, fs_sblkno),
                                       offsetof(fs_super, fs_time) - offsetof(fs_super, fs_sblkno)) == 0
        && sb->fs_bsize == fs->sb->fs_bsize && sb->fs_fsize == fs->sb->fs_fsize && sb->fs_ipg == fs->sb->fs_ipg
        && sb->fs_fpg == fs->sb->fs_fpg && sb->fs_inopb == fs->sb->fs_inopb)
        std::memcpy(fs->sb, sb, sizeof(fs_super));
    std::free(sb);
}

}  // namespace fsl

int fs_log_state(const fsys* fs, uint32_t* transactions, const char** why)
{
    const fs_log* lg = fs->cache ? fs->cache->log : nullptr;
    if (!lg)
        return FS_LOG_NONE;
    if (transactions)
        *transactions = lg->transactions;
    if (why)
        *why = lg->why;
    return lg->state;
}
