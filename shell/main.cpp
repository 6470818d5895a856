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
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <unistd.h>

// The program's name in messages: argv[0] after its last backslash.
static const char* progname = "sunufs";

// Set by -d, toggled by `debug`; read at start-up for the dumps.
static int fs_debug = 0;

// Exit statuses of the program.
static constexpr int EXIT_FAILED = 1;  // the disk, the mount or a command failed
static constexpr int EXIT_USAGE = 2;   // an unknown option or no file operand

[[noreturn]] static void usage(int status)
{
    fprintf(stderr, "Use: %s [-hd] [-p part] file\n", progname);
    exit(status);
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
        fputc('\t', stderr);
        fs_puttext(stderr, label->dkl_asciilabel, sizeof label->dkl_asciilabel);
        fputc('\n', stderr);
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

// The commands of the prompt.  Each handler gets the words of its line
// (argv[0] is the command word) and returns 0 when it succeeded, non-zero
// when it reported a failure; the session's exit status is built from that.
static int cmd_ls(int argc, char** argv)
{
    unsigned before = sh_reported;
    do_ls(".", argc > 1 ? argv[1] : nullptr);
    return sh_reported != before ? 1 : 0;
}

static int cmd_debug(int, char**)
{
    fs_debug = !fs_debug;
    fputs(fs_debug ? "debug on\n" : "debug off\n", stderr);
    return 0;
}

static int cmd_pwd(int, char**)
{
    char cwd[MAXPATHLEN_FS];
    if (fs_getcwd(cwd) == nullptr)
        cwd[0] = '\0';
    fprintf(stderr, "%s\n", cwd);
    return 0;
}

static int cmd_lcd(int argc, char** argv)
{
    if (argc < 2) {
        fputs("use: lcd path\n", stderr);
        return 1;
    }
    if (chdir(argv[1]) == -1) {
        perror(argv[1]);
        return 1;
    }
    return 0;
}

static int cmd_cd(int argc, char** argv)
{
    if (argc < 2) {
        fputs("use: cd path\n", stderr);
        return 1;
    }
    if (fs_chdir(argv[1]) == -1) {
        show_error(argv[1]);
        return 1;
    }
    return 0;
}

static int cmd_more(int argc, char** argv)
{
    if (argc < 2) {
        fputs("use: more file\n", stderr);
        return 1;
    }
    unsigned before = sh_reported;
    if (do_more(argv[1]) != 0) {
        show_error(argv[1]);
        return 1;
    }
    return sh_reported != before ? 1 : 0;
}

static int cmd_cp(int argc, char** argv)
{
    int result = do_cp(argc, argv);
    progress_clear();
    // The codes of a command that stopped before copying leave the host's
    // reason in errno; a walk that ran has named each failure already.
    if (result != 0 && result != CP_FAILED && errno != 0)
        perror("cp");
    return result != 0 ? 1 : 0;
}

static int cmd_bye(int, char**)
{
    return 0;
}

static int cmd_help(int, char**)
{
    print_help();
    return 0;
}

struct command {
    const char* name;
    int (*handler)(int argc, char** argv);
    bool ends_session;
    bool listed;   // named in the list that follows "duh?"
};

// In the order the list of commands is shown.
static constexpr command commands[] = {
    {"debug", cmd_debug, false, true}, {"ls", cmd_ls, false, true},
    {"bye", cmd_bye, true, true},      {"pwd", cmd_pwd, false, true},
    {"lcd", cmd_lcd, false, true},     {"cd", cmd_cd, false, true},
    {"cp", cmd_cp, false, true},       {"more", cmd_more, false, true},
    {"help", cmd_help, false, false},  {"?", cmd_help, false, false},
};

static void list_commands()
{
    fputs("duh?\n", stderr);
    for (const command& c : commands) {
        if (c.listed)
            fprintf(stderr, "%s ", c.name);
    }
    fputs("!cmd\n", stderr);
}

// The result of one command line: whether it failed and whether the
// session ends with it.
struct outcome {
    bool failed;
    bool ends;
};

static outcome run_command(int count, char** words)
{
    for (const command& c : commands) {
        if (strcmp(words[0], c.name) == 0)
            return {c.handler(count, words) != 0, c.ends_session};
    }
    list_commands();
    return {true, false};
}

// Reads and runs command lines until "bye" or the end of input.  Returns
// true when any command failed.
static bool command_loop(const char* path, int part)
{
    char line[LINE_SIZE];
    char* words[MAX_WORDS];
    bool failed = false;
    for (;;) {
        if (!read_command_line(path, part, line, sizeof line))
            return failed;

        bool bang = line[0] == '!';
        int count = split_words(bang ? line + 1 : line, words, MAX_WORDS);

        if (count == 0)
            continue;
        if (bang) {
            fputs("sorry '!' feature not supported on this system\n", stderr);
            continue;
        }
        sh_interrupted = 0;
        outcome o = run_command(count, words);
        failed = failed || o.failed;
        if (o.ends)
            return failed;
    }
}

// Parses the command line; returns the partition number (-1: none).
// Ends the program with the usage line when it asks for it or is wrong.
static int parse_options(int argc, char** argv)
{
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
        case 'h':
            usage(0);
        case 'V':
            fprintf(stderr, "sunufs %s\n", SUNUFS_VERSION);
            usage(0);
        default:
            usage(EXIT_USAGE);
        }
    }
    if (sh_opt::optind >= argc || argv[sh_opt::optind] == nullptr)
        usage(EXIT_USAGE);
    return part;
}

int main(int argc, char** argv)
{
    set_progname(argc > 0 ? argv[0] : nullptr);
    // Byte orientation now: on a stream without one, perror tries another
    // route that can change errno, and `cp` reports errno after its own
    // messages.
    fwide(stderr, -1);
    // A host file-size limit is a write error to report, not the end of
    // the session.
    signal(SIGXFSZ, SIG_IGN);

    int part = parse_options(argc, argv);
    const char* path = argv[sh_opt::optind];

    disk* dk = disk_open(path);
    if (dk == nullptr) {
        show_error("open disk");
        return EXIT_FAILED;
    }
    protect_disk(dk);
    if (part == -1) {
        print_summary(dk);
        disk_close(dk);
        return 0;
    }

    fsys* fs = fs_mount(dk, part, 0);
    if (fs == nullptr) {
        show_error("mount fs");
        disk_close(dk);
        return EXIT_FAILED;
    }
    if (fs_debug && !fs->bare)
        dump_label(stderr, fs->label);
    if (fs_debug)
        dump_super(stderr, fs->sb);

    catch_interrupts(true);
    bool failed = command_loop(path, part);
    end_command_lines();

    fs_umount(fs);
    disk_close(dk);
    return failed ? EXIT_FAILED : 0;
}
