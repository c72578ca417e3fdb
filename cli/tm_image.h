// An image file's pixels in memory, and how reading or writing one failed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <OpenImageIO/imageio.h>

#include "tm_sample_type.h"

// Interleaved pixels, rows top to bottom, `channels` samples per pixel, no padding.
// Exactly one of the sample vectors is in use, chosen by `type`.
struct TMImage {
    int32_t width = 0;
    int32_t height = 0;
    int32_t channels = 0;
    TMSampleType type = TMSampleType::Float32;
    std::vector<float> f32;
    std::vector<uint16_t> u16;
    std::vector<uint8_t> u8;
    // Everything about the file besides its pixels: attributes, channel names,
    // alpha channel, data and display windows. Its pixel fields are not used.
    OIIO::ImageSpec meta;

    int64_t sampleCount() const { return int64_t{width} * height * channels; }
    // Sizes the vector that `type` selects; the others are emptied.
    void allocate(TMSampleType t, int32_t w, int32_t h, int32_t c);
};

// Why a file could not be read or written. exitCode is 1 for failures (missing
// file, I/O error, corrupt data) and 2 for files the tool refuses by design.
struct TMFileError {
    int exitCode = 1;
    std::string message;
};

// The refusal of 8-bit (and lower) images, word for word as the plug-in shows it.
extern const char* const kTM8BitRefusal;
