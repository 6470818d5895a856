// The map of a rescued image: which of its bytes the rescue could not
// read.  The image holds zeros (or a marker) there, never data, so every
// device read that touches such a byte fails as a read error of the disk
// would, and the data is never handed out as a file's content.
//
// The map is text: '#' comment lines; one status line (current position,
// status, and an optional pass); then one line per area, "pos size
// status", the numbers as the rescue tool writes and reads them (0x...
// hexadecimal, a leading 0 octal, else decimal), the status one of
// "?*/-+".  Only '+' (finished) areas were read.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fslib/fslib.h"
#include "fslib/internal.h"

namespace {

struct area {
    uint64_t from;
    uint64_t to;   // exclusive
};

// The unreadable areas, in order, touching ones joined.
std::vector<area> bad;

// Longest map line read whole; a longer one is an error.
constexpr size_t MAP_LINE_MAX = 1024;

// Value of digit `c` in base `base`, or -1.
int digit_value(char c, unsigned base)
{
    int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    return v >= 0 && static_cast<unsigned>(v) < base ? v : -1;
}

// A number in hexadecimal (0x...), octal (a leading 0) or decimal, one
// prefix at most; false when `word` is not one or does not fit 64 bits.
bool map_number(const char* word, uint64_t* out)
{
    unsigned base = 10;
    const char* p = word;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    } else if (p[0] == '0') {
        base = 8;
    }
    if (*p == '\0')
        return false;
    uint64_t v = 0;
    for (; *p != '\0'; p++) {
        int d = digit_value(*p, base);
        if (d < 0 || v > (UINT64_MAX - static_cast<unsigned>(d)) / base)
            return false;
        v = v * base + static_cast<unsigned>(d);
    }
    *out = v;
    return true;
}

// Splits `line` into at most `most` blank-separated words; the count, or
// most + 1 when there are more.
int map_words(char* line, char** words, int most)
{
    int n = 0;
    char* save = nullptr;
    for (char* w = strtok_r(line, " \t\r\n", &save); w; w = strtok_r(nullptr, " \t\r\n", &save)) {
        if (n == most)
            return most + 1;
        words[n++] = w;
    }
    return n;
}

// One area line; null, or the reason it cannot be read.
const char* map_area(char** w, int n, uint64_t* last_end)
{
    uint64_t pos;
    uint64_t size;
    if (n != 3)
        return "expected position, size and status";
    if (!map_number(w[0], &pos) || !map_number(w[1], &size))
        return "not a number";
    if (std::strlen(w[2]) != 1 || std::strchr("?*/-+", w[2][0]) == nullptr)
        return "unknown status";
    if (pos < *last_end || size > UINT64_MAX - pos)
        return "areas out of order or overlapping";
    *last_end = pos + size;
    if (w[2][0] == '+' || size == 0)
        return nullptr;
    if (!bad.empty() && bad.back().to == pos)
        bad.back().to = pos + size;
    else
        bad.push_back({pos, pos + size});
    return nullptr;
}

// The status line: position, status and an optional pass.
const char* map_status(char** w, int n)
{
    uint64_t pos;
    if (n < 2 || n > 3 || !map_number(w[0], &pos))
        return "expected the current position and status";
    if (std::strlen(w[1]) != 1 || std::strchr("?*/-FG+", w[1][0]) == nullptr)
        return "unknown status";
    return nullptr;
}

// Reads one line of at most MAP_LINE_MAX bytes into `line`, without its
// newline; false at the end of the map.  *why says what is wrong with it.
bool map_line(FILE* f, char* line, const char** why)
{
    size_t n = 0;
    int c;
    *why = nullptr;
    while ((c = std::getc(f)) != EOF && c != '\n') {
        if (c == '\0' && *why == nullptr)
            *why = "NUL byte";
        if (n == MAP_LINE_MAX) {
            *why = "line too long";
            break;
        }
        line[n++] = static_cast<char>(c);
    }
    line[n] = '\0';
    return c != EOF || n > 0;
}

// Reads the map's lines; null, or the reason with *line_no (0 when the
// reason is the map as a whole).
const char* map_read(FILE* f, unsigned* line_no)
{
    char line[MAP_LINE_MAX + 1];
    bool status_seen = false;
    uint64_t last_end = 0;
    *line_no = 0;
    const char* bad_line = nullptr;
    while (map_line(f, line, &bad_line)) {
        ++*line_no;
        if (bad_line != nullptr)
            return bad_line;
        char* words[4];
        int n = map_words(line, words, 3);
        if (n == 0 || words[0][0] == '#')
            continue;
        const char* why = status_seen ? map_area(words, n, &last_end) : map_status(words, n);
        if (why != nullptr)
            return why;
        status_seen = true;
    }
    if (!status_seen) {
        *line_no = 0;
        return "no status line";
    }
    return nullptr;
}

}  // namespace

int fs_map_load(const char* path, unsigned* line_no, const char** why)
{
    *why = nullptr;
    *line_no = 0;
    bad.clear();
    FILE* f = std::fopen(path, "r");
    if (f == nullptr)
        return -1;
    *why = map_read(f, line_no);
    bool failed = std::ferror(f) != 0;
    int err = errno;
    std::fclose(f);
    if (failed && *why == nullptr) {
        errno = err;
        return -1;
    }
    if (*why != nullptr) {
        bad.clear();
        return -2;
    }
    return 0;
}

void fs_map_totals(uint64_t* bytes, unsigned* areas)
{
    *bytes = 0;
    for (const area& a : bad)
        *bytes += a.to - a.from;
    *areas = static_cast<unsigned>(bad.size());
}

namespace fsl {

bool map_unreadable(int64_t offset, uint32_t count)
{
    if (bad.empty() || offset < 0 || count == 0)
        return false;
    auto from = static_cast<uint64_t>(offset);
    uint64_t to = from + count;
    // The first area that ends after the read starts.
    auto it = std::upper_bound(bad.begin(), bad.end(), from,
                               [](uint64_t v, const area& a) { return v < a.to; });
    return it != bad.end() && it->from < to;
}

}  // namespace fsl
