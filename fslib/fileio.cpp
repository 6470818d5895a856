// File streams: sequential reads of one file through its direct and
// indirect blocks, one block at a time, into the stream's own buffer.
//
// Where logical block lbn lives (n = entries per indirect block):
//
//   lbn < 12                      di_db[lbn]
//   12 <= lbn < 12 + n            single:  di_ib[0] -> entry
//   next n*n blocks               double:  di_ib[1] -> single -> entry
//   next n*n*n blocks             triple:  di_ib[2] -> double -> single -> entry
//
// The current single indirect block is kept in ff_ibuf exactly as on disk,
// with ff_icur on the entry taken last; its entries are converted one at a
// time as they are taken.  The double and triple blocks above it are read
// into ff_xbuf only when the stream moves on to the next single indirect
// block, once per n data blocks.  A zero address anywhere, inside the
// file's size, is a hole: its blocks read as zeros.  The end of a stream is
// decided by the file's size alone.
#include <cstdlib>
#include <cstring>

#include "fslib/bswap.h"
#include "fslib/fslib.h"
#include "fslib/internal.h"
#include "fslib/platform.h"

FS_FILE fs_files[NFILES];

namespace {

uint8_t* ibuf_end(const FS_FILE* f) { return f->ff_ibuf + FF_BUFSIZE; }

// Reads one whole indirect block into `buf`; FSE_OK or the failure.
int load_indirect(const fsys* fs, uint32_t addr, uint8_t* buf)
{
    int32_t got;
    return fsl::dev_load(fs->handle, fsl::frag_offset(fs, addr), buf,
                         static_cast<uint32_t>(fs->sb->fs_bsize), true, &got);
}

// Address of single indirect block number `id` (0 = di_ib[0], then those
// under the double block, then those under the triple block); 0 for a hole.
int single_address(FS_FILE* f, uint32_t id, uint32_t* addr)
{
    const fsys* fs = f->ff_fs;
    const dinode* ip = f->ff_inode;
    uint32_t n = fsl::nindir(fs->sb);
    *addr = 0;
    if (id == 0) {
        *addr = ip->di_ib[0];
        return FSE_OK;
    }
    id -= 1;
    if (id < n) {
        if (ip->di_ib[1] == 0)
            return FSE_OK;
        int rc = load_indirect(fs, ip->di_ib[1], f->ff_xbuf);
        if (rc == FSE_OK)
            *addr = fsl::be32_at(f->ff_xbuf + 4 * id);
        return rc;
    }
    id -= n;
    if (id / n >= n || ip->di_ib[2] == 0)
        return FSE_OK;
    int rc = load_indirect(fs, ip->di_ib[2], f->ff_xbuf);
    if (rc != FSE_OK)
        return rc;
    uint32_t dbl = fsl::be32_at(f->ff_xbuf + 4 * (id / n));
    if (dbl == 0)
        return FSE_OK;
    rc = load_indirect(fs, dbl, f->ff_xbuf);
    if (rc == FSE_OK)
        *addr = fsl::be32_at(f->ff_xbuf + 4 * (id % n));
    return rc;
}

// Fragment address of the stream's next block (ff_lbn); 0 for a hole.
// Returns FSE_OK, or the failure of an indirect load, after which the
// indirect buffer counts as not loaded so that the next call tries again.
int next_address(FS_FILE* f, uint32_t* addr)
{
    uint32_t lbn = static_cast<uint32_t>(f->ff_lbn);
    if (lbn < NDADDR) {
        *addr = f->ff_inode->di_db[lbn];
        return FSE_OK;
    }
    uint32_t n = fsl::nindir(f->ff_fs->sb);
    uint32_t idx = lbn - NDADDR;
    uint32_t entry = idx % n;
    if (f->ff_icur == ibuf_end(f) || entry == 0) {
        uint32_t single;
        int rc = single_address(f, idx / n, &single);
        if (rc == FSE_OK) {
            if (single == 0)
                std::memset(f->ff_ibuf, 0, FF_BUFSIZE);   // a range of holes
            else
                rc = load_indirect(f->ff_fs, single, f->ff_ibuf);
        }
        if (rc != FSE_OK) {
            f->ff_icur = ibuf_end(f);
            return rc;
        }
        if (f->ff_state == 0)
            f->ff_state = 1;
    }
    f->ff_icur = f->ff_ibuf + 4 * entry;
    *addr = fsl::be32_at(f->ff_icur);
    return FSE_OK;
}

// A symbolic link written by newer UFS writers keeps a short target inside
// the inode's address words and holds no block.  Those words are text, not
// addresses: read as addresses they would fetch unrelated blocks.
bool fast_link(const dinode* ip)
{
    return (ip->di_mode & IFMT) == IFLNK && ip->di_blocks == 0 && ip->di_size > 0
        && ip->di_size <= static_cast<int32_t>(sizeof ip->di_db + sizeof ip->di_ib);
}

// Hands out a short link's target as the file's one block.  The words were
// converted with the rest of the inode; convert them back to the bytes as
// stored.
void load_fast_link(FS_FILE* f)
{
    uint32_t words[NDADDR + NIADDR];
    std::memcpy(words, f->ff_inode->di_db, sizeof f->ff_inode->di_db);
    std::memcpy(words + NDADDR, f->ff_inode->di_ib, sizeof f->ff_inode->di_ib);
    for (uint32_t& w : words)
        w = fsl::bswap32(w);
    int32_t count = f->ff_inode->di_size;
    std::memcpy(f->ff_buf, words, static_cast<size_t>(count));
    f->ff_cur = f->ff_buf;
    f->ff_avail = static_cast<uint32_t>(count);
    f->ff_pos = count;
    f->ff_lbn = 1;
    f->ff_state = FS_EOF;
}

void release(FS_FILE* f)
{
    std::free(f->ff_buf);
    std::free(f->ff_inode);
    std::free(f->ff_ibuf);
    std::free(f->ff_xbuf);
    *f = FS_FILE{};
}

}  // namespace

// Reads the next logical block of a file into `dst`.  The counters move on
// before any device access, so a block that fails still counts as passed.
int32_t read_fblock(fsys* fs, const dinode* ip, uint32_t addr, uint8_t* dst,
                    int32_t* pos, int32_t* lbn)
{
    int32_t count = fsl::block_count(fs->sb, ip->di_size, *lbn, *pos);
    *pos += count;
    *lbn += 1;
    if (addr == 0) {
        std::memset(dst, 0, static_cast<size_t>(count));
        return count;
    }
    uint32_t want = (static_cast<uint32_t>(count) + 511) & ~511u;
    int32_t got;
    int rc = fsl::dev_load(fs->handle, fsl::frag_offset(fs, addr), dst, want, false, &got);
    if (rc != FSE_OK) {
        fs_errno = rc;
        return 0;
    }
    if (got < count) {   // the device ended inside the block
        fs_errno = FSE_READ;
        return 0;
    }
    return count;
}

FS_FILE* fs_fopen(const char* path, const char* /*mode*/)
{
    if (!fs_getfs())
        return nullptr;
    uint32_t ino = fs_namei(path);
    if (ino == 0)
        return nullptr;
    return fs_fopen_ino(ino);
}

FS_FILE* fs_fopen_ino(uint32_t ino)
{
    fsys* fs = fs_getfs();
    if (!fs)
        return nullptr;
    FS_FILE* f = nullptr;
    for (FS_FILE& slot : fs_files) {
        if (slot.ff_fs == nullptr) {
            f = &slot;
            break;
        }
    }
    if (!f) {
        fs_errno = FSE_NFILE;
        return nullptr;
    }
    f->ff_buf = static_cast<uint8_t*>(std::malloc(FF_BUFSIZE));
    f->ff_inode = static_cast<dinode*>(std::malloc(sizeof(dinode)));
    f->ff_ibuf = static_cast<uint8_t*>(std::malloc(FF_BUFSIZE));
    f->ff_xbuf = static_cast<uint8_t*>(std::malloc(FF_BUFSIZE));
    if (!f->ff_buf || !f->ff_inode || !f->ff_ibuf || !f->ff_xbuf) {
        release(f);
        fs_errno = FSE_NOMEM;
        return nullptr;
    }
    alignas(8) uint8_t scratch[IBUFSIZE];
    if (fs_iget(fs, ino, scratch, &f->ff_inode) != 0) {
        release(f);
        return nullptr;
    }
    if (f->ff_inode->di_size < 0) {
        release(f);
        fs_errno = FSE_TOOBIG;
        return nullptr;
    }
    f->ff_fs = fs;
    f->ff_avail = 0;
    f->ff_pos = 0;
    f->ff_lbn = 0;
    f->ff_state = 0;
    f->ff_lost = FSE_OK;
    f->ff_cur = f->ff_buf;
    f->ff_icur = ibuf_end(f);
    return f;
}

uint32_t fs_fread(void* buf, uint32_t size, uint32_t count, FS_FILE* f)
{
    uint32_t want = size * count;
    if (want == 0)
        return 0;
    fs_errno = FSE_OK;
    auto* dst = static_cast<uint8_t*>(buf);
    uint32_t done = 0;
    while (done < want) {
        uint32_t take = f->ff_avail < want - done ? f->ff_avail : want - done;
        if (take > 0) {
            if (dst) {
                std::memcpy(dst, f->ff_cur, take);
                dst += take;
            }
            f->ff_cur += take;
            f->ff_avail -= take;
            done += take;
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
        uint32_t addr;
        int rc = next_address(f, &addr);
        if (rc != FSE_OK) {
            fs_errno = rc;   // stays out of FS_EOF; the next call retries
            break;
        }
        f->ff_cur = f->ff_buf;
        f->ff_avail = static_cast<uint32_t>(
            read_fblock(f->ff_fs, f->ff_inode, addr, f->ff_buf, &f->ff_pos, &f->ff_lbn));
        if (f->ff_avail == 0 && f->ff_lost == FSE_OK)
            f->ff_lost = fs_errno;   // a block lost: never a clean end
        if (f->ff_pos >= f->ff_inode->di_size)
            f->ff_state = FS_EOF;
    }
    return done / size;
}

int fs_fclose(FS_FILE* f)
{
    release(f);
    return 0;
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
