// libarchive, loaded when the first archive is written rather than when
// the program starts: it brings a chain of compression and text libraries
// that would otherwise cost every session their memory.  Built only where
// the build found libarchive's headers.
#pragma once

#include <archive.h>
#include <archive_entry.h>

// The calls tar makes.
#define SUNUFS_ARCHIVE_CALLS(X)                                                                   \
    X(archive_error_string) X(archive_write_new) X(archive_write_free) X(archive_write_data)      \
    X(archive_write_set_format_pax) X(archive_write_open_fd) X(archive_write_header)             \
    X(archive_write_close) X(archive_write_add_filter_xz) X(archive_write_add_filter_gzip)       \
    X(archive_write_add_filter_bzip2) X(archive_entry_new) X(archive_entry_free)                 \
    X(archive_entry_clear) X(archive_entry_set_size) X(archive_entry_sparse_add_entry)            \
    X(archive_entry_set_uid) X(archive_entry_set_gid) X(archive_entry_set_rdevmajor)             \
    X(archive_entry_set_rdevminor) X(archive_entry_set_mtime) X(archive_entry_set_atime)         \
    X(archive_entry_set_mode) X(archive_entry_copy_symlink) X(archive_entry_copy_pathname)       \
    X(archive_entry_copy_hardlink)

struct archive_api {
#define SUNUFS_ARCHIVE_SLOT(name) decltype(&::name) name;
    SUNUFS_ARCHIVE_CALLS(SUNUFS_ARCHIVE_SLOT)
#undef SUNUFS_ARCHIVE_SLOT
};

// The loaded library's calls, or null (said on standard error) when it
// cannot be loaded.
const archive_api* archive_lib();
