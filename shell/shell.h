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
// 0 copied, 1 bad option or the file copy failed, 2 wrong operand count,
// 3 source not found or -r target missing, 4 -r target not a directory,
// 5 cannot change into the target, 6 -r file onto an existing host file.
int do_cp(int argc, char** argv);
// Result of do_cp when the copy ran but something in it failed; every
// failure has been named on standard error already.
inline constexpr int CP_FAILED = 7;
void cp_usage();

// Copies file `src` of the mounted file system to host file `dst`.
// 0 when the copy ran (a read failure has been reported), 1 when either
// side cannot be opened or the host write failed.
int copy_file(const char* src, const char* dst, int flags);

// Copies directory `src` of the mounted file system, with everything below
// it, into the host working directory under the last name of `src` (or
// straight into it when `src` has no last name of its own, as "/", "." or
// ".." have none).  `dst` only appears in the -v line.  2 when the library
// cannot enter `src`, 1 when it cannot be listed or the host directory
// cannot be made or entered, otherwise the result of the last entry copied.
int copy_dir(const char* src, const char* dst, int flags);

// Hook for carrying permissions over to the host; does nothing, returns 0.
int copy_perm(const char* src, const char* dst);
