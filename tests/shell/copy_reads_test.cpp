// The work of a copy grows with what it copies: device reads counted
// through the library's own counter while cp runs in this process.
#include "support/mounted.h"
#include "support/runner.h"
#include "shell/shell.h"
#include "support/dev_fault.h"
#include "tools/sunimg.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

// Device reads made by one command run in this process on the image of
// `t`; `out` is a fresh host directory the words may name (as "OUT").
uint64_t reads_of(const sunimg::Ufs& t, int (*command)(int, char**), std::vector<std::string> words,
                  size_t* copied = nullptr, const char* src = nullptr)
{
    testimg::Mounted m(sunimg::make_disk(t));
    EXPECT_TRUE(m.ok());
    std::string out = runner::make_temp_dir("reads");
    std::vector<char*> argv;
    for (auto& w : words) {
        if (w == "OUT")
            w = out;
        else if (w == "OUT/a.tar")
            w = out + "/a.tar";
        argv.push_back(w.data());
    }
    argv.push_back(nullptr);
    testing::internal::CaptureStderr();
    uint64_t before = fsl::dev_reads;
    int rc = command(int(words.size()), argv.data());
    uint64_t reads = fsl::dev_reads - before;
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, 0);
    if (copied != nullptr) {
        auto there = std::filesystem::directory_iterator(out + "/" + std::filesystem::path(src).filename().string());
        *copied = size_t(std::distance(there, std::filesystem::directory_iterator{}));
    }
    runner::remove_tree(out);
    return reads;
}

// Device reads made by one cp command; *copied receives the number of
// entries of the copy of `src` when asked for.
uint64_t reads_of_cp(const sunimg::Ufs& t, const char* flag, const char* src, size_t* copied = nullptr)
{
    return reads_of(t, do_cp, {"cp", flag, src, "OUT"}, copied, src);
}

// Directory /many of `n` empty files, or of `n` empty subdirectories.
sunimg::Ufs many(int n, bool dirs = false)
{
    sunimg::Ufs t({.nbpi = 1024});
    uint32_t d = t.dir("/many");
    for (int i = 0; i < n; i++) {
        std::string name = "entry_number_" + std::to_string(i);
        if (dirs)
            t.mkdir(d, name);
        else
            t.add_file(d, name, "");
    }
    return t;
}

TEST(CopyReads, GrowWithTheCopyNotFaster)
{
    // A directory of 2,000 entries costs about twice one of 1,000: each
    // directory block is read a bounded number of times, not once per entry.
    uint64_t small = reads_of_cp(many(1000), "-r", "/many");
    uint64_t large = reads_of_cp(many(2000), "-r", "/many");
    EXPECT_LE(large, small * 22 / 10 + 8) << small << " " << large;
    // 2,000 names fill about 8 directory blocks: a few reads of each, and
    // no more than two inode reads per entry (its status, its stream).
    EXPECT_LE(large, 2u * 2000 + 4u * 8 + 32) << large;

    // Subdirectories: the walk leaves the directory for each one and takes
    // it up again where it stopped, rereading one block, not the ones
    // before it; every entry arrives once.
    size_t copied_small = 0, copied_large = 0;
    small = reads_of_cp(many(1000, true), "-r", "/many", &copied_small);
    large = reads_of_cp(many(2000, true), "-r", "/many", &copied_large);
    EXPECT_EQ(copied_small, 1000u);
    EXPECT_EQ(copied_large, 2000u);
    EXPECT_LE(large, small * 22 / 10 + 8) << small << " " << large;
    EXPECT_LE(large, 6u * 2000 + 32) << large;

    // A file of 100 blocks: 100 block reads, its indirect block, and a
    // few for the lookup.
    sunimg::Ufs t;
    t.file("/f", sunimg::pattern(100 * 8192, 5));
    EXPECT_LE(reads_of_cp(t, "-p", "/f"), 100u + 1u + 6u);
}

TEST(CopyReads, TarReadsEachByteOnce)
{
    // The shape of a file comes from its block map: tar reads its data
    // blocks once, as cp does, with a hole and a plain run alike.
    sunimg::Ufs t;
    t.file("/f", sunimg::pattern(3000000, 7));
    t.add_sparse(t.root(), "s", 3000000, {{1000000, sunimg::pattern(100000, 8)}});
    for (const char* src : {"/f", "/s"}) {
        uint64_t cp = reads_of_cp(t, "-p", src);
        EXPECT_LE(reads_of(t, do_tar, {"tar", "-cf", "OUT/a.tar", src}), cp + 2) << src;
    }
}

}  // namespace
