// End-to-end runs of build/sunufs on images made by the image builder:
// exact standard output and standard error, plus the files that cp and the
// pager stand-in leave on the host.
#include "support/bytes.h"
#include "support/runner.h"
#include "support/images.h"
#include "support/session.h"
#include "tools/sunimg.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

using sunimg::Meta;

std::string bytes_of(const std::vector<uint8_t>& v)
{
    return std::string(v.begin(), v.end());
}

// The tree most cases browse.  Inode numbers are given out in creation
// order from 3, which the expected listings rely on.
sunimg::Ufs standard_tree()
{
    sunimg::Ufs fs;
    fs.file("/etc/passwd", "root:x:0:1::/:/bin/sh\n", {.uid = 0, .gid = 1});  // 3, 4
    fs.dir("/empty");                                                        // 5
    fs.file("/data/zero", "");                                               // 6, 7
    fs.file("/data/exact", sunimg::pattern(1024, 2));                        // 8
    fs.file("/data/big", sunimg::pattern(200000, 3));                        // 9: indirect blocks
    fs.file("/dir/a", "alpha\n");                                            // 10, 11
    fs.file("/dir/sub/b", "beta\n");                                         // 12, 13
    fs.file("/dir/sub/deeper/c", "gamma\n");                                 // 14, 15
    fs.symlink("/dir/link", "a");                                            // 16
    fs.file("/dir/z", "zulu\n");                                             // 17
    fs.file("/usr/bin/ls", "ls binary\n");                                   // 18, 19, 20
    fs.file("/a_name_longer_than_twenty_four_chars", "x");                   // 21
    return fs;
}

// Each test gets a scratch folder with its image, host folder and pager.
class Shell : public testimg::SessionTest {
protected:
    void use(const sunimg::DiskImage& img) { img.write(disk); }
    void use(const sunimg::Ufs& tree) { use(sunimg::make_disk(tree)); }

    // The prompt, n times.
    std::string prompts(int n, int part = 0) const
    {
        std::string p;
        for (int i = 0; i < n; i++)
            p += disk + "(" + std::to_string(part) + ") # ";
        return p;
    }

    // A session on partition 0.
    runner::Result session(const std::string& input) { return run({"-p", "0", disk}, input); }

    void pager(const std::string& body) { env[0] = runner::install_fake_less(tmp + "/bin", body)[0]; }
    std::string pager_out() const { return runner::read_file(tmp + "/pager.out"); }

    // Makes host paths first: "d/" a directory, "f=text" a file, "l@target"
    // a symbolic link.
    void prepare_host(const std::vector<std::string>& before) const
    {
        for (const auto& b : before) {
            size_t eq = b.find('='), at = b.find('@');
            if (b.back() == '/')
                fs::create_directory(host + "/" + b);
            else if (at != std::string::npos)
                fs::create_symlink(b.substr(at + 1), host + "/" + b.substr(0, at));
            else
                runner::write_file(host + "/" + b.substr(0, eq), b.substr(eq + 1));
        }
    }

    // Every path under `dir`, relative, with a trailing '/' for directories
    // and " -> target" for symbolic links, in sorted order.
    static std::vector<std::string> tree_of(const std::string& dir)
    {
        std::vector<std::string> out;
        for (auto& e : fs::recursive_directory_iterator(dir)) {
            std::string rel = e.path().lexically_relative(dir).string();
            if (e.is_symlink())
                rel += " -> " + fs::read_symlink(e.path()).string();
            else if (e.is_directory())
                rel += "/";
            out.push_back(rel);
        }
        std::sort(out.begin(), out.end());
        return out;
    }
};

// ---------------------------------------------------------------------------
// Command line, partition summary and mount failures
// ---------------------------------------------------------------------------

struct StartCase {
    const char* name;
    std::vector<std::string> args;  // "IMG" stands for the image path
    std::string err;                // {BIN}: the program path, {USE}: the usage line,
                                    // {SUMMARY}: the partition summary
    int status = 0;
};

const StartCase start_cases[] = {
    {"no arguments", {}, "{USE}", 2},
    {"only options", {"-d"}, "{USE}", 2},
    {"-h", {"-h", "IMG"}, "{USE}"},
    {"-V", {"-V", "IMG"}, "sunufs " SUNUFS_VERSION_TEXT "\n{USE}"},
    {"unknown option", {"-x", "IMG"}, "{BIN}: illegal option -- x\n{USE}", 2},
    {"--help", {"--help"}, "{BIN}: illegal option -- -\n{USE}", 2},
    {"-p without argument", {"-p"}, "{BIN}: option requires an argument -- p\n{USE}", 2},
    {"options after the file are not read", {"IMG", "-p"}, "{SUMMARY}"},
    {"summary", {"IMG"}, "{SUMMARY}"},
    {"missing image", {"-p0", "/nonexistent/disk.img"}, "open disk: No such file or directory\n", 1},
    {"partition out of range", {"-p", "9", "IMG"},
     "{BIN}: invalid partition (9)\nmount fs: Bad partition\n", 1},
    {"partition 1 is empty", {"-p", "b", "IMG"}, "mount fs: Empty partition\n", 1},
    {"partition 2 is refused", {"-pc", "IMG"},
     "mount fs: Bad partition\n\tpartition 2 holds a file system: open it with -o 0\n", 1},
    {"partition 4 is empty", {"-p4", "IMG"}, "mount fs: Empty partition\n", 1},
    {"non-number reads as 0", {"-p", "A", "IMG"}, ""},
    {"-- ends the options", {"--", "-d"}, "open disk: No such file or directory\n", 1},
    {"lone - is the file", {"-"}, "open disk: No such file or directory\n", 1},
};

void replace_all(std::string& s, const std::string& what, const std::string& with)
{
    for (size_t at = 0; (at = s.find(what, at)) != std::string::npos; at += with.size())
        s.replace(at, what.size(), with);
}

TEST_F(Shell, StartupAndOptionErrors)
{
    sunimg::DiskOptions o;
    o.label_text = "standard";
    use(sunimg::make_disk(standard_tree(), 0, o));
    const std::string summary = "\tstandard\n\t1 Mb\n\t0\t1 Mb\n\t2\t1 Mb\n";
    for (const auto& c : start_cases) {
        std::vector<std::string> args;
        for (auto a : c.args)
            args.push_back(a == "IMG" ? disk : a);
        auto r = run(args);
        std::string err = c.err;
        replace_all(err, "{USE}", "Use: {BIN} [-hdbnsV] [-m map] [-p part | -o sector] [-c command | -M dir] file\n");
        replace_all(err, "{BIN}", SUNUFS_BIN);
        replace_all(err, "{SUMMARY}", summary);
        EXPECT_EQ(r.out, err.empty() ? prompts(1) : "") << c.name;
        EXPECT_EQ(r.err, err) << c.name;
        EXPECT_EQ(r.status, c.status) << c.name;
    }
}

TEST_F(Shell, ProgramNameIsTakenAfterTheLastBackslash)
{
    runner::Options o;
    o.argv0 = "a\\b/c\\prog";
    o.args = {"-y"};
    auto r = runner::run_sunufs(o);
    EXPECT_EQ(r.err, "a\\b/c\\prog: illegal option -- y\nUse: prog [-hdbnsV] [-m map] [-p part | -o sector] [-c command | -M dir] file\n");
    o.argv0 = "/usr/local/bin/sunufs";  // '/' does not separate
    o.args = {"-p", "200", "/nonexistent"};
    r = runner::run_sunufs(o);
    EXPECT_EQ(r.err, "/usr/local/bin/sunufs: invalid partition (200)\n"
                     "open disk: No such file or directory\n");
}

TEST_F(Shell, PartitionSummary)
{
    sunimg::DiskOptions o;
    o.geom = {.nhead = 16, .nsect = 32};
    o.label_text = "test disk";
    o.ncyl = 100;
    o.whole_disk = false;
    sunimg::Disk d(o);
    d.add_partition(0, 0, 20480);
    d.add_partition(3, 40, 4095);   // less than 1 Mb rounds down... to 1
    d.add_partition(6, 50, 2047);   // ... and to 0
    d.add_partition(7, 60, -4095);  // truncation toward zero
    sunimg::DiskImage img = d.build();
    use(img);
    const char* expected = "\ttest disk\n\t25 Mb\n\t0\t10 Mb\n\t3\t1 Mb\n\t6\t0 Mb\n\t7\t-1 Mb\n";
    auto r = run({disk});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, expected);
    // -d without -p: the dumps follow a mount, so only the summary shows;
    // -p -1 warns and then selects the summary too.
    EXPECT_EQ(run({"-d", disk}).err, expected);
    EXPECT_EQ(run({"-p", "-1", disk}).err, SUNUFS_BIN + std::string(": invalid partition (-1)\n") + expected);

    // A label text that fills its 128 bytes without a NUL prints 128 bytes.
    // Three 16-bit factors of 65535 wrap in the 32-bit size figure.
    img.label.ncyl = img.label.nhead = img.label.nsect = 65535;
    img.rewrite_label();
    std::string text(128, 'T');
    img.image.put(0, text.data(), text.size());
    img.image.put16be(510, sunimg::label_checksum(img.image.dense().data()));
    use(img);
    EXPECT_EQ(run({disk}).err,
              "\t" + text + "\n\t95 Mb\n\t0\t10 Mb\n\t3\t1 Mb\n\t6\t0 Mb\n\t7\t-1 Mb\n");
}

TEST_F(Shell, DebugFlagDumpsAtStartAndToggles)
{
    use(standard_tree());
    auto r = run({"-dp0", disk}, "debug\ndebug\n");
    EXPECT_EQ(r.out, prompts(3));
    // The dumps themselves belong to the library; here only their place:
    // before anything the commands print.
    EXPECT_NE(r.err.find("rotations per minute"), std::string::npos);
    EXPECT_TRUE(r.err.ends_with("\ndebug off\ndebug on\n")) << r.err;
}

// ---------------------------------------------------------------------------
// The command loop
// ---------------------------------------------------------------------------

struct LoopCase {
    const char* name;
    std::string input;
    int prompts;
    std::string out;  // after the prompts are taken out
    std::string err;
    int status = 0;
};

const std::string DUH = "duh?\ndebug ls bye pwd lcd cd cp more !cmd\n";

const LoopCase loop_cases[] = {
    {"end of input at once", "", 1, "", ""},
    {"bye ends", "bye\npwd\n", 1, "", ""},
    {"blank lines", "\n  \t \n", 3, "", ""},
    {"bang refused, lone bang ignored", "!ls\n!\n! \t\n", 4, "",
     "sorry '!' feature not supported on this system\n"},
    {"unknown words", "LS\nquit now\n", 3, "", DUH + DUH, 1},
    {"debug toggles", "debug\ndebug\n", 3, "", "debug on\ndebug off\n"},
    {"pwd and cd", "pwd\ncd /dir/sub\npwd\ncd deeper/..\npwd\ncd ../..\npwd\ncd /\n", 9, "",
     "/\n/dir/sub\n/dir/sub\n/\n"},
    {"cd errors", "cd\ncd /nothere\ncd /etc/passwd\ncd /etc/passwd/x\n", 5, "",
     "use: cd path\n/nothere: No such file or directory\n/etc/passwd: Not a directory\n"
     "/etc/passwd/x: Not a directory\n", 1},
    {"lcd errors", "lcd\nlcd /nonexistent-dir\n", 3, "",
     "use: lcd path\n/nonexistent-dir: No such file or directory\n", 1},
    {"more without a file", "more\n", 2, "", "use: more file\n", 1},
    {"last line without newline is dropped", "pwd\npwd", 2, "", "/\n"},
    {"line starting with NUL", std::string("\0pwd\n", 5), 2, "", ""},
    // 2046 blanks and "bye": the read stops after 2047 characters, whose
    // last ('b') is cut; "ye" comes as a line of its own.
    {"overlong line is split", std::string(2046, ' ') + "bye\n", 3, "", DUH, 1},
    {"short listing", "ls\ncd /empty\nls\n", 4,
     "         2                        .\n"
     "         2                       ..\n"
     "         3                      etc\n"
     "         5                    empty\n"
     "         6                     data\n"
     "        10                      dir\n"
     "        18                      usr\n"
     "        21 a_name_longer_than_twenty_four_chars\n"
     "         5                        .\n"
     "         2                       ..\n",
     ""},
};

TEST_F(Shell, CommandLoop)
{
    use(standard_tree());
    for (const auto& c : loop_cases) {
        auto r = session(c.input);
        std::string p = prompts(1);
        std::string out = r.out;
        int seen = 0;
        for (size_t at; (at = out.find(p)) != std::string::npos; seen++)
            out.erase(at, p.size());
        EXPECT_EQ(seen, c.prompts) << c.name;
        EXPECT_EQ(out, c.out) << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
        EXPECT_EQ(r.status, c.status) << c.name;
    }
}

TEST_F(Shell, ReadErrorEndsTheSession)
{
    use(standard_tree());
    runner::Options o;
    o.args = {"-p0", disk};
    o.stdin_path = tmp;  // reading a directory fails, and not with end of file
    auto r = runner::run_sunufs(o);
    EXPECT_EQ(r.out, prompts(1));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

TEST_F(Shell, PromptIsFlushedBeforeEachRead)
{
    use(standard_tree());
    // stdout and stderr are separate pipes, so the order between them is
    // lost; within stdout, each prompt must precede the listing it asked for.
    auto r = session("cd /empty\nls\n");
    EXPECT_EQ(r.out, prompts(2) + "         5                        .\n         2                       ..\n"
                         + prompts(1));
}

// ---------------------------------------------------------------------------
// ls -l
// ---------------------------------------------------------------------------

TEST_F(Shell, LongListing)
{
    sunimg::Ufs t;
    uint32_t d = t.dir("/t", {.perm = 0755, .mtime = 0});                                   // 3
    t.add_file(d, "suid", "#!/bin/sh\n", {.perm = 04755, .uid = 0, .gid = 0});              // 4
    t.add_file(d, "plain", std::string(1000, 'p'), {.perm = 0644, .mtime = 2000000000});   // 5
    t.add_symlink(d, "sym", "plain");                                                       // 6
    t.add_chardev(d, "tty", 0x0c01);                                                        // 7
    t.add_blockdev(d, "sd0a", 0x0700);                                                      // 8
    t.add_fifo(d, "fifo", {.perm = 01666});                                                 // 9
    t.add_socket(d, "sock", {.uid = 40000, .gid = 65535});                                  // 10
    uint32_t odd = t.add_file(d, "odd", "?");                                               // 11
    sunimg::DiskImage img = sunimg::make_disk(t);
    img.image.put16be(img.inode_offset(0, odd), 0xE1A4);  // no such type
    use(img);

    auto r = session("cd /t\nls -l\nls whatever\n");
    const std::string listing =
        "d      3 0755  2   100    10     512 Jan  1 00:00 .\n"
        "d      2 0755  3     0     0     512 Mar  7 20:26 ..\n"
        "-      4 4755  1     0     0      10 Mar  7 20:26 suid\n"
        "-      5 0644  1   100    10    1000 May 18 03:33 plain\n"
        "l      6 0777  1   100    10       5 Mar  7 20:26 sym\n"
        "c      7 0666  1   100    10       0 Mar  7 20:26 tty\n"
        "b      8 0666  1   100    10       0 Mar  7 20:26 sd0a\n"
        "p      9 1666  1   100    10       0 Mar  7 20:26 fifo\n"
        "s     10 0666  1 40000 65535       0 Mar  7 20:26 sock\n"   // 0xFFFF, no wider id beside it
        "?     11 0644  1   100    10       1 Mar  7 20:26 odd\n";
    EXPECT_EQ(r.out, prompts(4));
    EXPECT_EQ(r.err, listing + listing);
}

TEST_F(Shell, ListingThatLostABlockSaysSo)
{
    sunimg::Ufs t;
    uint32_t d = t.dir("/many");
    for (int i = 0; i < 400; i++)  // well over one 8192-byte directory block
        t.add_file(d, "file_with_a_long_name_" + std::to_string(i), "");
    sunimg::DiskImage img = sunimg::make_disk(t);
    auto blocks = img.data_blocks(0, d);
    ASSERT_GE(blocks.size(), 2u);
    img.image.put32be(blocks[1].ptr_offset, 0x00100000);  // past the end of the image
    use(img);

    auto r = session("cd /many\nls\n");
    EXPECT_EQ(r.err, "readdir: Seek error\n");   // the device ends before the block
    // Only the first block's entries came.
    size_t lines = std::count(r.out.begin(), r.out.end(), '\n');
    EXPECT_GT(lines, 100u);
    EXPECT_LT(lines, 402u);
}

// ---------------------------------------------------------------------------
// more, through the pager stand-in
// ---------------------------------------------------------------------------

TEST_F(Shell, MoreFeedsThePagerByteForByte)
{
    sunimg::Ufs t = standard_tree();
    use(t);
    struct {
        const char* path;
        std::string content;
    } files[] = {
        {"/etc/passwd", "root:x:0:1::/:/bin/sh\n"},
        {"/data/zero", ""},
        {"/data/exact", bytes_of(sunimg::pattern(1024, 2))},
        {"/data/big", bytes_of(sunimg::pattern(200000, 3))},
    };
    for (const auto& f : files) {
        auto r = session(std::string("more ") + f.path + "\n");
        EXPECT_EQ(r.err, "") << f.path;
        EXPECT_EQ(r.out, prompts(2)) << f.path;
        EXPECT_TRUE(testimg::SameBytes(pager_out(), f.content)) << f.path;
    }
    // A directory opened as a file: its raw blocks.
    sunimg::DiskImage img = sunimg::make_disk(t);
    auto r = session("more /empty\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(testimg::SameBytes(pager_out(), bytes_of(img.image.read(img.data_blocks(0, 5)[0].offset, 512))));

    r = session("more /nothere\npwd\n");
    EXPECT_EQ(r.err, "fs_fopen: No such file or directory\n/nothere: No such file or directory\n/\n");
    EXPECT_EQ(pager_out(), "");  // the pager ran, with nothing to show
}

TEST_F(Shell, MoreSurvivesAPagerThatQuitsEarly)
{
    use(standard_tree());
    pager("head -c 100 > \"$OUT\"\n");
    auto r = session("more /data/big\npwd\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, prompts(3));
    EXPECT_EQ(r.err, "/\n");
    EXPECT_EQ(pager_out(), bytes_of(sunimg::pattern(200000, 3)).substr(0, 100));
}

TEST_F(Shell, MoreSaysWhenThePagerCannotRun)
{
    use(standard_tree());
    pager("exit 127\n");  // what the command interpreter answers for a missing command
    auto r = session("more /etc/passwd\npwd\n");
    EXPECT_EQ(r.err, "more: the pager less could not be run\n/\n");
}

TEST_F(Shell, MoreReportsABlockThatCannotBeRead)
{
    sunimg::Ufs t = standard_tree();
    sunimg::DiskImage img = sunimg::make_disk(t);
    auto blocks = img.data_blocks(0, 9);  // /data/big
    img.image.put32be(blocks.back().ptr_offset, 0x00100000);
    use(img);
    auto r = session("more /data/big\n");
    EXPECT_EQ(r.err, "fs_fread: Seek error\n");   // the device ends before the block
    std::string all = bytes_of(sunimg::pattern(200000, 3));
    size_t last = blocks.back().lbn * 8192;
    EXPECT_TRUE(testimg::SameBytes(pager_out(), all.substr(0, last)));
}

// ---------------------------------------------------------------------------
// cp
// ---------------------------------------------------------------------------

const std::string CP_USE = "Use: cp [-rpv] fs-file unix-file\n";

// The line that ends every tree copy.
std::string summary(int files, int bytes, int dirs, int links, int not_copied, int failed)
{
    return testimg::copy_summary(files, bytes, dirs, links, not_copied, failed);
}

struct CpCase {
    const char* name;
    std::vector<std::string> before;  // host paths made first: "d/" a directory, "f=text" a file
    std::string input;
    std::string err;
    std::vector<std::string> after;   // tree_of(host) afterwards
    int status = 1;                   // of the session
};

const CpCase cp_cases[] = {
    {"no operands", {}, "cp\n", "1:1\n" + CP_USE, {}},
    {"one operand", {}, "cp a\n", "1:2\n" + CP_USE, {}},
    {"three operands", {}, "cp a b c\n", "1:4\n" + CP_USE, {}},
    {"option after operands", {}, "cp a b -r\n", "1:4\n" + CP_USE, {}},
    {"bad option", {}, "cp -rx a b\n", "cp: illegal option -- x\n" + CP_USE, {}},
    {"file", {}, "cp /etc/passwd pw\n", "", {"pw"}, 0},
    {"file, verbose", {"d/"}, "cp -v /dir/a d/a\n", "copy_file /dir/a d/a\n", {"d/", "d/a"}, 0},
    {"file into a host directory", {"d/"}, "cp -v /etc/passwd d\n", "copy_file /etc/passwd passwd\n",
     {"d/", "d/passwd"}, 0},
    {"file into a host directory, through no link", {"d/", "elsewhere/", "d/passwd@../elsewhere/x"},
     "cp /etc/passwd d\n", "fopen: Too many levels of symbolic links\n/etc/passwd: failed\n"
     "cp: Too many levels of symbolic links\n", {"d/", "d/passwd -> ../elsewhere/x", "elsewhere/"}},
    {"file to /dev/full", {}, "cp /etc/passwd /dev/full\n",
     "/dev/full: No space left on device\n/etc/passwd: failed\ncp: No space left on device\n", {}},
    {"directory without -r: raw blocks", {}, "cp /empty raw\n", "", {"raw"}, 0},
    {"tree, verbose", {"out/"}, "cp -rv dir out\n",
     "copy_dir dir .\ncopy_file a a\ncopy_dir sub .\ncopy_file b b\ncopy_dir deeper .\n"
     "copy_file c c\ncopy_file z z\n" + summary(4, 22, 3, 1, 0, 0),
     {"out/", "out/dir/", "out/dir/a", "out/dir/link -> a", "out/dir/sub/", "out/dir/sub/b",
      "out/dir/sub/deeper/", "out/dir/sub/deeper/c", "out/dir/z"}, 0},
    {"tree from the working directory", {"out/"}, "cd /dir\ncp -rvp sub out\n",
     "copy_dir sub .\ncopy_file b b\ncopy_dir deeper .\ncopy_file c c\n" + summary(2, 11, 2, 0, 0, 0),
     {"out/", "out/sub/", "out/sub/b", "out/sub/deeper/", "out/sub/deeper/c"}, 0},
    {"tree lands by its last name", {"out/"}, "cp -r /usr/bin/ out\n", summary(1, 10, 1, 0, 0, 0),
     {"out/", "out/bin/", "out/bin/ls"}, 0},
    {"root lands straight in the target", {"out/"}, "cd /dir/sub\ncp -rv / out\n",
     "copy_dir / .\ncopy_dir etc .\ncopy_file passwd passwd\ncopy_dir empty .\n"
     "copy_dir data .\ncopy_file zero zero\ncopy_file exact exact\ncopy_file big big\n"
     "copy_dir dir .\ncopy_file a a\ncopy_dir sub .\ncopy_file b b\ncopy_dir deeper .\n"
     "copy_file c c\ncopy_file z z\ncopy_dir usr .\ncopy_dir bin .\n"
     "copy_file ls ls\ncopy_file a_name_longer_than_twenty_four_chars "
     "a_name_longer_than_twenty_four_chars\n" + summary(10, 201079, 9, 1, 0, 0),
     {"out/", "out/a_name_longer_than_twenty_four_chars", "out/data/", "out/data/big",
      "out/data/exact", "out/data/zero", "out/dir/", "out/dir/a", "out/dir/link -> a", "out/dir/sub/",
      "out/dir/sub/b", "out/dir/sub/deeper/", "out/dir/sub/deeper/c", "out/dir/z",
      "out/empty/", "out/etc/", "out/etc/passwd", "out/usr/", "out/usr/bin/", "out/usr/bin/ls"}, 0},
    {"dot-dot never climbs above the target", {"top/", "top/out/"},
     "cd /dir/sub/deeper\ncp -r .. top/out\ncd ..\ncp -r deeper/.. top/out\n",
     summary(2, 11, 2, 0, 0, 0) + summary(2, 11, 2, 0, 0, 0),
     {"top/", "top/out/", "top/out/b", "top/out/deeper/", "top/out/deeper/c"}, 0},
    {"merge into an existing host directory", {"out/", "out/dir/", "out/dir/a=old", "out/dir/mine=m"},
     "cp -r /dir out\n", summary(4, 22, 3, 1, 0, 0),
     {"out/", "out/dir/", "out/dir/a", "out/dir/link -> a", "out/dir/mine", "out/dir/sub/", "out/dir/sub/b",
      "out/dir/sub/deeper/", "out/dir/sub/deeper/c", "out/dir/z"}, 0},
    {"tree, target missing", {}, "cp -r /dir nothere\n",
     "/dir: directory, target nothere does not exist\ncp: No such file or directory\n", {}},
    {"tree, target a file", {"f=x"}, "lcd /nonexistent\ncp -r /dir f\n",
     "/nonexistent: No such file or directory\n/dir: directory, target f not directory\n",
     {"f"}},
    {"tree, target a file with a trailing slash", {"f=x"}, "cp -r /dir f/\n",
     "/dir: directory, target f/ does not exist\ncp: Not a directory\n", {"f"}},
    {"-r file into a directory", {"out/"}, "cp -rv /etc/passwd out\n",
     "copy_file /etc/passwd passwd\n-r makes no sense here\n", {"out/", "out/passwd"}, 0},
    {"-r file, target missing", {}, "cp -r /etc/passwd nothere\n", "-r makes no sense here\n", {}},
    {"-r file onto a host file", {"t=x"}, "cp -r /etc/passwd t\n", "target t exists\n", {"t"}},
    {"source missing keeps the host file", {"pw=keep"}, "lcd /nonexistent\ncp /nothere pw\n",
     "/nonexistent: No such file or directory\n/nothere: No such file or directory\n",
     {"pw"}},
    {"host directory in the way is a file", {"out/", "out/dir/", "out/dir/sub=file"},
     "cp -r /dir out\n", "sub: Not a directory\n/dir/sub: failed\n" + summary(2, 11, 1, 1, 0, 1),
     {"out/", "out/dir/", "out/dir/a", "out/dir/link -> a", "out/dir/sub", "out/dir/z"}},
    {"host symbolic links are not followed", {"out/", "out/dir/", "elsewhere/", "out/dir/sub@../../elsewhere",
                                              "out/dir/a@../../elsewhere/a"},
     "cp -r /dir out\n",
     "fopen: Too many levels of symbolic links\n/dir/a: failed\nsub: Not a directory\n/dir/sub: failed\n"
         + summary(1, 5, 1, 1, 0, 2),
     {"elsewhere/", "out/", "out/dir/", "out/dir/a -> ../../elsewhere/a", "out/dir/link -> a",
      "out/dir/sub -> ../../elsewhere", "out/dir/z"}},
    {"host working directory comes back", {"out/"}, "cp -r /usr out\ncp /etc/passwd here\n",
     summary(1, 10, 2, 0, 0, 0),
     {"here", "out/", "out/usr/", "out/usr/bin/", "out/usr/bin/ls"}, 0},
};

TEST_F(Shell, Copy)
{
    use(standard_tree());
    for (const auto& c : cp_cases) {
        runner::remove_tree(host);
        fs::create_directory(host);
        prepare_host(c.before);
        auto r = session(c.input);
        EXPECT_EQ(r.err, c.err) << c.name;
        EXPECT_EQ(r.status, c.status) << c.name;
        std::vector<std::string> after = c.after;
        for (const auto& b : c.before) {  // made first, still there
            if (b.find('@') == std::string::npos && b.find('=') == std::string::npos) {
                EXPECT_TRUE(std::find(after.begin(), after.end(), b) != after.end()) << c.name;
            }
        }
        std::sort(after.begin(), after.end());
        EXPECT_EQ(tree_of(host), after) << c.name;
    }
}

TEST_F(Shell, CopiedFilesMatchTheirSources)
{
    sunimg::Ufs t = standard_tree();
    use(t);
    fs::create_directory(host + "/out");
    runner::write_file(host + "/pw", "a longer text that the copy must replace entirely\n");
    auto r = session("cp -r /data out\ncp /etc/passwd pw\ncp /empty raw\n");
    ASSERT_EQ(r.err, summary(3, 201024, 1, 0, 0, 0));
    EXPECT_TRUE(testimg::SameBytes(runner::read_file(host + "/out/data/big"), bytes_of(sunimg::pattern(200000, 3))));
    EXPECT_TRUE(testimg::SameBytes(runner::read_file(host + "/out/data/exact"), bytes_of(sunimg::pattern(1024, 2))));
    EXPECT_EQ(runner::read_file(host + "/out/data/zero"), "");
    EXPECT_EQ(runner::read_file(host + "/pw"), "root:x:0:1::/:/bin/sh\n");
    sunimg::DiskImage img = sunimg::make_disk(t);
    EXPECT_TRUE(testimg::SameBytes(runner::read_file(host + "/raw"), bytes_of(img.image.read(img.data_blocks(0, 5)[0].offset, 512))));
}

TEST_F(Shell, SourceThatCannotBeOpenedLeavesTheHostFileAlone)
{
    sunimg::Ufs t = standard_tree();
    sunimg::DiskImage img = sunimg::make_disk(t);
    img.image.put32be(img.inode_offset(0, 4) + sunimg::ino_off::size_hi, 0x80000000);  // negative
    use(img);
    runner::write_file(host + "/pw", "keep");
    fs::create_directory(host + "/out");
    auto r = session("cp /etc/passwd pw\ncp -r /etc out\n");
    EXPECT_EQ(r.err, "fs_fopen: File too large\n/etc/passwd: failed\nfs_fopen: File too large\n/etc/passwd: failed\n"
                         + summary(0, 0, 1, 0, 0, 1));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(runner::read_file(host + "/pw"), "keep");
    EXPECT_EQ(tree_of(host), (std::vector<std::string>{"out/", "out/etc/", "pw"}));
}

// Files that do not come out whole are named, counted, and fail the
// command; the session goes on.
struct FailCase {
    const char* name;
    std::string shell;  // "" or a limit set before the program starts
    bool cut;           // the image ends inside /data/big
    std::string err;
};

TEST_F(Shell, CopyFailuresAreNamed)
{
    sunimg::Ufs t = standard_tree();
    sunimg::DiskImage img = sunimg::make_disk(t);
    auto blocks = img.data_blocks(0, 9);  // /data/big
    ASSERT_GT(blocks.size(), 5u);
    const std::string kept = std::to_string(blocks[5].lbn * 8192);
    const std::string tail = "copied 2 files (1024 bytes), 1 directory, 0 links; 0 not copied; 1 failed\n/\n";
    const FailCase cases[] = {
        {"image cut inside a file", "", true,
         "fs_fread: Read error\n/data/big: incomplete, " + kept + " of 200000 bytes; lost " + kept + "-200000\n"
             + tail},
        {"host file size limit", "ulimit -f 100; ", false, "big: File too large\n/data/big: failed\n" + tail},
    };
    for (const auto& c : cases) {
        use(img);
        if (c.cut) {
            ASSERT_EQ(truncate(disk.c_str(), off_t(blocks[5].offset)), 0);
        }
        runner::remove_tree(host);
        fs::create_directories(host + "/out");
        runner::Options o;
        o.args = {"-c", c.shell + "exec \"$0\" -p0 \"$1\"", SUNUFS_BIN, disk};
        o.input = "cp -r /data out\npwd\n";
        o.cwd = host;
        auto r = runner::run("/bin/sh", o);
        EXPECT_EQ(r.err, c.err) << c.name;
        EXPECT_EQ(r.status, 1) << c.name;
        // What was read lies in its place; the lost rest reads as zeros.
        std::string big = runner::read_file(host + "/out/data/big");
        std::string want = bytes_of(sunimg::pattern(200000, 3)).substr(0, big.size());
        if (c.cut) {
            want.replace(std::stoul(kept), std::string::npos, 200000 - std::stoul(kept), '\0');
            EXPECT_EQ(big.size(), 200000u);
        }
        EXPECT_TRUE(big == want) << c.name;
    }
}

// Names in a directory come from the image and are not to be trusted as
// host names: patched in after building, so the builder's own checks pass.
TEST_F(Shell, CraftedNamesAreNeverUsedOnTheHost)
{
    sunimg::Ufs t;
    uint32_t evil = t.dir("/evil");
    t.add_file(evil, "ok", "fine\n");
    t.add_file(evil, "aQb", "slash\n");
    t.add_file(evil, "QQ", "dotdot file\n");
    t.add_file(evil, "Q", "dot file\n");
    t.add_file(evil, "E", "empty name\n");
    uint32_t up = t.mkdir(evil, "UU");
    t.add_file(up, "escaped", "x\n");
    uint32_t deep = t.mkdir(evil, "QQQQQQQQQQQQQQescape");
    t.add_file(deep, "escaped", "x\n");
    sunimg::DiskImage img = sunimg::make_disk(t);
    auto rename = [&](const char* from, const char* to) {
        uint64_t at = img.dirent_offset(0, evil, from) + sunimg::dir_off::name;
        img.image.put(at, to, strlen(to) + 1);
    };
    rename("aQb", "a/b");
    rename("QQ", "..");
    rename("Q", ".");
    rename("E", "");
    rename("UU", "..");                                // a second "..", naming another directory
    rename("QQQQQQQQQQQQQQescape", "../../../escape");
    use(img);
    fs::create_directory(host + "/top");
    fs::create_directory(host + "/top/out");

    auto r = session("cp -r evil top/out\n");
    EXPECT_EQ(r.err, "/evil/a/b not copied\n/evil/.. not copied\n/evil/. not copied\n"
                     "/evil/ not copied\n/evil/.. not copied\n/evil/../../../escape not copied\n"
                     + summary(1, 5, 1, 0, 6, 0));
    EXPECT_EQ(r.status, 0);  // entries not copied alone do not fail the command
    EXPECT_EQ(tree_of(host), (std::vector<std::string>{"top/", "top/out/", "top/out/evil/",
                                                       "top/out/evil/ok"}));
}

// Damaged and crafted images: whatever a directory holds, nothing is written
// over the disk or over what this copy made already, nothing is lost
// without its line, and the summary and exit status say what the host got.
struct DamageCase {
    const char* name;
    sunimg::DiskImage (*image)();
    std::vector<std::string> before;  // as in the cp table
    std::string input;
    std::string err;                  // {LONG}: the long name of "long names"
    std::vector<std::string> after;
    int status = 1;
    bool disk_in_host = false;        // the image is host/self.img
    std::string out{};                // found in standard output
};

// Renames entry `from` of directory `dir` in place (same length or shorter).
void rename_entry(sunimg::DiskImage& img, uint32_t dir, const std::string& from, const std::string& to)
{
    uint64_t at = img.dirent_offset(0, dir, from);
    img.image.put(at + sunimg::dir_off::name, to.c_str(), to.size() + 1);
    img.image.put16be(at + sunimg::dir_off::namlen, uint16_t(to.size()));
}

const std::string LONG_NAME = std::string(255, 'L') + "-and-more";

sunimg::DiskImage damaged_standard(void (*edit)(sunimg::Ufs&, std::vector<uint32_t>&),
                                   void (*patch)(sunimg::DiskImage&, const std::vector<uint32_t>&))
{
    sunimg::Ufs t = standard_tree();
    std::vector<uint32_t> inos;
    edit(t, inos);
    sunimg::DiskImage img = sunimg::make_disk(t);
    if (patch)
        patch(img, inos);
    return img;
}

const DamageCase damage_cases[] = {
    {"the disk itself is never written", [] {
         sunimg::Ufs t;
         t.file("/self.img", "not the image\n");
         return sunimg::make_disk(t);
     },
     {}, "cp -r / .\ncp /self.img self.img\ncp /self.img .\ntar -cf self.img /\nbody ./self.img\n",
     "./self.img: is the disk being read, not written\n/self.img: failed\n" + summary(0, 0, 1, 0, 0, 1)
         + "self.img: is the disk being read, not written\n/self.img: failed\n"
         + "./self.img: is the disk being read, not written\n/self.img: failed\n"
         + "tar: self.img: is the disk being read, not written\nbody: ./self.img: is the disk being read, not written\n",
     {"self.img"}, 1, true},
    {"duplicate names", [] {
         return damaged_standard(
             [](sunimg::Ufs& t, std::vector<uint32_t>& v) {
                 v.push_back(t.dir("/dup"));
                 t.file("/dup/a", "first\n");
                 t.file("/dup/b", "second\n");
                 t.file("/dup/d/f", "in d\n");
                 t.file("/dup/e/g", "in e\n");
                 t.symlink("/dup/l", "a");
                 t.symlink("/dup/m", "b");
             },
             [](sunimg::DiskImage& img, const std::vector<uint32_t>& v) {
                 rename_entry(img, v[0], "b", "a");
                 rename_entry(img, v[0], "e", "d");
                 rename_entry(img, v[0], "m", "l");
             });
     },
     {"out/"}, "cp -r /dup out\n",
     "/dup/a: duplicate name, not written\n/dup/d: duplicate name, not written\n"
     "/dup/l: duplicate name, not written\n" + summary(2, 11, 2, 1, 0, 3),
     {"out/", "out/dup/", "out/dup/a", "out/dup/d/", "out/dup/d/f", "out/dup/l -> a"}},
    {"duplicate names merged into an earlier copy", [] {
         return damaged_standard(
             [](sunimg::Ufs& t, std::vector<uint32_t>& v) {
                 v.push_back(t.root());
                 t.file("/a", "first\n");
                 t.file("/b", "second\n");
             },
             [](sunimg::DiskImage& img, const std::vector<uint32_t>& v) { rename_entry(img, v[0], "b", "a"); });
     },
     {"out/", "out/a=old"}, "cp -r /etc out\ncp -r / out\n",
     summary(1, 22, 1, 0, 0, 0) + "/a: duplicate name, not written\n" + summary(11, 201085, 9, 1, 0, 1),
     {"out/", "out/a", "out/a_name_longer_than_twenty_four_chars", "out/data/", "out/data/big", "out/data/exact",
      "out/data/zero", "out/dir/", "out/dir/a", "out/dir/link -> a", "out/dir/sub/", "out/dir/sub/b",
      "out/dir/sub/deeper/", "out/dir/sub/deeper/c", "out/dir/z", "out/empty/", "out/etc/", "out/etc/passwd",
      "out/usr/", "out/usr/bin/", "out/usr/bin/ls"}},
    {"long names are refused, never shortened", [] {
         return damaged_standard(
             [](sunimg::Ufs& t, std::vector<uint32_t>& v) {
                 v.push_back(t.dir("/long"));
                 t.file("/long/n", "x");
             },
             [](sunimg::DiskImage& img, const std::vector<uint32_t>& v) {
                 // The last record of the chunk has room for a name this long.
                 rename_entry(img, v[0], "n", LONG_NAME);
             });
     },
     {"out/"}, "cp -r /long out\n", "/long/{LONG} not copied\n" + summary(0, 0, 1, 0, 1, 0),
     {"out/", "out/long/"}, 0},
    {"a '.' or '..' naming another directory", [] {
         return damaged_standard(
             [](sunimg::Ufs& t, std::vector<uint32_t>& v) {
                 v.push_back(t.dir("/p"));
                 t.file("/p/q/hidden", "x");
                 t.file("/p/r/hidden", "y");
             },
             [](sunimg::DiskImage& img, const std::vector<uint32_t>& v) {
                 rename_entry(img, v[0], "q", ".");
                 rename_entry(img, v[0], "r", "..");
             });
     },
     {"out/"}, "cp -r /p out\n", "/p/. not copied\n/p/.. not copied\n" + summary(0, 0, 1, 0, 2, 0),
     {"out/", "out/p/"}, 0},
    {"a single link is made again, a device is refused", [] {
         return damaged_standard([](sunimg::Ufs& t, std::vector<uint32_t>&) { t.add_fifo(t.dir("/dev"), "pipe"); },
                                 nullptr);
     },
     {"d/"}, "cp /dir/link l\ncp /dir/link d\ncp /dev/pipe p\ncp /dev/pipe d\n",
     "/dev/pipe not copied\n/dev/pipe not copied\n", {"d/", "d/link -> a", "l -> a"}},
    {"a directory is copied once its host directory is made", [] {
         return damaged_standard([](sunimg::Ufs& t, std::vector<uint32_t>&) {
             t.link(t.lookup("/dir"), "sub2", t.lookup("/dir/sub"));
         }, nullptr);
     },
     {"out/", "out/dir/", "out/dir/sub=file"}, "cp -r /dir out\n",
     "sub: Not a directory\n/dir/sub: failed\n" + summary(4, 22, 3, 1, 0, 1),
     {"out/", "out/dir/", "out/dir/a", "out/dir/link -> a", "out/dir/sub", "out/dir/sub2/", "out/dir/sub2/b",
      "out/dir/sub2/deeper/", "out/dir/sub2/deeper/c", "out/dir/z"}},
    {"sizes claimed past what the image holds", [] {
         return damaged_standard(
             [](sunimg::Ufs& t, std::vector<uint32_t>&) {
                 uint32_t sp = t.dir("/sp");
                 t.add_sparse(sp, "huge", uint64_t{1} << 40, {});
                 t.node(t.add_symlink(sp, "link", "target")).raw_size = 5000;
             },
             nullptr);
     },
     {"out/"}, "cp -r /sp out\n",
     "/sp/link not copied\ncopied 1 file (1099511627776 bytes), 1 directory, 0 links; 1 not copied; 0 failed\n",
     {"out/", "out/sp/", "out/sp/huge"}, 0},
    {"files whose directory is lost, and one deleted", [] {
         sunimg::Ufs t = standard_tree();
         uint32_t gone = t.file("/gone", "deleted\n");   // 22: its mode is left, its links are not
         sunimg::DiskImage img = sunimg::make_disk(t);
         img.image.put32be(img.inode_offset(0, t.lookup("/dir")) + sunimg::ino_off::db, 0);
         img.image.put16be(img.inode_offset(0, gone) + sunimg::ino_off::nlink, 0);
         img.image.put32be(img.dirent_offset(0, t.root(), "gone") + sunimg::dir_off::ino, 0);
         return img;
     },
     {"out/"}, "lost\nlost out\nstat <22>\n",
     "-     11 0644  1   100    10       6 Mar  7 20:26 <11>\n"
     "d     12 0755  3   100    10     512 Mar  7 20:26 <12>\n"
     "l     16 0777  1   100    10       1 Mar  7 20:26 <16>\n"
     "-     17 0644  1   100    10       5 Mar  7 20:26 <17>\n"
     "4 lost: 2 files, 1 directory, 1 other\n" + summary(4, 22, 2, 1, 0, 0)
         + "<22>: No such file or directory\n",
     {"out/", "out/inode-11", "out/inode-12/", "out/inode-12/b", "out/inode-12/deeper/", "out/inode-12/deeper/c",
      "out/inode-16 -> a", "out/inode-17"}},
    {"inodes named by number", [] { return sunimg::make_disk(standard_tree()); },
     {"out/"}, "cd <12>\npwd\ncd deeper\npwd\ncd ..\ncd ..\npwd\nls\ncp <11> f\ncp -r <12> out\nstat <99999>\n"
     "cp <12>/../b g\ncd <12>/deeper\ncp ../../deeper/c h\n",
     "<12>\n<12>/deeper\n<12>\n" + summary(2, 11, 2, 0, 0, 0) + "<99999>: No such file or directory\n",
     {"f", "g", "h", "out/", "out/inode-12/", "out/inode-12/b", "out/inode-12/deeper/", "out/inode-12/deeper/c"}, 1, false,
     "13                        b\n"},
    {"a copy of nothing fails", [] { return sunimg::make_disk(standard_tree()); },
     {"out/"}, "cd /dir\ncp .. out\n", ".. not copied\n", {"out/"}},
};

TEST_F(Shell, DamagedImagesLoseNothingUnnamed)
{
    for (const auto& c : damage_cases) {
        runner::remove_tree(host);
        fs::create_directory(host);
        prepare_host(c.before);
        std::string image = c.disk_in_host ? host + "/self.img" : disk;
        c.image().write(image);
        std::string before = runner::read_file(image);
        auto r = run({"-p", "0", image}, c.input);
        std::string err = c.err;
        replace_all(err, "{LONG}", LONG_NAME);
        EXPECT_EQ(r.err, err) << c.name;
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(tree_of(host), c.after) << c.name;
        EXPECT_TRUE(runner::read_file(image) == before) << c.name << ": the image changed";
        EXPECT_NE(r.out.find(c.out), std::string::npos) << c.name << r.out;
    }
}

// With -p, a source with no name of its own fills the target, which keeps
// its own mode, owner and times.
TEST_F(Shell, CopyOfTheRootLeavesTheTargetsAttributesAlone)
{
    const sunimg::Ufs tree = standard_tree();
    use(tree);
    fs::create_directory(host + "/out");
    ASSERT_EQ(chmod((host + "/out").c_str(), 01777), 0);
    struct stat before {};
    ASSERT_EQ(stat((host + "/out").c_str(), &before), 0);
    auto r = session("cp -rp / out\n");
    EXPECT_EQ(r.status, 0) << r.err;
    struct stat after {};
    ASSERT_EQ(stat((host + "/out").c_str(), &after), 0);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_uid, before.st_uid);
    // The copy itself moves the host's clock on the target; the image's
    // times never reach it.
    EXPECT_NE(after.st_mtim.tv_sec, tree.node(tree.root()).mtime);
    EXPECT_NE(after.st_atim.tv_sec, tree.node(tree.root()).atime);
}

// The map of a rescued image: its areas that are not finished are never
// read as data, and a map that cannot be parsed ends the run before the
// disk is used.  Every command that reads a file names its loss alike.
TEST_F(Shell, RescueMapMarksUnreadableAreas)
{
    sunimg::DiskImage img = sunimg::make_disk(standard_tree());
    use(img);
    const auto big = img.data_blocks(0, 9);  // /data/big: 25 blocks, all but the last whole
    auto hex = [](uint64_t v) {
        char b[24];
        std::snprintf(b, sizeof b, "0x%llx", (unsigned long long)v);
        return std::string(b);
    };
    // A map of finished areas around the unreadable `areas` (pos, size, status).
    auto map_of = [&](const std::vector<std::tuple<uint64_t, uint64_t, char>>& areas) {
        std::string m = "# a map\n0x0 +\n";
        uint64_t at = 0;
        for (auto [pos, size, status] : areas) {
            if (pos > at)
                m += hex(at) + " " + hex(pos - at) + " +\n";
            m += hex(pos) + " " + hex(size) + " " + status + "\n";
            at = pos + size;
        }
        return m + hex(at) + " 0x100000000 +\n";
    };
    auto range = [](int64_t from, int64_t to) { return std::to_string(from) + "-" + std::to_string(to); };
    const uint64_t b3 = big[3].offset;
    const int64_t lost3 = big[3].lbn * 8192;
    const std::string sector_line = "/data/big: incomplete, 191808 of 200000 bytes; lost " +
                                    range(lost3, lost3 + 8192) + "\n";
    // A lost sector costs that sector alone.
    auto sectors_line = [&](int n) {
        return "/data/big: incomplete, " + std::to_string(200000 - 512 * n) + " of 200000 bytes; lost " +
               range(lost3, lost3 + 512 * n) + "\n";
    };
    // Nine lost runs, the eighth two blocks long: blocks 1 3 5 7 9 11 13 15-16 18.
    std::vector<std::tuple<uint64_t, uint64_t, char>> nine;
    std::string nine_text;
    unsigned nine_areas = 0;
    for (int b : {1, 3, 5, 7, 9, 11, 13, 15, 16, 18}) {
        nine_areas += nine.empty() || std::get<0>(nine.back()) + 8192 != big[b].offset;
        nine.emplace_back(big[b].offset, 8192, '-');
        if (b != 16 && b != 18)
            nine_text += (nine_text.empty() ? "" : ", ") + range(b * 8192, (b == 15 ? 17 : b + 1) * 8192);
    }
    const std::string archived = "archived 0 files (0 bytes), 0 directories, 0 links, 0 devices; "
                                 "0 not archived; 1 failed\n";
    // The first inode block, from the root's inode on, cannot be read.
    const uint64_t inodes = img.inode_offset(0, 2) & ~uint64_t{511};
    const std::string inode_map = map_of({{inodes, 512, '-'}});
    struct MapCase {
        const char* name;
        std::string map;    // "" : no map file at all
        std::string err;
        int status;
        std::string command = "cp /data/big out\n";
        std::string out{};  // found in standard output
        bool missing = false;   // no map file at all
    } const cases[] = {
        {"a lost sector inside a file", map_of({{b3, 0x200, '-'}}),
         "map: 512 bytes in 1 area unreadable\nfs_fread: Read error\n" + sectors_line(1), 1},
        {"an area of exactly one block ends where the next block starts", map_of({{b3, 8192, '-'}}),
         "map: 8192 bytes in 1 area unreadable\nfs_fread: Read error\n" + sector_line, 1},
        {"status *", map_of({{b3, 8192, '*'}}),
         "map: 8192 bytes in 1 area unreadable\nfs_fread: Read error\n" + sector_line, 1},
        {"status /", map_of({{b3, 8192, '/'}}),
         "map: 8192 bytes in 1 area unreadable\nfs_fread: Read error\n" + sector_line, 1},
        {"status ?", map_of({{b3, 8192, '?'}}),
         "map: 8192 bytes in 1 area unreadable\nfs_fread: Read error\n" + sector_line, 1},
        {"touching areas of other statuses are one area", map_of({{b3, 0x200, '-'}, {b3 + 0x200, 0x200, '*'}}),
         "map: 1024 bytes in 1 area unreadable\nfs_fread: Read error\n"
         + sectors_line(2), 1},
        {"nine lost runs", map_of(nine),
         "map: 81920 bytes in " + std::to_string(nine_areas) + " areas unreadable\nfs_fread: Read error\n"
         "/data/big: incomplete, 118080 of 200000 bytes; lost " + nine_text + " and 1 more\n", 1},
        {"tar names the loss as cp does", map_of({{b3, 0x200, '-'}}),
         "map: 512 bytes in 1 area unreadable\nfs_fread: Read error\n" + sectors_line(1) + archived, 1,
         "tar -cf out.tar /data/big\n"},
        {"body -5 gives no sum for a file with a loss", map_of({{b3, 0x200, '-'}}),
         "map: 512 bytes in 1 area unreadable\nfs_fread: Read error\n" + sectors_line(1), 1,
         "body -5 - /data/big\n", "# 0|/data/big|9|"},
        {"every area finished", "0 +\n0 0x100000000 +\n", "map: 0 bytes in 0 areas unreadable\n", 0},
        {"bytes past the last line never tried", "0 +\n0 100000 +\n",
         "map: " + std::to_string(std::filesystem::file_size(disk) - 100000) +
             " bytes in 1 area unreadable\n/data/big: No such file or directory\n", 1},
        {"a gap between lines never tried", "0x0 +\n0x0 " + hex(b3) + " +\n" + hex(b3 + 512) + " 0x100000000 +\n",
         "map: 512 bytes in 1 area unreadable\nfs_fread: Read error\n" + sectors_line(1), 1},
        {"bad number", "0x0 +\n0x0 12z +\n", "map: {MAP}: line 2: not a number\n", 1},
        {"bad status", "# c\n\n0x0 +\n0x0 0x10 X\n", "map: {MAP}: line 4: unknown status\n", 1},
        {"overlapping areas", "0 +\n0 100 +\n50 10 -\n", "map: {MAP}: line 3: areas out of order or overlapping\n", 1},
        {"an area past 2^64", "0 +\n0 0x100 +\n0x100 0xffffffffffffff00 -\n0 1 +\n",
         "map: {MAP}: line 3: areas out of order or overlapping\n", 1},
        {"no status line", "# only comments\n", "map: {MAP}: no status line\n", 1},
        {"empty map", "", "map: {MAP}: no status line\n", 1},
        {"a NUL byte", std::string("0 +\n0 1\0 +\n", 11), "map: {MAP}: line 2: NUL byte\n", 1},
        {"two prefixes", "0 +\n0x0x10 1 +\n", "map: {MAP}: line 2: not a number\n", 1},
        {"a leading 0 is octal", "0 +\n0 020000 +\n8192 0x100000000 +\n", "map: 0 bytes in 0 areas unreadable\n", 0},
        {"no octal 8", "0 +\n08 1 +\n", "map: {MAP}: line 2: not a number\n", 1},
        {"missing map", "", "map: {MAP}: No such file or directory\n", 1, "cp /data/big out\n", "", true},
        {"inodes that cannot be read are named", inode_map,
         // One sector holds four inodes: the root's sector fails alone, and
         // what the root named is found again as lost.
         "map: 512 bytes in 1 area unreadable\n"
         "-      4 0644  1     0     1      22 Mar  7 20:26 <4>\n"
         "d      5 0755  2   100    10     512 Mar  7 20:26 <5>\n"
         "d      6 0755  2   100    10     512 Mar  7 20:26 <6>\n"
         "d     10 0755  3   100    10     512 Mar  7 20:26 <10>\n"
         "d     18 0755  3   100    10     512 Mar  7 20:26 <18>\n"
         "-     21 0644  1   100    10       1 Mar  7 20:26 <21>\n"
         "inodes 2-3 unreadable\n6 lost: 2 files, 4 directories, 0 others\n",
         1, "lost\n"},
    };
    const std::string map = tmp + "/disk.map";
    for (const auto& c : cases) {
        std::remove(map.c_str());
        if (!c.missing)
            runner::write_file(map, c.map);
        runner::remove_tree(host + "/out");
        auto r = run({"-m", map, "-p", "0", disk}, c.command);
        std::string err = c.err;
        replace_all(err, "{MAP}", map);
        EXPECT_EQ(r.err, err) << c.name;
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_NE(r.out.find(c.out), std::string::npos) << c.name << r.out;
    }
}

// stat: the host device the disk lies on, a link's target, and the device
// label of di_db[0] only where the inode is a device.
TEST_F(Shell, StatShowsTheHostDeviceAndALinksTarget)
{
    sunimg::Ufs t = standard_tree();
    t.add_chardev(t.dir("/dev"), "tty", (12 << 8) | 34);
    use(t);
    const std::string resides = "Resides on device:" + testimg::host_device(disk) + "\n";
    struct StatCase {
        const char* path;
        std::vector<std::string> has, lacks;
    } const cases[] = {
        {"/dir/link", {resides, "Symbolic link to: a\n"}, {"di_rdev"}},
        {"/etc/passwd", {resides}, {"di_rdev", "Symbolic link"}},
        {"/dev/tty", {resides, "\t\tic_db[0]=di_rdev\n"}, {"Symbolic link"}},
    };
    for (const auto& c : cases) {
        auto r = run({"-c", std::string("stat ") + c.path, "-p", "0", disk});
        EXPECT_EQ(r.status, 0) << c.path;
        for (const auto& text : c.has)
            EXPECT_NE(r.err.find(text), std::string::npos) << c.path << " lacks " << text << ":\n" << r.err;
        for (const auto& text : c.lacks)
            EXPECT_EQ(r.err.find(text), std::string::npos) << c.path << " has " << text << ":\n" << r.err;
    }
}

// Directories with more than one name, as only a damaged image has them:
// each directory inode is entered once, every other name of it is reported
// and counted as not copied, and the copy ends at once.
struct AliasCase {
    const char* name;
    void (*build)(sunimg::Ufs& t);
    int aliases;
    std::vector<std::string> dirs;  // host directories made, below out/
};

const AliasCase alias_cases[] = {
    {"directory containing itself",
     [](sunimg::Ufs& t) {
         uint32_t loop = t.dir("/loop");
         t.link(loop, "self", loop);
     },
     1, {"loop/"}},
    {"root under 30 names",
     [](sunimg::Ufs& t) {
         t.file("/f", "x");
         for (int i = 0; i < 30; i++)
             t.link(t.root(), "r" + std::to_string(i), t.root());
     },
     30, {}},
    {"subdirectory entry back at the root",
     [](sunimg::Ufs& t) { t.link(t.dir("/a/b"), "up", t.root()); }, 1, {"a/", "a/b/"}},
    {"two directories sharing one inode",
     [](sunimg::Ufs& t) {
         t.file("/one/f", "y");
         uint32_t two = t.dir("/two");
         t.link(two, "same", t.lookup("/one"));
     },
     1, {"one/", "one/f", "two/"}},
};

TEST_F(Shell, DirectoryAliasesAreCopiedOnce)
{
    for (const auto& c : alias_cases) {
        sunimg::Ufs t;
        c.build(t);
        use(t);
        runner::remove_tree(host);
        fs::create_directories(host + "/out");
        auto start = std::chrono::steady_clock::now();
        auto r = session("cp -r / out\n");
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << c.name;
        size_t reported = 0;
        for (size_t at = 0; (at = r.err.find(": directory already copied\n", at)) != std::string::npos; at++)
            reported++;
        EXPECT_EQ(reported, size_t(c.aliases)) << c.name << r.err;
        EXPECT_NE(r.err.find("; " + std::to_string(c.aliases) + " not copied; 0 failed\n"), std::string::npos)
            << c.name << r.err;
        EXPECT_EQ(r.status, 0) << c.name;
        std::vector<std::string> made;
        for (const auto& e : tree_of(host + "/out"))
            if (e != "f")
                made.push_back(e);
        EXPECT_EQ(made, c.dirs) << c.name;
    }
}

}  // namespace
