#include <windows.h>

#include <cstring>

#include "tm_replace_file.h"

bool TMReplaceFile(const char* path, const void* data, size_t size)
{
    if (!path || !*path)
        return false;
    // The temporary file goes in the target's folder, so that the move is a rename
    // on one volume.
    char folder[MAX_PATH];
    const char* slash = nullptr;
    for (const char* c = path; *c; ++c)
        if (*c == '\\' || *c == '/')
            slash = c;
    if (!slash) {
        std::strcpy(folder, ".");
    } else {
        size_t n = static_cast<size_t>(slash - path);
        if (n == 0 || (n == 2 && path[1] == ':'))
            ++n; // "\name" or "C:\name": the root keeps its separator
        if (n >= sizeof folder)
            return false;
        std::memcpy(folder, path, n);
        folder[n] = '\0';
    }
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DEVICE)))
        return false;

    char temp[MAX_PATH];
    if (GetTempFileNameA(folder, "tms", 0, temp) == 0)
        return false;
    HANDLE file = CreateFileA(temp, GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    bool ok = file != INVALID_HANDLE_VALUE;
    const char* p = static_cast<const char*>(data);
    while (ok && size > 0) {
        const DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
        DWORD written = 0;
        ok = WriteFile(file, p, chunk, &written, nullptr) && written > 0;
        p += written;
        size -= written;
    }
    if (file != INVALID_HANDLE_VALUE) {
        ok = FlushFileBuffers(file) && ok;
        ok = CloseHandle(file) && ok;
    }
    if (!ok || !MoveFileExA(temp, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileA(temp);
        return false;
    }
    return true;
}
