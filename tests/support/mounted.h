// Library fixtures shared by the unit tests: an image written to a
// temporary directory and mounted for the length of a scope, and the check
// that a test leaves the library's process-wide tables as it found them.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "fslib/fslib.h"
#include "support/images.h"
#include "tools/sunimg.h"

namespace testimg {

// Writes `img` (or takes an image already on disk) and mounts one of its
// partitions; unmounts and closes again on destruction.
class Mounted {
public:
    explicit Mounted(const sunimg::DiskImage& img, int part = 0);
    Mounted(const std::string& path, int part);
    ~Mounted();
    Mounted(const Mounted&) = delete;
    Mounted& operator=(const Mounted&) = delete;

    bool ok() const { return fs_ != nullptr; }
    fsys* fs() const { return fs_; }
    disk* dsk() const { return d_; }
    const std::string& path() const { return path_; }

private:
    void open(int part);
    TempDir dir_;
    std::string path_;
    disk* d_ = nullptr;
    fsys* fs_ = nullptr;
};

// True when no stream slot is taken.
bool all_stream_slots_free();

// Base of the library tests: nothing mounted and no stream open, before
// and after every test.
class LibraryTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

// The standard tree on a plain disk, built and written once for a whole
// test suite.
class StandardDiskSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();

    static TempDir* dir_;
    static sunimg::DiskImage* image_;
    static std::string* path_;
};

}  // namespace testimg
