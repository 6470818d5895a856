// The shell's side of the way back in: the disk scan (-s) and the notices
// of a disk or file system opened from a copy.
#pragma once

#include "fslib/fslib.h"

// Scans the disk at `path` and prints what it found on standard output,
// one line each; returns the exit status: 0 when a file system was found,
// 1 when none was (or the disk could not be read).
int run_scan(const char* path);

// After disk_open: the line that says a backup label is in use, if one is.
void report_label_rescue();

// After fs_mount: the line that says a superblock copy is in use, and the
// warning for a log not yet rolled.
void report_mount_notes(const fsys* fs);

// After "open disk: ..." with fs_errno as the open left it: the hint line
// that names the next step, when there is one.
void hint_open_failure();

// After "mount fs: ..." for partition `part` of `d` with fs_errno as the
// mount left it: the hint line that names the next step, when there is
// one.  `copies_tried`: the mount was asked to try the superblock copies.
void hint_mount_failure(disk* d, int part, bool copies_tried);
