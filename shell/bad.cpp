// bad: which files the damage touches.  One pass over the metadata and the
// block maps names everything that lies in a sector that cannot be read.
// With a rescue map no file data is read; without one every block in use
// is read once, as a surface scan.
#include "shell/copy/copy.h"
#include "shell/copy/tree.h"
#include "shell/prompt/console.h"
#include "shell/shell.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace {

struct bad_tally {
    unsigned files = 0;
    unsigned dirs = 0;
    std::vector<uint32_t> inodes;   // unreadable, as met
    unsigned long long bytes = 0;
    std::vector<std::pair<std::string, std::string>> lines;   // path, line
};

uint32_t inode_total()
{
    const fs_super* sb = fs_getfs()->sb;
    uint64_t n = uint64_t(static_cast<uint32_t>(sb->fs_ncg)) * static_cast<uint32_t>(sb->fs_ipg);
    return n > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(n);
}

// The lost byte ranges of a directory: the names there are gone.
void note_dir(bad_tally& t, const std::string& path, const FS_FILE* d)
{
    int64_t runs[FF_LOSTRUNS][2];
    uint32_t n = fs_flostruns(d, runs, FF_LOSTRUNS, nullptr);
    for (uint32_t i = 0; i < n && i < FF_LOSTRUNS; i++) {
        char text[80];
        snprintf(text, sizeof text, ": directory bytes %lld-%lld unreadable\n", static_cast<long long>(runs[i][0]),
                 static_cast<long long>(runs[i][1]));
        t.lines.emplace_back(path, shown(path.c_str(), stdout) + text);
    }
    if (n > 0)
        t.dirs++;
}

// A file's lost ranges, found without handing out its bytes.
void note_file(bad_tally& t, const std::string& path, uint32_t ino)
{
    FS_FILE* in = fs_fopen_ino(ino);
    if (in == nullptr) {
        if (fs_errno == FSE_READ || fs_errno == FSE_SEEK)
            t.inodes.push_back(ino);
        return;
    }
    fs_fsurvey(in);
    long long bytes = lost_bytes(in);
    if (fs_flostruns(in, nullptr, 0, nullptr) > 0) {
        t.lines.emplace_back(path, shown(path.c_str(), stdout) + ": lost " + lost_text(in) + "\n");
        t.files++;
        t.bytes += static_cast<unsigned long long>(bytes);
    }
    fs_fclose(in);
}

// Reads the entries of directory `ino` (its lost ranges noted), then
// closes it, so that no depth holds more than one stream.
std::vector<std::pair<std::string, uint32_t>> entries_of(bad_tally& t, const std::string& path, uint32_t ino)
{
    std::vector<std::pair<std::string, uint32_t>> out;
    FS_FILE* d = fs_opendir_ino(ino);
    if (d == nullptr) {
        if (fs_errno == FSE_READ || fs_errno == FSE_SEEK)
            t.inodes.push_back(ino);
        return out;
    }
    while (direct* e = fs_readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..")
            out.emplace_back(std::move(name), e->d_ino);
    }
    note_dir(t, path, d);
    fs_closedir(d);
    return out;
}

// Every file and directory below `top`, each directory once.
void walk(bad_tally& t, const std::string& top, uint32_t top_ino)
{
    std::unordered_set<uint32_t> seen{top_ino};
    std::vector<std::pair<std::string, uint32_t>> todo{{top, top_ino}};
    while (!todo.empty() && !sh_interrupted) {
        auto [path, ino] = todo.back();
        todo.pop_back();
        for (auto& [name, child] : entries_of(t, path, ino)) {
            std::string at = fs_path_join(path, name);
            fs_statrec rec;
            if (fs_istat(child, &rec) == -1) {
                if (fs_errno == FSE_READ || fs_errno == FSE_SEEK)
                    t.inodes.push_back(child);
                continue;
            }
            if ((rec.st_mode & IFMT) == IFDIR) {
                if (seen.insert(child).second)
                    todo.emplace_back(at, child);
            } else if ((rec.st_mode & IFMT) == IFREG || (rec.st_mode & IFMT) == IFLNK) {
                note_file(t, at, child);
            }
        }
    }
}

// Every inode of the file system that cannot be read.
void inode_pass(bad_tally& t)
{
    uint32_t total = inode_total();
    for (uint32_t ino = 0; ino < total && !sh_interrupted; ino++) {
        fs_statrec rec;
        if (fs_istat(ino, &rec) == -1 && (fs_errno == FSE_READ || fs_errno == FSE_SEEK))
            t.inodes.push_back(ino);
    }
}

// The file system's own records; true when any is lost.
bool meta_lines(fsys* fs)
{
    bool super = false;
    std::vector<uint32_t> copies;
    std::vector<uint32_t> groups;
    if (fs_meta_lost(fs, &super, &copies, &groups) != FSE_OK)
        return false;
    if (super)
        fputs("superblock unreadable\n", stdout);
    for (uint32_t c : copies)
        printf("superblock copy %u unreadable\n", c);
    for (uint32_t g : groups)
        printf("cylinder group %u unreadable\n", g);
    return super || !copies.empty() || !groups.empty();
}

// "inodes A-B unreadable" for each run of inode numbers.
void inode_lines(std::vector<uint32_t>& inodes)
{
    std::sort(inodes.begin(), inodes.end());
    inodes.erase(std::unique(inodes.begin(), inodes.end()), inodes.end());
    for (size_t i = 0; i < inodes.size();) {
        size_t j = i;
        while (j + 1 < inodes.size() && inodes[j + 1] == inodes[j] + 1)
            j++;
        printf("inodes %u-%u unreadable\n", inodes[i], inodes[j]);
        i = j + 1;
    }
}

}  // namespace

int do_bad(int count, char** words)
{
    fsys* fs = fs_getfs();
    if (fs == nullptr) {
        fs_errno = FSE_NOFS;
        show_error("bad");
        return 1;
    }
    const char* word = count > 1 ? words[1] : "/";
    uint32_t ino;
    fs_statrec rec;
    std::string path;
    if (!image_node(word, &ino, &rec, &path))
        return 1;
    bad_tally t;
    bool whole = count < 2;
    bool meta = whole && meta_lines(fs);
    if (whole)
        inode_pass(t);
    if ((rec.st_mode & IFMT) == IFDIR)
        walk(t, path, ino);
    else if ((rec.st_mode & IFMT) == IFREG || (rec.st_mode & IFMT) == IFLNK)
        note_file(t, path, ino);
    inode_lines(t.inodes);
    std::stable_sort(t.lines.begin(), t.lines.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& l : t.lines)
        fputs(l.second.c_str(), stdout);
    printf("bad: %u files, %u directories, %u inodes, %llu bytes of file data lost\n", t.files, t.dirs,
           static_cast<unsigned>(t.inodes.size()), t.bytes);
    fflush(stdout);
    return meta || t.files || t.dirs || !t.inodes.empty() ? 1 : 0;
}
