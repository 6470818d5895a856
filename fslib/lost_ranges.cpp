// The byte ranges of a file that cannot be read, found from its block map
// without reading its data: a block whose indirect block cannot be read,
// and a block that lies in an area the rescue map names as unreadable.
// A device error outside the map shows only when the block is read.
#include "fslib/fslib.h"
#include "fslib/ifile.h"
#include "fslib/internal.h"
#include "fslib/platform.h"

namespace {

// Whether the device already knows some of these bytes to be lost (a
// rescue map, or sectors that failed before), without reading them.
bool known_lost(const fsys* fs, int64_t offset, uint32_t count)
{
    fsl::sector_list failed;
    return fsl::dev_probe(fs->handle, offset, count, &failed) && !failed.empty();
}

// Most block-map steps one walk takes: a healthy file of the largest size
// the 32-bit sizes of real disks reach needs far fewer, while a damaged
// map could ask for billions.  Past it the walk says what it found so far.
constexpr uint64_t LOST_STEPS = uint64_t{1} << 22;

struct run_list {
    int64_t (*runs)[2];
    uint32_t most;
    uint32_t count = 0;
    int64_t end = -1;   // where the last run ends
};

void add_run(run_list& r, int64_t from, int64_t to)
{
    if (r.count > 0 && from == r.end) {
        if (r.count <= r.most)
            r.runs[r.count - 1][1] = to;
    } else {
        r.count++;
        if (r.count <= r.most) {
            r.runs[r.count - 1][0] = from;
            r.runs[r.count - 1][1] = to;
        }
    }
    r.end = to;
}

}  // namespace

uint32_t fs_ilost(fs_ifile* f, int64_t (*runs)[2], uint32_t most)
{
    FS_FILE* s = &f->s;
    const dinode* ip = s->ff_inode;
    const fs_super* sb = s->ff_fs->sb;
    run_list r{runs, most};
    int64_t size = ip->di_size;
    // A short link's text is in the inode: it has no blocks to lose.
    bool inline_text = (ip->di_mode & IFMT) == IFLNK && ip->di_blocks == 0
        && size <= static_cast<int64_t>(sizeof ip->di_db + sizeof ip->di_ib);
    if (size <= 0 || inline_text)
        return 0;
    auto last = static_cast<uint64_t>((size - 1) >> sb->fs_bshift);
    uint64_t lbn = 0;
    for (uint64_t step = 0; step < LOST_STEPS && lbn <= last; ++step) {
        uint64_t hole = fsl::map_hole(s->ff_map, ip, lbn);
        if (hole > 0) {
            lbn = hole > last - lbn ? last + 1 : lbn + hole;
            continue;
        }
        auto pos = static_cast<int64_t>(lbn << sb->fs_bshift);
        int64_t count = fsl::block_count(sb, size, static_cast<int64_t>(lbn), pos);
        uint32_t addr = 0;
        int rc = fsl::map_block(s->ff_map, ip, lbn, &addr);
        if (rc != FSE_OK
            || (addr != 0
                && known_lost(s->ff_fs, fsl::frag_offset(s->ff_fs, addr), sector_round(static_cast<uint32_t>(count)))))
            add_run(r, pos, pos + count);
        ++lbn;
    }
    return r.count;
}
