// sunufs file-system library: read-only access to big-endian UFS file
// systems inside Sun-labelled disks and disk images.
//
// The library keeps all of its state in fixed tables of slots (disks,
// mounted file systems, streams) and reports failures through fs_errno.
// Every record read from the device is converted to host byte order in
// place, once, right after the read; fields that are not converted stay
// as stored.  Nothing is ever written to the device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------
// Status codes
// ---------------------------------------------------------------------------
enum {
    FSE_OK = 0,
    FSE_CHECKSUM = 1,
    FSE_MAGIC = 2,
    FSE_READ = 3,
    FSE_EMPTY = 4,
    FSE_PART = 5,
    FSE_SEEK = 6,
    FSE_NOMEM = 7,
    FSE_NFILE = 8,
    FSE_NOTDIR = 9,
    FSE_NAMETOOLONG = 10,
    FSE_NOENT = 11,
    FSE_BADSB = 12,   // superblock geometry our reads cannot handle safely
    FSE_TOOBIG = 13,  // a size that is negative, or past what the block map reaches
    FSE_NOFS = 14,    // a call that needs the current file system found none
    FSE_UFS2 = 15,    // a UFS2 file system, whose records this library does not read
    FSE_REPLICA = 16, // a volume manager's replica, not a file system
    FSE_STRIPE = 17,  // the first part of a volume manager's stripe or concatenation
    FSE_HOST = 18,    // a host call failed: fs_syserr holds its errno
    FSE_MAPLINE = 19, // a line of a rescue map cannot be read
    FSE_CONTAINER = 20, // an image container cannot be read (its note says why)
    FSE_NERR = 21
};

extern int fs_errno;                 // status of the last failing operation
extern int fs_syserr;                // errno of the host call behind FSE_HOST
extern const char* const fs_errlist[FSE_NERR];

// ---------------------------------------------------------------------------
// Platform handle.  0 means "no handle" so that zero-filled tables start
// free; the platform layer stores descriptor + 1, so descriptor 0 is a
// perfectly good (taken) handle.
// ---------------------------------------------------------------------------
using fs_handle = int;
inline constexpr fs_handle FS_NOHANDLE = 0;

// ---------------------------------------------------------------------------
// On-disk records.  Offsets are checked below; numbers are big-endian on
// disk and in host order only once the reading code has converted them.
// ---------------------------------------------------------------------------

inline constexpr uint16_t DKL_MAGIC = 0xDABE;
inline constexpr int NDKMAP = 8;          // partitions in a label
inline constexpr int SECTOR_SIZE = 512;   // device addressing unit
inline constexpr int DKL_CKSUM_AT = 510;  // the checksum covers the bytes before it

// `n` rounded up to whole sectors.
constexpr uint32_t sector_round(uint32_t n) { return (n + SECTOR_SIZE - 1) & ~uint32_t{SECTOR_SIZE - 1}; }

struct dk_map {
    int32_t dkl_cylno;  // 0: starting cylinder
    int32_t dkl_nblk;   // 4: size in 512-byte blocks, 0 = empty
};

// Sun disk label, the first 512 bytes of the device.
struct dk_label {
    char dkl_asciilabel[128];   //   0: label text, NUL-terminated (maybe)
    uint8_t dkl_unused[292];    // 128: covered by the checksum only
    uint16_t dkl_rpm;           // 420
    uint16_t dkl_pcyl;          // 422
    uint16_t dkl_apc;           // 424
    uint16_t dkl_obs1;          // 426: never converted
    uint16_t dkl_obs2;          // 428: never converted
    uint16_t dkl_intrlv;        // 430
    uint16_t dkl_ncyl;          // 432
    uint16_t dkl_acyl;          // 434
    uint16_t dkl_nhead;         // 436
    uint16_t dkl_nsect;         // 438
    uint16_t dkl_obs3;          // 440: never converted
    uint16_t dkl_obs4;          // 442: never converted
    dk_map dkl_map[NDKMAP];     // 444
    uint16_t dkl_magic;         // 508
    uint16_t dkl_cksum;         // 510: never converted
};
static_assert(sizeof(dk_map) == 8);
static_assert(sizeof(dk_label) == 512);
static_assert(offsetof(dk_label, dkl_rpm) == 420);
static_assert(offsetof(dk_label, dkl_obs1) == 426);
static_assert(offsetof(dk_label, dkl_intrlv) == 430);
static_assert(offsetof(dk_label, dkl_ncyl) == 432);
static_assert(offsetof(dk_label, dkl_nhead) == 436);
static_assert(offsetof(dk_label, dkl_nsect) == 438);
static_assert(offsetof(dk_label, dkl_obs4) == 442);
static_assert(offsetof(dk_label, dkl_map) == 444);
static_assert(offsetof(dk_label, dkl_magic) == 508);
static_assert(offsetof(dk_label, dkl_cksum) == 510);

inline constexpr int32_t FS_MAGIC = 0x011954;
inline constexpr int32_t SBOFF = 8192;
inline constexpr int32_t FS_INODEFMT_NEW = 2;
inline constexpr uint32_t ROOT_INO = 2;

struct fs_csum {
    int32_t cs_ndir;    // 0
    int32_t cs_nbfree;  // 4
    int32_t cs_nifree;  // 8
    int32_t cs_nffree;  // 12
};

// UFS superblock, 8192 bytes at byte 8192 of the partition.
struct fs_super {
    int32_t fs_link;          //    0: never converted
    int32_t fs_rlink;         //    4: never converted
    int32_t fs_sblkno;        //    8
    int32_t fs_cblkno;        //   12
    int32_t fs_iblkno;        //   16: inode blocks, fragment offset in cg
    int32_t fs_dblkno;        //   20
    int32_t fs_cgoffset;      //   24
    int32_t fs_cgmask;        //   28
    int32_t fs_time;          //   32
    int32_t fs_size;          //   36
    int32_t fs_dsize;         //   40
    int32_t fs_ncg;           //   44
    int32_t fs_bsize;         //   48
    int32_t fs_fsize;         //   52
    int32_t fs_frag;          //   56
    int32_t fs_minfree;       //   60
    int32_t fs_rotdelay;      //   64
    int32_t fs_rps;           //   68
    int32_t fs_bmask;         //   72
    int32_t fs_fmask;         //   76
    int32_t fs_bshift;        //   80
    int32_t fs_fshift;        //   84
    int32_t fs_maxcontig;     //   88
    int32_t fs_maxbpg;        //   92
    int32_t fs_fragshift;     //   96
    int32_t fs_fsbtodb;       //  100
    int32_t fs_sbsize;        //  104
    int32_t fs_csmask;        //  108
    int32_t fs_csshift;       //  112
    int32_t fs_nindir;        //  116
    int32_t fs_inopb;         //  120
    int32_t fs_nspf;          //  124
    int32_t fs_optim;         //  128
    int32_t fs_npsect;        //  132
    int32_t fs_interleave;    //  136
    int32_t fs_trackskew;     //  140
    int32_t fs_id[2];         //  144
    int32_t fs_csaddr;        //  152
    int32_t fs_cssize;        //  156
    int32_t fs_cgsize;        //  160
    int32_t fs_ntrak;         //  164
    int32_t fs_nsect;         //  168
    int32_t fs_spc;           //  172
    int32_t fs_ncyl;          //  176
    int32_t fs_cpg;           //  180
    int32_t fs_ipg;           //  184
    int32_t fs_fpg;           //  188
    fs_csum fs_cstotal;       //  192
    uint8_t fs_fmod;          //  208: single bytes, never converted
    uint8_t fs_clean;         //  209
    uint8_t fs_ronly;         //  210
    uint8_t fs_flags;         //  211
    char fs_fsmnt[512];       //  212: text
    int32_t fs_cgrotor;       //  724
    uint8_t fs_unused1[128];  //  728
    int32_t fs_cpc;           //  856
    uint8_t fs_unused2[460];  //  860
    int32_t fs_maxsymlinklen; // 1320: longest link kept inside the inode
    int32_t fs_inodefmt;      // 1324: FS_INODEFMT_NEW: owners in 32-bit words
    uint8_t fs_unused3[12];   // 1328
    int32_t fs_qbmask[2];     // 1340: each half converted in place
    int32_t fs_qfmask[2];     // 1348
    int32_t fs_postblformat;  // 1356
    int32_t fs_nrpos;         // 1360
    int32_t fs_postbloff;     // 1364
    int32_t fs_rotbloff;      // 1368
    int32_t fs_magic;         // 1372
    uint8_t fs_unused4[8192 - 1376];
};
static_assert(sizeof(fs_super) == 8192);
static_assert(offsetof(fs_super, fs_iblkno) == 16);
static_assert(offsetof(fs_super, fs_bsize) == 48);
static_assert(offsetof(fs_super, fs_bmask) == 72);
static_assert(offsetof(fs_super, fs_fragshift) == 96);
static_assert(offsetof(fs_super, fs_fsbtodb) == 100);
static_assert(offsetof(fs_super, fs_inopb) == 120);
static_assert(offsetof(fs_super, fs_id) == 144);
static_assert(offsetof(fs_super, fs_ipg) == 184);
static_assert(offsetof(fs_super, fs_fpg) == 188);
static_assert(offsetof(fs_super, fs_cstotal) == 192);
static_assert(offsetof(fs_super, fs_fmod) == 208);
static_assert(offsetof(fs_super, fs_fsmnt) == 212);
static_assert(offsetof(fs_super, fs_cgrotor) == 724);
static_assert(offsetof(fs_super, fs_cpc) == 856);
static_assert(offsetof(fs_super, fs_maxsymlinklen) == 1320);
static_assert(offsetof(fs_super, fs_inodefmt) == 1324);
static_assert(offsetof(fs_super, fs_qbmask) == 1340);
static_assert(offsetof(fs_super, fs_qfmask) == 1348);
static_assert(offsetof(fs_super, fs_postblformat) == 1356);
static_assert(offsetof(fs_super, fs_magic) == 1372);

inline constexpr int NDADDR = 12;
inline constexpr int NIADDR = 3;

// On-disk inode, 128 bytes.  The owner is kept in 16-bit words at 4 and 6,
// and whole in 32-bit words whose place depends on the inode format (the
// superblock's fs_inodefmt): the 4.4 format (FS_INODEFMT_NEW) keeps them at
// 112 and 116; the older format, as Solaris writes it, at 116 and 120, with
// the shadow (ACL) inode at 112 and the extended-attribute directory at
// 124.  See fs_istat for which words hold.
struct dinode {
    uint16_t di_mode;          //   0
    int16_t di_nlink;          //   2
    uint16_t di_uid;           //   4
    uint16_t di_gid;           //   6
    int64_t di_size;           //   8: bytes in the file
    int32_t di_atime;          //  16
    int32_t di_atspare;        //  20
    int32_t di_mtime;          //  24
    int32_t di_mtspare;        //  28
    int32_t di_ctime;          //  32
    int32_t di_ctspare;        //  36
    uint32_t di_db[NDADDR];    //  40: direct fragment addresses
    uint32_t di_ib[NIADDR];    //  88: single, double, triple indirect
    int32_t di_flags;          // 100
    int32_t di_blocks;         // 104
    int32_t di_gen;            // 108
    uint32_t di_uid44_or_shadow;   // 112: 4.4: owner, whole; older: shadow inode
    uint32_t di_gid44_or_uid;      // 116: 4.4: group, whole; older: owner, whole
    uint32_t di_gid_or_spare;      // 120: older: group, whole; 4.4: spare
    uint32_t di_xattr_or_spare;    // 124: older: extended-attribute directory; 4.4: spare
};
static_assert(sizeof(dinode) == 128);
static_assert(offsetof(dinode, di_size) == 8);
static_assert(offsetof(dinode, di_mtime) == 24);
static_assert(offsetof(dinode, di_ctspare) == 36);
static_assert(offsetof(dinode, di_db) == 40);
static_assert(offsetof(dinode, di_ib) == 88);
static_assert(offsetof(dinode, di_flags) == 100);
static_assert(offsetof(dinode, di_uid44_or_shadow) == 112);
static_assert(offsetof(dinode, di_gid44_or_uid) == 116);
static_assert(offsetof(dinode, di_gid_or_spare) == 120);
static_assert(offsetof(dinode, di_xattr_or_spare) == 124);

// Mode bits shared by di_mode and st_mode.
inline constexpr uint16_t IFMT = 0xF000;
inline constexpr uint16_t IFIFO = 0x1000;
inline constexpr uint16_t IFCHR = 0x2000;
inline constexpr uint16_t IFDIR = 0x4000;
inline constexpr uint16_t IFBLK = 0x6000;
inline constexpr uint16_t IFREG = 0x8000;
inline constexpr uint16_t IFLNK = 0xA000;
inline constexpr uint16_t IFSOCK = 0xC000;
inline constexpr uint16_t ISUID = 0x800;
inline constexpr uint16_t ISGID = 0x400;
inline constexpr uint16_t ISVTX = 0x200;
inline constexpr uint16_t PERM_MASK = 0xFFF;   // permission and special bits
inline constexpr uint16_t OWNER_WIDE = 0xFFFF; // 16-bit owner: maybe see the 32-bit word

// Directory record header as it lies in a directory block.  d_name starts
// at byte 8 and runs on to the record's end: the name's bytes, then a NUL
// (at most MAXNAMLEN + 1 bytes in all), then padding.  Records handed out
// by fs_readdir always hold that NUL inside the directory's bytes.  The
// field is declared with the smallest size a valid record can have so that
// a record pointer never claims more bytes than the record holds.
struct direct {
    uint32_t d_ino;       // 0: 0 = empty record
    uint16_t d_reclen;    // 4: distance to the next record
    uint16_t d_namlen;    // 6: converted, but never trusted
    char d_name[4];       // 8: NUL-terminated name
};
static_assert(offsetof(direct, d_reclen) == 4);
static_assert(offsetof(direct, d_namlen) == 6);
static_assert(offsetof(direct, d_name) == 8);
inline constexpr int DIRHDR = 8;
inline constexpr int MAXNAMLEN = 255;

// Status record.  Field names and widths are this library's own, not the
// host's; see <sys/stat.h>'s time macros below.
#pragma push_macro("st_atime")
#pragma push_macro("st_mtime")
#pragma push_macro("st_ctime")
#undef st_atime
#undef st_mtime
#undef st_ctime
struct fs_statrec {
    uint32_t st_dev;    // the host device holding the disk (major << 8 | minor)
    uint32_t st_ino;    // inode number
    uint16_t st_mode;
    int16_t st_nlink;
    uint32_t st_uid;    // whole owner id
    uint32_t st_gid;
    uint32_t st_rdev;   // a device's number as stored (fs_devnum decodes it)
    int64_t st_size;    // bytes, never negative
    int32_t st_atime;
    int32_t st_mtime;
    int32_t st_ctime;
};
#pragma pop_macro("st_ctime")
#pragma pop_macro("st_mtime")
#pragma pop_macro("st_atime")

// ---------------------------------------------------------------------------
// Text from the disk (names, link targets, the label text, the last mount
// point) on its way to the user
// ---------------------------------------------------------------------------

// The one rule by which a terminal is shown such text, so that an image
// cannot drive the user's terminal.  Returns the length of the character
// at `text` (1 to 4 bytes, at most `left`, which is not 0; it cannot fail) and sets *mark
// when the terminal must see '?' in its place: bytes below 0x20, 0x7f,
// the control codes U+0080..U+009F, and bytes that do not form valid UTF-8.
size_t fs_textchar(const char* text, size_t left, bool* mark);
// isatty(fd), leaving errno as it was: false also for a descriptor that
// is not open.
bool fs_isterminal(int fd);
// Writes at most `most` bytes of `text`, up to a NUL, to `stream`: exactly
// as stored when the stream is not a terminal, else by fs_textchar.  A
// failed write shows only in the stream's error flag.
void fs_puttext(FILE* stream, const char* text, size_t most);

// ---------------------------------------------------------------------------
// Disks and the label
// ---------------------------------------------------------------------------
inline constexpr int NDISK = 7;
inline constexpr int LABEL_BUFSIZE = 8192;

// What a disk_open or fs_mount took from a copy: `reason` is FSE_OK when
// it took nothing, else the status of the record it replaced (as in
// fs_errlist); `sector` is where the copy lies, counted in 512-byte
// sectors from the start of the disk.
struct fs_rescue {
    int reason;
    uint64_t sector;
    bool gpt = false;   // the copy is a GPT's backup header
};

inline constexpr int FS_FORMAT_MAX = 8;   // a container format's name, with its NUL

// What describes a disk's partitions.
enum {
    SCHEME_SUN = 0,   // a Sun label (maybe with OpenBSD's slots 8-15), or none (bare)
    SCHEME_GPT,       // an EFI (GPT) label
    SCHEME_X86,       // an fdisk partition holding a little-endian Solaris x86 label
    SCHEME_MBR,       // fdisk partitions with no Solaris one; UFS in one of them
};
inline constexpr int NSLOT = 128;   // the most partitions a disk's label names (GPT entries)

// One partition as every label kind comes down to: where it lies and
// whether a plain mount may take it.
struct disk_slot {
    uint64_t start;     // first 512-byte sector, from the start of the device
    uint64_t sectors;   // 0: empty
    bool special;       // swap, backup, reserved: mounted only with FS_MNT_ANYPART
    char type[40];      // GPT: the type's name, or its GUID as text; else ""
};

struct disk {
    fs_handle handle;   // FS_NOHANDLE: slot free
    dk_label* label;    // owned 8192-byte buffer, label converted
    bool bare;          // no label: one UFS file system fills the device
    int64_t bytes;      // device size in bytes (0 when the host cannot say)
    int scheme;         // SCHEME_*
    int nslots;         // slots the label can name (8, 16, 4 or its GPT entries)
    disk_slot* slots;   // owned, NSLOT of them
    char name[128];     // x86 label text, as stored
    fs_rescue label_from;         // the backup label taken, if any
    char format[FS_FORMAT_MAX];   // the container read through; "" for none
};

// A rescue map taken from its text (see fs_map_open).
struct fs_map;

// The choices a disk is opened with.
struct disk_choices {
    const fs_map* map;      // unreadable areas (null: none); kept by the caller while the disk is open
    bool start_forced;      // whatever the label says, one file system
    uint64_t start_sector;  // starts at this 512-byte sector, as partition 0
};

// What opening a disk or scanning it found out about its container.
struct disk_note {
    char format[FS_FORMAT_MAX];   // "" for a plain file or device
    int64_t size;                 // the (virtual) disk's bytes
    char text[1024];              // FSE_CONTAINER: why it cannot be read
    uint64_t skipped;             // disk_scan: unreadable sectors passed over
    unsigned left_out;            // disk_scan: finds and superblocks past its room
};

// Opens the disk or image at `path` (a plain file or device, or a
// container told by its magic) with `choices`, and reads its label (or a
// backup, or takes it as one bare file system).  Null with fs_errno on
// failure: FSE_HOST (fs_syserr) when the host refuses the path,
// FSE_CONTAINER (note->text) when its container cannot be read, else why
// the label was refused or the table is full.
disk* disk_open_with(const char* path, const disk_choices* choices, disk_note* note);

// Opens the disk or image at `path` and reads its label (or takes it as one
// bare file system).  Null on failure: fs_errno says why the label was
// refused or the table is full; when the host could not open the path,
// fs_errno is left as it was and errno holds the host's reason.
disk* disk_open(const char* path);
// Closes the disk; non-zero, or 0 with fs_errno when the host's close fails.
int disk_close(disk* d);
// Reads the map of a rescued image (position, size and status lines in
// the rescue tool's text format).  A disk opened with it fails every read
// of a sector that touches an area the rescue could not read, or bytes no
// line covers (never tried).  Null with fs_errno: FSE_HOST (fs_syserr)
// when the file cannot be read, FSE_MAPLINE when a line cannot be parsed
// (*line_no and *why say which and why), FSE_NOMEM.
fs_map* fs_map_open(const char* path, unsigned* line_no, const char** why);
void fs_map_close(fs_map* map);
// The unreadable bytes and areas of `map` on a disk of `disk_bytes`
// bytes; bytes past the map's last line count as one more area.
void fs_map_totals(const fs_map* map, int64_t disk_bytes, uint64_t* bytes, unsigned* areas);
// The host's identity of host file `index` (from 0) behind the open disk
// (file system and file number): the image, or each segment or backing
// file of its container, so that a caller writing on the host can refuse
// to write over one; false past the last, or when the host cannot tell.
bool disk_ident(const disk* d, int index, uint64_t* dev, uint64_t* ino);
// The host device that holds the file system `fs` is read from: a block
// or character device's own number, else the device of the file system
// the image lies on, as 32-bit major << 8 | minor (the minor's high bits
// from bit 20); 0 when the host cannot tell.  It cannot fail.
uint32_t fs_home(const struct fsys* fs);
// Prints the converted label; it cannot fail.
void dump_label(FILE* stream, const dk_label* label);

// Start of partition `part` in 512-byte sectors, exact; it cannot fail.
uint64_t part_start_sectors(const dk_label* label, int part);

// True when slot `part` of `d` starts with a volume manager's replica
// where a file system would keep its superblock.
bool slot_replica(const disk* d, int part);

// ---------------------------------------------------------------------------
// Mounted file systems
// ---------------------------------------------------------------------------
inline constexpr int NFSYS = 16;
inline constexpr int FS_MNT_ANYPART = 1;
inline constexpr int MAXPATHLEN_FS = 1024;   // a path, and the working directory's text, with its NUL

struct fs_cache;   // blocks a mounted file system keeps (internal)

struct fsys {
    fs_handle handle;   // the disk's; FS_NOHANDLE: slot free
    dk_label* label;    // the disk's, borrowed
    int part;
    fs_super* sb;       // owned, converted
    char* cwd;          // owned, MAXPATHLEN_FS bytes
    uint32_t cwd_ino;
    bool bare;          // the disk's: no label in front of the file system
    fs_cache* cache;    // owned: last inode block, lookup buffers
    int64_t start = 0;      // the partition's first byte on the device
    uint64_t sectors = 0;   // the partition's size in sectors
    bool swap = false;      // its records are not in the host's byte order
};

// Mounts partition `part` of `d` (partitions 1 and 2 only with
// FS_MNT_ANYPART); the first file system mounted becomes the current one.
// Null with fs_errno on failure.
fsys* fs_mount(disk* d, int part, int flags);
// Releases the slot; always 0.  fs_errno is left as it was.
int fs_umount(fsys* fs);
// The current file system; null when none is (not a failure: no status).
fsys* fs_getfs();
// Makes `fs` (null: none) current and returns it; it cannot fail.
fsys* fs_setfs(fsys* fs);
// Copies the working directory's text (at most MAXPATHLEN_FS bytes with
// its NUL) to `buf` and returns `buf`; null with FSE_NOFS when no file
// system is current (`buf` then says so).
char* fs_getcwd(char* buf);
// Prints the converted superblock; it cannot fail.
void dump_super(FILE* stream, const fs_super* sb);

// ---------------------------------------------------------------------------
// Inodes and status
// ---------------------------------------------------------------------------
// Fills `st` from inode `ino` of the current file system; 0, or -1 with
// fs_errno (FSE_NOFS, or the inode's read: FSE_SEEK / FSE_READ; the
// record is then untouched).  Owners come
// from the 32-bit words at 112/116 when the superblock says
// FS_INODEFMT_NEW, else from the 16-bit words; there an OWNER_WIDE owner
// (group) is the 32-bit word at 116 (120) when that word is above 65535,
// and a real 65535 otherwise (older systems leave those words 0).
int fs_istat(uint32_t ino, fs_statrec* st);
// Prints a status record; the result of the last fprintf (negative when
// the stream failed).
int dump_stat(FILE* stream, const fs_statrec* st);
// Prints a converted inode; the result of the last fprintf (negative when
// the stream failed).
// A device's major and minor numbers from `rdev` as the current file
// system's writer stored them: the 4.4 format's 32-bit rule; in the older
// format 8 bits each in a 16-bit word, or 14 and 18 bits in a wider one.
void fs_devnum(uint32_t rdev, uint32_t* major, uint32_t* minor);
// Writes the inode dump of inode `ino` of the current file system; 0, or
// -1 with fs_errno when the inode cannot be read.
int fs_dump_inode(FILE* stream, uint32_t ino);
int dump_inode(FILE* stream, const dinode* ip);

// ---------------------------------------------------------------------------
// Path lookup and working directory
// ---------------------------------------------------------------------------

// Inode number of `path` (from the working directory unless it starts
// with '/'); 0 with fs_errno on failure.  The last component's inode is
// not read.
uint32_t fs_namei(const char* path);
// fs_namei then fs_istat; 0, or -1 with fs_errno (`st` then untouched).
int fs_stat(const char* path, fs_statrec* st);

// Image paths as text (no lookup, no failure).  fs_path_join: `name`
// under directory `dir`, one slash between.  fs_path_abs: `path` as typed
// in working directory `cwd`, made absolute word by word ("." stays, ".."
// goes up one, never above the root).  fs_path_last: the last name of
// `path`, or "" when it ends in none ("/", ".", "..").
std::string fs_path_join(const std::string& dir, const std::string& name);
std::string fs_path_abs(const char* cwd, const char* path);
std::string fs_path_last(const char* path);
// True when the `len` bytes at `word` are "<N>", a name for inode N that
// a path may start with; *ino receives N.
bool fs_path_inode(const char* word, size_t len, uint32_t* ino);
// Makes `path`, a directory, the working directory; 0, or -1 with
// fs_errno (nothing changes then).
int fs_chdir(const char* path);

// ---------------------------------------------------------------------------
// File and directory streams
// ---------------------------------------------------------------------------
inline constexpr int NFILES = 16;
inline constexpr int32_t FS_EOF = 3;
inline constexpr int FF_BUFSIZE = 8192;

struct block_map;   // logical block -> fragment address (internal)

inline constexpr uint32_t FF_LOSTRUNS = 8;   // lost runs a stream keeps in full

struct FS_FILE {
    fsys* ff_fs;          // null: slot free
    dinode* ff_inode;     // owned copy, host order
    uint32_t ff_avail;    // bytes in ff_buf not yet handed out
    uint8_t* ff_cur;      // next byte to hand out
    uint8_t* ff_buf;      // owned, current data block
    int64_t ff_pos;       // bytes covered by the blocks read so far
    int64_t ff_lbn;       // blocks read so far = next logical block
    int32_t ff_state;     // 0, or FS_EOF: no further block
    int ff_lost;          // status of the first block that failed, or 0 (see fs_flost)
    block_map* ff_map;    // owned, with its indirect blocks
    int64_t ff_lostat;    // file offset where that first failed block began;
                          // bytes handed out before it are all in place
    int64_t ff_lostbytes; // bytes of every block lost (handed out as zeros)
    uint32_t ff_lostruns; // runs of lost bytes, touching blocks joined
    int64_t ff_lostend;   // where the last run ends
    int64_t ff_lostrun[FF_LOSTRUNS][2];   // the first runs: start, end (exclusive)
};

// Opens a stream on the file at `path`; null with fs_errno on failure
// (no slot is taken then).  `mode` is not looked at: streams only read.
FS_FILE* fs_fopen(const char* path, const char* mode);
// Opens a stream on inode `ino` of the current file system, for callers
// that already hold the number (from a directory entry): no path is looked
// up again.  Results and failures are those of fs_fopen after its lookup.
FS_FILE* fs_fopen_ino(uint32_t ino);
// Reads up to `count` items of `size` bytes; the whole items read.  Fewer
// than asked at the end of the file, or with fs_errno when a block could
// not be read (fs_errno is FSE_OK after a call that met no failure).
uint32_t fs_fread(void* buf, uint32_t size, uint32_t count, FS_FILE* f);
// When nothing is buffered and the stream's next bytes lie in a hole
// (a zero block address, or a pointer inside an indirect block that is
// absent, at any level), moves the stream past the whole hole as far
// as the block map shows it, never past the file's size, and returns
// the bytes passed over; 0 when the next bytes are data, at the end,
// or the map cannot be read (nothing moves then).
int64_t fs_fhole(FS_FILE* f);
// Kinds of the runs of a file's bytes, as its block map alone shows them.
inline constexpr int FS_RUN_DATA = 0;   // bytes in data blocks
inline constexpr int FS_RUN_HOLE = 1;   // no block: reads as zeros
inline constexpr int FS_RUN_LOST = 2;   // under an indirect block that cannot be read
// The run of the stream's file that starts at byte `pos` (a block's start):
// its length in bytes, never past the size, and its kind in *kind; 0 at or
// past the end.  Reads indirect blocks only, never data, and does not move
// the stream.  A very long run may come in parts.
int64_t fs_frun(FS_FILE* f, int64_t pos, int* kind);
// fs_fhole for lost spans too: when nothing is buffered and the stream's
// next bytes are a hole or a lost run, moves the stream past that run and
// returns its bytes (a lost run is recorded as lost, see fs_flostruns);
// 0 when the next bytes are data or at the end.
int64_t fs_fpass(FS_FILE* f);
// Goes through the rest of the stream's blocks for what is lost, handing
// out nothing: where the device can tell without reading (a rescue map),
// no data block is read; else each block is read once.  The lost runs are
// kept as a read would keep them (fs_flostruns); returns the first lost
// block's status, or FSE_OK.  The stream ends at the end of its file.
int fs_fsurvey(FS_FILE* f);
// Releases the stream's slot; always 0.
int fs_fclose(FS_FILE* f);
// True when the stream lost a block on the way: *at (when not null)
// receives the file offset where the first lost block began, *status
// (when not null) that block's status; bytes handed out before that
// offset are all in place.  False, with neither touched, when none was
// lost.
bool fs_flost(const FS_FILE* f, int64_t* at, int* status);
// The runs of bytes a file stream lost so far (a lost block reads as zeros
// and every later byte keeps its place): the number of runs, the first
// `most` of them (start, end exclusive; at most FF_LOSTRUNS are kept) into
// `runs`, and the lost bytes into *bytes when it is not null.  Never fails.
uint32_t fs_flostruns(const FS_FILE* f, int64_t (*runs)[2], uint32_t most, int64_t* bytes);
// True when the stream reached the end of its file with nothing left
// buffered and no block lost on the way.  When it did not, fs_errno holds
// the reason (a lost block's status is put back there), ready for a report.
bool fs_fclean(FS_FILE* f);

// Opens a stream on the directory at `path`; null with fs_errno on
// failure (FSE_NOTDIR, FSE_TOOBIG for a size negative or past 2 GiB, ...).
FS_FILE* fs_opendir(const char* path);
// fs_opendir on an inode number the caller already holds.
FS_FILE* fs_opendir_ino(uint32_t ino);
// The next record in use, or null at the end or on failure.  A block that
// cannot be read is passed over and kept for fs_fclean; fs_errno then
// holds its status.  Null with fs_errno also when a broken record ends the
// directory, or when an indirect block fails (the next call tries again).
direct* fs_readdir(FS_FILE* d);
// Where the next record of `d` lies, as a byte offset into the directory;
// it cannot fail.
int64_t fs_telldir(const FS_FILE* d);
// Sets a newly opened stream of a directory at `pos`, a value fs_telldir
// gave for a stream of the same directory, so that a caller can close a
// directory while it works elsewhere and go on where it left off: the
// stream then gives exactly what one uninterrupted pass would have.  0, or
// -1 with fs_errno when the block there cannot be read again: it is lost
// from the place on (fs_fclean reports it) and the stream goes on with the
// next block, as fs_readdir does past a lost block.
int fs_seekdir(FS_FILE* d, int64_t pos);
// fs_fclose for a directory stream; always 0.
int fs_closedir(FS_FILE* d);

// ---------------------------------------------------------------------------
// The way back in: backup labels, superblock copies, a chosen start, and
// the scan of a whole disk for labels and file systems
// ---------------------------------------------------------------------------

// fs_mount flag: when the superblock at byte 8192 of the partition cannot
// be used, mount with the first sound copy of it.
inline constexpr int FS_MNT_SBCOPY = 2;

// fs_mount, and *used receives the superblock copy taken, if any.
fsys* fs_mount_with(disk* d, int part, int flags, fs_rescue* used);

// disk_open, but whatever the label says the disk holds one file system
// that starts at 512-byte sector `sector`: it is partition 0, as for a
// disk without a label (bare).
disk* disk_open_at(const char* path, uint64_t sector);

// Which of the records of `fs` itself lie in sectors that cannot be read:
// *super for the superblock at byte 8192, and the groups whose superblock
// copy or whose group block is touched, ascending.  With a rescue map
// nothing is read.  FSE_OK, or FSE_NOMEM.
int fs_meta_lost(fsys* fs, bool* super, std::vector<uint32_t>* copies, std::vector<uint32_t>* groups);

// True when the file system uses a log that still holds changes not yet
// written in place (fs_clean 0xFD, and 2 in the superblock's second word).
bool fs_log_unrolled(const fsys* fs);

// fs_mount flag: open the file system as it lies on the disk, without
// its log.
inline constexpr int FS_MNT_NOLOG = 4;

// What the mount made of the file system's log.
enum {
    FS_LOG_NONE = 0,       // no log read: none, or FS_MNT_NOLOG
    FS_LOG_EMPTY = 1,      // read: no committed transaction in it
    FS_LOG_REPLAYED = 2,   // its committed transactions are laid over every read
    FS_LOG_DAMAGED = 3,    // it failed its checks and is not used
};
// The log's state; with FS_LOG_REPLAYED *transactions says how many
// transactions, with FS_LOG_DAMAGED *why says what failed.
int fs_log_state(const fsys* fs, uint32_t* transactions, const char** why);
// Prints the log's extents, head, tail, idents and transaction count;
// nothing when no log was read.
void dump_log(FILE* stream, const fsys* fs);
// True when the current state of inode `ino` of the current file system
// came from its log.
bool fs_inode_logged(uint32_t ino);

// One thing the scan found.
enum {
    SCAN_LABEL = 1, SCAN_BACKUP = 2, SCAN_FS = 3,
    SCAN_FDISK = 4,        // an fdisk partition (from sector 0's table)
    SCAN_X86 = 5,          // a sound Solaris x86 label
    SCAN_GPT = 6,          // a sound GPT header, the primary one
    SCAN_GPT_BACKUP = 7,   // a sound GPT header, the backup one
    SCAN_REPLICA = 8,      // a volume manager's replica, at its slice's start
};
struct scan_find {
    int kind;            // SCAN_LABEL (sector 0), SCAN_BACKUP, SCAN_FS
    uint64_t sector;     // where it starts, from the start of the disk
    int status;          // labels: FSE_OK (sound) or why not; SCAN_FS: 0
    bool placed;         // SCAN_BACKUP: its own geometry puts it there
    bool primary;        // SCAN_FS: the superblock at byte 8192 is sound
    int32_t bsize;       // SCAN_FS: block and fragment size
    int32_t fsize;
    int copies;          // SCAN_FS: sound superblock copies
    uint64_t sectors;    // SCAN_FS: size in sectors
    char fsmnt[512];     // SCAN_FS: last mount point, as stored (maybe no NUL)
    int number;          // SCAN_FDISK: the entry's number, 0-3
    int type;            // SCAN_FDISK: the partition's type byte
};
inline constexpr int SCAN_MOST = 64;   // finds kept by one scan

// Reads the whole device at `path` (through its container, with `map`,
// which may be null) once, in order, and fills `found` (room for
// SCAN_MOST) in disk order; sectors that cannot be read are passed over.
// `note` receives the container's format and size, the sectors passed
// over and what did not fit.  `progress`, when not null, is told the bytes
// read so far and the device's size after each read.  Returns the number
// of finds, or -1 with fs_errno (FSE_HOST, FSE_CONTAINER as for
// disk_open_with, FSE_NOMEM, FSE_READ).
int disk_scan(const char* path, const fs_map* map, disk_note* note, scan_find* found,
              void (*progress)(uint64_t done, uint64_t total));

// ---------------------------------------------------------------------------
// Inodes by number, and files read at any offset outside the stream table
// ---------------------------------------------------------------------------

// Reads inode `ino` of the current file system, converted, into *out; 0,
// or -1 with fs_errno (FSE_NOFS, FSE_SEEK, FSE_READ; *out untouched).
int fs_inode(uint32_t ino, dinode* out);
// The access, modification and change times of a converted inode of the
// current file system, with the sub-second part its format keeps (0 where
// it keeps none or the word is out of range); it cannot fail.
void fs_inode_times(const dinode* ip, int64_t sec[3], uint32_t nsec[3]);

// A file read at any offset.  Each is its own allocation, so a caller may
// hold as many as memory allows; the current file system must stay
// mounted and current while any is open.
struct fs_ifile;
// Opens inode `ino` (of any type) of the current file system; null with
// fs_errno (as fs_fopen_ino).
fs_ifile* fs_iopen(uint32_t ino);
// The open file's inode, converted; it cannot fail.
const dinode* fs_iinode(const fs_ifile* f);
// Reads up to `count` bytes at byte `offset`: the bytes read (fewer only
// at the end of the file, 0 at or past it); -1 with fs_errno when any
// block the read touches is lost (FSE_READ, or an indirect block's
// failure) or `offset` is negative (FSE_SEEK).  Holes read as zeros.
int64_t fs_pread(fs_ifile* f, void* buf, uint32_t count, int64_t offset);
// The byte ranges of the file that cannot be read as its block map and the
// rescue map show them (block by block, touching blocks joined): the
// number of ranges, the first `most` of them (start, end exclusive) into
// `runs`.  A device error outside the map shows only when read.  Never
// fails; a map too damaged to walk whole gives what the walk reached.
uint32_t fs_ilost(fs_ifile* f, int64_t (*runs)[2], uint32_t most);
// Where the first data (`data`) or the first hole (else) at or after
// `offset` begins, from the block map (the end of the file counts as a
// hole); -1 with FSE_SEEK when `offset` is outside the file or only a hole
// follows it when data is asked.
int64_t fs_iseek(fs_ifile* f, int64_t offset, bool data);
void fs_iclose(fs_ifile* f);
