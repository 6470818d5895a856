// VMware disks (monolithic sparse, stream-optimized, and descriptors with
// extent files), through libvmdk.  Missing extent files are named.
#include "fslib/container.h"
#include "fslib/internal.h"

#if SUNUFS_HAVE_LIBVMDK
#include <libvmdk.h>
#include <unistd.h>

namespace fsl {

namespace {

class vmdk_device final : public container_device {
public:
    vmdk_device() : container_device("VMDK") {}
    ~vmdk_device() override
    {
        if (h_) {
            libvmdk_handle_close(h_, nullptr);
            libvmdk_handle_free(&h_, nullptr);
        }
    }
    vmdk_device(const vmdk_device&) = delete;
    vmdk_device& operator=(const vmdk_device&) = delete;

    std::string open(const char* path)
    {
        const std::string damaged = "a damaged VMDK image";
        if (libvmdk_handle_initialize(&h_, nullptr) != 1)
            return "out of memory";
        if (libvmdk_handle_open(h_, path, LIBVMDK_OPEN_READ, nullptr) != 1)
            return damaged;
        note_file(path);
        std::string dir = beside(path, "");
        if (!dir.empty() && libvmdk_handle_set_extent_data_files_path(h_, dir.c_str(), dir.size(), nullptr) != 1)
            return damaged;
        std::string missing = missing_extents(path);
        if (!missing.empty())
            return missing;
        if (libvmdk_handle_open_extent_data_files(h_, nullptr) != 1)
            return damaged;
        size64_t bytes = 0;
        if (libvmdk_handle_get_media_size(h_, &bytes, nullptr) != 1 || bytes > uint64_t{INT64_MAX})
            return damaged;
        bytes_ = static_cast<int64_t>(bytes);
        return "";
    }

protected:
    bool fetch(int64_t offset, void* buf, uint32_t count) override
    {
        return libvmdk_handle_read_buffer_at_offset(h_, buf, count, offset, nullptr) == static_cast<ssize_t>(count);
    }

private:
    libvmdk_handle_t* h_ = nullptr;

    // The extent files the descriptor names that are not there, as one
    // message; "" when all are (each is noted as a host file).
    std::string missing_extents(const char* path)
    {
        int n = 0;
        if (libvmdk_handle_get_number_of_extents(h_, &n, nullptr) != 1)
            return "a damaged VMDK image";
        std::string gone;
        for (int i = 0; i < n; i++) {
            libvmdk_extent_descriptor_t* e = nullptr;
            if (libvmdk_handle_get_extent_descriptor(h_, i, &e, nullptr) != 1)
                return "a damaged VMDK image";
            size_t len = 0;
            std::string name;
            if (libvmdk_extent_descriptor_get_utf8_filename_size(e, &len, nullptr) == 1 && len > 1) {
                name.assign(len, '\0');
                if (libvmdk_extent_descriptor_get_utf8_filename(e, reinterpret_cast<uint8_t*>(name.data()), len, nullptr) == 1)
                    name.resize(len - 1);
                else
                    name.clear();
            }
            libvmdk_extent_descriptor_free(&e, nullptr);
            if (name.empty())
                continue;
            std::string file = beside(path, name);
            if (::access(file.c_str(), R_OK) == 0)
                note_file(file);
            else
                gone += (gone.empty() ? "" : ", ") + file;
        }
        return gone.empty() ? "" : "extent files missing: " + gone;
    }
};

}  // namespace

std::unique_ptr<device> vmdk_open(const char* path, open_note* note)
{
    return open_reader<vmdk_device>(path, note);
}

}  // namespace fsl

#else

std::unique_ptr<fsl::device> fsl::vmdk_open(const char*, open_note* note)
{
    return container_failed(note, "a VMDK image, and this build reads none: install libvmdk-dev and build again");
}

#endif
