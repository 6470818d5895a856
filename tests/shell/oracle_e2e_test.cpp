// End-to-end runs of build/sunufs on Sun disks made by independent tools: a
// host tree goes through makefs (big-endian UFS1) and sfdisk (Sun label),
// and what the shell shows at its prompt is held against the host tree it
// came from and against The Sleuth Kit reading the same image.
//
// Facts about these images that the expectations rely on:
// - makefs copies the host's modes (set-user-ID, set-group-ID and sticky
//   bits included), sizes and modification times; it marks its superblock
//   with the newer inode format and keeps owners in the 32-bit words at
//   inode offsets 112/116 (which istat and our reader both show), leaving
//   the 16-bit words at 4/6 zero.
// - Directory order is whatever order makefs met the host entries in, so
//   the expected order always comes from fls, never from sorting.
// - fls prints every directory in its on-disk order: plain `fls DIR-INODE`
//   leaves out "." and "..", `-a` keeps them; `-r -p` walks depth first,
//   again in on-disk order, and adds a virtual "$OrphanFiles" (type V/V) to
//   the root.  No flag sorts.
// - Short symbolic links lie inside the inode, in the block address words.
#include "support/images.h"
#include "support/oracle.h"
#include "support/runner.h"
#include "support/session.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

// ---------------------------------------------------------------------------
// Small helpers
// ---------------------------------------------------------------------------

std::string bytes(size_t n, uint32_t seed)
{
    std::vector<uint8_t> v = sunimg::pattern(n, seed);
    return std::string(v.begin(), v.end());
}

// Compares file contents without printing megabytes on a mismatch.
::testing::AssertionResult same_bytes(const std::string& want, const std::string& got)
{
    if (want == got)
        return ::testing::AssertionSuccess();
    size_t i = 0;
    while (i < want.size() && i < got.size() && want[i] == got[i])
        i++;
    return ::testing::AssertionFailure() << want.size() << " bytes expected, " << got.size()
                                         << " got, first difference at byte " << i;
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> out;
    std::stringstream ss(text);
    std::string line;
    while (std::getline(ss, line))
        out.push_back(line);
    return out;
}

// ctime()'s text of `t` in UTC, "Www Mmm dd hh:mm:ss yyyy\n".
std::string ctime_utc(time_t t)
{
    struct tm tm;
    gmtime_r(&t, &tm);
    char buf[64];
    std::strftime(buf, sizeof buf, "%a %b %e %H:%M:%S %Y\n", &tm);
    return buf;
}

// istat's and fsstat's "YYYY-MM-DD hh:mm:ss (UTC)".
time_t tsk_time_value(const std::string& text)
{
    struct tm tm = {};
    if (strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &tm) == nullptr)
        return -1;
    return timegm(&tm);
}

std::string join(const std::string& dir, const std::string& name)
{
    return dir == "/" ? "/" + name : dir + "/" + name;
}

// The listing line of the short form: "%10d %24s\n".
std::string short_line(uint32_t ino, const std::string& name)
{
    char num[16];
    std::snprintf(num, sizeof num, "%10u", ino);
    std::string pad = name.size() < 24 ? std::string(24 - name.size(), ' ') : "";
    return std::string(num) + " " + pad + name + "\n";
}

// ---------------------------------------------------------------------------
// The host tree
// ---------------------------------------------------------------------------

// Block sizes, and where partition 0 lies on the disk: far out on a
// sparse image, past 2 GiB, past 4 GiB, or near the end of a 9 GB disk.
struct Geometry {
    int bsize;
    int fsize;
    uint64_t start_cyl = 0;   // cylinders of 255 x 63 sectors
    uint64_t disk_cyls = 0;
};

void PrintTo(const Geometry& g, std::ostream* os)
{
    *os << g.bsize << "/" << g.fsize << " at cylinder " << g.start_cyl;
}

std::string geometry_name(const ::testing::TestParamInfo<Geometry>& info)
{
    return "bsize" + std::to_string(info.param.bsize) + "_fsize" + std::to_string(info.param.fsize) +
           (info.param.start_cyl ? "_cyl" + std::to_string(info.param.start_cyl) : "");
}

// Size of the file that needs the double indirect block: past the 12
// direct blocks and the n blocks of the single indirect block.  With
// 4096-byte blocks the file is cheap enough to go on into the second
// single indirect block under the double one.
size_t big_size(const Geometry& g)
{
    size_t b = size_t(g.bsize), n = b / 4;
    size_t blocks = 12 + n + (b == 4096 ? n : 0) + 3;
    return blocks * b + 777;
}

const std::string kLongName(255, 'L');  // the longest name UFS allows
const std::string kLongLink =
    "../deep/l1/l2/l3/l4/l5/l6/../../../../../../l1/l2/l3/l4/l5/l6/leaf.txt";  // stored in a block

// Files `more` pages and `cp` copies, with their sizes.
struct HostFile {
    std::string rel;
    size_t size;
};

std::vector<HostFile> sized_files(const Geometry& g)
{
    size_t b = size_t(g.bsize);
    return {
        {"empty", 0},
        {"sizes/one", 1},
        {"sizes/s511", 511},
        {"sizes/s512", 512},
        {"sizes/s513", 513},
        {"sizes/s8192", 8192},
        {"sizes/s98304", 12 * 8192},
        {"sizes/s98305", 12 * 8192 + 1},
        {"sizes/s12blocks", 12 * b},
        {"sizes/s12blocks_1", 12 * b + 1},
        {"sizes/s100k", 100 * 1024 + 333},
        {"big/huge", big_size(g)},
    };
}

void must(bool ok, const std::string& what)
{
    if (!ok)
        throw std::runtime_error(what + ": " + std::strerror(errno));
}

void write_host(const std::string& path, const std::string& data, mode_t perm = 0644)
{
    runner::write_file(path, data);
    must(chmod(path.c_str(), perm) == 0, "chmod " + path);
}

// Builds the host tree under `root`.  Returns whether the owner change
// worked (only as root).
bool make_tree(const std::string& root, const Geometry& g)
{
    for (const char* d : {"sizes", "big", "deep/l1/l2/l3/l4/l5/l6", "deep/l1/l2/emptydir", "many",
                          "links", "special", "perm/sticky"})
        fs::create_directories(root + "/" + d);

    write_host(root + "/README", "Files made on the host, read back from the image.\n");
    uint32_t seed = 1;
    for (const auto& f : sized_files(g))
        write_host(root + "/" + f.rel, bytes(f.size, seed++));
    write_host(root + "/deep/l1/side.txt", "beside the path\n");
    write_host(root + "/deep/l1/l2/l3/l4/l5/l6/leaf.txt", "at the bottom\n");

    // Enough entries, with names of varying length, to need several
    // directory blocks; a few subdirectories among them.
    for (int i = 0; i < 300; i++) {
        std::string name = "entry_" + std::to_string(i) + "_" + std::string(size_t(i % 37), 'x');
        write_host(root + "/many/" + name, name + "\n");
    }
    for (int i = 0; i < 4; i++) {
        std::string sub = root + "/many/sub_" + std::to_string(i);
        fs::create_directory(sub);
        write_host(sub + "/inside", "inside " + std::to_string(i) + "\n");
    }
    // A directory longer than its twelve direct blocks, so that lookups and
    // listings go on through its indirect block; empty files cost no data.
    fs::create_directory(root + "/wide");
    for (int i = 0; i < 1000; i++) {
        char num[8];
        std::snprintf(num, sizeof num, "%04d", i);
        write_host(root + "/wide/w" + num + "_" + std::string(size_t(85 + i % 20), 'y'), "");
    }
    fs::create_directory(root + "/wide/sub");
    write_host(root + "/wide/sub/found", "found through the indirect block\n");

    // Zero bytes are data like any other.
    std::string zeros(200000, '\0');
    zeros.replace(150000, 6, "middle");
    write_host(root + "/sizes/mostly_zero", zeros);

    must(symlink("deep/l1", (root + "/toplink").c_str()) == 0, "symlink");
    must(symlink("../sizes", (root + "/links/short").c_str()) == 0, "symlink");
    must(symlink(kLongLink.c_str(), (root + "/links/long").c_str()) == 0, "symlink");
    write_host(root + "/links/hard_a", "two names, one inode\n");
    must(link((root + "/links/hard_a").c_str(), (root + "/links/hard_b").c_str()) == 0, "link");

    must(mkfifo((root + "/special/fifo").c_str(), 0640) == 0, "mkfifo");
    write_host(root + "/special/with space", "a name with a blank\n");
    write_host(root + "/special/caf\xc3\xa9", "eight-bit name\n");
    write_host(root + "/special/" + kLongName, "the longest name\n");

    bool owned = false;
    write_host(root + "/perm/owned", "owner 1234, group 567\n");
    write_host(root + "/perm/wide", "owner and group past 16 bits\n");
    if (geteuid() == 0)
        owned = chown((root + "/perm/owned").c_str(), 1234, 567) == 0 &&
                chown((root + "/perm/wide").c_str(), 70000, 4000000) == 0;
    write_host(root + "/perm/suid", "#!/bin/sh\n", 04755);
    write_host(root + "/perm/sgid", "#!/bin/sh\n", 02711);
    write_host(root + "/perm/private", "only mine\n", 0600);
    write_host(root + "/perm/readonly", "look, don't touch\n", 0444);
    must(chmod((root + "/perm/sticky").c_str(), 01777) == 0, "chmod");
    must(chmod((root + "/deep/l1/l2").c_str(), 0750) == 0, "chmod");

    // Modification times of every entry, spread over months and hours so
    // that a wrong inode or a wrong field shows in "Mmm dd hh:mm"; set
    // last, when no entry is added any more.
    std::vector<std::string> all{root};
    for (auto& e : fs::recursive_directory_iterator(root))
        all.push_back(e.path().string());
    std::sort(all.begin(), all.end());
    for (size_t i = 0; i < all.size(); i++) {
        time_t t = 1000000000 + time_t(i) * (5 * 86400 + 3671);
        struct timespec ts[2] = {{t, 0}, {t, 0}};
        must(utimensat(AT_FDCWD, all[i].c_str(), ts, AT_SYMLINK_NOFOLLOW) == 0, "utimensat " + all[i]);
    }
    return owned;
}

// ---------------------------------------------------------------------------
// The image, built once per geometry and process
// ---------------------------------------------------------------------------

struct Built {
    Geometry g{};
    std::unique_ptr<testimg::TempDir> tmp;
    std::string src;               // the host tree
    testimg::MakefsDisk disk;
    uint64_t offset = 0;           // partition 0's start in sectors, as mmls reads the label
    std::map<std::string, uint32_t> ino;  // "/deep/l1" -> inode number, from fls
    bool owned = false;            // /perm/owned has owner 1234 and group 567
};

std::unique_ptr<Built> build(const Geometry& g)
{
    auto b = std::make_unique<Built>();
    b->g = g;
    b->tmp = std::make_unique<testimg::TempDir>();
    b->src = b->tmp->file("src");
    fs::create_directory(b->src);
    b->owned = make_tree(b->src, g);

    testimg::MakefsOptions o;
    o.size = std::to_string(big_size(g) / (1024 * 1024) + 8) + "m";
    o.bsize = g.bsize;
    o.fsize = g.fsize;
    o.start_cyl = g.start_cyl;
    o.disk_cyls = g.disk_cyls;
    b->disk = testimg::makefs_sun_disk(b->src, b->tmp->file("sun.img"), o);

    bool found = false;
    for (const auto& row : oracle::parse_mmls(oracle::mmls(b->disk.path).out)) {
        if (row.slot == "000") {
            b->offset = row.start;
            found = true;
        }
    }
    if (!found)
        throw std::runtime_error("mmls shows no partition 0 in " + b->disk.path);

    oracle::Result r = oracle::fls(b->disk.path, b->offset, {"-r", "-p"}, "ufs1");
    if (!r.ok())
        throw std::runtime_error("fls -r -p failed: " + r.err);
    b->ino["/"] = 2;
    for (const auto& row : oracle::parse_fls(r.out))
        if (row.type != "V/V")
            b->ino["/" + row.name] = row.ino;
    return b;
}

// One entry of a directory as The Sleuth Kit reads it.
struct Entry {
    char type;  // of the inode: 'r', 'd', 'l', 'p', ...
    uint32_t ino;
    std::string name;
};

// Status of one inode as istat prints it.
struct IStat {
    char type = '?';         // 'r', 'd', 'l', 'p', 'c', 'b', 's'
    unsigned perm = 0;       // the twelve low mode bits
    int nlink = 0;
    std::string owners;      // "uid / gid"
    long long size = 0;
    time_t mtime = -1;
    std::string link;        // text of a symbolic link
};

unsigned perm_bits(const std::string& rwx)
{
    unsigned perm = 0;
    for (size_t i = 0; i < 9 && i < rwx.size(); i++) {
        unsigned bit = 0400u >> i;
        char c = rwx[i];
        unsigned special = i == 2 ? 04000 : i == 5 ? 02000 : i == 8 ? 01000 : 0;
        if (c == 'r' || c == 'w' || c == 'x')
            perm |= bit;
        else if (c == 's' || c == 't')
            perm |= bit | special;
        else if (c == 'S' || c == 'T')
            perm |= special;
    }
    return perm;
}

// ---------------------------------------------------------------------------
// The fixture
// ---------------------------------------------------------------------------

class OracleE2E : public ::testing::TestWithParam<Geometry> {
protected:
    static std::map<std::tuple<int, int, uint64_t>, std::unique_ptr<Built>>& cache()
    {
        static std::map<std::tuple<int, int, uint64_t>, std::unique_ptr<Built>> built;
        return built;
    }
    static void TearDownTestSuite() { cache().clear(); }

    void SetUp() override
    {
        for (const char* tool : {"makefs", "sfdisk", "mmls", "fsstat", "fls", "istat", "icat"})
            if (!oracle::require_tool(tool))
                return;
        auto key = std::make_tuple(GetParam().bsize, GetParam().fsize, GetParam().start_cyl);
        auto& slot = cache()[key];
        if (!slot) {
            try {
                slot = build(GetParam());
            } catch (const std::exception& e) {
                cache().erase(key);
                FAIL() << "could not build the makefs disk: " << e.what();
            }
        }
        b = slot.get();
        work = std::make_unique<testimg::TempDir>();
        host = work->file("host");
        fs::create_directory(host);
        fs::create_directory(work->file("bin"));
        fs::create_directory(work->file("pager"));
        // The stand-in pager keeps what each `more` fed it in pager/0,
        // pager/1, ...
        env = runner::install_fake_less(work->file("bin"),
                                        "i=0\n"
                                        "while [ -e \"$OUTDIR/$i\" ]; do i=$((i+1)); done\n"
                                        "cat > \"$OUTDIR/$i\"\n");
        env.push_back("OUTDIR=" + work->file("pager"));
        env.push_back("TZ=UTC");
    }

    const std::string& image() const { return b->disk.path; }
    std::string prompt() const { return image() + "(0) # "; }

    runner::Result session(const std::string& input, const std::vector<std::string>& args = {"-p", "0"})
    {
        runner::Options o;
        o.args = args;
        o.args.push_back(image());
        o.input = input;
        o.env = env;
        o.cwd = host;
        o.timeout_seconds = 300;
        return runner::run_sunufs(o);
    }

    // Standard output without its prompts; `count` receives how many.
    std::string without_prompts(std::string out, int* count = nullptr) const
    {
        int n = 0;
        std::string p = prompt();
        for (size_t at; (at = out.find(p)) != std::string::npos; n++)
            out.erase(at, p.size());
        if (count)
            *count = n;
        return out;
    }

    std::string pager_out(int i) const { return runner::read_file(work->file("pager/" + std::to_string(i))); }

    uint32_t ino_of(const std::string& path) const
    {
        auto it = b->ino.find(path);
        if (it == b->ino.end())
            ADD_FAILURE() << "fls shows no " << path;
        return it == b->ino.end() ? 0 : it->second;
    }

    // The directory's entries in on-disk order, "." and ".." included.
    std::vector<Entry> entries(const std::string& dir) const
    {
        // oracle::fls() puts its arguments before the image, where a
        // directory inode cannot go.
        oracle::Result r = oracle::run_tool(
            {"fls", "-o", std::to_string(b->offset), "-f", "ufs1", "-a", image(), std::to_string(ino_of(dir))});
        EXPECT_TRUE(r.ok()) << r.err;
        std::vector<Entry> out;
        for (const auto& row : oracle::parse_fls(r.out)) {
            if (row.type == "V/V" || row.deleted || row.type.size() != 3)
                continue;
            out.push_back({row.type[2], row.ino, row.name});
        }
        return out;
    }

    IStat istat(uint32_t ino)
    {
        auto hit = istat_cache.find(ino);
        if (hit != istat_cache.end())
            return hit->second;
        oracle::Result r = oracle::istat(image(), b->offset, ino, "ufs1");
        EXPECT_TRUE(r.ok()) << "istat " << ino << ": " << r.err;
        auto k = oracle::parse_keys(r.out);
        IStat s;
        const std::string& mode = k["mode"];
        if (mode.size() == 10) {
            s.type = mode[0];
            s.perm = perm_bits(mode.substr(1));
        }
        s.nlink = std::atoi(k["num of links"].c_str());
        s.owners = k["uid / gid"];
        s.size = std::atoll(k["size"].c_str());
        s.mtime = tsk_time_value(k["File Modified"]);
        s.link = k["symbolic link to"];
        istat_cache[ino] = s;
        return s;
    }

    // The long-form line that istat's view of the entry calls for.
    std::string long_line(const Entry& e)
    {
        IStat s = istat(e.ino);
        const char* prefix = "? ";
        switch (s.type) {
        case 'r': prefix = "- "; break;
        case 'd': prefix = "d "; break;
        case 'l': prefix = "l "; break;
        case 'p': prefix = "p "; break;
        case 'c': prefix = "c "; break;
        case 'b': prefix = "b "; break;
        case 's': prefix = "s "; break;
        }
        unsigned long uid = 0;
        unsigned long gid = 0;
        std::sscanf(s.owners.c_str(), "%lu / %lu", &uid, &gid);
        char buf[512];
        std::snprintf(buf, sizeof buf, "%6u %.4o %2d %5lu %5lu %7lld %-12.12s ", e.ino, s.perm, s.nlink, uid, gid,
                      s.size, ctime_utc(s.mtime).c_str() + 4);
        return prefix + std::string(buf) + e.name + "\n";
    }

    // What `cp -r` prints for the image directory `dir`, named `word` on
    // the command line (or by its entry name one level up): the verbose
    // lines, and for every entry that is neither a file nor a directory its
    // "not copied" line with its absolute path, in directory order.
    std::string copy_lines(const std::string& dir, const std::string& word, bool verbose) const
    {
        std::string out = verbose ? "copy_dir " + word + " .\n" : "";
        for (const auto& e : entries(dir)) {
            if (e.type == 'd') {
                if (e.name != "." && e.name != "..")
                    out += copy_lines(join(dir, e.name), e.name, verbose);
            } else if (e.type == 'r') {
                if (verbose)
                    out += "copy_file " + e.name + " " + e.name + "\n";
            } else if (e.type != 'l') {
                out += join(dir, e.name) + " not copied\n";
            }
        }
        return out;
    }

    // The summary line of a `cp -r` of image directory `dir`, counted from
    // the entries The Sleuth Kit reads and the sizes of the host files the
    // image was made from.
    static ino_t host_ino(const std::string& path)
    {
        struct stat st {};
        stat(path.c_str(), &st);
        return st.st_ino;
    }

    std::string copy_summary(const std::string& dir)
    {
        unsigned files = 0, dirs = 0, links = 0, others = 0;
        unsigned long long bytes_total = 0;
        std::set<ino_t> seen;   // a second name of a file is a hard link
        std::vector<std::string> todo = {dir};
        while (!todo.empty()) {
            std::string d = todo.back();
            todo.pop_back();
            dirs++;
            for (const auto& e : entries(d)) {
                if (e.type == 'd' && e.name != "." && e.name != "..")
                    todo.push_back(join(d, e.name));
                else if (e.type == 'r' && !seen.insert(host_ino(b->src + join(d, e.name))).second)
                    links++;
                else if (e.type == 'r')
                    files++, bytes_total += fs::file_size(b->src + join(d, e.name));
                else if (e.type == 'l')
                    links++;
                else if (e.type != 'd')
                    others++;
            }
        }
        return testimg::copy_summary(files, bytes_total, dirs, links, others, 0);
    }

    // Host paths below `root`, "d name" for directories, "f name" for
    // regular files, "l name -> target" for symbolic links, "? name" for
    // anything else; with `only_copyable` the others are left out.
    static std::set<std::string> host_tree(const std::string& root, bool only_copyable)
    {
        std::set<std::string> out;
        for (auto& e : fs::recursive_directory_iterator(root)) {
            std::string rel = e.path().lexically_relative(root).string();
            if (e.is_symlink()) {
                out.insert("l " + rel + " -> " + fs::read_symlink(e.path()).string());
            } else if (!e.is_directory() && !e.is_regular_file()) {
                if (!only_copyable)
                    out.insert("? " + rel);
            } else {
                out.insert((e.is_directory() ? "d " : "f ") + rel);
            }
        }
        return out;
    }

    // Every regular file below `copy` has the content of the same file
    // below `original`, and the two trees hold the same directories and
    // regular files and nothing else.
    void expect_same_tree(const std::string& original, const std::string& copy) const
    {
        ASSERT_TRUE(fs::is_directory(copy)) << copy;
        EXPECT_EQ(host_tree(copy, false), host_tree(original, true));
        for (const auto& entry : host_tree(original, true)) {
            if (entry[0] != 'f')
                continue;
            std::string rel = entry.substr(2);
            EXPECT_TRUE(same_bytes(runner::read_file(original + "/" + rel), runner::read_file(copy + "/" + rel)))
                << rel;
        }
    }

    const Built* b = nullptr;
    std::unique_ptr<testimg::TempDir> work;
    std::string host;
    std::vector<std::string> env;
    std::map<uint32_t, IStat> istat_cache;
};

// ---------------------------------------------------------------------------
// cd and pwd, and where they land
// ---------------------------------------------------------------------------

struct CdCase {
    const char* input;
    const char* err;
    const char* lands_in;  // the directory that `ls` then lists, or ""
};

const CdCase cd_cases[] = {
    {"cd /deep/l1/l2\npwd\n", "/deep/l1/l2\n", "/deep/l1/l2"},
    {"cd deep\npwd\ncd l1/l2/l3\npwd\n", "/deep\n/deep/l1/l2/l3\n", "/deep/l1/l2/l3"},
    {"cd /deep/l1/l2/l3/l4/l5/l6\npwd\ncd ../../..\npwd\n", "/deep/l1/l2/l3/l4/l5/l6\n/deep/l1/l2/l3\n",
     "/deep/l1/l2/l3"},
    {"cd //deep///l1/\npwd\n", "/deep/l1\n", "/deep/l1"},
    {"cd /deep/./l1/.\npwd\ncd .\npwd\n", "/deep/l1\n/deep/l1\n", "/deep/l1"},
    {"cd /deep/l1\ncd ..\npwd\ncd ..\npwd\ncd ..\npwd\n", "/deep\n/\n/\n", "/"},
    {"cd /..\npwd\ncd ../../deep\npwd\n", "/\n/deep\n", "/deep"},
    {"cd deep/l1/../l1/l2/../../l1\npwd\n", "/deep/l1\n", "/deep/l1"},
    {"cd /deep/l1/l2/emptydir\npwd\n", "/deep/l1/l2/emptydir\n", "/deep/l1/l2/emptydir"},
    {"cd /deep/l1/l2/emptydir\ncd ../../../..\npwd\n", "/\n", "/"},
    {"cd /perm/sticky/\npwd\n", "/perm/sticky\n", "/perm/sticky"},
    // Failures, and the working directory they leave alone.
    {"cd /nothere\npwd\n", "/nothere: No such file or directory\n/\n", "/"},
    {"cd /DEEP\n", "/DEEP: No such file or directory\n", ""},
    {"cd /deep/l1/nothere/l2\n", "/deep/l1/nothere/l2: No such file or directory\n", ""},
    {"cd /sizes/one\n", "/sizes/one: Not a directory\n", ""},
    {"cd /sizes/one/x\n", "/sizes/one/x: Not a directory\n", ""},
    {"cd /special/fifo\n", "/special/fifo: Not a directory\n", ""},
    // Symbolic links are never followed.
    {"cd /links/short\n", "/links/short: Not a directory\n", ""},
    {"cd /toplink/l2\n", "/toplink/l2: Not a directory\n", ""},
    {"cd /deep\ncd l1/side.txt\ncd nothere\npwd\n",
     "l1/side.txt: Not a directory\nnothere: No such file or directory\n/deep\n", "/deep"},
};

TEST_P(OracleE2E, CdAndPwdWalkTheTree)
{
    for (const auto& c : cd_cases) {
        std::string input = c.input;
        std::string expected_out;
        if (*c.lands_in) {
            input += "ls\n";
            for (const auto& e : entries(c.lands_in))
                expected_out += short_line(e.ino, e.name);
        }
        auto r = session(input);
        EXPECT_EQ(r.err, c.err) << c.input;
        // A cd that failed fails the session.
        EXPECT_EQ(r.status, std::string(c.err).find(": ") != std::string::npos ? 1 : 0) << c.input;
        int prompts = 0;
        std::string out = without_prompts(r.out, &prompts);
        EXPECT_EQ(prompts, int(std::count(input.begin(), input.end(), '\n')) + 1) << c.input;
        if (*c.lands_in) {
            EXPECT_EQ(out, expected_out) << c.input;
        }
    }

    // Every subdirectory of the big directories, wherever its entry lies,
    // and the last entry, which lies in the last block: of /many, past its
    // first block; of /wide, past its twelve direct blocks.
    struct {
        const char* dir;
        int64_t more_than;  // bytes
    } big_dirs[] = {{"/many", b->g.bsize}, {"/wide", 12 * int64_t(b->g.bsize)}};
    for (const auto& d : big_dirs) {
        std::vector<Entry> ents = entries(d.dir);
        ASSERT_GT(ents.size(), 300u);
        EXPECT_GT(istat(ino_of(d.dir)).size, d.more_than) << d.dir;
        std::string dir = d.dir, input, err;
        for (const auto& e : ents) {
            if (e.type != 'd' || e.name == "." || e.name == "..")
                continue;
            input += "cd " + dir + "/" + e.name + "\npwd\ncd ..\npwd\n";
            err += dir + "/" + e.name + "\n" + dir + "\n";
        }
        input += "cd " + dir + "/" + ents.back().name + "\n";
        if (ents.back().type != 'd')
            err += dir + "/" + ents.back().name + ": Not a directory\n";
        auto r = session(input);
        EXPECT_EQ(r.err, err) << dir;
    }
}

// ---------------------------------------------------------------------------
// ls against fls and istat
// ---------------------------------------------------------------------------

const char* const listed_dirs[] = {
    "/", "/sizes", "/big", "/deep", "/deep/l1", "/deep/l1/l2", "/deep/l1/l2/emptydir",
    "/many", "/many/sub_2", "/wide", "/wide/sub", "/links", "/special", "/perm", "/perm/sticky",
};

TEST_P(OracleE2E, ShortListingShowsTheDirectoryInOnDiskOrder)
{
    for (const char* dir : listed_dirs) {
        std::string expected;
        for (const auto& e : entries(dir))
            expected += short_line(e.ino, e.name);
        auto r = session(std::string("cd ") + dir + "\nls\n");
        EXPECT_EQ(r.err, "") << dir;
        EXPECT_EQ(r.status, 0) << dir;
        EXPECT_EQ(without_prompts(r.out), expected) << dir << "\n" << r.out;
    }
    // Names with blanks are listed whole, though the command line cannot
    // name them: `more with space` asks for "with".
    auto r = session("cd /special\nmore with space\n");
    EXPECT_EQ(r.err, "fs_fopen: No such file or directory\nwith: No such file or directory\n");
}

TEST_P(OracleE2E, LongListingAgreesWithIstat)
{
    for (const char* dir : listed_dirs) {
        std::vector<Entry> ents = entries(dir);
        // Any word after ls selects the long form.
        auto r = session(std::string("cd ") + dir + "\nls -l\n");
        EXPECT_EQ(without_prompts(r.out), "") << dir;
        std::vector<std::string> got = lines_of(r.err);
        ASSERT_EQ(got.size(), ents.size()) << dir << "\n" << r.err;
        // One istat per entry is slow: of the big directories' plain files
        // every 25th will do.
        bool big_dir = std::string(dir) == "/many" || std::string(dir) == "/wide";
        for (size_t i = 0; i < ents.size(); i++) {
            if (big_dir && ents[i].type == 'r' && i % 25 != 0 && i + 1 != ents.size())
                continue;
            EXPECT_EQ(got[i] + "\n", long_line(ents[i])) << dir;
        }
    }
}

// The oracle itself is checked against the host tree, so that the long
// listing test above compares with what the user put on the disk.
TEST_P(OracleE2E, IstatSeesTheHostsModesSizesAndTimes)
{
    int n = 0;
    for (const auto& [path, ino] : b->ino) {
        if ((path.starts_with("/many/entry_") || path.starts_with("/wide/w")) && n++ % 25 != 0)
            continue;  // see above
        std::string hp = b->src + (path == "/" ? "" : path);
        struct stat st;
        ASSERT_EQ(lstat(hp.c_str(), &st), 0) << hp;
        IStat s = istat(ino);
        EXPECT_EQ(s.perm, st.st_mode & 07777) << path;
        EXPECT_EQ(s.mtime, st.st_mtime) << path;
        if (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) {
            EXPECT_EQ(s.size, st.st_size) << path;
        }
        if (!S_ISDIR(st.st_mode)) {
            EXPECT_EQ(s.nlink, int(st.st_nlink)) << path;
        }
        if (S_ISLNK(st.st_mode)) {
            EXPECT_EQ(s.type, 'l') << path;
        }
    }
    EXPECT_EQ(istat(ino_of("/links/long")).link, kLongLink);
    if (b->owned) {
        EXPECT_EQ(istat(ino_of("/perm/owned")).owners, "1234 / 567");
        EXPECT_EQ(istat(ino_of("/perm/wide")).owners, "70000 / 4000000");
    }
    // Both names of the hard link are one inode with two links.
    EXPECT_EQ(ino_of("/links/hard_a"), ino_of("/links/hard_b"));
    EXPECT_EQ(istat(ino_of("/links/hard_a")).nlink, 2);
}

// ---------------------------------------------------------------------------
// more, through the stand-in pager
// ---------------------------------------------------------------------------

TEST_P(OracleE2E, MoreFeedsThePagerEveryFileByteForByte)
{
    std::vector<std::string> files;
    for (const auto& f : sized_files(b->g))
        files.push_back(f.rel);
    std::vector<Entry> many = entries("/many");
    ASSERT_FALSE(many.empty());
    for (const std::string& rel : {std::string("README"), std::string("deep/l1/l2/l3/l4/l5/l6/leaf.txt"),
                                   std::string("special/caf\xc3\xa9"), "special/" + kLongName,
                                   std::string("links/hard_b"), std::string("perm/private"),
                                   std::string("many/sub_3/inside"), "many/" + many.back().name,
                                   std::string("wide/sub/found"), std::string("sizes/mostly_zero")})
        files.push_back(rel);

    std::string input;
    for (const auto& rel : files)
        input += "more /" + rel + "\n";
    auto r = session(input);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    for (size_t i = 0; i < files.size(); i++)
        EXPECT_TRUE(same_bytes(runner::read_file(b->src + "/" + files[i]), pager_out(int(i)))) << files[i];

    // Relative to the working directory, and through "..".
    r = session("cd /deep/l1/l2\nmore ../side.txt\nmore l3/l4/l5/l6/leaf.txt\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(pager_out(int(files.size())), "beside the path\n");
    EXPECT_EQ(pager_out(int(files.size()) + 1), "at the bottom\n");
}

TEST_P(OracleE2E, MoreOfWhatIsNotAPlainFile)
{
    // Missing files: the pager runs with nothing, then two messages.
    struct {
        const char* path;
        const char* reason;
    } missing[] = {
        {"/nothere", "No such file or directory"},
        {"sizes/s512", "No such file or directory"},  // relative to "/": no "sizes" in /deep
        {"/sizes/one/x", "Not a directory"},
    };
    std::string input = "cd /deep\n", err;
    for (const auto& m : missing) {
        input += std::string("more ") + m.path + "\n";
        err += std::string("fs_fopen: ") + m.reason + "\n" + m.path + ": " + m.reason + "\n";
    }
    auto r = session(input);
    EXPECT_EQ(r.err, err);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(pager_out(i), "") << i;

    // A symbolic link is paged as a file: a long one shows its text, which
    // lies in a block; a short one keeps its text inside the inode, where
    // the address words are, and shows it from there, never as addresses.
    r = session("more /links/long\nmore /links/short\npwd\n");
    EXPECT_EQ(pager_out(3), istat(ino_of("/links/long")).link);
    EXPECT_EQ(pager_out(4), "../sizes");
    EXPECT_EQ(r.err, "/\n");
    EXPECT_EQ(r.status, 0);

    // A directory is paged as its raw blocks, indirect ones included.
    r = session("more /wide\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(same_bytes(oracle::icat(image(), b->offset, ino_of("/wide"), "ufs1").out, pager_out(5)));
}

// ---------------------------------------------------------------------------
// cp out to the host
// ---------------------------------------------------------------------------

TEST_P(OracleE2E, CopyOfTheWholeTreeReproducesTheHostTree)
{
    fs::create_directory(host + "/out");
    auto r = session("cp -rv / out\n");
    // The root has no name of its own: it fills out itself.
    EXPECT_EQ(r.err, copy_lines("/", "/", true) + copy_summary("/"));
    EXPECT_EQ(r.status, 0);
    expect_same_tree(b->src, host + "/out");
}

TEST_P(OracleE2E, CopyOfSubtreesAndSingleFiles)
{
    fs::create_directory(host + "/out");
    fs::create_directory(host + "/rel");
    fs::create_directory(host + "/links");
    auto r = session("cp -r /deep out\n"
                     "cd /deep/l1\ncp -rv l2 rel\n"
                     "cd /\ncp -r /links links\n"
                     "cp /big/huge out/x\n"
                     "cp -r /many out\n");
    EXPECT_EQ(r.err, copy_summary("/deep") + copy_lines("/deep/l1/l2", "l2", true)
                         + copy_summary("/deep/l1/l2") + copy_lines("/links", "/links", false)
                         + copy_summary("/links") + copy_summary("/many"));
    expect_same_tree(b->src + "/deep", host + "/out/deep");
    expect_same_tree(b->src + "/deep/l1/l2", host + "/rel/l2");
    expect_same_tree(b->src + "/many", host + "/out/many");
    expect_same_tree(b->src + "/links", host + "/links/links");
    // The two names of one image file are one host file again.
    struct stat ha, hb;
    ASSERT_EQ(stat((host + "/links/links/hard_a").c_str(), &ha), 0);
    ASSERT_EQ(stat((host + "/links/links/hard_b").c_str(), &hb), 0);
    EXPECT_EQ(ha.st_ino, hb.st_ino);
    EXPECT_EQ(ha.st_nlink, 2u);
    EXPECT_TRUE(same_bytes(runner::read_file(b->src + "/big/huge"), runner::read_file(host + "/out/x")));

    // Without -r a directory is copied as a file: its raw blocks.
    r = session("cp /deep/l1 raw\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(same_bytes(oracle::icat(image(), b->offset, ino_of("/deep/l1"), "ufs1").out,
                           runner::read_file(host + "/raw")));

    // -r with a file: copied into the target directory under its own name.
    r = session("cp -rv /sizes/s513 out\n");
    EXPECT_EQ(r.err, "copy_file /sizes/s513 s513\n-r makes no sense here\n");
    EXPECT_TRUE(same_bytes(runner::read_file(b->src + "/sizes/s513"), runner::read_file(host + "/out/s513")));
}

// ---------------------------------------------------------------------------
// -d: the label and superblock dumps
// ---------------------------------------------------------------------------

// The value that the first dump line with the description `what` shows
// before it ("value<TAB>what..."), leading tabs taken off; "" when none.
std::string dump_value(const std::string& dump, const std::string& what)
{
    for (const auto& line : lines_of(dump)) {
        size_t at = line.find("\t" + what);
        if (at == std::string::npos)
            continue;
        size_t start = line.find_first_not_of('\t');
        if (start < at)
            return line.substr(start, at - start);
    }
    return "";
}

// Value of an fsstat "a - b" range's upper end.
long long range_end(const std::string& range)
{
    size_t dash = range.find('-');
    return dash == std::string::npos ? -1 : std::atoll(range.c_str() + dash + 1);
}

TEST_P(OracleE2E, DumpsAgreeWithMmlsAndFsstat)
{
    auto r = session("bye\n", {"-d", "-p", "0"});
    ASSERT_EQ(r.status, 0);
    const std::string& dump = r.err;

    // Label: the geometry and the partitions.
    long long heads = std::atoll(dump_value(dump, "heads in this partition").c_str());
    long long nsect = std::atoll(dump_value(dump, "512 byte sectors per track").c_str());
    long long ncyl = std::atoll(dump_value(dump, "data cylinders").c_str());
    ASSERT_GT(heads * nsect, 0) << dump;
    EXPECT_EQ(uint64_t(ncyl * heads * nsect), b->disk.disk_sectors);

    std::set<std::pair<uint64_t, uint64_t>> ours;  // (start, length) in sectors
    long long cyl = -1;
    for (const auto& line : lines_of(dump)) {
        long long v = 0, bytes_at = 0;
        if (std::sscanf(line.c_str(), "\t\t%lld\tstarting cylinder (0x%llx)", &v, &bytes_at) == 2) {
            cyl = v;
            EXPECT_EQ(bytes_at, cyl * heads * nsect * 512) << line;
        } else if (line.find("\tblocks (") != std::string::npos && std::sscanf(line.c_str(), "\t\t%lld", &v) == 1) {
            EXPECT_GE(cyl, 0) << line;
            ours.insert({uint64_t(cyl * heads * nsect), uint64_t(v)});
        }
    }
    std::set<std::pair<uint64_t, uint64_t>> theirs;
    for (const auto& row : oracle::parse_mmls(oracle::mmls(image()).out))
        if (row.slot != "-------" && row.desc.find("Unallocated") == std::string::npos)
            theirs.insert({row.start, row.length});
    EXPECT_EQ(ours, theirs);
    EXPECT_EQ(ours.count({b->offset, b->disk.part_sectors}), 1u);
    EXPECT_NE(dump.find("\n0xDABE\tmagic (should be 0xDABE)\n"), std::string::npos);

    // Superblock.
    oracle::Result st = oracle::fsstat(image(), b->offset, "ufs1");
    ASSERT_TRUE(st.ok()) << st.err;
    auto k = oracle::parse_keys(st.out);
    struct {
        const char* ours;
        std::string theirs;
    } fields[] = {
        {"size of basic blocks in fs", k["Block Size"]},
        {"size of frag blocks in fs", k["Fragment Size"]},
        {"number of cylinder groups", k["Number of Cylinder Groups"]},
        {"inodes per group", k["Inodes per group"]},
        {"blocks per group * fs_frag", k["Fragments per group"]},
        {"number of blocks in fs", std::to_string(range_end(k["Fragment Range"]) + 1)},
        {"number of directories", k["Num of Directories"]},
        {"number of free blocks", k["Num of Avail Full Blocks"]},
        {"number of free inodes", k["Num of Avail Inodes"]},
        {"number of free frags", k["Num of Avail Fragments"]},
    };
    for (const auto& f : fields) {
        EXPECT_FALSE(f.theirs.empty()) << f.ours;
        EXPECT_EQ(dump_value(dump, f.ours), f.theirs) << f.ours;
    }
    EXPECT_EQ(dump_value(dump, "size of basic blocks in fs"), std::to_string(b->g.bsize));
    EXPECT_EQ(dump_value(dump, "size of frag blocks in fs"), std::to_string(b->g.fsize));
    time_t written = tsk_time_value(k["Last Written"]);
    ASSERT_NE(written, -1) << st.out;
    EXPECT_NE(dump.find("last time written:\t" + ctime_utc(written)), std::string::npos) << dump;
    EXPECT_NE(dump.find("\n0x11954\tmagic number (should be 0x11954)\n"), std::string::npos);
    EXPECT_EQ(without_prompts(r.out), "");
}

INSTANTIATE_TEST_SUITE_P(Makefs, OracleE2E,
                         ::testing::Values(Geometry{8192, 1024}, Geometry{8192, 2048}, Geometry{4096, 512},
                                           Geometry{8192, 1024, 262}, Geometry{8192, 2048, 523},
                                           Geometry{4096, 512, 1090, 1094}),
                         geometry_name);

// A block size the reader's buffers cannot hold is refused at the mount,
// cleanly, rather than read wrong.
TEST(OracleE2EMount, LargerBlocksAreRefused)
{
    REQUIRE_TOOL("makefs");
    REQUIRE_TOOL("sfdisk");
    testimg::TempDir tmp;
    testimg::make_host_tree(tmp.file("src"), {{"f", "x\n"}});
    testimg::MakefsOptions o;
    o.size = "4m";
    o.bsize = 16384;
    o.fsize = 2048;
    auto disk = testimg::makefs_sun_disk(tmp.file("src"), tmp.file("sun.img"), o);
    runner::Options ro;
    ro.args = {"-p", "0", disk.path};
    ro.input = "ls\n";
    auto r = runner::run_sunufs(ro);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "mount fs: Bad superblock\n");
}

}  // namespace
