// Splitting command lines into words: quoting and escapes, and lines
// without either splitting exactly as the runtime library's strtok does.
#include "shell/prompt/words.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> split(const std::string& text)
{
    std::vector<char> line(text.begin(), text.end());
    line.push_back('\0');
    char* words[16];
    int count = split_words(line.data(), words, 16);
    EXPECT_EQ(words[count], nullptr);
    return std::vector<std::string>(words, words + count);
}

// The independent reference for unquoted lines.
std::vector<std::string> by_strtok(const std::string& text)
{
    std::vector<char> line(text.begin(), text.end());
    line.push_back('\0');
    std::vector<std::string> out;
    for (char* w = strtok(line.data(), " \t"); w != nullptr; w = strtok(nullptr, " \t"))
        out.push_back(w);
    return out;
}

struct Case {
    const char* line;
    std::vector<std::string> words;
};

TEST(Words, QuotesAndEscapes)
{
    const Case cases[] = {
        {"more \"with space\"", {"more", "with space"}},
        {"cp -r my\\ dir out", {"cp", "-r", "my dir", "out"}},
        {"cd a\"b c\"d", {"cd", "ab cd"}},
        {"ls \"\"", {"ls", ""}},
        {"more \\\"q\\\\", {"more", "\"q\\"}},
        {"more \"open to the end", {"more", "open to the end"}},
        {"more tail\\", {"more", "tail\\"}},
        {"cp \"a\\\"b\"\tc", {"cp", "a\"b", "c"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(split(c.line), c.words) << c.line;

    const char* plain[] = {"", "   \t ", "ls", "  cp  -v\t/etc/passwd   pw  ", "a\t\tb", "x y z "};
    for (const char* line : plain)
        EXPECT_EQ(split(line), by_strtok(line)) << '"' << line << '"';
}

}  // namespace
