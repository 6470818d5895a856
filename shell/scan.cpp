// The disk scan's report and the notices of what was taken from a copy.
// The report's lines are a stable format that scripts may read: each
// starts with "sector N: ", the thing found follows, and a file system's
// line ends with its last mount point, the only free text.
#include "shell/scan.h"
#include "shell/prompt/console.h"
#include "shell/shell.h"

#include <cstdio>

namespace {

// The progress line on a terminal, as a copy shows its own.
void show_progress(uint64_t done, uint64_t total)
{
    double seconds = progress_due();
    if (seconds == 0)
        return;
    progress_draw("scanned " + human_bytes(static_cast<double>(done)) + " of "
                  + human_bytes(static_cast<double>(total)) + ", "
                  + human_bytes(static_cast<double>(done) / seconds) + "/s");
}

void print_label(const scan_find& f)
{
    const char* what = f.kind == SCAN_LABEL ? "label" : "backup label";
    const char* state = f.kind == SCAN_LABEL && f.status != FSE_OK ? fs_errlist[f.status]
                        : f.kind == SCAN_BACKUP && !f.placed   ? "out of place"
                                                               : "sound";
    printf("sector %llu: %s, %s\n", static_cast<unsigned long long>(f.sector), what, state);
}

// The lines of the other label kinds and of a replica.
void print_other(const scan_find& f)
{
    auto sector = static_cast<unsigned long long>(f.sector);
    switch (f.kind) {
    case SCAN_FDISK:
        printf("sector %llu: fdisk partition %d, type 0x%02x\n", sector, f.number, static_cast<unsigned>(f.type));
        break;
    case SCAN_X86:
        printf("sector %llu: x86 label, sound\n", sector);
        break;
    case SCAN_GPT:
    case SCAN_GPT_BACKUP:
        printf("sector %llu: %s, sound\n", sector, f.kind == SCAN_GPT ? "GPT header" : "GPT backup header");
        break;
    default:
        printf("sector %llu: volume manager replica\n", sector);
        break;
    }
}

void print_fs(const scan_find& f)
{
    printf("sector %llu: file system, %llu %s, block %d, fragment %d, %d %s, open with -o %llu%s",
           static_cast<unsigned long long>(f.sector), static_cast<unsigned long long>(f.sectors),
           plural(f.sectors, "sector", "sectors"), f.bsize, f.fsize, f.copies,
           plural(static_cast<unsigned>(f.copies), "copy", "copies"), static_cast<unsigned long long>(f.sector),
           f.primary ? "" : " -b");
    if (f.fsmnt[0] != '\0') {
        fputs(", last mounted on ", stdout);
        fs_puttext(stdout, f.fsmnt, sizeof f.fsmnt);
    }
    putchar('\n');
}

}  // namespace

int run_scan(const char* path, const fs_map* map)
{
    static scan_find found[SCAN_MOST];
    disk_note note;
    progress_start();
    int n = disk_scan(path, map, &note, found, show_progress);
    progress_clear();
    if (n < 0 && fs_errno == FSE_CONTAINER)
        fprintf(stderr, "open disk: %s: %s\n", path, note.text);
    else if (n < 0)
        show_error("scan");
    if (n < 0)
        return 1;
    if (map != nullptr)
        report_map(map, note.size);
    report_container(stdout, note.format, note.size);
    bool any = false;
    for (int i = 0; i < n; i++) {
        if (found[i].kind == SCAN_FS) {
            print_fs(found[i]);
            any = true;
        } else if (found[i].kind == SCAN_LABEL || found[i].kind == SCAN_BACKUP) {
            print_label(found[i]);
        } else {
            print_other(found[i]);
        }
    }
    if (note.skipped != 0)
        fprintf(stderr, "scan: %llu unreadable sectors skipped\n", static_cast<unsigned long long>(note.skipped));
    // What did not fit is said, never dropped without a word.
    if (note.left_out != 0)
        printf("scan: %u more findings left out\n", note.left_out);
    return any && note.left_out == 0 ? 0 : 1;
}

void report_container(FILE* stream, const char* format, int64_t bytes)
{
    if (format[0] != '\0')
        fprintf(stream, "container: %s, %lld bytes\n", format, static_cast<long long>(bytes));
}

void report_map(const fs_map* map, int64_t disk_bytes)
{
    uint64_t bytes = 0;
    unsigned areas = 0;
    fs_map_totals(map, disk_bytes, &bytes, &areas);
    fprintf(stderr, "map: %llu %s in %u %s unreadable\n", static_cast<unsigned long long>(bytes),
            plural(bytes, "byte", "bytes"), areas, plural(areas, "area", "areas"));
}

void report_label_rescue(const disk* d)
{
    if (d->label_from.reason != FSE_OK && d->label_from.reason < FSE_NERR)
        fprintf(stderr, "open disk: %s; using the backup %s at sector %llu\n", fs_errlist[d->label_from.reason],
                d->label_from.gpt ? "GPT header" : "label", static_cast<unsigned long long>(d->label_from.sector));
}

void report_mount_notes(const fsys* fs, const fs_rescue& used)
{
    if (used.reason != FSE_OK && used.reason < FSE_NERR)
        fprintf(stderr, "mount fs: superblock unusable (%s); using the copy at sector %llu\n",
                fs_errlist[used.reason], static_cast<unsigned long long>(used.sector));
    uint32_t replayed = 0;
    const char* why = nullptr;
    switch (fs_log_state(fs, &replayed, &why)) {
    case FS_LOG_REPLAYED:
        fprintf(stderr, "\tfile system log: %u transactions replayed in memory\n", replayed);
        break;
    case FS_LOG_DAMAGED:
        fprintf(stderr, "\tfile system log damaged (%s): not replayed; the newest changes may be missing\n", why);
        break;
    case FS_LOG_EMPTY:
        break;   // read whole: nothing is missing
    default:
        if (fs_log_unrolled(fs))
            fputs("\tfile system log not rolled: the newest changes may be missing\n", stderr);
    }
}

void hint_open_failure()
{
    // A disk that opens neither by a label nor as one bare file system.
    if (fs_errno == FSE_MAGIC)
        fputs("\t-s scans the disk for labels and file systems\n", stderr);
}

void hint_mount_failure(disk* d, int part, bool copies_tried)
{
    int why = fs_errno;
    if (why == FSE_MAGIC && !copies_tried)
        fputs("\t-b tries the superblock copies; -s scans the disk for file systems\n", stderr);
    if (why == FSE_READ && !copies_tried) {
        fs_rescue used;
        if (fsys* fs = fs_mount_with(d, part, FS_MNT_SBCOPY, &used)) {
            fs_umount(fs);
            if (used.reason != FSE_OK)
                fprintf(stderr, "\ta superblock copy at sector %llu is sound: add -b\n",
                        static_cast<unsigned long long>(used.sector));
        }
        fs_errno = why;
    }
    if (why != FSE_PART || (part != 1 && part != 2) || d->bare)
        return;
    // Slots 1 and 2 are refused by convention (swap, the whole disk), yet
    // on some disks the one slot holds the only file system.
    if (fsys* fs = fs_mount(d, part, FS_MNT_ANYPART)) {
        fs_umount(fs);
        fprintf(stderr, "\tpartition %d holds a file system: open it with -o %llu\n", part,
                static_cast<unsigned long long>(part_start_sectors(d->label, part)));
    }
    fs_errno = why;
}
