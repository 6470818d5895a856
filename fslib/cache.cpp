// What a mounted file system keeps between calls: the inode block read
// last, and path lookup's directory stream with its block and indirect
// blocks.  The device is never written while it is mounted, so nothing
// kept can go stale.
#include <cstdlib>

#include "fslib/fslib.h"
#include "fslib/internal.h"
#include "fslib/log.h"

fs_cache* cache_new(const fsys* fs)
{
    auto* c = static_cast<fs_cache*>(std::calloc(1, sizeof(fs_cache)));
    if (!c)
        return nullptr;
    c->lookup.ff_buf = static_cast<uint8_t*>(std::malloc(FF_BUFSIZE));
    c->lookup.ff_inode = &c->lookup_inode;
    c->lookup.ff_map = fsl::map_new(fs);
    c->iblock = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(fs->sb->fs_bsize)));
    c->iblock_at = -1;
    if (!c->lookup.ff_buf || !c->lookup.ff_map || !c->iblock) {
        cache_free(c);
        return nullptr;
    }
    return c;
}

void cache_free(fs_cache* c)
{
    if (!c)
        return;
    std::free(c->lookup.ff_buf);
    fsl::map_free(c->lookup.ff_map);
    std::free(c->iblock);
    fsl::log_free(c->log);
    std::free(c);
}
