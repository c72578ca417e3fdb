// Netpbm and PFM files through C stdio, with 64-bit offsets on every target: the
// codec's thin file layer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "tm_netpbm_codec.h"

// An open file read at offsets (not owned); `size` is its length in bytes.
class TMNetpbmFile final : public TMNetpbmSource {
public:
    TMNetpbmFile(FILE* file, int64_t size) : file_(file), size_(size) {}
    int64_t size() const override { return size_; }
    size_t read(int64_t offset, void* buffer, size_t count, std::string* error) override;

private:
    FILE* file_;
    int64_t size_;
    int64_t position_ = -1; // where the stream stands after the last read; -1: unknown
};

// Reads the file at `path` whole. Failures to open it are ReadError.
bool TMNetpbmReadFile(const std::string& path, TMNetpbmPicture* picture, TMNetpbmError* error);

// Writes `image` to `path`, replacing the file; `error` says why it failed. An image
// that cannot be written leaves the file as it was; a failed write removes it.
bool TMNetpbmWriteFile(const std::string& path, const TMNetpbmView& image, std::string* error);
