// Byte offsets of every on-disk field the image builder writes: the disk
// label, the UFS superblock, the cylinder-group header, the inode and the
// directory record.  All values are big-endian on disk.
//
// The builder keeps its own table on purpose: it is written from the
// on-disk format, not from the reader's structures, so that a mistake in
// either one shows up as a disagreement between the two.
#pragma once

#include <cstdint>

namespace sunimg {

// Disk label, sector 0 (512 bytes).  The VTOC lives in the 292 bytes that
// the label otherwise leaves unused.
namespace label_off {
inline constexpr uint32_t text = 0;   // char[128]
inline constexpr uint32_t vtoc_version = 128;   // u32: 1
inline constexpr uint32_t vtoc_volume = 132;   // char[8]
inline constexpr uint32_t vtoc_nparts = 140;   // u16: 8
inline constexpr uint32_t vtoc_parts = 142;   // 8 x {u16 tag, u16 flag}
inline constexpr uint32_t vtoc_sanity = 188;   // u32: 0x600DDEEE
inline constexpr uint32_t rpm = 420, pcyl = 422, apc = 424, obs1 = 426, obs2 = 428, intrlv = 430, ncyl = 432,
                          acyl = 434, nhead = 436, nsect = 438, obs3 = 440, obs4 = 442;
inline constexpr uint32_t map = 444;   // 8 x {s32 cylno, s32 nblk}
inline constexpr uint32_t map_entry = 8;
inline constexpr uint32_t magic = 508, cksum = 510;
}   // namespace label_off

// UFS superblock (8192 bytes at byte 8192 of the partition).  Fields are
// 32-bit unless noted.
namespace sb_off {
inline constexpr uint32_t link = 0, rlink = 4, sblkno = 8, cblkno = 12, iblkno = 16, dblkno = 20, cgoffset = 24,
                          cgmask = 28, time = 32, size = 36, dsize = 40, ncg = 44, bsize = 48, fsize = 52, frag = 56,
                          minfree = 60, rotdelay = 64, rps = 68, bmask = 72, fmask = 76, bshift = 80, fshift = 84,
                          maxcontig = 88, maxbpg = 92, fragshift = 96, fsbtodb = 100, sbsize = 104, csmask = 108,
                          csshift = 112, nindir = 116, inopb = 120, nspf = 124, optim = 128, npsect = 132,
                          interleave = 136, trackskew = 140;
inline constexpr uint32_t id = 144;   // 2 words
inline constexpr uint32_t csaddr = 152, cssize = 156, cgsize = 160, ntrak = 164, nsect = 168, spc = 172, ncyl = 176,
                          cpg = 180, ipg = 184, fpg = 188;
inline constexpr uint32_t cs_ndir = 192, cs_nbfree = 196, cs_nifree = 200, cs_nffree = 204;   // fs_cstotal
inline constexpr uint32_t fmod = 208, clean = 209, ronly = 210, flags = 211;   // single bytes
inline constexpr uint32_t fsmnt = 212;   // char[512]
inline constexpr uint32_t fsmnt_len = 512;
inline constexpr uint32_t cgrotor = 724, cpc = 856;
// Newer inode format: maximum length of a symbolic link kept inside the
// inode, and the format number (2 = owners in the 32-bit inode words).
// Both are spare space (zero) on file systems in the older format.
inline constexpr uint32_t maxsymlinklen = 1320, inodefmt = 1324;
inline constexpr uint32_t qbmask = 1340, qfmask = 1348;   // 64-bit, high word first
inline constexpr uint32_t postblformat = 1356, nrpos = 1360, postbloff = 1364, rotbloff = 1368, magic = 1372;
inline constexpr uint32_t end_of_fields = 1376;
}   // namespace sb_off

// Cylinder-group header (at fragment fs_cblkno of each group).
namespace cg_off {
inline constexpr uint32_t magic = 4, time = 8, cgx = 12;
inline constexpr uint32_t ncyl = 16, niblk = 18;   // 16-bit
inline constexpr uint32_t ndblk = 20, cs_ndir = 24, cs_nbfree = 28, cs_nifree = 32, cs_nffree = 36;
inline constexpr uint32_t frsum = 52;   // 8 words
inline constexpr uint32_t btotoff = 84, boff = 88, iusedoff = 92, freeoff = 96, nextfreeoff = 100;
inline constexpr uint32_t header_size = 168;   // the maps follow
}   // namespace cg_off

// Inode (128 bytes).
namespace ino_off {
inline constexpr uint32_t mode = 0, nlink = 2;
inline constexpr uint32_t uid = 4, gid = 6;   // 16-bit owner words
inline constexpr uint32_t size_hi = 8, size = 12;   // 64-bit size, high word first
inline constexpr uint32_t atime = 16, mtime = 24, ctime = 32;
inline constexpr uint32_t db = 40, ib = 88;   // 12 direct, 3 indirect addresses
inline constexpr uint32_t flags = 100, blocks = 104, gen = 108;
inline constexpr uint32_t uid32 = 112, gid32 = 116;   // 32-bit owner words, 4.4 format
// The older format (as Solaris writes it): the shadow (ACL) inode, the
// whole owner and group, the extended-attribute directory.
inline constexpr uint32_t shadow = 112, uid_older = 116, gid_older = 120, xattr = 124;
inline constexpr uint32_t inode_size = 128;
}   // namespace ino_off

// Directory record.
namespace dir_off {
inline constexpr uint32_t ino = 0, reclen = 4, namlen = 6, name = 8;
}

}   // namespace sunimg
