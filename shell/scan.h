// The shell's side of the way back in: the disk scan (-s) and the notices
// of a disk or file system opened from a copy.
#pragma once

#include "fslib/fslib.h"

#include <cstdio>

// Scans the disk at `path` and prints what it found on standard output,
// one line each; returns the exit status: 0 when a file system was found,
// 1 when none was (or the disk could not be read).
// `map` (null: none) marks what cannot be read.
int run_scan(const char* path, const fs_map* map);

// The line that names the container a disk is read through and its
// virtual size; nothing for a plain file or device.
void report_container(FILE* stream, const char* format, int64_t bytes);

// After the disk opened: the map's totals on a disk of `disk_bytes`.
void report_map(const fs_map* map, int64_t disk_bytes);

// After disk_open: the line that says a backup label is in use, if one is.
void report_label_rescue(const disk* d);

// After fs_mount: the line that says the superblock copy `used` is in use,
// if one is, and the warning for a log not yet rolled.
void report_mount_notes(const fsys* fs, const fs_rescue& used);

// After "open disk: ..." with fs_errno as the open left it: the hint line
// that names the next step, when there is one.
void hint_open_failure();

// After "mount fs: ..." for partition `part` of `d` with fs_errno as the
// mount left it: the hint line that names the next step, when there is
// one.  `copies_tried`: the mount was asked to try the superblock copies.
void hint_mount_failure(disk* d, int part, bool copies_tried);
