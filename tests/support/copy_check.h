// Checks on what a copy left on standard error.
#pragma once

#include <string>

namespace testimg {

// True when `err` names image path `path`, or a directory above it, as
// incomplete or failed, or with a device error as the reason it could not
// be read: a file that did not come out whole must be named.
bool reported_lost(const std::string& err, std::string path);

}  // namespace testimg
