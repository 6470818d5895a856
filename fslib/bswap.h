// Byte-order helpers.  Sun labels and SPARC file systems are big-endian;
// x86 labels, partition tables and file systems written on x86 are
// little-endian.  A file system's order is chosen once, when it is
// mounted, from its superblock magic: the record converters take that
// choice as a flag (`swap`: the records' order is not the host's) and test
// it once per record, never per field.  Every record is converted in place
// once, right after it is read, with these helpers and nothing else.
#pragma once

#include <bit>
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
    return std::endian::native == std::endian::little ? bswap32(u) : u;
}

// Little-endian words from a byte buffer (partition tables, x86 labels).
inline uint16_t le16_at(const uint8_t* p)
{
    uint16_t u;
    std::memcpy(&u, p, 2);
    return std::endian::native == std::endian::little ? u : bswap16(u);
}
inline uint32_t le32_at(const uint8_t* p)
{
    uint32_t u;
    std::memcpy(&u, p, 4);
    return std::endian::native == std::endian::little ? u : bswap32(u);
}
inline uint64_t le64_at(const uint8_t* p)
{
    uint64_t u;
    std::memcpy(&u, p, 8);
    return std::endian::native == std::endian::little ? u : bswap64(u);
}

// A 32-bit word of a mounted file system's record, by its `swap` flag.
inline uint32_t word_at(const uint8_t* p, bool swap)
{
    uint32_t u;
    std::memcpy(&u, p, 4);
    return swap ? bswap32(u) : u;
}

// The `swap` flag of records stored big-endian (true) or little-endian.
constexpr bool swap_for(bool big) { return big == (std::endian::native == std::endian::little); }

}  // namespace fsl
