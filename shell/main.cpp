// sunufs: open a Sun-labelled disk or disk image, print its partitions or
// mount one UFS partition read-only and browse it at a prompt.
#include "shell/getopt.h"
#include "shell/help.h"
#include "shell/lineedit.h"
#include "shell/shell.h"
#include "shell/words.h"
#include "shell/console.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <unistd.h>

// The program's name in messages: argv[0] after its last backslash.
const char* progname = "sunufs";

[[noreturn]] static void usage()
{
    fprintf(stderr, "Use: %s [-hd] [-p part] file\n", progname);
    exit(0);
}

static void set_progname(const char* argv0)
{
    if (argv0 == nullptr)
        return;
    const char* cut = strrchr(argv0, '\\');
    progname = cut ? cut + 1 : argv0;
}

// -p takes a letter a..h or a number; a word that is neither reads as 0.
static int parse_partition(const char* text)
{
    if (text[0] >= 'a' && text[0] <= 'h')
        return text[0] - 'a';
    long value = strtol(text, nullptr, 10);
    if (value < INT_MIN)
        return INT_MIN;
    if (value > INT_MAX)
        return INT_MAX;
    return static_cast<int>(value);
}

static void print_summary(const dk_label* label)
{
    // The label text may fill its 128 bytes without a NUL.
    fprintf(stderr, "\t%.128s\n", label->dkl_asciilabel);
    // Three 16-bit factors overflow 32 bits; the product wraps as the
    // 32-bit arithmetic this figure has always used.
    uint32_t sectors = uint32_t{label->dkl_ncyl} * label->dkl_nhead * label->dkl_nsect;
    fprintf(stderr, "\t%d Mb\n", static_cast<int32_t>(sectors) / 2048);
    for (int i = 0; i < NDKMAP; i++) {
        int32_t nblk = label->dkl_map[i].dkl_nblk;
        if (nblk != 0)
            fprintf(stderr, "\t%d\t%d Mb\n", i, nblk / 2048);
    }
}

static constexpr int LINE_SIZE = 2048;
static constexpr int MAX_WORDS = 1024;

// Carries out one command line; returns false for "bye".
static bool run_command(int count, char** words)
{
    const char* cmd = words[0];
    const char* arg = words[1];
    if (strcmp(cmd, "ls") == 0) {
        do_ls(".", arg);
    } else if (strcmp(cmd, "bye") == 0) {
        return false;
    } else if (strcmp(cmd, "debug") == 0) {
        if (fs_debug) {
            fs_debug = 0;
            fputs("debug off\n", stderr);
        } else {
            fs_debug = 1;
            fputs("debug on\n", stderr);
        }
    } else if (strcmp(cmd, "pwd") == 0) {
        char cwd[CWD_SIZE];
        fs_getcwd(cwd);
        fprintf(stderr, "%s\n", cwd);
    } else if (strcmp(cmd, "lcd") == 0) {
        if (arg == nullptr)
            fputs("use: lcd path\n", stderr);
        else if (chdir(arg) == -1)
            perror(arg);
    } else if (strcmp(cmd, "cd") == 0) {
        if (arg == nullptr)
            fputs("use: cd path\n", stderr);
        else if (fs_chdir(arg) == -1)
            show_error(arg);
    } else if (strcmp(cmd, "more") == 0) {
        if (arg == nullptr)
            fputs("use: more file\n", stderr);
        else if (do_more(arg) != 0)
            show_error(arg);
    } else if (strcmp(cmd, "cp") == 0) {
        int failed = do_cp(count, words);
        progress_clear();
        if (failed != 0 && errno != 0)
            perror("cp");
    } else if (strcmp(cmd, "help") == 0 || strcmp(cmd, "?") == 0) {
        print_help();
    } else {
        fputs("duh?\n", stderr);
        fputs("debug ls bye pwd lcd cd cp more !cmd\n", stderr);
    }
    return true;
}

static void command_loop(const char* path, int part)
{
    static char line[LINE_SIZE];
    char* words[MAX_WORDS];
    for (;;) {
        if (!read_command_line(path, part, line, sizeof line))
            return;

        bool bang = line[0] == '!';
        int count = split_words(bang ? line + 1 : line, words, MAX_WORDS);

        if (count == 0)
            continue;
        if (bang) {
            fputs("sorry '!' feature not supported on this system\n", stderr);
            continue;
        }
        sh_interrupted = 0;
        if (!run_command(count, words))
            return;
    }
}

int main(int argc, char** argv)
{
    set_progname(argc > 0 ? argv[0] : nullptr);
    // Byte orientation now: on a stream without one, perror tries another
    // route that can change errno, and `cp` reports errno after its own
    // messages.
    fwide(stderr, -1);

    int part = -1;
    int ch;
    while ((ch = sh_opt::getopt(argc, argv, "hdp:V")) != -1) {
        switch (ch) {
        case 'd':
            fs_debug = 1;
            break;
        case 'p':
            part = parse_partition(sh_opt::optarg);
            if (part < 0 || part > 7)
                fprintf(stderr, "%s: invalid partition (%d)\n", progname, part);
            break;
        case 'V':
            fprintf(stderr, "sunufs %s\n", SUNUFS_VERSION);
            usage();
        default:
            usage();
        }
    }
    if (sh_opt::optind >= argc || argv[sh_opt::optind] == nullptr)
        usage();
    const char* path = argv[sh_opt::optind];

    disk* dk = disk_open(path);
    if (dk == nullptr) {
        show_error("open disk");
        return 0;
    }
    if (part == -1) {
        print_summary(dk->label);
        disk_close(dk);
        return 0;
    }

    fsys* fs = fs_mount(dk, part, 0);
    if (fs == nullptr) {
        show_error("mount fs");
        disk_close(dk);
        return 0;
    }
    if (fs_debug)
        dump_label(stderr, fs->label);
    if (fs_debug)
        dump_super(stderr, fs->sb);

    catch_interrupts(true);
    command_loop(path, part);
    end_command_lines();

    fs_umount(fs);
    disk_close(dk);
    return 0;
}
