// sunufs: open a Sun-labelled disk or disk image, print its partitions or
// mount one UFS partition read-only and browse it at a prompt.
#include "shell/getopt.h"
#include "shell/shell.h"

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

static void print_summary(const disk* dk)
{
    const dk_label* label = dk->label;
    // Three 16-bit factors can pass 32 bits; the sector count wraps there,
    // which only a damaged label of more than 2 TiB reaches.
    uint32_t sectors = uint32_t{label->dkl_ncyl} * label->dkl_nhead * label->dkl_nsect;
    long long mb = static_cast<int32_t>(sectors) / 2048;
    if (dk->bare) {
        fputs("\tno Sun label: one UFS file system\n", stderr);
        mb = dk->bytes / (1024 * 1024);
    } else {
        // The label text may fill its 128 bytes without a NUL.
        fprintf(stderr, "\t%.128s\n", label->dkl_asciilabel);
    }
    fprintf(stderr, "\t%lld Mb\n", mb);
    for (int i = 0; i < NDKMAP; i++) {
        long long nblk = dk->bare && i == 0 ? dk->bytes / 512 : label->dkl_map[i].dkl_nblk;
        if (nblk != 0)
            fprintf(stderr, "\t%d\t%lld Mb\n", i, nblk / 2048);
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
        if (do_cp(count, words) != 0 && errno != 0)
            perror("cp");
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
        printf("%s(%d) # ", path, part);
        fflush(stdout);
        // A read error ends the session as end of input does: the buffer
        // still holds the previous line, which must not run again.
        if (fgets(line, sizeof line, stdin) == nullptr || feof(stdin) || ferror(stdin))
            return;
        size_t len = strlen(line);
        if (len > 0)
            line[len - 1] = '\0';

        bool bang = line[0] == '!';
        int count = 0;
        for (char* w = strtok(bang ? line + 1 : line, " \t");
             w != nullptr && count < MAX_WORDS - 1; w = strtok(nullptr, " \t"))
            words[count++] = w;
        words[count] = nullptr;

        if (count == 0)
            continue;
        if (bang) {
            fputs("sorry '!' feature not supported on this system\n", stderr);
            continue;
        }
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
        print_summary(dk);
        disk_close(dk);
        return 0;
    }

    fsys* fs = fs_mount(dk, part, 0);
    if (fs == nullptr) {
        show_error("mount fs");
        disk_close(dk);
        return 0;
    }
    if (fs_debug && !fs->bare)
        dump_label(stderr, fs->label);
    if (fs_debug)
        dump_super(stderr, fs->sb);

    command_loop(path, part);

    fs_umount(fs);
    disk_close(dk);
    return 0;
}
