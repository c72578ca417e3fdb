#include "tm_formats.h"

#include <algorithm>
#include <cctype>

namespace {

enum class Colour { Any, GreyOrRgb, RgbOnly, GreyOnly };

struct FormatInfo {
    TMOutputFormat format;
    const char* extensions[2];
    const char* name;
    const char* writer; // image library writer; nullptr when written by the tool
    Colour colour;
    bool alpha;  // holds an alpha channel
    bool extras; // holds any number of further channels
};

// PNG holds grey or RGB with an optional alpha; JPEG, PFM and PNM grey or RGB; HDR
// and PPM only RGB; PGM only grey (the library would silently drop or mix others).
const FormatInfo kFormats[] = {
    {TMOutputFormat::Exr, {".exr", nullptr}, "OpenEXR", "openexr", Colour::Any, true, true},
    {TMOutputFormat::Hdr, {".hdr", nullptr}, "Radiance HDR", "hdr", Colour::RgbOnly, false, false},
    {TMOutputFormat::Pfm, {".pfm", nullptr}, "PFM", nullptr, Colour::GreyOrRgb, false, false},
    {TMOutputFormat::Tiff, {".tif", ".tiff"}, "TIFF", "tiff", Colour::Any, true, true},
    {TMOutputFormat::Ppm, {".ppm", nullptr}, "PPM", nullptr, Colour::RgbOnly, false, false},
    {TMOutputFormat::Pgm, {".pgm", nullptr}, "PGM", nullptr, Colour::GreyOnly, false, false},
    {TMOutputFormat::Pnm, {".pnm", nullptr}, "PNM", nullptr, Colour::GreyOrRgb, false, false},
    {TMOutputFormat::Png, {".png", nullptr}, "PNG", "png", Colour::GreyOrRgb, true, false},
    {TMOutputFormat::Jpeg, {".jpg", ".jpeg"}, "JPEG", "jpeg", Colour::GreyOrRgb, false, false},
};

const FormatInfo& info(TMOutputFormat format)
{
    for (const FormatInfo& f : kFormats)
        if (f.format == format)
            return f;
    return kFormats[0]; // unreachable: every enumerator has an entry
}

std::string lowerExtension(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return std::string();
    std::string ext = path.substr(dot);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext;
}

} // namespace

std::optional<TMOutputFormat> TMOutputFormatFromPath(const std::string& path)
{
    const std::string ext = lowerExtension(path);
    for (const FormatInfo& f : kFormats)
        for (const char* e : f.extensions)
            if (e && ext == e)
                return f.format;
    return std::nullopt;
}

const char* TMFormatName(TMOutputFormat format) { return info(format).name; }

TMChannelPlan TMPlanChannels(TMOutputFormat format, int32_t channels, int32_t planes, int32_t alphaChannel)
{
    const FormatInfo& f = info(format);
    TMChannelPlan plan;
    if (f.colour == Colour::GreyOnly && planes > 1) {
        plan.refused = true;
        return plan;
    }
    if (f.colour == Colour::RgbOnly && planes == 1)
        plan.from = {0, 0, 0};
    else
        for (int32_t c = 0; c < planes; ++c)
            plan.from.push_back(c);
    plan.colour = static_cast<int32_t>(plan.from.size());
    for (int32_t c = planes; c < channels; ++c) {
        if (c == alphaChannel) {
            if (f.alpha) {
                plan.alpha = static_cast<int32_t>(plan.from.size());
                plan.from.push_back(c);
            } else {
                plan.droppedAlpha = true;
            }
        } else if (f.extras) {
            plan.from.push_back(c);
        } else {
            ++plan.droppedOther;
        }
    }
    return plan;
}

TMSampleType TMOutputSampleType(TMOutputFormat format, TMSampleType result)
{
    switch (format) {
    case TMOutputFormat::Exr:
    case TMOutputFormat::Hdr:
    case TMOutputFormat::Pfm: return TMSampleType::Float32;
    case TMOutputFormat::Tiff: return result;
    case TMOutputFormat::Ppm:
    case TMOutputFormat::Pgm:
    case TMOutputFormat::Pnm: return TMSampleType::UInt16;
    case TMOutputFormat::Png:
    case TMOutputFormat::Jpeg: return TMSampleType::UInt8;
    }
    return result;
}

bool TMFormatIsNetpbm(TMOutputFormat format) { return info(format).writer == nullptr; }

const char* TMFormatWriterName(TMOutputFormat format) { return info(format).writer; }
