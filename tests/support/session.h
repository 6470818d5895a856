// A scratch folder for whole sunufs runs: where the image goes, a host
// folder that is the run's working directory, and a pager stand-in first on
// the PATH that copies what it is fed to pager.out.  Times print in UTC.
#pragma once

#include "support/runner.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace testimg {

// The line that ends a tree copy, with the counts given.
std::string copy_summary(unsigned long long files, unsigned long long bytes, unsigned long long dirs,
                         unsigned long long links, unsigned long long not_copied, unsigned long long failed);

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs sunufs in `host` with `args`, fed `input`.
    runner::Result run(std::vector<std::string> args, const std::string& input = "");

    std::string tmp, host, disk;   // scratch folder, host folder, image path
    std::vector<std::string> env;  // the pager's PATH first
    int timeout_seconds = 60;
};

}  // namespace testimg
