// The device stack under the library.  A device is an object with one
// read; layers stack on one another, each owning the one below it:
//   the host file or block device, or a container reader over host files;
//   the rescue map, failing exactly the sectors its unreadable areas touch;
//   the sector memory, which reads again sector by sector after a failure;
//   an outer layer the test builds may add.
// Each open disk (or scan) has a stack of its own, so two readers of one
// image never share a position or a memory of failures.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "fslib/fslib.h"

namespace fsl {

// Device sector numbers (512-byte units from the device's start),
// ascending, each once.
using sector_list = std::vector<uint64_t>;

class device {
public:
    virtual ~device() = default;
    // Reads `count` bytes at byte `offset` into `buf`.
    //   FSE_OK: *got bytes placed; fewer than `count` only at the end.
    //   FSE_SEEK: the offset is negative or past the end; nothing placed.
    //   FSE_READ with `failed` left empty: the read failed as a whole.
    //   FSE_READ with sectors added to `failed`: every other byte of the
    //   read is in place (*got of them, as for FSE_OK), and the bytes of
    //   the listed sectors read as zeros.
    virtual int read(int64_t offset, void* buf, uint32_t count, uint32_t* got, sector_list* failed) = 0;
    // Without reading: true when the device can tell which sectors of the
    // `count` bytes at `offset` a read would lose, and adds them to
    // `failed`; false when only a read can tell.
    virtual bool probe(int64_t /*offset*/, uint32_t /*count*/, sector_list* /*failed*/) { return false; }
    // Bytes of the device; 0 when the host cannot tell.
    virtual int64_t size() const = 0;
    // The host files behind the device, by index from 0 (a container may
    // have several segments); false past the last, or when unknown.
    virtual bool host_file(int index, uint64_t* dev, uint64_t* ino) const = 0;
    // The host device that holds the disk, as home_number gives it; 0 when
    // the host cannot tell.
    virtual uint32_t home() const { return 0; }
    // The container's format name ("" for a plain file or device).
    virtual const char* format() const { return ""; }
    // Lets the host files go; false when the host's close failed.  The
    // device is not read again.
    virtual bool shut() { return true; }
};

// A layer over another device, which it owns and passes the rest to.
class layer : public device {
public:
    explicit layer(std::unique_ptr<device> below) : lower(std::move(below)) {}
    int64_t size() const override { return lower->size(); }
    bool probe(int64_t offset, uint32_t count, sector_list* failed) override
    {
        return lower->probe(offset, count, failed);
    }
    bool host_file(int index, uint64_t* dev, uint64_t* ino) const override
    {
        return lower->host_file(index, dev, ino);
    }
    uint32_t home() const override { return lower->home(); }
    const char* format() const override { return lower->format(); }
    bool shut() override { return lower->shut(); }

protected:
    std::unique_ptr<device> lower;
};

// What opening a device found out, for the caller's messages.
using open_note = disk_note;

// A host device number in the 32-bit form major << 8 | minor, the
// minor's high bits from bit 20.
uint32_t home_number(uint64_t dev);

// Opens the host file or block device at `path`: null with fs_errno
// FSE_HOST (fs_syserr) when the host refuses it.
std::unique_ptr<device> host_open(const char* path);
// The container reader for the file `plain` (at `path`) when its magic
// names a container; `plain` itself otherwise.  Null with fs_errno
// FSE_CONTAINER and note->text when the container cannot be read.
std::unique_ptr<device> container_open(const char* path, std::unique_ptr<device> plain, open_note* note);
// The rescue-map layer over `d`.
std::unique_ptr<device> map_layer(std::unique_ptr<device> d, const fs_map* map);
// The sector-memory layer over `d`.
std::unique_ptr<device> sector_layer(std::unique_ptr<device> d);
// The outermost layer: the device itself in the product; the test builds
// put their own layer here.
std::unique_ptr<device> outer_layer(std::unique_ptr<device> d);

// Device sectors touched by `count` bytes at `offset` (count > 0).
inline uint64_t first_sector(int64_t offset) { return static_cast<uint64_t>(offset) / SECTOR_SIZE; }
inline uint64_t end_sector(int64_t offset, uint32_t count)
{
    return (static_cast<uint64_t>(offset) + count + SECTOR_SIZE - 1) / SECTOR_SIZE;
}

// Zeros the bytes of sector `s` that lie in the `count` bytes at `offset`
// held in `buf`.
void zero_sector(void* buf, int64_t offset, uint32_t count, uint64_t s);

}  // namespace fsl
