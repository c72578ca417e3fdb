// Replacing a small file so that its path only ever names a complete file: the new
// bytes go to a temporary file in the same folder, are flushed to disk, and the
// temporary file is renamed over the target. Used for settings files and the
// last-used settings store; both are a few hundred bytes, written in one call.
#pragma once

#include <cstddef>

// Puts `size` bytes from `data` at `path`. Returns false, with the temporary file
// removed and `path` untouched, when any step fails, including a target that is a
// folder, a special file or read-only (what the user protected is not replaced).
// On POSIX systems a symbolic link at `path` stays (the file it leads to is
// replaced) and an existing file keeps its permissions.
bool TMReplaceFile(const char* path, const void* data, size_t size);
