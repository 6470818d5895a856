#include "shell/shell.h"

#include <cstdio>

void show_error(const char* name)
{
    if (fs_errno >= FSE_OK && fs_errno < FSE_NERR)
        fprintf(stderr, "%s: %s\n", name, fs_errlist[fs_errno]);
    else
        fprintf(stderr, "%s: error %d\n", name, fs_errno);
}
