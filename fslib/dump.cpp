// Debug dumps of the label, the superblock, an inode and a status record.
// Byte figures are exact 64-bit numbers; the other figures are computed in
// wrapping 32-bit arithmetic, and no division or shift depends on an
// unchecked value.
#include <climits>
#include <cstring>
#include <ctime>

#include "fslib/fslib.h"
#include "fslib/internal.h"

namespace {

// Signed 32-bit product with wrap-around, without signed overflow.
int32_t mul32(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}

// Truncating division that survives a zero divisor (0) and INT_MIN / -1.
int32_t div32(int32_t a, int32_t b)
{
    if (b == 0)
        return 0;
    if (a == INT32_MIN && b == -1)
        return a;
    return a / b;
}

// ctime() text with its newline, or a same-shaped placeholder.
const char* time_text(int32_t t)
{
    time_t tt = t;
    const char* s = std::ctime(&tt);
    return s ? s : "??? ??? ?? ??:??:?? ????\n";
}

const char* local_text(int32_t t)
{
    time_t tt = t;
    const struct tm* tm = std::localtime(&tt);
    const char* s = tm ? std::asctime(tm) : nullptr;
    return s ? s : "??? ??? ?? ??:??:?? ????\n";
}

const char* type_name(uint16_t mode)
{
    switch (mode & IFMT) {
    case IFIFO: return "named pipe (fifo)";
    case IFCHR: return "character special";
    case IFDIR: return "directory";
    case IFBLK: return "block special";
    case IFREG: return "regular";
    case IFLNK: return "symbolic link";
    case IFSOCK: return "socket";
    default: return "unknown";
    }
}

unsigned u(int32_t v) { return static_cast<unsigned>(v); }

// A one-byte flag, read as signed and widened before "%x".
unsigned flag8(uint8_t b) { return static_cast<unsigned>(static_cast<int32_t>(static_cast<int8_t>(b))); }

using ll = long long;

void sizes_line(FILE* s, const char* fmt, int32_t frags, int32_t fsbtodb)
{
    auto bytes = static_cast<ll>((uint64_t{u(frags)} << (fsbtodb & 31)) * SECTOR_SIZE);
    ll kb = bytes / 1024;
    std::fprintf(s, fmt, u(frags), bytes, kb, kb / 1024);
}

// What a row of the superblock dump prints besides its format.
enum class row_kind : uint8_t {
    word,    // the 32-bit word at `at`, one conversion
    time,    // ctime text of the word
    sizes,   // fragments and their byte figures
    ids,     // the two words of the file system id
    spc,     // sectors per cylinder and the product it should be
    cpg,     // the word, then the cylinder-group count
    ipg,     // the word, then the inode count
    flag,    // a single byte, widened as signed
    text,    // the mount-point text, after the format (no conversions)
    magic,   // the word and the magic it should be
};

struct super_row {
    const char* fmt;
    uint16_t at;
    row_kind kind;
};

#define ROW(fmt, field, kind) {fmt, static_cast<uint16_t>(offsetof(fs_super, field)), row_kind::kind}
constexpr super_row SUPER_ROWS[] = {
    ROW("%x\tlinked list of file systems\n", fs_link, word),
    ROW("%x\tused for incore super blocks\n", fs_rlink, word),
    ROW("%x\taddr of super-block in filesys\n", fs_sblkno, word),
    ROW("%x\toffset of cyl-block in filesys\n", fs_cblkno, word),
    ROW("%x\toffset of inode-blocks in filesys\n", fs_iblkno, word),
    ROW("%x\toffset of first data after cg\n", fs_dblkno, word),
    ROW("%x\tcylinder group offset in cylinder\n", fs_cgoffset, word),
    ROW("%x\tused to calc mod fs_ntrak\n", fs_cgmask, word),
    ROW("last time written:\t%s", fs_time, time),
    ROW("%u\tnumber of blocks in fs (%lld b, %lld Kb, %lld Mb)\n", fs_size, sizes),
    ROW("%u\tnumber of data blocks in fs (%lld b, %lld Kb, %lld Mb) \n", fs_dsize, sizes),
    ROW("%u\tnumber of cylinder groups\n", fs_ncg, word),
    ROW("%u\tsize of basic blocks in fs\n", fs_bsize, word),
    ROW("%u\tsize of frag blocks in fs\n", fs_fsize, word),
    ROW("%u\tnumber of frags in a block in fs\n", fs_frag, word),
    ROW("%u\tminimum percentage of free blocks\n", fs_minfree, word),
    ROW("%u\tnum of ms for optimal next block\n", fs_rotdelay, word),
    ROW("%u\tdisk revolutions per second\n", fs_rps, word),
    ROW("%x\t``blkoff'' calc of blk offsets\n", fs_bmask, word),
    ROW("%x\t``fragoff'' calc of frag offsets\n", fs_fmask, word),
    ROW("%x\t``lblkno'' calc of logical blkno\n", fs_bshift, word),
    ROW("%x\t``numfrags'' calc number of frags\n", fs_fshift, word),
    ROW("%u\tmax number of contiguous blks\n", fs_maxcontig, word),
    ROW("%u\tmax number of blks per cyl group\n", fs_maxbpg, word),
    ROW("%u\tblock to frag shift\n", fs_fragshift, word),
    ROW("%u\tfsbtodb and dbtofsb shift constant\n", fs_fsbtodb, word),
    ROW("%u\tactual size of super block\n", fs_sbsize, word),
    ROW("%x\tcsum block offset\n", fs_csmask, word),
    ROW("%x\tcsum block number\n", fs_csshift, word),
    ROW("%u\tvalue of NINDIR\n", fs_nindir, word),
    ROW("%u\tvalue of INOPB\n", fs_inopb, word),
    ROW("%u\tvalue of NSPF\n", fs_nspf, word),
    ROW("%x\toptimization preference, see below\n", fs_optim, word),
    ROW("%u\t# sectors\n", fs_npsect, word),
    ROW("%u\thardware sector interleave\n", fs_interleave, word),
    ROW("%u\tsector 0 skew, per track\n", fs_trackskew, word),
    ROW("%x %x\tfile system id\n", fs_id, ids),
    ROW("%x\tblk addr of cyl grp summary area\n", fs_csaddr, word),
    ROW("%u\tsize of cyl grp summary area\n", fs_cssize, word),
    ROW("%u\tcylinder group size\n", fs_cgsize, word),
    ROW("%u\ttracks per cylinder\n", fs_ntrak, word),
    ROW("%u\tsectors per track\n", fs_nsect, word),
    ROW("%u\tsectors per cylinder (%d*%d=%d)\n", fs_spc, spc),
    ROW("%u\tcylinders in file system\n", fs_ncyl, word),
    ROW("%u\tcylinders per group\n", fs_cpg, cpg),
    ROW("%u\tinodes per group\n", fs_ipg, ipg),
    ROW("%u\tblocks per group * fs_frag\n", fs_fpg, word),
    ROW("\t%u\tnumber of directories\n", fs_cstotal.cs_ndir, word),
    ROW("\t%u\tnumber of free blocks\n", fs_cstotal.cs_nbfree, word),
    ROW("\t%u\tnumber of free inodes\n", fs_cstotal.cs_nifree, word),
    ROW("\t%u\tnumber of free frags\n", fs_cstotal.cs_nffree, word),
    ROW("%x\tsuper block modified flag\n", fs_fmod, flag),
    ROW("%x\tfile system is clean flag\n", fs_clean, flag),
    ROW("%x\tmounted read-only flag\n", fs_ronly, flag),
    ROW("%x\tcurrently unused flag\n", fs_flags, flag),
    ROW("last mounted on\t", fs_fsmnt, text),
    ROW("%x\tlast cg searched\n", fs_cgrotor, word),
    ROW("%x\tcyl per cycle in postbl\n", fs_cpc, word),
    ROW("%x\t~fs_bmask - for use with quad size\n", fs_qbmask, word),
    ROW("%x\t~fs_fmask - for use with quad size\n", fs_qfmask, word),
    ROW("%x\tformat of positional layout tables\n", fs_postblformat, word),
    ROW("%x\tnumber of rotaional positions\n", fs_nrpos, word),
    ROW("%u\t(short) rotation block list head\n", fs_postbloff, word),
    ROW("%u\t(u_char) blocks for each rotation\n", fs_rotbloff, word),
    ROW("0x%x\tmagic number (should be 0x%x)\n", fs_magic, magic),
};
#undef ROW

int32_t word_at(const fs_super* sb, size_t at)
{
    int32_t w;
    std::memcpy(&w, reinterpret_cast<const uint8_t*>(sb) + at, 4);
    return w;
}

// Prints one row of the superblock dump, by its kind.
void print_row(FILE* s, const fs_super* sb, const super_row& r)
{
    int32_t w = word_at(sb, r.at);
    switch (r.kind) {
    case row_kind::time: std::fprintf(s, r.fmt, time_text(w)); break;
    case row_kind::sizes: sizes_line(s, r.fmt, w, sb->fs_fsbtodb); break;
    case row_kind::ids: std::fprintf(s, r.fmt, u(sb->fs_id[0]), u(sb->fs_id[1])); break;
    case row_kind::spc:
        std::fprintf(s, r.fmt, u(w), sb->fs_ntrak, sb->fs_nsect, mul32(sb->fs_ntrak, sb->fs_nsect));
        break;
    case row_kind::cpg:
        std::fprintf(s, r.fmt, u(w));
        std::fprintf(s, "\t\tThis makes %d/%d=%d cg\n", sb->fs_ncyl, sb->fs_cpg, div32(sb->fs_ncyl, sb->fs_cpg));
        break;
    case row_kind::ipg:
        std::fprintf(s, r.fmt, u(w));
        std::fprintf(s, "\t\tThis makes %d/%d*%d=%d inodes\n", sb->fs_ncyl, sb->fs_cpg, sb->fs_ipg,
                     mul32(div32(sb->fs_ncyl, sb->fs_cpg), sb->fs_ipg));
        break;
    case row_kind::flag: std::fprintf(s, r.fmt, flag8(reinterpret_cast<const uint8_t*>(sb)[r.at])); break;
    case row_kind::text:
        std::fputs(r.fmt, s);
        fs_puttext(s, sb->fs_fsmnt, sizeof sb->fs_fsmnt);
        std::fputc('\n', s);
        break;
    case row_kind::magic: std::fprintf(s, r.fmt, u(w), u(FS_MAGIC)); break;
    case row_kind::word: std::fprintf(s, r.fmt, u(w)); break;
    }
}

}  // namespace

void dump_label(FILE* s, const dk_label* l)
{
    fs_puttext(s, l->dkl_asciilabel, sizeof l->dkl_asciilabel);
    std::fputc('\n', s);
    std::fprintf(s, "%u\trotations per minute\n", l->dkl_rpm);
    std::fprintf(s, "%u\tphysical cylinders\n", l->dkl_pcyl);
    std::fprintf(s, "%u\talternates per cylinder\n", l->dkl_apc);
    std::fprintf(s, "%x\tobsolete\n", l->dkl_obs1);
    std::fprintf(s, "%x\tobsolete\n", l->dkl_obs2);
    std::fprintf(s, "%u\tinterleave factor\n", l->dkl_intrlv);
    std::fprintf(s, "%u\tdata cylinders\n", l->dkl_ncyl);
    std::fprintf(s, "%u\talternate cylinders\n", l->dkl_acyl);
    std::fprintf(s, "%u\theads in this partition\n", l->dkl_nhead);
    std::fprintf(s, "%u\t512 byte sectors per track", l->dkl_nsect);
    auto bytes = static_cast<ll>(uint64_t{l->dkl_ncyl} * l->dkl_nhead * l->dkl_nsect * SECTOR_SIZE);
    std::fprintf(s, "\t(This makes a %lld Mb disk)\n", bytes / 1024 / 1024);
    std::fprintf(s, "%x\tobsolete\n", l->dkl_obs3);
    std::fprintf(s, "%x\tobsolete\n", l->dkl_obs4);
    for (int i = 0; i < NDKMAP; ++i) {
        const dk_map& m = l->dkl_map[i];
        if (m.dkl_nblk == 0 && m.dkl_cylno == 0)
            continue;
        std::fprintf(s, "\t%d\tlogical partition\n", i);
        std::fprintf(s, "\t\t%d\tstarting cylinder (0x%llx)\n", m.dkl_cylno,
                     static_cast<unsigned long long>(part_start_sectors(l, i) * SECTOR_SIZE));
        ll b = ll{m.dkl_nblk} * SECTOR_SIZE;
        std::fprintf(s, "\t\t%d\tblocks (%lld b, %lld Kb, %lld Mb)\n", m.dkl_nblk, b, b / 1024,
                     b / 1024 / 1024);
    }
    std::fprintf(s, "0x%X\tmagic (should be 0x%X)\n", l->dkl_magic, DKL_MAGIC);
    std::fprintf(s, "0x%X\txor checksum of sector\n", l->dkl_cksum);
}

void dump_super(FILE* s, const fs_super* sb)
{
    for (const super_row& r : SUPER_ROWS)
        print_row(s, sb, r);
}

// The lines for the set-id and sticky bits of `mode`, in the status
// record's words (`style` 0) or the inode dump's (1).
static void special_bits(FILE* s, uint16_t mode, int style)
{
    static constexpr struct {
        uint16_t bit;
        const char* text[2];
    } bits[] = {
        {ISUID, {"Set-user-ID\n", "\t\tset user id on execution\n"}},
        {ISGID, {"Set-group-ID\n", "\t\tset group id on execution\n"}},
        {ISVTX, {"Save swapped text after use\n", "\t\tsave swapped text even after use\n"}},
    };
    for (const auto& b : bits) {
        if (mode & b.bit)
            std::fputs(b.text[style], s);
    }
}

int dump_stat(FILE* s, const fs_statrec* st)
{
    std::fprintf(s, "\ttype:\t%s\n", type_name(st->st_mode));
    uint16_t type = st->st_mode & IFMT;
    if (type == IFCHR || type == IFBLK) {
        uint32_t major;
        uint32_t minor;
        fs_devnum(st->st_rdev, &major, &minor);
        std::fprintf(s, "Device number:%u,%u\n", major, minor);
    }
    std::fprintf(s, "Resides on device:%u,%u\n", (st->st_dev >> 8) & 0xFFF,
                 (st->st_dev & 0xFF) | ((st->st_dev >> 12) & 0xFFF00));
    std::fprintf(s, "I-node: %u; Links: %d; Size: %lld\n", st->st_ino, st->st_nlink,
                 static_cast<ll>(st->st_size));
    std::fprintf(s, "Owner ID: %u\n", st->st_uid);
    std::fprintf(s, "Group ID: %u\n", st->st_gid);
    special_bits(s, st->st_mode, 0);
    std::fprintf(s, "Permissions: %o\n", st->st_mode & PERM_MASK);
    std::fprintf(s, "Last access:         %s", local_text(st->st_atime));
    std::fprintf(s, "Last modification:   %s", local_text(st->st_mtime));
    return std::fprintf(s, "Last status change:  %s", local_text(st->st_ctime));
}

int dump_inode(FILE* s, const dinode* ip)
{
    std::fprintf(s, "%x\tmode and type of file\n", ip->di_mode);
    std::fprintf(s, "\t\t%s\n", type_name(ip->di_mode));
    special_bits(s, ip->di_mode, 1);
    std::fprintf(s, "\t\tPermissions: %o\n", ip->di_mode & PERM_MASK);
    std::fprintf(s, "%d\tnumber of links to file\n", ip->di_nlink);
    uint32_t uid;
    uint32_t gid;
    const fsys* fs = fs_getfs();
    fsl::inode_owner(fs ? fs->sb : nullptr, ip, &uid, &gid);
    std::fprintf(s, "%u\towner's user id\n", uid);
    std::fprintf(s, "%u\towner's group id\n", gid);
    std::fprintf(s, "%lld\tnumber of bytes in file\n", static_cast<ll>(ip->di_size));
    std::fprintf(s, "\ttime last accessed\t%s", time_text(ip->di_atime));
    std::fprintf(s, "\tatspare\t%s", time_text(ip->di_atspare));
    std::fprintf(s, "\ttime last modified\t%s", time_text(ip->di_mtime));
    std::fprintf(s, "\tmtspare\t%s", time_text(ip->di_mtspare));
    std::fprintf(s, "\tlast time inode changed\t%s", time_text(ip->di_ctime));
    std::fprintf(s, "\tctspare\t%s", time_text(ip->di_ctspare));
    uint16_t type = ip->di_mode & IFMT;
    if (type == IFCHR || type == IFBLK)
        std::fprintf(s, "\t\tic_db[0]=di_rdev\n");
    for (int i = 0; i < NDADDR; ++i)
        std::fprintf(s, "\t\tdisk block address ic_db[%d]=0x%x\n", i, ip->di_db[i]);
    for (int i = 0; i < NIADDR; ++i)
        std::fprintf(s, "\t\tindirect block ic_ib[%d]=%x\n", i, ip->di_ib[i]);
    std::fprintf(s, "%d\tstatus, currently unused\n", ip->di_flags);
    std::fprintf(s, "%d\tblocks actually held\n", ip->di_blocks);
    std::fprintf(s, "%d\tgeneration number\n", ip->di_gen);
    std::fprintf(s, "%u\tshadow inode (4.4 format: owner's user id)\n", ip->di_uid44_or_shadow);
    std::fprintf(s, "%u\towner's whole user id (4.4 format: group id)\n", ip->di_gid44_or_uid);
    std::fprintf(s, "%u\towner's whole group id\n", ip->di_gid_or_spare);
    return std::fprintf(s, "%u\textended attribute directory\n", ip->di_xattr_or_spare);
}

int fs_dump_inode(FILE* stream, uint32_t ino)
{
    fsys* fs = fs_getfs();
    if (fs == nullptr) {
        fs_errno = FSE_NOFS;
        return -1;
    }
    dinode inode;
    dinode* ip = &inode;
    if (fs_iget(fs, ino, nullptr, &ip) != 0)
        return -1;
    dump_inode(stream, ip);
    return 0;
}
