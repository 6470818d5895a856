// The partition summary, on standard error: a line that names the label,
// the disk's size, and one line per partition in use.  A slot that holds a
// volume manager's replica says so at the end of its line.
#include "shell/summary.h"

#include <cstdio>

namespace {

constexpr long long SECTORS_PER_MB = 2048;

void end_slot(const disk* dk, int i, const char* type)
{
    if (type && type[0] != '\0')
        fprintf(stderr, "\t%s", type);
    if (slot_replica(dk, i))
        fputs("\tvolume manager replica", stderr);
    fputc('\n', stderr);
}

void sun_summary(const disk* dk)
{
    const dk_label* label = dk->label;
    // Three 16-bit factors can pass 32 bits; the sector count wraps there,
    // which only a damaged label of more than 2 TiB reaches.
    uint32_t sectors = uint32_t{label->dkl_ncyl} * label->dkl_nhead * label->dkl_nsect;
    long long mb = static_cast<int32_t>(sectors) / SECTORS_PER_MB;
    if (dk->bare) {
        fputs("\tno Sun label: one UFS file system\n", stderr);
        mb = dk->bytes / (1024 * 1024);
    } else {
        // The label text may fill its 128 bytes without a NUL.
        fputc('\t', stderr);
        fs_puttext(stderr, label->dkl_asciilabel, sizeof label->dkl_asciilabel);
        fputc('\n', stderr);
    }
    fprintf(stderr, "\t%lld Mb\n", mb);
    for (int i = 0; i < dk->nslots; i++) {
        long long nblk = dk->bare && i == 0 ? dk->bytes / 512
                         : i < NDKMAP        ? label->dkl_map[i].dkl_nblk
                                             : static_cast<long long>(dk->slots[i].sectors);
        if (nblk == 0)
            continue;
        fprintf(stderr, "\t%d\t%lld Mb", i, nblk / SECTORS_PER_MB);
        end_slot(dk, i, nullptr);
    }
}

// Every other label kind: its own first line, then the slots.
void slot_summary(const disk* dk)
{
    if (dk->scheme == SCHEME_GPT) {
        fputs("\tGPT label\n", stderr);
    } else if (dk->scheme == SCHEME_X86) {
        fputc('\t', stderr);
        fs_puttext(stderr, dk->name, sizeof dk->name);
        fputc('\n', stderr);
    } else {
        fputs("\tfdisk label: no Solaris partition\n", stderr);
    }
    fprintf(stderr, "\t%lld Mb\n", static_cast<long long>(dk->bytes / (1024 * 1024)));
    for (int i = 0; i < dk->nslots; i++) {
        const disk_slot& s = dk->slots[i];
        if (s.sectors == 0)
            continue;
        fprintf(stderr, "\t%d\t%lld Mb", i, static_cast<long long>(s.sectors / SECTORS_PER_MB));
        end_slot(dk, i, s.type);
    }
}

}  // namespace

void print_summary(const disk* dk)
{
    if (dk->scheme == SCHEME_SUN)
        sun_summary(dk);
    else
        slot_summary(dk);
}
