// The Sun disk label: sector 0 of the disk, big-endian.
//
//   0  dkl_asciilabel[128]      420 rpm  422 pcyl  424 apc  426 obs1
// 128  (VTOC, 136 bytes) 428 obs2 430 intrlv 432 ncyl 434 acyl
//                                436 nhead 438 nsect 440 obs3 442 obs4
// 444  dkl_map[8] {cylno, nblk}  508 magic 0xDABE  510 XOR checksum
#include "tools/sunimg.h"

#include <cstring>

namespace sunimg {

namespace {
// VTOC inside the 292 reserved bytes.
constexpr int kVtocVersion = 128;   // u32: 1
constexpr int kVtocVolume = 132;    // char[8]
constexpr int kVtocNparts = 140;    // u16: 8
constexpr int kVtocInfos = 142;     // 8 x {u16 tag, u16 flag}
constexpr int kVtocSanityOff = 188; // u32: 0x600DDEEE
constexpr int kRpm = 420, kPcyl = 422, kApc = 424, kObs1 = 426, kObs2 = 428,
              kIntrlv = 430, kNcyl = 432, kAcyl = 434, kNhead = 436,
              kNsect = 438, kObs3 = 440, kObs4 = 442, kMap = 444,
              kMagic = 508, kCksum = 510;
}  // namespace

uint16_t label_checksum(const uint8_t* sector) {
    uint16_t x = 0;
    for (int i = 0; i < 510; i += 2) x ^= get16be(sector + i);
    return x;
}

std::array<uint8_t, 512> encode_label(const Label& l) {
    std::array<uint8_t, 512> s{};
    uint8_t* p = s.data();
    std::memcpy(p, l.text.data(), std::min<size_t>(l.text.size(), 127));
    if (l.vtoc) {
        put32be(p + kVtocVersion, 1);
        std::memcpy(p + kVtocVolume, l.volume.data(), std::min<size_t>(l.volume.size(), 8));
        put16be(p + kVtocNparts, 8);
        for (int i = 0; i < 8; i++) {
            put16be(p + kVtocInfos + 4 * i, l.part[i].tag);
            put16be(p + kVtocInfos + 4 * i + 2, l.part[i].flag);
        }
        put32be(p + kVtocSanityOff, kVtocSanity);
    }
    put16be(p + kRpm, l.rpm);
    put16be(p + kPcyl, l.pcyl);
    put16be(p + kApc, l.apc);
    put16be(p + kObs1, l.obs1);
    put16be(p + kObs2, l.obs2);
    put16be(p + kIntrlv, l.intrlv);
    put16be(p + kNcyl, l.ncyl);
    put16be(p + kAcyl, l.acyl);
    put16be(p + kNhead, l.nhead);
    put16be(p + kNsect, l.nsect);
    put16be(p + kObs3, l.obs3);
    put16be(p + kObs4, l.obs4);
    for (int i = 0; i < 8; i++) {
        put32be(p + kMap + 8 * i, uint32_t(l.part[i].cylno));
        put32be(p + kMap + 8 * i + 4, uint32_t(l.part[i].nblk));
    }
    put16be(p + kMagic, l.magic);
    put16be(p + kCksum, l.cksum ? *l.cksum : label_checksum(p));
    return s;
}

Label decode_label(const uint8_t* p) {
    Label l;
    l.text.assign(reinterpret_cast<const char*>(p), strnlen(reinterpret_cast<const char*>(p), 128));
    l.vtoc = get32be(p + kVtocSanityOff) == kVtocSanity;
    if (l.vtoc)
        l.volume.assign(reinterpret_cast<const char*>(p + kVtocVolume),
                        strnlen(reinterpret_cast<const char*>(p + kVtocVolume), 8));
    l.rpm = get16be(p + kRpm);
    l.pcyl = get16be(p + kPcyl);
    l.apc = get16be(p + kApc);
    l.obs1 = get16be(p + kObs1);
    l.obs2 = get16be(p + kObs2);
    l.intrlv = get16be(p + kIntrlv);
    l.ncyl = get16be(p + kNcyl);
    l.acyl = get16be(p + kAcyl);
    l.nhead = get16be(p + kNhead);
    l.nsect = get16be(p + kNsect);
    l.obs3 = get16be(p + kObs3);
    l.obs4 = get16be(p + kObs4);
    for (int i = 0; i < 8; i++) {
        l.part[i].cylno = int32_t(get32be(p + kMap + 8 * i));
        l.part[i].nblk = int32_t(get32be(p + kMap + 8 * i + 4));
        if (l.vtoc) {
            l.part[i].tag = get16be(p + kVtocInfos + 4 * i);
            l.part[i].flag = get16be(p + kVtocInfos + 4 * i + 2);
        }
    }
    l.magic = get16be(p + kMagic);
    l.cksum = get16be(p + kCksum);
    return l;
}

uint64_t partition_offset(const Label& l, int part) {
    if (part < 0 || part > 7) throw Error("partition number out of range: " + std::to_string(part));
    return uint64_t(uint32_t(l.part[part].cylno)) * l.nhead * l.nsect * kSector;
}

}  // namespace sunimg
