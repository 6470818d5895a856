// Image paths as text: the one place where a path is joined, made
// absolute and cut to its last name, for the working directory and for
// every message that names an entry.
#include <algorithm>
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

bool fs_path_inode(const char* word, size_t len, uint32_t* ino)
{
    if (len < 3 || len > 12 || word[0] != '<' || word[len - 1] != '>')
        return false;
    uint64_t n = 0;
    for (size_t i = 1; i + 1 < len; i++) {
        if (word[i] < '0' || word[i] > '9')
            return false;
        n = n * 10 + static_cast<uint64_t>(word[i] - '0');
    }
    if (n == 0 || n > UINT32_MAX)
        return false;
    *ino = static_cast<uint32_t>(n);
    return true;
}

// Length of the first word of `path`.
static size_t first_word(const char* path)
{
    const char* slash = std::strchr(path, '/');
    return slash ? static_cast<size_t>(slash - path) : std::strlen(path);
}

// Word by word: "." stays, ".." goes up one (never above the root, nor
// above an inode named "<N>" that starts the path), as the working
// directory moves.
std::string fs_path_abs(const char* cwd, const char* path)
{
    uint32_t ino;
    size_t top = first_word(path);
    bool by_inode = fs_path_inode(path, top, &ino);
    std::string out = path[0] == '/' || by_inode || std::strcmp(cwd, "/") == 0 ? "" : cwd;
    const char* p = path;
    if (by_inode) {
        out.assign(path, top);
        p += top;
    }
    size_t floor = fs_path_inode(out.c_str(), first_word(out.c_str()), &ino) ? first_word(out.c_str()) : 0;
    while (*p != '\0') {
        while (*p == '/')
            p++;
        const char* end = p;
        while (*end != '\0' && *end != '/')
            end++;
        std::string word(p, end);
        if (word == "..")
            out.erase(std::max(floor, out.rfind('/') == std::string::npos ? 0 : out.rfind('/')));
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
