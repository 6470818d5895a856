// Device faults swept over whole sessions: a `cp -r /` and a `more` of a
// deep file and a long one, run in-process by the shell's command code on a
// small image, with one fault injected at the Nth device call for every N
// the clean session reaches, and for each kind of fault.  Whatever fails:
// - no file comes out different from the clean copy without being named on
//   standard error as incomplete or failed (itself or a directory above it);
// - the cause given is a read or seek error, never a missing name;
// - the session goes on: the next command works;
// - a short or interrupted read that completes later changes nothing.
// And the bytes of a copy that loses one block in the middle.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

#include "fslib/fslib.h"
#include "support/dev_fault.h"
#include "shell/shell.h"
#include "support/bytes.h"
#include "support/copy_check.h"
#include "support/fingerprint.h"
#include "support/images.h"
#include "support/mounted.h"
#include "support/runner.h"

namespace {

using fsl::dev_fault_kind;

sunimg::DiskImage sweep_image()
{
    sunimg::FsOptions o;
    o.bsize = 4096;
    o.fsize = 512;
    sunimg::Ufs fs(o);
    fs.file("/etc/passwd", "root:x:0:1::/:/bin/sh\n");
    fs.file("/etc/motd", sunimg::text_lines(3000, "motd"));
    fs.file("/docs/long.txt", sunimg::text_lines(60000, "long"));   // past the direct blocks
    fs.file("/docs/sub/deep.txt", "deep\n");
    fs.dir("/empty");
    return sunimg::make_disk(fs);
}

const std::vector<std::string> kFiles = {"/etc/passwd", "/etc/motd", "/docs/long.txt", "/docs/sub/deep.txt"};

// Standard error of `fn`, run with descriptor 2 on a temporary file.
std::string stderr_of(const std::function<void()>& fn)
{
    std::fflush(stderr);
    FILE* tmp = std::tmpfile();
    int saved = dup(2);
    dup2(fileno(tmp), 2);
    fn();
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::string text;
    std::rewind(tmp);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, tmp)) > 0)
        text.append(buf, n);
    std::fclose(tmp);
    return text;
}

int cp(std::vector<std::string> words)
{
    std::vector<char*> argv;
    for (auto& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    return do_cp(static_cast<int>(words.size()), argv.data());
}

struct Kind {
    dev_fault_kind kind;
    const char* name;
    bool completes;   // the read completes later: nothing may change
};

const Kind kKinds[] = {
    {dev_fault_kind::error, "error", false},
    {dev_fault_kind::zero, "zero", false},
    {dev_fault_kind::seek, "seek", false},
    {dev_fault_kind::half, "half", true},
    {dev_fault_kind::interrupt, "interrupt", true},
};

class FaultSweep : public ::testing::Test {
protected:
    void SetUp() override
    {
        image_ = testimg::write_disk(dir_, sweep_image());
        mounted_ = std::make_unique<testimg::Mounted>(image_, 0);
        ASSERT_TRUE(mounted_->ok());
        good_ = dir_.file("good");
        std::filesystem::create_directory(good_);
        uint64_t before = fsl::dev_reads;
        ASSERT_EQ(stderr_of([&] { cp({"cp", "-r", "/", good_}); }).find("rror"), std::string::npos);
        calls_ = fsl::dev_reads - before;
        ASSERT_GT(calls_, 5u);
    }
    void TearDown() override
    {
        fsl::dev_fault_clear();
        fs_chdir("/");
        mounted_.reset();
    }

    // The cause of every failure is a device error, never a missing name.
    static void expect_device_cause(const std::string& err)
    {
        EXPECT_EQ(err.find("No such file or directory"), std::string::npos) << err;
    }

    // The next command of the session works.
    void expect_session_goes_on()
    {
        std::string after = dir_.file("after");
        std::string err = stderr_of([&] { cp({"cp", "/docs/long.txt", after}); });
        EXPECT_EQ(runner::read_file(after), runner::read_file(good_ + "/docs/long.txt")) << err;
        std::remove(after.c_str());
    }

    testimg::TempDir dir_;
    std::string image_, good_;
    std::unique_ptr<testimg::Mounted> mounted_;
    uint64_t calls_ = 0;
};

TEST_F(FaultSweep, CopyOfTheWholeTree)
{
    std::string out = dir_.file("out");
    for (const Kind& k : kKinds) {
        for (uint64_t n = 1; n <= calls_; n++) {
            SCOPED_TRACE(std::string(k.name) + " at call " + std::to_string(n));
            std::filesystem::remove_all(out);
            std::filesystem::create_directory(out);
            fsl::dev_fault_set(n, k.kind);
            int rc = 0;
            std::string err = stderr_of([&] { rc = cp({"cp", "-r", "/", out}); });
            fsl::dev_fault_clear();
            fs_chdir("/");
            expect_device_cause(err);
            bool identical = testimg::hash_tree(out) == testimg::hash_tree(good_);
            EXPECT_TRUE(identical || !k.completes) << err;
            // A copy that is not the good one fails the command, and so
            // the session's exit status.
            EXPECT_TRUE(identical || rc != 0) << err;
            for (const std::string& f : kFiles) {
                bool same = runner::path_exists(out + f) && runner::read_file(out + f) == runner::read_file(good_ + f);
                EXPECT_TRUE(same || testimg::reported_lost(err, f)) << f << " differs without a report:\n" << err;
            }
            expect_session_goes_on();
        }
    }
}

TEST_F(FaultSweep, PagingEveryFile)
{
    std::string paged = dir_.file("paged");
    std::vector<std::string> env = runner::install_fake_less(dir_.file(""));
    std::string old_path = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", env[0].substr(5).c_str(), 1);
    setenv("OUT", paged.c_str(), 1);
    // A deep lookup, and a file past its direct blocks.
    const std::string paged_files[] = {"/docs/sub/deep.txt", "/docs/long.txt"};
    for (const Kind& k : kKinds) {
        for (const std::string& f : paged_files) {
            uint64_t before = fsl::dev_reads;
            stderr_of([&] { do_more(f.c_str()); });
            uint64_t calls = fsl::dev_reads - before;
            for (uint64_t n = 1; n <= calls; n++) {
                SCOPED_TRACE(std::string(k.name) + " at call " + std::to_string(n) + " of more " + f);
                std::remove(paged.c_str());
                fsl::dev_fault_set(n, k.kind);
                std::string err = stderr_of([&] { do_more(f.c_str()); });
                fsl::dev_fault_clear();
                expect_device_cause(err);
                bool same = runner::read_file(paged) == runner::read_file(good_ + f);
                EXPECT_TRUE(same || err.find("Read error") != std::string::npos
                            || err.find("Seek error") != std::string::npos)
                    << "paged text differs without a read or seek error:\n" << err;
                if (k.completes) {
                    EXPECT_TRUE(same && err.empty()) << err;
                }
                expect_session_goes_on();
            }
        }
    }
    setenv("PATH", old_path.c_str(), 1);
}

// The host file of a copy that loses one block in the middle, byte by byte:
// each readable block at its own offset, zeros where the lost block was,
// and the file's full size.  Later data must never slide into the place of
// the lost block.
TEST(LostBlock, HostFileKeepsEachReadableBlockInItsPlace)
{
    constexpr size_t B = 8192;
    const std::vector<uint8_t> data = sunimg::pattern(9 * B + 3000, 11);   // 10 blocks, the last a tail
    constexpr size_t kLost = 4;
    sunimg::Ufs fs;
    uint32_t ino = fs.file("/f", data);
    sunimg::DiskImage img = sunimg::make_disk(fs);
    // Block 4 points far past the end of the device: it cannot be read.
    img.image.put32be(img.data_blocks(0, ino)[kLost].ptr_offset, 0x7FFFFFF8u);
    testimg::Mounted m(img);
    ASSERT_TRUE(m.ok());
    testimg::TempDir out;
    int rc = 0;
    std::string err = stderr_of([&] { rc = cp({"cp", "/f", out.file("f")}); });
    EXPECT_NE(rc, 0);
    EXPECT_TRUE(testimg::reported_lost(err, "/f")) << err;

    const std::vector<uint8_t> got = testimg::read_file(out.file("f"));
    const std::vector<uint8_t> zeros(B, 0);
    struct Range {
        const char* what;
        size_t from, len;
        const uint8_t* want;
    } const ranges[] = {
        {"blocks before the lost one", 0, kLost * B, data.data()},
        {"the lost block, zeros", kLost * B, B, zeros.data()},
        {"blocks after it", (kLost + 1) * B, data.size() - (kLost + 1) * B, data.data() + (kLost + 1) * B},
    };
    // Whatever the host file holds lies in its place.
    for (const Range& r : ranges) {
        SCOPED_TRACE(r.what);
        size_t have = got.size() <= r.from ? 0 : std::min(r.len, got.size() - r.from);
        EXPECT_TRUE(testimg::SameBytes(std::vector<uint8_t>(got.begin() + long(r.from), got.begin() + long(r.from + have)),
                                       std::vector<uint8_t>(r.want, r.want + have)));
    }
    EXPECT_EQ(got.size(), data.size()) << "the host file has the file's full size";
}

}  // namespace
