// MD5 as RFC 1321 describes it: 64-byte blocks, four rounds of sixteen
// steps, little-endian words.
#include "shell/md5.h"

#include <cstring>

namespace {

constexpr uint32_t K[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

constexpr int R[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                       5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                       4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                       6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

inline uint32_t rotl(uint32_t x, int c)
{
    return (x << c) | (x >> (32 - c));
}

inline uint32_t le32(const uint8_t* p)
{
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

}  // namespace

md5::md5() : s_{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476} {}

// One step: a, b, c, d are the state as the step sees it; `f` the round's
// function of b, c and d.
#define MD5_STEP(f, a, b, c, d, i, g) a = b + rotl(a + (f) + K[i] + m[g], R[i])

void md5::block(const uint8_t* p)
{
    uint32_t m[16];
    for (int i = 0; i < 16; i++)
        m[i] = le32(p + 4 * i);
    uint32_t a = s_[0], b = s_[1], c = s_[2], d = s_[3];
    // Each round in steps of four, so that the state words keep their
    // places and no step needs to ask which round it is in.
#pragma GCC unroll 4
    for (int i = 0; i < 16; i += 4) {
        MD5_STEP(d ^ (b & (c ^ d)), a, b, c, d, i, i);
        MD5_STEP(c ^ (a & (b ^ c)), d, a, b, c, i + 1, i + 1);
        MD5_STEP(b ^ (d & (a ^ b)), c, d, a, b, i + 2, i + 2);
        MD5_STEP(a ^ (c & (d ^ a)), b, c, d, a, i + 3, i + 3);
    }
#pragma GCC unroll 4
    for (int i = 16; i < 32; i += 4) {
        MD5_STEP(c ^ (d & (b ^ c)), a, b, c, d, i, (5 * i + 1) & 15);
        MD5_STEP(b ^ (c & (a ^ b)), d, a, b, c, i + 1, (5 * i + 6) & 15);
        MD5_STEP(a ^ (b & (d ^ a)), c, d, a, b, i + 2, (5 * i + 11) & 15);
        MD5_STEP(d ^ (a & (c ^ d)), b, c, d, a, i + 3, (5 * i + 16) & 15);
    }
#pragma GCC unroll 4
    for (int i = 32; i < 48; i += 4) {
        MD5_STEP(b ^ c ^ d, a, b, c, d, i, (3 * i + 5) & 15);
        MD5_STEP(a ^ b ^ c, d, a, b, c, i + 1, (3 * i + 8) & 15);
        MD5_STEP(d ^ a ^ b, c, d, a, b, i + 2, (3 * i + 11) & 15);
        MD5_STEP(c ^ d ^ a, b, c, d, a, i + 3, (3 * i + 14) & 15);
    }
#pragma GCC unroll 4
    for (int i = 48; i < 64; i += 4) {
        MD5_STEP(c ^ (b | ~d), a, b, c, d, i, (7 * i) & 15);
        MD5_STEP(b ^ (a | ~c), d, a, b, c, i + 1, (7 * i + 7) & 15);
        MD5_STEP(a ^ (d | ~b), c, d, a, b, i + 2, (7 * i + 14) & 15);
        MD5_STEP(d ^ (c | ~a), b, c, d, a, i + 3, (7 * i + 21) & 15);
    }
    s_[0] += a;
    s_[1] += b;
    s_[2] += c;
    s_[3] += d;
}

#undef MD5_STEP

void md5::update(const uint8_t* data, size_t len)
{
    size_t have = static_cast<size_t>(total_ % 64);
    total_ += len;
    if (have != 0) {
        size_t take = len < 64 - have ? len : 64 - have;
        std::memcpy(pending_ + have, data, take);
        data += take;
        len -= take;
        if (have + take < 64)
            return;
        block(pending_);
    }
    for (; len >= 64; data += 64, len -= 64)
        block(data);
    std::memcpy(pending_, data, len);
}

std::string md5::hex()
{
    uint64_t bits = total_ * 8;
    uint8_t pad[72] = {0x80};
    size_t have = static_cast<size_t>(total_ % 64);
    size_t padlen = (have < 56 ? 56 : 120) - have;
    for (int i = 0; i < 8; i++)
        pad[padlen + i] = static_cast<uint8_t>(bits >> (8 * i));
    update(pad, padlen + 8);
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint32_t w : s_) {
        for (int i = 0; i < 4; i++) {
            uint8_t byte = static_cast<uint8_t>(w >> (8 * i));
            out += digits[byte >> 4];
            out += digits[byte & 15];
        }
    }
    return out;
}
