// Reading input images and writing output images, by whichever codec applies.
#pragma once

#include <functional>
#include <string>

#include "tm_formats.h"
#include "tm_image.h"
#include "tm_output_file.h"

// Reads subimage 0, miplevel 0 of `path`. Float samples of any width (half, float,
// double) arrive as Float32, 16-bit unsigned integers as UInt16 file values; alpha
// is read as stored, never premultiplied or divided. 8-bit and lower images are
// refused with kTM8BitRefusal (exit code 2), other sample types, deep and volume
// images, FIFOs, devices and images larger than the machine's memory with a message
// (exit code 2); unreadable, truncated and damaged files fail (exit code 1). A
// header that declares more than the file can hold is refused before any
// image-sized allocation.
// `progress` (may be empty) is called as the pixels arrive with the fraction read;
// returning true stops the read, which then fails with "cancelled".
bool TMReadImage(const std::string& path, TMImage* image, TMFileError* error,
                 const std::function<bool(double)>& progress = {});

struct TMWriteOptions {
    // The codec's compression ("zip", "piz", "lzw", "zip:3", "jpeg:90", ...); empty:
    // TMDefaultCompression of the format.
    std::string compression;
    // Called as the encoder advances, with the fraction done (0..1); returning true
    // stops the encoder. May be empty.
    std::function<bool(float)> progress;
    // The file the sink writes. A codec that must own its file (TIFF's) writes it by
    // this name instead of through the sink.
    std::string path;
};

// The compression a format is written with unless the user chooses one: fast enough
// that writing takes no longer than tone-mapping the image.
std::string TMDefaultCompression(TMOutputFormat format);

// Empty when `compression` is one the format's writer takes, else why not.
std::string TMCheckCompression(TMOutputFormat format, const std::string& compression);

// Writes `image` (samples already in the format's encoding, `meta` the output
// header) through `sink` in `format`. Every byte goes through the sink, so a failed
// write is reported even where the codec itself ignores it. error gets the cause.
bool TMWriteImage(TMByteSink& sink, TMOutputFormat format, const TMImage& image, const TMWriteOptions& options,
                  std::string* error);
