// Superblock copies.  Every cylinder group keeps a copy of the superblock;
// when the one at byte 8192 of a partition is lost, the first sound copy
// opens the file system (its free counts may be stale, but reading needs
// none of them).  Also the log state that a mount reports.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "fslib/bswap.h"
#include "fslib/fslib.h"
#include "fslib/internal.h"
#include "fslib/platform.h"
#include "fslib/rescue.h"

namespace {

// How far into a partition the search for a copy reaches: group 0's copy
// lies a few sectors in, the next groups' some megabytes further.
constexpr int64_t COPY_SEARCH_BYTES = int64_t{128} << 20;

// Largest group count, and largest fragment count the groups may cover,
// for which the copy arithmetic stays exact.
constexpr int64_t MOST_GROUPS = int64_t{1} << 22;
constexpr int64_t MOST_FRAGS = int64_t{1} << 34;

}  // namespace

bool fsl::groups_ok(const fs_super* sb)
{
    if (sb->fs_fpg <= 0 || sb->fs_ncg <= 0 || sb->fs_ncg > MOST_GROUPS)
        return false;
    if (sb->fs_cgoffset < 0 || sb->fs_cgoffset >= sb->fs_fpg)
        return false;
    if (sb->fs_sblkno < 0 || sb->fs_sblkno >= sb->fs_fpg || sb->fs_fsize <= 0)
        return false;
    return int64_t{sb->fs_fpg} * sb->fs_ncg <= MOST_FRAGS;
}

namespace {

// The first sound copy among the sectors of `buf` (`got` bytes read at
// device byte `at`) that lies where its geometry puts a copy of a file
// system starting at `start`; -1 when none does.  A found copy is left,
// converted, in `sb`.
// Sectors listed in `lost` could not be read: no copy is taken from them.
int64_t copy_in(const uint8_t* buf, uint32_t got, int64_t at, int64_t start, fs_super* sb, bool* swap,
                const fsl::sector_list& lost)
{
    for (uint32_t o = 0; o + sizeof(fs_super) <= got; o += SECTOR_SIZE) {
        int64_t here = at + o;
        if (here == start + SBOFF || !fsl::ufs_magic_at(buf + o + offsetof(fs_super, fs_magic)))
            continue;
        auto hit = std::lower_bound(lost.begin(), lost.end(), fsl::first_sector(here));
        if (hit != lost.end() && *hit < fsl::end_sector(here, sizeof(fs_super)))
            continue;
        std::memcpy(sb, buf + o, sizeof *sb);
        if (fsl::super_sound(sb, swap) && fsl::copy_group(sb, here - start) >= 0)
            return here;
    }
    return -1;
}

}  // namespace

namespace fsl {

int64_t copy_offset(const fs_super* sb, int64_t c)
{
    uint32_t turn = static_cast<uint32_t>(c) & ~static_cast<uint32_t>(sb->fs_cgmask);
    int64_t frags = int64_t{sb->fs_fpg} * c + int64_t{sb->fs_cgoffset} * turn + sb->fs_sblkno;
    return frags * sb->fs_fsize;
}

int64_t copy_group(const fs_super* sb, int64_t rel)
{
    if (!fsl::groups_ok(sb) || rel < 0 || rel % sb->fs_fsize != 0)
        return -1;
    int64_t near = rel / sb->fs_fsize / sb->fs_fpg;
    // A copy lies in its own group, past the group's start.
    for (int64_t c = near - 2; c <= near; c++) {
        if (c >= 0 && c < sb->fs_ncg && copy_offset(sb, c) == rel)
            return c;
    }
    return -1;
}

int super_copy(fsys* fs, int status, fs_rescue* used)
{
    int64_t start = fs->start;
    if (start < 0 || fs->sectors == 0)
        return status;
    int64_t end = start + (fs->sectors < uint64_t{COPY_SEARCH_BYTES} / SECTOR_SIZE ? static_cast<int64_t>(fs->sectors) * SECTOR_SIZE : COPY_SEARCH_BYTES);
    auto* buf = static_cast<uint8_t*>(std::aligned_alloc(PAGE, BIG_READ));
    int64_t found = -1;
    for (int64_t at = start; buf && found < 0 && at < end;) {
        uint32_t got = 0;
        sector_list lost;   // passed over: the search goes on past them
        int rc = dev_read(fs->handle, at, buf, BIG_READ, &got, &lost);
        if (rc != FSE_OK && lost.empty())
            break;
        got &= ~uint32_t{SECTOR_SIZE - 1};
        if (got <= sizeof(fs_super))
            break;
        found = copy_in(buf, got, at, start, fs->sb, &fs->swap, lost);
        at += got - sizeof(fs_super) + SECTOR_SIZE;   // a copy across the cut is seen whole next time
    }
    std::free(buf);
    if (found < 0)
        return status;
    *used = {status, static_cast<uint64_t>(found) / SECTOR_SIZE};
    return FSE_OK;
}

}  // namespace fsl

bool fs_log_unrolled(const fsys* fs)
{
    // The roll state keeps the word that the 4.4 format leaves 0, as stored.
    const auto* raw = reinterpret_cast<const uint8_t*>(fs->sb);
    return fs->sb->fs_clean == 0xFD && fsl::word_at(raw + offsetof(fs_super, fs_rlink), fs->swap) == 2;
}
