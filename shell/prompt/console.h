// What the shell shows at a terminal: names made safe to print, the
// progress line of a long copy, and Ctrl-C while a command runs.  Away from
// a terminal (a pipe, a file) none of this changes a byte of the output.
#pragma once

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <string>

// Set by Ctrl-C while a command runs; a command that finds it set stops
// early and the prompt comes back.  Cleared before each command.
extern volatile std::sig_atomic_t sh_interrupted;

// `name` (a name or link target from the image) as it may be written to
// `stream`: exactly as stored when the stream is not a terminal; at a
// terminal, by the library's one rule for text from the disk
// (fs_textchar), so an image cannot drive the user's terminal.
std::string shown(const char* name, FILE* stream);

// The progress line of a copy on standard error, only when it is a
// terminal and the copy has run for more than a second: files and bytes
// so far, the rate, and the image path being copied, cut to the terminal's
// width.  progress_start at the start of a cp command; progress_update as
// each entry starts and as data arrives; progress_clear erases the line
// and must be called before anything else is written to standard error
// while a copy runs (and at its end, before the summary).
// While one file of at least PROGRESS_BIG_FILE bytes is on its way,
// `file_done` and `file_size` give its progress and the line shows that
// file's share done and the time left instead of the file count.
inline constexpr uint64_t PROGRESS_BIG_FILE = uint64_t{64} << 20;
void progress_start();
void progress_update(uint64_t files, uint64_t bytes, const char* image_path, uint64_t file_done = 0,
                     uint64_t file_size = 0);
void progress_clear();
// For other long work: the seconds since progress_start when a line is
// due now (0 when not: no terminal, too early, or drawn too recently), and
// the line to draw.
double progress_due();
void progress_draw(const std::string& line);
// "12.3 MB" style: bytes in the largest unit that keeps the number small.
std::string human_bytes(double value);

// isatty(fd), without touching errno: the shell reports errno left by the
// commands, and asking whether a stream is a terminal must not change it.
bool is_terminal(int fd);
