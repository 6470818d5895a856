// The map of a rescued image: which of its bytes the rescue could not
// read.  The image holds zeros (or a marker) there, never data, so every
// device read that touches such a byte fails as a read error of the disk
// would, and the data is never handed out as a file's content.
//
// The map is text: '#' comment lines; one status line (current position,
// status, and an optional pass); then one line per area, "pos size
// status", the numbers as the rescue tool writes and reads them (0x...
// hexadecimal, a leading 0 octal, else decimal), the status one of
// "?*/-+".  Only '+' (finished) areas were read; bytes that no line
// covers were never tried, so they are unreadable too.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <vector>

#include "fslib/device.h"
#include "fslib/fslib.h"
#include "fslib/internal.h"

namespace {

struct area {
    uint64_t from;
    uint64_t to;   // exclusive
};

}  // namespace

struct fs_map {
    std::vector<area> bad;   // the unreadable areas, in order, touching ones joined
    uint64_t covered = 0;    // bytes from 0 that the lines cover; past them nothing was tried
};

namespace {

void add_bad(fs_map* m, uint64_t from, uint64_t to)
{
    if (!m->bad.empty() && m->bad.back().to == from)
        m->bad.back().to = to;
    else
        m->bad.push_back({from, to});
}

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
const char* map_area(fs_map* m, char** w, int n, uint64_t* last_end)
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
    if (pos > *last_end)
        add_bad(m, *last_end, pos);   // a gap between lines: never tried
    *last_end = pos + size;
    m->covered = *last_end;
    if (w[2][0] == '+' || size == 0)
        return nullptr;
    add_bad(m, pos, pos + size);
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
const char* map_read(fs_map* m, FILE* f, unsigned* line_no)
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
        const char* why = status_seen ? map_area(m, words, n, &last_end) : map_status(words, n);
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

fs_map* fs_map_open(const char* path, unsigned* line_no, const char** why)
{
    *why = nullptr;
    *line_no = 0;
    FILE* f = std::fopen(path, "r");
    if (f == nullptr) {
        fs_host_failed(errno);
        return nullptr;
    }
    auto* m = new (std::nothrow) fs_map;
    if (m == nullptr) {
        std::fclose(f);
        fs_errno = FSE_NOMEM;
        return nullptr;
    }
    *why = map_read(m, f, line_no);
    bool failed = std::ferror(f) != 0;
    int err = errno;
    std::fclose(f);
    if (failed || *why != nullptr) {
        delete m;
        if (*why == nullptr)
            fs_host_failed(err);
        else
            fs_errno = FSE_MAPLINE;
        return nullptr;
    }
    return m;
}

void fs_map_close(fs_map* m) { delete m; }

void fs_map_totals(const fs_map* m, int64_t device_bytes, uint64_t* bytes, unsigned* areas)
{
    *bytes = 0;
    for (const area& a : m->bad)
        *bytes += a.to - a.from;
    *areas = static_cast<unsigned>(m->bad.size());
    auto end = static_cast<uint64_t>(device_bytes > 0 ? device_bytes : 0);
    if (end > m->covered) {
        *bytes += end - m->covered;
        ++*areas;
    }
}

namespace fsl {

void map_sectors(const fs_map* m, int64_t offset, uint32_t count, sector_list* out)
{
    if (offset < 0 || count == 0)
        return;
    auto from = static_cast<uint64_t>(offset);
    uint64_t to = from + count;
    if (to > m->covered) {
        uint64_t s = first_sector(static_cast<int64_t>(from > m->covered ? from : m->covered));
        for (; s * SECTOR_SIZE < to; s++)
            out->push_back(s);
    }
    // The first area that ends after the read starts.
    auto it = std::upper_bound(m->bad.begin(), m->bad.end(), from,
                               [](uint64_t v, const area& a) { return v < a.to; });
    sector_list inside;
    for (; it != m->bad.end() && it->from < to; ++it) {
        uint64_t lo = it->from > from ? it->from : from;
        uint64_t hi = it->to < to ? it->to : to;
        for (uint64_t s = lo / SECTOR_SIZE; s * SECTOR_SIZE < hi; s++) {
            if (inside.empty() || inside.back() != s)
                inside.push_back(s);
        }
    }
    if (!inside.empty()) {
        sector_list all;
        std::merge(inside.begin(), inside.end(), out->begin(), out->end(), std::back_inserter(all));
        all.erase(std::unique(all.begin(), all.end()), all.end());
        *out = std::move(all);
    }
}

}  // namespace fsl
