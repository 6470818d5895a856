// File streams: sequential reads of one file through its block map, one
// block at a time into the stream's own buffer, or, for large requests,
// runs of whole adjacent blocks straight into the caller's buffer.  A hole
// inside the file's size reads as zeros.  The end of a stream is decided by
// the file's size alone.
#include <cstdlib>
#include <cstring>

#include "fslib/bswap.h"
#include "fslib/fslib.h"
#include "fslib/internal.h"
#include "fslib/log.h"
#include "fslib/platform.h"

FS_FILE fs_files[NFILES];

namespace {

// Longest run of blocks taken in one device read.
constexpr uint32_t RUN_MAX_BYTES = 1u << 20;

// A symbolic link written by newer UFS writers keeps a short target inside
// the inode's address words and holds no block.  Those words are text, not
// addresses: read as addresses they would fetch unrelated blocks.
bool fast_link(const dinode* ip)
{
    return (ip->di_mode & IFMT) == IFLNK && ip->di_blocks == 0 && ip->di_size > 0
        && ip->di_size <= static_cast<int64_t>(sizeof ip->di_db + sizeof ip->di_ib);
}

// Hands out a short link's target as the file's one block.  The words were
// converted with the rest of the inode; convert them back to the bytes as
// stored.
void load_fast_link(FS_FILE* f)
{
    uint32_t words[NDADDR + NIADDR];
    std::memcpy(words, f->ff_inode->di_db, sizeof f->ff_inode->di_db);
    std::memcpy(words + NDADDR, f->ff_inode->di_ib, sizeof f->ff_inode->di_ib);
    if (f->ff_fs->swap) {
        for (uint32_t& w : words)
            w = fsl::bswap32(w);
    }
    auto count = static_cast<uint32_t>(f->ff_inode->di_size);
    std::memcpy(f->ff_buf, words, count);
    f->ff_cur = f->ff_buf;
    f->ff_avail = count;
    f->ff_pos = count;
    f->ff_lbn = 1;
    f->ff_state = FS_EOF;
}

void release(FS_FILE* f)
{
    std::free(f->ff_buf);
    std::free(f->ff_inode);
    fsl::map_free(f->ff_map);
    *f = FS_FILE{};
}

// Moves the stream's counters past logical block ff_lbn, before any device
// access, so that a block that fails still counts as passed.  Returns the
// block's byte count.
uint32_t pass_block(FS_FILE* f)
{
    int64_t count = fsl::block_count(f->ff_fs->sb, f->ff_inode->di_size, f->ff_lbn, f->ff_pos);
    f->ff_pos += count;
    f->ff_lbn += 1;
    if (f->ff_pos >= f->ff_inode->di_size)
        f->ff_state = FS_EOF;
    return static_cast<uint32_t>(count);
}

// Sets the stream at the end of its file, with nothing buffered.
void place_at_end(FS_FILE* f)
{
    int64_t size = f->ff_inode->di_size;
    f->ff_cur = f->ff_buf;
    f->ff_avail = 0;
    f->ff_lbn = ((size - 1) >> f->ff_fs->sb->fs_bshift) + 1;
    f->ff_pos = size;
    f->ff_state = FS_EOF;
}

// Remembers a block the stream lost: the first one's status and place,
// and the runs of lost bytes (touching blocks make one run).
void lose(FS_FILE* f, int status, int64_t from, int64_t count)
{
    if (f->ff_lost == FSE_OK) {
        f->ff_lost = status;
        f->ff_lostat = from;
    }
    f->ff_lostbytes += count;
    if (f->ff_lostruns > 0 && from == f->ff_lostend) {
        if (f->ff_lostruns <= FF_LOSTRUNS)
            f->ff_lostrun[f->ff_lostruns - 1][1] = from + count;
    } else {
        f->ff_lostruns++;
        if (f->ff_lostruns <= FF_LOSTRUNS) {
            f->ff_lostrun[f->ff_lostruns - 1][0] = from;
            f->ff_lostrun[f->ff_lostruns - 1][1] = from + count;
        }
    }
    f->ff_lostend = from + count;
}

// An empty directory record spanning one 512-byte chunk, as stored: the
// walk steps over a lost chunk as over a chunk whose names were removed.
void empty_chunk(uint8_t* p)
{
    std::memset(p, 0, SECTOR_SIZE);
    p[4] = SECTOR_SIZE >> 8;   // d_reclen, big-endian
    p[5] = SECTOR_SIZE & 0xFF;
}

// Reads `count` bytes (`want`, rounded to sectors, asked of the device) at
// fragment `addr` into `dst`, which hold the file's bytes from `from` on.
// Sectors that cannot be read are lost alone: each is kept as a lost run,
// clipped to `count`, and reads as zeros (in a directory, as an empty
// chunk).  FSE_OK when every byte is in place or accounted for as lost;
// the failure otherwise, with nothing recorded.
int load_lossy(FS_FILE* f, uint32_t addr, uint8_t* dst, uint32_t count, int64_t from)
{
    int64_t offset = fsl::frag_offset(f->ff_fs, addr);
    uint32_t got;
    fsl::sector_list failed;
    int rc = fsl::dev_read(f->ff_fs->handle, offset, dst, sector_round(count), &got, &failed);
    if (rc == FSE_OK || !failed.empty())
        fsl::log_overlay(f->ff_fs, offset, dst, got);
    if (rc == FSE_OK)
        return got < count ? FSE_READ : FSE_OK;   // the device ended inside the block
    if (rc != FSE_READ || failed.empty() || got < count)
        return rc == FSE_OK ? FSE_READ : rc;
    bool dir = (f->ff_inode->di_mode & IFMT) == IFDIR;
    for (uint64_t s : failed) {
        uint64_t at = s * SECTOR_SIZE - static_cast<uint64_t>(offset);
        if (at >= count)
            continue;
        uint32_t n = count - at < SECTOR_SIZE ? static_cast<uint32_t>(count - at) : SECTOR_SIZE;
        if (dir && n == SECTOR_SIZE)
            empty_chunk(dst + at);
        lose(f, FSE_READ, from + static_cast<int64_t>(at), n);
    }
    return FSE_OK;
}

// Reads the block at fragment `addr` of `count` bytes into `dst`; the
// block holds the file's bytes from `from` on.
int read_block(FS_FILE* f, uint32_t addr, uint8_t* dst, uint32_t count, bool holes_ok, int64_t from)
{
    if (addr == 0) {
        std::memset(dst, 0, count);
        return holes_ok ? FSE_OK : FSE_READ;
    }
    return load_lossy(f, addr, dst, count, from);
}

// Counts the whole blocks from ff_lbn on that lie one after another on the
// device and fit `room`; *first receives the first one's address.
uint32_t run_length(FS_FILE* f, uint32_t room, uint32_t* first)
{
    const fs_super* sb = f->ff_fs->sb;
    auto bsize = static_cast<uint32_t>(sb->fs_bsize);
    uint32_t most = (room < RUN_MAX_BYTES ? room : RUN_MAX_BYTES) / bsize;
    uint32_t n = 0;
    for (; n < most; ++n) {
        int64_t lbn = f->ff_lbn + n;
        int64_t pos = f->ff_pos + int64_t{n} * bsize;
        uint32_t addr;
        if (fsl::block_count(sb, f->ff_inode->di_size, lbn, pos) != bsize
            || fsl::map_block(f->ff_map, f->ff_inode, static_cast<uint64_t>(lbn), &addr) != FSE_OK
            || addr == 0)
            break;
        if (n == 0)
            *first = addr;
        else if (uint64_t{addr} != uint64_t{*first} + uint64_t{n} * static_cast<uint32_t>(sb->fs_frag))
            break;
    }
    return n;
}

// Reads a run of whole blocks straight into `dst`; the bytes placed, 0 when
// no run starts here or the run could not be read.  A run that fails moves
// nothing: its blocks are then read one by one, so that only a block that
// really fails is lost and the bytes before it still arrive.
uint32_t read_run(FS_FILE* f, uint8_t* dst, uint32_t room)
{
    uint32_t first = 0;
    uint32_t n = run_length(f, room, &first);
    if (n == 0)
        return 0;
    uint32_t bytes = n * static_cast<uint32_t>(f->ff_fs->sb->fs_bsize);
    if (load_lossy(f, first, dst, bytes, f->ff_pos) != FSE_OK)
        return 0;
    for (uint32_t i = 0; i < n; ++i)
        pass_block(f);
    return bytes;
}

}  // namespace

namespace fsl {

int stream_fill(FS_FILE* f, bool holes_ok)
{
    f->ff_cur = f->ff_buf;
    f->ff_avail = 0;
    if (f->ff_pos >= f->ff_inode->di_size) {
        f->ff_state = FS_EOF;
        return FSE_OK;
    }
    uint32_t addr;
    int rc = map_block(f->ff_map, f->ff_inode, static_cast<uint64_t>(f->ff_lbn), &addr);
    if (rc != FSE_OK && !holes_ok)
        return rc;   // counters unmoved: the next call tries again
    int64_t from = f->ff_pos;
    uint32_t count = pass_block(f);
    if (rc == FSE_OK)
        rc = read_block(f, addr, f->ff_buf, count, holes_ok, from);
    if (rc == FSE_OK) {
        f->ff_avail = count;
        return rc;
    }
    lose(f, rc, from, count);   // a block lost: never a clean end
    // A file's lost block reads as zeros, so that every later byte keeps
    // its place; a directory's records are simply not there.
    if (holes_ok) {
        std::memset(f->ff_buf, 0, count);
        f->ff_avail = count;
    }
    return rc;
}

void stream_place(FS_FILE* f, int64_t lbn)
{
    // Every block before the last is whole, so block `lbn` starts at
    // lbn * bsize.
    f->ff_cur = f->ff_buf;
    f->ff_avail = 0;
    f->ff_lbn = lbn;
    f->ff_pos = lbn << f->ff_fs->sb->fs_bshift;
    f->ff_state = 0;
    if (f->ff_pos >= f->ff_inode->di_size)
        f->ff_state = FS_EOF;
}

void stream_pass(FS_FILE* f, int64_t to, int status)
{
    int64_t from = f->ff_pos;
    int64_t size = f->ff_inode->di_size;
    if (to >= size)
        place_at_end(f);
    else
        stream_place(f, to >> f->ff_fs->sb->fs_bshift);
    if (status != FSE_OK && f->ff_pos > from)
        lose(f, status, from, f->ff_pos - from);
}

void stream_lose(FS_FILE* f, int64_t lbn, int status)
{
    int64_t from = f->ff_pos;
    int64_t count = f->ff_avail;
    if (f->ff_lbn == lbn && f->ff_state != FS_EOF)
        count = pass_block(f);
    else
        from -= f->ff_avail;   // the block was passed: its rest begins here
    lose(f, status, from, count);
    f->ff_cur = f->ff_buf;
    f->ff_avail = 0;
}

}  // namespace fsl

FS_FILE* fs_fopen(const char* path, const char* /*mode*/)
{
    uint32_t ino = fs_namei(path);
    if (ino == 0)
        return nullptr;
    return fs_fopen_ino(ino);
}

// Takes a free slot of the stream table with its buffers into *out;
// FSE_OK, or FSE_NFILE / FSE_NOMEM (then no slot is taken).
static int take_stream(const fsys* fs, FS_FILE** out)
{
    FS_FILE* f = fsl::first_free(fs_files, [](const FS_FILE& s) { return s.ff_fs == nullptr; });
    if (!f)
        return FSE_NFILE;
    f->ff_buf = static_cast<uint8_t*>(std::malloc(FF_BUFSIZE));
    f->ff_inode = static_cast<dinode*>(std::malloc(sizeof(dinode)));
    f->ff_map = fsl::map_new(fs);
    if (!f->ff_buf || !f->ff_inode || !f->ff_map) {
        release(f);
        return FSE_NOMEM;
    }
    *out = f;
    return FSE_OK;
}

namespace fsl {

int stream_start(FS_FILE* f, fsys* fs, uint32_t ino, bool dir)
{
    int rc = inode_read(fs, ino, f->ff_inode);
    if (rc != FSE_OK)
        return rc;
    if (dir && (f->ff_inode->di_mode & IFMT) != IFDIR)
        return FSE_NOTDIR;
    // No directory comes near 2 GiB: a size past that is damage.
    int64_t most = dir ? INT32_MAX : max_file_size(fs->sb);
    int64_t size = f->ff_inode->di_size;
    if (size < 0 || size > most)
        return FSE_TOOBIG;
    f->ff_fs = fs;
    f->ff_cur = f->ff_buf;
    f->ff_avail = 0;
    f->ff_pos = 0;
    f->ff_lbn = 0;
    f->ff_state = 0;
    f->ff_lost = FSE_OK;
    f->ff_lostat = 0;
    f->ff_lostbytes = 0;
    f->ff_lostruns = 0;
    f->ff_lostend = 0;
    // A block that failed for an earlier use of this map is asked again.
    for (int& status : f->ff_map->bad_status)
        status = FSE_OK;
    return FSE_OK;
}

FS_FILE* stream_open(uint32_t ino, bool dir)
{
    fsys* fs;
    FS_FILE* f = nullptr;
    int rc = current_fs(&fs);
    if (rc == FSE_OK)
        rc = take_stream(fs, &f);
    if (rc == FSE_OK)
        rc = stream_start(f, fs, ino, dir);
    if (rc != FSE_OK) {
        if (f)
            release(f);
        fs_errno = rc;
        return nullptr;
    }
    return f;
}

}  // namespace fsl

FS_FILE* fs_fopen_ino(uint32_t ino)
{
    return fsl::stream_open(ino, false);
}

// Hands out up to `room` bytes of the stream's buffer into `dst` (null:
// skip them); the bytes taken.
static uint32_t hand_out(FS_FILE* f, uint8_t* dst, uint32_t room)
{
    uint32_t take = f->ff_avail < room ? f->ff_avail : room;
    if (dst)
        std::memcpy(dst, f->ff_cur, take);
    f->ff_cur += take;
    f->ff_avail -= take;
    return take;
}

uint32_t fs_fread(void* buf, uint32_t size, uint32_t count, FS_FILE* f)
{
    // The request is size * count bytes in 32-bit arithmetic: a product
    // that wraps asks for what it wraps to.
    uint32_t want = size * count;
    if (want == 0)
        return 0;
    fs_errno = FSE_OK;
    auto* dst = static_cast<uint8_t*>(buf);
    uint32_t done = 0;
    while (done < want) {
        if (f->ff_avail > 0) {
            done += hand_out(f, dst ? dst + done : nullptr, want - done);
            continue;
        }
        if (f->ff_pos >= f->ff_inode->di_size) {
            f->ff_state = FS_EOF;
            break;
        }
        if (fast_link(f->ff_inode)) {
            load_fast_link(f);
            continue;
        }
        if (dst && want - done >= static_cast<uint32_t>(f->ff_fs->sb->fs_bsize)) {
            int64_t run_from = f->ff_lbn;
            done += read_run(f, dst + done, want - done);
            if (f->ff_lbn != run_from)
                continue;
        }
        int64_t lbn_before = f->ff_lbn;
        int rc = fsl::stream_fill(f, true);
        if (rc != FSE_OK) {
            fs_errno = rc;
            if (f->ff_lbn == lbn_before)
                break;   // an indirect block failed: stays out of FS_EOF, the next call retries
        }
    }
    return done / size;
}

// Most map steps one call takes.  A healthy hole needs a handful (a
// zero pointer covers all below it); a map of indirect blocks that name
// one another again and again could ask for millions, each costing a scan
// of a block.  Past this the call returns what it passed, and the next
// call goes on from there.
constexpr int HOLE_STEPS = 4096;

int64_t fs_fhole(FS_FILE* f)
{
    int64_t size = f->ff_inode->di_size;
    if (f->ff_avail > 0 || f->ff_pos >= size || fast_link(f->ff_inode))
        return 0;
    auto last = static_cast<uint64_t>((size - 1) >> f->ff_fs->sb->fs_bshift);
    auto lbn = static_cast<uint64_t>(f->ff_lbn);
    for (int step = 0; step < HOLE_STEPS && lbn <= last; ++step) {
        uint64_t hole = fsl::map_hole(f->ff_map, f->ff_inode, lbn);
        if (hole == 0)
            break;
        lbn = hole > last - lbn ? last + 1 : lbn + hole;
    }
    int64_t from = f->ff_pos;
    if (lbn > last)
        place_at_end(f);   // the file's last block, whole or not, was a hole
    else if (lbn != static_cast<uint64_t>(f->ff_lbn))
        fsl::stream_place(f, static_cast<int64_t>(lbn));
    return f->ff_pos - from;
}

int fs_fsurvey(FS_FILE* f)
{
    int64_t size = f->ff_inode->di_size;
    if (fast_link(f->ff_inode))
        return FSE_OK;
    f->ff_cur = f->ff_buf;
    f->ff_avail = 0;
    while (f->ff_pos < size) {
        if (fs_fhole(f) > 0)
            continue;
        if (f->ff_pos >= size)
            break;
        int64_t from = f->ff_pos;
        uint32_t addr = 0;
        int rc = fsl::map_block(f->ff_map, f->ff_inode, static_cast<uint64_t>(f->ff_lbn), &addr);
        uint32_t count = pass_block(f);
        if (rc == FSE_OK && addr != 0) {
            int64_t offset = fsl::frag_offset(f->ff_fs, addr);
            fsl::sector_list bad;
            if (fsl::dev_probe(f->ff_fs->handle, offset, sector_round(count), &bad)) {
                for (uint64_t s : bad) {
                    uint64_t at = s * SECTOR_SIZE - static_cast<uint64_t>(offset);
                    if (at < count)
                        lose(f, FSE_READ, from + static_cast<int64_t>(at),
                             count - at < SECTOR_SIZE ? static_cast<int64_t>(count - at) : SECTOR_SIZE);
                }
            } else {
                rc = load_lossy(f, addr, f->ff_buf, count, from);
            }
        }
        if (rc != FSE_OK)
            lose(f, rc, from, count);
    }
    f->ff_state = FS_EOF;
    return f->ff_lost;
}

int fs_fclose(FS_FILE* f)
{
    release(f);
    return 0;
}

uint32_t fs_flostruns(const FS_FILE* f, int64_t (*runs)[2], uint32_t most, int64_t* bytes)
{
    uint32_t kept = f->ff_lostruns < FF_LOSTRUNS ? f->ff_lostruns : FF_LOSTRUNS;
    for (uint32_t i = 0; i < kept && i < most; i++) {
        runs[i][0] = f->ff_lostrun[i][0];
        runs[i][1] = f->ff_lostrun[i][1];
    }
    if (bytes != nullptr)
        *bytes = f->ff_lostbytes;
    return f->ff_lostruns;
}

bool fs_flost(const FS_FILE* f, int64_t* at, int* status)
{
    if (f->ff_lost == FSE_OK)
        return false;
    if (at)
        *at = f->ff_lostat;
    if (status)
        *status = f->ff_lost;
    return true;
}

bool fs_fclean(FS_FILE* f)
{
    if (f->ff_state == FS_EOF && f->ff_avail == 0 && f->ff_lost == FSE_OK)
        return true;
    if (f->ff_lost != FSE_OK)
        fs_errno = f->ff_lost;
    else if (fs_errno == FSE_OK)
        fs_errno = FSE_READ;
    return false;
}
