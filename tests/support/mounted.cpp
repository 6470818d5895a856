#include "support/mounted.h"

#include "fslib/internal.h"

#include <algorithm>
#include <iterator>

namespace testimg {

Mounted::Mounted(const sunimg::DiskImage& img, int part)
{
    path_ = write_disk(dir_, img);
    open(part);
}

Mounted::Mounted(const std::string& path, int part) : path_(path) { open(part); }

Mounted::~Mounted()
{
    if (fs_)
        fs_umount(fs_);
    if (d_)
        disk_close(d_);
}

void Mounted::open(int part)
{
    d_ = disk_open(path_.c_str());
    if (d_)
        fs_ = fs_mount(d_, part, 0);
}

bool all_stream_slots_free()
{
    return std::all_of(std::begin(fs_files), std::end(fs_files),
                       [](const FS_FILE& f) { return f.ff_fs == nullptr; });
}

void LibraryTest::SetUp()
{
    ASSERT_EQ(fs_current, nullptr) << "an earlier test left a file system mounted";
    ASSERT_TRUE(all_stream_slots_free()) << "an earlier test left a stream open";
}

void LibraryTest::TearDown()
{
    EXPECT_EQ(fs_current, nullptr);
    EXPECT_TRUE(all_stream_slots_free());
}

TempDir* StandardDiskSuite::dir_ = nullptr;
sunimg::DiskImage* StandardDiskSuite::image_ = nullptr;
std::string* StandardDiskSuite::path_ = nullptr;

void StandardDiskSuite::SetUpTestSuite()
{
    dir_ = new TempDir;
    image_ = new sunimg::DiskImage(sunimg::make_disk(standard_tree()));
    path_ = new std::string(write_disk(*dir_, *image_));
}

void StandardDiskSuite::TearDownTestSuite()
{
    delete path_;
    delete image_;
    delete dir_;
    path_ = nullptr;
    image_ = nullptr;
    dir_ = nullptr;
}

}  // namespace testimg
