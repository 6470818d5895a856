// The prompt.  From a pipe or a file it is the plain loop of prompt, fgets
// and newline cut, so scripts see every byte as they expect.  At a terminal,
// when the build has libedit, lines are edited with history and Tab
// completion.
#include "shell/prompt/lineedit.h"

#include "shell/prompt/completion.h"
#include "shell/prompt/console.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef SUNUFS_HAVE_LIBEDIT
#include <histedit.h>
#endif

namespace {

void on_interrupt(int)
{
    sh_interrupted = 1;
}

// Cuts the last character of what was read (normally the newline).
void cut_last(char* line)
{
    size_t len = strlen(line);
    if (len > 0)
        line[len - 1] = '\0';
}

bool read_plain(const char* path, int part, char* line, size_t size, bool terminal)
{
    int limit = static_cast<int>(std::min<size_t>(size, 1u << 20));
    for (;;) {
        printf("%s(%d) # ", path, part);
        fflush(stdout);
        // A read error ends the session as end of input does: the buffer
        // still holds the previous line, which must not run again.  Only
        // Ctrl-C at a terminal is not an error: the line is dropped.
        if (fgets(line, limit, stdin) != nullptr && !feof(stdin) && !ferror(stdin))
            break;
        if (!(terminal && sh_interrupted && ferror(stdin) && !feof(stdin)))
            return false;
        clearerr(stdin);
        sh_interrupted = 0;
        putchar('\n');
    }
    // A file written on another system ends its lines in CR LF.
    size_t len = strlen(line);
    if (len >= 2 && line[len - 2] == '\r' && line[len - 1] == '\n')
        line[len - 1] = '\0';
    cut_last(line);
    return true;
}

#ifdef SUNUFS_HAVE_LIBEDIT

EditLine* editor = nullptr;
History* history_list = nullptr;
std::string prompt_text;
// Where the lines typed are kept between sessions; empty: nowhere.
std::string history_file;

constexpr int HISTORY_LINES = 1000;

// $XDG_STATE_HOME/sunufs/history, or ~/.local/state/sunufs/history when
// that is unset (or not an absolute path, which the variable must be);
// the directories are made as needed.  Empty when there is no home.
std::string history_path()
{
    const char* state = getenv("XDG_STATE_HOME");
    const char* home = getenv("HOME");
    std::string dir;
    if (state != nullptr && state[0] == '/')
        dir = state;
    else if (home != nullptr && home[0] != '\0')
        dir = std::string(home) + "/.local/state";
    else
        return {};
    dir += "/sunufs";
    for (size_t slash = dir.find('/', 1); slash != std::string::npos; slash = dir.find('/', slash + 1))
        mkdir(dir.substr(0, slash).c_str(), 0700);
    mkdir(dir.c_str(), 0700);
    return dir + "/history";
}

char* prompt_of(EditLine*)
{
    return prompt_text.data();
}

std::string common_prefix(const std::vector<Candidate>& names)
{
    std::string common = names[0].name;
    for (const Candidate& c : names) {
        size_t n = 0;
        while (n < common.size() && n < c.name.size() && common[n] == c.name[n])
            n++;
        common.resize(n);
    }
    return common;
}

// Lists the candidates below the line being typed, in columns.
void list_candidates(const std::vector<Candidate>& names)
{
    std::vector<std::string> cells;
    size_t widest = 0;
    for (const Candidate& c : names) {
        cells.push_back(shown(c.name.c_str(), stdout) + (c.is_dir ? "/" : ""));
        widest = std::max(widest, cells.back().size());
    }
    std::sort(cells.begin(), cells.end());
    winsize ws = {};
    size_t width = ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 ? ws.ws_col : 80;
    size_t per_row = std::max<size_t>(1, width / (widest + 2));
    putchar('\n');
    for (size_t i = 0; i < cells.size(); i++) {
        if ((i + 1) % per_row == 0 || i + 1 == cells.size())
            printf("%s\n", cells[i].c_str());
        else
            printf("%-*s", static_cast<int>(widest + 2), cells[i].c_str());
    }
}

unsigned char complete(EditLine* el, int)
{
    const LineInfo* info = el_line(el);
    std::string before(info->buffer, static_cast<size_t>(info->cursor - info->buffer));
    CompletionWord word = completion_word(before);
    std::vector<Candidate> names = completion_candidates(word);
    if (names.empty())
        return CC_ERROR;
    // The typed part is the start of the last component of the word.
    size_t typed = word.text.size() - std::min(word.text.size(), word.text.rfind('/') + 1);
    if (word.kind == CompletionWord::COMMAND)
        typed = word.text.size();
    std::string common = common_prefix(names);
    std::string insert = escape_word(common.substr(std::min(typed, common.size())));
    if (names.size() == 1)
        insert += names[0].is_dir ? "/" : " ";
    if (!insert.empty()) {
        el_insertstr(el, insert.c_str());
        return CC_REFRESH;
    }
    list_candidates(names);
    return CC_REDISPLAY;
}

// The signal mask to wait with: the editor runs with Ctrl-C held back, and
// the wait for a key lets it through.  A Ctrl-C that comes while the editor
// draws (a list of names, say) is then taken at the next wait instead of
// being missed by a read that has not begun yet.
sigset_t wait_mask;

// Reads one key for the editor: 1 with the character, 0 at end of input,
// -1 (errno EINTR) on Ctrl-C.  Bytes that form no character in the locale
// are dropped, as the editor's own reader drops them.
int read_key(EditLine*, wchar_t* out)
{
    mbstate_t state = {};
    for (;;) {
        if (sh_interrupted) {
            errno = EINTR;
            return -1;
        }
        pollfd p = {STDIN_FILENO, POLLIN, 0};
        if (ppoll(&p, 1, nullptr, &wait_mask) == -1) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        char byte;
        ssize_t n = read(STDIN_FILENO, &byte, 1);
        if (n == 0)
            return 0;
        if (n == -1) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        wchar_t wc;
        size_t used = mbrtowc(&wc, &byte, 1, &state);
        if (used == static_cast<size_t>(-1)) {
            // A broken sequence: this byte may begin a new one.
            state = mbstate_t{};
            used = mbrtowc(&wc, &byte, 1, &state);
        }
        if (used == static_cast<size_t>(-2))
            continue;   // part of a longer character
        if (used == static_cast<size_t>(-1)) {
            state = mbstate_t{};
            continue;   // no character: dropped
        }
        *out = wc;
        return 1;
    }
}

// el_gets with Ctrl-C held back but while waiting for a key.
const char* get_line(int* count)
{
    sigset_t intr;
    sigemptyset(&intr);
    sigaddset(&intr, SIGINT);
    sigprocmask(SIG_BLOCK, &intr, &wait_mask);
    const char* text = el_gets(editor, count);
    sigprocmask(SIG_SETMASK, &wait_mask, nullptr);
    return text;
}

void start_editor()
{
    editor = el_init("sunufs", stdin, stdout, stderr);
    history_list = history_init();
    if (editor == nullptr || history_list == nullptr)
        return;
    HistEvent event;
    history(history_list, &event, H_SETSIZE, HISTORY_LINES);
    history(history_list, &event, H_SETUNIQUE, 1);
    history_file = history_path();
    if (!history_file.empty())
        history(history_list, &event, H_LOAD, history_file.c_str());
    el_set(editor, EL_EDITOR, "emacs");
    el_set(editor, EL_HIST, history, history_list);
    el_set(editor, EL_PROMPT, prompt_of);
    el_set(editor, EL_GETCFN, read_key);
    // The wide call: the narrow one keeps copies of the two texts that are
    // never given back.
    el_wset(editor, EL_ADDFN, L"sunufs-complete", L"complete a name", complete);
    el_set(editor, EL_BIND, "^I", "sunufs-complete", nullptr);
}

bool read_edited(char* line, size_t size)
{
    for (;;) {
        int count = 0;
        const char* text = get_line(&count);
        if (text != nullptr && count > 0) {
            size_t len = std::min(static_cast<size_t>(count), size - 1);
            memcpy(line, text, len);
            line[len] = '\0';
            break;
        }
        if (!sh_interrupted)
            return false;
        // Ctrl-C: the line typed so far is dropped, a fresh prompt follows.
        sh_interrupted = 0;
        putchar('\n');
        el_reset(editor);
    }
    cut_last(line);
    if (line[strspn(line, " \t")] != '\0') {
        HistEvent event;
        history(history_list, &event, H_ENTER, line);
    }
    return true;
}

#endif

}  // namespace

// errno as the last command left it is part of what the shell reports
// (cp's failure line), so reading the next line must not change it.
static bool read_line_for(const char* path, int part, char* line, size_t size)
{
    bool terminal = is_terminal(STDIN_FILENO);
#ifdef SUNUFS_HAVE_LIBEDIT
    if (terminal && is_terminal(STDOUT_FILENO)) {
        if (editor == nullptr)
            start_editor();
        if (editor != nullptr && history_list != nullptr) {
            char text[64];
            snprintf(text, sizeof text, "(%d) # ", part);
            prompt_text = std::string(path) + text;
            return read_edited(line, size);
        }
    }
#endif
    return read_plain(path, part, line, size, terminal);
}

bool read_command_line(const char* path, int part, char* line, size_t size)
{
    int saved = errno;
    catch_interrupts(false);
    bool got = read_line_for(path, part, line, size);
    catch_interrupts(true);
    errno = saved;
    return got;
}

void end_command_lines()
{
#ifdef SUNUFS_HAVE_LIBEDIT
    if (editor != nullptr)
        el_end(editor);
    if (history_list != nullptr && !history_file.empty()) {
        HistEvent event;
        history(history_list, &event, H_SAVE, history_file.c_str());
    }
    if (history_list != nullptr)
        history_end(history_list);
    editor = nullptr;
    history_list = nullptr;
#endif
}

void catch_interrupts(bool restart)
{
    if (!is_terminal(STDIN_FILENO))
        return;
    struct sigaction action = {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = restart ? SA_RESTART : 0;
    sigaction(SIGINT, &action, nullptr);
}
