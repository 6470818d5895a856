#include "fslib/platform.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
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

}  // namespace

void dev_fault_set(uint64_t nth, dev_fault_kind kind)
{
    fault.left = nth;
    fault.kind = nth == 0 ? dev_fault_kind::none : kind;
}

void dev_fault_clear() { fault = fault_plan{}; }

// Descriptors are stored as descriptor + 1 so that an all-zero table means
// "all free" while descriptor 0 remains a usable handle.
static int fd_of(fs_handle h) { return h - 1; }

fs_handle dev_open(const char* path)
{
    // Non-blocking for the open alone, so that a named pipe cannot make it
    // wait for a writer for ever.
    int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return FS_NOHANDLE;
    // Only files and devices are disks.  A directory or a pipe opens
    // read-only on POSIX all the same: refuse it here, with the host's
    // reason, like any other path that is not a disk.
    struct stat st;
    if (::fstat(fd, &st) == 0 && (S_ISDIR(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))) {
        ::close(fd);
        errno = S_ISDIR(st.st_mode) ? EISDIR : ENODEV;
        return FS_NOHANDLE;
    }
    int fl = ::fcntl(fd, F_GETFL);
    if (fl != -1)
        ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    return fd + 1;
}

bool dev_seek(fs_handle h, int32_t offset)
{
    if (offset < 0 || fault_hits(true)) {
        if (fault.kind == dev_fault_kind::seek)
            fault.kind = dev_fault_kind::none;
        errno = EINVAL;
        return false;
    }
    return ::lseek(fd_of(h), static_cast<off_t>(offset), SEEK_SET) == offset;
}

int32_t dev_read(fs_handle h, void* buf, uint32_t count)
{
    auto* p = static_cast<unsigned char*>(buf);
    uint32_t done = 0;
    ++dev_reads;
    dev_fault_kind injected = dev_fault_kind::none;
    if (fault_hits(false)) {
        injected = fault.kind;
        fault.kind = dev_fault_kind::none;
    }
    if (injected == dev_fault_kind::error) {
        errno = EIO;
        dev_lastread = -1;
        return -1;
    }
    if (injected == dev_fault_kind::zero) {
        dev_lastread = 0;
        return 0;
    }
    while (done < count) {
        uint32_t ask = count - done;
        if (injected == dev_fault_kind::half && done == 0 && ask > 1)
            ask /= 2;   // a short transfer; the loop asks again for the rest
        if (injected == dev_fault_kind::interrupt && done == 0) {
            injected = dev_fault_kind::none;
            errno = EINTR;
            continue;   // as the call below does on EINTR
        }
        ssize_t n = ::read(fd_of(h), p + done, ask);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            dev_lastread = -1;
            return -1;
        }
        if (n == 0)
            break;
        done += static_cast<uint32_t>(n);
    }
    dev_lastread = static_cast<int32_t>(done);
    return dev_lastread;
}

int dev_close(fs_handle h)
{
    return ::close(fd_of(h)) == 0 ? 1 : 0;
}

}  // namespace fsl
