// The walk of an image tree, shared by cp -r, tar and body.  It keeps its
// own stack of directories instead of recursing, so no depth can exhaust
// the program's stack; it shuts a directory's stream before going deeper
// and takes it up again where it stopped, so no depth can exhaust the
// library's stream slots and no directory's size grows the memory it
// holds; it finds every entry by the inode number its directory gives, so
// no image path is ever looked up again and none is too long; and it keeps
// one image path that grows and shrinks with the walk, so its memory grows
// with the depth times the names' length and no more.
// Each directory inode is entered once: a second name for one (a cycle or
// an alias on a damaged image) is reported and skipped, so the work is
// bounded by the number of inodes on the image.
#include "shell/copy/tree.h"
#include "shell/prompt/console.h"
#include "shell/shell.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// A directory being walked.  Only the directory on top of the stack has
// its stream open; the others keep where their next entry lies, so the
// walk holds no list of entries and its memory does not grow with a
// directory.
struct dir_level {
    uint32_t ino = 0;
    uint32_t parent_ino = 0;   // what its ".." must name; 0: not known
    size_t path_len = 0;  // its image path is the walk's path cut here
    size_t name_at = 0;   // where its own name starts in that path
    FS_FILE* stream = nullptr;  // open while no child is being walked
    int64_t resume = 0;   // where the next entry lies while the stream is shut
    int lost = FSE_OK;    // first fault met in the entries read so far
    bool ended = false;   // every entry was taken in turn
    bool whole = true;    // every entry was read
    int64_t shown_to = 0; // directory bytes up to here whose loss was named
};

// The walk: its stack of directories and the one image path, which is the
// path of the directory on top, or of the entry being taken in it.
struct walk_state {
    walk_actions& act;
    std::vector<dir_level> stack;
    std::string path;
    std::string top_word;   // the source as the user typed it
};

std::string level_path(const walk_state& w, const dir_level& d)
{
    return w.path.substr(0, d.path_len);
}

// The name a level is known by in messages: the source as typed for the
// top, its entry name below.
std::string level_word(const walk_state& w, const dir_level& d)
{
    if (&d == &w.stack.front())
        return w.top_word;
    return w.path.substr(d.name_at, d.path_len - d.name_at);
}

// Sets the walk's path to that of directory `d` followed by entry `name`,
// in place: the one path grows and shrinks with the walk.
void path_to_entry(walk_state& w, const dir_level& d, const std::string& name)
{
    w.path.resize(d.path_len);
    if (w.path.back() != '/')
        w.path += '/';
    w.path += name;
}

// Opens the stream of directory level `d`, where its next entry lies;
// false (reported) when it cannot be opened.
bool open_entries(const walk_state& w, dir_level& d)
{
    d.stream = fs_opendir_ino(d.ino);
    if (d.stream == nullptr) {
        progress_clear();
        std::string word = shown(level_word(w, d).c_str(), stderr);
        fprintf(stderr, "opendir %s\n", word.c_str());
        show_error(word.c_str());
        return false;
    }
    if (d.resume != 0)
        fs_seekdir(d.stream, d.resume);   // a block that fails now is lost; the rest follows
    return true;
}

// Names the byte ranges of level `d`'s directory that its stream could
// not read, each once however often the stream is opened again; the names
// in them are lost, the rest of the directory is walked.  True when the
// stream lost such ranges.
bool show_dir_losses(const walk_state& w, dir_level& d)
{
    int64_t runs[FF_LOSTRUNS][2];
    uint32_t n = fs_flostruns(d.stream, runs, FF_LOSTRUNS, nullptr);
    for (uint32_t i = 0; i < n && i < FF_LOSTRUNS; i++) {
        if (runs[i][1] <= d.shown_to)
            continue;
        progress_clear();
        fprintf(stderr, "%s: directory bytes %lld-%lld unreadable; the names there are lost\n",
                shown(level_path(w, d).c_str(), stderr).c_str(), static_cast<long long>(runs[i][0]),
                static_cast<long long>(runs[i][1]));
        d.shown_to = runs[i][1];
        d.whole = false;
    }
    return n > 0;
}

// Shuts the stream of level `d` while a child is walked, keeping where it
// was and any fault it met.
void shut_entries(const walk_state& w, dir_level& d)
{
    if (d.stream == nullptr)
        return;
    d.resume = fs_telldir(d.stream);
    if (!show_dir_losses(w, d) && d.lost == FSE_OK)
        d.lost = stream_loss(d.stream, nullptr);
    fs_closedir(d.stream);
    d.stream = nullptr;
}

// The next entry of the top level, read where the last one ended; false at
// the end of the directory, which is then reported (and the level marked
// not whole) when it could not be read to its end.
bool next_entry(const walk_state& w, dir_level& d, std::string& name, uint32_t& ino)
{
    if (d.stream == nullptr && !open_entries(w, d)) {
        d.whole = false;
        report_failed(level_path(w, d));
        return false;
    }
    if (direct* e = fs_readdir(d.stream)) {
        name.assign(e->d_name);   // the record holds its NUL
        ino = e->d_ino;
        return true;
    }
    bool ranges = show_dir_losses(w, d);
    if ((!fs_fclean(d.stream) && !ranges) || d.lost != FSE_OK) {
        if (d.lost != FSE_OK)
            fs_errno = d.lost;   // the first fault is the one to name
        progress_clear();
        show_error(shown(level_word(w, d).c_str(), stderr).c_str());
        d.whole = false;
        report_failed(level_path(w, d));
    }
    fs_closedir(d.stream);
    d.stream = nullptr;
    return false;
}

// Starts walking directory `ino` (at the walk's path) and puts it on the
// stack.  False when the command does not take it.
bool enter_dir(walk_state& w, uint32_t ino, const fs_statrec& rec, dir_level&& d)
{
    walk_ctx& cx = w.act.cx;
    progress_update(cx.n.files, cx.n.bytes, w.path.c_str());
    std::string word = w.stack.empty() ? w.top_word : w.path.substr(d.name_at);
    if (!w.act.enter(walk_at{w.path, word, w.stack.empty()}, ino, rec))
        return false;
    // Taken only once the command took it: a name of it met later is then
    // an alias, never before.
    cx.dirs_seen.insert(ino);
    d.ino = ino;
    d.path_len = w.path.size();
    // One directory stream open at a time: the parent's is opened again
    // when this one is done.
    if (!w.stack.empty())
        shut_entries(w, w.stack.back());
    w.stack.push_back(std::move(d));
    return true;
}

// Ends the directory on top of the stack: the command's end of it, then
// its count.
void leave_dir(walk_state& w)
{
    walk_ctx& cx = w.act.cx;
    dir_level& d = w.stack.back();
    std::string path = level_path(w, d);
    bool ok = w.act.leave(walk_at{path, level_word(w, d), w.stack.size() == 1});
    // Whole only when every entry was read and taken in turn; a directory
    // that was not read whole has been named already.
    if (d.stream != nullptr)
        fs_closedir(d.stream);
    if (d.whole && ok && d.ended) {
        cx.n.dirs++;
    } else if (d.whole && ok && cx.interrupted) {
        // Cut short by Ctrl-C, which the command says once: not a failure.
    } else {
        if (d.whole)
            report_failed(path);
        cx.n.failed++;
    }
    w.stack.pop_back();
    if (!w.stack.empty())
        w.path.resize(w.stack.back().path_len);
}

// "." must name the directory itself and ".." the one the walk came from:
// true for such an entry, which is passed over.  Any other "." or ".."
// would hide a directory's files and is named as not taken.
bool self_or_parent(const dir_level& d, const std::string& name, uint32_t ino)
{
    if (name == ".")
        return ino == d.ino;
    if (name == "..")
        return d.parent_ino == 0 || ino == d.parent_ino;
    return false;
}

// Takes the entry at the walk's path (inode `ino`, named `name` in the
// directory on top of the stack).  A subdirectory is pushed onto the
// stack, to be walked by the loop.
void take_entry(walk_state& w, const std::string& name, uint32_t ino)
{
    walk_ctx& cx = w.act.cx;
    dir_level& d = w.stack.back();
    if (self_or_parent(d, name, ino))
        return;
    progress_update(cx.n.files, cx.n.bytes, w.path.c_str());
    fs_statrec rec;
    if (fs_istat(ino, &rec) == -1) {
        // In ls's words, then the entry by its path, its name bounded: a
        // damaged record's name may be anything.
        progress_clear();
        show_error("stat");
        std::string parent = level_path(w, d);
        fprintf(stderr, "%s%s%s: failed\n", shown(parent.c_str(), stderr).c_str(), parent == "/" ? "" : "/",
                shown_entry(name.c_str(), stderr).c_str());
        cx.n.failed++;
        return;
    }
    if ((rec.st_mode & IFMT) != IFDIR || !plain_name(name.c_str())) {
        w.act.entry(walk_at{w.path, name, false}, ino, rec);
    } else if (cx.dirs_seen.count(ino) != 0) {
        progress_clear();
        fprintf(stderr, "%s: directory already %s\n", shown(w.path.c_str(), stderr).c_str(), cx.verb);
        cx.n.not_copied++;
    } else {
        dir_level child;
        child.parent_ino = d.ino;
        child.name_at = w.path.size() - name.size();
        enter_dir(w, ino, rec, std::move(child));
    }
}

}  // namespace

int stream_loss(const FS_FILE* f, int64_t* at)
{
    int status = FSE_OK;
    fs_flost(f, at, &status);
    return status;
}

bool image_node(const char* word, uint32_t* ino, fs_statrec* rec, std::string* path)
{
    *ino = fs_namei(word);
    if (*ino == 0 || fs_istat(*ino, rec) == -1) {
        // The library's own reason: the host's errno has nothing to do
        // with a name missing from the image.
        show_error(word);
        return false;
    }
    char cwd[MAXPATHLEN_FS];
    if (fs_getcwd(cwd) == nullptr)
        strcpy(cwd, "/");
    *path = fs_path_abs(cwd, word);
    return true;
}

uint32_t parent_ino_of(uint32_t ino, const std::string& path)
{
    size_t cut = path.rfind('/');
    if (path == "/")
        return ino;
    if (cut == std::string::npos)
        return 0;   // an inode named by number: its parent is not known
    std::string parent = cut == 0 ? "/" : path.substr(0, cut);
    return fs_namei(parent.c_str());
}

void walk_tree(walk_actions& act, uint32_t ino, const fs_statrec& rec, const std::string& path,
               const std::string& word, uint32_t parent_ino)
{
    walk_state w{act, {}, path, word};
    dir_level top;
    top.parent_ino = parent_ino;
    if (!enter_dir(w, ino, rec, std::move(top)))
        return;
    std::string name;
    uint32_t entry_ino = 0;
    while (!w.stack.empty()) {
        if (sh_interrupted)
            act.cx.stopped = act.cx.interrupted = true;
        dir_level& d = w.stack.back();
        if (!act.cx.stopped && !d.ended) {
            if (next_entry(w, d, name, entry_ino)) {
                path_to_entry(w, d, name);
                take_entry(w, name, entry_ino);
                continue;
            }
            d.ended = true;
        }
        leave_dir(w);
    }
}
