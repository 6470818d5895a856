// Text from the disk on its way to the user: the one rule by which a
// terminal is shown it, for the library's dumps and the shell alike.
#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "fslib/fslib.h"

namespace {

// Length of the valid UTF-8 sequence at `s` (at most `left` bytes), or 0
// when the bytes there do not form one: a stray continuation byte, a cut
// sequence, an overlong form, a surrogate or a value past U+10FFFF.
size_t utf8_length(const unsigned char* s, size_t left)
{
    unsigned char c = s[0];
    size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
    if (c < 0xC2 || c > 0xF4 || len > left)
        return 0;
    for (size_t i = 1; i < len; i++)
        if ((s[i] & 0xC0) != 0x80)
            return 0;
    if ((c == 0xE0 && s[1] < 0xA0) || (c == 0xED && s[1] > 0x9F)
        || (c == 0xF0 && s[1] < 0x90) || (c == 0xF4 && s[1] > 0x8F))
        return 0;
    return len;
}

}  // namespace

size_t fs_textchar(const char* text, size_t left, bool* mark)
{
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    size_t len = s[0] < 0x80 ? 1 : utf8_length(s, left);
    // U+0080..U+009F are control codes too: some terminals obey them.
    *mark = len == 1 ? (s[0] < 0x20 || s[0] == 0x7F) : len == 0 || (s[0] == 0xC2 && s[1] < 0xA0);
    return len == 0 ? 1 : len;
}

bool fs_isterminal(int fd)
{
    int saved = errno;
    bool terminal = isatty(fd) != 0;
    errno = saved;
    return terminal;
}

void fs_puttext(FILE* stream, const char* text, size_t most)
{
    size_t left = strnlen(text, most);
    if (!fs_isterminal(fileno(stream))) {
        std::fwrite(text, 1, left, stream);
        return;
    }
    while (left > 0) {
        bool mark;
        size_t len = fs_textchar(text, left, &mark);
        if (mark)
            std::fputc('?', stream);
        else
            std::fwrite(text, 1, len, stream);
        text += len;
        left -= len;
    }
}
