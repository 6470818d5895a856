#include "shell/shell.h"

#include <cstdio>
#include <cstring>

void show_error(const char* name)
{
    if (fs_errno == FSE_HOST)
        fprintf(stderr, "%s: %s\n", name, strerror(fs_syserr));
    else if (fs_errno >= FSE_OK && fs_errno < FSE_NERR)
        fprintf(stderr, "%s: %s\n", name, fs_errlist[fs_errno]);
    else
        fprintf(stderr, "%s: error %d\n", name, fs_errno);
}
