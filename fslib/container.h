// Container readers: a virtual disk kept inside one or more host files,
// read through the field's own libraries.  Each format lives in a file of
// its own; one built without its library still knows the format by its
// magic and says which package would read it.
#pragma once

#include <string>
#include <vector>

#include "fslib/device.h"

namespace fsl {

// What every container reader shares: the host files it reads (so that a
// copy can refuse to write over one) and the reads bounded by the virtual
// disk's size.
class container_device : public device {
public:
    int read(int64_t offset, void* buf, uint32_t count, uint32_t* got, sector_list* failed) override;
    int64_t size() const override { return bytes_; }
    bool host_file(int index, uint64_t* dev, uint64_t* ino) const override;
    const char* format() const override { return name_; }

protected:
    container_device(const char* name) : name_(name) {}
    // Reads `count` bytes at `offset`, inside the virtual disk: false when
    // the library fails.
    virtual bool fetch(int64_t offset, void* buf, uint32_t count) = 0;
    // Notes a host file the container reads, by its path.
    void note_file(const std::string& path);

    int64_t bytes_ = 0;

private:
    // The libraries answer large reads far faster than many small ones:
    // small reads are served from one window read ahead.
    static constexpr uint32_t WINDOW = 256 * 1024;
    bool load_window(int64_t at);

    const char* name_;
    std::vector<std::pair<uint64_t, uint64_t>> files_;
    std::vector<unsigned char> window_;
    int64_t window_at_ = -1;   // virtual-disk byte of window_[0]; -1: none
    uint32_t window_len_ = 0;
};

// Sets the failure of opening a container: FSE_CONTAINER with `text` in
// the note.  Returns null for the opener's return.
std::nullptr_t container_failed(open_note* note, const std::string& text);

// A container reader of type T, made with `args` and opened on `path`
// (T::open gives "" or why not); null with the reason in the note.
template <typename T, typename... Args>
std::unique_ptr<device> open_reader(const char* path, open_note* note, Args... args)
{
    auto d = std::make_unique<T>(args...);
    std::string why = d->open(path);
    if (!why.empty())
        return container_failed(note, why);
    return d;
}

// The path `name` names, taken from inside the file at `path`: as it is
// when absolute, else in the directory of `path`.
std::string beside(const char* path, const std::string& name);

// Openers, one per library; `path` holds the format's magic.
std::unique_ptr<device> qcow_open(const char* path, open_note* note);
std::unique_ptr<device> vhdi_open(const char* path, bool vhdx, open_note* note);
std::unique_ptr<device> vmdk_open(const char* path, open_note* note);
std::unique_ptr<device> ewf_open(const char* path, bool ex01, open_note* note);

}  // namespace fsl
