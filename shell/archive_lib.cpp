#ifdef SUNUFS_HAVE_LIBARCHIVE

#include "shell/archive_lib.h"

#include <cstdio>
#include <dlfcn.h>

namespace {

// The library's name as the build found it.
constexpr const char* ARCHIVE_SONAME = "libarchive.so.13";

archive_api api;
bool loaded = false;

bool load(void* lib)
{
    bool all = true;
#define SUNUFS_ARCHIVE_LOAD(name)                                                       \
    api.name = reinterpret_cast<decltype(api.name)>(dlsym(lib, #name));                \
    all = all && api.name != nullptr;
    SUNUFS_ARCHIVE_CALLS(SUNUFS_ARCHIVE_LOAD)
#undef SUNUFS_ARCHIVE_LOAD
    return all;
}

}  // namespace

const archive_api* archive_lib()
{
    if (loaded)
        return &api;
    void* lib = dlopen(ARCHIVE_SONAME, RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr || !load(lib)) {
        fprintf(stderr, "tar: %s\n", lib == nullptr ? dlerror() : "libarchive lacks a call tar needs");
        return nullptr;
    }
    loaded = true;
    return &api;
}

#endif  // SUNUFS_HAVE_LIBARCHIVE
