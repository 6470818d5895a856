// The rescue-map layer: a read that touches what the rescue could not read
// fails for exactly the sectors it touches.  The image holds zeros or a
// marker there, never data, so those bytes are never handed out.
#include <cstring>

#include "fslib/device.h"
#include "fslib/internal.h"

namespace fsl {

namespace {

class map_device final : public layer {
public:
    map_device(std::unique_ptr<device> below, const fs_map* m) : layer(std::move(below)), map_(m) {}

    int read(int64_t offset, void* buf, uint32_t count, uint32_t* got, sector_list* failed) override
    {
        sector_list bad;
        map_sectors(map_, offset, count, &bad);
        if (bad.empty())
            return lower->read(offset, buf, count, got, failed);
        // The readable sectors between come from below, in one read; what
        // the image holds in the bad ones is dropped.
        int rc = lower->read(offset, buf, count, got, failed);
        if (rc != FSE_OK)
            return rc;
        for (uint64_t s : bad) {
            if (s * SECTOR_SIZE < static_cast<uint64_t>(offset) + *got) {
                zero_sector(buf, offset, *got, s);
                failed->push_back(s);
            }
        }
        return failed->empty() ? FSE_OK : FSE_READ;
    }

    // The map knows every sector the rescue could not read.
    bool probe(int64_t offset, uint32_t count, sector_list* failed) override
    {
        if (offset >= 0 && count > 0)
            map_sectors(map_, offset, count, failed);
        return true;
    }

private:
    const fs_map* map_;
};

}  // namespace

std::unique_ptr<device> map_layer(std::unique_ptr<device> d, const fs_map* map)
{
    return std::unique_ptr<device>(new (std::nothrow) map_device(std::move(d), map));
}

}  // namespace fsl
