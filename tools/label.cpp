// The Sun disk label: sector 0 of the disk, big-endian.
//
//   0  dkl_asciilabel[128]      420 rpm  422 pcyl  424 apc  426 obs1
// 128  (VTOC, 136 bytes) 428 obs2 430 intrlv 432 ncyl 434 acyl
//                                436 nhead 438 nsect 440 obs3 442 obs4
// 444  dkl_map[8] {cylno, nblk}  508 magic 0xDABE  510 XOR checksum
#include "tools/sunimg.h"

#include <cstring>

namespace sunimg {

uint16_t label_checksum(const uint8_t* sector)
{
    uint16_t x = 0;
    for (int i = 0; i < 510; i += 2)
        x ^= get16be(sector + i);
    return x;
}

std::array<uint8_t, 512> encode_label(const Label& l)
{
    std::array<uint8_t, 512> s{};
    uint8_t* p = s.data();
    std::memcpy(p, l.text.data(), std::min<size_t>(l.text.size(), 127));
    if (l.vtoc) {
        put32be(p + label_off::vtoc_version, 1);
        std::memcpy(p + label_off::vtoc_volume, l.volume.data(), std::min<size_t>(l.volume.size(), 8));
        put16be(p + label_off::vtoc_nparts, 8);
        for (int i = 0; i < 8; i++) {
            put16be(p + label_off::vtoc_parts + 4 * i, l.part[i].tag);
            put16be(p + label_off::vtoc_parts + 4 * i + 2, l.part[i].flag);
        }
        put32be(p + label_off::vtoc_sanity, kVtocSanity);
    }
    put16be(p + label_off::rpm, l.rpm);
    put16be(p + label_off::pcyl, l.pcyl);
    put16be(p + label_off::apc, l.apc);
    put16be(p + label_off::obs1, l.obs1);
    put16be(p + label_off::obs2, l.obs2);
    put16be(p + label_off::intrlv, l.intrlv);
    put16be(p + label_off::ncyl, l.ncyl);
    put16be(p + label_off::acyl, l.acyl);
    put16be(p + label_off::nhead, l.nhead);
    put16be(p + label_off::nsect, l.nsect);
    put16be(p + label_off::obs3, l.obs3);
    put16be(p + label_off::obs4, l.obs4);
    for (int i = 0; i < 8; i++) {
        put32be(p + label_off::map + label_off::map_entry * i, uint32_t(l.part[i].cylno));
        put32be(p + label_off::map + label_off::map_entry * i + 4, uint32_t(l.part[i].nblk));
    }
    put16be(p + label_off::magic, l.magic);
    put16be(p + label_off::cksum, l.cksum ? *l.cksum : label_checksum(p));
    return s;
}

Label decode_label(const uint8_t* p)
{
    Label l;
    l.text.assign(reinterpret_cast<const char*>(p), strnlen(reinterpret_cast<const char*>(p), 128));
    l.vtoc = get32be(p + label_off::vtoc_sanity) == kVtocSanity;
    if (l.vtoc)
        l.volume.assign(reinterpret_cast<const char*>(p + label_off::vtoc_volume),
                        strnlen(reinterpret_cast<const char*>(p + label_off::vtoc_volume), 8));
    l.rpm = get16be(p + label_off::rpm);
    l.pcyl = get16be(p + label_off::pcyl);
    l.apc = get16be(p + label_off::apc);
    l.obs1 = get16be(p + label_off::obs1);
    l.obs2 = get16be(p + label_off::obs2);
    l.intrlv = get16be(p + label_off::intrlv);
    l.ncyl = get16be(p + label_off::ncyl);
    l.acyl = get16be(p + label_off::acyl);
    l.nhead = get16be(p + label_off::nhead);
    l.nsect = get16be(p + label_off::nsect);
    l.obs3 = get16be(p + label_off::obs3);
    l.obs4 = get16be(p + label_off::obs4);
    for (int i = 0; i < 8; i++) {
        l.part[i].cylno = int32_t(get32be(p + label_off::map + label_off::map_entry * i));
        l.part[i].nblk = int32_t(get32be(p + label_off::map + label_off::map_entry * i + 4));
        if (l.vtoc) {
            l.part[i].tag = get16be(p + label_off::vtoc_parts + 4 * i);
            l.part[i].flag = get16be(p + label_off::vtoc_parts + 4 * i + 2);
        }
    }
    l.magic = get16be(p + label_off::magic);
    l.cksum = get16be(p + label_off::cksum);
    return l;
}

uint64_t partition_offset(const Label& l, int part)
{
    if (part < 0 || part > 7)
        throw Error("partition number out of range: " + std::to_string(part));
    return uint64_t(uint32_t(l.part[part].cylno)) * l.nhead * l.nsect * kSector;
}

}   // namespace sunimg
