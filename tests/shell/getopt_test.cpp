// The shell's option parser, driven through the option strings of the
// command line ("hdp:V") and of cp ("rpv").
#include "shell/getopt.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Step {
    int ch;
    const char* arg;  // expected optarg after an option that takes one
};

struct Case {
    const char* name;
    std::vector<std::string> argv;
    const char* optstring;
    std::vector<Step> steps;  // options returned before -1
    int optind_after;         // optind once -1 came back
    const char* diagnostics;  // all that was written to standard error
};

const Case cases[] = {
    {"letter glued", {"prog", "-pc", "img"}, "hdp:V", {{'p', "c"}}, 2, ""},
    {"letter apart", {"prog", "-p", "c", "img"}, "hdp:V", {{'p', "c"}}, 3, ""},
    {"number glued", {"prog", "-p3", "img"}, "hdp:V", {{'p', "3"}}, 2, ""},
    {"flag then argument in one word", {"prog", "-dp0", "img"}, "hdp:V",
     {{'d', nullptr}, {'p', "0"}}, 2, ""},
    {"argument that looks like an option", {"prog", "-p", "-d", "img"}, "hdp:V",
     {{'p', "-d"}}, 3, ""},
    {"double dash ends options", {"prog", "--", "-d"}, "hdp:V", {}, 2, ""},
    {"lone dash is an operand", {"prog", "-", "-d"}, "hdp:V", {}, 1, ""},
    {"no arguments", {"prog"}, "hdp:V", {}, 1, ""},
    {"options after the file are not parsed", {"prog", "img", "-d"}, "hdp:V", {}, 1, ""},
    {"only options", {"prog", "-d"}, "hdp:V", {{'d', nullptr}}, 2, ""},
    {"-h and -V come back as themselves", {"prog", "-hV"}, "hdp:V",
     {{'h', nullptr}, {'V', nullptr}}, 2, ""},
    {"missing argument", {"prog", "-p"}, "hdp:V", {{'?', nullptr}}, 2,
     "prog: option requires an argument -- p\n"},
    {"--help read as option letters", {"prog", "--help"}, "hdp:V",
     {{'?', nullptr}, {'h', nullptr}, {'?', nullptr}, {'?', nullptr}, {'?', nullptr}}, 2,
     "prog: illegal option -- -\nprog: illegal option -- e\nprog: illegal option -- l\n"
     "prog: option requires an argument -- p\n"},
    {"colon is never an option", {"prog", "-:", "img"}, "hdp:V", {{'?', nullptr}}, 2,
     "prog: illegal option -- :\n"},
    {"unknown letter inside a word", {"prog", "-xd", "img"}, "hdp:V",
     {{'?', nullptr}, {'d', nullptr}}, 2, "prog: illegal option -- x\n"},
    {"diagnostic names argv[0] unchanged", {"a\\b\\prog", "-x"}, "hdp:V",
     {{'?', nullptr}}, 2, "a\\b\\prog: illegal option -- x\n"},
    {"cp letters together", {"cp", "-rpv", "a", "b"}, "rpv",
     {{'r', nullptr}, {'p', nullptr}, {'v', nullptr}}, 2, ""},
    {"cp letters apart, repeated", {"cp", "-r", "-v", "-r", "a", "b"}, "rpv",
     {{'r', nullptr}, {'v', nullptr}, {'r', nullptr}}, 4, ""},
    {"cp option after operands is an operand", {"cp", "a", "b", "-r"}, "rpv", {}, 1, ""},
    {"cp bad letter", {"cp", "-x", "a", "b"}, "rpv", {{'?', nullptr}}, 2,
     "cp: illegal option -- x\n"},
};

void PrintTo(const Case& c, std::ostream* os)
{
    *os << c.name;
}

class GetoptCase : public ::testing::TestWithParam<Case> {};

TEST_P(GetoptCase, ReturnsOptionsInOrder)
{
    const Case& c = GetParam();
    std::vector<std::string> words = c.argv;
    std::vector<char*> argv;
    for (auto& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    int argc = static_cast<int>(words.size());

    sh_opt::getopt_reset();
    testing::internal::CaptureStderr();
    std::vector<int> got;
    std::vector<std::string> args;
    int ch;
    // Bounded: a parser that never ends must fail the test, not hang it.
    for (int i = 0; i < 20 && (ch = sh_opt::getopt(argc, argv.data(), c.optstring)) != -1; i++) {
        got.push_back(ch);
        args.push_back(sh_opt::optarg ? sh_opt::optarg : "(null)");
    }
    std::string diag = testing::internal::GetCapturedStderr();

    ASSERT_EQ(got.size(), c.steps.size()) << c.name;
    for (size_t i = 0; i < got.size(); i++) {
        EXPECT_EQ(got[i], c.steps[i].ch) << c.name << " step " << i;
        if (c.steps[i].ch != '?') {
            EXPECT_EQ(args[i], c.steps[i].arg ? c.steps[i].arg : "(null)")
                << c.name << " step " << i;
        }
    }
    EXPECT_EQ(sh_opt::optind, c.optind_after) << c.name;
    EXPECT_EQ(diag, c.diagnostics) << c.name;
}

INSTANTIATE_TEST_SUITE_P(Table, GetoptCase, ::testing::ValuesIn(cases));

std::vector<char*> pointers(std::vector<std::string>& words)
{
    std::vector<char*> argv;
    for (auto& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    return argv;
}

TEST(Getopt, OptoptHoldsTheLetterExamined)
{
    std::vector<std::string> words = {"cp", "-rq", "a"};
    auto argv = pointers(words);
    sh_opt::getopt_reset();
    sh_opt::opterr = 0;
    EXPECT_EQ(sh_opt::getopt(3, argv.data(), "rpv"), 'r');
    EXPECT_EQ(sh_opt::optopt, 'r');
    EXPECT_EQ(sh_opt::getopt(3, argv.data(), "rpv"), '?');
    EXPECT_EQ(sh_opt::optopt, 'q');
}

TEST(Getopt, OpterrZeroSilencesDiagnostics)
{
    std::vector<std::string> words = {"prog", "-x", "-p"};
    auto argv = pointers(words);
    sh_opt::getopt_reset();
    sh_opt::opterr = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(sh_opt::getopt(3, argv.data(), "hdp:V"), '?');
    EXPECT_EQ(sh_opt::getopt(3, argv.data(), "hdp:V"), '?');
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// cp resets the parser before every command: a command's options must not
// depend on where the previous parse stopped, even midway through a word.
TEST(Getopt, ResetStartsOverButKeepsOptargAndOptopt)
{
    std::vector<std::string> first = {"cp", "-rv", "a", "b"};
    auto argv1 = pointers(first);
    sh_opt::getopt_reset();
    EXPECT_EQ(sh_opt::getopt(4, argv1.data(), "rpv"), 'r');  // stops inside "-rv"
    EXPECT_EQ(sh_opt::optpos, 2);

    std::vector<std::string> prev = {"prog", "-pc"};
    auto argv2 = pointers(prev);
    sh_opt::getopt_reset();
    sh_opt::opterr = 0;
    EXPECT_EQ(sh_opt::getopt(2, argv2.data(), "hdp:V"), 'p');
    char* kept = sh_opt::optarg;

    sh_opt::opterr = 0;
    sh_opt::optind = 5;
    sh_opt::optpos = 3;
    sh_opt::getopt_reset();
    EXPECT_EQ(sh_opt::opterr, 1);
    EXPECT_EQ(sh_opt::optind, 1);
    EXPECT_EQ(sh_opt::optpos, 1);
    EXPECT_EQ(sh_opt::optarg, kept);
    EXPECT_EQ(sh_opt::optopt, 'p');

    std::vector<std::string> second = {"cp", "-p", "x", "y"};
    auto argv3 = pointers(second);
    EXPECT_EQ(sh_opt::getopt(4, argv3.data(), "rpv"), 'p');
    EXPECT_EQ(sh_opt::getopt(4, argv3.data(), "rpv"), -1);
    EXPECT_EQ(sh_opt::optind, 2);
}

}  // namespace
