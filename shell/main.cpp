// sunufs: open a Sun-labelled disk or disk image, print its partitions or
// mount one UFS partition read-only and browse it at a prompt.
#include "shell/commands.h"
#include "shell/getopt.h"
#include "shell/prompt/lineedit.h"
#include "shell/shell.h"
#include "shell/prompt/words.h"
#include "shell/prompt/console.h"
#include "shell/scan.h"
#include "shell/summary.h"
#include "shell/mount/mount.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <cwchar>
#include <unistd.h>

// The program's name in messages: argv[0] after its last backslash.
static const char* progname = "sunufs";

// The way back in: -s scans, -b mounts from a superblock copy, -o opens
// the file system at a sector of the caller's choice (-1: none chosen).
static bool opt_scan = false;
static bool opt_copy = false;
static std::vector<const char*> opt_commands;   // -c, in order: run these commands
static bool opt_nolog = false;   // -n: the file system as it lies, without its log
static long long opt_start = -1;
// -m: the map of a rescued image, whose unreadable areas are never data.
static const char* opt_map = nullptr;
// -M: the partition served to the host at this directory.
static const char* opt_mount = nullptr;

// Exit statuses of the program.
static constexpr int EXIT_FAILED = 1;  // the disk, the mount or a command failed
static constexpr int EXIT_USAGE = 2;   // an unknown option or no file operand

[[noreturn]] static void usage(int status)
{
    fprintf(stderr, "Use: %s [-hdbnsV] [-m map] [-p part | -o sector] [-c command | -M dir] file\n", progname);
    exit(status);
}

static void set_progname(const char* argv0)
{
    if (argv0 == nullptr)
        return;
    const char* cut = strrchr(argv0, '\\');
    progname = cut ? cut + 1 : argv0;
}

// -p takes a letter a..p or a number; a word that is neither reads as 0.
static int parse_partition(const char* text)
{
    if (text[0] >= 'a' && text[0] <= 'p')
        return text[0] - 'a';
    long value = strtol(text, nullptr, 10);
    if (value < INT_MIN)
        return INT_MIN;
    if (value > INT_MAX)
        return INT_MAX;
    return static_cast<int>(value);
}

// -o takes a sector number, decimal digits only.
static long long parse_sector(const char* text)
{
    char* end = nullptr;
    errno = 0;
    unsigned long long value = strtoull(text, &end, 10);
    if (text[0] < '0' || text[0] > '9' || *end != '\0' || errno != 0 || value > LLONG_MAX)
        usage(EXIT_USAGE);
    return static_cast<long long>(value);
}

// Reads the rescue map before the disk is used; null (said) when it
// cannot be read or parsed.
static fs_map* load_map(const char* map)
{
    unsigned line = 0;
    const char* why = nullptr;
    fs_map* m = fs_map_open(map, &line, &why);
    if (m == nullptr && fs_errno == FSE_MAPLINE && line == 0)
        fprintf(stderr, "map: %s: %s\n", map, why);
    else if (m == nullptr && fs_errno == FSE_MAPLINE)
        fprintf(stderr, "map: %s: line %u: %s\n", map, line, why);
    else if (m == nullptr && fs_errno == FSE_HOST)
        fprintf(stderr, "map: %s: %s\n", map, strerror(fs_syserr));
    else if (m == nullptr)
        show_error("map");
    return m;
}

// Opens the disk with the choices of the command line; null (said) when
// it cannot be opened.
static disk* open_disk(const char* path, const fs_map* map, int part)
{
    disk_choices choices{map, opt_start >= 0, opt_start >= 0 ? static_cast<uint64_t>(opt_start) : 0};
    disk_note note;
    disk* dk = disk_open_with(path, &choices, &note);
    if (dk == nullptr && part >= NDKMAP && part < NSLOT)   // no label to name it
        fprintf(stderr, "%s: invalid partition (%d)\n", progname, part);
    if (dk == nullptr && fs_errno == FSE_HOST) {
        errno = fs_syserr;
        perror("open disk");
    } else if (dk == nullptr && fs_errno == FSE_CONTAINER) {
        fprintf(stderr, "open disk: %s: %s\n", path, note.text);
    } else if (dk == nullptr) {
        show_error("open disk");
    }
    return dk;
}

static constexpr int LINE_SIZE = 2048;
static constexpr int MAX_WORDS = 1024;

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
        if (words[0][0] == '#')
            continue;
        sh_interrupted = 0;
        bool ends = false;
        failed = run_command(count, words, &ends) != 0 || failed;
        if (ends)
            return failed;
    }
}

// Runs the commands of -c in order, with no prompt around them, so that
// what they write on standard output is all there is; true when any
// failed.  "bye" ends the run there, and so does Ctrl-C.
static bool run_given(const std::vector<const char*>& texts)
{
    bool failed = false;
    for (const char* text : texts) {
        std::vector<char> line(text, text + strlen(text) + 1);
        char* words[MAX_WORDS];
        int count = split_words(line.data(), words, MAX_WORDS);
        if (count == 0 || words[0][0] == '#')
            continue;
        sh_interrupted = 0;
        bool ends = false;
        failed = run_command(count, words, &ends) != 0 || failed;
        if (ends || sh_interrupted)
            break;
    }
    return failed;
}

// Parses the command line; returns the partition number (-1: none).
// Ends the program with the usage line when it asks for it or is wrong.
static int parse_options(int argc, char** argv)
{
    int part = -1;
    bool part_given = false;
    int ch;
    while ((ch = sh_opt::getopt(argc, argv, "hdnp:Vbso:m:c:M:")) != -1) {
        switch (ch) {
        case 'c':
            opt_commands.push_back(sh_opt::optarg);
            break;
        case 'b':
            opt_copy = true;
            break;
        case 'n':
            opt_nolog = true;
            break;
        case 'm':
            opt_map = sh_opt::optarg;
            break;
        case 'M':
            opt_mount = sh_opt::optarg;
            break;
        case 's':
            opt_scan = true;
            break;
        case 'o':
            opt_start = parse_sector(sh_opt::optarg);
            break;
        case 'd':
            fs_debug = 1;
            break;
        case 'p':
            part_given = true;
            part = parse_partition(sh_opt::optarg);
            if (part < 0 || part >= NSLOT)
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
    if (opt_start >= 0 && part_given && !opt_scan) {
        fprintf(stderr, "%s: -o and -p cannot be used together\n", progname);
        usage(EXIT_USAGE);
    }
    // A mount serves one partition, chosen, and runs no commands.
    if (opt_mount != nullptr && !opt_scan && (!opt_commands.empty() || (opt_start < 0 && !part_given)))
        usage(EXIT_USAGE);
    return opt_start >= 0 ? 0 : part;
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
    if (opt_mount != nullptr && !mount_built())
        return mount_serve({path, "", opt_mount});
    fs_map* map = nullptr;
    if (opt_map != nullptr && (map = load_map(opt_map)) == nullptr)
        return EXIT_FAILED;
    if (opt_scan) {
        int status = run_scan(path, map);
        fs_map_close(map);
        return status;
    }

    disk* dk = open_disk(path, map, part);
    if (dk == nullptr) {
        hint_open_failure();
        fs_map_close(map);
        return EXIT_FAILED;
    }
    if (map != nullptr)
        report_map(map, dk->bytes);
    report_label_rescue(dk);
    protect_disk(dk);
    // Numbers past what this disk's label can name are told once the
    // label is known (a GPT names up to 128).
    if (part >= dk->nslots && part < NSLOT)
        fprintf(stderr, "%s: invalid partition (%d)\n", progname, part);
    if (part == -1) {
        print_summary(dk);
        disk_close(dk);
        fs_map_close(map);
        return 0;
    }

    fs_rescue used;
    fsys* fs = fs_mount_with(dk, part, (opt_copy ? FS_MNT_SBCOPY : 0) | (opt_nolog ? FS_MNT_NOLOG : 0), &used);
    if (fs == nullptr) {
        show_error("mount fs");
        hint_mount_failure(dk, part, opt_copy);
        disk_close(dk);
        fs_map_close(map);
        return EXIT_FAILED;
    }
    report_mount_notes(fs, used);
    if (fs_debug)
        report_container(stderr, dk->format, dk->bytes);
    if (fs_debug && !fs->bare && dk->scheme == SCHEME_SUN)
        dump_label(stderr, fs->label);
    if (fs_debug) {
        dump_super(stderr, fs->sb);
        dump_log(stderr, fs);
    }

    if (opt_mount != nullptr) {
        std::string part_text = opt_start >= 0 ? "at sector " + std::to_string(opt_start) : std::to_string(part);
        int status = mount_serve({path, part_text.c_str(), opt_mount});
        fs_umount(fs);
        disk_close(dk);
        fs_map_close(map);
        return status;
    }

    catch_interrupts(true);
    bool failed = false;
    if (!opt_commands.empty()) {
        failed = run_given(opt_commands);
    } else {
        failed = command_loop(path, part);
        end_command_lines();
    }

    fs_umount(fs);
    disk_close(dk);
    fs_map_close(map);
    return failed ? EXIT_FAILED : 0;
}
