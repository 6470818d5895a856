// Debug dumps of the label, the superblock, an inode and a status record.
// All figures are computed in wrapping 32-bit arithmetic, and no division
// or shift depends on an unchecked value.
#include <climits>
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

void sizes_line(FILE* s, const char* fmt, int32_t frags, int32_t fsbtodb)
{
    int32_t bytes = mul32(static_cast<int32_t>(static_cast<uint32_t>(frags) << (fsbtodb & 31)), 512);
    int32_t kb = bytes / 1024;
    std::fprintf(s, fmt, u(frags), bytes, kb, kb / 1024);
}

}  // namespace

void dump_label(FILE* s, const dk_label* l)
{
    std::fprintf(s, "%.128s\n", l->dkl_asciilabel);
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
    int32_t bytes = mul32(mul32(mul32(l->dkl_ncyl, l->dkl_nhead), l->dkl_nsect), 512);
    std::fprintf(s, "\t(This makes a %d Mb disk)\n", bytes / 1024 / 1024);
    std::fprintf(s, "%x\tobsolete\n", l->dkl_obs3);
    std::fprintf(s, "%x\tobsolete\n", l->dkl_obs4);
    for (int i = 0; i < NDKMAP; ++i) {
        const dk_map& m = l->dkl_map[i];
        if (m.dkl_nblk == 0 && m.dkl_cylno == 0)
            continue;
        std::fprintf(s, "\t%d\tlogical partition\n", i);
        std::fprintf(s, "\t\t%d\tstarting cylinder (0x%x)\n", m.dkl_cylno,
                     u(fsl::part_start_bytes(l, i)));
        int32_t b = mul32(m.dkl_nblk, 512);
        std::fprintf(s, "\t\t%d\tblocks (%d b, %d Kb, %d Mb)\n", m.dkl_nblk, b, b / 1024,
                     b / 1024 / 1024);
    }
    std::fprintf(s, "0x%X\tmagic (should be 0x%X)\n", l->dkl_magic, DKL_MAGIC);
    std::fprintf(s, "0x%X\txor checksum of sector\n", l->dkl_cksum);
}

void dump_super(FILE* s, const fs_super* sb)
{
    std::fprintf(s, "%x\tlinked list of file systems\n", u(sb->fs_link));
    std::fprintf(s, "%x\tused for incore super blocks\n", u(sb->fs_rlink));
    std::fprintf(s, "%x\taddr of super-block in filesys\n", u(sb->fs_sblkno));
    std::fprintf(s, "%x\toffset of cyl-block in filesys\n", u(sb->fs_cblkno));
    std::fprintf(s, "%x\toffset of inode-blocks in filesys\n", u(sb->fs_iblkno));
    std::fprintf(s, "%x\toffset of first data after cg\n", u(sb->fs_dblkno));
    std::fprintf(s, "%x\tcylinder group offset in cylinder\n", u(sb->fs_cgoffset));
    std::fprintf(s, "%x\tused to calc mod fs_ntrak\n", u(sb->fs_cgmask));
    std::fprintf(s, "last time written:\t%s", time_text(sb->fs_time));
    sizes_line(s, "%u\tnumber of blocks in fs (%d b, %d Kb, %d Mb)\n", sb->fs_size, sb->fs_fsbtodb);
    sizes_line(s, "%u\tnumber of data blocks in fs (%d b, %d Kb, %d Mb) \n", sb->fs_dsize,
               sb->fs_fsbtodb);
    std::fprintf(s, "%u\tnumber of cylinder groups\n", u(sb->fs_ncg));
    std::fprintf(s, "%u\tsize of basic blocks in fs\n", u(sb->fs_bsize));
    std::fprintf(s, "%u\tsize of frag blocks in fs\n", u(sb->fs_fsize));
    std::fprintf(s, "%u\tnumber of frags in a block in fs\n", u(sb->fs_frag));
    std::fprintf(s, "%u\tminimum percentage of free blocks\n", u(sb->fs_minfree));
    std::fprintf(s, "%u\tnum of ms for optimal next block\n", u(sb->fs_rotdelay));
    std::fprintf(s, "%u\tdisk revolutions per second\n", u(sb->fs_rps));
    std::fprintf(s, "%x\t``blkoff'' calc of blk offsets\n", u(sb->fs_bmask));
    std::fprintf(s, "%x\t``fragoff'' calc of frag offsets\n", u(sb->fs_fmask));
    std::fprintf(s, "%x\t``lblkno'' calc of logical blkno\n", u(sb->fs_bshift));
    std::fprintf(s, "%x\t``numfrags'' calc number of frags\n", u(sb->fs_fshift));
    std::fprintf(s, "%u\tmax number of contiguous blks\n", u(sb->fs_maxcontig));
    std::fprintf(s, "%u\tmax number of blks per cyl group\n", u(sb->fs_maxbpg));
    std::fprintf(s, "%u\tblock to frag shift\n", u(sb->fs_fragshift));
    std::fprintf(s, "%u\tfsbtodb and dbtofsb shift constant\n", u(sb->fs_fsbtodb));
    std::fprintf(s, "%u\tactual size of super block\n", u(sb->fs_sbsize));
    std::fprintf(s, "%x\tcsum block offset\n", u(sb->fs_csmask));
    std::fprintf(s, "%x\tcsum block number\n", u(sb->fs_csshift));
    std::fprintf(s, "%u\tvalue of NINDIR\n", u(sb->fs_nindir));
    std::fprintf(s, "%u\tvalue of INOPB\n", u(sb->fs_inopb));
    std::fprintf(s, "%u\tvalue of NSPF\n", u(sb->fs_nspf));
    std::fprintf(s, "%x\toptimization preference, see below\n", u(sb->fs_optim));
    std::fprintf(s, "%u\t# sectors\n", u(sb->fs_npsect));
    std::fprintf(s, "%u\thardware sector interleave\n", u(sb->fs_interleave));
    std::fprintf(s, "%u\tsector 0 skew, per track\n", u(sb->fs_trackskew));
    std::fprintf(s, "%x %x\tfile system id\n", u(sb->fs_id[0]), u(sb->fs_id[1]));
    std::fprintf(s, "%x\tblk addr of cyl grp summary area\n", u(sb->fs_csaddr));
    std::fprintf(s, "%u\tsize of cyl grp summary area\n", u(sb->fs_cssize));
    std::fprintf(s, "%u\tcylinder group size\n", u(sb->fs_cgsize));
    std::fprintf(s, "%u\ttracks per cylinder\n", u(sb->fs_ntrak));
    std::fprintf(s, "%u\tsectors per track\n", u(sb->fs_nsect));
    std::fprintf(s, "%u\tsectors per cylinder (%d*%d=%d)\n", u(sb->fs_spc), sb->fs_ntrak,
                 sb->fs_nsect, mul32(sb->fs_ntrak, sb->fs_nsect));
    std::fprintf(s, "%u\tcylinders in file system\n", u(sb->fs_ncyl));
    int32_t ncg = div32(sb->fs_ncyl, sb->fs_cpg);
    std::fprintf(s, "%u\tcylinders per group\n", u(sb->fs_cpg));
    std::fprintf(s, "\t\tThis makes %d/%d=%d cg\n", sb->fs_ncyl, sb->fs_cpg, ncg);
    std::fprintf(s, "%u\tinodes per group\n", u(sb->fs_ipg));
    std::fprintf(s, "\t\tThis makes %d/%d*%d=%d inodes\n", sb->fs_ncyl, sb->fs_cpg, sb->fs_ipg,
                 mul32(ncg, sb->fs_ipg));
    std::fprintf(s, "%u\tblocks per group * fs_frag\n", u(sb->fs_fpg));
    std::fprintf(s, "\t%u\tnumber of directories\n", u(sb->fs_cstotal.cs_ndir));
    std::fprintf(s, "\t%u\tnumber of free blocks\n", u(sb->fs_cstotal.cs_nbfree));
    std::fprintf(s, "\t%u\tnumber of free inodes\n", u(sb->fs_cstotal.cs_nifree));
    std::fprintf(s, "\t%u\tnumber of free frags\n", u(sb->fs_cstotal.cs_nffree));
    std::fprintf(s, "%x\tsuper block modified flag\n", flag8(sb->fs_fmod));
    std::fprintf(s, "%x\tfile system is clean flag\n", flag8(sb->fs_clean));
    std::fprintf(s, "%x\tmounted read-only flag\n", flag8(sb->fs_ronly));
    std::fprintf(s, "%x\tcurrently unused flag\n", flag8(sb->fs_flags));
    std::fprintf(s, "last mounted on\t%.512s\n", sb->fs_fsmnt);
    std::fprintf(s, "%x\tlast cg searched\n", u(sb->fs_cgrotor));
    std::fprintf(s, "%x\tcyl per cycle in postbl\n", u(sb->fs_cpc));
    std::fprintf(s, "%x\t~fs_bmask - for use with quad size\n", u(sb->fs_qbmask[0]));
    std::fprintf(s, "%x\t~fs_fmask - for use with quad size\n", u(sb->fs_qfmask[0]));
    std::fprintf(s, "%x\tformat of positional layout tables\n", u(sb->fs_postblformat));
    std::fprintf(s, "%x\tnumber of rotaional positions\n", u(sb->fs_nrpos));
    std::fprintf(s, "%u\t(short) rotation block list head\n", u(sb->fs_postbloff));
    std::fprintf(s, "%u\t(u_char) blocks for each rotation\n", u(sb->fs_rotbloff));
    std::fprintf(s, "0x%x\tmagic number (should be 0x%x)\n", u(sb->fs_magic), u(FS_MAGIC));
}

int dump_stat(FILE* s, const fs_statrec* st)
{
    std::fprintf(s, "\ttype:\t%s\n", type_name(st->st_mode));
    uint16_t type = st->st_mode & IFMT;
    if (type == IFCHR || type == IFBLK)
        std::fprintf(s, "Device number:%d,%d\n", (st->st_rdev >> 8) & 0xFF, st->st_rdev & 0xFF);
    std::fprintf(s, "Resides on device:%d,%d\n", (st->st_dev >> 8) & 0xFF, st->st_dev & 0xFF);
    std::fprintf(s, "I-node: %d; Links: %d; Size: %ld\n", st->st_ino, st->st_nlink,
                 static_cast<long>(st->st_size));
    std::fprintf(s, "Owner ID: %d\n", st->st_uid);
    std::fprintf(s, "Group ID: %d\n", st->st_gid);
    if (st->st_mode & ISUID)
        std::fprintf(s, "Set-user-ID\n");
    if (st->st_mode & ISGID)
        std::fprintf(s, "Set-group-ID\n");
    if (st->st_mode & ISVTX)
        std::fprintf(s, "Save swapped text after use\n");
    std::fprintf(s, "Permissions: %o\n", st->st_mode & 0xFFF);
    std::fprintf(s, "Last access:         %s", local_text(st->st_atime));
    std::fprintf(s, "Last modification:   %s", local_text(st->st_mtime));
    return std::fprintf(s, "Last status change:  %s", local_text(st->st_ctime));
}

int dump_inode(FILE* s, const dinode* ip)
{
    std::fprintf(s, "%x\tmode and type of file\n", ip->di_mode);
    std::fprintf(s, "\t\t%s\n", type_name(ip->di_mode));
    if (ip->di_mode & ISUID)
        std::fprintf(s, "\t\tset user id on execution\n");
    if (ip->di_mode & ISGID)
        std::fprintf(s, "\t\tset group id on execution\n");
    if (ip->di_mode & ISVTX)
        std::fprintf(s, "\t\tsave swapped text even after use\n");
    std::fprintf(s, "\t\tPermissions: %o\n", ip->di_mode & 0xFFF);
    std::fprintf(s, "%d\tnumber of links to file\n", ip->di_nlink);
    std::fprintf(s, "%d\towner's user id\n", ip->di_uid);
    std::fprintf(s, "%d\towner's group id\n", ip->di_gid);
    std::fprintf(s, "%d\tnumber of bytes in file\n", ip->di_size);
    std::fprintf(s, "\ttime last accessed\t%s", time_text(ip->di_atime));
    std::fprintf(s, "\tatspare\t%s", time_text(ip->di_atspare));
    std::fprintf(s, "\ttime last modified\t%s", time_text(ip->di_mtime));
    std::fprintf(s, "\tmtspare\t%s", time_text(ip->di_mtspare));
    std::fprintf(s, "\tlast time inode changed\t%s", time_text(ip->di_ctime));
    std::fprintf(s, "\tctspare\t%s", time_text(ip->di_ctspare));
    std::fprintf(s, "\t\tic_db[0]=di_rdev\n");
    for (int i = 0; i < NDADDR; ++i)
        std::fprintf(s, "\t\tdisk block address ic_db[%d]=0x%x\n", i, ip->di_db[i]);
    for (int i = 0; i < NIADDR; ++i)
        std::fprintf(s, "\t\tindirect block ic_ib[%d]=%x\n", i, ip->di_ib[i]);
    std::fprintf(s, "%d\tstatus, currently unused\n", ip->di_flags);
    std::fprintf(s, "%d\tblocks actually held\n", ip->di_blocks);
    std::fprintf(s, "%d\tgeneration number\n", ip->di_gen);
    std::fprintf(s, "%d\tdelayed writes, units=bytes\n", ip->di_delaylen);
    std::fprintf(s, "%d\twhere we started delaying\n", ip->di_delayoff);
    std::fprintf(s, "%d\twhere to start the next clust\n", ip->di_nextrio);
    return std::fprintf(s, "%d\tnumber of outstanding writes\n", ip->di_writes);
}
