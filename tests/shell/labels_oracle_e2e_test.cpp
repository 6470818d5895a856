// Every label kind and byte order of a Sun-family disk, on disks made by
// makefs and sfdisk (with the builder's x86 and OpenBSD labels), held
// against the source tree and against what The Sleuth Kit reads.
#include "support/fingerprint.h"
#include "support/images.h"
#include "support/labels.h"
#include "support/oracle.h"
#include "support/runner.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace {

using testimg::LabelKind;

struct Row {
    const char* name;
    LabelKind kind;
};

class Labels : public ::testing::TestWithParam<Row> {
protected:
    void SetUp() override
    {
        REQUIRE_TOOL("makefs");
        REQUIRE_TOOL("sfdisk");
        REQUIRE_TOOL("fls");
        testimg::make_host_tree(dir.file("src"), {{"etc/motd", "hello\n"},
                                                  {"a/b/c.txt", std::string(70000, 'c')},
                                                  {"a/big.txt", std::string(200000, 'b')},
                                                  {"empty/", ""}});
        std::filesystem::create_symlink("a/b/c.txt", dir.file("src/link"));
        std::filesystem::permissions(dir.file("src/etc/motd"), std::filesystem::perms(0640));
    }

    runner::Result run(const std::vector<std::string>& args, const std::string& cwd = "")
    {
        runner::Options o;
        o.args = args;
        o.cwd = cwd;
        o.env = {"TZ=UTC"};
        return runner::run_sunufs(o);
    }

    testimg::TempDir dir;
};

// Each line of `out` up to its first comma.
std::vector<std::string> heads(const std::string& out)
{
    std::vector<std::string> v;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        v.push_back(line.substr(0, line.find(',')));
    return v;
}

TEST_P(Labels, FoundNamedAndOpened)
{
    testimg::LabelDisk d = testimg::label_disk(GetParam().kind, dir.file("src"), dir.file("disk.img"));
    uint64_t image_before = testimg::hash_file(d.path);

    if (!d.mmls.empty()) {
        bool listed = false;
        for (const oracle::MmlsRow& row : oracle::parse_mmls(oracle::run_tool(d.mmls).out))
            listed = listed || (row.start == d.mmls_start && row.length == 16384);
        EXPECT_TRUE(listed) << "mmls lists no partition at " << d.mmls_start;
    }
    runner::Result summary = run({d.path});
    EXPECT_EQ(summary.err, d.summary);
    EXPECT_EQ(heads(run({"-s", d.path}).out), d.scan);
    for (const auto& [word, err] : d.refused) {
        std::string said = run({"-p", word, "-c", "ls", d.path}).err;
        EXPECT_TRUE(said.ends_with(err)) << "-p " << word << ": " << said;
    }

    std::vector<std::string> part = d.part.empty() ? std::vector<std::string>{"-p", "0"}
                                                   : std::vector<std::string>{"-p", d.part};
    std::vector<std::string> ls = part;
    ls.insert(ls.end(), {"-c", "ls -l", d.path});
    runner::Result listing = run(ls);
    EXPECT_EQ(listing.status, 0) << listing.err;
    for (const char* name : {" a\n", " etc\n", " empty\n", " link\n"})
        EXPECT_NE(listing.err.find(name), std::string::npos) << name << " in\n" << listing.err;

    std::string host = dir.file("host");
    std::filesystem::create_directories(host + "/out");
    std::vector<std::string> cp = part;
    cp.insert(cp.end(), {"-c", "cp -rp / out", d.path});
    runner::Result copy = run(cp, host);
    EXPECT_EQ(copy.status, 0) << copy.err;
    EXPECT_EQ(testimg::hash_tree(host + "/out"), testimg::hash_tree(dir.file("src")));
    testimg::expect_tsk_tree(d.path, d.start, host + "/out");
    EXPECT_EQ(testimg::hash_file(d.path), image_before);
}

INSTANTIATE_TEST_SUITE_P(EveryKind, Labels,
                         ::testing::Values(Row{"gpt", LabelKind::gpt}, Row{"gpt_backup", LabelKind::gpt_backup},
                                           Row{"x86_vtoc", LabelKind::x86}, Row{"le_bare", LabelKind::le_bare},
                                           Row{"openbsd_j", LabelKind::obsd}),
                         [](const ::testing::TestParamInfo<Row>& i) { return std::string(i.param.name); });

}  // namespace
