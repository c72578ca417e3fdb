// The input file, opened once, and the limits an image's declared size must meet
// before anything image-sized is allocated for it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "tm_image.h"

// A regular file opened for reading, with its size when it was opened. Directories,
// FIFOs, devices and sockets are refused from the one open descriptor, so nothing
// waits for a writer or reads an endless stream.
class TMInputFile {
public:
    TMInputFile() = default;
    TMInputFile(const TMInputFile&) = delete;
    TMInputFile& operator=(const TMInputFile&) = delete;
    ~TMInputFile();

    // error: "cannot read input 'PATH': WHY"; exit code 2 for the file kinds the
    // tool refuses, 1 for a missing or unreadable file and for a directory.
    bool open(const std::string& path, TMFileError* error);

    FILE* get() const { return file_; }
    const std::string& path() const { return path_; }
    int64_t size() const { return size_; }

    // The first bytes of the file (fewer when it is shorter); the read position
    // is left where it was.
    size_t peek(void* buffer, size_t count) const;

private:
    FILE* file_ = nullptr;
    std::string path_;
    int64_t size_ = 0;
};

// Working memory of a render per pixel, besides the samples: three float planes
// (luminance and its two gradients), and a third more for the solver's coarser grids.
constexpr uint64_t kTMRenderBytesPerPixel = 3 * 4 * 4 / 3;

// Installed memory in bytes, 0 when unknown.
uint64_t TMMachineMemory();

// Bytes an image of this size needs in memory: its samples (of sampleBytes each)
// plus the render's working memory. Saturates instead of overflowing.
uint64_t TMImageMemory(int64_t width, int64_t height, int64_t channels, int64_t sampleBytes);

// False, with a refusal (exit code 2), when the image needs more memory than the
// machine has (`machineMemory` bytes; 0 skips the check).
bool TMCheckImageMemory(const std::string& path, int64_t width, int64_t height, int64_t channels, int64_t sampleBytes,
                        uint64_t machineMemory, TMFileError* error);
