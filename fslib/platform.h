// The device operations of the library, by handle: open read-only, read a
// byte count at an absolute 64-bit offset, close.  Each handle names a
// stack of device layers (fslib/device.h) of its own.
#pragma once

#include <cstdint>

#include "fslib/device.h"
#include "fslib/fslib.h"

namespace fsl {

// Opens `path` read-only, through its container when it is one, with the
// rescue map `map` (null: none) on top.  FS_NOHANDLE on failure, with
// fs_errno: FSE_NFILE, FSE_NOMEM, FSE_HOST (fs_syserr) or FSE_CONTAINER
// (note->text says why).  `note` also receives the container's format and
// the device's size.
fs_handle dev_open(const char* path, const fs_map* map, disk_note* note);

// Size of an open device in bytes: the file's, the block device's or the
// container's virtual disk; 0 when the host cannot tell.
int64_t dev_size(fs_handle h);

// Reads `count` bytes at `offset`.  Returns FSE_OK; FSE_SEEK for an offset
// that is negative or past the end of the device; FSE_READ when the read
// fails, or, with `exact`, transfers fewer bytes.  `*got` receives the
// bytes transferred (a read stops early only at the device's end); 0 after
// FSE_READ.
int dev_load(fs_handle h, int64_t offset, void* buf, uint32_t count, bool exact, uint32_t* got);

// dev_load that keeps what could be read: after FSE_READ, when `failed`
// received the device sectors that could not be read, every other byte is
// in place (*got of them) and those sectors read as zeros.
int dev_read(fs_handle h, int64_t offset, void* buf, uint32_t count, uint32_t* got, sector_list* failed);

// Without reading: true when the device stack can tell which sectors of
// the `count` bytes at `offset` are lost (a rescue map), and adds them to
// `failed` (ascending, each once); false when only a read can tell.
bool dev_probe(fs_handle h, int64_t offset, uint32_t count, sector_list* failed);

// The host's identity of host file `index` behind an open device (its
// file system and file number); false past the last or when the host
// cannot tell.
bool dev_ident(fs_handle h, int index, uint64_t* dev, uint64_t* ino);
// The host device that holds the disk: a block or character device's own
// number, else the device of the file system the image file lies on, in
// the 32-bit form major << 8 | minor (minor's high bits from bit 20); 0
// when the host cannot tell.
uint32_t dev_home(fs_handle h);

// Closes the device; FSE_OK, or FSE_READ when the host's close fails.
int dev_close(fs_handle h);

}  // namespace fsl
