// EnCase images (E01 and Ex01, with their segments .E02, .E03...), through
// libewf.  Every segment is a host file of the disk.
#include "fslib/container.h"
#include "fslib/internal.h"

#if SUNUFS_HAVE_LIBEWF
#include <cstring>
#include <libewf.h>

namespace fsl {

namespace {

class ewf_device final : public container_device {
public:
    explicit ewf_device(bool ex01) : container_device(ex01 ? "Ex01" : "E01") {}
    ~ewf_device() override
    {
        if (h_) {
            libewf_handle_close(h_, nullptr);
            libewf_handle_free(&h_, nullptr);
        }
    }
    ewf_device(const ewf_device&) = delete;
    ewf_device& operator=(const ewf_device&) = delete;

    std::string open(const char* path)
    {
        std::string damaged = std::string("a damaged ") + format() + " image";
        char** names = nullptr;
        int n = 0;
        if (libewf_glob(path, std::strlen(path), LIBEWF_FORMAT_UNKNOWN, &names, &n, nullptr) != 1 || n <= 0)
            return damaged;
        for (int i = 0; i < n; i++)
            note_file(names[i]);
        bool ok = libewf_handle_initialize(&h_, nullptr) == 1
                  && libewf_handle_open(h_, names, n, LIBEWF_OPEN_READ, nullptr) == 1;
        libewf_glob_free(names, n, nullptr);
        if (!ok)
            return damaged + " (a segment may be missing)";
        size64_t bytes = 0;
        if (libewf_handle_get_media_size(h_, &bytes, nullptr) != 1 || bytes > uint64_t{INT64_MAX})
            return damaged;
        bytes_ = static_cast<int64_t>(bytes);
        return "";
    }

protected:
    bool fetch(int64_t offset, void* buf, uint32_t count) override
    {
        return libewf_handle_read_random(h_, buf, count, offset, nullptr) == static_cast<ssize_t>(count);
    }

private:
    libewf_handle_t* h_ = nullptr;
};

}  // namespace

std::unique_ptr<device> ewf_open(const char* path, bool ex01, open_note* note)
{
    return open_reader<ewf_device>(path, note, ex01);
}

}  // namespace fsl

#else

std::unique_ptr<fsl::device> fsl::ewf_open(const char*, bool ex01, open_note* note)
{
    return container_failed(note, std::string("an ") + (ex01 ? "Ex01" : "E01")
                                      + " image, and this build reads none: install libewf-dev and build again");
}

#endif
