// Which container a file is, told by its own magic and never by its name,
// and the parts every container reader shares.
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "fslib/container.h"
#include "fslib/internal.h"

namespace fsl {

namespace {

enum class kind { plain, qcow, vhd, vhdx, vmdk, ewf, ex01, chd };

bool starts(const uint8_t* b, uint32_t got, const char* magic, size_t n)
{
    return got >= n && std::memcmp(b, magic, n) == 0;
}

// The kind of the file behind `d`, from its first sector and (for a
// fixed VHD, which has only a footer) its last.
kind sniff(device* d)
{
    uint8_t head[SECTOR_SIZE] = {};
    uint32_t got = 0;
    sector_list failed;
    if (d->read(0, head, sizeof head, &got, &failed) != FSE_OK)
        return kind::plain;
    if (starts(head, got, "QFI\xfb", 4))
        return kind::qcow;
    if (starts(head, got, "vhdxfile", 8))
        return kind::vhdx;
    if (starts(head, got, "conectix", 8))
        return kind::vhd;
    if (starts(head, got, "KDMV", 4) || starts(head, got, "COWD", 4) || starts(head, got, "# Disk DescriptorFile", 21))
        return kind::vmdk;
    if (starts(head, got, "EVF\x09\x0d\x0a\xff\x00", 8))
        return kind::ewf;
    if (starts(head, got, "EVF2\x0d\x0a\x81\x00", 8))
        return kind::ex01;
    if (starts(head, got, "MComprHD", 8))
        return kind::chd;
    int64_t end = d->size();
    uint8_t tail[SECTOR_SIZE] = {};
    if (end >= SECTOR_SIZE && d->read(end - SECTOR_SIZE, tail, sizeof tail, &got, &failed) == FSE_OK
        && starts(tail, got, "conectix", 8))
        return kind::vhd;
    return kind::plain;
}

}  // namespace

std::nullptr_t container_failed(open_note* note, const std::string& text)
{
    std::snprintf(note->text, sizeof note->text, "%s", text.c_str());
    fs_errno = FSE_CONTAINER;
    return nullptr;
}

std::string beside(const char* path, const std::string& name)
{
    if (!name.empty() && name[0] == '/')
        return name;
    const char* slash = std::strrchr(path, '/');
    return slash ? std::string(path, static_cast<size_t>(slash - path + 1)) + name : name;
}

int container_device::read(int64_t offset, void* buf, uint32_t count, uint32_t* got, sector_list*)
{
    *got = 0;
    if (offset < 0 || offset > bytes_)
        return FSE_SEEK;
    uint32_t n = bytes_ - offset < count ? static_cast<uint32_t>(bytes_ - offset) : count;
    bool inside = window_at_ >= 0 && offset >= window_at_ && offset + n <= window_at_ + window_len_;
    if (!inside && n < WINDOW && load_window(offset))
        inside = offset + n <= window_at_ + window_len_;
    if (inside && n > 0)
        std::memcpy(buf, window_.data() + (offset - window_at_), n);
    else if (n > 0 && !fetch(offset, buf, n))
        return FSE_READ;
    *got = n;
    return FSE_OK;
}

bool container_device::load_window(int64_t at)
{
    window_at_ = -1;
    if (window_.size() != WINDOW)
        window_.resize(WINDOW);
    at -= at % WINDOW;
    auto len = static_cast<uint32_t>(bytes_ - at < WINDOW ? bytes_ - at : WINDOW);
    if (!fetch(at, window_.data(), len))
        return false;   // read again for exactly what was asked
    window_at_ = at;
    window_len_ = len;
    return true;
}

bool container_device::host_file(int index, uint64_t* dev, uint64_t* ino) const
{
    if (index < 0 || static_cast<size_t>(index) >= files_.size())
        return false;
    *dev = files_[static_cast<size_t>(index)].first;
    *ino = files_[static_cast<size_t>(index)].second;
    return true;
}

void container_device::note_file(const std::string& path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) == 0)
        files_.emplace_back(st.st_dev, st.st_ino);
}

std::unique_ptr<device> container_open(const char* path, std::unique_ptr<device> plain, open_note* note)
{
    switch (sniff(plain.get())) {
    case kind::plain:
        return plain;
    case kind::chd:
        return container_failed(note, "a MAME CHD image; extract it first with chdman extracthd");
    case kind::qcow:
        return qcow_open(path, note);
    case kind::vhd:
        return vhdi_open(path, false, note);
    case kind::vhdx:
        return vhdi_open(path, true, note);
    case kind::vmdk:
        return vmdk_open(path, note);
    case kind::ewf:
        return ewf_open(path, false, note);
    case kind::ex01:
        return ewf_open(path, true, note);
    }
    return plain;
}

}  // namespace fsl
