#include "fslib/fslib.h"

int fs_errno = FSE_OK;
int fs_syserr = 0;

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
    "Host error",
    "Bad map line",
    "Unreadable image container",
};

void fs_host_failed(int err)
{
    fs_errno = FSE_HOST;
    fs_syserr = err;
}
