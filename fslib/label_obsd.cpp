// OpenBSD's extension of the Sun label: eight more partitions (i-p) in the
// label's unused area, guarded by a magic word and an additive sum.
//
//   128  sum     32-bit big-endian sum of the words from 132 to the end
//   132  magic   0x199d1fea; 0x199d1feb when the types below follow
//   136  8 x {cylinder, sectors}
//   200  types of the 16 partitions; 216 fragment sizes; 232 groups
//   264  unique id (8 bytes), which later labels add to the sum
#include <cstring>

#include "fslib/bswap.h"
#include "fslib/labels.h"

namespace {

constexpr uint32_t XP_MAGIC = 0x199d1fea;
constexpr uint32_t XP_MAGIC_TYPES = XP_MAGIC + 1;
constexpr int XP_SUM_AT = 128;
constexpr int XP_MAGIC_AT = 132;
constexpr int XP_PARTS_AT = 136;
constexpr int XP_TYPES_AT = 200;    // the sum's end without types
constexpr int XP_UID_AT = 264;      // ... with types, before the id came
constexpr int XP_AFTER_UID = 272;   // ... with types and the id

// The sum of the big-endian words from the magic up to byte `end`.
uint32_t extension_sum(const uint8_t* raw, int end)
{
    uint32_t sum = 0;
    for (int at = XP_MAGIC_AT; at < end; at += 4)
        sum += fsl::be32_at(raw + at);   // wraps, as the writer's sum does
    return sum;
}

}  // namespace

namespace fsl {

bool obsd_slots(disk* d, const uint8_t* raw, uint64_t per_cyl)
{
    uint32_t magic = be32_at(raw + XP_MAGIC_AT);
    uint32_t sum = be32_at(raw + XP_SUM_AT);
    bool sound = (magic == XP_MAGIC && extension_sum(raw, XP_TYPES_AT) == sum)
        || (magic == XP_MAGIC_TYPES
            && (extension_sum(raw, XP_UID_AT) == sum || extension_sum(raw, XP_AFTER_UID) == sum));
    if (!sound)
        return false;
    for (int i = 0; i < NDKMAP; i++) {
        const uint8_t* p = raw + XP_PARTS_AT + 8 * i;
        disk_slot& s = d->slots[NDKMAP + i];
        s = disk_slot{};
        // (2^32 - 1) * (2^16 - 1)^2 fits 64 bits: exact.
        s.start = uint64_t{be32_at(p)} * per_cyl;
        s.sectors = be32_at(p + 4);
    }
    return true;
}

}  // namespace fsl
