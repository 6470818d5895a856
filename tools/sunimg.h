// sunimg: builds disk images of Sun workstations for tests and demos.
//
// A disk image is a Sun disk label in sector 0 and big-endian Sun-style
// UFS (UFS1) file systems in its partitions.  Everything is written in
// big-endian byte order, as a Sun would have written it.
//
// Typical use in a test:
//
//   sunimg::Ufs fs;                                    // 8192/1024 UFS
//   fs.file("/etc/passwd", "root:x:0:1::/:/bin/sh\n", {.uid = 0, .gid = 1});
//   uint32_t big = fs.add_file(fs.dir("/big"), "f", sunimg::pattern(200000));
//   sunimg::DiskImage img = sunimg::make_disk(fs);    // part 0 + part 2
//   img.image.put32be(img.inode_offset(0, big) + 40, 0);   // zero di_db[0]
//   img.write(path);
//
// Shapes that tests of real disks need (each one line):
//
//   Files of any size UFS1 maps (64-bit di_size, holes, double and triple
//   indirect ranges, data at the far end); the host image stays sparse:
//     fs.add_sparse(fs.root(), "big", 40ull << 30, {{0, head}, {(40ull << 30) - 5, tail}});
//   Any raw 64-bit size in di_size (negative, beyond the map, a 3 GB
//   directory; the blocks still follow the true content):
//     fs.node(ino).raw_size = 0x8000000000000005ull;
//   An empty directory of size 24 whose ".." record claims 500 bytes:
//     fs.node(fs.dir("/empty")).raw_size = 24;
//   Owners: the older 16-bit words, the newer 32-bit words with
//   fs_inodefmt 2, or both with the 0xFFFF marker (see OwnerFormat):
//     sunimg::Ufs fs({.owners = sunimg::OwnerFormat::new32});
//   Directory aliases (the root under 30 names, an entry back to the root,
//   two names for one directory):
//     fs.link(fs.root(), "again", fs.root());  fs.link(sub, "up", fs.root());
//   A record naming any inode number, allocated or not:
//     fs.add_entry(sub, "ghost", 40000);
//   A partition anywhere on a big, sparse disk (cylinder = 256 KiB):
//     sunimg::Disk d({.ncyl = 34332});  d.add_fs(0, fs, 34000);  d.build().write(path);
//   Symbolic links keep their target in a data block, even when short;
//   FsOptions::fast_symlinks keeps short ones in the inode instead.
//
// Damage hooks: DiskImage knows where everything went (label, superblock,
// inodes, directory records, data and indirect blocks, and the words that
// point at them), all as byte offsets in the whole disk image.
//
// Defaults: 16 heads x 32 sectors (256 KiB cylinders), 3600 rpm; UFS
// with 8192-byte blocks, 1024-byte fragments, 16 cylinders per group,
// classic rotational staggering of the group metadata, and just enough
// cylinders for the content.  Data is allocated first-fit from the start
// of the file system (whole blocks, fragment tails packed into partly
// used blocks); inodes are numbered from 3 in creation order unless
// Meta::ino asks for a number.  Building is deterministic.
//
// Errors (impossible geometry, full file system, bad names...) are thrown
// as sunimg::Error.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/fields.h"

namespace sunimg {

// ---------------------------------------------------------------------------
// Constants of the on-disk formats
// ---------------------------------------------------------------------------
inline constexpr uint32_t kSector = 512;
inline constexpr uint16_t kLabelMagic = 0xDABE;
inline constexpr uint32_t kVtocSanity = 0x600DDEEE;   // VTOC sanity
inline constexpr int32_t kFsMagic = 0x011954;
inline constexpr int32_t kCgMagic = 0x090255;
inline constexpr uint32_t kSbOff = 8192;   // superblock in partition
inline constexpr uint32_t kRootIno = 2;
inline constexpr uint32_t kDirChunk = 512;   // DIRBLKSIZ
inline constexpr int kNDirect = 12;

// Mode bits (type field and special bits), as in di_mode.
inline constexpr uint16_t kIFMT = 0xF000, kIFIFO = 0x1000, kIFCHR = 0x2000, kIFDIR = 0x4000, kIFBLK = 0x6000,
                          kIFREG = 0x8000, kIFLNK = 0xA000, kIFSOCK = 0xC000;
inline constexpr uint16_t kISUID = 0x800, kISGID = 0x400, kISVTX = 0x200;

class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// ---------------------------------------------------------------------------
// Big-endian helpers on raw memory and on byte vectors (bounds-checked).
// ---------------------------------------------------------------------------
void put16be(uint8_t* p, uint16_t v);
void put32be(uint8_t* p, uint32_t v);
uint16_t get16be(const uint8_t* p);
uint32_t get32be(const uint8_t* p);

void put8(std::vector<uint8_t>& b, uint64_t off, uint8_t v);
void put16be(std::vector<uint8_t>& b, uint64_t off, uint16_t v);
void put32be(std::vector<uint8_t>& b, uint64_t off, uint32_t v);
uint16_t get16be(const std::vector<uint8_t>& b, uint64_t off);
uint32_t get32be(const std::vector<uint8_t>& b, uint64_t off);

// Deterministic pseudo-random bytes (xorshift), good for spotting blocks
// that come back in the wrong order.  Different seeds give different data.
std::vector<uint8_t> pattern(size_t n, uint32_t seed = 1);
// Numbered text lines "<prefix> line 00001 ....\n" until n bytes are filled.
std::string text_lines(size_t n, std::string_view prefix = "line");

// ---------------------------------------------------------------------------
// Image: a possibly sparse disk image.  Bytes [0, dense_size()) live in one
// vector; pieces far out (a partition past 2 GiB) live in extra extents;
// everything else reads as zero.  write() uses ftruncate + pwrite, so a
// 3 GiB image with a file system at its end takes a few MB on disk.
// ---------------------------------------------------------------------------
class Image {
public:
    uint64_t size() const;
    // Cut the image short or extend it with (sparse) zeros.
    void resize(uint64_t n);

    uint8_t get8(uint64_t off) const;
    uint16_t get16be(uint64_t off) const;
    uint32_t get32be(uint64_t off) const;
    std::vector<uint8_t> read(uint64_t off, size_t n) const;

    // Patchers.  Writing inside the image's size never fails; writing past
    // the end grows the image.
    void put8(uint64_t off, uint8_t v);
    void put16be(uint64_t off, uint16_t v);
    void put32be(uint64_t off, uint32_t v);
    void put(uint64_t off, const void* data, size_t n);
    void put(uint64_t off, const std::vector<uint8_t>& data) { put(off, data.data(), data.size()); }
    void fill(uint64_t off, size_t n, uint8_t v = 0);

    // The whole image as one vector (throws for images over 1 GiB).
    std::vector<uint8_t> bytes() const;
    // Dense part: bytes [0, dense_size()); direct access for small patches.
    std::vector<uint8_t>& dense() { return dense_; }
    const std::vector<uint8_t>& dense() const { return dense_; }
    // Place `data` as a separate extent at `off` (used for far partitions).
    void put_extent(uint64_t off, std::vector<uint8_t> data);

    // Write to a file, sparsely (holes stay holes).  Throws Error.
    void write(const std::string& path) const;

private:
    std::vector<uint8_t>* find(uint64_t off, size_t n, uint64_t* base);
    const std::vector<uint8_t>* find(uint64_t off, size_t n, uint64_t* base) const;

    std::vector<uint8_t> dense_{};
    std::map<uint64_t, std::vector<uint8_t>> far_{};
    uint64_t size_ = 0;
};

// Writes bytes to a file (plain, not sparse).  Throws Error.
void write_file(const std::string& path, const std::vector<uint8_t>& bytes);

// ---------------------------------------------------------------------------
// Sun disk label (sector 0).
// ---------------------------------------------------------------------------
struct Geometry {
    uint16_t nhead = 16;   // tracks per cylinder
    uint16_t nsect = 32;   // 512-byte sectors per track
    uint16_t rpm = 3600;
    uint32_t cyl_sectors() const { return uint32_t(nhead) * nsect; }
    uint64_t cyl_bytes() const { return uint64_t(cyl_sectors()) * kSector; }
    bool operator==(const Geometry&) const = default;
};

struct LabelPart {
    int32_t cylno = 0;   // dkl_cylno
    int32_t nblk = 0;   // dkl_nblk, 512-byte blocks; 0 = empty
    uint16_t tag = 0;   // VTOC tag (2 root, 4 usr, 5 backup, 8 home...)
    uint16_t flag = 0;   // VTOC flag (1 unmountable, 0x10 read-only)
};

struct Label {
    std::string text{};   // dkl_asciilabel (at most 127 chars + NUL)
    uint16_t rpm = 3600;
    uint16_t pcyl = 0;   // physical cylinders
    uint16_t apc = 0;   // alternates per cylinder
    uint16_t obs1 = 0, obs2 = 0;   // obsolete words, written as given (BE)
    uint16_t intrlv = 1;
    uint16_t ncyl = 0;   // data cylinders
    uint16_t acyl = 2;   // alternate cylinders
    uint16_t nhead = 16;
    uint16_t nsect = 32;
    uint16_t obs3 = 0, obs4 = 0;
    std::array<LabelPart, 8> part{};
    uint16_t magic = kLabelMagic;
    // VTOC in bytes 128..263 (version 1, 8 partitions, tags and
    // flags, sanity 0x600DDEEE).  The Sleuth Kit's mmls needs it; old-style
    // labels have zeros there.  The reader ignores these bytes.
    bool vtoc = true;
    std::string volume{};   // VTOC volume name (8 chars)
    // Stored checksum; nullopt = the correct XOR.  Set a value to make a
    // bad label.
    std::optional<uint16_t> cksum{};
};

// XOR of the 255 big-endian 16-bit words at bytes 0..509 of a sector.
uint16_t label_checksum(const uint8_t* sector);
// The 512-byte sector for a label (checksum computed unless overridden).
std::array<uint8_t, 512> encode_label(const Label& l);
// Parses a sector (big-endian) back into a Label; cksum is set to the
// stored word.  No checks.
Label decode_label(const uint8_t* sector);
// Partition start in bytes: cylno * nhead * nsect * 512 (64-bit).
uint64_t partition_offset(const Label& l, int part);

// A Solaris x86 label (little-endian), for the second sector of a Solaris
// fdisk partition; slice starts count from that partition's start.
struct X86Slice {
    uint16_t tag = 0;
    uint32_t start = 0;
    uint32_t size = 0;
};
struct X86Label {
    std::string text{};
    uint32_t ncyl = 0, nhead = 64, nsect = 32;
    std::vector<X86Slice> slices{};   // at most 16, numbered from 0
};
std::array<uint8_t, 512> encode_x86_label(const X86Label& l);

// Writes OpenBSD's partitions i-p (cylinder, sectors) into the Sun label
// `sector` (512 bytes, as on disk) and mends its checksum.
void add_obsd_extension(uint8_t* sector, const std::array<LabelPart, 8>& parts);

// ---------------------------------------------------------------------------
// UFS file system description.
// ---------------------------------------------------------------------------
inline constexpr int32_t kDefaultTime = 700000000;   // 1992-03-07 20:26:40 UTC

// Attributes of a new node.  Defaults: permissions by type (0644 file,
// 0755 directory, 0777 symlink, 0666 device/fifo/socket), uid 100, gid 10,
// three different times, computed link count, next free inode number.
struct Meta {
    std::optional<uint16_t> perm{};   // 07777 bits: permissions + suid/sgid/sticky
    uint32_t uid = 100;   // ids above 65535 need FsOptions::owners other
    uint32_t gid = 10;   // than OwnerFormat::old16
    int32_t atime = kDefaultTime + 7200;
    int32_t mtime = kDefaultTime;
    int32_t ctime = kDefaultTime + 3600;
    std::optional<int16_t> nlink{};   // default: number of names (+ subdirs)
    uint32_t ino = 0;   // 0: next free inode number
    int32_t flags = 0;   // di_flags
    std::optional<int32_t> gen{};   // di_gen; default derived from ino
};

// A piece of file content at a byte offset (for sparse files).
struct Extent {
    uint64_t offset = 0;
    std::vector<uint8_t> data{};
};

struct DirEntry {
    std::string name{};
    uint32_t ino = 0;
    bool raw = false;   // from Ufs::add_entry: any number, not counted as a link
};

// One node of the tree under construction (inspect or adjust through
// Ufs::node()).
struct Node {
    uint32_t ino = 0;
    uint16_t mode = 0;   // type | 07777
    uint32_t uid = 0, gid = 0;
    int32_t atime = 0, mtime = 0, ctime = 0;
    std::optional<int16_t> nlink{};
    int32_t flags = 0;
    std::optional<int32_t> gen{};
    uint32_t rdev = 0;   // devices: stored in di_db[0]
    uint64_t size = 0;   // regular files and symlinks
    // Stored in di_size (both words) instead of the true size; the blocks
    // are still laid out for the true content.  For damaged or unusual
    // sizes: a negative size (1ull << 63), a size beyond the block map, a
    // directory claiming 3 GB, or an empty directory of size 24 whose ".."
    // record still claims the rest of its 512-byte chunk (500 bytes), as
    // old systems wrote them (mkdir, then node(d).raw_size = 24).
    std::optional<uint64_t> raw_size{};
    std::vector<Extent> data{};   // regular files and symlinks
    uint32_t parent = 0;   // directories
    std::vector<DirEntry> entries{};   // directories, without "." and ".."
    uint32_t dir_min_size = 0;   // directories: pad to at least this
                                 // many bytes (multiple of 512) with
                                 // empty records
    int names = 0;   // number of directory entries naming it
};

// Where an inode keeps its owner and group.
enum class OwnerFormat {
    // Older format: 16-bit words at inode bytes 4/6 only; bytes 112/116 and
    // superblock bytes 1320/1324 stay zero.  Ids above 65535 are refused.
    old16,
    // Newer format: superblock fs_inodefmt (byte 1324) = 2 and
    // fs_maxsymlinklen (1320) = 60; 32-bit words at inode bytes 112/116,
    // the 16-bit words at 4/6 left zero.
    new32,
    // Older format as Solaris writes it: both, the 16-bit word 0xFFFF when
    // the id does not fit, the whole owner and group at inode bytes 116/120
    // (112 is the shadow inode, left zero); superblock bytes 1320/1324 zero.
    both,
};

struct FsOptions {
    int32_t bsize = 8192;   // 4096 or 8192
    int32_t fsize = 1024;   // 512 .. bsize, power of two, bsize/fsize <= 16
                            // (real file-system creators stop at 8; 8192/512 is accepted
                            // for tests, with free-fragment runs of 8 and
                            // more left out of cg_frsum)
    int32_t cpg = 16;   // cylinders per cylinder group
    int32_t ncyl = 0;   // cylinders in the file system; 0 = just enough
                        // for the content (plus slack)
    int32_t ipg = 0;   // inodes per group (rounded up to a multiple
                       // of bsize/128); 0 = one per nbpi data bytes
    int32_t nbpi = 2048;
    int32_t min_free_blocks = 16;   // slack when ncyl is automatic
    // Cylinder-group rotational staggering as the classic file-system creator did it:
    // fs_cgoffset = roundup(nsect / nspf, frag), fs_cgmask = ~0 << log2(ntrak).
    // false: fs_cgoffset 0, fs_cgmask -1 (no staggering).
    bool stagger = true;
    std::optional<int32_t> cgoffset{};   // override
    std::optional<int32_t> cgmask{};   // override
    int32_t minfree = 10;
    int32_t rotdelay = 4;
    int32_t maxcontig = 1;
    int32_t nrpos = 8;
    int32_t time = kDefaultTime + 86400;   // fs_time, cg_time
    std::string fsmnt = "/";
    uint8_t clean = 0x01;   // fs_clean
    std::array<int32_t, 2> id{kDefaultTime + 86400, 0x3f1c5a07};
    // Where owners go, see OwnerFormat.
    OwnerFormat owners = OwnerFormat::old16;
    // The 16-bit words and the 32-bit words at 112/116, in the newer inode
    // format (superblock as for new32): 112/116 are where The Sleuth Kit
    // reads owners, so images for comparing owners with it use this.
    bool wide_ids = false;
    bool lost_found = false;   // inode 3, a one-block lost+found
    // Store symlink targets shorter than 60 bytes inside the inode's block
    // address words ("fast" symlinks, as newer writers do) instead of a data
    // block.  The Sleuth Kit reads every symlink under 60 bytes that way.
    bool fast_symlinks = false;
};

// Where one block of an inode went.
struct BlockRef {
    int level = 0;   // 0: data block; 1: single indirect block (holds
                     // data addresses); 2: double; 3: triple
    int64_t lbn = 0;   // data: logical block; indirect: first logical
                       // block it maps
    uint32_t frag = 0;   // fragment address (partition-relative)
    uint32_t nfrags = 0;   // fragments held (data tail < frag, else frag)
    uint32_t bytes = 0;   // nfrags * fsize
    uint64_t offset = 0;   // byte offset of the block (in the partition for
                           // FsLayout, in the whole disk for DiskImage)
    uint64_t ptr_offset = 0;   // byte offset of the 32-bit word pointing at
                               // this block: di_db[i]/di_ib[k] in the inode,
                               // or the entry in the parent indirect block
};

struct DirentRef {
    std::string name{};
    uint32_t ino = 0;
    uint32_t pos = 0;   // byte position inside the directory
    uint16_t reclen = 0;
};

struct InodeInfo {
    uint32_t ino = 0;
    uint16_t mode = 0;
    uint64_t size = 0;
    int16_t nlink = 0;
    std::vector<BlockRef> data{};   // data blocks, by logical block
    std::vector<BlockRef> indirect{};   // indirect blocks, in allocation order
    std::vector<DirentRef> dirents{};   // directories: every record, in order
};

// The superblock values written (host order).
struct Super {
    int32_t sblkno, cblkno, iblkno, dblkno, cgoffset, cgmask, time, size, dsize, ncg, bsize, fsize, frag, minfree,
        rotdelay, rps, bmask, fmask, bshift, fshift, maxcontig, maxbpg, fragshift, fsbtodb, sbsize, csmask, csshift,
        nindir, inopb, nspf, optim, npsect, interleave, trackskew, csaddr, cssize, cgsize, ntrak, nsect, spc, ncyl, cpg,
        ipg, fpg, cpc, nrpos, postbloff, rotbloff;
    int32_t ndir, nbfree, nifree, nffree;   // fs_cstotal
    int32_t maxsymlinklen, inodefmt;   // newer inode format; else 0
};

// A built file system: its bytes (fs_size * fsize) and where things went.
struct FsLayout {
    Super sb{};
    int32_t part_ncyl = 0;   // cylinders of the partition (>= sb.ncyl)
    std::map<uint32_t, InodeInfo> inodes{};   // every allocated inode

    // Fragment address of cylinder group cg's start (cgstart).
    uint32_t cg_start(uint32_t cg) const;
    // Byte offset in the partition of inode `ino` (the reader's inode address formula).
    uint64_t inode_offset(uint32_t ino) const;
    uint64_t frag_offset(uint32_t frag) const { return uint64_t(frag) * uint32_t(sb.fsize); }
    const InodeInfo& inode(uint32_t ino) const;
    // Byte offset in the partition of byte `pos` of the file (Error in a hole).
    uint64_t file_offset(uint32_t ino, uint64_t pos) const;
    // Byte offset in the partition of the directory record `name` of dir.
    uint64_t dirent_offset(uint32_t dir_ino, std::string_view name) const;
    int64_t partition_bytes() const { return int64_t(sb.size) * sb.fsize; }
};

struct FsImage {
    std::vector<uint8_t> bytes{};
    FsLayout layout;
};

// A UFS under construction: a tree of nodes, turned into bytes by build().
class Ufs {
public:
    explicit Ufs(FsOptions opt = {});

    FsOptions& options() { return opt_; }
    const FsOptions& options() const { return opt_; }
    uint32_t root() const { return kRootIno; }

    // Inode-based creation: parent directory inode + one name component.
    // Each returns the new inode number.
    uint32_t mkdir(uint32_t parent, const std::string& name, Meta m = {});
    uint32_t add_file(uint32_t parent, const std::string& name, std::string_view content, Meta m = {});
    uint32_t add_file(uint32_t parent, const std::string& name, std::vector<uint8_t> content, Meta m = {});
    // Sparse regular file of `size` bytes: only the blocks touched by the
    // extents get addresses; the rest are holes (zero addresses, and
    // indirect blocks that map nothing are left out).
    uint32_t add_sparse(uint32_t parent, const std::string& name, uint64_t size, std::vector<Extent> data, Meta m = {});
    uint32_t add_symlink(uint32_t parent, const std::string& name, const std::string& target, Meta m = {});
    uint32_t add_fifo(uint32_t parent, const std::string& name, Meta m = {});
    uint32_t add_socket(uint32_t parent, const std::string& name, Meta m = {});
    uint32_t add_chardev(uint32_t parent, const std::string& name, uint32_t rdev, Meta m = {});
    uint32_t add_blockdev(uint32_t parent, const std::string& name, uint32_t rdev, Meta m = {});
    // Another name for an existing inode (hard link; directories too, which
    // lets a test build aliases and loops: the root under more names, a
    // subdirectory entry naming the root, two names for one directory).
    // Bumps the computed link count.
    void link(uint32_t parent, const std::string& name, uint32_t ino);
    // A directory record naming any inode number at all (unallocated, past
    // the last group, 0 for an empty record), for damaged directories.  No
    // link count changes.
    void add_entry(uint32_t parent, const std::string& name, uint32_t ino);

    // Path-based shorthands ("/a/b/c", missing parents created with
    // default Meta).  dir() returns an existing directory as is.
    uint32_t dir(std::string_view path, Meta m = {});
    uint32_t file(std::string_view path, std::string_view content, Meta m = {});
    uint32_t file(std::string_view path, std::vector<uint8_t> content, Meta m = {});
    uint32_t symlink(std::string_view path, const std::string& target, Meta m = {});
    // Inode of a path, 0 if none.
    uint32_t lookup(std::string_view path) const;

    Node& node(uint32_t ino);
    const Node& node(uint32_t ino) const;
    const std::map<uint32_t, Node>& nodes() const { return nodes_; }

    // Lay the file system out for disks of geometry g.  With options().ncyl
    // 0 the size is chosen to fit the content.
    FsImage build(const Geometry& g = {}) const;

private:
    uint32_t add_node(uint32_t parent, const std::string& name, uint16_t mode, const Meta& m);
    Node& entry_dir(uint32_t parent, const std::string& name);
    uint32_t take_ino(uint32_t want);
    std::pair<uint32_t, std::string> parent_of(std::string_view path, bool create);

    FsOptions opt_;
    std::map<uint32_t, Node> nodes_{};
    uint32_t next_ino_ = 3;
};

// ---------------------------------------------------------------------------
// Disk assembly.
// ---------------------------------------------------------------------------
struct DiskImage;

struct DiskOptions {
    Geometry geom{};
    std::string label_text{};   // empty: "SUNIMG cyl N alt A hd H sec S"
    uint16_t acyl = 2;
    int32_t ncyl = 0;   // data cylinders; 0 = end of the last partition
    bool whole_disk = true;   // partition 2 = the whole disk (tag backup),
                              // unless partition 2 was given explicitly
    bool vtoc = true;   // see Label::vtoc
};

class Disk {
public:
    explicit Disk(DiskOptions o = {});
    // Builds fs and puts it into partition `part` starting at cylinder
    // `cylno` (-1: the first cylinder after the partitions so far); the
    // partition covers the file system's cylinders.
    FsLayout add_fs(int part, const Ufs& fs, int32_t cylno = -1, uint16_t tag = 2);
    // A partition entry without content.
    void add_partition(int part, int32_t cylno, int32_t nblk, uint16_t tag = 0);
    DiskImage build() const;

private:
    struct Placed {
        int part;
        int32_t cylno;
        FsImage fs;
    };
    DiskOptions opt_;
    std::array<LabelPart, 8> parts_{};
    std::array<bool, 8> used_{};
    std::vector<Placed> placed_{};
    int32_t next_cyl_ = 0;
};

// The finished disk: bytes, label, and the layout of each file system.
struct DiskImage {
    Geometry geom{};
    Label label;
    Image image;
    std::map<int, FsLayout> fs{};   // by partition

    // Offsets in the whole image (bytes).
    uint64_t label_offset() const { return 0; }
    uint64_t partition_offset(int part) const { return sunimg::partition_offset(label, part); }
    uint64_t superblock_offset(int part) const { return partition_offset(part) + kSbOff; }
    uint64_t frag_offset(int part, uint32_t frag) const;
    uint64_t inode_offset(int part, uint32_t ino) const;
    uint64_t dirent_offset(int part, uint32_t dir_ino, std::string_view name) const;
    uint64_t file_offset(int part, uint32_t ino, uint64_t pos) const;
    // Blocks of an inode, offsets in the whole image.
    std::vector<BlockRef> data_blocks(int part, uint32_t ino) const;
    std::vector<BlockRef> indirect_blocks(int part, uint32_t ino) const;
    const FsLayout& layout(int part) const;

    // Re-encodes `label` into sector 0 (after changing its fields).
    void rewrite_label();
    std::vector<uint8_t> bytes() const { return image.bytes(); }
    void write(const std::string& path) const { image.write(path); }
};

// One call: fs in partition `part` from cylinder 0, partition 2 the whole
// disk.
DiskImage make_disk(const Ufs& fs, int part = 0, DiskOptions o = {});

// ---------------------------------------------------------------------------
// Host trees.
// ---------------------------------------------------------------------------
struct TreeOptions {
    std::optional<uint32_t> uid{};   // override the host owner
    std::optional<uint32_t> gid{};
    std::optional<int32_t> time{};   // override all three times
};

// Adds the contents of host directory `hostdir` (recursively: regular
// files, directories, symbolic links, fifos, sockets, devices) under the
// directory `at` of fs.  Entries are added in name order.  Throws Error.
void add_tree(Ufs& fs, uint32_t at, const std::string& hostdir, const TreeOptions& t = {});

// A small built-in tree with one of each node type (directories, files with
// fragment tails, a hard link, a symbolic link, a fifo, a socket, character
// and block devices), holes among the direct blocks and a file whose only
// late block lies in the single indirect range.
Ufs seed_tree(FsOptions o = {});

// Host tree -> file system under construction, its root taking the
// directory's own attributes.
Ufs tree_ufs(const std::string& hostdir, FsOptions fo = {}, const TreeOptions& t = {});

// Host tree -> disk: file system in partition 0, partition 2 whole disk.
DiskImage build_tree_image(const std::string& hostdir, FsOptions fo = {}, DiskOptions d = {},
                           const TreeOptions& t = {});

// ---------------------------------------------------------------------------
// Logging file systems: a metadata log holding the last changes, as a
// machine that crashed leaves it.
// ---------------------------------------------------------------------------
enum class LogShape {
    empty,               // nothing in the log; the disk is up to date
    create,              // one committed transaction creating /logged
    no_commit,           // that transaction without its COMMIT
    wrap,                // that transaction running from the log's end to its start
    cancel,              // a stale change over /logged's first block, cancelled
                         // by the transaction that gives the block to /logged
    abzero,              // /logged sparse with an indirect block zeroed by ABZERO
                         // over stale bytes on the disk
    broken_trailer,      // /logged, then /logged2 whose first sector's ident breaks the run
    first_header_bad,    // create, with the first header copy's checksum broken
    headers_bad,         // create, with both header copies broken
};
// A shape by its name (the enumerator's, with '-' for '_'); throws Error.
LogShape log_shape(std::string_view name);

struct LoggedDisk {
    DiskImage disk;          // the state before the transactions, their
                             // file data in place, and the log
    DiskImage replayed;      // the file system once the log is replayed
    uint32_t committed = 0;  // transactions a replay counts
};
// `fs` in partition 0 as a logging file system (owners in the older
// format), with the log of `shape`.  The files it adds are regular files
// of the default attributes.
LoggedDisk make_logged_disk(const Ufs& fs, LogShape shape, DiskOptions o = {});

}   // namespace sunimg
