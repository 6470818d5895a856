// Helpers shared by the library's own files; not part of the public face.
#pragma once

#include <cstdint>
#include <vector>

#include "fslib/fslib.h"

// ---------------------------------------------------------------------------
// Tables and record conversions the library keeps to itself; the tests
// reach them through this header.
// ---------------------------------------------------------------------------

extern fsys* fs_current;             // the current file system, or null
extern FS_FILE fs_files[NFILES];     // the stream table

// Converts the label's numbers in place and checks it: FSE_OK, FSE_MAGIC
// (no label magic), or FSE_CHECKSUM.  fs_errno is not touched.
int label_check(dk_label* label);
// Converts the superblock's numbers in place from big-endian: FSE_OK when
// the converted magic is FS_MAGIC, else FSE_MAGIC.
int super_swap(fs_super* sb);
// The same for a superblock whose order `super_order` found: `swap` says
// whether its words are converted at all.
int super_swap(fs_super* sb, bool swap);
// The byte order of the superblock at `sb`, as stored, from its magic:
// FSE_OK with *swap, or FSE_MAGIC when the magic reads neither way.
int super_order(const fs_super* sb, bool* swap);
// Converts a big-endian inode in place; always FSE_OK.
int inode_swap(dinode* ip);
// Converts an inode of a file system whose `swap` flag is given.
int inode_swap(dinode* ip, bool swap);

inline constexpr int IBUFSIZE = FF_BUFSIZE;   // the largest block

// Reads inode `ino` of `fs` and converts it to host order.
//   buffer     IBUFSIZE bytes of the caller's scratch, used only when
//              *inode_ptr is null (then it may not be null itself).
//   inode_ptr  in/out.  When *inode_ptr is null, the 512-byte sector that
//              holds the inode is copied to the start of `buffer` and
//              *inode_ptr is set to the inode's place there (byte
//              (ino % 4) * 128).  Otherwise the inode is copied to
//              *inode_ptr (128 bytes; it may lie inside `buffer`) and
//              `buffer` is not touched.
// Returns 0 on success; 1 when the inode lies where the device cannot be
// positioned (fs_errno FSE_SEEK); 2 when its block cannot be read whole
// (FSE_READ).  On failure neither `buffer` nor *inode_ptr's record is
// changed.
int fs_iget(fsys* fs, uint32_t ino, uint8_t* buffer, dinode** inode_ptr);

// Sets fs_errno to FSE_HOST, keeping the host's `err` beside it.
void fs_host_failed(int err);

namespace fsl {

// The first free slot of a fixed table (the tables are scanned from their
// first slot), or null when every slot is taken.
template <typename T, size_t N, typename Free>
T* first_free(T (&table)[N], Free is_free)
{
    for (T& slot : table) {
        if (is_free(slot))
            return &slot;
    }
    return nullptr;
}

// Adds to `out` (ascending, each once) the device sectors touched by
// `count` bytes at `offset` that touch what `map` says could not be read.
void map_sectors(const fs_map* map, int64_t offset, uint32_t count, std::vector<uint64_t>* out);

// Exact byte offset of partition `part`'s start on its device.
int64_t part_start(const dk_label* label, int part);

// The one address rule: device byte offset of byte `within` of fragment
// `frag` of a mounted file system, exact in 64 bits; -1 (refused by every
// read) when the figure cannot be formed.
int64_t frag_offset(const fsys* fs, int64_t frag, int64_t within = 0);

// Reads `count` bytes at fragment `frag` of `fs` (see dev_load).
int frag_load(const fsys* fs, int64_t frag, void* buf, uint32_t count, bool exact, uint32_t* got);

// Bytes held by logical block `lbn` of a file of `size` bytes of which
// `pos` are covered by earlier blocks.  Callers keep 0 <= pos <= size.
int64_t block_count(const fs_super* sb, int64_t size, int64_t lbn, int64_t pos);

// Entries in one indirect block: fs_bsize / 4 (2048 for 8192-byte blocks).
inline uint32_t nindir(const fs_super* sb) { return static_cast<uint32_t>(sb->fs_bsize) / sizeof(uint32_t); }

// Largest file size the block map can reach with this block size.
int64_t max_file_size(const fs_super* sb);

}  // namespace fsl

// Maps logical blocks of an inode to fragment addresses.  It keeps the
// indirect block it read last at each level, keyed by its address, so a
// walk in block order reads each indirect block once; blocks never go
// stale since the device is never written.
struct block_map {
    const fsys* fs;
    uint32_t key[NIADDR];      // address of the block held at each level
    bool held[NIADDR];
    uint8_t* buf[NIADDR];      // owned, fs_bsize bytes each, as on disk; null until used
    uint32_t lost[NIADDR];     // sectors of each held block that could not be read, bit by sector
    // The indirect block that failed last at each level and why: a bad
    // block is asked of the device once, not once for every block it maps.
    uint32_t bad_key[NIADDR];
    int bad_status[NIADDR];
};

namespace fsl {

// A map for `fs`; null when memory runs out.  Its buffers are taken when
// first needed.
block_map* map_new(const fsys* fs);
void map_free(block_map* m);

// Address of logical block `lbn` of inode `ip`: FSE_OK with *addr (0 for a
// hole), or the failure of an indirect block's read (or FSE_NOMEM).
int map_block(block_map* m, const dinode* ip, uint64_t lbn, uint32_t* addr);

// Logical blocks from `lbn` on that the map shows to be a hole, from one
// pointer's span and the zero pointers that follow it in the same place
// (so a caller steps over a long hole a span at a time); 0 when block
// `lbn` has data or an indirect block on the way cannot be read.
uint64_t map_hole(block_map* m, const dinode* ip, uint64_t lbn);

// What a directory record means for the walk over it.
enum class rec_verdict {
    next,     // a sound record: step over d_reclen bytes
    last,     // sound header and name, but its length runs past the
              // directory's bytes: hand it out, then the directory ends
    broken,   // the layout is broken: the directory ends with FSE_READ
};

// Converts the record header at `p` in place and judges it.  `avail` is
// the directory's bytes left in the block from `p` on; `final` says they
// are the last of the directory.
rec_verdict record_step(uint8_t* p, uint32_t avail, bool final, bool swap = true);

// Owner words of inode `ip` by the file system's inode format.
void inode_owner(const fs_super* sb, const dinode* ip, uint32_t* uid, uint32_t* gid);

// Reads inode `ino` of `fs` into `out`, converted: FSE_OK, or FSE_SEEK /
// FSE_READ (then `out` is untouched).
int inode_read(fsys* fs, uint32_t ino, dinode* out);

// The current file system into *fs: FSE_OK, or FSE_NOFS when none is.
int current_fs(fsys** fs);

}  // namespace fsl

struct fs_log;

struct fs_cache {
    FS_FILE lookup;        // path lookup's directory stream: no table slot,
                           // so a lookup works with every slot taken, and
                           // its indirect blocks stay held between lookups
    dinode lookup_inode;   // that stream's inode
    uint8_t* iblock;       // inode block read last
    int64_t iblock_at;     // its device offset; -1: none held
    uint32_t iblock_lost;  // its sectors that could not be read, bit by sector
    fs_log* log;           // what the mount read of the log; null: none
};

// Creates and drops a mounted file system's cache.
fs_cache* cache_new(const fsys* fs);
void cache_free(fs_cache* c);

// File-stream internals shared with directory streams (fileio.cpp).
namespace fsl {

// Moves the stream, with nothing buffered, to byte `to` of its file (a
// block's start, or the size); with a `status` other than FSE_OK the bytes
// passed are recorded as lost with it.
void stream_pass(FS_FILE* f, int64_t to, int status);

// Loads the stream's next block into ff_buf (ff_cur, ff_avail).  A hole
// reads as zeros when `holes_ok`, else it is FSE_READ.  Returns FSE_OK or
// the failure, which is also kept in ff_lost.
int stream_fill(FS_FILE* f, bool holes_ok);
// Drops what the stream holds and sets it at the start of logical block
// `lbn` (at most the file's last), so that the next fill loads that block.
void stream_place(FS_FILE* f, int64_t lbn);
// Gives up what is left of logical block `lbn` with `status`: the block is
// passed when it is still the next one, the loss is kept as fs_fclean
// reports it, and nothing stays buffered.
void stream_lose(FS_FILE* f, int64_t lbn, int status);

// Sets `f`, whose buffers are in place, at the start of inode `ino` of
// `fs`.  With `dir` the inode must be a directory (else FSE_NOTDIR) of at
// most 2 GiB; any other file must lie inside what the block map reaches
// (else FSE_TOOBIG).  FSE_OK, or the failure of the inode's read.
int stream_start(FS_FILE* f, fsys* fs, uint32_t ino, bool dir);

// Opens a table stream on inode `ino` of the current file system, as a
// directory stream with `dir`; null with fs_errno on failure, when no
// slot is taken.
FS_FILE* stream_open(uint32_t ino, bool dir);

// The one directory reader, behind fs_readdir and path lookup: the next
// record in use of directory stream `d` into *rec, null at the end.  A
// block that cannot be read is passed over with `past_losses` (the walk
// goes on, and the last such status is returned with the record), else it
// ends the call with its status.  A failed indirect block or a broken
// record always ends the call with its status and *rec null.
int dir_next(FS_FILE* d, bool past_losses, direct** rec);

}  // namespace fsl
