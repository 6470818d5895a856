#include "shell/prompt/completion.h"

#include "fslib/fslib.h"
#include "shell/commands.h"
#include "shell/prompt/words.h"

#include <cstring>
#include <dirent.h>
#include <sys/stat.h>

namespace {

// A directory of a damaged image may be long; completion offers no more
// than this many names.
constexpr size_t MAX_CANDIDATES = 4096;
constexpr int MAX_LINE_WORDS = 1024;

bool wanted(const char* name, const std::string& prefix)
{
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
        return false;
    // Hidden names only when the user has typed the dot.
    if (name[0] == '.' && (prefix.empty() || prefix[0] != '.'))
        return false;
    return strncmp(name, prefix.c_str(), prefix.size()) == 0;
}

// Splits a path being typed into the directory to search and the start of
// the name: "usr/b" -> "usr", "b"; "/us" -> "/", "us"; "b" -> ".", "b".
struct PathParts {
    std::string dir;
    std::string prefix;
};

PathParts split_path(const std::string& text)
{
    size_t slash = text.rfind('/');
    if (slash == std::string::npos)
        return {std::string(1, '.'), text};
    return {slash == 0 ? std::string(1, '/') : text.substr(0, slash), text.substr(slash + 1)};
}

void image_candidates(const std::string& text, std::vector<Candidate>& out)
{
    auto [dir, prefix] = split_path(text);
    // Completion is not a command: it must not leave a status behind for a
    // later error message to report.
    int saved = fs_errno;
    FS_FILE* stream = fs_opendir(dir.c_str());
    if (stream != nullptr) {
        while (direct* entry = fs_readdir(stream)) {
            if (out.size() >= MAX_CANDIDATES)
                break;
            if (!wanted(entry->d_name, prefix))
                continue;
            fs_statrec rec = {};
            bool is_dir = fs_istat(entry->d_ino, &rec) == 0 && (rec.st_mode & IFMT) == IFDIR;
            out.push_back({entry->d_name, is_dir});
        }
        fs_closedir(stream);
    }
    fs_errno = saved;
}

void host_candidates(const std::string& text, std::vector<Candidate>& out)
{
    auto [typed_dir, prefix] = split_path(text);
    std::string dir = host_word(typed_dir.c_str());
    DIR* stream = opendir(dir.c_str());
    if (stream == nullptr)
        return;
    while (dirent* entry = readdir(stream)) {
        if (out.size() >= MAX_CANDIDATES)
            break;
        if (!wanted(entry->d_name, prefix))
            continue;
        struct stat st = {};
        std::string full = dir + "/" + entry->d_name;
        bool is_dir = stat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        out.push_back({entry->d_name, is_dir});
    }
    closedir(stream);
}

// For a command whose first operand is on the image and the later ones on
// the host: options come first, as the option parser reads them.
CompletionWord::Kind split_operand_kind(char** words, int index)
{
    int operands = 0;
    for (int i = 1; i < index; i++)
        if (operands > 0 || words[i][0] != '-')
            operands++;
    if (operands == 0 && words[index][0] == '-')
        return CompletionWord::NONE;
    return operands == 0 ? CompletionWord::IMAGE : CompletionWord::HOST;
}

// The word after an option word that ends in 'f' ("-f", "-cvf") names the
// archive, a host path.
bool after_archive_option(char** words, int index)
{
    const char* prev = words[index - 1];
    size_t len = strlen(prev);
    return index > 1 && prev[0] == '-' && len > 1 && prev[len - 1] == 'f';
}

CompletionWord::Kind kind_for(char** words, int index)
{
    if (index == 0)
        return CompletionWord::COMMAND;
    const command* c = find_command(words[0]);
    if (c != nullptr && strcmp(c->name, "tar") == 0 && after_archive_option(words, index))
        return CompletionWord::HOST;
    switch (c == nullptr ? arg_kind::none : c->args) {
    case arg_kind::image: return CompletionWord::IMAGE;
    case arg_kind::host: return CompletionWord::HOST;
    case arg_kind::image_then_host: return split_operand_kind(words, index);
    case arg_kind::none: break;
    }
    return CompletionWord::NONE;
}

}  // namespace

CompletionWord completion_word(const std::string& before)
{
    // A marker after the cursor shows whether the cursor stands inside a
    // word (the marker joins it) or after a blank (the marker is a word of
    // its own), by the very rules the command line is split with.
    std::vector<char> line(before.begin(), before.end());
    line.push_back('\x01');
    line.push_back('\0');
    char* words[MAX_LINE_WORDS];
    int count = split_words(line.data(), words, MAX_LINE_WORDS);
    CompletionWord word;
    if (count == 0 || line[0] == '!')
        return word;
    std::string last = words[count - 1];
    if (last.empty() || last.back() != '\x01')
        return word;
    last.pop_back();
    word.text = last;
    word.kind = kind_for(words, count - 1);
    return word;
}

std::vector<Candidate> completion_candidates(const CompletionWord& word)
{
    std::vector<Candidate> out;
    if (word.kind == CompletionWord::COMMAND) {
        for (unsigned i = 0; const command* c = command_at(i); i++)
            if (strncmp(c->name, word.text.c_str(), word.text.size()) == 0)
                out.push_back({c->name, false});
    } else if (word.kind == CompletionWord::IMAGE) {
        image_candidates(word.text, out);
    } else if (word.kind == CompletionWord::HOST) {
        host_candidates(word.text, out);
    }
    return out;
}

std::string escape_word(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out;
}
