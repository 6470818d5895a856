// Byte helpers, test data generators and the sparse Image container.
#include "tools/sunimg.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sunimg {

void put16be(uint8_t* p, uint16_t v)
{
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

void put32be(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

uint16_t get16be(const uint8_t* p)
{
    return uint16_t((p[0] << 8) | p[1]);
}

uint32_t get32be(const uint8_t* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

static void check_range(const std::vector<uint8_t>& b, uint64_t off, size_t n)
{
    if (off > b.size() || n > b.size() - off)
        throw Error("byte offset " + std::to_string(off) + " outside a buffer of " + std::to_string(b.size()) +
                    " bytes");
}

void put8(std::vector<uint8_t>& b, uint64_t off, uint8_t v)
{
    check_range(b, off, 1);
    b[off] = v;
}
void put16be(std::vector<uint8_t>& b, uint64_t off, uint16_t v)
{
    check_range(b, off, 2);
    put16be(b.data() + off, v);
}
void put32be(std::vector<uint8_t>& b, uint64_t off, uint32_t v)
{
    check_range(b, off, 4);
    put32be(b.data() + off, v);
}
uint16_t get16be(const std::vector<uint8_t>& b, uint64_t off)
{
    check_range(b, off, 2);
    return get16be(b.data() + off);
}
uint32_t get32be(const std::vector<uint8_t>& b, uint64_t off)
{
    check_range(b, off, 4);
    return get32be(b.data() + off);
}

std::vector<uint8_t> pattern(size_t n, uint32_t seed)
{
    std::vector<uint8_t> out(n);
    uint32_t x = seed * 2654435761u + 0x9E3779B9u;
    if (x == 0)
        x = 1;
    for (size_t i = 0; i < n; i++) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = uint8_t(x >> 7);
    }
    return out;
}

std::string text_lines(size_t n, std::string_view prefix)
{
    std::string s;
    s.reserve(n + 80);
    for (unsigned i = 1; s.size() < n; i++) {
        char buf[80];
        std::snprintf(buf, sizeof buf, " %05u the quick brown fox jumps over the lazy dog\n", i);
        s.append(prefix);
        s.append(buf);
    }
    s.resize(n);
    return s;
}

// ---------------------------------------------------------------------------
// Image
// ---------------------------------------------------------------------------
uint64_t Image::size() const
{
    uint64_t s = std::max<uint64_t>(size_, dense_.size());
    for (const auto& [off, v] : far_)
        s = std::max<uint64_t>(s, off + v.size());
    return s;
}

void Image::resize(uint64_t n)
{
    if (dense_.size() > n)
        dense_.resize(n);
    for (auto it = far_.begin(); it != far_.end();) {
        if (it->first >= n) {
            it = far_.erase(it);
        } else {
            if (it->first + it->second.size() > n)
                it->second.resize(n - it->first);
            ++it;
        }
    }
    size_ = n;
}

const std::vector<uint8_t>* Image::find(uint64_t off, size_t n, uint64_t* base) const
{
    if (off + n <= dense_.size()) {
        *base = 0;
        return &dense_;
    }
    auto it = far_.upper_bound(off);
    if (it == far_.begin())
        return nullptr;
    --it;
    if (off >= it->first && off + n <= it->first + it->second.size()) {
        *base = it->first;
        return &it->second;
    }
    return nullptr;
}

std::vector<uint8_t>* Image::find(uint64_t off, size_t n, uint64_t* base)
{
    return const_cast<std::vector<uint8_t>*>(std::as_const(*this).find(off, n, base));
}

std::vector<uint8_t> Image::read(uint64_t off, size_t n) const
{
    std::vector<uint8_t> out(n, 0);
    uint64_t base;
    if (auto* v = find(off, n, &base)) {
        std::memcpy(out.data(), v->data() + (off - base), n);
        return out;
    }
    // Slow path: byte by byte across extents (and holes).
    for (size_t i = 0; i < n; i++)
        out[i] = get8(off + i);
    return out;
}

uint8_t Image::get8(uint64_t off) const
{
    uint64_t base;
    if (auto* v = find(off, 1, &base))
        return (*v)[off - base];
    return 0;
}

uint16_t Image::get16be(uint64_t off) const
{
    auto b = read(off, 2);
    return sunimg::get16be(b.data());
}

uint32_t Image::get32be(uint64_t off) const
{
    auto b = read(off, 4);
    return sunimg::get32be(b.data());
}

void Image::put(uint64_t off, const void* data, size_t n)
{
    if (n == 0)
        return;
    const auto* src = static_cast<const uint8_t*>(data);
    uint64_t base;
    if (auto* v = find(off, n, &base)) {
        std::memcpy(v->data() + (off - base), src, n);
        return;
    }
    // Does the range overlap (or touch) a far extent?
    bool touches_far = false;
    auto it = far_.lower_bound(off);
    if (it != far_.end() && it->first < off + n)
        touches_far = true;
    if (it != far_.begin()) {
        auto prev = std::prev(it);
        if (prev->first + prev->second.size() >= off)
            touches_far = true;
    }
    if (!touches_far) {
        if (off <= dense_.size()) {
            // Inside or right after the dense part: grow it.
            if (dense_.size() < off + n)
                dense_.resize(off + n, 0);
            std::memcpy(dense_.data() + off, src, n);
        } else {
            // Out in a hole: a new extent.
            far_[off] = std::vector<uint8_t>(src, src + n);
        }
        size_ = std::max<uint64_t>(size_, off + n);
        return;
    }
    // Straddles extents: byte by byte, extending whatever ends right there.
    for (size_t i = 0; i < n; i++) {
        uint64_t o = off + i;
        if (auto* v = find(o, 1, &base)) {
            (*v)[o - base] = src[i];
            continue;
        }
        if (o == dense_.size()) {
            dense_.push_back(src[i]);
            continue;
        }
        auto next = far_.upper_bound(o);
        if (next != far_.begin()) {
            auto prev = std::prev(next);
            if (prev->first + prev->second.size() == o) {
                prev->second.push_back(src[i]);
                continue;
            }
        }
        far_[o] = std::vector<uint8_t>{src[i]};
    }
    size_ = std::max<uint64_t>(size_, off + n);
}

void Image::put8(uint64_t off, uint8_t v)
{
    put(off, &v, 1);
}

void Image::put16be(uint64_t off, uint16_t v)
{
    uint8_t b[2];
    sunimg::put16be(b, v);
    put(off, b, 2);
}

void Image::put32be(uint64_t off, uint32_t v)
{
    uint8_t b[4];
    sunimg::put32be(b, v);
    put(off, b, 4);
}

void Image::fill(uint64_t off, size_t n, uint8_t v)
{
    std::vector<uint8_t> b(n, v);
    put(off, b.data(), n);
}

void Image::put_extent(uint64_t off, std::vector<uint8_t> data)
{
    if (off < dense_.size()) {
        // Overlaps the dense part: copy in, growing it if needed.
        if (off + data.size() > dense_.size())
            dense_.resize(off + data.size());
        std::copy(data.begin(), data.end(), dense_.begin() + off);
        return;
    }
    uint64_t end = off + data.size();
    far_[off] = std::move(data);
    size_ = std::max(size_, end);
}

std::vector<uint8_t> Image::bytes() const
{
    uint64_t n = size();
    if (n > (uint64_t(1) << 30))
        throw Error("image of " + std::to_string(n) + " bytes is too big for bytes(); use write()");
    std::vector<uint8_t> out(n, 0);
    std::copy(dense_.begin(), dense_.end(), out.begin());
    for (const auto& [off, v] : far_)
        std::copy(v.begin(), v.end(), out.begin() + off);
    return out;
}

static void pwrite_all(int fd, const uint8_t* p, size_t n, uint64_t off, const std::string& path)
{
    while (n > 0) {
        ssize_t w = ::pwrite(fd, p, n, off_t(off));
        if (w < 0) {
            if (errno == EINTR)
                continue;
            throw Error(path + ": write: " + std::strerror(errno));
        }
        p += w;
        n -= size_t(w);
        off += uint64_t(w);
    }
}

void Image::write(const std::string& path) const
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        throw Error(path + ": " + std::strerror(errno));
    try {
        if (::ftruncate(fd, off_t(size())) != 0)
            throw Error(path + ": ftruncate: " + std::strerror(errno));
        // Only non-zero 64 KiB runs are written, so that the image file
        // stays sparse where the file system is empty.
        auto write_sparse = [&](const std::vector<uint8_t>& v, uint64_t base) {
            const size_t step = 65536;
            for (size_t i = 0; i < v.size(); i += step) {
                size_t n = std::min(step, v.size() - i);
                bool zero = std::all_of(v.begin() + i, v.begin() + i + n, [](uint8_t c) { return c == 0; });
                if (!zero)
                    pwrite_all(fd, v.data() + i, n, base + i, path);
            }
        };
        write_sparse(dense_, 0);
        for (const auto& [off, v] : far_)
            write_sparse(v, off);
    } catch (...) {
        ::close(fd);
        throw;
    }
    if (::close(fd) != 0)
        throw Error(path + ": close: " + std::strerror(errno));
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        throw Error(path + ": " + std::strerror(errno));
    try {
        pwrite_all(fd, bytes.data(), bytes.size(), 0, path);
    } catch (...) {
        ::close(fd);
        throw;
    }
    if (::close(fd) != 0)
        throw Error(path + ": close: " + std::strerror(errno));
}

}   // namespace sunimg
