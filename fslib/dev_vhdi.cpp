// Virtual PC and Hyper-V disks (VHD fixed and dynamic, VHDX), through
// libvhdi.  A differencing disk's parent is read through when present and
// named when missing.
#include "fslib/container.h"
#include "fslib/internal.h"

#if SUNUFS_HAVE_LIBVHDI
#include <libvhdi.h>
#include <unistd.h>

namespace fsl {

namespace {

constexpr int MOST_PARENTS = 16;

class vhdi_device final : public container_device {
public:
    explicit vhdi_device(bool vhdx) : container_device(vhdx ? "VHDX" : "VHD") {}
    ~vhdi_device() override
    {
        for (auto it = chain_.rbegin(); it != chain_.rend(); ++it) {
            libvhdi_file_close(*it, nullptr);
            libvhdi_file_free(&*it, nullptr);
        }
    }
    vhdi_device(const vhdi_device&) = delete;
    vhdi_device& operator=(const vhdi_device&) = delete;

    std::string open(const char* path)
    {
        std::string damaged = std::string("a damaged ") + format() + " image";
        std::string at = path;
        for (int depth = 0; depth < MOST_PARENTS; depth++) {
            libvhdi_file_t* f = nullptr;
            if (libvhdi_file_initialize(&f, nullptr) != 1)
                return "out of memory";
            chain_.push_back(f);
            if (libvhdi_file_open(f, at.c_str(), LIBVHDI_OPEN_READ, nullptr) != 1)
                return depth == 0 ? damaged : "parent disk " + at + " is not readable";
            note_file(at);
            if (chain_.size() > 1 && libvhdi_file_set_parent_file(chain_[chain_.size() - 2], f, nullptr) != 1)
                return "parent disk " + at + " does not fit its child";
            size_t n = 0;
            if (libvhdi_file_get_utf8_parent_filename_size(f, &n, nullptr) != 1 || n <= 1)
                break;
            std::string name(n, '\0');
            if (libvhdi_file_get_utf8_parent_filename(f, reinterpret_cast<uint8_t*>(name.data()), n, nullptr) != 1)
                return damaged;
            name.resize(n - 1);
            std::string next = beside(at.c_str(), name);
            if (::access(next.c_str(), R_OK) != 0)
                return "parent disk " + next + " is missing";
            at = next;
        }
        size64_t bytes = 0;
        if (libvhdi_file_get_media_size(chain_.front(), &bytes, nullptr) != 1 || bytes > uint64_t{INT64_MAX})
            return damaged;
        bytes_ = static_cast<int64_t>(bytes);
        return "";
    }

protected:
    bool fetch(int64_t offset, void* buf, uint32_t count) override
    {
        return libvhdi_file_read_buffer_at_offset(chain_.front(), buf, count, offset, nullptr)
               == static_cast<ssize_t>(count);
    }

private:
    std::vector<libvhdi_file_t*> chain_;
};

}  // namespace

std::unique_ptr<device> vhdi_open(const char* path, bool vhdx, open_note* note)
{
    return open_reader<vhdi_device>(path, note, vhdx);
}

}  // namespace fsl

#else

std::unique_ptr<fsl::device> fsl::vhdi_open(const char*, bool vhdx, open_note* note)
{
    return container_failed(note, std::string("a ") + (vhdx ? "VHDX" : "VHD")
                                      + " image, and this build reads none: install libvhdi-dev and build again");
}

#endif
