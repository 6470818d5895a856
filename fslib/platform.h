// The device operations of the library: open read-only, read a byte count
// at an absolute 64-bit offset, close.  The one rule for where a read may
// start lives here: at no negative offset and nowhere past the device's end.
#pragma once

#include <cstdint>

#include "fslib/fslib.h"

namespace fsl {

// Byte count of the last device read, shared by the whole process; -1 when
// the read call failed.
extern int32_t dev_lastread;

// Opens `path` read-only; FS_NOHANDLE on failure (errno says why).
fs_handle dev_open(const char* path);

// Size of an open device in bytes: the file's size, or the block device's;
// 0 when the host cannot tell (then only the host itself limits reads).
int64_t dev_size(fs_handle h);

// Reads `count` bytes at `offset`.  Returns FSE_OK; FSE_SEEK for an offset
// that is negative or past the end of the device; FSE_READ when the read
// call fails, or, with `exact`, transfers fewer bytes.  `*got` receives
// the bytes transferred (a read stops early only at the device's end).
int dev_load(fs_handle h, int64_t offset, void* buf, uint32_t count, bool exact,
             uint32_t* got);

// The host's identity of an open device (its file system and file
// number); false when the host cannot tell.
bool dev_ident(fs_handle h, uint64_t* dev, uint64_t* ino);
// The host device that holds the disk: a block or character device's own
// number, else the device of the file system the image file lies on, in
// the 32-bit form major << 8 | minor (minor's high bits from bit 20); 0
// when the host cannot tell.
uint32_t dev_home(fs_handle h);

// Closes the device; FSE_OK, or FSE_READ when the host's close fails.
int dev_close(fs_handle h);

// Device read calls made since the process started; tests count them to
// catch work that grows faster than the image.
extern uint64_t dev_reads;

// Faults for the tests: the `nth` device read or seek from now on (1 = the
// next one) fails in the given way.  "Seek" is the positioning check that
// comes first in every read.  One plan at a time; dev_fault_clear drops
// it.  Never set outside the tests.
enum class dev_fault_kind {
    none,
    error,      // the read call fails (EIO)
    zero,       // the read call returns 0 bytes, as at the end of the device
    half,       // the read call transfers half of what was asked, then goes on
    interrupt,  // the read call is interrupted (EINTR) before any byte
    seek,       // positioning fails
};
void dev_fault_set(uint64_t nth, dev_fault_kind kind);
void dev_fault_clear();

}  // namespace fsl
