// The file system's metadata log: its on-disk records, and what a mount
// keeps of it.  The log is read once, when the file system is mounted;
// the changes of its committed transactions are then laid over every read
// of the file system, so that a reader sees the state the system itself
// would show once it came back up.  Nothing is ever written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "fslib/fslib.h"

namespace fsl {

inline constexpr uint32_t LOG_SECTOR = 512;                    // the log's unit, whatever the device's
inline constexpr uint32_t LOG_TRAILER = 8;                     // {tid, ident} closing each sector
inline constexpr uint32_t LOG_USABLE = LOG_SECTOR - LOG_TRAILER;
inline constexpr uint32_t LOG_MOST = 64u << 20;                // the largest log the system makes
inline constexpr uint32_t LOG_VERSION = 1;
inline constexpr uint8_t FS_CLEAN_LOG = 0xFD;                  // fs_clean of a logging file system
inline constexpr int32_t FS_MAGIC_BIG = 0xdecade;              // multi-terabyte layout
inline constexpr size_t SB_VERSION_AT = 1320;                  // fs_version: 0 to 2 where fs_logbno is
inline constexpr size_t SB_LOGBNO_AT = 1324;                   // fs_logbno in the superblock
inline constexpr uint32_t LOG_MAPBLOCK = 8192;                 // the unit the system splits changes at

// Extent block: this header, then `nextents` extents, in one fs_bsize block.
struct log_extent_block {
    uint32_t type;       // 0
    int32_t chksum;      // sum of the block's words, this one taken as 0
    uint32_t nextents;
    uint32_t nbytes;     // bytes the extents map
    uint32_t nextbno;
};
static_assert(sizeof(log_extent_block) == 20);

struct log_extent {
    uint32_t lbno;   // first 512-byte block of the log it holds
    uint32_t pbno;   // where it lies: 512-byte blocks, fragments when multi-terabyte
    uint32_t nbno;   // 512-byte blocks it holds
};
static_assert(sizeof(log_extent) == 12);

// The log header at the log's first block, and its copy at the next one.
struct log_header {
    uint32_t od_version;
    uint32_t od_badlog;
    uint32_t od_unused1;
    uint32_t od_maxtransfer;
    uint32_t od_devbsize;
    int32_t od_bol_lof;      // first byte of the circular area
    int32_t od_eol_lof;      // its end
    uint32_t od_requestsize;
    uint32_t od_statesize;
    uint32_t od_logsize;
    int32_t od_statebno;
    int32_t od_unused2;
    int32_t od_head_lof;     // first change not yet written in place
    uint32_t od_head_ident;  // ident of the sector that holds it
    int32_t od_tail_lof;
    uint32_t od_tail_ident;
    uint32_t od_chksum;      // od_head_ident + od_tail_ident
    uint32_t od_head_tid;
    int32_t od_debug;
};
static_assert(sizeof(log_header) == 76);
static_assert(offsetof(log_header, od_bol_lof) == 20);
static_assert(offsetof(log_header, od_head_lof) == 48);
static_assert(offsetof(log_header, od_chksum) == 64);

// One change's header in the log, followed by d_nb bytes of it (none for
// the kinds that carry no bytes).
struct log_delta_head {
    int64_t d_mof;   // byte of the file system it changes
    int32_t d_nb;
    int32_t d_typ;
};
static_assert(sizeof(log_delta_head) == 16);

enum log_kind : int32_t {
    DT_NONE, DT_SB, DT_CG, DT_SI, DT_AB, DT_ABZERO, DT_DIR, DT_INODE, DT_FBI, DT_QR,
    DT_COMMIT, DT_CANCEL, DT_BOT, DT_EOT, DT_UD, DT_SUD, DT_SHAD, DT_MAX
};

inline constexpr uint32_t LOG_ZEROS = UINT32_MAX;   // a kept change that reads as zeros

// One change kept from a committed transaction, in log order.
struct log_change {
    int64_t mof;
    uint32_t nb;
    uint32_t data;    // offset in the payload store, or LOG_ZEROS
    bool dropped;     // cancelled by a later transaction
};

}  // namespace fsl

// What a mount made of its log (owned by the file system's cache).
struct fs_log {
    int state = FS_LOG_NONE;
    char why[64] = {};
    uint32_t transactions = 0;
    int64_t part_start = 0;
    bool big = true;                           // the records' byte order
    std::vector<fsl::log_extent> extents;      // converted
    std::vector<int64_t> extent_at;            // device byte of each extent
    uint32_t ext_nbytes = 0;
    fsl::log_header head{};                    // the header copy used, converted
    bool head_ok = false;                      // a header copy passed its checks
    int head_copy = 0;                         // 0: the first, 1: its copy
    uint32_t sectors = 0;                      // sectors whose idents ran on
    uint32_t last_ident = 0;                   // ident of the last of them
    std::vector<fsl::log_change> changes;
    std::vector<uint8_t> payload;
    std::unordered_map<int64_t, std::vector<uint32_t>> blocks;   // map block -> changes touching it
};

namespace fsl {

// Reads the log of `fs` when its superblock says it logs, and keeps what
// it found in fs->cache->log.  It never fails the mount: a log that fails
// its checks is kept as FS_LOG_DAMAGED with its reason.
void log_open(fsys* fs);
void log_free(fs_log* lg);

// Lays the kept changes over `count` bytes read at device byte `at`.
void log_overlay(const fsys* fs, int64_t at, void* buf, uint32_t count);
// True when a kept change touches `count` bytes at device byte `at`.
bool log_touches(const fsys* fs, int64_t at, uint32_t count);

// Indexes change `i` under every map block it touches, and drops the
// earlier changes lying wholly within [mof, mof + nb); false when the
// index would outgrow its budget.
bool log_keep(fs_log* lg, uint32_t i, uint64_t* budget);
bool log_cancel(fs_log* lg, int64_t mof, uint32_t nb, uint64_t* budget);

// Lays the log over the superblock once the log is read.
void log_super(fsys* fs);

}  // namespace fsl
