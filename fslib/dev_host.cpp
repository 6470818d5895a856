// The bottom of a plain stack: a host file or block device, read with
// positioned 64-bit reads.  The one rule for where a read may start lives
// here: at no negative offset and nowhere past the device's end.
#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fslib/device.h"
#include "fslib/internal.h"

namespace fsl {

namespace {

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

class host_device final : public device {
public:
    explicit host_device(int fd) : fd_(fd), bytes_(host_size(fd)) {}
    ~host_device() override { shut(); }
    host_device(const host_device&) = delete;
    host_device& operator=(const host_device&) = delete;

    int read(int64_t offset, void* buf, uint32_t count, uint32_t* got, sector_list*) override
    {
        *got = 0;
        if (offset < 0 || (bytes_ != 0 && offset > bytes_))
            return FSE_SEEK;
        auto* p = static_cast<unsigned char*>(buf);
        uint32_t done = 0;
        while (done < count) {
            ssize_t n = ::pread(fd_, p + done, count - done, static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return FSE_READ;
            if (n == 0)
                break;
            done += static_cast<uint32_t>(n);
        }
        *got = done;
        return FSE_OK;
    }

    int64_t size() const override { return bytes_; }

    bool host_file(int index, uint64_t* dev, uint64_t* ino) const override
    {
        struct stat st;
        if (index != 0 || ::fstat(fd_, &st) != 0)
            return false;
        *dev = st.st_dev;
        *ino = st.st_ino;
        return true;
    }

    // A block or character device's own number, else the device of the
    // file system the image file lies on.
    uint32_t home() const override
    {
        struct stat st;
        if (::fstat(fd_, &st) != 0)
            return 0;
        return home_number(S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode) ? st.st_rdev : st.st_dev);
    }

    bool shut() override
    {
        int fd = fd_;
        fd_ = -1;
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int fd_;
    int64_t bytes_;
};

}  // namespace

std::unique_ptr<device> host_open(const char* path)
{
    // Non-blocking for the open alone, so that a named pipe cannot make it
    // wait for a writer for ever.
    int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        fs_host_failed(errno);
        return nullptr;
    }
    // Only files and devices are disks.  A directory or a pipe opens
    // read-only all the same: refuse it here, with the host's reason, like
    // any other path that is not a disk.
    struct stat st;
    if (::fstat(fd, &st) == 0 && (S_ISDIR(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))) {
        ::close(fd);
        fs_host_failed(S_ISDIR(st.st_mode) ? EISDIR : ENODEV);
        return nullptr;
    }
    int fl = ::fcntl(fd, F_GETFL);
    if (fl != -1)
        ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    // Files are read front to back, block after block: let the host read
    // ahead further.
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    auto d = std::unique_ptr<device>(new (std::nothrow) host_device(fd));
    if (!d) {
        ::close(fd);
        fs_errno = FSE_NOMEM;
    }
    return d;
}

}  // namespace fsl
