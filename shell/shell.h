// Declarations shared by the shell's parts: the error printer, the listing
// and paging commands, and the copy command.
#pragma once

#include "fslib/fslib.h"

#include <cstdint>
#include <vector>

// Reports a failed library call under the caller's label: "<name>: <text>"
// with the library's status text.  It never clears fs_errno.
void show_error(const char* name);

// The commands that work on the image.  Each returns 0 when it succeeded
// and 1 when it failed, after saying why on standard error.

// ls: lists directory `path` of the mounted file system.  A null
// `long_flag` selects the short form ("%10d %24s\n" on standard output);
// any other value the long form on standard error.
int do_ls(const char* path, const char* long_flag);

// The long listing's line for inode `ino` under `name`; false (said)
// when the inode cannot be read.
bool list_long(uint32_t ino, const char* name);

// lost: lists the allocated inodes that no path from the root reaches, the
// top of each such tree; with a host directory, copies them into it.
int do_lost(int count, char** words);
// The tops of the lost trees that `lost` lists, in inode order.
std::vector<uint32_t> lost_tops();

// bad [path]: names every file, directory, inode and record of the file
// system (below `path`) that lies in a sector that cannot be read; 0 when
// nothing does.
int do_bad(int count, char** words);

// more: feeds file `path` through the pager "less".
int do_more(const char* path);

// stat: the status record of image path `path`, then its inode.
int do_stat(const char* path);

// cp: copy flags, built from the options -r, -p and -v.
inline constexpr int CP_RECURSIVE = 1;
inline constexpr int CP_PERM = 2;
inline constexpr int CP_VERBOSE = 4;

// cp [-rpv] fs-file unix-file; argv[0] is "cp".  Every failure is named on
// standard error; every cp -r of a directory ends with a summary line.
int do_cp(int argc, char** argv);

// body [-5] host-file [path]: the body-file lines of the tree at `path`
// (default "/") into host file `host-file` ("-": standard output).
int do_body(int argc, char** argv);

// tar -c [-v] [-z|-j|-J] -f archive path...: a pax archive of image trees.
int do_tar(int argc, char** argv);

// The noun that goes with count `n` in the program's own figures: "1 file",
// "2 files".
inline const char* plural(unsigned long long n, const char* one, const char* many) { return n == 1 ? one : many; }

// Remembers the disk being read, so that no copy ever writes over it.
void protect_disk(const disk* d);
