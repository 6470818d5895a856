// The four device operations of the library, ported to POSIX: open
// read-only, position to a signed 32-bit absolute offset, read a byte
// count, close.  Only the first 2 GiB of a device can be addressed.
#pragma once

#include <cstdint>

#include "fslib/fslib.h"

namespace fsl {

// Byte count of the last device read, shared by the whole process; -1 when
// the read call failed.
extern int32_t dev_lastread;

// Opens `path` read-only; FS_NOHANDLE on failure (errno says why).
fs_handle dev_open(const char* path);

// Positions to `offset` from the start; a negative offset (2 GiB and up
// as unsigned) is refused.  Returns false on failure.
bool dev_seek(fs_handle h, int32_t offset);

// Reads up to `count` bytes; stops early only at end of file.  Sets and
// returns dev_lastread (-1 on a failing call).
int32_t dev_read(fs_handle h, void* buf, uint32_t count);

// Closes the device; non-zero on success, 0 on failure.
int dev_close(fs_handle h);

// Device read calls made since the process started; tests count them to
// catch work that grows faster than the image.
extern uint64_t dev_reads;

// Faults for the tests: the `nth` device read or seek from now on (1 = the
// next one) fails in the given way.  One plan at a time; dev_fault_clear
// drops it.  Never set outside the tests.
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
