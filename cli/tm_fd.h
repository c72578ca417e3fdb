// Reading an open file at an offset, whole: shared by the input file and by the
// output sink, which some encoders read back.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include <unistd.h>

// Reads up to `count` bytes at `offset`, retrying interrupted and partial reads;
// returns the bytes read (fewer only at the end of the file or on an error).
inline size_t TMReadAt(int fd, void* buffer, size_t count, int64_t offset)
{
    size_t done = 0;
    while (done < count) {
        const ssize_t n = pread(fd, static_cast<char*>(buffer) + done, count - done,
                                static_cast<off_t>(offset) + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    return done;
}
