// What a mounted file system keeps between calls: the inode block read
// last and the buffers and block map of path lookup.  The device is never
// written while it is mounted, so nothing kept can go stale.
#include <cstdlib>

#include "fslib/fslib.h"
#include "fslib/internal.h"

fs_cache* cache_new(const fsys* fs)
{
    auto* c = static_cast<fs_cache*>(std::calloc(1, sizeof(fs_cache)));
    if (!c)
        return nullptr;
    auto bsize = static_cast<size_t>(fs->sb->fs_bsize);
    c->dirmap = fsl::map_new(fs);
    c->dirbuf = static_cast<uint8_t*>(std::malloc(bsize));
    c->iblock = static_cast<uint8_t*>(std::malloc(bsize));
    c->iblock_at = -1;
    if (!c->dirmap || !c->dirbuf || !c->iblock) {
        cache_free(c);
        return nullptr;
    }
    return c;
}

void cache_free(fs_cache* c)
{
    if (!c)
        return;
    fsl::map_free(c->dirmap);
    std::free(c->dirbuf);
    std::free(c->iblock);
    std::free(c);
}
