#include "shell/shell.h"

#include <cstdio>

unsigned sh_reported = 0;

void show_error(const char* name)
{
    sh_reported++;
    if (fs_errno == FSE_OK) {
        perror(name);
        return;
    }
    if (fs_errno > FSE_OK && fs_errno < FSE_NERR)
        fprintf(stderr, "%s: %s\n", name, fs_errlist[fs_errno]);
    else
        fprintf(stderr, "%s: error %d\n", name, fs_errno);
}
