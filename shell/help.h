// The `help` (and `?`) command's list, and the names the prompt completes
// as commands.
#pragma once

// Writes one line per command, with its options, to standard error.
void print_help();

// The command word number `index` (from 0), for completion at the prompt;
// null past the last one.
const char* command_word(unsigned index);
