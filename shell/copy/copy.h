// Shared by the parts of the cp command: the walk's context and counts,
// the attributes of an image node that a copy carries over, and the host
// side of a copy (files, directories, links and their attributes).
#pragma once

#include "fslib/fslib.h"
#include "shell/copy/tree.h"

#include <cstdint>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <vector>

// Where a file with more than one name was copied first, so that its
// other names become hard links to that copy.
struct first_copy {
    std::string host_path;
    uint64_t dev = 0;
    uint64_t ino = 0;
};

// State of one cp command, passed down the walk.
struct copy_ctx : walk_ctx {
    bool as_root = false;        // owners can be carried over
    bool perm_failed = false;    // a -p step failed and was reported
    std::vector<uint8_t> buffer;             // data on its way to the host
    std::unordered_map<uint32_t, first_copy> linked;   // inodes of link count above 1
    // Where the copy lands, for messages that name a host path: the image
    // path `image_base` lands at host path `host_base`.
    std::string image_base;
    std::string host_base;
};

// The names this copy has made in one host directory.  A host directory
// the copy made itself holds nothing else, so any name met there again is
// a second entry of the same name in the image; in a directory that was
// there before, the host files this copy made are told apart by their
// host file numbers.
struct host_names {
    bool fresh = false;                  // made by this copy
    std::unordered_set<uint64_t> made;   // host file numbers; only when not fresh
};

// The attributes of an image node that a copy uses.
struct image_attrs {
    uint16_t mode = 0;
    int nlink = 0;
    uint32_t uid = 0;
    uint32_t gid = 0;
    int64_t atime = 0;
    int64_t mtime = 0;
    int64_t ctime = 0;
    long long size = 0;
};

// Owner ids are read as stored: a 16-bit id of 32768 and up is not a
// negative number.
template <typename T>
uint32_t image_id(T id)
{
    return static_cast<uint32_t>(static_cast<std::make_unsigned_t<T>>(id));
}

// The host's <sys/stat.h> may turn the time field names into macros.
#pragma push_macro("st_atime")
#pragma push_macro("st_mtime")
#pragma push_macro("st_ctime")
#undef st_atime
#undef st_mtime
#undef st_ctime
inline image_attrs attrs_of(const fs_statrec& st)
{
    image_attrs a;
    a.mode = st.st_mode;
    a.nlink = st.st_nlink;
    a.uid = image_id(st.st_uid);
    a.gid = image_id(st.st_gid);
    a.atime = st.st_atime;
    a.mtime = st.st_mtime;
    a.ctime = st.st_ctime;
    a.size = static_cast<long long>(st.st_size);
    return a;
}
#pragma pop_macro("st_ctime")
#pragma pop_macro("st_mtime")
#pragma pop_macro("st_atime")

// Longest name a host directory holds; a longer one is never shortened.
inline constexpr size_t HOST_NAME_MAX_LEN = 255;

// The last name of a source path, or "" when it has no plain one.
std::string last_name(const char* path);

// Reports a failed host call: "<label>: <reason>", the label shown as it
// may be written to standard error.
void host_error(const char* label, int err);
// Opens host file `path` for a command's output, made or emptied ("-":
// standard output); -1 after a "<cmd>: ..." line when it cannot be, or is
// the disk being read.
int open_output(const char* cmd, const char* path);
// Opens a stream on image file `ino`; null after naming `image_path` as
// failed (counted).
FS_FILE* open_image_file(walk_ctx& cx, uint32_t ino, const std::string& image_path);
// Says what became of a file that did not come out whole:
// "<path>: incomplete, <got> of <size> bytes".
// `path: incomplete, GOT of SIZE bytes[; lost RUNS]`: the bytes that
// reached the host from the disk, and the runs that lost_text names.
void report_incomplete(const std::string& path, long long got, long long size, const std::string& lost);
// The runs a file stream lost, as a file's line names them ("" when none):
// "START-END" in file offsets, ascending, the first ones, then "and N more";
// and the bytes they hold.
std::string lost_text(const FS_FILE* in);
long long lost_bytes(const FS_FILE* in);
// Reads the target text of link inode `ino` into `text`; reports and
// returns false when it cannot be read whole or cannot be a host link.
bool read_link_text(uint32_t ino, const image_attrs& a, const char* name, std::string& text);

// The host path that image path `image_path` lands at.
std::string host_path_of(const copy_ctx& cx, const std::string& image_path);

// How a host name for an entry came to be opened.
enum class host_open {
    ok,         // opened (made, or there from an earlier command)
    refused,    // reported and named: the disk itself, or a name this copy made
    failed,     // the host call failed (errno says why); nothing reported
};

// Opens host file `name` in `dirfd` for writing, emptied.  With `names`
// (inside the target) a symbolic link of that name is refused instead of
// followed and a name this copy made already is refused.  The disk being
// read is never opened.  `*fd` receives the descriptor.
host_open host_file_open(copy_ctx& cx, host_names* names, int dirfd, const char* name,
                         const std::string& image_path, int* fd);
// Notes a name made in `names`'s directory for the duplicate check.
void note_made(host_names* names, int dirfd, const char* name, int fd);
// Refuses a name this copy made already in `names`'s directory: reported,
// named and counted as failed.  False when the name is new to this copy.
bool refuse_duplicate(copy_ctx& cx, const host_names* names, int dirfd, const char* name,
                      const std::string& image_path);

// copy_file: copies the regular file (or any node read as one) of inode
// `ino` to host file `name` in host directory `dirfd`.  `names`: the name
// was chosen by the walk inside the target (see host_file_open); null for
// the path the user typed.  Counts the file and names it when it failed.
// Returns 0 copied whole, 1 the host file could not be made or written
// (errno says why), 2 any other failure (reported and named).
int copy_file(copy_ctx& cx, uint32_t ino, const image_attrs& a, int dirfd,
              const char* name, host_names* names, const std::string& image_path);

// copy_link: makes host symbolic link `name` in `dirfd` holding the target
// text stored in link inode `ino`.  Counts it.  False when it failed or
// was not copied.
bool copy_link(copy_ctx& cx, uint32_t ino, const image_attrs& a, int dirfd,
               const char* name, host_names* names, const std::string& image_path);

// copy_regular: copy_file for a file met in a cp -r walk, where a second
// name of a file copied already becomes a hard link to its first copy
// (counted among the links), or a copy again when the host refuses it.
int copy_regular(copy_ctx& cx, uint32_t ino, const image_attrs& a, int dirfd,
                 const char* name, host_names* names, const std::string& image_path);

// copy_dir: copies directory inode `ino` (status `rec`), image path
// `path`, with everything below it, into host directory `dirfd`: under
// `host_name`, or straight into `dirfd` when it is empty (then the host
// directory keeps its own attributes).  `word` names it in messages as the
// user typed it; `parent_ino` is the directory its ".." must name (0: not
// known).
void copy_dir(copy_ctx& cx, uint32_t ino, const fs_statrec& rec, int dirfd,
              const std::string& host_name, const std::string& path,
              const std::string& word, uint32_t parent_ino);

// Host directories for the walk: makes (or reuses) directory `name` in
// `dirfd` and opens it, never through a symbolic link; -1 when it cannot
// (errno says why).  `*made` tells that this call made it.
int host_dir_make(int dirfd, const char* name, bool private_mode, bool* made);

// copy_perm: carries mode, times and (as root) owner over to the open host
// file or directory `fd`; for a link, to `name` in `dirfd` without
// following it (fd is -1).  Failures are reported under "copy_perm".
void copy_perm(copy_ctx& cx, const image_attrs& a, int fd, int dirfd, const char* name);

// Sets up one copy command with cp's option flags.
void copy_start(copy_ctx& cx, int flags);
// Copies node `ino` into host directory `dirfd` under `name` as cp -r
// copies an entry: a directory with its tree, a file, a link made again,
// anything else not copied.  `path` names it in messages.
void copy_tree_into(copy_ctx& cx, uint32_t ino, int dirfd, const std::string& name, const std::string& path);
// The line that ends a tree copy.
void print_summary(const copy_counts& n);
// Whether the copy failed: something not copied whole, a -p step, a stop.
bool copy_failed(const copy_ctx& cx);
