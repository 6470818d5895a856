// PC partition tables: the fdisk (MBR) table in sector 0, the Solaris x86
// label that a Solaris fdisk partition holds in its second sector, and an
// fdisk partition that holds UFS with no Solaris label around it.
//
// The x86 label is all little-endian:
//     12  v_sanity 0x600DDEEE     30  v_nparts
//     72  16 slices of 12 bytes: tag, flag (16 bits each), start, size
//         (starts counted from the fdisk partition's start)
//    328  label text (128 bytes)
//    508  magic 0xDABE            510  XOR checksum of the 16-bit words
#include <cstring>

#include "fslib/bswap.h"
#include "fslib/fslib.h"
#include "fslib/labels.h"
#include "fslib/platform.h"

namespace {

constexpr int MBR_SIG_AT = 510;
constexpr int MBR_TABLE_AT = 446;
constexpr int MBR_ENTRIES = 4;
constexpr uint8_t TYPE_SOLARIS = 0xBF;
constexpr uint8_t TYPE_SOLARIS_OLD = 0x82;   // also Linux swap: only with a sound label
constexpr uint8_t TYPE_GPT = 0xEE;

constexpr uint32_t VTOC_SANE = 0x600DDEEE;
constexpr int VTOC_SANITY_AT = 12;
constexpr int VTOC_NPARTS_AT = 30;
constexpr int VTOC_PARTS_AT = 72;
constexpr int VTOC_PART_SIZE = 12;
constexpr int VTOC_SLICES = 16;
constexpr int VTOC_TEXT_AT = 328;
constexpr int VTOC_TEXT_LEN = 128;
constexpr uint16_t TAG_SWAP = 3;
constexpr uint16_t TAG_BACKUP = 5;

struct fdisk_entry {
    uint8_t type;
    uint64_t start;
    uint64_t sectors;
};

fdisk_entry entry_at(const uint8_t* raw, int i)
{
    const uint8_t* p = raw + MBR_TABLE_AT + 16 * i;
    return {p[4], fsl::le32_at(p + 8), fsl::le32_at(p + 12)};
}

// True when the 512 bytes at `raw` are a sound x86 label.
bool vtoc_sound(const uint8_t* raw)
{
    if (fsl::le16_at(raw + 508) != DKL_MAGIC || fsl::le32_at(raw + VTOC_SANITY_AT) != VTOC_SANE)
        return false;
    uint16_t sum = 0;
    for (int i = 0; i < SECTOR_SIZE; i += 2)
        sum ^= fsl::le16_at(raw + i);   // the checksum word makes the whole 0
    return sum == 0;
}

// Reads the x86 label in the second sector of fdisk partition `e` into
// `raw`; true when it is sound.
bool read_vtoc(const disk* d, const fdisk_entry& e, uint8_t* raw)
{
    uint32_t got;
    int64_t at = static_cast<int64_t>((e.start + 1) * SECTOR_SIZE);
    return e.sectors > 1 && fsl::dev_load(d->handle, at, raw, SECTOR_SIZE, true, &got) == FSE_OK && vtoc_sound(raw);
}

// Fills the slots from a sound x86 label of the fdisk partition at `base`.
void vtoc_slots(disk* d, const uint8_t* raw, uint64_t base)
{
    d->scheme = SCHEME_X86;
    d->nslots = VTOC_SLICES;
    uint16_t nparts = fsl::le16_at(raw + VTOC_NPARTS_AT);
    for (int i = 0; i < VTOC_SLICES && i < nparts; i++) {
        const uint8_t* p = raw + VTOC_PARTS_AT + VTOC_PART_SIZE * i;
        uint16_t tag = fsl::le16_at(p);
        disk_slot& s = d->slots[i];
        s.start = base + fsl::le32_at(p + 4);
        s.sectors = fsl::le32_at(p + 8);
        s.special = tag == TAG_SWAP || tag == TAG_BACKUP || i == 1 || i == 2;
    }
    std::memcpy(d->name, raw + VTOC_TEXT_AT, VTOC_TEXT_LEN);
}

// Fills the slots from the fdisk table itself, when one of its
// partitions holds UFS.
bool ufs_slots(disk* d, const uint8_t* raw)
{
    bool any = false;
    for (int i = 0; i < MBR_ENTRIES; i++) {
        fdisk_entry e = entry_at(raw, i);
        if (e.type == 0 || e.sectors == 0)
            continue;
        d->slots[i] = disk_slot{e.start, e.sectors, false, {}};
        any = any || fsl::ufs_at(d->handle, static_cast<int64_t>(e.start * SECTOR_SIZE));
    }
    if (!any)
        return false;
    d->scheme = SCHEME_MBR;
    d->nslots = MBR_ENTRIES;
    return true;
}

}  // namespace

namespace fsl {

bool x86_label_sound(const uint8_t* raw) { return vtoc_sound(raw); }

int scan_sector(const uint8_t* raw, uint64_t sector, scan_find* out)
{
    int n = 0;
    auto add = [&](int kind, uint64_t at) -> scan_find& {
        scan_find& f = out[n++];
        std::memset(&f, 0, sizeof f);
        f.kind = kind;
        f.sector = at;
        return f;
    };
    bool backup = false;
    if (sector == 0 && raw[MBR_SIG_AT] == 0x55 && raw[MBR_SIG_AT + 1] == 0xAA) {
        for (int i = 0; i < MBR_ENTRIES; i++) {
            fdisk_entry e = entry_at(raw, i);
            if (e.type == 0 || e.sectors == 0)
                continue;
            scan_find& f = add(SCAN_FDISK, e.start);
            f.number = i;
            f.type = e.type;
        }
    } else if (vtoc_sound(raw)) {
        add(SCAN_X86, sector);
    } else if (gpt_header_sound(raw, sector, &backup)) {
        add(backup ? SCAN_GPT_BACKUP : SCAN_GPT, sector);
    } else if (sector >= REPLICA_SECTOR && (be32_at(raw) == REPLICA_MAGIC || le32_at(raw) == REPLICA_MAGIC)) {
        add(SCAN_REPLICA, sector - REPLICA_SECTOR);
    }
    return n;
}

bool pc_label(disk* d, const uint8_t* raw)
{
    if (raw[MBR_SIG_AT] != 0x55 || raw[MBR_SIG_AT + 1] != 0xAA)
        return false;
    std::memset(d->slots, 0, sizeof(disk_slot) * NSLOT);
    for (int i = 0; i < MBR_ENTRIES; i++) {
        if (entry_at(raw, i).type == TYPE_GPT)
            return gpt_read(d);
    }
    uint8_t vtoc[SECTOR_SIZE];
    for (int i = 0; i < MBR_ENTRIES; i++) {
        fdisk_entry e = entry_at(raw, i);
        if ((e.type == TYPE_SOLARIS || e.type == TYPE_SOLARIS_OLD) && read_vtoc(d, e, vtoc)) {
            vtoc_slots(d, vtoc, e.start);
            return true;
        }
    }
    return ufs_slots(d, raw);
}

}  // namespace fsl
