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

}  // namespace fsl
