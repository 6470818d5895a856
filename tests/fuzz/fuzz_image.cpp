#include "fuzz/fuzz_image.h"

#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>

namespace fuzz {

namespace {

constexpr size_t LABEL_BYTES = 512;
constexpr size_t CKSUM_AT = 510;

// The memory file that carries every input of this process.
int memory_file()
{
    static int fd = memfd_create("sunufs-fuzz-disk", MFD_CLOEXEC);
    return fd;
}

bool write_all(int fd, const uint8_t* data, size_t size, off_t at)
{
    while (size > 0) {
        ssize_t n = pwrite(fd, data, size, at);
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
        at += n;
    }
    return true;
}

// Writes the input with its label checksum set to the XOR of the label's
// other 255 big-endian words.
bool put_input(int fd, const uint8_t* data, size_t size)
{
    if (ftruncate(fd, 0) != 0 || !write_all(fd, data, size, 0))
        return false;
    if (size < LABEL_BYTES)
        return true;
    uint8_t sum[2] = {0, 0};
    for (size_t i = 0; i < CKSUM_AT; i += 2) {
        sum[0] ^= data[i];
        sum[1] ^= data[i + 1];
    }
    return write_all(fd, sum, 2, CKSUM_AT);
}

}  // namespace

MemDisk::MemDisk(const uint8_t* data, size_t size)
{
    int fd = memory_file();
    if (fd < 0 || !put_input(fd, data, size))
        return;
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    d_ = disk_open(path.c_str());
}

MemDisk::~MemDisk()
{
    if (d_ != nullptr)
        disk_close(d_);
}

fsys* mount_first(disk* d)
{
    for (int part = 0; part < NDKMAP; part++) {
        fsys* fs = fs_mount(d, part, FS_MNT_ANYPART);
        if (fs != nullptr)
            return fs;
    }
    return nullptr;
}

namespace {

using Entry = std::pair<uint32_t, std::string>;

// The entries of directory `ino`, at most `room` of them.
std::vector<Entry> list_dir(uint32_t ino, size_t room)
{
    std::vector<Entry> out;
    FS_FILE* d = fs_opendir_ino(ino);
    if (d == nullptr)
        return out;
    while (direct* e = fs_readdir(d)) {
        if (out.size() >= room)
            break;
        out.emplace_back(e->d_ino, std::string(e->d_name, strnlen(e->d_name, 256)));
    }
    fs_fclean(d);
    fs_closedir(d);
    return out;
}

std::string child_path(const std::string& dir, const std::string& name)
{
    if (dir.empty() || dir.size() + name.size() + 1 > MAX_PATH)
        return {};
    return (dir == "/" ? "" : dir) + "/" + name;
}

}  // namespace

Walk walk_tree()
{
    Walk w;
    fs_statrec st{};
    if (fs_istat(ROOT_INO, &st) != 0)
        return w;
    w.nodes.push_back({ROOT_INO, st.st_mode, st.st_size, "/"});
    std::set<uint32_t> entered;
    std::vector<size_t> todo{0};
    while (!todo.empty()) {
        Node dir = w.nodes[todo.back()];
        todo.pop_back();
        if ((dir.mode & IFMT) != IFDIR || !entered.insert(dir.ino).second)
            continue;
        size_t room = MAX_NODES - w.nodes.size();
        for (const auto& [ino, name] : list_dir(dir.ino, room)) {
            if (name == "." || name == ".." || fs_istat(ino, &st) != 0)
                continue;
            todo.push_back(w.nodes.size());
            w.nodes.push_back({ino, st.st_mode, st.st_size, child_path(dir.path, name)});
        }
        if (w.nodes.size() >= MAX_NODES) {
            w.complete = false;
            break;
        }
    }
    return w;
}

uint32_t read_file(uint32_t ino, uint32_t limit)
{
    FS_FILE* f = fs_fopen_ino(ino);
    if (f == nullptr)
        return 0;
    static uint8_t buf[8192];
    uint32_t total = 0;
    while (total < limit) {
        uint32_t n = fs_fread(buf, 1, sizeof buf, f);
        if (n == 0)
            break;
        total += n;
    }
    fs_fclean(f);
    fs_fclose(f);
    return total;
}

FILE* null_out()
{
    static FILE* out = std::fopen("/dev/null", "w");
    return out;
}

}  // namespace fuzz
