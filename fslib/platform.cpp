#include "fslib/platform.h"
#include "fslib/internal.h"

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace fsl {

int32_t dev_lastread = 0;
uint64_t dev_reads = 0;

namespace {

// The injected fault, if any: `left` counts down the calls of its kind.
struct fault_plan {
    uint64_t left = 0;
    dev_fault_kind kind = dev_fault_kind::none;
};
fault_plan fault;

// True when this call is the one the plan names; the plan is then spent.
bool fault_hits(bool seek_call)
{
    if (fault.kind == dev_fault_kind::none || (fault.kind == dev_fault_kind::seek) != seek_call)
        return false;
    if (--fault.left != 0)
        return false;
    return true;
}

// Sizes of the open devices, by handle; a handle not found has no limit
// of its own.
struct dev_entry {
    fs_handle h = FS_NOHANDLE;
    int64_t bytes = 0;
};
std::array<dev_entry, NDISK> sizes;   // one device per open disk

int64_t host_size(int fd)
{
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return 0;
    if (S_ISBLK(st.st_mode)) {
        uint64_t bytes = 0;
        if (::ioctl(fd, BLKGETSIZE64, &bytes) == 0 && bytes <= uint64_t{INT64_MAX})
            return static_cast<int64_t>(bytes);
        return 0;
    }
    return S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : 0;
}

void remember_size(fs_handle h, int64_t bytes)
{
    for (dev_entry& e : sizes) {
        if (e.h == FS_NOHANDLE || e.h == h) {
            e = dev_entry{h, bytes};
            return;
        }
    }
}

// Descriptors are stored as descriptor + 1 so that an all-zero table means
// "all free" while descriptor 0 remains a usable handle.
int fd_of(fs_handle h) { return h - 1; }

// The positioning rule: an offset the device cannot hold is refused.
bool position_ok(fs_handle h, int64_t offset)
{
    if (offset < 0)
        return false;
    if (fault_hits(true)) {
        fault.kind = dev_fault_kind::none;
        return false;
    }
    int64_t limit = dev_size(h);
    return limit == 0 || offset <= limit;
}

// One read call with the injected fault applied: -1 (errno set) or bytes.
ssize_t read_call(int fd, unsigned char* p, size_t ask, int64_t at, dev_fault_kind& injected)
{
    if (injected == dev_fault_kind::half && ask > 1)
        ask /= 2;   // a short transfer; the caller asks again for the rest
    if (injected == dev_fault_kind::interrupt) {
        injected = dev_fault_kind::none;
        errno = EINTR;
        return -1;
    }
    injected = dev_fault_kind::none;
    return ::pread(fd, p, ask, static_cast<off_t>(at));
}

// Reads up to `count` bytes at `offset`, on past short transfers until the
// end of the device; -1 when a read call fails.
int64_t read_at(fs_handle h, int64_t offset, void* buf, uint32_t count)
{
    ++dev_reads;
    dev_fault_kind injected = dev_fault_kind::none;
    if (fault_hits(false)) {
        injected = fault.kind;
        fault.kind = dev_fault_kind::none;
    }
    if (injected == dev_fault_kind::error || map_unreadable(offset, count)) {
        errno = EIO;
        return -1;
    }
    if (injected == dev_fault_kind::zero)
        return 0;
    auto* p = static_cast<unsigned char*>(buf);
    uint32_t done = 0;
    while (done < count) {
        ssize_t n = read_call(fd_of(h), p + done, count - done, offset + done, injected);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += static_cast<uint32_t>(n);
    }
    return done;
}

}  // namespace

void dev_fault_set(uint64_t nth, dev_fault_kind kind)
{
    fault.left = nth;
    fault.kind = nth == 0 ? dev_fault_kind::none : kind;
}

void dev_fault_clear() { fault = fault_plan{}; }

fs_handle dev_open(const char* path)
{
    // Non-blocking for the open alone, so that a named pipe cannot make it
    // wait for a writer for ever.
    int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return FS_NOHANDLE;
    // Only files and devices are disks.  A directory or a pipe opens
    // read-only all the same: refuse it here, with the host's reason, like
    // any other path that is not a disk.
    struct stat st;
    if (::fstat(fd, &st) == 0 && (S_ISDIR(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))) {
        ::close(fd);
        errno = S_ISDIR(st.st_mode) ? EISDIR : ENODEV;
        return FS_NOHANDLE;
    }
    int fl = ::fcntl(fd, F_GETFL);
    if (fl != -1)
        ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    remember_size(fd + 1, host_size(fd));
    // Files are read front to back, block after block: let the host read
    // ahead further.
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return fd + 1;
}

bool dev_ident(fs_handle h, uint64_t* dev, uint64_t* ino)
{
    struct stat st;
    if (h == FS_NOHANDLE || ::fstat(h - 1, &st) != 0)
        return false;
    *dev = st.st_dev;
    *ino = st.st_ino;
    return true;
}

uint32_t dev_home(fs_handle h)
{
    struct stat st;
    if (h == FS_NOHANDLE || ::fstat(h - 1, &st) != 0)
        return 0;
    dev_t d = S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode) ? st.st_rdev : st.st_dev;
    auto major_no = static_cast<uint32_t>(major(d)), minor_no = static_cast<uint32_t>(minor(d));
    return (minor_no & 0xff) | (major_no & 0xfff) << 8 | (minor_no & ~uint32_t{0xff}) << 12;
}

int64_t dev_size(fs_handle h)
{
    for (const dev_entry& e : sizes) {
        if (e.h == h)
            return e.bytes;
    }
    return 0;
}

int dev_load(fs_handle h, int64_t offset, void* buf, uint32_t count, bool exact, uint32_t* got)
{
    *got = 0;
    if (!position_ok(h, offset))
        return FSE_SEEK;
    int64_t n = read_at(h, offset, buf, count);
    dev_lastread = static_cast<int32_t>(n);
    if (n < 0)
        return FSE_READ;
    *got = static_cast<uint32_t>(n);
    if (exact && *got != count)
        return FSE_READ;
    return FSE_OK;
}

int dev_close(fs_handle h)
{
    for (dev_entry& e : sizes) {
        if (e.h == h)
            e = dev_entry{};
    }
    return ::close(fd_of(h)) == 0 ? FSE_OK : FSE_READ;
}

}  // namespace fsl
