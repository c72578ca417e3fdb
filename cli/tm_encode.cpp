#include "tm_encode.h"

#include <cstring>
#include <strings.h>

#include "tm_samples.h"

namespace {

OIIO::TypeDesc typeDesc(TMSampleType t)
{
    switch (t) {
    case TMSampleType::Float32: return OIIO::TypeDesc::FLOAT;
    case TMSampleType::UInt16: return OIIO::TypeDesc::UINT16;
    case TMSampleType::UInt8: return OIIO::TypeDesc::UINT8;
    }
    return OIIO::TypeDesc::FLOAT;
}

bool hasPrefix(const std::string& name, const char* prefix)
{
    return strncasecmp(name.c_str(), prefix, std::strlen(prefix)) == 0;
}

bool isOneOf(const std::string& name, std::initializer_list<const char*> names)
{
    for (const char* n : names)
        if (strcasecmp(name.c_str(), n) == 0)
            return true;
    return false;
}

bool describesOldEncoding(const std::string& name)
{
    // Format-specific settings of how the samples were stored, and the image
    // library's own bookkeeping about the file just read...
    for (const char* prefix : {"tiff:", "png:", "jpeg:", "pnm:", "thumbnail_"})
        if (hasPrefix(name, prefix))
            return true;
    if (hasPrefix(name, "oiio:"))
        return !isOneOf(name, {"oiio:ColorSpace", "oiio:Gamma", "oiio:UnassociatedAlpha"});
    // ...and the remaining layout, compression and texture-lookup settings.
    return isOneOf(name, {"compression", "CompressionQuality", "planarconfig", "textureformat", "wrapmodes",
                          "openexr:lineOrder", "openexr:chunkCount", "openexr:levelmode",
                          "openexr:roundingmode", "openexr:dwaCompressionLevel", "openexr:version"});
}

bool describesTransfer(const std::string& name)
{
    return isOneOf(name, {"oiio:ColorSpace", "oiio:Gamma", "ICCProfile", "Exif:ColorSpace", "Exif:Gamma"});
}

} // namespace

TMImage TMEncodeResult(const TMImage& source, TMImage result, int32_t planes, TMSampleType target)
{
    if (result.type == TMSampleType::Float32 && target == TMSampleType::Float32) {
        result.meta = OIIO::ImageSpec();
        return result;
    }
    TMImage out;
    out.allocate(target, result.width, result.height, result.channels);
    const int64_t n = result.sampleCount();
    const int32_t channels = result.channels;
    const bool floatResult = result.type == TMSampleType::Float32;
    for (int64_t i = 0; i < n; ++i) {
        const bool colour = static_cast<int32_t>(i % channels) < planes;
        const auto k = static_cast<size_t>(i);
        if (floatResult) {
            const float x = result.f32[k];
            switch (target) {
            case TMSampleType::Float32: out.f32[k] = x; break;
            case TMSampleType::UInt16: out.u16[k] = TMFloatToFile16(x); break;
            case TMSampleType::UInt8:
                out.u8[k] = colour ? TMFloatToDisplay8(x) : static_cast<uint8_t>(TMUnitToInteger(x, 255));
                break;
            }
        } else {
            const uint16_t h = result.u16[k];
            const uint16_t v = source.u16[k];
            switch (target) {
            case TMSampleType::Float32: out.f32[k] = colour ? TMHost16ToFloat(h) : TMFile16ToFloat(v); break;
            case TMSampleType::UInt16: out.u16[k] = colour ? TMHostToFile16(h) : v; break;
            case TMSampleType::UInt8: out.u8[k] = colour ? TMHost16ToDisplay8(h) : TMFile16ToFile8(v); break;
            }
        }
    }
    return out;
}

OIIO::ImageSpec TMOutputSpec(const OIIO::ImageSpec& source, const TMImage& encoded, bool transferChanged)
{
    OIIO::ImageSpec out(encoded.width, encoded.height, encoded.channels, typeDesc(encoded.type));
    out.x = source.x;
    out.y = source.y;
    if (source.full_width > 0 && source.full_height > 0) {
        out.full_x = source.full_x;
        out.full_y = source.full_y;
        out.full_width = source.full_width;
        out.full_height = source.full_height;
    }
    if (source.nchannels == encoded.channels && static_cast<int>(source.channelnames.size()) == encoded.channels) {
        out.channelnames = source.channelnames;
        out.alpha_channel = source.alpha_channel;
        out.z_channel = source.z_channel;
    }
    for (const OIIO::ParamValue& p : source.extra_attribs) {
        const std::string name = p.name().string();
        if (describesOldEncoding(name) || (transferChanged && describesTransfer(name)))
            continue;
        out.extra_attribs.push_back(p);
    }
    if (transferChanged) {
        out.attribute("oiio:ColorSpace", "Gamma2.2");
        out.attribute("oiio:Gamma", 2.2f);
    }
    return out;
}
