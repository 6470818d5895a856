// Which of a file system's own records lie in sectors that cannot be
// read: the superblock, each cylinder group's copy of it, and each group's
// block.  With a rescue map nothing is read; without one each record is
// read once.
#include <cstdlib>

#include "fslib/fslib.h"
#include "fslib/internal.h"
#include "fslib/platform.h"
#include "fslib/rescue.h"

namespace {

// True when any of the `count` bytes at device byte `offset` are lost.
bool region_lost(const fsys* fs, int64_t offset, uint32_t count, uint8_t* scratch)
{
    if (offset < 0)
        return true;
    fsl::sector_list bad;
    if (fsl::dev_probe(fs->handle, offset, count, &bad))
        return !bad.empty();
    uint32_t got;
    int rc = fsl::dev_read(fs->handle, offset, scratch, count, &got, &bad);
    return rc != FSE_OK || got != count;
}

}  // namespace

int fs_meta_lost(fsys* fs, bool* super, std::vector<uint32_t>* copies, std::vector<uint32_t>* groups)
{
    *super = false;
    const fs_super* sb = fs->sb;
    auto* scratch = static_cast<uint8_t*>(std::malloc(sizeof(fs_super)));
    if (!scratch)
        return FSE_NOMEM;
    int64_t start = fs->start;
    *super = region_lost(fs, start < 0 ? -1 : start + SBOFF, sizeof(fs_super), scratch);
    if (fsl::groups_ok(sb) && start >= 0) {
        // The group block is at most a block; a larger claim is damage.
        int32_t cgsize = sb->fs_cgsize > 0 && sb->fs_cgsize <= sb->fs_bsize ? sb->fs_cgsize : sb->fs_bsize;
        for (int64_t c = 0; c < sb->fs_ncg; c++) {
            int64_t copy = fsl::copy_offset(sb, c);
            int64_t group = copy - int64_t{sb->fs_sblkno} * sb->fs_fsize + int64_t{sb->fs_cblkno} * sb->fs_fsize;
            if (region_lost(fs, start + copy, sizeof(fs_super), scratch))
                copies->push_back(static_cast<uint32_t>(c));
            if (sb->fs_cblkno < 0 || sb->fs_cblkno >= sb->fs_fpg
                || region_lost(fs, start + group, sector_round(static_cast<uint32_t>(cgsize)), scratch))
                groups->push_back(static_cast<uint32_t>(c));
        }
    }
    std::free(scratch);
    return FSE_OK;
}
