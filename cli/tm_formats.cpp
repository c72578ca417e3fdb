#include "tm_formats.h"

#include <algorithm>
#include <cctype>

namespace {

struct FormatInfo {
    TMOutputFormat format;
    const char* extensions[2];
    const char* name;
    const char* writer; // image library writer; nullptr when written by the tool
    int32_t minChannels, maxChannels;
    bool oddOnly; // 1 or 3 channels only
    const char* channelText;
};

// HDR holds exactly RGB; Netpbm grey or RGB by variant; PNG grey, grey+alpha, RGB,
// RGBA; JPEG grey or RGB (the library would silently drop or mix other channels).
const FormatInfo kFormats[] = {
    {TMOutputFormat::Exr, {".exr", nullptr}, "OpenEXR", "openexr", 1, 1 << 20, false, "any number of"},
    {TMOutputFormat::Hdr, {".hdr", nullptr}, "Radiance HDR", "hdr", 3, 3, false, "3"},
    {TMOutputFormat::Pfm, {".pfm", nullptr}, "PFM", nullptr, 1, 3, true, "1 or 3"},
    {TMOutputFormat::Tiff, {".tif", ".tiff"}, "TIFF", "tiff", 1, 1 << 20, false, "any number of"},
    {TMOutputFormat::Ppm, {".ppm", nullptr}, "PPM", nullptr, 3, 3, false, "3"},
    {TMOutputFormat::Pgm, {".pgm", nullptr}, "PGM", nullptr, 1, 1, false, "1"},
    {TMOutputFormat::Pnm, {".pnm", nullptr}, "PNM", nullptr, 1, 3, true, "1 or 3"},
    {TMOutputFormat::Png, {".png", nullptr}, "PNG", "png", 1, 4, false, "1 to 4"},
    {TMOutputFormat::Jpeg, {".jpg", ".jpeg"}, "JPEG", "jpeg", 1, 3, true, "1 or 3"},
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

bool TMFormatHoldsChannels(TMOutputFormat format, int32_t channels)
{
    const FormatInfo& f = info(format);
    if (f.oddOnly && channels == 2)
        return false;
    return channels >= f.minChannels && channels <= f.maxChannels;
}

const char* TMFormatChannelCounts(TMOutputFormat format) { return info(format).channelText; }

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
