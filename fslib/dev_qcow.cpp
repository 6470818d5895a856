// QEMU qcow2 images (and the older qcow), through libqcow.  A backing file
// is read through when present and named when missing.
#include "fslib/container.h"
#include "fslib/internal.h"

#if SUNUFS_HAVE_LIBQCOW
#include <libqcow.h>
#include <unistd.h>

namespace fsl {

namespace {

// Backing files followed at most: a longer chain is taken as a loop.
constexpr int MOST_BACKING = 16;

class qcow_device final : public container_device {
public:
    qcow_device() : container_device("qcow2") {}
    ~qcow_device() override
    {
        for (auto it = chain_.rbegin(); it != chain_.rend(); ++it) {
            libqcow_file_close(*it, nullptr);
            libqcow_file_free(&*it, nullptr);
        }
    }
    qcow_device(const qcow_device&) = delete;
    qcow_device& operator=(const qcow_device&) = delete;

    // Opens `path` and its backing files; "" or why not.
    std::string open(const char* path)
    {
        std::string at = path;
        for (int depth = 0; depth < MOST_BACKING; depth++) {
            libqcow_file_t* f = nullptr;
            if (libqcow_file_initialize(&f, nullptr) != 1)
                return "out of memory";
            chain_.push_back(f);
            if (libqcow_file_open(f, at.c_str(), LIBQCOW_OPEN_READ, nullptr) != 1)
                return depth == 0 ? "a damaged qcow2 image" : "backing file " + at + " is not a readable qcow2 image";
            note_file(at);
            if (chain_.size() > 1 && libqcow_file_set_parent_file(chain_[chain_.size() - 2], f, nullptr) != 1)
                return "backing file " + at + " does not fit its image";
            size_t n = 0;
            if (libqcow_file_get_utf8_backing_filename_size(f, &n, nullptr) != 1 || n <= 1)
                break;
            std::string name(n, '\0');
            if (libqcow_file_get_utf8_backing_filename(f, reinterpret_cast<uint8_t*>(name.data()), n, nullptr) != 1)
                return "a damaged qcow2 image";
            name.resize(n - 1);
            std::string next = beside(at.c_str(), name);
            if (::access(next.c_str(), R_OK) != 0)
                return "backing file " + next + " is missing";
            at = next;
        }
        size64_t bytes = 0;
        if (libqcow_file_get_media_size(chain_.front(), &bytes, nullptr) != 1 || bytes > uint64_t{INT64_MAX})
            return "a damaged qcow2 image";
        bytes_ = static_cast<int64_t>(bytes);
        return "";
    }

protected:
    bool fetch(int64_t offset, void* buf, uint32_t count) override
    {
        ssize_t n = libqcow_file_read_buffer_at_offset(chain_.front(), buf, count, offset, nullptr);
        return n == static_cast<ssize_t>(count);
    }

private:
    std::vector<libqcow_file_t*> chain_;
};

}  // namespace

std::unique_ptr<device> qcow_open(const char* path, open_note* note)
{
    return open_reader<qcow_device>(path, note);
}

}  // namespace fsl

#else

std::unique_ptr<fsl::device> fsl::qcow_open(const char*, open_note* note)
{
    return container_failed(note, "a qcow2 image, and this build reads none: install libqcow-dev and build again");
}

#endif
