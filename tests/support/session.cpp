#include "support/session.h"

#include <filesystem>

namespace testimg {

void SessionTest::SetUp()
{
    tmp = runner::make_temp_dir("session");
    host = tmp + "/host";
    std::filesystem::create_directory(host);
    std::filesystem::create_directory(tmp + "/bin");
    env = runner::install_fake_less(tmp + "/bin");
    env.push_back("TZ=UTC");
    env.push_back("OUT=" + tmp + "/pager.out");
    disk = tmp + "/disk.img";
}

void SessionTest::TearDown()
{
    runner::remove_tree(tmp);
}

runner::Result SessionTest::run(std::vector<std::string> args, const std::string& input)
{
    runner::Options o;
    o.args = std::move(args);
    o.input = input;
    o.env = env;
    o.cwd = host;
    o.timeout_seconds = timeout_seconds;
    return runner::run_sunufs(o);
}

}  // namespace testimg
