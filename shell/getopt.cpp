#include "shell/getopt.h"

#include <cstdio>
#include <cstring>

namespace sh_opt {

int opterr = 1;
int optind = 1;
int optpos = 1;
int optopt = 0;
char* optarg = nullptr;

void getopt_reset()
{
    opterr = 1;
    optind = 1;
    optpos = 1;
}

// Writes "<argv0>: <what> -- <ch>\n" to standard error when allowed.
static void complain(char* const argv[], const char* what, int ch)
{
    if (!opterr)
        return;
    fputs(argv[0] ? argv[0] : "", stderr);
    fputs(what, stderr);
    fputc(ch, stderr);
    fputc('\n', stderr);
}

// Steps past the option character just read: to the next word when it
// was the last of its word.
static void step(const char* word)
{
    optpos++;
    if (word[optpos] == '\0') {
        optind++;
        optpos = 1;
    }
}

// The argument of option `ch`: the rest of its word, or the next word.
static int take_argument(int argc, char* const argv[], char* word, int ch)
{
    char* rest = &word[optpos + 1];
    optind++;
    optpos = 1;
    if (*rest != '\0') {
        optarg = rest;
        return ch;
    }
    if (optind >= argc || argv[optind] == nullptr) {
        complain(argv, ": option requires an argument -- ", ch);
        return '?';
    }
    optarg = argv[optind];
    optind++;
    return ch;
}

int getopt(int argc, char* const argv[], const char* optstring)
{
    if (optpos == 1) {
        if (optind >= argc || argv[optind] == nullptr)
            return -1;
        const char* word = argv[optind];
        if (word[0] != '-' || word[1] == '\0')
            return -1;
        if (strcmp(word, "--") == 0) {
            optind++;
            return -1;
        }
    }
    // A caller that changed the state by hand can leave optind past the
    // words or optpos past the end of its word: the options end there.
    char* word = optind >= 0 && optind < argc ? argv[optind] : nullptr;
    if (word == nullptr || optpos < 1 || static_cast<size_t>(optpos) >= strlen(word)) {
        optpos = 1;
        return -1;
    }

    int ch = static_cast<unsigned char>(word[optpos]);
    optopt = ch;
    const char* found = strchr(optstring, ch);
    if (ch == ':' || found == nullptr) {
        complain(argv, ": illegal option -- ", ch);
        step(word);
        return '?';
    }
    if (found[1] == ':')
        return take_argument(argc, argv, word, ch);
    step(word);
    optarg = nullptr;
    return ch;
}

}  // namespace sh_opt
