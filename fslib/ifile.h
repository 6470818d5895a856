// A file opened by inode number outside the stream table (inode_file.cpp),
// shared with the calls that walk its block map.
#pragma once

#include "fslib/fslib.h"

struct fs_ifile {
    FS_FILE s;   // never in the table: its slot is this allocation
};
