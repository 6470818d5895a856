// What the mount knows of the image between requests: which host node is
// which inode, the directories' entries, the paths that name damaged
// objects, and the status of an inode as the host sees it.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "fslib/fslib.h"

namespace mnt {

// Host node numbers.  The host's root is node 1, and inode 1 takes node 2,
// the root's number; every other inode is its own node.  The host never
// takes the root's node as the answer to a lookup, so the root found by a
// name ("<2>") has a node of its own, and so has the directory of lost
// trees; both lie above every 32-bit inode number.
inline constexpr uint64_t ROOT_NODE = 1;
inline constexpr uint64_t LOST_NODE = uint64_t{1} << 32;
inline constexpr uint64_t ROOT_ALIAS_NODE = LOST_NODE + 1;
inline constexpr const char* LOST_NAME = "<lost>";
inline constexpr const char* LOST_XATTR = "user.sunufs.lost";

// The node a lookup answers with for inode `ino`.
uint64_t node_of(uint32_t ino);
// The inode of host node `node`; 0 for the lost directory or a node no
// inode has.
uint32_t inode_of(uint64_t node);

struct entry {
    std::string name;   // raw bytes as stored
    uint32_t ino;
};

// One directory's entries in disk order, read once.
struct listing {
    std::vector<entry> entries;
    std::unordered_map<std::string, uint32_t> by_name;
};

// The mount's state; one per mount, used by one thread.
struct state {
    uint32_t inodes = 0;                                  // inode numbers below this exist
    std::unordered_map<uint32_t, std::shared_ptr<listing>> dirs;
    size_t dir_entries = 0;                               // entries held in `dirs`
    std::unordered_map<uint32_t, std::string> paths;      // first path seen for an inode
    std::unordered_set<uint32_t> damaged;                 // objects already named
    std::unordered_map<uint32_t, std::string> ranges;     // lost ranges found so far
    bool lost_known = false;
    std::vector<uint32_t> lost;                           // the lost trees' tops
    // Files the kernel holds open: an unmount while some are open (a
    // signal, fusermount3 -u) sends no release for them.
    std::unordered_set<fs_ifile*> open;
};

// Sets up `st` for the current file system.
void state_start(state& st);

// The entries of directory `ino`, read when not held; null with errno.
std::shared_ptr<listing> dir_listing(state& st, uint32_t ino);
// Remembers `path` for `ino` when it has none yet.
void note_path(state& st, uint32_t ino, const std::string& path);
std::string path_of(const state& st, uint32_t ino);
// The tops of the lost trees, found on first use.
const std::vector<uint32_t>& lost_list(state& st);

// The host's status of inode `ino`; 0, or an errno value.
int inode_attr(const state& st, uint32_t ino, struct stat* out);
// The lost directory's status, made from the root's.
int lost_dir_attr(const state& st, struct stat* out);

// The lost ranges of inode `ino` as "A-B,C-D" (end exclusive; "" when
// none), found once; false when the inode cannot be opened.
bool lost_ranges(state& st, uint32_t ino, std::string* text);
// Names a damaged object on standard error, once per object.
void report_damage(state& st, uint32_t ino, const std::string& what);

}  // namespace mnt
