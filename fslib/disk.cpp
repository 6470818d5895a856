// Disks: the 7-slot disk table, the Sun label check, the bare file system
// without a label, and the partition start that every later device
// address is built on.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "fslib/bswap.h"
#include "fslib/fslib.h"
#include "fslib/internal.h"
#include "fslib/labels.h"
#include "fslib/platform.h"
#include "fslib/rescue.h"

namespace {

disk disk_table[NDISK];

// Where the magic number of a file system that starts at byte 0 lies.
constexpr int64_t BARE_MAGIC_AT = SBOFF + offsetof(fs_super, fs_magic);

// True when the device holds a UFS superblock at byte SBOFF.
bool bare_fs(fs_handle h)
{
    uint8_t word[4];
    uint32_t got;
    if (fsl::dev_load(h, BARE_MAGIC_AT, word, sizeof word, true, &got) != FSE_OK)
        return false;
    return fsl::ufs_magic_at(word);
}

// Makes `l` the label of a device that is one file system from its first
// byte: partition 0 spans the device, every other one is empty.
void bare_label(dk_label* l, int64_t bytes)
{
    std::memset(l, 0, sizeof *l);
    int64_t sectors = bytes / SECTOR_SIZE;
    l->dkl_map[0].dkl_nblk = sectors > INT32_MAX ? INT32_MAX : static_cast<int32_t>(sectors);
    if (l->dkl_map[0].dkl_nblk == 0)
        l->dkl_map[0].dkl_nblk = 1;   // a file system is there: never "empty"
    l->dkl_magic = DKL_MAGIC;
}

// Reads and checks the label, or takes the device as a bare file system.
// FSE_OK, or why the device holds neither.
int read_label(disk* d, const disk_choices* c)
{
    uint32_t got;
    if (fsl::forced_label(d, c))
        return FSE_OK;
    if (fsl::dev_load(d->handle, 0, d->label, LABEL_BUFSIZE, true, &got) != FSE_OK)
        return FSE_READ;
    uint8_t first[SECTOR_SIZE];   // as stored: the check converts in place
    std::memcpy(first, d->label, sizeof first);
    int rc = label_check(d->label);
    if (rc == FSE_OK)
        return FSE_OK;
    if (fsl::pc_label(d, first))
        return FSE_OK;
    if (fsl::backup_label(d, rc))
        return FSE_OK;
    if (!bare_fs(d->handle) && !fsl::ufs2_at(d->handle, 0))
        return rc;
    d->bare = true;
    bare_label(d->label, d->bytes);
    return FSE_OK;
}

}  // namespace

namespace fsl {

int64_t part_start(const dk_label* label, int part)
{
    uint64_t sectors = part_start_sectors(label, part);
    if (sectors > uint64_t{INT64_MAX} / SECTOR_SIZE)
        return -1;
    return static_cast<int64_t>(sectors * SECTOR_SIZE);
}

}  // namespace fsl

uint64_t part_start_sectors(const dk_label* label, int part)
{
    // (2^32 - 1) * (2^16 - 1)^2 still fits 64 bits: the product is exact.
    const dk_map& m = label->dkl_map[part];
    return uint64_t{static_cast<uint32_t>(m.dkl_cylno)} * label->dkl_nhead * label->dkl_nsect;
}

disk* disk_open_with(const char* path, const disk_choices* choices, disk_note* note)
{
    disk* d = fsl::first_free(disk_table, [](const disk& s) { return s.handle == FS_NOHANDLE; });
    if (!d) {
        fs_errno = FSE_NFILE;
        return nullptr;
    }
    auto* buf = static_cast<dk_label*>(std::calloc(1, LABEL_BUFSIZE));
    auto* slots = static_cast<disk_slot*>(std::calloc(NSLOT, sizeof(disk_slot)));
    if (!buf || !slots) {
        std::free(buf);
        std::free(slots);
        fs_errno = FSE_NOMEM;
        return nullptr;
    }
    fs_handle h = fsl::dev_open(path, choices->map, note);
    if (h == FS_NOHANDLE) {
        std::free(buf);
        std::free(slots);
        return nullptr;
    }
    *d = disk{h, buf, false, fsl::dev_size(h), SCHEME_SUN, 0, slots, {}, {FSE_OK, 0}, {}};
    std::memcpy(d->format, note->format, sizeof d->format);
    int rc = read_label(d, choices);
    if (rc != FSE_OK) {
        disk_close(d);
        fs_errno = rc;
        return nullptr;
    }
    if (d->scheme == SCHEME_SUN)
        fsl::sun_slots(d);
    fs_errno = FSE_OK;   // a disk that opens leaves no stale reason behind
    return d;
}

namespace {

// The Parts' convention on top of disk_open_with: a path the host refuses
// leaves fs_errno as it was, with the host's reason in errno.
disk* open_as_before(const char* path, const disk_choices* choices)
{
    int before = fs_errno;
    disk_note note;
    disk* d = disk_open_with(path, choices, &note);
    if (!d && fs_errno == FSE_HOST) {
        fs_errno = before;
        errno = fs_syserr;
    }
    return d;
}

}  // namespace

disk* disk_open(const char* path)
{
    disk_choices none{nullptr, false, 0};
    return open_as_before(path, &none);
}

disk* disk_open_at(const char* path, uint64_t sector)
{
    disk_choices at{nullptr, true, sector};
    return open_as_before(path, &at);
}

bool disk_ident(const disk* d, int index, uint64_t* dev, uint64_t* ino)
{
    return fsl::dev_ident(d->handle, index, dev, ino);
}

int disk_close(disk* d)
{
    fs_handle h = d->handle;
    d->handle = FS_NOHANDLE;
    std::free(d->label);
    d->label = nullptr;
    std::free(d->slots);
    d->slots = nullptr;
    d->bare = false;
    int rc = fsl::dev_close(h);
    if (rc != FSE_OK)
        fs_errno = rc;
    return rc == FSE_OK ? 1 : 0;
}

// Converts the label's numbers to host order in place.
static void label_swap(dk_label* l)
{
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
}

int label_check(dk_label* l)
{
    // XOR works per byte position, so the words can be combined as they
    // lie and compared with the checksum as stored.
    uint16_t sum = 0;
    const auto* raw = reinterpret_cast<const unsigned char*>(l);
    for (int i = 0; i < DKL_CKSUM_AT; i += 2) {
        uint16_t w;
        std::memcpy(&w, raw + i, 2);
        sum ^= w;
    }
    label_swap(l);
    if (l->dkl_magic != DKL_MAGIC)
        return FSE_MAGIC;   // the stronger reason: no label at all
    return sum == l->dkl_cksum ? FSE_OK : FSE_CHECKSUM;
}
