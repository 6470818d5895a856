// The disk table, the Sun label check and its conversion, the label dump
// and the status texts.  Images are written byte by byte here (a label
// sector in an 8 KB file) or by the image builder when a file system is
// needed behind the label.
#include "support/images.h"
#include "support/runner.h"
#include "tools/sunimg.h"

#include "fslib/fslib.h"
#include "fslib/internal.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using testimg::TempDir;

// Closes every disk it was given, in reverse order, when it goes away:
// the disk table is process-wide and must be empty between tests.
struct Disks {
    std::vector<disk*> open;
    ~Disks() { close_all(); }
    disk* add(disk* d)
    {
        if (d)
            open.push_back(d);
        return d;
    }
    void close(disk* d)
    {
        for (size_t i = 0; i < open.size(); i++) {
            if (open[i] == d) {
                open.erase(open.begin() + static_cast<std::ptrdiff_t>(i));
                disk_close(d);
                return;
            }
        }
    }
    void close_all()
    {
        while (!open.empty()) {
            disk_close(open.back());
            open.pop_back();
        }
    }
};

std::string capture(void (*fn)(FILE*, const dk_label*), const dk_label* l)
{
    char* buf = nullptr;
    size_t len = 0;
    FILE* f = open_memstream(&buf, &len);
    fn(f, l);
    std::fclose(f);
    std::string s(buf, len);
    std::free(buf);
    return s;
}

// A label of odd but valid values: every converted field differs from its
// neighbours, and the obsolete words are not byte palindromes.
sunimg::Label sample_label()
{
    sunimg::Label l;
    l.text = "Test disk cyl 100 alt 2 hd 16 sec 32";
    l.rpm = 3600;
    l.pcyl = 102;
    l.apc = 7;
    l.obs1 = 0x1234;
    l.obs2 = 0x00FF;
    l.intrlv = 3;
    l.ncyl = 100;
    l.acyl = 2;
    l.nhead = 16;
    l.nsect = 32;
    l.obs3 = 0xABCD;
    l.obs4 = 0x0001;
    l.part[0] = {0, 51200, 2, 0};
    l.part[1] = {50, 0, 0, 0};         // no blocks, yet a start: still dumped
    l.part[2] = {0, 51200, 5, 0};
    l.part[5] = {0, -2048, 0, 0};      // signed figures
    l.part[6] = {8192, 1, 0, 0};       // starts at 2 GiB: 0x80000000
    l.part[7] = {99, 512, 0, 0};
    return l;
}

// Eight KB whose first sector is `sector`.
std::vector<uint8_t> label_file(const std::array<uint8_t, 512>& sector, size_t size = 8192)
{
    std::vector<uint8_t> b(size, 0);
    std::memcpy(b.data(), sector.data(), std::min<size_t>(size, 512));
    for (size_t i = 512; i < size; i++)
        b[i] = static_cast<uint8_t>(i * 7 + 1);   // not part of the label
    return b;
}

std::string write_label(const TempDir& dir, const sunimg::Label& l, const std::string& name = "label.img",
                        size_t size = 8192)
{
    std::string p = dir.file(name);
    testimg::write_image(p, label_file(sunimg::encode_label(l), size));
    return p;
}

// ---------------------------------------------------------------------------
// Status texts
// ---------------------------------------------------------------------------

TEST(Status, MessagesAreTheSystemsOwnTexts)
{
    const char* expect[] = {
        "No error",          "Bad checksum",        "Bad magic number",
        "Read error",        "Empty partition",     "Bad partition",
        "Seek error",        "Resource temporarily unavailable",
        "Too many open files", "Not a directory",   "Filename too long",
        "No such file or directory", "Bad superblock",
    };
    for (int i = 0; i <= FSE_BADSB; i++)
        EXPECT_STREQ(fs_errlist[i], expect[i]) << "code " << i;
    EXPECT_EQ(FSE_BADSB, 12);
    EXPECT_STREQ(fs_errlist[FSE_TOOBIG], "File too large");
    EXPECT_STREQ(fs_errlist[FSE_NOFS], "No file system mounted");
    EXPECT_STREQ(fs_errlist[FSE_UFS2], "UFS2 is not supported");
    EXPECT_STREQ(fs_errlist[FSE_REPLICA], "Volume manager replica, not a file system");
    EXPECT_STREQ(fs_errlist[FSE_STRIPE], "Volume manager stripe or concatenation, not supported");
    EXPECT_STREQ(fs_errlist[FSE_HOST], "Host error");
    EXPECT_STREQ(fs_errlist[FSE_MAPLINE], "Bad map line");
    EXPECT_STREQ(fs_errlist[FSE_CONTAINER], "Unreadable image container");
    EXPECT_EQ(FSE_CONTAINER + 1, FSE_NERR);
    for (int i = 0; i < FSE_NERR; i++)
        ASSERT_NE(fs_errlist[i], nullptr) << "code " << i;
}

// ---------------------------------------------------------------------------
// disk_open failures
// ---------------------------------------------------------------------------

// Each case changes label fields before encoding, bytes of the encoded
// file after, or both.
struct OpenCase {
    const char* name;
    void (*fields)(sunimg::Label&);
    void (*bytes)(std::vector<uint8_t>&);
    int err;
};

const OpenCase open_cases[] = {
    {"valid", nullptr, nullptr, FSE_OK},
    {"short file with a valid label", nullptr, [](std::vector<uint8_t>& b) { b.resize(8191); }, FSE_READ},
    {"label sector only", nullptr, [](std::vector<uint8_t>& b) { b.resize(512); }, FSE_READ},
    {"empty file", nullptr, [](std::vector<uint8_t>& b) { b.clear(); }, FSE_READ},
    {"checksum off by one bit",
     [](sunimg::Label& l) { l.cksum = uint16_t(sunimg::label_checksum(sunimg::encode_label(l).data()) ^ 1); },
     nullptr, FSE_CHECKSUM},
    {"checksum stored little-endian",
     [](sunimg::Label& l) { l.cksum = __builtin_bswap16(sunimg::label_checksum(sunimg::encode_label(l).data())); },
     nullptr, FSE_CHECKSUM},
    {"byte covered by the checksum changed", nullptr, [](std::vector<uint8_t>& b) { b[300] ^= 0x40; },
     FSE_CHECKSUM},
    {"label text changed", nullptr, [](std::vector<uint8_t>& b) { b[0] = 'X'; }, FSE_CHECKSUM},
    {"magic wrong, checksum right", [](sunimg::Label& l) { l.magic = 0xDABF; }, nullptr, FSE_MAGIC},
    {"magic byte-swapped", [](sunimg::Label& l) { l.magic = 0xBEDA; }, nullptr, FSE_MAGIC},
    {"magic and checksum both wrong",
     [](sunimg::Label& l) {
         l.magic = 0;
         l.cksum = 0x1234;
     },
     nullptr, FSE_MAGIC},
    {"all zeros", nullptr, [](std::vector<uint8_t>& b) { std::fill(b.begin(), b.end(), 0); }, FSE_MAGIC},
    {"bytes past the label sector are not checked", nullptr,
     [](std::vector<uint8_t>& b) { std::fill(b.begin() + 512, b.end(), 0xFF); }, FSE_OK},
    {"longer file", nullptr, [](std::vector<uint8_t>& b) { b.resize(100000, 0x55); }, FSE_OK},
};

TEST(DiskOpen, LabelChecksAndShortImages)
{
    TempDir dir;
    std::string good = write_label(dir, sample_label(), "good.img");
    for (const OpenCase& c : open_cases) {
        SCOPED_TRACE(c.name);
        sunimg::Label l = sample_label();
        if (c.fields)
            c.fields(l);
        std::vector<uint8_t> b = label_file(sunimg::encode_label(l));
        if (c.bytes)
            c.bytes(b);
        std::string p = dir.file("img");
        testimg::write_image(p, b);

        fs_errno = 99;
        Disks disks;
        disk* d = disks.add(disk_open(p.c_str()));
        EXPECT_EQ(fs_errno, c.err);
        EXPECT_EQ(d != nullptr, c.err == FSE_OK);
        if (d) {
            EXPECT_NE(d->handle, FS_NOHANDLE);
            EXPECT_EQ(std::memcmp(d->label->dkl_asciilabel, b.data(), 128), 0);
        }
        disks.close_all();

        // A refused disk leaves its slot free: all seven can still be taken.
        for (int i = 0; i < NDISK; i++)
            ASSERT_NE(disks.add(disk_open(good.c_str())), nullptr) << "slot " << i;
    }
}

TEST(DiskOpen, EighthOpenFailsUntilOneIsClosed)
{
    TempDir dir;
    std::string p = write_label(dir, sample_label());
    Disks disks;
    disk* slots[NDISK];
    for (int i = 0; i < NDISK; i++) {
        slots[i] = disks.add(disk_open(p.c_str()));
        ASSERT_NE(slots[i], nullptr) << i;
        for (int j = 0; j < i; j++)
            ASSERT_NE(slots[i], slots[j]);
    }
    fs_errno = 0;
    EXPECT_EQ(disk_open(p.c_str()), nullptr);
    EXPECT_EQ(fs_errno, FSE_NFILE);
    // Even a path that cannot be opened: the table is full first.
    fs_errno = 0;
    EXPECT_EQ(disk_open(dir.file("missing").c_str()), nullptr);
    EXPECT_EQ(fs_errno, FSE_NFILE);

    disks.close(slots[3]);
    disk* again = disks.add(disk_open(p.c_str()));
    ASSERT_EQ(again, slots[3]) << "the freed slot is the first free one";
    EXPECT_EQ(fs_errno, FSE_OK) << "a good label resets the status";
    EXPECT_EQ(disk_open(p.c_str()), nullptr);
    EXPECT_EQ(fs_errno, FSE_NFILE);
}

TEST(DiskOpen, UnopenablePathLeavesStatusAlone)
{
    TempDir dir;
    for (int before : {int(FSE_OK), int(FSE_MAGIC), int(FSE_NOENT)}) {
        fs_errno = before;
        errno = 0;
        EXPECT_EQ(disk_open(dir.file("no/such/disk.img").c_str()), nullptr);
        EXPECT_EQ(fs_errno, before);
        EXPECT_EQ(errno, ENOENT) << "the host's reason is left for the caller to print";
    }
    // A directory is not a disk: refused at the open like a missing file,
    // with the host's reason, not as an unreadable label.
    fs_errno = 0;
    errno = 0;
    EXPECT_EQ(disk_open(dir.path().c_str()), nullptr);
    EXPECT_EQ(fs_errno, 0);
    EXPECT_EQ(errno, EISDIR);
    // Nor is a named pipe, which must not leave the open waiting for a
    // writer that never comes.
    std::string fifo = dir.file("pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    errno = 0;
    EXPECT_EQ(disk_open(fifo.c_str()), nullptr);
    EXPECT_EQ(fs_errno, 0);
    EXPECT_EQ(errno, ENODEV);

    // None of these failures took a slot.
    std::string p = write_label(dir, sample_label());
    Disks disks;
    for (int i = 0; i < NDISK; i++)
        ASSERT_NE(disks.add(disk_open(p.c_str())), nullptr) << i;
}

TEST(DiskOpen, RefusedLabelDoesNotLeakItsDescriptor)
{
    TempDir dir;
    sunimg::Label bad = sample_label();
    bad.magic = 0;
    std::string p = write_label(dir, bad);
    int probe = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(probe, 0);
    ::close(probe);
    for (int i = 0; i < 50; i++)
        ASSERT_EQ(disk_open(p.c_str()), nullptr);
    int next = ::open("/dev/null", O_RDONLY);
    EXPECT_EQ(next, probe) << "every refused open closed its device";
    ::close(next);
}

// Descriptor 0 is a good handle: a disk opened while standard input is
// closed must count as taken and must read.
TEST(DiskOpen, DescriptorZeroIsATakenSlot)
{
    TempDir dir;
    sunimg::Ufs fs = testimg::standard_tree();
    std::string p = testimg::write_disk(dir, sunimg::make_disk(fs));

    struct StdinGuard {
        int saved = ::dup(0);
        ~StdinGuard()
        {
            ::dup2(saved, 0);
            ::close(saved);
        }
    } guard;
    ASSERT_GE(guard.saved, 0);
    {
        Disks disks;   // closed before standard input comes back
        ::close(0);
        disk* d0 = disks.add(disk_open(p.c_str()));
        ASSERT_NE(d0, nullptr);
        struct stat img{}, fd0{};
        ASSERT_EQ(::stat(p.c_str(), &img), 0);
        ASSERT_EQ(::fstat(0, &fd0), 0);
        ASSERT_EQ(fd0.st_ino, img.st_ino) << "the disk got descriptor 0";
        EXPECT_NE(d0->handle, FS_NOHANDLE);

        for (int i = 1; i < NDISK; i++) {
            disk* d = disks.add(disk_open(p.c_str()));
            ASSERT_NE(d, nullptr) << i;
            EXPECT_NE(d, d0) << "the descriptor-0 slot was handed out again";
        }
        fs_errno = 0;
        EXPECT_EQ(disk_open(p.c_str()), nullptr);
        EXPECT_EQ(fs_errno, FSE_NFILE);

        // And the handle works: the superblock is read through it.
        fsys* f = fs_mount(d0, 0, 0);
        ASSERT_NE(f, nullptr) << fs_errlist[fs_errno];
        EXPECT_EQ(f->sb->fs_bsize, 8192);
        fs_umount(f);

        disks.close(d0);
        EXPECT_EQ(::fcntl(0, F_GETFD), -1) << "disk_close closed descriptor 0";
    }
}

TEST(DiskClose, ReportsTheCloseResultAndFreesTheSlot)
{
    TempDir dir;
    std::string p = write_label(dir, sample_label());
    disk* d = disk_open(p.c_str());
    ASSERT_NE(d, nullptr);
    fs_errno = FSE_SEEK;
    EXPECT_NE(disk_close(d), 0);
    EXPECT_EQ(fs_errno, FSE_SEEK) << "disk_close leaves the status alone";
    EXPECT_EQ(d->handle, FS_NOHANDLE);
    EXPECT_EQ(d->label, nullptr);

    // A handle whose descriptor was closed behind the library's back: the
    // close fails, and the slot is freed all the same.
    d = disk_open(p.c_str());
    ASSERT_NE(d, nullptr);
    disk* first = d;
    struct stat img{};
    ASSERT_EQ(::stat(p.c_str(), &img), 0);
    int fd = -1;
    for (int i = 0; i < 1024 && fd < 0; i++) {
        struct stat st{};
        if (::fstat(i, &st) == 0 && st.st_ino == img.st_ino && st.st_dev == img.st_dev)
            fd = i;
    }
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(disk_close(d), 0);
    EXPECT_EQ(d->handle, FS_NOHANDLE);
    d = disk_open(p.c_str());
    EXPECT_EQ(d, first);
    if (d)
        disk_close(d);
}

// ---------------------------------------------------------------------------
// label_check: what is converted and what stays as stored
// ---------------------------------------------------------------------------

TEST(LabelCheck, ConvertsExactlyTheListedFields)
{
    sunimg::Label l = sample_label();
    auto sector = sunimg::encode_label(l);
    alignas(8) uint8_t buf[8192];
    for (size_t i = 0; i < sizeof buf; i++)
        buf[i] = static_cast<uint8_t>(i * 13 + 5);
    std::memcpy(buf, sector.data(), 512);
    uint8_t before[8192];
    std::memcpy(before, buf, sizeof buf);

    auto* dl = reinterpret_cast<dk_label*>(buf);
    ASSERT_EQ(label_check(dl), FSE_OK);

    EXPECT_EQ(dl->dkl_rpm, 3600);
    EXPECT_EQ(dl->dkl_pcyl, 102);
    EXPECT_EQ(dl->dkl_apc, 7);
    EXPECT_EQ(dl->dkl_intrlv, 3);
    EXPECT_EQ(dl->dkl_ncyl, 100);
    EXPECT_EQ(dl->dkl_acyl, 2);
    EXPECT_EQ(dl->dkl_nhead, 16);
    EXPECT_EQ(dl->dkl_nsect, 32);
    EXPECT_EQ(dl->dkl_magic, DKL_MAGIC);
    for (int i = 0; i < NDKMAP; i++) {
        EXPECT_EQ(dl->dkl_map[i].dkl_cylno, l.part[i].cylno) << i;
        EXPECT_EQ(dl->dkl_map[i].dkl_nblk, l.part[i].nblk) << i;
    }
    // Swapped fields: 420..425, 430..439, 444..509.  Everything else,
    // including the obsolete words, the checksum and the rest of the 8 KB,
    // is byte for byte as read.
    auto swapped = [](size_t i) {
        return (i >= 420 && i < 426) || (i >= 430 && i < 440) || (i >= 444 && i < 510);
    };
    for (size_t i = 0; i < sizeof buf; i++) {
        if (!swapped(i)) {
            ASSERT_EQ(buf[i], before[i]) << "byte " << i;
        }
    }
    uint16_t raw;
    std::memcpy(&raw, before + 426, 2);
    EXPECT_EQ(dl->dkl_obs1, raw);
}

TEST(LabelCheck, ConvertsEvenWhenRefused)
{
    sunimg::Label l = sample_label();
    l.magic = 0x1234;
    auto sector = sunimg::encode_label(l);
    alignas(8) uint8_t buf[8192] = {};
    std::memcpy(buf, sector.data(), 512);
    auto* dl = reinterpret_cast<dk_label*>(buf);
    EXPECT_EQ(label_check(dl), FSE_MAGIC);
    EXPECT_EQ(dl->dkl_magic, 0x1234);
    EXPECT_EQ(dl->dkl_ncyl, 100);
    EXPECT_EQ(dl->dkl_map[7].dkl_cylno, 99);
}

TEST(LabelCheck, PartitionStartUsesTheConvertedGeometry)
{
    sunimg::Label l = sample_label();
    l.nhead = 255;
    l.nsect = 63;
    l.part[3] = {1000, 1, 0, 0};
    l.part[4] = {-1, 1, 0, 0};        // would wrap in 32 bits
    l.part[5] = {70000, 1, 0, 0};     // past 4 GiB
    auto sector = sunimg::encode_label(l);
    alignas(8) uint8_t buf[8192] = {};
    std::memcpy(buf, sector.data(), 512);
    auto* dl = reinterpret_cast<dk_label*>(buf);
    ASSERT_EQ(label_check(dl), FSE_OK);
    EXPECT_EQ(part_start_sectors(dl, 0), 0u);
    EXPECT_EQ(part_start_sectors(dl, 3), 1000u * 255 * 63);
    EXPECT_EQ(part_start_sectors(dl, 4), 0xFFFFFFFFull * 255u * 63u);   // exact, no wrap
    EXPECT_EQ(part_start_sectors(dl, 5), 70000ull * 255u * 63u);
}

// ---------------------------------------------------------------------------
// dump_label
// ---------------------------------------------------------------------------

std::string stored_hex(const std::array<uint8_t, 512>& s, int off, bool upper)
{
    char t[16];
    unsigned v = s[size_t(off)] | (unsigned(s[size_t(off) + 1]) << 8);
    std::snprintf(t, sizeof t, upper ? "%X" : "%x", v);
    return t;
}

TEST(DumpLabel, ExactText)
{
    sunimg::Label l = sample_label();
    auto sector = sunimg::encode_label(l);
    alignas(8) uint8_t buf[8192] = {};
    std::memcpy(buf, sector.data(), 512);
    auto* dl = reinterpret_cast<dk_label*>(buf);
    ASSERT_EQ(label_check(dl), FSE_OK);

    std::string expect =
        "Test disk cyl 100 alt 2 hd 16 sec 32\n"
        "3600\trotations per minute\n"
        "102\tphysical cylinders\n"
        "7\talternates per cylinder\n"
        "3412\tobsolete\n"      // stored 12 34
        "ff00\tobsolete\n"      // stored 00 ff
        "3\tinterleave factor\n"
        "100\tdata cylinders\n"
        "2\talternate cylinders\n"
        "16\theads in this partition\n"
        "32\t512 byte sectors per track\t(This makes a 25 Mb disk)\n"
        "cdab\tobsolete\n"      // stored ab cd
        "100\tobsolete\n"       // stored 00 01
        "\t0\tlogical partition\n"
        "\t\t0\tstarting cylinder (0x0)\n"
        "\t\t51200\tblocks (26214400 b, 25600 Kb, 25 Mb)\n"
        "\t1\tlogical partition\n"
        "\t\t50\tstarting cylinder (0xc80000)\n"
        "\t\t0\tblocks (0 b, 0 Kb, 0 Mb)\n"
        "\t2\tlogical partition\n"
        "\t\t0\tstarting cylinder (0x0)\n"
        "\t\t51200\tblocks (26214400 b, 25600 Kb, 25 Mb)\n"
        "\t5\tlogical partition\n"
        "\t\t0\tstarting cylinder (0x0)\n"
        "\t\t-2048\tblocks (-1048576 b, -1024 Kb, -1 Mb)\n"
        "\t6\tlogical partition\n"
        "\t\t8192\tstarting cylinder (0x80000000)\n"
        "\t\t1\tblocks (512 b, 0 Kb, 0 Mb)\n"
        "\t7\tlogical partition\n"
        "\t\t99\tstarting cylinder (0x18c0000)\n"
        "\t\t512\tblocks (262144 b, 256 Kb, 0 Mb)\n"
        "0xDABE\tmagic (should be 0xDABE)\n"
        "0x" + stored_hex(sector, 510, true) + "\txor checksum of sector\n";
    EXPECT_EQ(capture(dump_label, dl), expect);
}

// What `write` puts on a stream that is a terminal (a pseudo-terminal in
// raw mode, so no byte is changed on its way) and on one that is a file.
struct Seen {
    std::string terminal, file;
};

Seen seen_by_both(const std::function<void(FILE*)>& write)
{
    Seen out;
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(master, 0);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return out;
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    termios raw = {};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    std::thread reader([&] {
        char b[4096];
        ssize_t n;
        while ((n = read(master, b, sizeof b)) > 0)   // EIO once the slave is shut
            out.terminal.append(b, size_t(n));
    });
    FILE* tty = fdopen(slave, "w");
    write(tty);
    std::fclose(tty);
    reader.join();
    close(master);
    FILE* file = std::tmpfile();
    write(file);
    std::fflush(file);
    std::rewind(file);
    for (int c; (c = std::fgetc(file)) != EOF;)
        out.file += char(c);
    std::fclose(file);
    return out;
}

TEST(DiskText, ControlBytesReachOnlyAFile)
{
    // The label text and the last mount point from a crafted disk: a
    // terminal sees '?' for each control byte and broken UTF-8 byte, a
    // file (or pipe) gets the bytes as stored.
    const std::string crafted = "\x1b]0;owned\x07\x1b[2J\xc2\x9bx caf\xc3\xa9 \xff";
    const std::string safe = "?]0;owned??[2J?x caf\xc3\xa9 ?";
    alignas(8) static dk_label label = {};
    alignas(8) static fs_super sb = {};
    std::memcpy(label.dkl_asciilabel, crafted.c_str(), crafted.size() + 1);
    std::memcpy(sb.fs_fsmnt, crafted.c_str(), crafted.size() + 1);
    struct Row {
        const char* what;
        std::function<void(FILE*)> write;
        std::string before;   // the text comes right after this
    } rows[] = {
        {"label text", [](FILE* f) { dump_label(f, &label); }, ""},
        {"last mounted on", [](FILE* f) { dump_super(f, &sb); }, "last mounted on\t"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        Seen seen = seen_by_both(r.write);
        EXPECT_NE(seen.terminal.find(r.before + safe + "\n"), std::string::npos) << seen.terminal;
        EXPECT_EQ(seen.terminal.find('\x1b'), std::string::npos);
        EXPECT_NE(seen.file.find(r.before + crafted + "\n"), std::string::npos);
    }
}

TEST(DumpLabel, LabelTextWithoutNulPrintsAtMost128Bytes)
{
    sunimg::Label l = sample_label();
    auto sector = sunimg::encode_label(l);
    std::string text(128, 'x');
    text[0] = 'A';
    text[127] = 'Z';
    std::memcpy(sector.data(), text.data(), 128);
    // Bytes 128.. (the reserved area) must not run on into the first line.
    std::memcpy(sector.data() + 128, "MORE", 4);
    sector[510] = sector[511] = 0;
    uint16_t ck = sunimg::label_checksum(sector.data());
    sunimg::put16be(sector.data() + 510, ck);

    TempDir dir;
    std::string p = dir.file("img");
    testimg::write_image(p, label_file(sector));
    Disks disks;
    disk* d = disks.add(disk_open(p.c_str()));
    ASSERT_NE(d, nullptr) << fs_errlist[fs_errno];
    std::string out = capture(dump_label, d->label);
    EXPECT_EQ(out.substr(0, 129), text + "\n");
    EXPECT_EQ(out.substr(129, 5), "3600\t");

    // The shell's summary prints the same bounded text.
    disks.close_all();
    runner::Options o;
    o.args = {p};
    runner::Result r = runner::run_sunufs(o);
    EXPECT_EQ(r.err.substr(0, 131), "\t" + text + "\n\t");
}

TEST(DumpLabel, EmptyTextAndNoPartitions)
{
    sunimg::Label l;
    l.text = "";
    l.rpm = 0;
    l.intrlv = 0;
    l.acyl = 0;
    l.nhead = 1;
    l.nsect = 1;
    l.ncyl = 0;
    auto sector = sunimg::encode_label(l);
    alignas(8) uint8_t buf[8192] = {};
    std::memcpy(buf, sector.data(), 512);
    auto* dl = reinterpret_cast<dk_label*>(buf);
    ASSERT_EQ(label_check(dl), FSE_OK);
    std::string out = capture(dump_label, dl);
    std::string tail = "0\tobsolete\n0\tobsolete\n0xDABE\tmagic (should be 0xDABE)\n";
    EXPECT_EQ(out.substr(0, 1), "\n");
    EXPECT_NE(out.find("1\t512 byte sectors per track\t(This makes a 0 Mb disk)\n" + tail), std::string::npos)
        << out;
    EXPECT_EQ(out.find("logical partition"), std::string::npos);
}

// Large geometry: the byte figures are whole 64-bit numbers, reached
// without undefined behaviour (the sanitizer build checks that).
TEST(DumpLabel, HugeFiguresArePrintedWhole)
{
    sunimg::Label l = sample_label();
    l.ncyl = 65535;
    l.nhead = 65535;
    l.nsect = 65535;
    for (auto& p : l.part)
        p = {INT32_MAX, INT32_MIN, 0, 0};
    auto sector = sunimg::encode_label(l);
    alignas(8) uint8_t buf[8192] = {};
    std::memcpy(buf, sector.data(), 512);
    auto* dl = reinterpret_cast<dk_label*>(buf);
    ASSERT_EQ(label_check(dl), FSE_OK);
    std::string out = capture(dump_label, dl);
    EXPECT_NE(out.find("\t7\tlogical partition\n\t\t2147483647\tstarting cylinder (0x"), std::string::npos);
    // 65535^3 sectors; a negative block count stays negative.
    EXPECT_NE(out.find("\t(This makes a 137432662111 Mb disk)\n"), std::string::npos);
    EXPECT_NE(out.find("\t\t-2147483648\tblocks (-1099511627776 b, -1073741824 Kb, -1048576 Mb)\n"),
              std::string::npos);
}

// ---------------------------------------------------------------------------
// The shell's partition summary is made of the converted label fields.
// ---------------------------------------------------------------------------

TEST(Summary, FiguresComeFromTheLabelFields)
{
    sunimg::Ufs fs = testimg::standard_tree();
    sunimg::DiskOptions o;
    o.geom = {.nhead = 9, .nsect = 17, .rpm = 4400};
    o.label_text = "odd geometry";
    o.acyl = 3;
    sunimg::Disk dk(o);
    dk.add_fs(0, fs, 0);
    dk.add_partition(4, 700, 6000);
    dk.add_partition(5, 0, -4096);
    dk.add_partition(6, 123, 0);     // a start but no blocks: not listed
    dk.add_partition(7, 900, 2047);  // under one Mb
    sunimg::DiskImage img = dk.build();
    TempDir dir;
    std::string p = testimg::write_disk(dir, img);

    Disks disks;
    disk* d = disks.add(disk_open(p.c_str()));
    ASSERT_NE(d, nullptr);
    const dk_label* l = d->label;
    std::string expect = "\todd geometry\n\t" +
                         std::to_string(int32_t(l->dkl_ncyl) * l->dkl_nhead * l->dkl_nsect / 2048) + " Mb\n";
    for (int i = 0; i < NDKMAP; i++)
        if (l->dkl_map[i].dkl_nblk != 0)
            expect += "\t" + std::to_string(i) + "\t" + std::to_string(l->dkl_map[i].dkl_nblk / 2048) + " Mb\n";
    // The label really holds what the builder was asked for.
    EXPECT_EQ(l->dkl_nhead, 9);
    EXPECT_EQ(l->dkl_nsect, 17);
    EXPECT_EQ(l->dkl_rpm, 4400);
    EXPECT_EQ(l->dkl_acyl, 3);
    EXPECT_EQ(l->dkl_pcyl, l->dkl_ncyl + 3);
    EXPECT_EQ(l->dkl_map[4].dkl_cylno, 700);
    EXPECT_EQ(l->dkl_map[5].dkl_nblk, -4096);
    EXPECT_EQ(l->dkl_map[6].dkl_cylno, 123);
    disks.close_all();

    runner::Options ro;
    ro.args = {p};
    runner::Result r = runner::run_sunufs(ro);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, expect);
    EXPECT_NE(expect.find("\t5\t-2 Mb\n"), std::string::npos);
    EXPECT_NE(expect.find("\t7\t0 Mb\n"), std::string::npos);
    EXPECT_EQ(expect.find("\t6\t"), std::string::npos);
}

}  // namespace
