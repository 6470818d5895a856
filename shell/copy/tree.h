// The walk of one image tree, shared by the commands that take a whole
// tree: cp -r, tar and body.  The walk reads the image; what is done with
// each directory and entry is the command's, through walk_actions.
#pragma once

#include "fslib/fslib.h"

#include <cstdint>
#include <string>
#include <unordered_set>

// What one tree command has done so far; its end summary prints it.
struct copy_counts {
    unsigned files = 0;            // regular files taken whole
    unsigned long long bytes = 0;  // their bytes
    unsigned dirs = 0;             // directories taken
    unsigned links = 0;            // symbolic links and extra hard-link names
    unsigned devices = 0;          // device nodes and fifos
    unsigned not_copied = 0;       // skipped: other types, unsafe names, aliases
    unsigned failed = 0;           // could not be taken whole
};

// State shared by every tree command.
struct walk_ctx {
    int flags = 0;
    bool stopped = false;    // interrupted, or the command cannot go on
    bool interrupted = false;   // stopped by Ctrl-C: what was left is not a failure
    const char* verb = "copied";   // in "<path> not copied" and the like
    copy_counts n;
    std::unordered_set<uint32_t> dirs_seen;  // directory inodes taken
};

// Where the walk is: the image path of the node at hand and the word that
// names it in messages (the source as typed for the top, else its name).
struct walk_at {
    const std::string& path;
    const std::string& word;
    bool top;
};

// What a command does with the tree.  The walk reports and counts what
// it cannot read, "." and ".." it passes over, and a second name of a
// directory it names as already taken.
struct walk_actions {
    walk_ctx& cx;
    explicit walk_actions(walk_ctx& c) : cx(c) {}
    virtual ~walk_actions() = default;
    // Directory `ino` is to be entered; false: it is not (reported and
    // counted by the action).
    virtual bool enter(const walk_at& at, uint32_t ino, const fs_statrec& rec) = 0;
    // The directory on top is done (its entries all read or not); false
    // when the command's side of it failed, counted by the walk.
    virtual bool leave(const walk_at& at) = 0;
    // An entry that is not entered: every type but a directory with a
    // plain name.
    virtual void entry(const walk_at& at, uint32_t ino, const fs_statrec& rec) = 0;
};

// Walks the tree of directory `ino` (status `rec`) at image path `path`,
// typed as `word`; `parent_ino` is what its ".." must name (0: not known).
void walk_tree(walk_actions& act, uint32_t ino, const fs_statrec& rec, const std::string& path,
               const std::string& word, uint32_t parent_ino);

// Looks up image path `word` as typed: its inode, status and absolute
// path; false after the library's reason when it cannot.
bool image_node(const char* word, uint32_t* ino, fs_statrec* rec, std::string* path);

// The directory that the ".." of directory `ino` at absolute image path
// `path` must name: the root names itself; 0 when it cannot be looked up.
uint32_t parent_ino_of(uint32_t ino, const std::string& path);

// An entry name that may be used as a host name inside the target: not
// empty, not "." or "..", no '/', not longer than a host name.
bool plain_name(const char* name);
// The line naming an entry that was not taken whole.
void report_failed(const std::string& image_path);
// The line naming the entry that Ctrl-C cut: the bytes of it that came
// from the disk, of its size; counted as failed, and the command stops.
void report_interrupted(walk_ctx& cx, const std::string& image_path, long long got, long long size);
// The line that follows a command's summary when Ctrl-C stopped it.
void report_stop(const walk_ctx& cx);
// The line naming an entry that is not taken by design (its type, an
// unsafe name), with the command's verb; counted.
void report_not_copied(walk_ctx& cx, const std::string& image_path);

// The loss a stream met: the status of its first lost block (FSE_OK:
// none) and, in *at, the file offset where that block began.
int stream_loss(const FS_FILE* f, int64_t* at);
