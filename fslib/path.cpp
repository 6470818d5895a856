// Image paths as text: the one place where a path is joined, made
// absolute and cut to its last name, for the working directory and for
// every message that names an entry.
#include <cstring>
#include <string>

#include "fslib/fslib.h"

std::string fs_path_join(const std::string& dir, const std::string& name)
{
    std::string out = dir;
    if (out.empty() || out.back() != '/')
        out += '/';
    return out + name;
}

// Word by word: "." stays, ".." goes up one (never above the root), as
// the working directory moves.
std::string fs_path_abs(const char* cwd, const char* path)
{
    std::string out = path[0] == '/' || std::strcmp(cwd, "/") == 0 ? "" : cwd;
    const char* p = path;
    while (*p != '\0') {
        while (*p == '/')
            p++;
        const char* end = p;
        while (*end != '\0' && *end != '/')
            end++;
        std::string word(p, end);
        if (word == "..")
            out.erase(out.rfind('/') == std::string::npos ? 0 : out.rfind('/'));
        else if (!word.empty() && word != ".")
            out += "/" + word;
        p = end;
    }
    return out.empty() ? "/" : out;
}

std::string fs_path_last(const char* path)
{
    size_t end = std::strlen(path);
    while (end > 0 && path[end - 1] == '/')
        end--;
    size_t start = end;
    while (start > 0 && path[start - 1] != '/')
        start--;
    std::string name(path + start, end - start);
    return name == "." || name == ".." ? std::string() : name;
}
