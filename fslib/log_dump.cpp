// The log as the debug dump shows it, after the superblock.
#include <cstdio>

#include "fslib/fslib.h"
#include "fslib/internal.h"
#include "fslib/log.h"

void dump_log(FILE* s, const fsys* fs)
{
    const fs_log* lg = fs->cache ? fs->cache->log : nullptr;
    if (!lg)
        return;
    std::fprintf(s, "%zu\tlog extents, mapping %u bytes\n", lg->extents.size(), lg->ext_nbytes);
    for (size_t i = 0; i < lg->extents.size(); i++) {
        const fsl::log_extent& x = lg->extents[i];
        std::fprintf(s, "\textent %zu: log block %u, at block %u, %u blocks\n", i, x.lbno, x.pbno, x.nbno);
    }
    if (!lg->head_ok) {
        std::fprintf(s, "\tlog damaged: %s\n", lg->why);
        return;
    }
    const fsl::log_header& h = lg->head;
    std::fprintf(s, "%d\tlog header copy used\n", lg->head_copy);
    std::fprintf(s, "%d\tstart of the circular area (log byte)\n", h.od_bol_lof);
    std::fprintf(s, "%d\tend of the circular area\n", h.od_eol_lof);
    std::fprintf(s, "%d\thead, ident %u\n", h.od_head_lof, h.od_head_ident);
    std::fprintf(s, "%d\ttail, ident %u\n", h.od_tail_lof, h.od_tail_ident);
    if (lg->sectors > 0)
        std::fprintf(s, "%u\tsectors in the run of idents, %u to %u\n", lg->sectors, h.od_head_ident, lg->last_ident);
    else
        std::fprintf(s, "0\tsectors in the run of idents\n");
    std::fprintf(s, "%u\ttransactions committed\n", lg->transactions);
    if (lg->state == FS_LOG_DAMAGED)
        std::fprintf(s, "\tlog damaged: %s\n", lg->why);
}
