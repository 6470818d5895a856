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

std::string copy_summary(unsigned long long files, unsigned long long bytes, unsigned long long dirs,
                         unsigned long long links, unsigned long long not_copied, unsigned long long failed)
{
    auto n = [](unsigned long long v, const char* one, const char* many) {
        return std::to_string(v) + " " + (v == 1 ? one : many);
    };
    return "copied " + n(files, "file", "files") + " (" + n(bytes, "byte", "bytes") + "), " +
           n(dirs, "directory", "directories") + ", " + n(links, "link", "links") + "; " +
           std::to_string(not_copied) + " not copied; " + std::to_string(failed) + " failed\n";
}

}  // namespace testimg
