// lost: what a damaged directory no longer names.  The whole tree is
// walked once from the root, one bit per inode marking what a path
// reaches; then every allocated inode that no walk reached is the top of
// a lost tree, once the trees below lost directories are marked too.  An
// inode counts as allocated when its mode has a file type and it has a
// link: the cylinder groups' maps are not trusted, old and damaged file
// systems get them wrong.
#include "shell/commands.h"
#include "shell/copy/copy.h"
#include "shell/getopt.h"
#include "shell/prompt/words.h"
#include "shell/prompt/console.h"
#include "shell/shell.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct inode_bits {
    std::vector<uint64_t> words;
    uint32_t count = 0;
    bool get(uint32_t i) const { return i < count && (words[i / 64] >> (i % 64) & 1) != 0; }
    void set(uint32_t i)
    {
        if (i < count)
            words[i / 64] |= uint64_t{1} << (i % 64);
    }
    void clear(uint32_t i)
    {
        if (i < count)
            words[i / 64] &= ~(uint64_t{1} << (i % 64));
    }
};

// Inodes the file system has: groups times inodes per group, bounded by
// what 32-bit inode numbers reach.
uint32_t inode_count()
{
    const fs_super* sb = fs_getfs()->sb;
    uint64_t n = uint64_t(static_cast<uint32_t>(sb->fs_ncg)) * static_cast<uint32_t>(sb->fs_ipg);
    return n > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(n);
}

// The last inode of the 512-byte sector that holds `ino`: the device
// loses sectors, not blocks, so one failed inode stands for its sector's
// inodes, which are not asked again one by one.
uint32_t block_last(uint32_t ino, uint32_t count)
{
    const fs_super* sb = fs_getfs()->sb;
    constexpr uint32_t per_sector = SECTOR_SIZE / sizeof(dinode);
    auto ipg = static_cast<uint32_t>(sb->fs_ipg);
    uint64_t in_group = ino % ipg;
    uint64_t last = uint64_t{ino} - in_group + std::min<uint64_t>((in_group / per_sector + 1) * per_sector, ipg) - 1;
    return static_cast<uint32_t>(std::min<uint64_t>(last, count - 1));
}

bool allocated(const fs_statrec& rec)
{
    return (rec.st_mode & IFMT) != 0 && rec.st_nlink > 0;
}

// Inodes whose block could not be read, as runs of numbers: a lost tree
// may hide in them, so they are named rather than counted as nothing.
struct unreadable_runs {
    uint32_t first = 0, last = 0;   // the run being gathered (first 0: none)
    bool any = false;
    void add(uint32_t from, uint32_t to)
    {
        if (first != 0 && from == last + 1) {
            last = to;
            return;
        }
        flush();
        first = from;
        last = to;
    }
    void flush()
    {
        progress_clear();
        if (first != 0)
            fprintf(stderr, "inodes %u-%u unreadable\n", first, last);
        any = any || first != 0;
        first = 0;
    }
};

// Marks directory `top` and every inode below it that its entries name,
// its subdirectories' too.
void mark_tree(inode_bits& seen, uint32_t top)
{
    std::vector<uint32_t> todo{top};
    seen.set(top);
    while (!todo.empty() && !sh_interrupted) {
        uint32_t dir = todo.back();
        todo.pop_back();
        FS_FILE* d = fs_opendir_ino(dir);
        if (d == nullptr)
            continue;
        while (direct* e = fs_readdir(d)) {
            if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0 || seen.get(e->d_ino))
                continue;
            seen.set(e->d_ino);
            fs_statrec rec;
            if (fs_istat(e->d_ino, &rec) == 0 && (rec.st_mode & IFMT) == IFDIR)
                todo.push_back(e->d_ino);
        }
        fs_closedir(d);
    }
}

// One bit per inode: set for every inode a path reaches, and for every
// inode below a lost directory, so that only the tops stay clear.
inode_bits reached()
{
    inode_bits seen;
    seen.count = inode_count();
    seen.words.assign(seen.count / 64 + 1, 0);
    mark_tree(seen, ROOT_INO);
    fs_statrec rec;
    for (uint32_t ino = ROOT_INO + 1; ino < seen.count && !sh_interrupted; ino++) {
        if (seen.get(ino))
            continue;
        if (fs_istat(ino, &rec) != 0) {
            ino = block_last(ino, seen.count);
            continue;
        }
        // The top itself stays clear, even when a damaged tree below it
        // names it again.
        if (allocated(rec) && (rec.st_mode & IFMT) == IFDIR) {
            mark_tree(seen, ino);
            seen.clear(ino);
        }
    }
    return seen;
}

std::string inode_word(uint32_t ino)
{
    return "<" + std::to_string(ino) + ">";
}

struct lost_counts {
    unsigned files = 0, dirs = 0, others = 0;
};

// Options of one lost command: -p as cp's.  False after the usage line.
bool lost_options(int count, char** words, int* flags)
{
    sh_opt::getopt_reset();
    *flags = CP_RECURSIVE;
    int ch;
    while ((ch = sh_opt::getopt(count, words, "p")) != -1) {
        if (ch != 'p') {
            print_usage(*find_command("lost"));
            return false;
        }
        *flags |= CP_PERM;
    }
    if (count - sh_opt::optind > 1) {
        print_usage(*find_command("lost"));
        return false;
    }
    return true;
}

}  // namespace

namespace {

// The tops of lost trees, in inode order.  Inode blocks that cannot be read
// are skipped whole and, when `bad` is given, named there.
std::vector<uint32_t> collect_tops(unreadable_runs* bad)
{
    inode_bits seen = reached();
    std::vector<uint32_t> tops;
    fs_statrec rec;
    for (uint32_t ino = ROOT_INO; ino < seen.count && !sh_interrupted; ino++) {
        if (fs_istat(ino, &rec) != 0) {
            uint32_t last = block_last(ino, seen.count);
            if (bad != nullptr)
                bad->add(ino, last);
            ino = last;
            continue;
        }
        if (!seen.get(ino) && ino != ROOT_INO && allocated(rec))
            tops.push_back(ino);
    }
    return tops;
}

}  // namespace

std::vector<uint32_t> lost_tops()
{
    return collect_tops(nullptr);
}

int do_lost(int count, char** words)
{
    int flags = 0;
    if (!lost_options(count, words, &flags))
        return 1;
    std::string host = sh_opt::optind < count ? host_word(words[sh_opt::optind]) : std::string();
    const char* dst = sh_opt::optind < count ? host.c_str() : nullptr;
    int dirfd = -1;
    if (dst != nullptr && (dirfd = open(dst, O_RDONLY | O_DIRECTORY | O_CLOEXEC)) == -1) {
        perror(dst);
        return 1;
    }
    copy_ctx cx;
    copy_start(cx, flags);
    lost_counts n;
    unreadable_runs bad;
    fs_statrec rec;
    for (uint32_t ino : collect_tops(&bad)) {
        if (sh_interrupted)
            break;
        if (fs_istat(ino, &rec) != 0)
            continue;
        std::string word = inode_word(ino);
        uint16_t type = rec.st_mode & IFMT;
        (type == IFREG ? n.files : type == IFDIR ? n.dirs : n.others)++;
        if (dirfd == -1) {
            list_long(ino, word.c_str());
            continue;
        }
        std::string name = "inode-" + std::to_string(ino);
        cx.image_base = word;
        cx.host_base = fs_path_join(dst, name);
        copy_tree_into(cx, ino, dirfd, name, word);
    }
    progress_clear();
    bad.flush();
    if (dirfd == -1) {
        fprintf(stderr, "%u lost: %u %s, %u %s, %u %s\n", n.files + n.dirs + n.others, n.files,
                plural(n.files, "file", "files"), n.dirs, plural(n.dirs, "directory", "directories"), n.others,
                plural(n.others, "other", "others"));
        return sh_interrupted || bad.any ? 1 : 0;
    }
    close(dirfd);
    print_summary(cx.n);
    return copy_failed(cx) || sh_interrupted || bad.any ? 1 : 0;
}
