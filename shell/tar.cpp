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
#include <unistd.h>
#include <unordered_map>

namespace {

// The library's calls, loaded by the first tar.
const archive_api* lib = nullptr;

constexpr uint32_t TAR_CHUNK = 256 * 1024;

struct tar_options {
    bool verbose = false;
    char filter = 0;   // 'z', 'j', 'J' or 0
    const char* file = nullptr;
};

struct tar_actions : walk_actions {
    archive* ar;
    archive_entry* e;
    bool verbose;
    std::vector<uint8_t> buffer;
    std::unordered_map<uint32_t, std::string> first_names;   // inodes of link count above 1

    tar_actions(walk_ctx& c, archive* a, bool v)
        : walk_actions(c), ar(a), e(lib->archive_entry_new()), verbose(v), buffer(TAR_CHUNK) {}
    ~tar_actions() override { lib->archive_entry_free(e); }

    bool header(const std::string& path);
    bool feed(uint32_t ino, int64_t size, const std::string& path);
    void take(const walk_at& at, uint32_t ino, const fs_statrec& rec);
    bool enter(const walk_at& at, uint32_t ino, const fs_statrec& rec) override;
    bool leave(const walk_at&) override { return true; }
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

// Fills the entry's fields that every type has.
void set_common(archive_entry* e, const std::string& path, const fs_statrec& rec)
{
    image_attrs a = attrs_of(rec);
    lib->archive_entry_clear(e);
    lib->archive_entry_copy_pathname(e, path.c_str() + 1);
    lib->archive_entry_set_mode(e, a.mode);
    lib->archive_entry_set_uid(e, a.uid);
    lib->archive_entry_set_gid(e, a.gid);
    lib->archive_entry_set_mtime(e, a.mtime, 0);
    lib->archive_entry_set_atime(e, a.atime, 0);
}

bool tar_actions::enter(const walk_at& at, uint32_t, const fs_statrec& rec)
{
    if (at.path == "/")
        return true;   // the root has no name in the archive
    if (verbose) {
        progress_clear();
        fprintf(stderr, "%s\n", shown(at.path.c_str() + 1, stderr).c_str());
    }
    set_common(e, at.path, rec);
    return header(at.path);
}

// The types an archive holds besides directories.
bool archived_type(uint16_t type)
{
    return type == IFREG || type == IFLNK || type == IFCHR || type == IFBLK || type == IFIFO;
}

void tar_actions::entry(const walk_at& at, uint32_t ino, const fs_statrec& rec)
{
    if (!plain_name(at.word.c_str()) || !archived_type(rec.st_mode & IFMT)) {
        report_not_copied(cx, at.path);
        return;
    }
    if (verbose) {
        progress_clear();
        fprintf(stderr, "%s\n", shown(at.path.c_str() + 1, stderr).c_str());
    }
    take(at, ino, rec);
}

// The parts of a regular file that hold data, found block by block with
// the library's hole finder, added to the entry; false when the file has
// no hole (or cannot be read to its end: it is then archived whole).
bool data_regions(uint32_t ino, int64_t size, archive_entry* e)
{
    FS_FILE* in = fs_fopen_ino(ino);
    if (in == nullptr)
        return false;
    auto bsize = static_cast<int64_t>(fs_getfs()->sb->fs_bsize);
    int64_t pos = 0, start = 0;
    bool holes = false;
    std::vector<std::pair<int64_t, int64_t>> regions;
    while (pos < size) {
        int64_t hole = fs_fhole(in);
        if (hole > 0) {
            if (pos > start)
                regions.emplace_back(start, pos - start);
            holes = true;
            pos += hole;
            start = pos;
            continue;
        }
        uint32_t got = fs_fread(nullptr, 1, static_cast<uint32_t>(bsize - pos % bsize), in);
        if (got == 0)
            break;
        pos += got;
    }
    bool whole = pos == size && fs_fclean(in);
    fs_fclose(in);
    if (!holes || !whole)
        return false;
    if (pos > start)
        regions.emplace_back(start, pos - start);
    for (auto& r : regions)
        lib->archive_entry_sparse_add_entry(e, r.first, r.second);
    return true;
}

// Writes `len` zero bytes of the entry's data.
bool feed_zeros(archive* ar, std::vector<uint8_t>& buffer, int64_t len)
{
    if (len > 0)
        std::memset(buffer.data(), 0, buffer.size());
    while (len > 0) {
        size_t n = len < static_cast<int64_t>(buffer.size()) ? static_cast<size_t>(len) : buffer.size();
        if (lib->archive_write_data(ar, buffer.data(), n) < 0)
            return false;
        len -= static_cast<int64_t>(n);
    }
    return true;
}

// Writes the file's bytes at its full size: holes as zeros (which a sparse
// entry leaves out), and a lost block as the zeros the stream gives for
// it, every later byte in its place.  False when the archive refused
// them; *reached receives the bytes the stream gave.  The progress line
// counts them against the bytes of the whole command in `n`.
bool write_stream(archive* ar, FS_FILE* in, int64_t size, std::vector<uint8_t>& buffer, int64_t* reached,
                  const copy_counts& n, const std::string& path)
{
    int64_t& pos = *reached;
    pos = 0;
    while (pos < size && !sh_interrupted) {
        if (int64_t hole = fs_fhole(in); hole > 0) {
            if (!feed_zeros(ar, buffer, hole))
                return false;
            pos += hole;
            continue;
        }
        uint32_t got = fs_fread(buffer.data(), 1, static_cast<uint32_t>(buffer.size()), in);
        if (got == 0)
            break;
        if (lib->archive_write_data(ar, buffer.data(), got) < 0)
            return false;
        pos += got;
        progress_update(n.files, n.bytes + static_cast<uint64_t>(pos), path.c_str(), static_cast<uint64_t>(pos),
                        static_cast<uint64_t>(size));
    }
    return feed_zeros(ar, buffer, size - pos);
}

// The data of a regular file; false when it did not come out whole
// (named and counted).
bool tar_actions::feed(uint32_t ino, int64_t size, const std::string& path)
{
    FS_FILE* in = open_image_file(cx, ino, path);
    if (in == nullptr) {
        feed_zeros(ar, buffer, size);
        return false;
    }
    int64_t reached = 0;
    bool written = write_stream(ar, in, size, buffer, &reached, cx.n, path);
    bool clean = written && !sh_interrupted && fs_fclean(in);
    if (!written) {
        progress_clear();
        fprintf(stderr, "tar: %s\n", lib->archive_error_string(ar));
        report_failed(path);
        cx.stopped = true;
    } else if (!clean) {
        progress_clear();
        show_error("fs_fread");
        report_incomplete(path, reached - lost_bytes(in), size, lost_text(in));
    }
    fs_fclose(in);
    if (!clean)
        cx.n.failed++;
    return clean;
}

// One entry that is not a directory: its header, then a file's data.
void tar_actions::take(const walk_at& at, uint32_t ino, const fs_statrec& rec)
{
    uint16_t type = rec.st_mode & IFMT;
    set_common(e, at.path, rec);
    std::string text;
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
    }
    auto first = type == IFREG && rec.st_nlink > 1 ? first_names.find(ino) : first_names.end();
    if (first != first_names.end()) {
        lib->archive_entry_copy_hardlink(e, first->second.c_str() + 1);
        lib->archive_entry_set_size(e, 0);
    } else if (type == IFREG) {
        lib->archive_entry_set_size(e, rec.st_size);
        data_regions(ino, rec.st_size, e);
    }
    if (!header(at.path))
        return;
    if (type == IFREG && first == first_names.end()) {
        if (!feed(ino, rec.st_size, at.path))
            return;
        if (rec.st_nlink > 1)
            first_names.emplace(ino, at.path);
        cx.n.files++;
        cx.n.bytes += static_cast<unsigned long long>(rec.st_size);
    } else if (type == IFREG || type == IFLNK) {
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
    fprintf(stderr,
            "archived %u files (%llu bytes), %u directories, %u links, %u devices; %u not archived; %u failed\n",
            n.files, n.bytes, n.dirs, n.links, n.devices, n.not_copied, n.failed);
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
    return cx.n.failed != 0 || cx.stopped || !closed ? 1 : 0;
}

#endif
