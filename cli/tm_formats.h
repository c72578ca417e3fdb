// Output file formats, chosen by the output file's extension, and what each holds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tm_sample_type.h"

enum class TMOutputFormat { Exr, Hdr, Pfm, Tiff, Ppm, Pgm, Pnm, Png, Jpeg };

// By the extension, case-insensitively; nullopt for an extension the tool does not write.
std::optional<TMOutputFormat> TMOutputFormatFromPath(const std::string& path);

// For messages: "OpenEXR", "PNG", ...
const char* TMFormatName(TMOutputFormat format);

// Which result channel each output channel carries, by what the format holds:
// colour as grey or RGB (a grey result is repeated where only RGB fits), an alpha
// channel where the format has one, further channels where it takes any number.
struct TMChannelPlan {
    std::vector<int32_t> from; // per output channel: the result channel it carries
    int32_t colour = 0;        // output channels 0..colour-1 are the filter's colour
    int32_t alpha = -1;        // output channel of the alpha, -1: none
    bool droppedAlpha = false; // the input's alpha has no place in the format
    int32_t droppedOther = 0;  // other channels the format cannot hold
    bool refused = false;      // colour the format cannot hold (RGB into a grey-only format)
};

// `channels` result channels, the first `planes` (1 or 3) colour, `alphaChannel` the
// alpha's index (-1: none).
TMChannelPlan TMPlanChannels(TMOutputFormat format, int32_t channels, int32_t planes, int32_t alphaChannel);

// Samples written for a result of type `result` (Float32 or UInt16):
// float formats keep float, TIFF follows the result, Netpbm is 16-bit, PNG and
// JPEG are 8-bit display images.
TMSampleType TMOutputSampleType(TMOutputFormat format, TMSampleType result);

// True for the formats the tool writes itself rather than through the image library.
bool TMFormatIsNetpbm(TMOutputFormat format);

// The image library's name of the format's writer ("openexr", "tiff", ...).
const char* TMFormatWriterName(TMOutputFormat format);
