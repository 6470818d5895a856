// Where the next data or the next hole of a file begins, from its block
// map alone, so that a copy can keep the holes a file has.
#include "fslib/fslib.h"
#include "fslib/ifile.h"
#include "fslib/internal.h"

namespace {

// Most block-map steps one answer takes; past it the answer is one that
// is always true (data at the offset asked, a hole at the end).
constexpr uint64_t SEEK_STEPS = uint64_t{1} << 20;

}  // namespace

int64_t fs_iseek(fs_ifile* f, int64_t offset, bool data)
{
    FS_FILE* s = &f->s;
    const dinode* ip = s->ff_inode;
    const fs_super* sb = s->ff_fs->sb;
    int64_t size = ip->di_size;
    if (offset < 0 || offset >= size) {
        fs_errno = FSE_SEEK;
        return -1;
    }
    bool inline_text = (ip->di_mode & IFMT) == IFLNK && ip->di_blocks == 0
        && size <= static_cast<int64_t>(sizeof ip->di_db + sizeof ip->di_ib);
    if (inline_text)
        return data ? offset : size;
    auto last = static_cast<uint64_t>((size - 1) >> sb->fs_bshift);
    auto lbn = static_cast<uint64_t>(offset >> sb->fs_bshift);
    bool found = false;
    for (uint64_t step = 0; step < SEEK_STEPS && lbn <= last && !found; ++step) {
        uint64_t hole = fsl::map_hole(s->ff_map, ip, lbn);
        found = data ? hole == 0 : hole > 0;
        if (found)
            break;
        if (data)
            lbn = hole > last - lbn ? last + 1 : lbn + hole;
        else
            ++lbn;
    }
    if (!found && lbn > last && data) {
        fs_errno = FSE_SEEK;   // nothing but a hole from here to the end
        return -1;
    }
    if (!found)
        return data ? offset : size;   // the end is a hole; past the step bound, the offset counts as data
    auto at = static_cast<int64_t>(lbn << sb->fs_bshift);
    return at > offset ? at : offset;
}
