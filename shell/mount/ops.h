// The table of FUSE requests the mount answers.
#pragma once

#define FUSE_USE_VERSION 35
#include <fuse_lowlevel.h>

namespace mnt {

// Every request handler; the session's user data is the mount's state.
fuse_lowlevel_ops operations();

}  // namespace mnt
