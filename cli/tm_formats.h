// Output file formats, chosen by the output file's extension, and what each holds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "tm_sample_type.h"

enum class TMOutputFormat { Exr, Hdr, Pfm, Tiff, Ppm, Pgm, Pnm, Png, Jpeg };

// By the extension, case-insensitively; nullopt for an extension the tool does not write.
std::optional<TMOutputFormat> TMOutputFormatFromPath(const std::string& path);

// For messages: "OpenEXR", "PNG", ...
const char* TMFormatName(TMOutputFormat format);

bool TMFormatHoldsChannels(TMOutputFormat format, int32_t channels);

// The channel counts TMFormatHoldsChannels accepts, for messages: "3", "1 or 3", ...
const char* TMFormatChannelCounts(TMOutputFormat format);

// Samples written for a result of type `result` (Float32 or UInt16):
// float formats keep float, TIFF follows the result, Netpbm is 16-bit, PNG and
// JPEG are 8-bit display images.
TMSampleType TMOutputSampleType(TMOutputFormat format, TMSampleType result);

// True for the formats the tool writes itself rather than through the image library.
bool TMFormatIsNetpbm(TMOutputFormat format);

// The image library's name of the format's writer ("openexr", "tiff", ...).
const char* TMFormatWriterName(TMOutputFormat format);
