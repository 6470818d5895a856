// Files and symbolic links copied out of the image.  Data moves in large
// pieces; blocks of zeros become holes in a host file that can have them,
// so a sparse file stays sparse and the bytes read back are the same.
#include "shell/copy/copy.h"
#include "shell/prompt/console.h"
#include "shell/shell.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Bytes asked of the library per read.
static constexpr uint32_t COPY_CHUNK = 128 * 1024;
// A run of zeros this long, at this alignment in the file, is left as a hole.
static constexpr long long HOLE_UNIT = 4096;
// The longest link text a host symbolic link holds.
static constexpr long long LINK_TEXT_MAX = 4095;

// A host file being written.
struct host_out {
    int fd = -1;
    int sparse = -1;      // 1: a regular file, where zero blocks may stay
                          // holes; 0: not; -1: not asked yet
    long long pos = 0;    // bytes the file has received, holes included
    long long at = 0;     // the descriptor's file offset
};

// Whether the file can hold holes, asked of the host the first time a
// block of zeros comes.
static bool can_skip(host_out& o)
{
    if (o.sparse < 0) {
        struct stat st;
        o.sparse = fstat(o.fd, &st) == 0 && S_ISREG(st.st_mode) ? 1 : 0;
    }
    return o.sparse == 1;
}

// Data rarely starts with a zero byte, so most pieces answer at once; the
// others are compared with themselves one byte on, which the C library
// does many bytes at a time.
static bool all_zero(const uint8_t* p, size_t n)
{
    return n == 0 || (p[0] == 0 && std::memcmp(p, p + 1, n - 1) == 0);
}

static bool write_all(int fd, const uint8_t* p, size_t n)
{
    while (n > 0) {
        ssize_t done = write(fd, p, n);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return false;
        p += done;
        n -= static_cast<size_t>(done);
    }
    return true;
}

// Length of the piece at `i` of `n` bytes that ends at the next hole unit
// boundary of the file.
static size_t piece_at(const host_out& o, size_t i, size_t n)
{
    long long to_edge = HOLE_UNIT - (o.pos + static_cast<long long>(i)) % HOLE_UNIT;
    size_t left = n - i;
    return static_cast<size_t>(to_edge) < left ? static_cast<size_t>(to_edge) : left;
}

// Appends `n` bytes to the file; pieces of zeros are skipped over when the
// file can hold holes.  False on a failed write (errno says why).
static bool out_write(host_out& o, const uint8_t* p, size_t n)
{
    size_t i = 0;
    while (i < n) {
        size_t len = piece_at(o, i, n);
        if (all_zero(p + i, len) && can_skip(o)) {
            i += len;
            continue;
        }
        size_t end = i + len;
        while (end < n && !(all_zero(p + end, piece_at(o, end, n)) && can_skip(o)))
            end += piece_at(o, end, n);
        long long start = o.pos + static_cast<long long>(i);
        if (o.at != start && lseek(o.fd, static_cast<off_t>(start), SEEK_SET) == -1)
            return false;
        if (!write_all(o.fd, p + i, end - i))
            return false;
        o.at = start + static_cast<long long>(end - i);
        i = end;
    }
    o.pos += static_cast<long long>(n);
    return true;
}

// Appends a hole of `len` bytes: skipped over where the file can hold
// holes, else written as zeros from `zeros` (COPY_CHUNK bytes of scratch).
static bool out_hole(host_out& o, int64_t len, uint8_t* zeros)
{
    if (can_skip(o)) {
        o.pos += len;
        return true;
    }
    std::memset(zeros, 0, COPY_CHUNK);
    while (len > 0 && !sh_interrupted) {
        size_t n = len < COPY_CHUNK ? static_cast<size_t>(len) : COPY_CHUNK;
        if (!out_write(o, zeros, n))
            return false;
        len -= static_cast<int64_t>(n);
    }
    return true;
}

// A file that ends in a hole gets its size from ftruncate.
static bool out_finish(host_out& o)
{
    if (o.at == o.pos)
        return true;
    return ftruncate(o.fd, static_cast<off_t>(o.pos)) == 0;
}

// Moves the stream's data (`size` bytes as the inode says) to the host
// file.  Returns the errno of a failed write, or 0; `stopped` tells that
// the user interrupted the copy.
static int move_data(copy_ctx& cx, FS_FILE* in, long long size, host_out& o, const std::string& path,
                     bool* stopped)
{
    if (cx.buffer.size() < COPY_CHUNK)
        cx.buffer.resize(COPY_CHUNK);
    uint8_t* buf = cx.buffer.data();
    for (;;) {
        if (sh_interrupted) {
            *stopped = true;
            break;   // the host file is given the size of what it holds
        }
        if (int64_t hole = fs_fhole(in); hole > 0) {
            if (!out_hole(o, hole, buf))
                return errno;
            continue;
        }
        // A lost block comes as zeros: every later byte keeps its place.
        uint32_t got = fs_fread(buf, 1, COPY_CHUNK, in);
        if (got == 0)
            break;
        if (!out_write(o, buf, got))
            return errno;
        progress_update(cx.n.files, cx.n.bytes + static_cast<unsigned long long>(o.pos), path.c_str(),
                        static_cast<uint64_t>(o.pos), static_cast<uint64_t>(size));
    }
    return out_finish(o) ? 0 : errno;
}

// The runs of a file that were lost, as its line names them: "START-END"
// in file offsets, ascending, the first FF_LOSTRUNS, then "and N more".
std::string lost_text(const FS_FILE* in)
{
    int64_t runs[FF_LOSTRUNS][2];
    uint32_t n = fs_flostruns(in, runs, FF_LOSTRUNS, nullptr);
    std::string text;
    for (uint32_t i = 0; i < n && i < FF_LOSTRUNS; i++)
        text += (i ? ", " : "") + std::to_string(runs[i][0]) + "-" + std::to_string(runs[i][1]);
    if (n > FF_LOSTRUNS)
        text += " and " + std::to_string(n - FF_LOSTRUNS) + " more";
    return text;
}

long long lost_bytes(const FS_FILE* in)
{
    int64_t bytes = 0;
    fs_flostruns(in, nullptr, 0, &bytes);
    return bytes;
}

// Says what became of a copy that did not come out whole: the bytes that
// reached the host from the disk, and what was lost on the way.
void report_incomplete(const std::string& path, long long got, long long size, const std::string& lost)
{
    progress_clear();
    fprintf(stderr, "%s: incomplete, %lld of %lld bytes%s%s\n", shown(path.c_str(), stderr).c_str(), got,
            size, lost.empty() ? "" : "; lost ", lost.c_str());
}

// Names and counts the end of one file copy; returns copy_file's result.
struct file_end {
    int werr;           // errno of a failed host write, or 0
    bool clean;         // the whole file came, nothing lost
    bool stopped;       // Ctrl-C
    long long got;      // bytes that reached the host from the disk
    std::string lost;   // the lost runs, as named
};

static int file_done(copy_ctx& cx, const char* name, const std::string& path, const file_end& e,
                     long long size)
{
    if (e.werr != 0) {
        host_error(name, e.werr);
        report_failed(path);
    } else if (!e.clean) {
        report_incomplete(path, e.got, size, e.lost);
    }
    if (e.werr != 0 || !e.clean) {
        cx.n.failed++;
        if (e.stopped)
            cx.stopped = true;
        errno = e.werr;
        return e.werr != 0 ? 1 : 2;
    }
    cx.n.files++;
    cx.n.bytes += static_cast<unsigned long long>(e.got);
    return 0;
}

int copy_file(copy_ctx& cx, uint32_t ino, const image_attrs& a, int dirfd,
              const char* name, host_names* names, const std::string& image_path)
{
    // The source first: a source that cannot be read leaves an existing
    // host file as it was.
    FS_FILE* in = open_image_file(cx, ino, image_path);
    if (in == nullptr)
        return 2;
    host_out o;
    host_open opened = host_file_open(cx, names, dirfd, name, image_path, &o.fd);
    if (opened != host_open::ok) {
        int err = errno;
        fs_fclose(in);
        if (opened == host_open::refused)
            return 2;
        host_error("fopen", err);
        report_failed(image_path);
        cx.n.failed++;
        errno = err;  // the caller may report it once more as the reason
        return 1;
    }

    file_end e{};
    e.werr = move_data(cx, in, a.size, o, image_path, &e.stopped);
    // After a failed write or an interruption the stream stopped midway.
    e.clean = e.werr == 0 && !e.stopped && fs_fclean(in);
    if (e.werr == 0 && !e.stopped && !e.clean) {
        progress_clear();
        show_error("fs_fread");
    }
    e.got = o.pos - lost_bytes(in);
    e.lost = lost_text(in);
    fs_fclose(in);
    if (cx.flags & CP_PERM)
        copy_perm(cx, a, o.fd, -1, nullptr);
    if (close(o.fd) != 0 && e.werr == 0 && e.clean)
        e.werr = errno;
    return file_done(cx, name, image_path, e, a.size);
}

FS_FILE* open_image_file(walk_ctx& cx, uint32_t ino, const std::string& image_path)
{
    FS_FILE* in = fs_fopen_ino(ino);
    if (in == nullptr) {
        progress_clear();
        show_error("fs_fopen");
        report_failed(image_path);
        cx.n.failed++;
    }
    return in;
}

// A second name of a file this copy copied already becomes a hard link to
// that first copy, checked to be the same host file afterwards; false
// when it did not, and nothing is left behind then.
static bool link_again(copy_ctx& cx, uint32_t ino, int dirfd, const char* name, host_names* names)
{
    auto it = cx.linked.find(ino);
    if (it == cx.linked.end())
        return false;
    if (linkat(AT_FDCWD, it->second.host_path.c_str(), dirfd, name, 0) == -1)
        return false;
    struct stat st;
    if (fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0
        || static_cast<uint64_t>(st.st_dev) != it->second.dev
        || static_cast<uint64_t>(st.st_ino) != it->second.ino) {
        unlinkat(dirfd, name, 0);   // the first copy was replaced meanwhile
        return false;
    }
    note_made(names, dirfd, name, -1);
    cx.n.links++;
    return true;
}

int copy_regular(copy_ctx& cx, uint32_t ino, const image_attrs& a, int dirfd,
                 const char* name, host_names* names, const std::string& image_path)
{
    // Only files with more names are remembered, to keep memory small.
    if (a.nlink <= 1)
        return copy_file(cx, ino, a, dirfd, name, names, image_path);
    if (link_again(cx, ino, dirfd, name, names))
        return 0;
    int result = copy_file(cx, ino, a, dirfd, name, names, image_path);
    struct stat st;
    if (result == 0 && cx.linked.count(ino) == 0
        && fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0)
        cx.linked[ino] = first_copy{host_path_of(cx, image_path), static_cast<uint64_t>(st.st_dev),
                                    static_cast<uint64_t>(st.st_ino)};
    return result;
}

// Reads the target text of link inode `ino` into `text`; reports and
// returns false when it cannot be read whole or cannot be a host link.
// Only what a host link can hold is ever read, whatever the size claims.
bool read_link_text(uint32_t ino, const image_attrs& a, const char* name, std::string& text)
{
    if (a.size <= 0) {
        host_error(name, ENOENT);
        return false;
    }
    FS_FILE* in = fs_fopen_ino(ino);
    if (in == nullptr) {
        progress_clear();
        show_error("fs_fopen");
        return false;
    }
    char buf[LINK_TEXT_MAX + 1];
    uint32_t got = fs_fread(buf, 1, static_cast<uint32_t>(a.size), in);
    bool clean = fs_fclean(in);
    fs_fclose(in);
    if (!clean) {
        progress_clear();
        show_error("fs_fread");
        return false;
    }
    text.assign(buf, got);
    // A NUL would cut the text short on the host without a word.
    if (text.find('\0') != std::string::npos) {
        host_error(name, EINVAL);
        return false;
    }
    return true;
}

// True when `name` in `dirfd` already is a symbolic link holding `text`:
// a copy made before into the same place.
static bool same_link(int dirfd, const char* name, const std::string& text)
{
    int saved = errno;
    char buf[LINK_TEXT_MAX + 2];
    ssize_t len = readlinkat(dirfd, name, buf, sizeof buf);
    errno = saved;
    return len >= 0 && text.compare(0, std::string::npos, buf, static_cast<size_t>(len)) == 0;
}

bool copy_link(copy_ctx& cx, uint32_t ino, const image_attrs& a, int dirfd,
               const char* name, host_names* names, const std::string& image_path)
{
    // Longer than any host link: nothing of it is read.
    if (a.size > LINK_TEXT_MAX) {
        report_not_copied(cx, image_path);
        return false;
    }
    std::string text;
    bool ok = read_link_text(ino, a, name, text);
    if (ok && symlinkat(text.c_str(), dirfd, name) == -1) {
        int err = errno;
        if (err == EEXIST && refuse_duplicate(cx, names, dirfd, name, image_path))
            return false;
        if (!same_link(dirfd, name, text)) {
            host_error(name, err);
            ok = false;
        }
    }
    if (!ok) {
        report_failed(image_path);
        cx.n.failed++;
        return false;
    }
    note_made(names, dirfd, name, -1);
    if (cx.flags & CP_PERM)
        copy_perm(cx, a, -1, dirfd, name);
    cx.n.links++;
    return true;
}
