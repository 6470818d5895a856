// Helpers shared by the library's own files; not part of the public face.
#pragma once

#include <cstdint>

#include "fslib/fslib.h"

namespace fsl {

// Byte offset of a partition's start: 32-bit wrap-around, used as a
// signed 32-bit device offset (negative: unreachable, the seek refuses).
int32_t part_start_bytes(const dk_label* label, int part);

// The same start without wrap-around.  Device offsets are signed 32-bit, so
// whatever lies at 2 GiB or beyond cannot be read; a wrapped offset would
// land on some other, unrelated part of the device instead.
uint64_t part_start_exact(const dk_label* label, int part);
inline constexpr uint64_t DEV_LIMIT = uint64_t{1} << 31;

// Device byte offset of fragment address `addr` of a mounted file system.
int32_t frag_offset(const fsys* fs, uint32_t addr);

// Bytes held by logical block `lbn` of a file of `size` bytes of which
// `pos` are covered by earlier blocks.  Callers keep 0 <= pos <= size.
int32_t block_count(const fs_super* sb, int32_t size, int32_t lbn, int32_t pos);

// Entries in one indirect block: fs_bsize / 4 (2048 for 8192-byte blocks).
inline uint32_t nindir(const fs_super* sb) { return static_cast<uint32_t>(sb->fs_bsize) / 4; }

// Positions and reads `count` bytes at `offset`.  Returns FSE_OK,
// FSE_SEEK or FSE_READ; with `exact` a short transfer is FSE_READ.
// `*got` receives the bytes transferred.
int dev_load(fs_handle h, int32_t offset, void* buf, uint32_t count, bool exact,
             int32_t* got);

// The directory-record check shared by lookups and directory streams: the
// record at `rec` with `avail` bytes of block left is usable when its
// length is a non-zero multiple of 4 inside the block and its name ends
// with a NUL inside the record.  The record must already be converted.
bool record_ok(const direct* rec, uint32_t avail);

}  // namespace fsl

// Reads the next logical block of a file (see fileio.cpp); the block's
// byte count, or 0 when it could not be read.
int32_t read_fblock(fsys* fs, const dinode* ip, uint32_t addr, uint8_t* dst,
                    int32_t* pos, int32_t* lbn);
