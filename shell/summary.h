// The partition summary that the program prints when no partition is
// chosen, for every label kind.
#pragma once

#include "fslib/fslib.h"

// Writes the summary of `dk` on standard error.
void print_summary(const disk* dk);
