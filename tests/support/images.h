// Shared test fixtures: temporary directories, image files, host trees,
// and disks made by independent tools (makefs + sfdisk).
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/oracle.h"
#include "tools/sunimg.h"

namespace testimg {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it
// when the object goes away (kept when SUNUFS_KEEP_TMP=1, for debugging).
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    // path() + "/" + name
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Removes a file or directory tree; no error if it does not exist.
void remove_tree(const std::string& path);

void write_image(const std::string& path, const std::vector<uint8_t>& bytes);
void write_text(const std::string& path, const std::string& text);
std::vector<uint8_t> read_file(const std::string& path);
std::string read_text(const std::string& path);

// The host device that holds `path`, as "major,minor": a device node's own
// number, else the device of the file system the file lies on.
std::string host_device(const std::string& path);

// Writes a DiskImage (sparsely) to dir/name and returns the path.
std::string write_disk(const TempDir& dir, const sunimg::DiskImage& img, const std::string& name = "disk.img");

// Creates files under root: key = relative path ("etc/passwd"), value =
// content.  A key ending in "/" makes a directory.  Parents are created.
void make_host_tree(const std::string& root, const std::map<std::string, std::string>& files);

// A Sun disk made by independent tools, the other UFS writer:
//   makefs -t ffs -B be -o version=1,bsize=B,fsize=F -s SIZE fs.img SRCDIR
// (makefs-flavoured big-endian UFS1: uid/gid at 112/116, d_type bytes,
// fast symlinks), copied to the start of the disk image, then a Sun label
// written by sfdisk ("label: sun") with partition 0 = the file system from
// cylinder 0 (tag root) and partition 2 = the whole disk (tag backup).
// sfdisk picks its own geometry for an image file: 255 heads, 63 sectors.
struct MakefsOptions {
    std::string size = "16m";
    int bsize = 8192;
    int fsize = 1024;
    uint64_t start_cyl = 0;   // partition 0's first cylinder (the image stays sparse)
    uint64_t disk_cyls = 0;   // at least this many cylinders on the disk
};

struct MakefsDisk {
    std::string path;          // the disk image
    uint64_t fs_bytes = 0;     // size of the file system image
    uint64_t part_sectors = 0; // partition 0 length (= fs_bytes / 512)
    uint64_t disk_sectors = 0; // whole disk (cylinder multiple)
    oracle::Result makefs, sfdisk;
};

// Throws std::runtime_error (with the tools' output) on failure.  Needs
// makefs and sfdisk (see oracle::require_tool).
MakefsDisk makefs_sun_disk(const std::string& srcdir, const std::string& image, const MakefsOptions& o = {});

// A small standard tree for tests that just need "a file system":
//   /etc/passwd /etc/motd /home/user/notes.txt /usr/share/doc/README
//   /usr/share/doc/long.txt (about 40 KB of numbered lines)
//   /bin -> usr/bin (symlink), /usr/bin/ (empty), /dev/null (chr 3,2),
//   /tmp (mode 01777)
// uids and gids differ per file (see images.cpp).  ino numbers via
// fs.lookup(path).
sunimg::Ufs standard_tree(sunimg::FsOptions o = {});

}  // namespace testimg
