// Netpbm and PFM images: 16-bit PGM/PPM and float PFM, parsed from any byte source
// (memory or a file) and formatted into any byte writer. Portable C++17, no image
// library: the command-line tool, the Windows test host and the benchmark's scene
// writer share it.
//
// Read: P2/P3 (text) and P5/P6 (binary) with maxval 256..65535, samples scaled to
// 0..65535 when maxval is smaller; PF (RGB) and Pf (grey) float in either byte order
// (negative scale: little-endian), rows stored bottom to top. P1/P4 bitmaps and
// maxval <= 255 are 8-bit images, reported as such. Any whitespace and '#' comments
// may follow the header's last token; a binary raster is the source's last
// width x height x channels samples, so its length is checked against the source's
// size before anything image-sized is allocated.
// Written: P5 (1 channel) or P6 (3 channels) with maxval 65535, or Pf / PF with
// scale -1.0 (little-endian); the header is "<magic>\n<width> <height>\n<maxval or scale>\n".
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

enum class TMNetpbmStatus {
    Ok,
    NotNetpbm,   // no Netpbm magic number
    Unsupported, // a Netpbm variant this codec does not read (P7, Px)
    EightBit,    // a bitmap (P1, P4) or maxval <= 255
    BadHeader,   // width, height, maxval or scale missing or out of range
    Truncated,   // fewer bytes or samples than the header declares
    Mismatch,    // more bytes or samples than the header declares
    BadSample,   // a text sample that is no number, or a sample above maxval
    ReadError,   // the source could not be read
};

struct TMNetpbmError {
    TMNetpbmStatus status = TMNetpbmStatus::Ok;
    std::string message; // what is wrong, for a person ("truncated: ..."); empty when Ok
};

struct TMNetpbmHeader {
    char kind = 0;                 // the magic number's second character: 2, 3, 5, 6, F or f
    int32_t width = 0, height = 0; // pixels, 1..2^31-1
    int32_t channels = 0;          // 1 (grey) or 3 (RGB)
    bool isFloat = false;          // PF / Pf
    bool isText = false;           // P2 / P3: decimal samples
    uint32_t maxval = 0;           // 256..65535 for PGM/PPM, 0 for PFM
    bool littleEndian = false;     // PFM byte order
    int64_t headerEnd = 0;         // offset just after the header's last token
    int64_t rasterOffset = 0;      // binary rasters: offset of the first sample byte

    uint64_t sampleCount() const { return uint64_t(width) * uint64_t(height) * uint64_t(channels); }
};

// Where the bytes come from. read() may be called at any offset, mostly ascending.
class TMNetpbmSource {
public:
    virtual ~TMNetpbmSource() = default;
    virtual int64_t size() const = 0;
    // Reads up to `count` bytes at `offset`; returns how many were read. Fewer than
    // asked: the end of the data, or a failure, which sets `error` to its cause.
    virtual size_t read(int64_t offset, void* buffer, size_t count, std::string* error) = 0;
};

// Bytes in memory, not owned.
class TMNetpbmMemory final : public TMNetpbmSource {
public:
    TMNetpbmMemory(const void* data, size_t size) : data_(static_cast<const uint8_t*>(data)), size_(size) {}
    int64_t size() const override { return static_cast<int64_t>(size_); }
    size_t read(int64_t offset, void* buffer, size_t count, std::string* error) override;

private:
    const uint8_t* data_;
    size_t size_;
};

// True when the first `count` bytes at `start` begin with a magic number this codec
// recognises (P1 to P6, PF, Pf) followed by whitespace.
bool TMNetpbmMagic(const unsigned char* start, size_t count);

// Reads the header and checks the raster's length against the source's size,
// reading no sample: the caller can weigh the declared size before allocating.
bool TMNetpbmReadHeader(TMNetpbmSource& source, TMNetpbmHeader* header, TMNetpbmError* error);

// Reads the samples that `header` (from TMNetpbmReadHeader on the same source)
// declares into caller-owned storage of header.sampleCount() samples, interleaved,
// rows top to bottom: `f32` for PFM, `u16` (scaled to 0..65535) otherwise; the other
// may be null. On failure the storage holds an unspecified part of the image.
bool TMNetpbmReadSamples(TMNetpbmSource& source, const TMNetpbmHeader& header, float* f32, uint16_t* u16,
                         TMNetpbmError* error);

// A whole image: the header and the samples of the one vector its type selects.
struct TMNetpbmPicture {
    TMNetpbmHeader header;
    std::vector<float> f32;
    std::vector<uint16_t> u16;
};

bool TMNetpbmRead(TMNetpbmSource& source, TMNetpbmPicture* picture, TMNetpbmError* error);
bool TMNetpbmDecode(const void* data, size_t size, TMNetpbmPicture* picture, TMNetpbmError* error);

// An image to write: 1 or 3 channels, interleaved, rows top to bottom, packed. Exactly
// one sample pointer is set: `f32` writes PFM, `u16` (file values) writes PGM/PPM.
struct TMNetpbmView {
    int32_t width = 0, height = 0, channels = 0;
    const float* f32 = nullptr;
    const uint16_t* u16 = nullptr;
};

// Receives the file's bytes in order; false stops the writing.
using TMNetpbmWriter = std::function<bool(const void* data, size_t count)>;

// True when `image` can be written; otherwise false, with `error` saying why.
bool TMNetpbmWritable(const TMNetpbmView& image, std::string* error);

// Formats `image` into `write`. False when the image cannot be written, with `error`
// saying why, or when `write` failed, with `error` left empty (the writer knows why).
bool TMNetpbmWrite(const TMNetpbmView& image, const TMNetpbmWriter& write, std::string* error);
