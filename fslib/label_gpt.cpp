// EFI (GPT) labels: the header at sector 1 and its backup in the last
// sector, each with a CRC32 of itself and of its entry array, and up to
// NSLOT entries.  All numbers are little-endian.
//
// Header:  0 "EFI PART"  12 size  16 CRC32  24 own sector  32 other header
//          72 first entry sector  80 entries  84 entry size  88 entries' CRC32
// Entry:   0 type GUID  16 unique GUID  32 first sector  40 last sector
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fslib/bswap.h"
#include "fslib/fslib.h"
#include "fslib/labels.h"
#include "fslib/platform.h"

namespace {

constexpr char GPT_SIGNATURE[8] = {'E', 'F', 'I', ' ', 'P', 'A', 'R', 'T'};
constexpr uint32_t HEADER_MIN = 92;
constexpr uint32_t ENTRY_MIN = 128;
constexpr uint32_t ENTRY_MOST = 4096;
constexpr uint32_t ARRAY_MOST = 1u << 20;   // bytes of entries read at most

// The Solaris types share the GUID's last three fields; the first names
// the type.  Bytes 4-15 as stored.
constexpr uint8_t SOLARIS_TAIL[12] = {0xD2, 0x1D, 0xB2, 0x11, 0x99, 0xA6, 0x08, 0x00, 0x20, 0x73, 0x66, 0x31};

struct solaris_type {
    uint32_t first;
    const char* name;
    bool special;   // refused by a plain mount
};
constexpr solaris_type SOLARIS_TYPES[] = {
    {0x6A82CB45, "boot", false},
    {0x6A85CF4D, "root", false},
    {0x6A87C46F, "swap", true},
    {0x6A898CC3, "usr", false},
    {0x6A8B642B, "backup", true},
    {0x6A8EF2E9, "var", false},
    {0x6A90BA39, "home", false},
    {0x6A9283A5, "alternate sectors", false},
    {0x6A945A3B, "reserved", true},
    {0x6A96237F, "reserved 1", true},
    {0x6A8D2AC7, "stand", false},
};

// The CRC32 of IEEE 802.3, as EFI uses it (reflected, all ones in and out).
uint32_t crc32(const uint8_t* p, size_t n)
{
    static const auto table = [] {
        struct t { uint32_t v[256]; } r{};
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t c = i;
            for (int k = 0; k < 8; k++)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            r.v[i] = c;
        }
        return r;
    }();
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; i++)
        c = table.v[(c ^ p[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

struct gpt_header {
    uint64_t entries_at;
    uint32_t count;
    uint32_t entry_size;
    uint32_t array_crc;
};

// Checks the header sector `raw` read at `sector`: FSE_OK with *h, or why not.
int header_check(const uint8_t* raw, uint64_t sector, gpt_header* h)
{
    if (std::memcmp(raw, GPT_SIGNATURE, sizeof GPT_SIGNATURE) != 0)
        return FSE_MAGIC;
    uint32_t size = fsl::le32_at(raw + 12);
    if (size < HEADER_MIN || size > SECTOR_SIZE)
        return FSE_CHECKSUM;
    uint8_t copy[SECTOR_SIZE];
    std::memcpy(copy, raw, size);
    std::memset(copy + 16, 0, 4);
    if (crc32(copy, size) != fsl::le32_at(raw + 16) || fsl::le64_at(raw + 24) != sector)
        return FSE_CHECKSUM;
    *h = {fsl::le64_at(raw + 72), fsl::le32_at(raw + 80), fsl::le32_at(raw + 84), fsl::le32_at(raw + 88)};
    if (h->entry_size < ENTRY_MIN || h->entry_size > ENTRY_MOST || h->entry_size % 8 != 0)
        return FSE_CHECKSUM;
    if (h->count == 0 || uint64_t{h->count} * h->entry_size > ARRAY_MOST)
        return FSE_CHECKSUM;
    return FSE_OK;
}

// The GUID's text in its usual form, its first three fields little-endian.
void guid_text(const uint8_t* g, char* out, size_t room)
{
    std::snprintf(out, room, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", fsl::le32_at(g), fsl::le16_at(g + 4),
                  fsl::le16_at(g + 6), g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
}

// Names the type GUID `g` into slot `s`.
void name_type(const uint8_t* g, disk_slot* s)
{
    if (std::memcmp(g + 4, SOLARIS_TAIL, sizeof SOLARIS_TAIL) == 0) {
        for (const solaris_type& t : SOLARIS_TYPES) {
            if (t.first == fsl::le32_at(g)) {
                std::snprintf(s->type, sizeof s->type, "%s", t.name);
                s->special = t.special;
                return;
            }
        }
    }
    guid_text(g, s->type, sizeof s->type);
}

bool used(const uint8_t* g)
{
    for (int i = 0; i < 16; i++) {
        if (g[i] != 0)
            return true;
    }
    return false;
}

// Reads the entry array of header `h` and fills the slots; false when it
// cannot be read or its CRC32 is wrong.
bool take_entries(disk* d, const gpt_header& h)
{
    uint32_t bytes = h.count * h.entry_size;
    uint32_t whole = sector_round(bytes);
    if (h.entries_at > uint64_t{INT64_MAX} / SECTOR_SIZE)
        return false;
    auto* buf = static_cast<uint8_t*>(std::malloc(whole));
    uint32_t got;
    bool ok = buf && fsl::dev_load(d->handle, static_cast<int64_t>(h.entries_at * SECTOR_SIZE), buf, whole, true, &got) == FSE_OK
        && crc32(buf, bytes) == h.array_crc;
    if (ok) {
        d->scheme = SCHEME_GPT;
        d->nslots = h.count < NSLOT ? static_cast<int>(h.count) : NSLOT;
        for (int i = 0; i < d->nslots; i++) {
            const uint8_t* e = buf + size_t(i) * h.entry_size;
            disk_slot& s = d->slots[i];
            s = disk_slot{};
            if (!used(e))
                continue;
            uint64_t first = fsl::le64_at(e + 32);
            uint64_t last = fsl::le64_at(e + 40);
            s.start = first;
            s.sectors = last >= first ? last - first + 1 : 0;
            name_type(e, &s);
        }
    }
    std::free(buf);
    return ok;
}

// Reads and checks the header in `sector`: FSE_OK with *h, or why not.
int header_at(const disk* d, uint64_t sector, gpt_header* h)
{
    uint8_t raw[SECTOR_SIZE];
    uint32_t got;
    if (sector > uint64_t{INT64_MAX} / SECTOR_SIZE
        || fsl::dev_load(d->handle, static_cast<int64_t>(sector * SECTOR_SIZE), raw, SECTOR_SIZE, true, &got) != FSE_OK)
        return FSE_READ;
    return header_check(raw, sector, h);
}

}  // namespace

namespace fsl {

bool gpt_header_sound(const uint8_t* raw, uint64_t sector, bool* backup)
{
    gpt_header h{};
    if (header_check(raw, sector, &h) != FSE_OK)
        return false;
    *backup = le64_at(raw + 32) < sector;   // the other header lies before it
    return true;
}

bool gpt_read(disk* d)
{
    gpt_header h{};
    int primary = header_at(d, 1, &h);
    if (primary == FSE_OK && take_entries(d, h))
        return true;
    if (primary == FSE_OK)
        primary = FSE_CHECKSUM;   // the header is sound, its entries are not
    uint64_t last = disk_sectors(d);
    if (last < 2 || header_at(d, last - 1, &h) != FSE_OK || !take_entries(d, h))
        return false;
    d->label_from = {primary, last - 1, true};
    return true;
}

}  // namespace fsl
