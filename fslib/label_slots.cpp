// The slot table of a Sun-labelled disk, and the one test every slot of
// every label kind gets: whether it holds a volume manager's replica.
#include <cstring>

#include "fslib/bswap.h"
#include "fslib/fslib.h"
#include "fslib/internal.h"
#include "fslib/labels.h"
#include "fslib/platform.h"

namespace fsl {

void sun_slots(disk* d)
{
    const dk_label* l = d->label;
    d->scheme = SCHEME_SUN;
    d->nslots = NDKMAP;
    std::memset(d->slots, 0, sizeof(disk_slot) * NSLOT);
    for (int i = 0; i < NDKMAP; i++) {
        disk_slot& s = d->slots[i];
        s.start = part_start_sectors(l, i);
        s.sectors = static_cast<uint32_t>(l->dkl_map[i].dkl_nblk);
        s.special = i == 1 || i == 2;   // swap and the whole disk
    }
    if (d->bare)
        return;
    uint8_t raw[SECTOR_SIZE];
    std::memcpy(raw, l, sizeof raw);   // the extension's bytes were never converted
    if (obsd_slots(d, raw, uint64_t{l->dkl_nhead} * l->dkl_nsect))
        d->nslots = 2 * NDKMAP;
}

// True when a superblock at byte `sboff` of the partition at device byte
// `start` has `magic` in either byte order.
static bool magic_at(fs_handle h, int64_t start, int64_t sboff, uint32_t magic)
{
    uint8_t sector[SECTOR_SIZE];
    uint32_t got;
    constexpr int64_t at = offsetof(fs_super, fs_magic) & ~int64_t{SECTOR_SIZE - 1};
    if (start < 0 || start > INT64_MAX - sboff - at
        || dev_load(h, start + sboff + at, sector, SECTOR_SIZE, true, &got) != FSE_OK)
        return false;
    const uint8_t* word = sector + offsetof(fs_super, fs_magic) % SECTOR_SIZE;
    return be32_at(word) == magic || le32_at(word) == magic;
}

bool ufs_at(fs_handle h, int64_t start) { return magic_at(h, start, SBOFF, static_cast<uint32_t>(FS_MAGIC)); }

bool ufs2_at(fs_handle h, int64_t start)
{
    return magic_at(h, start, UFS2_SBOFF, UFS2_MAGIC) || magic_at(h, start, SBOFF, UFS2_MAGIC);
}

}  // namespace fsl

bool slot_replica(const disk* d, int part)
{
    if (part < 0 || part >= d->nslots || d->slots[part].sectors <= fsl::REPLICA_SECTOR)
        return false;
    uint64_t sector = d->slots[part].start + fsl::REPLICA_SECTOR;
    if (sector > uint64_t{INT64_MAX} / SECTOR_SIZE)
        return false;
    uint8_t raw[SECTOR_SIZE];
    uint32_t got;
    if (fsl::dev_load(d->handle, static_cast<int64_t>(sector * SECTOR_SIZE), raw, SECTOR_SIZE, true, &got) != FSE_OK)
        return false;
    return fsl::be32_at(raw) == fsl::REPLICA_MAGIC || fsl::le32_at(raw) == fsl::REPLICA_MAGIC;
}
