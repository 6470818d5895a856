// The runs of a file's bytes as its block map alone shows them: data,
// holes, and spans under an indirect block that cannot be read.  A reader
// that must describe a file before it reads it (an archive's sparse map
// comes before the data) learns its shape here without reading a data
// block, and then passes over the holes and lost spans at once.
#include "fslib/fslib.h"
#include "fslib/internal.h"

namespace {

// Most map steps one call takes; the next call goes on from there.  A
// healthy map needs a handful per run; a damaged one is bounded this way.
constexpr uint64_t RUN_STEPS = 1u << 22;

// Whole runs of blocks are measured in logical blocks; the file's last
// block may be short, so byte ends are clipped to the size.
int64_t byte_end(const FS_FILE* f, uint64_t lbn)
{
    int64_t size = f->ff_inode->di_size;
    uint64_t last = static_cast<uint64_t>((size - 1) >> f->ff_fs->sb->fs_bshift);
    if (lbn > last)
        return size;
    return static_cast<int64_t>(lbn) << f->ff_fs->sb->fs_bshift;
}

// Every block under one single indirect block shares its path of indirect
// blocks: when one of them cannot be mapped, none of them can.  The first
// block after the single indirect span that holds `lbn`.
uint64_t next_single_span(const fs_super* sb, uint64_t lbn)
{
    auto n = static_cast<uint64_t>(sb->fs_nindir);
    return NDADDR + ((lbn - NDADDR) / n + 1) * n;
}

}  // namespace

int64_t fs_frun(FS_FILE* f, int64_t pos, int* kind)
{
    *kind = FS_RUN_DATA;
    int64_t size = f->ff_inode->di_size;
    if (pos < 0 || pos >= size)
        return 0;
    const fs_super* sb = f->ff_fs->sb;
    auto lbn = static_cast<uint64_t>(pos >> sb->fs_bshift);
    auto last = static_cast<uint64_t>((size - 1) >> sb->fs_bshift);
    uint64_t end = lbn;
    uint32_t addr = 0;
    if (fsl::map_hole(f->ff_map, f->ff_inode, lbn) > 0) {
        *kind = FS_RUN_HOLE;
        for (uint64_t step = 0; step < RUN_STEPS && end <= last; ++step) {
            uint64_t hole = fsl::map_hole(f->ff_map, f->ff_inode, end);
            if (hole == 0)
                break;
            end = hole > last - end ? last + 1 : end + hole;
        }
    } else if (fsl::map_block(f->ff_map, f->ff_inode, lbn, &addr) != FSE_OK) {
        *kind = FS_RUN_LOST;
        end = lbn < NDADDR ? lbn + 1 : next_single_span(sb, lbn);
        for (uint64_t step = 0; step < RUN_STEPS && end <= last; ++step) {
            if (fsl::map_block(f->ff_map, f->ff_inode, end, &addr) == FSE_OK)
                break;
            end = next_single_span(sb, end);
        }
    } else {
        for (uint64_t step = 0; step < RUN_STEPS && end <= last; ++step) {
            if (fsl::map_block(f->ff_map, f->ff_inode, end, &addr) != FSE_OK || addr == 0)
                break;
            ++end;
        }
    }
    return byte_end(f, end) - pos;
}

int64_t fs_fpass(FS_FILE* f)
{
    int64_t from = f->ff_pos;
    if (f->ff_avail > 0 || from >= f->ff_inode->di_size)
        return 0;
    int kind = FS_RUN_DATA;
    int64_t len = fs_frun(f, from, &kind);
    if (kind == FS_RUN_DATA || len <= 0)
        return 0;
    uint32_t addr = 0;
    int status = FSE_OK;
    if (kind == FS_RUN_LOST)
        status = fsl::map_block(f->ff_map, f->ff_inode, static_cast<uint64_t>(f->ff_lbn), &addr);
    fsl::stream_pass(f, from + len, status);
    return len;
}
