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

int run_scan(const char* path)
{
    static scan_find found[SCAN_MOST];
    progress_start();
    int n = disk_scan(path, found, show_progress);
    progress_clear();
    if (n < 0) {
        show_error("scan");
        return 1;
    }
    bool any = false;
    for (int i = 0; i < n; i++) {
        if (found[i].kind == SCAN_FS) {
            print_fs(found[i]);
            any = true;
        } else {
            print_label(found[i]);
        }
    }
    // What did not fit is said, never dropped without a word.
    if (fs_scan_left_out != 0)
        printf("scan: %u more findings left out\n", fs_scan_left_out);
    return any && fs_scan_left_out == 0 ? 0 : 1;
}

void report_label_rescue()
{
    if (fs_label_rescue.reason != FSE_OK && fs_label_rescue.reason < FSE_NERR)
        fprintf(stderr, "open disk: %s; using the backup label at sector %llu\n", fs_errlist[fs_label_rescue.reason],
                static_cast<unsigned long long>(fs_label_rescue.sector));
}

void report_mount_notes(const fsys* fs)
{
    if (fs_super_rescue.reason != FSE_OK && fs_super_rescue.reason < FSE_NERR)
        fprintf(stderr, "mount fs: superblock unusable (%s); using the copy at sector %llu\n",
                fs_errlist[fs_super_rescue.reason], static_cast<unsigned long long>(fs_super_rescue.sector));
    if (fs_log_unrolled(fs))
        fputs("\tfile system log not rolled: the newest changes may be missing\n", stderr);
}
