// body: one line per entry of an image tree in the body-file layout that
// timeline tools read (MD5|name|inode|mode|UID|GID|size|atime|mtime|ctime|
// crtime), optionally with each regular file's MD5.
#include "shell/copy/copy.h"
#include "shell/commands.h"
#include "shell/getopt.h"
#include "shell/md5.h"
#include "shell/prompt/console.h"
#include "shell/prompt/words.h"
#include "shell/shell.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

// Bytes read per request while summing a file.
constexpr uint32_t SUM_CHUNK = 256 * 1024;

// The mode as a type letter, '/', then the type letter again and the nine
// permission letters with the special bits in them: "r/rrwsr-xr-x".
std::string mode_text(uint16_t mode)
{
    char type = '-';
    switch (mode & IFMT) {
    case IFREG: type = 'r'; break;
    case IFDIR: type = 'd'; break;
    case IFLNK: type = 'l'; break;
    case IFCHR: type = 'c'; break;
    case IFBLK: type = 'b'; break;
    case IFIFO: type = 'p'; break;
    case IFSOCK: type = 's'; break;
    default: break;
    }
    std::string s = {type, '/', type};
    const char* rwx = "rwxrwxrwx";
    for (int i = 0; i < 9; i++)
        s += (mode & (0400 >> i)) ? rwx[i] : '-';
    const uint16_t special[3] = {ISUID, ISGID, ISVTX};
    const char letter[3] = {'s', 's', 't'};
    for (int k = 0; k < 3; k++) {
        if (mode & special[k]) {
            char& c = s[5 + 3 * k];
            c = c == 'x' ? letter[k] : static_cast<char>(letter[k] - 'a' + 'A');
        }
    }
    return s;
}

struct body_actions : walk_actions {
    FILE* out;
    bool sums;
    std::vector<uint8_t> buffer;

    body_actions(walk_ctx& c, FILE* f, bool with_sums) : walk_actions(c), out(f), sums(with_sums) {}

    std::string sum_of(uint32_t ino, const fs_statrec& rec, const std::string& path);
    void line(const walk_at& at, uint32_t ino, const fs_statrec& rec);
    bool enter(const walk_at& at, uint32_t ino, const fs_statrec& rec) override
    {
        if (!at.top)
            line(at, ino, rec);
        return true;
    }
    bool leave(const walk_at&) override { return true; }
    void entry(const walk_at& at, uint32_t ino, const fs_statrec& rec) override { line(at, ino, rec); }
};

// The MD5 of a regular file's bytes; "0" (named as cp names it, and
// counted as failed) when the file cannot be read whole.
std::string body_actions::sum_of(uint32_t ino, const fs_statrec& rec, const std::string& path)
{
    FS_FILE* in = open_image_file(cx, ino, path);
    if (in == nullptr)
        return "0";
    buffer.resize(SUM_CHUNK);
    md5 sum;
    long long reached = 0;
    while (uint32_t got = fs_fread(buffer.data(), 1, SUM_CHUNK, in)) {
        sum.update(buffer.data(), got);
        reached += got;
        progress_update(cx.n.files, cx.n.bytes + static_cast<uint64_t>(reached), path.c_str(),
                        static_cast<uint64_t>(reached), static_cast<uint64_t>(rec.st_size));
        if (sh_interrupted)
            break;
    }
    bool clean = !sh_interrupted && fs_fclean(in);
    if (!clean) {
        progress_clear();
        show_error("fs_fread");
        report_incomplete(path, reached - lost_bytes(in), static_cast<long long>(rec.st_size), lost_text(in));
        fs_fclose(in);
        cx.n.failed++;
        return "0";
    }
    fs_fclose(in);
    cx.n.files++;
    cx.n.bytes += static_cast<unsigned long long>(rec.st_size);
    return sum.hex();
}

void body_actions::line(const walk_at& at, uint32_t ino, const fs_statrec& rec)
{
    image_attrs a = attrs_of(rec);
    uint16_t type = a.mode & IFMT;
    std::string sum = sums && type == IFREG ? sum_of(ino, rec, at.path) : "0";
    std::string name = at.path;
    std::string text;
    if (type == IFLNK && read_link_text(ino, a, at.word.c_str(), text))
        name += " -> " + text;
    else if (type == IFLNK)
        cx.n.failed++;
    fprintf(out, "%s|%s|%u|%s|%u|%u|%lld|%lld|%lld|%lld|0\n", sum.c_str(), shown(name.c_str(), out).c_str(),
            ino, mode_text(a.mode).c_str(), a.uid, a.gid, a.size, static_cast<long long>(a.atime),
            static_cast<long long>(a.mtime), static_cast<long long>(a.ctime));
}

// Options of one body command; false after the usage line.
bool body_options(int argc, char** argv, bool* sums)
{
    sh_opt::getopt_reset();
    *sums = false;
    int ch;
    while ((ch = sh_opt::getopt(argc, argv, "5")) != -1) {
        if (ch != '5') {
            print_usage(*find_command("body"));
            return false;
        }
        *sums = true;
    }
    int left = argc - sh_opt::optind;
    if (left < 1 || left > 2) {
        print_usage(*find_command("body"));
        return false;
    }
    return true;
}

}  // namespace

int do_body(int argc, char** argv)
{
    bool sums = false;
    if (!body_options(argc, argv, &sums))
        return 1;
    const char* host = argv[sh_opt::optind];
    const char* word = sh_opt::optind + 1 < argc ? argv[sh_opt::optind + 1] : "/";
    fs_statrec rec;
    uint32_t ino = 0;
    std::string path;
    if (!image_node(word, &ino, &rec, &path))
        return 1;
    int fd = open_output("body", host_word(host).c_str());
    FILE* out = fd == -1 ? nullptr : fd == STDOUT_FILENO ? stdout : fdopen(fd, "w");
    if (out == nullptr)
        return 1;
    walk_ctx cx;
    cx.verb = "listed";
    body_actions act(cx, out, sums);
    progress_start();
    if ((rec.st_mode & IFMT) == IFDIR)
        walk_tree(act, ino, rec, path, word, parent_ino_of(ino, path));
    else
        act.line(walk_at{path, path, true}, ino, rec);
    progress_clear();
    bool write_failed = out == stdout ? fflush(out) != 0 : fclose(out) != 0;
    if (write_failed)
        perror("body");
    return cx.n.failed != 0 || cx.stopped || write_failed ? 1 : 0;
}
