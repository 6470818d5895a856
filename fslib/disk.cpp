// Disks: the 7-slot disk table, the Sun label check and the partition
// start that every later device address is built on.
#include <cstdlib>

#include "fslib/bswap.h"
#include "fslib/fslib.h"
#include "fslib/internal.h"
#include "fslib/platform.h"

namespace {
disk disk_table[NDISK];
}

namespace fsl {

int32_t part_start_bytes(const dk_label* label, int part)
{
    return static_cast<int32_t>(part_start_sectors(label, part) * 512u);
}

uint64_t part_start_exact(const dk_label* label, int part)
{
    const dk_map& m = label->dkl_map[part];
    return uint64_t{static_cast<uint32_t>(m.dkl_cylno)} * label->dkl_nhead * label->dkl_nsect * 512u;
}

int dev_load(fs_handle h, int32_t offset, void* buf, uint32_t count, bool exact,
             int32_t* got)
{
    *got = 0;
    if (!dev_seek(h, offset))
        return FSE_SEEK;
    int32_t n = dev_read(h, buf, count);
    if (n < 0)
        return FSE_READ;
    *got = n;
    if (exact && static_cast<uint32_t>(n) != count)
        return FSE_READ;
    return FSE_OK;
}

}  // namespace fsl

uint32_t part_start_sectors(const dk_label* label, int part)
{
    const dk_map& m = label->dkl_map[part];
    return static_cast<uint32_t>(m.dkl_cylno) * label->dkl_nhead * label->dkl_nsect;
}

disk* disk_open(const char* path)
{
    disk* d = nullptr;
    for (disk& slot : disk_table) {
        if (slot.handle == FS_NOHANDLE) {
            d = &slot;
            break;
        }
    }
    if (!d) {
        fs_errno = FSE_NFILE;
        return nullptr;
    }
    auto* buf = static_cast<dk_label*>(std::calloc(1, LABEL_BUFSIZE));
    if (!buf) {
        fs_errno = FSE_NOMEM;
        return nullptr;
    }
    fs_handle h = fsl::dev_open(path);
    if (h == FS_NOHANDLE) {
        std::free(buf);
        return nullptr;   // the caller reports the host's own reason
    }
    d->handle = h;
    d->label = buf;
    if (fsl::dev_read(h, buf, LABEL_BUFSIZE) != LABEL_BUFSIZE) {
        fs_errno = FSE_READ;
        disk_close(d);
        return nullptr;
    }
    if (!label_check(buf)) {
        disk_close(d);
        return nullptr;
    }
    return d;
}

int disk_close(disk* d)
{
    fs_handle h = d->handle;
    d->handle = FS_NOHANDLE;
    std::free(d->label);
    d->label = nullptr;
    return fsl::dev_close(h);
}

int label_check(dk_label* l)
{
    // XOR works per byte position, so the words can be combined as they
    // lie and compared with the checksum as stored.
    uint16_t sum = 0;
    const auto* raw = reinterpret_cast<const unsigned char*>(l);
    for (int i = 0; i < 510; i += 2) {
        uint16_t w;
        std::memcpy(&w, raw + i, 2);
        sum ^= w;
    }

    using fsl::swap_field;
    swap_field(l->dkl_rpm);
    swap_field(l->dkl_pcyl);
    swap_field(l->dkl_apc);
    swap_field(l->dkl_intrlv);
    swap_field(l->dkl_ncyl);
    swap_field(l->dkl_acyl);
    swap_field(l->dkl_nhead);
    swap_field(l->dkl_nsect);
    for (dk_map& m : l->dkl_map) {
        swap_field(m.dkl_cylno);
        swap_field(m.dkl_nblk);
    }
    swap_field(l->dkl_magic);

    fs_errno = FSE_OK;
    if (sum != l->dkl_cksum)
        fs_errno = FSE_CHECKSUM;
    if (l->dkl_magic != DKL_MAGIC)
        fs_errno = FSE_MAGIC;
    return fs_errno == FSE_OK ? 1 : 0;
}
