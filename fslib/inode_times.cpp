// An inode's times with the sub-second part its format keeps in the word
// after each time: nanoseconds in the 4.4 format, microseconds in the
// older one.  A part outside its range is damage and reads as 0.
#include "fslib/fslib.h"

namespace {

uint32_t part_ns(int32_t word, bool nanoseconds)
{
    if (word < 0)
        return 0;
    auto v = static_cast<uint32_t>(word);
    if (nanoseconds)
        return v < 1000000000u ? v : 0;
    return v < 1000000u ? v * 1000u : 0;
}

}  // namespace

void fs_inode_times(const dinode* ip, int64_t sec[3], uint32_t nsec[3])
{
    const fsys* fs = fs_getfs();
    bool ns = fs != nullptr && fs->sb->fs_inodefmt == FS_INODEFMT_NEW;
    sec[0] = ip->di_atime;
    sec[1] = ip->di_mtime;
    sec[2] = ip->di_ctime;
    nsec[0] = part_ns(ip->di_atspare, ns);
    nsec[1] = part_ns(ip->di_mtspare, ns);
    nsec[2] = part_ns(ip->di_ctspare, ns);
}
