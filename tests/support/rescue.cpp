// Fixtures of the rescue tests (see rescue.h).
#include "support/rescue.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testimg {

namespace fs = std::filesystem;

void patch(const std::string& path, uint64_t at, const std::string& bytes)
{
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(std::streamoff(at));
    f.write(bytes.data(), std::streamsize(bytes.size()));
    if (!f)
        throw std::runtime_error(path + ": cannot patch");
}

std::string peek(const std::string& path, uint64_t at, size_t count)
{
    std::ifstream f(path, std::ios::binary);
    f.seekg(std::streamoff(at));
    std::string out(count, '\0');
    f.read(out.data(), std::streamsize(count));
    return out;
}

TwoFsDisk two_fs_disk(const std::string& srcdir, const std::string& image)
{
    const uint64_t cyl = 255 * 63;
    TwoFsDisk d{image, {cyl, 7 * cyl}, 0};
    MakefsOptions o;
    o.size = "32m";
    o.bsize = 4096;
    o.fsize = 512;
    o.start_cyl = 1;
    o.disk_cyls = 12;
    MakefsDisk m = makefs_sun_disk(srcdir, image, o);
    d.fs_sectors = m.part_sectors;
    patch(image, d.start[1] * 512, peek(image, d.start[0] * 512, m.fs_bytes));
    std::string base = fs::path(image).filename().string();
    std::ostringstream script;
    script << "label: sun\n\n"
           << base << "1 : start=" << d.start[0] << ", size=" << d.fs_sectors << ", type=2\n"
           << base << "3 : start=0, size=" << 12 * cyl << ", type=5\n"
           << base << "5 : start=" << d.start[1] << ", size=" << d.fs_sectors << ", type=2\n";
    oracle::Result r = oracle::run_tool({"sfdisk", "--no-reread", "--no-tell-kernel", "--wipe", "never",
                                         "--wipe-partitions", "never", image},
                                        script.str());
    if (!r.ok())
        throw std::runtime_error("sfdisk failed:\n" + r.out + r.err);
    return d;
}

uint64_t write_backup_labels(const std::string& path, int head)
{
    std::string label = peek(path, 0, 512);
    auto word = [&](size_t at) { return uint64_t(uint8_t(label[at])) << 8 | uint8_t(label[at + 1]); };
    uint64_t ncyl = word(432), acyl = word(434), nhead = word(436), nsect = word(438);
    uint64_t track = head < 0 ? nhead - 1 : uint64_t(head);
    uint64_t first = ((ncyl + acyl - 1) * nhead + track) * nsect + 1;
    for (uint64_t s = 0; s < 10; s += 2)
        patch(path, (first + s) * 512, label);
    return first;
}

}  // namespace testimg
