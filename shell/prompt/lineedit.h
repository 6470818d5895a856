// Reading command lines: plain lines from a pipe or file, exactly as they
// come; at a terminal, an editing prompt with history and completion.
#pragma once

#include <cstddef>

// Shows the prompt "<path>(<part>) # " and reads the next line into `line`
// (`size` bytes, at least 2) without its last character (the newline).
// False at end of input or after a read error.  At a terminal, Ctrl-C
// drops the line being typed and prompts again.
bool read_command_line(const char* path, int part, char* line, size_t size);

// Gives back what the editing prompt holds and puts the terminal back.
void end_command_lines();

// Makes Ctrl-C set sh_interrupted instead of ending the program, when
// standard input is a terminal.  `restart`: interrupted system calls go on
// (while a command runs) or fail with EINTR (while the prompt waits).
void catch_interrupts(bool restart);
