// The test builds' outermost device layer: it counts reads, keeps the
// byte count of the last one, and injects one planned fault.  Linking this
// file puts the layer on top of every device the library opens.
#pragma once

#include <cstdint>

namespace fsl {

// Byte count of the last device read; -1 when it failed.
extern int32_t dev_lastread;

// Device reads made since the process started; tests count them to catch
// work that grows faster than the image.
extern uint64_t dev_reads;

// Faults: the `nth` device read or seek from now on (1 = the next one)
// fails in the given way.  "Seek" is the positioning check that comes
// first in every read.  One plan at a time; dev_fault_clear drops it.
enum class dev_fault_kind {
    none,
    error,      // the read fails (EIO)
    zero,       // the read returns 0 bytes, as at the end of the device
    half,       // the read transfers half of what was asked, then goes on
    interrupt,  // the read is interrupted before any byte, then goes on
    seek,       // positioning fails
};
void dev_fault_set(uint64_t nth, dev_fault_kind kind);
void dev_fault_clear();

}  // namespace fsl
