// tar: image trees into a POSIX pax archive, written through libarchive
// when the build found it.  Entries keep owners, full modes, times, link
// texts, hard links, device numbers and holes.
#include "shell/copy/copy.h"
#include "shell/commands.h"
#include "shell/getopt.h"
#include "shell/prompt/console.h"
#include "shell/prompt/words.h"
#include "shell/shell.h"

#include <cstdio>

#ifndef SUNUFS_HAVE_LIBARCHIVE

int do_tar(int, char**)
{
    fputs("tar: not built with libarchive\n", stderr);
    return 1;
}

#else

#include "shell/archive_lib.h"
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

namespace {

// The library's calls, loaded by the first tar.
const archive_api* lib = nullptr;

constexpr uint32_t TAR_CHUNK = 256 * 1024;

struct tar_options {
    bool verbose = false;
    char filter = 0;   // 'z', 'j', 'J' or 0
    const char* file = nullptr;
};

// One run of a file's bytes as its block map shows it.
struct file_run {
    int64_t len;
    int kind;   // FS_RUN_DATA, FS_RUN_HOLE or FS_RUN_LOST
};

struct tar_actions : walk_actions {
    archive* ar;
    archive_entry* e;
    bool verbose;
    std::vector<uint8_t> buffer;
    std::unordered_map<uint32_t, std::string> first_names;   // inodes of link count above 1
    // The names archived in each directory of the walk, outermost first.
    std::vector<std::unordered_set<std::string>> names;

    tar_actions(walk_ctx& c, archive* a, bool v)
        : walk_actions(c), ar(a), e(lib->archive_entry_new()), verbose(v), buffer(TAR_CHUNK) {}
    ~tar_actions() override { lib->archive_entry_free(e); }

    bool header(const std::string& path);
    FS_FILE* open_file(uint32_t ino, const std::string& path);
    bool feed(FS_FILE* in, const std::vector<file_run>& runs, int64_t size, const std::string& path);
    void take(const walk_at& at, uint32_t ino, const fs_statrec& rec);
    bool enter(const walk_at& at, uint32_t ino, const fs_statrec& rec) override;
    bool leave(const walk_at&) override
    {
        names.pop_back();
        return true;
    }
    bool duplicate(const walk_at& at);
    void entry(const walk_at& at, uint32_t ino, const fs_statrec& rec) override;
};

// A header libarchive refused for good ends the command.
bool tar_actions::header(const std::string& path)
{
    int rc = lib->archive_write_header(ar, e);
    if (rc == ARCHIVE_OK || rc == ARCHIVE_WARN)
        return true;
    progress_clear();
    fprintf(stderr, "tar: %s\n", lib->archive_error_string(ar));
    report_failed(path);
    cx.n.failed++;
    if (rc == ARCHIVE_FATAL)
        cx.stopped = true;
    return false;
}

// The name of image path `path` in the archive: without its leading '/',
// and a tree named by inode number under the name cp -r gives it.
std::string member_name(const std::string& path)
{
    if (path[0] == '/')
        return path.substr(1);
    size_t cut = path.find('/');
    uint32_t ino = 0;
    if (!fs_path_inode(path.c_str(), cut == std::string::npos ? path.size() : cut, &ino))
        return path;
    return "inode-" + std::to_string(ino) + (cut == std::string::npos ? "" : path.substr(cut));
}

// Fills the entry's fields that every type has.
void set_common(archive_entry* e, const std::string& path, const fs_statrec& rec)
{
    image_attrs a = attrs_of(rec);
    lib->archive_entry_clear(e);
    lib->archive_entry_copy_pathname(e, member_name(path).c_str());
    lib->archive_entry_set_mode(e, a.mode);
    lib->archive_entry_set_uid(e, a.uid);
    lib->archive_entry_set_gid(e, a.gid);
    lib->archive_entry_set_mtime(e, a.mtime, 0);
    lib->archive_entry_set_atime(e, a.atime, 0);
}

// A second entry of one name in a directory would stand for the first
// when the archive is unpacked: it is named and not archived.
bool tar_actions::duplicate(const walk_at& at)
{
    if (at.top || names.empty() || names.back().insert(at.word).second)
        return false;
    progress_clear();
    fprintf(stderr, "%s: duplicate name, not archived\n", shown(at.path.c_str(), stderr).c_str());
    cx.n.failed++;
    return true;
}

bool tar_actions::enter(const walk_at& at, uint32_t, const fs_statrec& rec)
{
    if (duplicate(at))
        return false;
    if (at.path != "/") {   // the root has no name in the archive
        if (verbose) {
            progress_clear();
            fprintf(stderr, "%s\n", shown(member_name(at.path).c_str(), stderr).c_str());
        }
        set_common(e, at.path, rec);
        if (!header(at.path))
            return false;
    }
    names.emplace_back();
    return true;
}

// The types an archive holds besides directories.
bool archived_type(uint16_t type)
{
    return type == IFREG || type == IFLNK || type == IFCHR || type == IFBLK || type == IFIFO;
}

void tar_actions::entry(const walk_at& at, uint32_t ino, const fs_statrec& rec)
{
    if ((!at.top && !plain_name(at.word.c_str())) || !archived_type(rec.st_mode & IFMT)) {
        report_not_copied(cx, at.path);
        return;
    }
    if (duplicate(at))
        return;
    if (verbose) {
        progress_clear();
        fprintf(stderr, "%s\n", shown(member_name(at.path).c_str(), stderr).c_str());
    }
    take(at, ino, rec);
}

// The file's runs, from its block map alone: no data block is read, so
// each data byte is read once, when it is archived.  Touching runs of one
// kind are joined.
std::vector<file_run> plan_runs(FS_FILE* in, int64_t size)
{
    std::vector<file_run> runs;
    int64_t pos = 0;
    while (pos < size && !sh_interrupted) {
        int kind = FS_RUN_DATA;
        int64_t len = fs_frun(in, pos, &kind);
        if (len <= 0)
            break;
        if (!runs.empty() && runs.back().kind == kind)
            runs.back().len += len;
        else
            runs.push_back({len, kind});
        pos += len;
    }
    if (pos < size)
        runs.push_back({size - pos, FS_RUN_DATA});   // read as it comes
    return runs;
}

// Holes and lost runs go into the entry's sparse map, so that the archive
// costs what the readable data costs; lost bytes read as zeros on the way
// out, as a hole does.  A file that is nothing but holes still gets a map:
// one empty data run at its end.
void set_sparse(archive_entry* e, const std::vector<file_run>& runs, int64_t size)
{
    bool sparse = false;
    for (const file_run& r : runs)
        sparse = sparse || r.kind != FS_RUN_DATA;
    if (!sparse)
        return;
    int64_t pos = 0;
    bool data = false;
    for (const file_run& r : runs) {
        if (r.kind == FS_RUN_DATA) {
            lib->archive_entry_sparse_add_entry(e, pos, r.len);
            data = true;
        }
        pos += r.len;
    }
    if (!data)
        lib->archive_entry_sparse_add_entry(e, size, 0);
}

// Zeros for the parts of an entry that hold none of the disk's bytes: one
// large mapping of the system's zero page, never written, so that a hole
// of terabytes passes in a few calls (the archive skips what its sparse
// map leaves out without looking at it).
constexpr size_t ZERO_SPAN = size_t{1} << 30;

const uint8_t* zero_span()
{
    static void* zeros = nullptr;
    if (zeros == nullptr) {
        void* p = mmap(nullptr, ZERO_SPAN, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        zeros = p == MAP_FAILED ? nullptr : p;
    }
    return static_cast<const uint8_t*>(zeros);
}

// Writes `len` zero bytes of the entry's data.
bool feed_zeros(archive* ar, std::vector<uint8_t>& buffer, int64_t len)
{
    const uint8_t* zeros = zero_span();
    size_t span = zeros != nullptr ? ZERO_SPAN : buffer.size();
    if (zeros == nullptr) {
        std::memset(buffer.data(), 0, buffer.size());
        zeros = buffer.data();
    }
    while (len > 0) {
        size_t n = len < static_cast<int64_t>(span) ? static_cast<size_t>(len) : span;
        if (lib->archive_write_data(ar, zeros, n) < 0)
            return false;
        len -= static_cast<int64_t>(n);
    }
    return true;
}

// Where one entry's data stands.
struct feed_state {
    int64_t pos = 0;        // bytes of the entry written, zeros included
    bool written = true;    // false: the archive refused them
    bool broken = false;    // the stream went another way than the plan
};

// Writes one run: data from the stream, a hole or lost run as zeros after
// the stream passes over it.
// The progress line counts the data against the bytes of the whole
// command in `n`.
void feed_run(archive* ar, FS_FILE* in, const file_run& r, std::vector<uint8_t>& buffer, feed_state& st,
              const copy_counts& n, const std::string& path, int64_t size)
{
    int64_t end = st.pos + r.len;
    if (r.kind != FS_RUN_DATA) {
        int64_t passed = 0;
        while (passed < r.len) {
            int64_t p = fs_fpass(in);
            if (p <= 0)
                break;
            passed += p;
        }
        st.broken = passed != r.len;
        st.written = feed_zeros(ar, buffer, passed);
        st.pos += passed;
        return;
    }
    while (st.pos < end && !sh_interrupted) {
        int64_t left = end - st.pos;
        auto want = left < static_cast<int64_t>(buffer.size()) ? static_cast<uint32_t>(left)
                                                              : static_cast<uint32_t>(buffer.size());
        uint32_t got = fs_fread(buffer.data(), 1, want, in);
        if (got > 0 && lib->archive_write_data(ar, buffer.data(), got) < 0) {
            st.written = false;
            return;
        }
        st.pos += got;
        progress_update(n.files, n.bytes + static_cast<uint64_t>(st.pos), path.c_str(),
                        static_cast<uint64_t>(st.pos), static_cast<uint64_t>(size));
        if (got < want) {
            st.broken = true;
            return;
        }
    }
}

// The data of a regular file, run by run as planned; the entry always
// gets its declared size, the bytes that could not come as zeros.  False
// when it did not come out whole (named and counted).
bool tar_actions::feed(FS_FILE* in, const std::vector<file_run>& runs, int64_t size, const std::string& path)
{
    feed_state st;
    for (const file_run& r : runs) {
        if (sh_interrupted || st.broken || !st.written)
            break;
        feed_run(ar, in, r, buffer, st, cx.n, path, size);
    }
    int64_t reached = st.pos;
    if (st.written)
        st.written = feed_zeros(ar, buffer, size - st.pos);
    if (reached == size)
        fs_fread(buffer.data(), 1, 1, in);   // settles the end of an empty file
    bool cut = sh_interrupted && reached < size;
    bool clean = st.written && !cut && fs_fclean(in);
    if (!st.written) {
        progress_clear();
        fprintf(stderr, "tar: %s\n", lib->archive_error_string(ar));
        report_failed(path);
        cx.stopped = true;
    } else if (cut) {
        report_interrupted(cx, path, reached - lost_bytes(in), size);
    } else if (!clean) {
        progress_clear();
        show_error("fs_fread");
        report_incomplete(path, reached - lost_bytes(in), size, lost_text(in));
    }
    if (!clean)
        cx.n.failed++;
    return clean;
}

// A stream on a regular file, before its header: a size that no block
// tree can map is refused as unsafe, since no archive reader could get
// past an entry of that size.
FS_FILE* tar_actions::open_file(uint32_t ino, const std::string& path)
{
    FS_FILE* in = fs_fopen_ino(ino);
    if (in != nullptr)
        return in;
    if (fs_errno == FSE_TOOBIG) {
        report_not_copied(cx, path);
        return nullptr;
    }
    progress_clear();
    show_error("fs_fopen");
    report_failed(path);
    cx.n.failed++;
    return nullptr;
}

// One entry that is not a directory: its header, then a file's data.  A
// node of more names is archived once; its other names become hard links
// to the first.
void tar_actions::take(const walk_at& at, uint32_t ino, const fs_statrec& rec)
{
    uint16_t type = rec.st_mode & IFMT;
    auto first = rec.st_nlink > 1 ? first_names.find(ino) : first_names.end();
    set_common(e, at.path, rec);
    if (first != first_names.end()) {
        lib->archive_entry_copy_hardlink(e, first->second.c_str());
        lib->archive_entry_set_size(e, 0);
        if (header(at.path))
            cx.n.links++;
        return;
    }
    std::string text;
    FS_FILE* in = nullptr;
    std::vector<file_run> runs;
    if (type == IFLNK) {
        if (!read_link_text(ino, attrs_of(rec), at.word.c_str(), text)) {
            report_failed(at.path);
            cx.n.failed++;
            return;
        }
        lib->archive_entry_copy_symlink(e, text.c_str());
    } else if (type == IFCHR || type == IFBLK) {
        uint32_t major = 0, minor = 0;
        fs_devnum(rec.st_rdev, &major, &minor);
        lib->archive_entry_set_rdevmajor(e, major);
        lib->archive_entry_set_rdevminor(e, minor);
    } else if (type == IFREG) {
        if ((in = open_file(ino, at.path)) == nullptr)
            return;
        lib->archive_entry_set_size(e, rec.st_size);
        runs = plan_runs(in, rec.st_size);
        set_sparse(e, runs, rec.st_size);
    }
    if (!header(at.path)) {
        if (in != nullptr)
            fs_fclose(in);
        return;
    }
    if (rec.st_nlink > 1)
        first_names.emplace(ino, member_name(at.path));
    if (type == IFREG) {
        bool clean = feed(in, runs, rec.st_size, at.path);
        fs_fclose(in);
        if (clean) {
            cx.n.files++;
            cx.n.bytes += static_cast<unsigned long long>(rec.st_size);
        }
    } else if (type == IFLNK) {
        cx.n.links++;
    } else {
        cx.n.devices++;
    }
}

// Options of one tar command into `o`; false after the usage line.
bool tar_parse(int argc, char** argv, tar_options& o)
{
    sh_opt::getopt_reset();
    bool create = false;
    int ch;
    while ((ch = sh_opt::getopt(argc, argv, "cvzjJf:")) != -1) {
        switch (ch) {
        case 'c': create = true; break;
        case 'v': o.verbose = true; break;
        case 'z': case 'j': case 'J': o.filter = static_cast<char>(ch); break;
        case 'f': o.file = sh_opt::optarg; break;
        default: create = false; o.file = nullptr; sh_opt::optind = argc; break;
        }
    }
    if (!create || o.file == nullptr || sh_opt::optind >= argc) {
        print_usage(*find_command("tar"));
        return false;
    }
    return true;
}

// A new archive writer on `fd`, pax with the chosen compression.
archive* tar_open(const tar_options& o, int fd)
{
    archive* ar = lib->archive_write_new();
    lib->archive_write_set_format_pax(ar);
    if (o.filter == 'z')
        lib->archive_write_add_filter_gzip(ar);
    else if (o.filter == 'j')
        lib->archive_write_add_filter_bzip2(ar);
    else if (o.filter == 'J')
        lib->archive_write_add_filter_xz(ar);
    if (lib->archive_write_open_fd(ar, fd) != ARCHIVE_OK) {
        fprintf(stderr, "tar: %s\n", lib->archive_error_string(ar));
        lib->archive_write_free(ar);
        return nullptr;
    }
    return ar;
}

// Archives the tree (or single node) at image path `word`.
void tar_path(tar_actions& act, const char* word)
{
    fs_statrec rec;
    uint32_t ino = 0;
    std::string path;
    if (!image_node(word, &ino, &rec, &path)) {
        act.cx.n.failed++;
        return;
    }
    std::string last = fs_path_last(path.c_str());
    walk_at at{path, last, true};
    if ((rec.st_mode & IFMT) == IFDIR)
        walk_tree(act, ino, rec, path, word, parent_ino_of(ino, path));
    else
        act.entry(at, ino, rec);
}

void print_tar_summary(const copy_counts& n)
{
    progress_clear();
    fprintf(stderr, "archived %u %s (%llu %s), %u %s, %u %s, %u %s; %u not archived; %u failed\n", n.files,
            plural(n.files, "file", "files"), n.bytes, plural(n.bytes, "byte", "bytes"), n.dirs,
            plural(n.dirs, "directory", "directories"), n.links, plural(n.links, "link", "links"), n.devices,
            plural(n.devices, "device", "devices"), n.not_copied, n.failed);
}

}  // namespace

int do_tar(int argc, char** argv)
{
    tar_options o;
    if (!tar_parse(argc, argv, o))
        return 1;
    if ((lib = archive_lib()) == nullptr)
        return 1;
    if (strcmp(o.file, "-") == 0 && is_terminal(STDOUT_FILENO)) {
        fputs("tar: an archive is not written to a terminal\n", stderr);
        return 1;
    }
    int fd = open_output("tar", host_word(o.file).c_str());
    archive* ar = fd == -1 ? nullptr : tar_open(o, fd);
    if (ar == nullptr) {
        if (fd > STDOUT_FILENO)
            close(fd);
        return 1;
    }
    walk_ctx cx;
    cx.verb = "archived";
    bool closed = true;
    {
        tar_actions act(cx, ar, o.verbose);
        progress_start();
        for (int i = sh_opt::optind; i < argc && !cx.stopped; i++)
            tar_path(act, argv[i]);
        if (lib->archive_write_close(ar) != ARCHIVE_OK) {
            fprintf(stderr, "tar: %s\n", lib->archive_error_string(ar));
            closed = false;
        }
    }
    lib->archive_write_free(ar);
    if (fd > STDOUT_FILENO && close(fd) != 0)
        closed = false;
    print_tar_summary(cx.n);
    report_stop(cx);
    return cx.n.failed != 0 || cx.stopped || !closed ? 1 : 0;
}

#endif
