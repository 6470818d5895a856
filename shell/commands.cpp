// The command table and the small commands that need no file of their own.
#include "shell/commands.h"

#include "shell/prompt/words.h"
#include "shell/shell.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <unistd.h>

int fs_debug = 0;

namespace {

int cmd_ls(int count, char** words)
{
    return do_ls(".", count > 1 ? words[1] : nullptr);
}

int cmd_debug(int, char**)
{
    fs_debug = !fs_debug;
    fputs(fs_debug ? "debug on\n" : "debug off\n", stderr);
    return 0;
}

int cmd_pwd(int, char**)
{
    char cwd[MAXPATHLEN_FS];
    if (fs_getcwd(cwd) == nullptr)
        cwd[0] = '\0';
    fprintf(stderr, "%s\n", cwd);
    return 0;
}

int cmd_lcd(int, char** words)
{
    if (chdir(host_word(words[1]).c_str()) == -1) {
        perror(words[1]);
        return 1;
    }
    return 0;
}

int cmd_cd(int, char** words)
{
    if (fs_chdir(words[1]) == -1) {
        show_error(words[1]);
        return 1;
    }
    return 0;
}

int cmd_more(int, char** words)
{
    return do_more(words[1]);
}

int cmd_stat(int, char** words)
{
    return do_stat(words[1]);
}

int cmd_bye(int, char**)
{
    return 0;
}

// Every command, its synopsis in a column as wide as the widest.
void print_help()
{
    int width = 0;
    for (unsigned i = 0; const command* c = command_at(i); i++)
        width = std::max(width, static_cast<int>(strlen(c->usage)));
    for (unsigned i = 0; const command* c = command_at(i); i++)
        fprintf(stderr, "%-*s  %s\n", width, c->usage, c->help);
}

// help: every command; help CMD: that command's usage line and what it
// does (an alias's are those of the command it stands for).
int cmd_help(int count, char** words)
{
    if (count < 2) {
        print_help();
        return 0;
    }
    const command* c = find_command(words[1]);
    for (unsigned i = 0; c != nullptr && c->help == nullptr; i++) {
        const command* row = command_at(i);
        if (row == nullptr || row->handler == c->handler)
            c = row;
    }
    if (c == nullptr) {
        fprintf(stderr, "%s: no such command\n", words[1]);
        return 1;
    }
    print_usage(*c);
    fprintf(stderr, "%s\n", c->help);
    return 0;
}

// In the order help lists them; the aliases, which help does not list,
// come last.
constexpr command commands[] = {
    {"ls", cmd_ls, 0, "use", "ls [-l]", "list the working directory; any argument gives the long form",
     arg_kind::image, 2, false},
    {"cd", cmd_cd, 1, "use", "cd path", "change the working directory on the image", arg_kind::image, 6, false},
    {"pwd", cmd_pwd, 0, "use", "pwd", "show the working directory on the image", arg_kind::none, 4, false},
    {"more", cmd_more, 1, "use", "more file", "page a file of the image through less", arg_kind::image, 8, false},
    {"stat", cmd_stat, 1, "use", "stat path", "show the status and the inode of a path on the image",
     arg_kind::image, 0, false},
    // cp reads its own words: options first.
    {"cp", do_cp, 0, "Use", "cp [-rpv] fs-file unix-file",
     "copy out to the host (-r a tree, -v name each file, -p modes)", arg_kind::image_then_host, 7, false},
    {"lost", do_lost, 0, "use", "lost [-p] [dir]",
     "list what no path reaches; with a host directory, copy it there (-p modes)", arg_kind::host, 0, false},
    {"bad", do_bad, 0, "use", "bad [path]",
     "name what lies in unreadable sectors: files with their lost bytes, directories, inodes",
     arg_kind::image, 0, false},
    {"tar", do_tar, 0, "use", "tar -c [-v] [-z|-j|-J] -f archive path...",
     "write image trees to a pax archive (\"-\": standard output)", arg_kind::image, 0, false},
    {"body", do_body, 0, "use", "body [-5] host-file [path]",
     "write a body file of the tree at path (-5 with MD5 sums)", arg_kind::host, 0, false},
    {"lcd", cmd_lcd, 1, "use", "lcd path", "change the host directory that copies land in", arg_kind::host, 5,
     false},
    {"debug", cmd_debug, 0, "use", "debug", "toggle the debug flag", arg_kind::none, 1, false},
    {"help", cmd_help, 0, "use", "help [command], ?", "show this list, or how to use one command", arg_kind::none, 0, false},
    {"bye", cmd_bye, 0, "use", "bye", "leave (so does end of input)", arg_kind::none, 3, true},
    {"?", cmd_help, 0, "use", "?", nullptr, arg_kind::none, 0, false},
};

// "duh?", then the listed commands in their places.
void list_commands()
{
    fputs("duh?\n", stderr);
    for (int place = 1; place <= static_cast<int>(std::size(commands)); place++) {
        for (const command& c : commands) {
            if (c.duh_place == place)
                fprintf(stderr, "%s ", c.name);
        }
    }
    fputs("!cmd\n", stderr);
}

}  // namespace

const command* find_command(const char* word)
{
    for (const command& c : commands) {
        if (strcmp(word, c.name) == 0)
            return &c;
    }
    return nullptr;
}

const command* command_at(unsigned index)
{
    return index < std::size(commands) && commands[index].help != nullptr ? &commands[index] : nullptr;
}

void print_usage(const command& c)
{
    fprintf(stderr, "%s: %s\n", c.use_word, c.usage);
}

int run_command(int count, char** words, bool* ends)
{
    const command* c = find_command(words[0]);
    if (c == nullptr) {
        list_commands();
        return 1;
    }
    *ends = c->ends_session;
    if (count - 1 < c->operands) {
        print_usage(*c);
        return 1;
    }
    return c->handler(count, words) != 0 ? 1 : 0;
}
