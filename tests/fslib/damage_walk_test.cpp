// Damaged images: random bytes written over the metadata of a good image
// (superblock, inodes, directory blocks, indirect blocks), then the whole
// tree walked the way the shell walks it: every directory listed, every
// entry stat'ed, entered and read.  Whatever the damage, every call must
// come back, stay inside its buffers (the suite also runs under the
// sanitizers) and give every slot back.  Deterministic: the seeds are
// fixed, so a failure names the seed that reproduces it.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "fslib/fslib.h"
#include "fslib/internal.h"
#include "support/images.h"
#include "support/mounted.h"
#include "support/runner.h"
#include "tools/sunimg.h"

namespace {

struct Region {
    uint64_t offset;
    uint64_t length;
};

// The image to damage and the byte ranges worth damaging.
struct Target {
    sunimg::DiskImage img;
    std::vector<Region> regions;
    uint32_t big = 0;   // a file past its direct blocks
};

Target make_target(sunimg::FsOptions o)
{
    sunimg::Ufs fs = testimg::standard_tree(o);
    uint32_t big = fs.file("/usr/share/doc/indirect.bin", sunimg::pattern(30 * 8192 + 100, 9));
    uint32_t many = fs.dir("/many");
    for (int i = 0; i < 150; i++)
        fs.add_file(many, "entry-with-a-longish-name-" + std::to_string(i), std::to_string(i) + "\n");
    Target t{sunimg::make_disk(fs), {}, big};
    t.regions.push_back({t.img.superblock_offset(0), 1376});
    for (const auto& [ino, info] : t.img.layout(0).inodes) {
        t.regions.push_back({t.img.inode_offset(0, ino), 128});
        if ((info.mode & sunimg::kIFMT) == sunimg::kIFDIR)
            for (const auto& b : t.img.data_blocks(0, ino))
                t.regions.push_back({b.offset, b.bytes});
        for (const auto& b : t.img.indirect_blocks(0, ino))
            t.regions.push_back({b.offset, b.bytes});
    }
    return t;
}

// Writes a few random values over random places of the regions.
void damage(sunimg::Image& im, const std::vector<Region>& regions, std::mt19937& rng)
{
    static const uint32_t specials[] = {0, 1, 2, 0xFFFFFFFFu, 0x80000000u, 0x7FFFFFFFu, 0x00400000u, 8192, 12, 511};
    int n = 1 + int(rng() % 10);
    for (int i = 0; i < n; i++) {
        const Region& r = regions[rng() % regions.size()];
        if (r.length < 4)
            continue;
        uint64_t at = r.offset + (rng() % (r.length - 3)) / 2 * 2;
        switch (rng() % 5) {
        case 0: im.put8(at, uint8_t(rng())); break;
        case 1: im.put16be(at, uint16_t(rng())); break;
        case 2: im.put32be(at, rng()); break;
        case 3: im.put32be(at - at % 4, im.get32be(at - at % 4) ^ (1u << (rng() % 32))); break;  // one bit flipped
        default: im.put32be(at - at % 4, specials[rng() % std::size(specials)]); break;
        }
    }
}

// Walks the mounted tree as `ls -l`, `cd`, `more` and `cp -r` would, with
// bounds on depth and work so that a directory containing itself ends.
class Walker {
public:
    void dir(const std::string& path, int depth)
    {
        if (depth > 6 || budget_-- <= 0)
            return;
        FS_FILE* d = fs_opendir(path.c_str());
        if (!d)
            return;
        std::vector<std::pair<uint32_t, std::string>> entries;
        while (direct* e = fs_readdir(d)) {
            size_t len = strnlen(e->d_name, 256);
            entries.emplace_back(e->d_ino, std::string(e->d_name, len));
            if (entries.size() > 4000)
                break;
        }
        fs_fclean(d);
        fs_closedir(d);
        for (const auto& [ino, name] : entries) {
            fs_statrec st{};
            if (fs_istat(ino, &st) != 0 || name == "." || name == ".." || name.find('/') != std::string::npos)
                continue;
            std::string child = (path == "/" ? "" : path) + "/" + name;
            if (child.size() > 900)
                continue;
            if ((st.st_mode & IFMT) == IFDIR) {
                if (fs_chdir(child.c_str()) == 0)
                    fs_chdir("/");
                dir(child, depth + 1);
            } else {
                file(child);
            }
        }
    }

private:
    void file(const std::string& path)
    {
        FS_FILE* f = fs_fopen(path.c_str(), "rb");
        if (!f)
            return;
        std::vector<char> buf(512);
        // Holes read as zeros, so a damaged size could mean 2 GiB of them:
        // a few megabytes show whatever there is to show.
        for (int i = 0; i < 8192 && fs_fread(buf.data(), 1, 512, f) > 0; i++) {
        }
        fs_fclean(f);
        fs_fclose(f);
    }

    int budget_ = 400;
};

class DamagedImages : public testimg::LibraryTest, public ::testing::WithParamInterface<int> {};

TEST_P(DamagedImages, EveryWalkComesBackAndGivesEverythingBack)
{
    sunimg::FsOptions o;
    o.fsize = GetParam();
    Target t = make_target(o);
    testimg::TempDir dir;
    const std::string path = dir.file("damaged.img");
    auto start = std::chrono::steady_clock::now();
    for (uint32_t seed = 1; seed <= 200; seed++) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed * 7919u + uint32_t(GetParam()));
        sunimg::Image im = t.img.image;
        damage(im, t.regions, rng);
        im.write(path);
        {
            testimg::Mounted m(path, 0);
            if (m.ok()) {
                Walker().dir("/", 0);
                fs_chdir("/");
            }
            EXPECT_TRUE(testimg::all_stream_slots_free());
        }
        EXPECT_EQ(fs_current, nullptr);
    }
    auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 120.0) << "damaged images must not make the walk crawl";
}

INSTANTIATE_TEST_SUITE_P(Fragments, DamagedImages, ::testing::Values(1024, 2048, 8192));

// The same through the program: a long listing, paging with a pager that
// quits after a few megabytes as a person does, and a copy of the whole
// tree out of a damaged image end normally and soon, and nothing lands
// anywhere but in the target directory.
TEST(DamagedImagesAtThePrompt, CopyOutStaysInsideTheTarget)
{
    namespace fs = std::filesystem;
    Target t = make_target({});
    testimg::TempDir bin;
    std::vector<std::string> env = runner::install_fake_less(bin.path(), "head -c 3000000 > /dev/null\n");
    // Seed 0: one flipped bit makes the paged file claim a terabyte.
    const uint64_t paged_size_hi = t.img.inode_offset(0, t.big) + sunimg::ino_off::size_hi;
    for (uint32_t seed = 0; seed <= 24; seed++) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed * 104729u);
        sunimg::Image im = t.img.image;
        if (seed == 0)
            im.put32be(paged_size_hi, im.get32be(paged_size_hi) ^ 0x100u);
        else
            damage(im, t.regions, rng);
        testimg::TempDir dir;
        im.write(dir.file("damaged.img"));
        fs::create_directories(dir.file("work/out"));
        runner::Options o;
        o.args = {"-p0", "../damaged.img"};
        o.input = "ls -l\nmore /usr/share/doc/indirect.bin\nmore /etc/passwd\ncp -r / out\ncd /usr/share/doc\nls\nbye\n";
        o.cwd = dir.file("work");
        o.env = env;
        o.timeout_seconds = 30;
        auto start = std::chrono::steady_clock::now();
        runner::Result r = runner::run_sunufs(o);
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 10.0);
        EXPECT_TRUE(r.status == 0 || r.status == 1) << r.status << r.err;  // ended, failed or not
        std::vector<std::string> outside;
        for (const auto& e : fs::recursive_directory_iterator(dir.path())) {
            std::string rel = fs::relative(e.path(), dir.path()).string();
            if (rel != "damaged.img" && rel != "work" && rel != "work/out" && rel.rfind("work/out/", 0) != 0)
                outside.push_back(rel);
        }
        EXPECT_TRUE(outside.empty()) << outside.front();
    }
}

}  // namespace
