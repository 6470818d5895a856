#include "shell/help.h"

#include <cstdio>
#include <iterator>

namespace {

struct HelpLine {
    const char* name;
    const char* usage;
    const char* text;
};

constexpr HelpLine help_lines[] = {
    {"ls", "ls [-l]", "list the working directory; any argument gives the long form"},
    {"cd", "cd path", "change the working directory on the image"},
    {"pwd", "pwd", "show the working directory on the image"},
    {"more", "more file", "page a file of the image through less"},
    {"cp", "cp [-rpv] src dst", "copy out to the host (-r a tree, -v name each file, -p modes)"},
    {"lcd", "lcd path", "change the host directory that copies land in"},
    {"debug", "debug", "toggle the debug flag"},
    {"help", "help, ?", "show this list"},
    {"bye", "bye", "leave (so does end of input)"},
};

}  // namespace

const char* command_word(unsigned index)
{
    return index < std::size(help_lines) ? help_lines[index].name : nullptr;
}

void print_help()
{
    for (const HelpLine& line : help_lines)
        fprintf(stderr, "%-20s %s\n", line.usage, line.text);
}
