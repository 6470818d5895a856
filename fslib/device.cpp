// Open devices by handle, and the sector memory: after a read of several
// sectors fails, each of them is asked for once on its own, so that one bad
// sector costs one sector; a sector found bad is never asked for again.
#include <algorithm>
#include <sys/sysmacros.h>
#include <cstdio>
#include <cstring>
#include <set>

#include "fslib/device.h"
#include "fslib/internal.h"
#include "fslib/platform.h"

namespace fsl {

namespace {

// One stack per open disk or scan; handle = slot + 1.
constexpr int NSTACK = NDISK + 2;
std::unique_ptr<device> stacks[NSTACK];

device* stack_of(fs_handle h)
{
    return h >= 1 && h <= NSTACK ? stacks[h - 1].get() : nullptr;
}

class sector_memory final : public layer {
public:
    using layer::layer;

    int read(int64_t offset, void* buf, uint32_t count, uint32_t* got, sector_list* failed) override
    {
        *got = 0;
        if (offset < 0)
            return FSE_SEEK;
        if (count > 0 && known_bad(offset, count))
            return around_known(offset, static_cast<unsigned char*>(buf), count, got, failed);
        sector_list found;
        int rc = lower->read(offset, buf, count, got, &found);
        if (rc == FSE_READ && found.empty() && first_sector(offset) + 1 == end_sector(offset, count)) {
            std::memset(buf, 0, count);   // one sector: it is the one that failed
            found.push_back(first_sector(offset));
            *got = count;
        }
        if (rc != FSE_READ || !found.empty()) {
            remember(found);
            failed->insert(failed->end(), found.begin(), found.end());
            return rc;
        }
        return by_sector(offset, static_cast<unsigned char*>(buf), count, got, failed);
    }

    // What the layers below can tell, with the sectors already found bad.
    bool probe(int64_t offset, uint32_t count, sector_list* failed) override
    {
        if (offset < 0 || count == 0 || !lower->probe(offset, count, failed))
            return false;
        for (auto it = bad_.lower_bound(first_sector(offset)); it != bad_.end() && *it < end_sector(offset, count); ++it)
            failed->push_back(*it);
        std::sort(failed->begin(), failed->end());
        failed->erase(std::unique(failed->begin(), failed->end()), failed->end());
        return true;
    }

private:
    std::set<uint64_t> bad_;   // sectors that failed in this stack

    bool known_bad(int64_t offset, uint32_t count) const
    {
        auto it = bad_.lower_bound(first_sector(offset));
        return it != bad_.end() && *it < end_sector(offset, count);
    }

    void remember(const sector_list& s) { bad_.insert(s.begin(), s.end()); }

    // A read that touches sectors known to be bad: they read as zeros and
    // are not asked for again; each run of the others is read as one.
    int around_known(int64_t offset, unsigned char* p, uint32_t count, uint32_t* got, sector_list* failed)
    {
        auto from = static_cast<uint64_t>(offset);
        uint64_t end = from + count;
        uint64_t at = from;
        bool lost = false;
        while (at < end) {
            uint64_t s = at / SECTOR_SIZE;
            if (bad_.count(s)) {
                uint64_t stop = (s + 1) * SECTOR_SIZE < end ? (s + 1) * SECTOR_SIZE : end;
                std::memset(p + (at - from), 0, stop - at);
                failed->push_back(s);
                lost = true;
                at = stop;
                continue;
            }
            auto next = bad_.lower_bound(s);
            uint64_t stop = next == bad_.end() || *next * SECTOR_SIZE >= end ? end : *next * SECTOR_SIZE;
            uint32_t n = 0;
            int rc = read(static_cast<int64_t>(at), p + (at - from), static_cast<uint32_t>(stop - at), &n, failed);
            if (rc == FSE_SEEK && at == from)
                return FSE_SEEK;
            lost = lost || rc == FSE_READ;
            at += n;
            if (rc == FSE_SEEK || at < stop)
                break;   // the end of the device
        }
        *got = static_cast<uint32_t>(at - from);
        return lost ? FSE_READ : FSE_OK;
    }

    // Each sector of the read on its own; failed ones read as zeros.
    int by_sector(int64_t offset, unsigned char* p, uint32_t count, uint32_t* got, sector_list* failed)
    {
        uint64_t end = static_cast<uint64_t>(offset) + count;
        uint32_t done = 0;
        bool lost = false;
        for (uint64_t s = first_sector(offset); s < end_sector(offset, count); s++) {
            uint64_t from = s * SECTOR_SIZE > static_cast<uint64_t>(offset) ? s * SECTOR_SIZE : static_cast<uint64_t>(offset);
            uint64_t to = (s + 1) * SECTOR_SIZE < end ? (s + 1) * SECTOR_SIZE : end;
            auto piece = static_cast<uint32_t>(to - from);
            uint32_t n = 0;
            sector_list one;
            int rc = bad_.count(s) ? FSE_READ
                                   : lower->read(static_cast<int64_t>(from), p + done, piece, &n, &one);
            if (rc == FSE_SEEK && done == 0 && !lost)
                return FSE_SEEK;
            if (rc == FSE_SEEK)
                break;
            if (rc == FSE_READ) {
                std::memset(p + done, 0, piece);
                bad_.insert(s);
                failed->push_back(s);
                lost = true;
                n = piece;
            }
            done += n;
            if (n < piece)
                break;   // the end of the device
        }
        *got = done;
        return lost ? FSE_READ : FSE_OK;
    }
};

// Ends the read of an open handle: what dev_load reports of it.
int finish(int rc, uint32_t count, bool exact, uint32_t* got)
{
    if (rc == FSE_READ)
        *got = 0;
    if (rc == FSE_OK && exact && *got != count)
        return FSE_READ;
    return rc;
}

}  // namespace

void zero_sector(void* buf, int64_t offset, uint32_t count, uint64_t s)
{
    uint64_t from = s * SECTOR_SIZE;
    uint64_t to = from + SECTOR_SIZE;
    auto lo = static_cast<uint64_t>(offset);
    uint64_t hi = lo + count;
    if (from < lo)
        from = lo;
    if (to > hi)
        to = hi;
    if (from < to)
        std::memset(static_cast<unsigned char*>(buf) + (from - lo), 0, to - from);
}

std::unique_ptr<device> sector_layer(std::unique_ptr<device> d)
{
    return std::unique_ptr<device>(new (std::nothrow) sector_memory(std::move(d)));
}

fs_handle dev_open(const char* path, const fs_map* map, disk_note* note)
{
    *note = disk_note{};
    int slot = 0;
    while (slot < NSTACK && stacks[slot])
        slot++;
    if (slot == NSTACK) {
        fs_errno = FSE_NFILE;
        return FS_NOHANDLE;
    }
    std::unique_ptr<device> d = host_open(path);
    if (d)
        d = container_open(path, std::move(d), note);
    if (d && map)
        d = map_layer(std::move(d), map);
    if (d)
        d = sector_layer(std::move(d));
    if (d)
        d = outer_layer(std::move(d));
    if (!d) {
        if (fs_errno == FSE_OK)
            fs_errno = FSE_NOMEM;
        return FS_NOHANDLE;
    }
    std::snprintf(note->format, sizeof note->format, "%s", d->format());
    note->size = d->size();
    stacks[slot] = std::move(d);
    return slot + 1;
}

int64_t dev_size(fs_handle h)
{
    device* d = stack_of(h);
    return d ? d->size() : 0;
}

int dev_read(fs_handle h, int64_t offset, void* buf, uint32_t count, uint32_t* got, sector_list* failed)
{
    *got = 0;
    device* d = stack_of(h);
    if (!d)
        return FSE_SEEK;
    return d->read(offset, buf, count, got, failed);
}

bool dev_probe(fs_handle h, int64_t offset, uint32_t count, sector_list* failed)
{
    device* d = stack_of(h);
    return d && d->probe(offset, count, failed);
}

int dev_load(fs_handle h, int64_t offset, void* buf, uint32_t count, bool exact, uint32_t* got)
{
    sector_list failed;
    return finish(dev_read(h, offset, buf, count, got, &failed), count, exact, got);
}

bool dev_ident(fs_handle h, int index, uint64_t* dev, uint64_t* ino)
{
    device* d = stack_of(h);
    return d && d->host_file(index, dev, ino);
}

uint32_t dev_home(fs_handle h)
{
    device* d = stack_of(h);
    return d ? d->home() : 0;
}

uint32_t home_number(uint64_t dev)
{
    auto major_no = static_cast<uint32_t>(major(dev)), minor_no = static_cast<uint32_t>(minor(dev));
    return (minor_no & 0xff) | (major_no & 0xfff) << 8 | (minor_no & ~uint32_t{0xff}) << 12;
}

int dev_close(fs_handle h)
{
    device* d = stack_of(h);
    if (!d)
        return FSE_OK;
    bool ok = d->shut();
    stacks[h - 1].reset();
    return ok ? FSE_OK : FSE_READ;
}

}  // namespace fsl
