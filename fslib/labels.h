// Readers of the label kinds besides the Sun label: each fills a disk's
// slot table.  Shared by the library's own files; not part of the public
// face.
#pragma once

#include <cstdint>

#include "fslib/fslib.h"

namespace fsl {

// Fills d->slots from the Sun label in d->label (host order), with
// OpenBSD's slots 8-15 when the label carries them; a bare or chosen
// start gives slot 0 only.
void sun_slots(disk* d);

// True when OpenBSD's extension in the label sector `raw` (as stored) is
// sound; then slots 8-15 of `d` are filled from it, by the label's
// cylinder size `per_cyl`.
bool obsd_slots(disk* d, const uint8_t* raw, uint64_t per_cyl);

// Looks at the PC partition table in sector 0 (`raw`, as stored): a GPT
// behind a protective entry, a Solaris x86 label in an fdisk partition,
// or an fdisk partition holding UFS.  True when the disk's slots are
// filled from one of them.
bool pc_label(disk* d, const uint8_t* raw);

// The GPT of `d`, whose sector 0 is a protective MBR: true when its
// primary header, or else its backup (said in d->label_from), is sound
// and the slots are filled from its entries.
bool gpt_read(disk* d);

// True when the partition at device byte `start` holds a UFS file system
// in either byte order.
bool ufs_at(fs_handle h, int64_t start);

// UFS2 keeps this magic where UFS1 keeps its own, in a superblock at byte
// 65536 (or 8192) of the partition.
inline constexpr uint32_t UFS2_MAGIC = 0x19540119;
inline constexpr int64_t UFS2_SBOFF = 65536;

// True when the partition at device byte `start` holds UFS2.
bool ufs2_at(fs_handle h, int64_t start);

// The device's sectors, 0 when its size is unknown.
inline uint64_t disk_sectors(const disk* d) { return d->bytes > 0 ? static_cast<uint64_t>(d->bytes) / SECTOR_SIZE : 0; }

// The most finds one sector gives besides a Sun label.
inline constexpr int SECTOR_FINDS = 6;

// What sector `sector` (512 bytes at `raw`) holds for the scan besides a
// Sun label: GPT headers, Solaris x86 labels, replicas, and from sector 0
// the fdisk partitions.  Fills `out` and returns how many.
int scan_sector(const uint8_t* raw, uint64_t sector, scan_find* out);

// True when `raw` is a sound GPT header in `sector`; *backup says whether
// it names itself the backup.
bool gpt_header_sound(const uint8_t* raw, uint64_t sector, bool* backup);

// True when `raw` is a sound Solaris x86 label.
bool x86_label_sound(const uint8_t* raw);

// The word that opens a volume manager's master block.
inline constexpr uint32_t REPLICA_MAGIC = 0x6d646d62;
inline constexpr uint64_t REPLICA_SECTOR = SBOFF / SECTOR_SIZE;

}  // namespace fsl
