// Declarations shared by the shell's parts: the error printer, the listing
// and paging commands, and the copy command.
#pragma once

#include "fslib/fslib.h"

// Reports a failed library call under the caller's label: "<name>: <text>"
// with the library's status text, or the host's errno text (perror) when
// the library status is 0.  It never clears fs_errno.
void show_error(const char* name);

// Reports made through show_error since the program started: a command
// that made one has failed.
extern unsigned sh_reported;

// ls: lists directory `path` of the mounted file system.  A null
// `long_flag` selects the short form ("%10d %24s\n" on standard output);
// any other value the long form on standard error.
void do_ls(const char* path, const char* long_flag);

// more: feeds file `path` through the pager "less".  Returns 0 when the
// pager ran (read failures have been reported), 1 when the pager cannot be
// started or the file cannot be opened.
int do_more(const char* path);

// cp: copy flags, built from the options -r, -p and -v.
inline constexpr int CP_RECURSIVE = 1;
inline constexpr int CP_PERM = 2;
inline constexpr int CP_VERBOSE = 4;

// cp [-rpv] fs-file unix-file; argv[0] is "cp".  Result codes:
// 0 copied, 1 bad option or the host file could not be made or written,
// 2 wrong operand count, 3 source not found or -r target missing, 4 -r
// target not a directory, 5 cannot open the target directory, 6 -r file
// onto an existing host file, CP_FAILED something else failed (named).
// Every cp -r of a directory ends with a summary line.
int do_cp(int argc, char** argv);
// Result of do_cp when the copy ran but something in it failed; every
// failure has been named on standard error already.
inline constexpr int CP_FAILED = 7;
void cp_usage();
// Remembers the disk being read, so that no copy ever writes over it.
void protect_disk(const disk* d);
