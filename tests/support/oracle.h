// Independent oracles: The Sleuth Kit (mmls, fsstat, fls, istat, icat),
// makefs and sfdisk, run as child processes with their output captured.
//
// A test that needs a tool starts with
//     REQUIRE_TOOL("fls");
// (or `if (!oracle::require_tool("fls")) return;`), which skips the test
// with a visible message when the tool is missing, or fails it when the
// environment variable SUNUFS_REQUIRE_ORACLES=1 is set (CI).
//
// The Sleuth Kit and our images (found out with TSK 4.11):
// - mmls needs the VTOC in the label (sanity word 0x600DDEEE at
//   byte 188); a bare old-style label is not recognised.  sunimg writes the
//   VTOC by default (Label::vtoc).
// - fsstat/fls/istat/icat take the partition start in sectors with
//   `-o N`; `-f ufs1` works, and so does autodetection.  TSK reads the
//   big-endian UFS1 with its newer inode layout: uid/gid are the 32-bit
//   words at inode offsets 112/116 (not the 16-bit Sun words at 4/6),
//   so build with FsOptions::wide_ids to compare owners; a symlink under 60
//   bytes is taken as a "fast" link whose text lies in di_db (build with
//   FsOptions::fast_symlinks, or use targets of 60 bytes or more, to
//   compare link text); directory records are read with an 8-bit name
//   length at byte 7 (the low byte of our 16-bit d_namlen) and a type byte
//   at 6 (0 = unknown, so fls prints "-/r").
// - istat prints times in the TZ of the process; run_tool() sets TZ=UTC.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace oracle {

struct Result {
    int status = -1;       // exit status (-1: could not run / killed)
    std::string out;       // standard output (binary-safe)
    std::string err;       // standard error
    bool ok() const { return status == 0; }
};

// Full path of a tool found in PATH, /usr/sbin, /sbin, /usr/bin, /bin;
// empty when missing.
std::string find_tool(const std::string& name);

// True when SUNUFS_REQUIRE_ORACLES=1.
bool oracles_required();

// Records a skip (or, with SUNUFS_REQUIRE_ORACLES=1, a failure) in the
// current test when `name` is missing, and returns false; true when found.
// The caller must return after false: `if (!oracle::require_tool("fls")) return;`
bool require_tool(const std::string& name);

// Runs argv[0] (looked up with find_tool) with the rest as arguments,
// feeding `input` to its standard input.  TZ=UTC in its environment.
Result run_tool(const std::vector<std::string>& argv, const std::string& input = "");

// The Sleuth Kit, `offset` = partition start in 512-byte sectors.
Result mmls(const std::string& image);
Result fsstat(const std::string& image, uint64_t offset, const std::string& fstype = "");
Result fls(const std::string& image, uint64_t offset, const std::vector<std::string>& args = {"-r", "-p"},
           const std::string& fstype = "");
Result istat(const std::string& image, uint64_t offset, uint32_t ino, const std::string& fstype = "");
Result icat(const std::string& image, uint64_t offset, uint32_t ino, const std::string& fstype = "");

// One row of mmls output.
struct MmlsRow {
    std::string slot;     // "000", "Meta", "-------"
    uint64_t start = 0, end = 0, length = 0;
    std::string desc;
};
std::vector<MmlsRow> parse_mmls(const std::string& out);

// One row of `fls -r -p` (or plain fls) output.
struct FlsRow {
    std::string type;     // "r/r", "-/d", "V/V" ...
    bool deleted = false; // the "*" marker
    uint32_t ino = 0;
    std::string name;     // path with -p
};
std::vector<FlsRow> parse_fls(const std::string& out);

// "key: value" lines of fsstat/istat output, keyed by the text before the
// first ':' (first occurrence wins), values trimmed.
std::map<std::string, std::string> parse_keys(const std::string& out);

// istat's rendering of a time, "YYYY-MM-DD hh:mm:ss (UTC)".
std::string tsk_time(int64_t t);

}  // namespace oracle

#define REQUIRE_TOOL(name)                     \
    do {                                       \
        if (!::oracle::require_tool(name)) return; \
    } while (0)
