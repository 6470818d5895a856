#include "shell/prompt/words.h"

#include <cstdlib>

static bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

// The whole line is read left to right once; the text of the words is
// written back over it at `out`, which never passes the read position,
// because quotes and escaping backslashes only ever shorten it.
int split_words(char* line, char** words, int max_words)
{
    int count = 0;
    if (max_words < 1)
        return 0;
    char* in = line;
    char* out = line;
    while (*in != '\0' && count < max_words - 1) {
        while (is_blank(*in))
            in++;
        if (*in == '\0')
            break;
        words[count++] = out;
        bool quoted = false;
        while (*in != '\0' && (quoted || !is_blank(*in))) {
            if (*in == '"') {
                quoted = !quoted;
                in++;
            } else if (*in == '\\' && in[1] != '\0') {
                *out++ = in[1];
                in += 2;
            } else {
                *out++ = *in++;
            }
        }
        // The separator (or the end) is read before it is overwritten.
        bool at_end = *in == '\0';
        *out++ = '\0';
        if (at_end)
            break;
        in++;
    }
    words[count] = nullptr;
    return count;
}

std::string host_word(const char* word)
{
    const char* home = getenv("HOME");
    if (word[0] != '~' || (word[1] != '\0' && word[1] != '/') || home == nullptr || home[0] == '\0')
        return word;
    return std::string(home) + (word + 1);
}
