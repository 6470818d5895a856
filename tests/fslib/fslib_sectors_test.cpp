// The sector memory of every device stack: after a read of several sectors
// fails, each sector is asked for once on its own; the ones that fail read
// as zeros and are named, and are never asked for again.
#include "fslib/device.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <vector>

namespace {

// A disk of 64 sectors whose byte i reads as (i % 251) + 1, with an EIO on
// any read that touches a bad sector; it counts what is asked of it.
class failing_disk final : public fsl::device {
public:
    explicit failing_disk(std::set<uint64_t> bad, std::map<uint64_t, int>* asks) : bad_(std::move(bad)), asks_(asks) {}
    int read(int64_t offset, void* buf, uint32_t count, uint32_t* got, fsl::sector_list*) override
    {
        *got = 0;
        if (offset < 0 || offset > size())
            return FSE_SEEK;
        for (uint64_t s = fsl::first_sector(offset); s < fsl::end_sector(offset, count); s++)
            ++(*asks_)[s];
        for (uint64_t s = fsl::first_sector(offset); s < fsl::end_sector(offset, count); s++) {
            if (bad_.count(s))
                return FSE_READ;
        }
        uint32_t n = static_cast<uint32_t>(std::min<int64_t>(count, size() - offset));
        for (uint32_t i = 0; i < n; i++)
            static_cast<uint8_t*>(buf)[i] = static_cast<uint8_t>((offset + i) % 251 + 1);
        *got = n;
        return FSE_OK;
    }
    int64_t size() const override { return 64 * SECTOR_SIZE; }
    bool host_file(int, uint64_t*, uint64_t*) const override { return false; }

private:
    std::set<uint64_t> bad_;
    std::map<uint64_t, int>* asks_;
};

struct SectorCase {
    const char* name;
    std::set<uint64_t> bad;
    std::vector<std::pair<int64_t, uint32_t>> earlier;   // reads made before
    int64_t offset;
    uint32_t count;
    int status;
    std::vector<uint64_t> failed;
    int most_asks;   // of any sector, by the last read alone
};

const SectorCase cases[] = {
    {"sound", {}, {}, 512, 8192, FSE_OK, {}, 1},
    {"one bad sector of sixteen", {5}, {}, 0, 8192, FSE_READ, {5}, 2},
    {"two apart, read unaligned", {3, 9}, {}, 100, 5000, FSE_READ, {3, 9}, 2},
    {"a lone sector", {7}, {}, 7 * 512 + 10, 100, FSE_READ, {7}, 1},
    {"known bad: never asked again", {4}, {{0, 8192}}, 0, 8192, FSE_READ, {4}, 1},
    {"known bad, read around", {4}, {{2048, 512}}, 0, 8192, FSE_READ, {4}, 1},
    {"past the end", {}, {}, 65 * 512, 512, FSE_SEEK, {}, 0},
    {"bad sector at the end", {63}, {}, 62 * 512, 4096, FSE_READ, {63}, 2},
};

TEST(SectorMemory, OneBadSectorCostsOneSector)
{
    for (const SectorCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::map<uint64_t, int> asks;
        auto d = fsl::sector_layer(std::make_unique<failing_disk>(c.bad, &asks));
        std::vector<uint8_t> buf(c.count + 512);
        for (auto [at, n] : c.earlier) {
            uint32_t got;
            fsl::sector_list lost;
            d->read(at, buf.data(), n, &got, &lost);
        }
        asks.clear();
        std::memset(buf.data(), 0xEE, buf.size());
        uint32_t got = 0;
        fsl::sector_list failed;
        EXPECT_EQ(d->read(c.offset, buf.data(), c.count, &got, &failed), c.status);
        EXPECT_EQ(failed, c.failed);
        int most = 0;
        for (auto [s, n] : asks)
            most = std::max(most, n);
        EXPECT_EQ(most, c.most_asks);
        for (uint32_t i = 0; i < got; i++) {
            uint64_t at = static_cast<uint64_t>(c.offset) + i;
            uint8_t want = c.bad.count(at / SECTOR_SIZE) ? 0 : static_cast<uint8_t>(at % 251 + 1);
            ASSERT_EQ(buf[i], want) << "byte " << at;
        }
        if (c.status != FSE_SEEK) {
            EXPECT_EQ(got, std::min<int64_t>(c.count, 64 * SECTOR_SIZE - c.offset));
        }
    }
}

}  // namespace
