// Names made safe for a terminal, the progress line of a long copy, and the
// Ctrl-C flag.  Nothing here writes a byte when the stream concerned is not
// a terminal.
#include "shell/prompt/console.h"
#include "fslib/fslib.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cinttypes>
#include <cstring>
#include <sys/ioctl.h>
#include <unistd.h>

volatile std::sig_atomic_t sh_interrupted = 0;

bool is_terminal(int fd)
{
    return fs_isterminal(fd);
}

std::string shown(const char* name, FILE* stream)
{
    if (name == nullptr)
        return {};
    if (stream == nullptr || !is_terminal(fileno(stream)))
        return name;
    size_t left = strlen(name);
    std::string out;
    out.reserve(left);
    while (left > 0) {
        bool mark;
        size_t len = fs_textchar(name, left, &mark);
        if (mark)
            out += '?';
        else
            out.append(name, len);
        name += len;
        left -= len;
    }
    return out;
}

namespace {

using Clock = std::chrono::steady_clock;

struct Progress {
    bool terminal = false;    // standard error is a terminal
    bool drawn = false;       // a progress line is on the screen now
    Clock::time_point start;
    Clock::time_point last_drawn;
};

Progress progress;

constexpr auto FIRST_AFTER = std::chrono::seconds(1);
constexpr auto REDRAW_EVERY = std::chrono::milliseconds(200);

int terminal_width()
{
    winsize ws = {};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col >= 20)
        return ws.ws_col;
    return 80;
}

// Number of screen columns `text` takes: one per character, counting the
// start bytes of UTF-8 sequences only (shown() left no control bytes).
size_t columns(const std::string& text)
{
    size_t n = 0;
    for (unsigned char c : text)
        n += (c & 0xC0) != 0x80;
    return n;
}

// Drops characters from the front of `text` until it fits in `width`
// columns, marking the cut with "...".
std::string cut_front(const std::string& text, size_t width)
{
    if (columns(text) <= width)
        return text;
    if (width <= 3)
        return std::string(width, '.');
    size_t excess = columns(text) - (width - 3);
    size_t pos = 0;
    while (pos < text.size() && excess > 0) {
        pos++;
        while (pos < text.size() && (static_cast<unsigned char>(text[pos]) & 0xC0) == 0x80)
            pos++;
        excess--;
    }
    return "..." + text.substr(pos);
}

}  // namespace

// "12.3 MB" style: bytes in the largest unit that keeps the number small.
std::string human_bytes(double value)
{
    static constexpr const char* units[] = {"B", "KB", "MB", "GB", "TB"};
    size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < std::size(units)) {
        value /= 1024.0;
        unit++;
    }
    char text[32];
    snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
    return text;
}

void progress_start()
{
    progress.terminal = is_terminal(STDERR_FILENO);
    progress.drawn = false;
    progress.start = Clock::now();
    progress.last_drawn = progress.start;
}

double progress_due()
{
    if (!progress.terminal)
        return 0;
    Clock::time_point now = Clock::now();
    if (now - progress.start < FIRST_AFTER || (progress.drawn && now - progress.last_drawn < REDRAW_EVERY))
        return 0;
    progress.last_drawn = now;
    return std::chrono::duration<double>(now - progress.start).count();
}

void progress_draw(const std::string& line)
{
    fprintf(stderr, "\r%s\033[K", line.c_str());
    fflush(stderr);
    progress.drawn = true;
}

// "12 s", "7 min", "3 h": a time left, rounded up, in the unit that keeps
// the number small.
static std::string time_left(double seconds)
{
    double whole = std::ceil(seconds);
    char text[32];
    if (whole < 120)
        snprintf(text, sizeof text, "%.0f s", whole);
    else if (whole < 120 * 60)
        snprintf(text, sizeof text, "%.0f min", std::ceil(whole / 60));
    else
        snprintf(text, sizeof text, "%.0f h", std::ceil(whole / 3600));
    return text;
}

void progress_update(uint64_t files, uint64_t bytes, const char* image_path, uint64_t file_done,
                     uint64_t file_size)
{
    double seconds = progress_due();
    if (seconds == 0)
        return;
    double rate = static_cast<double>(bytes) / seconds;
    char head[160];
    if (file_size >= PROGRESS_BIG_FILE && file_done <= file_size) {
        double left = rate > 0 ? static_cast<double>(file_size - file_done) / rate : 0;
        snprintf(head, sizeof head, "%s of %s (%d%%), %s/s, %s left  ",
                 human_bytes(static_cast<double>(file_done)).c_str(),
                 human_bytes(static_cast<double>(file_size)).c_str(),
                 static_cast<int>(100.0 * static_cast<double>(file_done) / static_cast<double>(file_size)), human_bytes(rate).c_str(),
                 rate > 0 ? time_left(left).c_str() : "?");
    } else {
        snprintf(head, sizeof head, "%" PRIu64 " files, %s, %s/s  ", files,
                 human_bytes(static_cast<double>(bytes)).c_str(), human_bytes(rate).c_str());
    }
    // One column is left free so that the line never wraps.
    size_t width = static_cast<size_t>(terminal_width()) - 1;
    std::string line = head;
    if (columns(line) < width)
        line += cut_front(shown(image_path, stderr), width - columns(line));
    else
        line.resize(width);
    progress_draw(line);
}

void progress_clear()
{
    if (!progress.drawn)
        return;
    fputs("\r\033[K", stderr);
    fflush(stderr);
    progress.drawn = false;
}
