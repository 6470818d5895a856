// The map of a rescued image: which of its bytes the rescue could not
// read.  The image holds zeros (or a marker) there, never data, so every
// device read that touches such a byte fails as a read error of the disk
// would, and the data is never handed out as a file's content.
//
// The map is text: '#' comment lines; one status line (current position,
// status, and an optional pass); then one line per area, "pos size
// status", the numbers in hexadecimal (0x...) or decimal, the status one
// of "?*/-+".  Only '+' (finished) areas were read.
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

// A number in hexadecimal (0x...) or decimal; false when `word` is not one.
bool map_number(const char* word, uint64_t* out)
{
    bool hex = word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
    const char* digits = hex ? word + 2 : word;
    if (*digits == '\0' || *digits == '-' || *digits == '+')
        return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(digits, &end, hex ? 16 : 10);
    if (errno != 0 || *end != '\0')
        return false;
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

// Reads the map's lines; null, or the reason with *line_no.
const char* map_read(FILE* f, unsigned* line_no)
{
    char line[MAP_LINE_MAX + 2];
    bool status_seen = false;
    uint64_t last_end = 0;
    *line_no = 0;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        ++*line_no;
        if (std::strchr(line, '\n') == nullptr && !std::feof(f))
            return "line too long";
        char* words[4];
        int n = map_words(line, words, 3);
        if (n == 0 || words[0][0] == '#')
            continue;
        const char* why = status_seen ? map_area(words, n, &last_end) : map_status(words, n);
        if (why != nullptr)
            return why;
        status_seen = true;
    }
    if (!status_seen)
        return "no status line";
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
