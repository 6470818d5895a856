// The commands of the prompt, in one table: each row says how the command
// is named, carried out, used, helped, completed and listed.  Help, Tab
// completion, the list after "duh?" and every usage line read this table.
#pragma once

// What a command's operands name, for Tab completion.
enum class arg_kind {
    none,
    image,            // paths on the image
    host,             // host paths
    image_then_host,  // the first operand on the image, the later ones on the host
};

struct command {
    const char* name;
    // Carries out the line's words (words[0] is the name); 0 when it
    // succeeded, 1 when it failed (and said why).
    int (*handler)(int count, char** words);
    int operands;           // at least this many, else its usage line
    const char* use_word;   // how its usage line begins: "use" or "Use"
    const char* usage;      // its synopsis, as help and the usage line show it
    const char* help;       // what it does; null: an alias, not in the help
    arg_kind args;
    int duh_place;          // its place in the list after "duh?"; 0: not listed
    bool ends_session;
};

// The row named `word` exactly, or null.
const command* find_command(const char* word);
// Row `index` in help order, or null past the last.
const command* command_at(unsigned index);

// Writes the usage line of `c` ("use: cd path").
void print_usage(const command& c);

// Carries out one line's words: 0 or 1 as the handler said (1 for a word
// no row names, after the list of commands); *ends when the session ends.
int run_command(int count, char** words, bool* ends);

// Set by -d, toggled by `debug`.
extern int fs_debug;
