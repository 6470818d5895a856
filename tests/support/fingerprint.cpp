#include "support/fingerprint.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace testimg {

namespace {

constexpr uint64_t FNV_BASIS = 14695981039346656037ull;
constexpr uint64_t FNV_PRIME = 1099511628211ull;

void mix(uint64_t& h, const void* data, size_t size)
{
    const auto* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; i++) {
        h ^= p[i];
        h *= FNV_PRIME;
    }
}

void mix_value(uint64_t& h, uint64_t v)
{
    mix(h, &v, sizeof v);
}

// Mixes in the bytes of [from, to) of descriptor `fd`.
bool mix_range(uint64_t& h, int fd, off_t from, off_t to)
{
    static char buf[1 << 16];
    mix_value(h, static_cast<uint64_t>(from));
    while (from < to) {
        size_t want = static_cast<size_t>(std::min<off_t>(to - from, off_t{sizeof buf}));
        ssize_t n = pread(fd, buf, want, from);
        if (n <= 0)
            return false;
        mix(h, buf, static_cast<size_t>(n));
        from += n;
    }
    return true;
}

}  // namespace

uint64_t hash_file(const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1)
        return 0;
    uint64_t h = FNV_BASIS;
    struct stat st{};
    bool ok = fstat(fd, &st) == 0;
    mix_value(h, static_cast<uint64_t>(st.st_size));
    off_t at = 0;
    while (ok && at < st.st_size) {
        off_t data = lseek(fd, at, SEEK_DATA);
        if (data == -1)
            break;   // nothing but a hole up to the end
        off_t hole = lseek(fd, data, SEEK_HOLE);
        if (hole == -1)
            hole = st.st_size;
        ok = mix_range(h, fd, data, hole);
        at = hole;
    }
    close(fd);
    return ok ? h : 0;
}

uint64_t hash_tree(const std::string& root, const std::string& skip)
{
    namespace fs = std::filesystem;
    std::vector<fs::path> paths;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        paths.push_back(it->path());
        if (!skip.empty() && it->path().lexically_relative(root) == skip)
            it.disable_recursion_pending();
    }
    std::sort(paths.begin(), paths.end());
    uint64_t h = FNV_BASIS;
    for (const fs::path& p : paths) {
        std::string rel = p.lexically_relative(root).string();
        mix(h, rel.data(), rel.size() + 1);
        struct stat st{};
        if (lstat(p.c_str(), &st) != 0)
            continue;
        mix_value(h, st.st_mode);
        if (S_ISREG(st.st_mode)) {
            mix_value(h, hash_file(p.string()));
        } else if (S_ISLNK(st.st_mode)) {
            std::string target = fs::read_symlink(p, ec).string();
            mix(h, target.data(), target.size());
        }
    }
    return h;
}

FileHashes hash_files(const std::vector<std::string>& paths)
{
    FileHashes out;
    for (const std::string& p : paths) {
        struct stat st{};
        if (stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            out.emplace_back(p, hash_file(p));
    }
    return out;
}

void expect_unchanged(const FileHashes& before)
{
    for (const auto& [path, hash] : before)
        EXPECT_EQ(hash_file(path), hash) << path << " changed during the test";
}

}  // namespace testimg
