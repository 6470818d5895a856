// The other labels of Sun-family disks, as their systems write them:
//
// Solaris x86 label, the second sector of a Solaris fdisk partition, all
// little-endian:
//     12  sanity 0x600DDEEE   16  version 1   28  sector size   30  slices
//     72  16 x {tag, flag (16 bits), start, size}, starts counted from the
//         fdisk partition's start
//    328  label text   456  pcyl, ncyl (32 bits)  464 acyl  468 nhead, nsect
//    508  magic 0xDABE   510  XOR of the 16-bit words before it
//
// OpenBSD's extension of a Sun label (big-endian, in the label's unused
// bytes):
//    128  sum of the words from 132 to 199   132  magic 0x199d1fea
//    136  8 x {cylinder, sectors}: partitions i-p
#include "tools/sunimg.h"

#include <cstring>

namespace sunimg {

namespace {

void put16le(uint8_t* p, uint16_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

void put32le(uint8_t* p, uint32_t v)
{
    put16le(p, uint16_t(v));
    put16le(p + 2, uint16_t(v >> 16));
}

}   // namespace

std::array<uint8_t, 512> encode_x86_label(const X86Label& l)
{
    std::array<uint8_t, 512> s{};
    uint8_t* p = s.data();
    if (l.slices.size() > 16)
        throw Error("an x86 label holds 16 slices");
    put32le(p + 12, kVtocSanity);
    put32le(p + 16, 1);
    put16le(p + 28, uint16_t(kSector));
    put16le(p + 30, 16);
    for (size_t i = 0; i < l.slices.size(); i++) {
        uint8_t* e = p + 72 + 12 * i;
        put16le(e, l.slices[i].tag);
        put32le(e + 4, l.slices[i].start);
        put32le(e + 8, l.slices[i].size);
    }
    std::memcpy(p + 328, l.text.data(), std::min<size_t>(l.text.size(), 127));
    put32le(p + 456, l.ncyl + 2);
    put32le(p + 460, l.ncyl);
    put16le(p + 464, 2);
    put32le(p + 468, l.nhead);
    put32le(p + 472, l.nsect);
    put16le(p + 508, kLabelMagic);
    uint16_t x = 0;
    for (int i = 0; i < 510; i += 2)
        x = uint16_t(x ^ (p[i] | p[i + 1] << 8));
    put16le(p + 510, x);
    return s;
}

void add_obsd_extension(uint8_t* sector, const std::array<LabelPart, 8>& parts)
{
    constexpr uint32_t kMagic = 0x199d1fea;
    std::memset(sector + 128, 0, 72);
    put32be(sector + 132, kMagic);
    for (int i = 0; i < 8; i++) {
        put32be(sector + 136 + 8 * i, uint32_t(parts[size_t(i)].cylno));
        put32be(sector + 140 + 8 * i, uint32_t(parts[size_t(i)].nblk));
    }
    uint32_t sum = 0;
    for (int at = 132; at < 200; at += 4)
        sum += get32be(sector + at);
    put32be(sector + 128, sum);
    put16be(sector + 510, label_checksum(sector));
}

}   // namespace sunimg
