// ls and more.  This file prints the status record's times, so it must not
// include <sys/stat.h>: that header turns st_mtime into a macro.
#include "shell/shell.h"
#include "shell/copy/copy.h"
#include "shell/prompt/console.h"

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/wait.h>

// Shown in place of "Mmm dd hh:mm" when the host cannot turn a time into
// text; it keeps the long listing's columns.
static const char NO_TIME[] = "??? ?? ??:??";

static const char* type_prefix(uint16_t mode)
{
    switch (mode & IFMT) {
    case IFIFO: return "p ";
    case IFCHR: return "c ";
    case IFDIR: return "d ";
    case IFBLK: return "b ";
    case IFREG: return "- ";
    case IFLNK: return "l ";
    case IFSOCK: return "s ";
    default: return "? ";
    }
}

// "Mmm dd hh:mm" of a modification time, or NO_TIME.
static const char* short_time(int32_t when)
{
    time_t t = when;
    const char* text = ctime(&t);
    // ctime's fixed form is "Www Mmm dd hh:mm:ss yyyy\n"; anything shorter
    // than the part shown is not that form.
    if (text == nullptr || strnlen(text, 16) < 16)
        return NO_TIME;
    return text + 4;
}

bool list_long(uint32_t ino, const char* name)
{
    fs_statrec rec;
    if (fs_istat(ino, &rec) == -1) {
        show_error("stat");
        return false;
    }
    fputs(type_prefix(rec.st_mode), stderr);
    fprintf(stderr, "%6u %.4o %2d %5u %5u %7lld %-12.12s %s\n",
            rec.st_ino, rec.st_mode & PERM_MASK, rec.st_nlink, rec.st_uid,
            rec.st_gid, static_cast<long long>(rec.st_size), short_time(rec.st_mtime),
            shown_entry(name, stderr).c_str());
    return true;
}

int do_ls(const char* path, const char* long_flag)
{
    FS_FILE* dir = fs_opendir(path);
    if (dir == nullptr) {
        fprintf(stderr, "ls %s\n", path);
        show_error("opendir");
        return 1;
    }
    int result = 0;
    // Ctrl-C ends a long listing early.
    while (direct* entry = fs_readdir(dir)) {
        if (sh_interrupted)
            break;
        if (long_flag == nullptr)
            printf("%10d %24s\n", static_cast<int>(entry->d_ino),
                   shown_entry(entry->d_name, stdout).c_str());
        else if (!list_long(entry->d_ino, entry->d_name))
            result = 1;
    }
    // A directory block that could not be read leaves entries out; say so
    // rather than show a listing that merely looks complete.
    if (!sh_interrupted && !fs_fclean(dir)) {
        show_error("readdir");
        result = 1;
    }
    fs_closedir(dir);
    return result;
}

// Writes the file to the pager until its end, its first lost block, the
// pager's exit (a write that fails) or Ctrl-C: a file that claims a
// terabyte is not read on after the user has stopped looking, and the
// zeros that stand for a lost block are never shown as its text.  False
// when a block was lost (fs_errno says why), or the end was not reached
// cleanly.
static bool page_file(FS_FILE* file, FILE* pager)
{
    unsigned char buffer[512];
    uint32_t got;
    int64_t shown_bytes = 0;
    int64_t lost_at = 0;
    while ((got = fs_fread(buffer, 1, sizeof buffer, file)) > 0) {
        bool lost = fs_flost(file, &lost_at, nullptr);
        if (lost && lost_at - shown_bytes < got)
            got = static_cast<uint32_t>(lost_at > shown_bytes ? lost_at - shown_bytes : 0);
        if (sh_interrupted || fwrite(buffer, 1, got, pager) != got || lost)
            return !lost || fs_fclean(file);
        shown_bytes += got;
    }
    return fs_fclean(file);
}

int do_more(const char* path)
{
    // Whatever the shell printed so far must come before the pager's screen.
    fflush(stdout);
    fflush(stderr);

    FILE* pager = popen("less", "w");
    if (pager == nullptr) {
        int err = errno;
        perror("popen");
        fprintf(stderr, "%s: %s\n", path, strerror(err));
        return 1;
    }
    // A pager that the user leaves early closes its end of the pipe; the
    // writes that follow must fail quietly instead of ending the shell.
    // Ignored only now, so that the pager itself starts with the default.
    struct sigaction ignore = {};
    struct sigaction previous = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &previous);

    int result = 0;
    FS_FILE* file = fs_fopen(path, "rb");
    if (file == nullptr) {
        show_error("fs_fopen");
        show_error(path);
        result = 1;
    } else {
        if (!page_file(file, pager)) {
            show_error("fs_fread");
            result = 1;
        }
        fs_fclose(file);
    }

    int status = pclose(pager);
    sigaction(SIGPIPE, &previous, nullptr);
    // The command interpreter answers 127 when it cannot find or run the
    // command; without this the user would only see an empty screen.
    if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 127)
        fprintf(stderr, "more: the pager less could not be run\n");
    return result;
}

int do_stat(const char* path)
{
    fs_statrec rec;
    uint32_t ino = fs_namei(path);
    // The record's device is the host's, which the inode does not hold.
    rec.st_dev = fs_home(fs_getfs());
    rec.st_rdev = 0;
    if (ino == 0 || fs_istat(ino, &rec) == -1) {
        show_error(path);
        return 1;
    }
    dump_stat(stderr, &rec);
    std::string target;
    if ((rec.st_mode & IFMT) == IFLNK && read_link_text(ino, attrs_of(rec), path, target)) {
        fputs("Symbolic link to: ", stderr);
        fs_puttext(stderr, target.c_str(), target.size());
        fputc('\n', stderr);
    }
    if (fs_inode_logged(ino))
        fputs("Inode state: from the file system log\n", stderr);
    fs_dump_inode(stderr, ino);
    return 0;
}
