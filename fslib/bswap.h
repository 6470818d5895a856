// Byte-order helpers: the disk is big-endian, the host little-endian.
// Every record is converted in place once, right after it is read, with
// these helpers and nothing else.
#pragma once

#include <cstdint>
#include <cstring>

namespace fsl {

inline uint16_t bswap16(uint16_t v) { return __builtin_bswap16(v); }
inline uint32_t bswap32(uint32_t v) { return __builtin_bswap32(v); }
inline uint64_t bswap64(uint64_t v) { return __builtin_bswap64(v); }

// Converts one 16-, 32- or 64-bit field in place, whatever its signedness.
template <typename T>
inline void swap_field(T& v)
{
    static_assert(sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8);
    if constexpr (sizeof(T) == 8) {
        uint64_t u;
        std::memcpy(&u, &v, 8);
        u = bswap64(u);
        std::memcpy(&v, &u, 8);
    } else if constexpr (sizeof(T) == 2) {
        uint16_t u;
        std::memcpy(&u, &v, 2);
        u = bswap16(u);
        std::memcpy(&v, &u, 2);
    } else {
        uint32_t u;
        std::memcpy(&u, &v, 4);
        u = bswap32(u);
        std::memcpy(&v, &u, 4);
    }
}

// Reads a big-endian 32-bit word from a byte buffer (indirect entries stay
// in disk order and are converted one at a time as they are taken).
inline uint32_t be32_at(const uint8_t* p)
{
    uint32_t u;
    std::memcpy(&u, p, 4);
    return bswap32(u);
}

}  // namespace fsl
