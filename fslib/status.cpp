#include "fslib/fslib.h"

int fs_errno = FSE_OK;

const char* const fs_errlist[FSE_NERR] = {
    "No error",
    "Bad checksum",
    "Bad magic number",
    "Read error",
    "Empty partition",
    "Bad partition",
    "Seek error",
    "Resource temporarily unavailable",
    "Too many open files",
    "Not a directory",
    "Filename too long",
    "No such file or directory",
    "Bad superblock",
    "File too large",
    "No file system mounted",
    "UFS2 is not supported",
    "Volume manager replica, not a file system",
    "Volume manager stripe or concatenation, not supported",
};
