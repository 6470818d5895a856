// The command table and the small commands that need no file of their own.
#include "shell/commands.h"

#include "shell/shell.h"

#include <cstdio>
#include <cstring>
#include <iterator>
#include <unistd.h>

int fs_debug = 0;

namespace {

// The usage line of the command named `name`; 1, the result of a
// command used wrongly.
int usage_of(const char* name)
{
    print_usage(*find_command(name));
    return 1;
}

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
    char cwd[CWD_SIZE];
    if (fs_getcwd(cwd) == nullptr)
        cwd[0] = '\0';
    fprintf(stderr, "%s\n", cwd);
    return 0;
}

int cmd_lcd(int count, char** words)
{
    if (count < 2)
        return usage_of("lcd");
    if (chdir(words[1]) == -1) {
        perror(words[1]);
        return 1;
    }
    return 0;
}

int cmd_cd(int count, char** words)
{
    if (count < 2)
        return usage_of("cd");
    if (fs_chdir(words[1]) == -1) {
        show_error(words[1]);
        return 1;
    }
    return 0;
}

int cmd_more(int count, char** words)
{
    if (count < 2)
        return usage_of("more");
    return do_more(words[1]);
}

int cmd_stat(int count, char** words)
{
    if (count < 2)
        return usage_of("stat");
    return do_stat(words[1]);
}

int cmd_bye(int, char**)
{
    return 0;
}

void print_help()
{
    for (unsigned i = 0; const command* c = command_at(i); i++)
        fprintf(stderr, "%-20s %s\n", c->usage, c->help);
}

int cmd_help(int, char**)
{
    print_help();
    return 0;
}

// In the order help lists them; the aliases, which help does not list,
// come last.
constexpr command commands[] = {
    {"ls", cmd_ls, "use", "ls [-l]", "list the working directory; any argument gives the long form",
     arg_kind::image, 2, false},
    {"cd", cmd_cd, "use", "cd path", "change the working directory on the image", arg_kind::image, 6, false},
    {"pwd", cmd_pwd, "use", "pwd", "show the working directory on the image", arg_kind::none, 4, false},
    {"more", cmd_more, "use", "more file", "page a file of the image through less", arg_kind::image, 8, false},
    {"stat", cmd_stat, "use", "stat path", "show the status and the inode of a path on the image",
     arg_kind::image, 0, false},
    {"cp", do_cp, "Use", "cp [-rpv] fs-file unix-file",
     "copy out to the host (-r a tree, -v name each file, -p modes)", arg_kind::image_then_host, 7, false},
    {"lcd", cmd_lcd, "use", "lcd path", "change the host directory that copies land in", arg_kind::host, 5, false},
    {"debug", cmd_debug, "use", "debug", "toggle the debug flag", arg_kind::none, 1, false},
    {"help", cmd_help, "use", "help, ?", "show this list", arg_kind::none, 0, false},
    {"bye", cmd_bye, "use", "bye", "leave (so does end of input)", arg_kind::none, 3, true},
    {"?", cmd_help, "use", "?", nullptr, arg_kind::none, 0, false},
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
    return c->handler(count, words) != 0 ? 1 : 0;
}
