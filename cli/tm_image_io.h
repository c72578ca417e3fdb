// Reading input images and writing output images, by whichever codec applies.
#pragma once

#include <string>

#include "tm_formats.h"
#include "tm_image.h"

// Reads subimage 0, miplevel 0 of `path`. Float samples of any width (half, float,
// double) arrive as Float32, 16-bit unsigned integers as UInt16 file values; alpha
// is read as stored, never premultiplied or divided. 8-bit and lower images are
// refused with kTM8BitRefusal (exit code 2), other sample types, deep and volume
// images, FIFOs, devices and images larger than the machine's memory with a message
// (exit code 2); unreadable, truncated and damaged files fail (exit code 1). A
// header that declares more than the file can hold is refused before any
// image-sized allocation.
bool TMReadImage(const std::string& path, TMImage* image, TMFileError* error);

// Writes `image` (samples already in the format's encoding, `meta` the output
// header) to `path` in `format`, regardless of path's extension. error gets the
// codec's explanation.
bool TMWriteImage(const std::string& path, TMOutputFormat format, const TMImage& image, std::string* error);
