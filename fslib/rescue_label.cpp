// Backup labels and a chosen start.  When sector 0 holds no sound label,
// a copy that the system wrote near the end of the disk gives the
// partitions back; without one, a caller that knows where a file system
// starts can still open it.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "fslib/bswap.h"
#include "fslib/fslib.h"
#include "fslib/internal.h"
#include "fslib/platform.h"
#include "fslib/rescue.h"

namespace {

// How far back from the end the search for a backup label reaches: the
// last cylinder of the largest usual geometry several times over, and any
// tail that the label's own geometry leaves unused.
constexpr uint64_t BACKUP_SEARCH_SECTORS = (64u << 20) / SECTOR_SIZE;

// Sectors of the last track that hold the copies.
constexpr int BACKUP_SECTORS[] = {1, 3, 5, 7, 9};

// Looks through the sectors read into `buf` (`count` of them, the first at
// `first`) for a sound, well placed backup; puts it in `d` when found.
// Sectors listed in `lost` could not be read.
bool take_backup(disk* d, const uint8_t* buf, uint64_t first, uint64_t count, int status, const fsl::sector_list& lost)
{
    for (uint64_t i = 0; i < count; i++) {
        const uint8_t* raw = buf + i * SECTOR_SIZE;
        if (std::binary_search(lost.begin(), lost.end(), first + i) || !fsl::label_raw_ok(raw))
            continue;
        dk_label l;
        std::memcpy(&l, raw, sizeof l);
        if (label_check(&l) != FSE_OK || !fsl::backup_placed(&l, first + i))
            continue;
        std::memcpy(d->label, &l, sizeof l);
        d->label_from = {status, first + i};
        return true;
    }
    return false;
}

}  // namespace

namespace fsl {

bool label_raw_ok(const uint8_t* raw)
{
    if (raw[508] != 0xDA || raw[509] != 0xBE)
        return false;
    uint8_t sum[2] = {0, 0};
    for (int i = 0; i < DKL_CKSUM_AT; i++)
        sum[i & 1] ^= raw[i];
    return sum[0] == raw[510] && sum[1] == raw[511];
}

bool backup_placed(const dk_label* l, uint64_t sector)
{
    uint64_t nhead = l->dkl_nhead;
    uint64_t nsect = l->dkl_nsect;
    uint64_t cyls = uint64_t{l->dkl_ncyl} + l->dkl_acyl;
    if (nhead == 0 || nsect == 0 || cyls == 0)
        return false;
    // Copies lie on the last track; some older drives used head 2.
    const uint64_t heads[] = {nhead - 1, 2};
    for (uint64_t h : heads) {
        for (int s : BACKUP_SECTORS) {
            if (h < nhead && uint64_t(s) < nsect && ((cyls - 1) * nhead + h) * nsect + uint64_t(s) == sector)
                return true;
        }
    }
    return false;
}

bool forced_label(disk* d, const disk_choices* c)
{
    d->label_from = {FSE_OK, 0};
    if (!c->start_forced)
        return false;
    const uint64_t start_sector = c->start_sector;
    dk_label* l = d->label;
    std::memset(l, 0, sizeof *l);
    l->dkl_nhead = 1;
    l->dkl_nsect = 1;
    // A start past what the label can say lies past any disk it describes.
    if (start_sector > UINT32_MAX) {
        l->dkl_nhead = UINT16_MAX;
        l->dkl_nsect = UINT16_MAX;
    }
    l->dkl_map[0].dkl_cylno = static_cast<int32_t>(static_cast<uint32_t>(start_sector > UINT32_MAX ? UINT32_MAX : start_sector));
    uint64_t sectors = static_cast<uint64_t>(d->bytes) / SECTOR_SIZE;
    uint64_t left = sectors > start_sector ? sectors - start_sector : 1;
    l->dkl_map[0].dkl_nblk = left > INT32_MAX ? INT32_MAX : static_cast<int32_t>(left);
    l->dkl_magic = DKL_MAGIC;
    d->bare = true;
    fs_errno = FSE_OK;
    return true;
}

bool backup_label(disk* d, int status)
{
    uint64_t end = d->bytes > 0 ? static_cast<uint64_t>(d->bytes) / SECTOR_SIZE : 0;
    uint64_t first = end > BACKUP_SEARCH_SECTORS ? end - BACKUP_SEARCH_SECTORS : 1;
    auto* buf = static_cast<uint8_t*>(std::aligned_alloc(PAGE, BIG_READ));
    bool found = false;
    while (buf && !found && first < end) {
        uint64_t want = end - first < BIG_READ / SECTOR_SIZE ? end - first : BIG_READ / SECTOR_SIZE;
        uint32_t got = 0;
        sector_list lost;   // passed over: the search goes on past them
        int rc = dev_read(d->handle, static_cast<int64_t>(first * SECTOR_SIZE), buf,
                          static_cast<uint32_t>(want * SECTOR_SIZE), &got, &lost);
        if ((rc != FSE_OK && lost.empty()) || got < SECTOR_SIZE)
            break;
        found = take_backup(d, buf, first, got / SECTOR_SIZE, status, lost);
        first += got / SECTOR_SIZE;
    }
    std::free(buf);
    fs_errno = status;
    if (found)
        fs_errno = FSE_OK;
    return found;
}

}  // namespace fsl
