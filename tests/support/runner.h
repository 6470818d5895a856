// Runs the sunufs binary (or any program) as a child process with given
// arguments, standard input, extra environment and working directory, and
// captures its standard output, standard error and exit status apart.
#pragma once

#include <string>
#include <vector>

namespace runner {

struct Result {
    std::string out;   // standard output
    std::string err;   // standard error
    int status = -1;   // exit status, or 128 + signal number, or -1 (not run / timed out)
};

struct Options {
    std::vector<std::string> args;  // arguments after argv[0]
    std::string input;              // fed to standard input, then end of file
    std::string stdin_path;         // if set: standard input is this path instead
    std::vector<std::string> env;   // "NAME=value" entries added to (or replacing in) the environment
    std::string cwd;                // working directory of the child; empty: the caller's
    std::string argv0;              // argv[0]; empty: the program path
    int timeout_seconds = 60;       // the child is killed after this long
    // Who the child is (both need root): as_uid >= 0 runs it as that user
    // and group with no other groups; root_only_namespace runs it as root
    // of a user namespace of its own where no other id is mapped, so that
    // giving a file any other owner fails.
    int as_uid = -1;
    bool root_only_namespace = false;
};

// Runs `program` (a path) as described by `opts`.
Result run(const std::string& program, const Options& opts);

// Runs build/sunufs.
Result run_sunufs(const Options& opts);

// A fresh empty directory under the system's temporary directory; the
// caller removes it with remove_tree.
std::string make_temp_dir(const std::string& tag);
void remove_tree(const std::string& path);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& data);
bool path_exists(const std::string& path);

// Writes an executable stand-in for the pager "less" into `dir` with the
// given shell script body (after the "#!/bin/sh" line) and returns the
// environment entries that put `dir` first on the PATH.  The default body
// copies everything it is fed to the file named by $OUT.
std::vector<std::string> install_fake_less(const std::string& dir,
                                           const std::string& body = "cat > \"$OUT\"\n");

}  // namespace runner
