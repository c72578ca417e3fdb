#include "tm_encode.h"

#include <algorithm>
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
                          "openexr:lineOrder", "openexr:chunkCount", "openexr:levelmode", "openexr:roundingmode",
                          "openexr:dwaCompressionLevel", "openexr:version"});
}

bool describesTransfer(const std::string& name)
{
    return isOneOf(name, {"oiio:ColorSpace", "oiio:Gamma", "ICCProfile", "Exif:ColorSpace", "Exif:Gamma"});
}

} // namespace

bool TMStoresAssociatedAlpha(const OIIO::ImageSpec& meta)
{
    return meta.alpha_channel >= 0 && meta.get_int_attribute("oiio:UnassociatedAlpha", 0) == 0;
}

void TMUnassociateAlpha(TMImage* image, int32_t planes, int32_t alphaChannel)
{
    const int32_t channels = image->channels;
    if (alphaChannel < planes || alphaChannel >= channels)
        return;
    const int64_t pixels = int64_t{image->width} * image->height;
    for (int64_t p = 0; p < pixels; ++p) {
        const auto at = static_cast<size_t>(p * channels);
        if (image->type == TMSampleType::Float32) {
            const float a = image->f32[at + static_cast<size_t>(alphaChannel)];
            if (a > 0.0f)
                for (int32_t c = 0; c < planes; ++c)
                    image->f32[at + static_cast<size_t>(c)] /= a;
        } else if (image->type == TMSampleType::UInt16) {
            const uint32_t a = image->u16[at + static_cast<size_t>(alphaChannel)];
            if (a > 0)
                for (int32_t c = 0; c < planes; ++c) {
                    uint16_t& v = image->u16[at + static_cast<size_t>(c)];
                    v = static_cast<uint16_t>(std::min<uint32_t>(65535u, (uint32_t{v} * 65535u + a / 2) / a));
                }
        }
    }
}

TMImage TMEncodeResult(const TMImage& source, TMImage result, const TMChannelPlan& plan, TMSampleType target,
                       bool associate)
{
    const int32_t inChannels = result.channels;
    const auto outChannels = static_cast<int32_t>(plan.from.size());
    associate = associate && plan.alpha >= 0 && target == TMSampleType::Float32;
    bool inPlace = outChannels == inChannels;
    for (int32_t k = 0; inPlace && k < outChannels; ++k)
        inPlace = plan.from[static_cast<size_t>(k)] == k;
    if (result.type == TMSampleType::Float32 && target == TMSampleType::Float32 && inPlace) {
        if (associate) {
            const auto alpha = static_cast<size_t>(plan.alpha);
            for (size_t p = 0; p + static_cast<size_t>(inChannels) <= result.f32.size();
                 p += static_cast<size_t>(inChannels))
                for (size_t c = 0; c < static_cast<size_t>(plan.colour); ++c)
                    result.f32[p + c] *= result.f32[p + alpha];
        }
        result.meta = OIIO::ImageSpec();
        return result;
    }
    TMImage out;
    out.allocate(target, result.width, result.height, outChannels);
    const int64_t pixels = int64_t{result.width} * result.height;
    const bool floatResult = result.type == TMSampleType::Float32;
    static const TMDisplay8Table display8;
    for (int64_t p = 0; p < pixels; ++p) {
        const auto in = static_cast<size_t>(p * inChannels);
        const auto o = static_cast<size_t>(p * outChannels);
        float alpha = 1.0f;
        if (associate) {
            const auto a = in + static_cast<size_t>(plan.from[static_cast<size_t>(plan.alpha)]);
            alpha = floatResult ? result.f32[a] : TMFile16ToFloat(source.u16[a]);
        }
        for (int32_t k = 0; k < outChannels; ++k) {
            const bool colour = k < plan.colour;
            const size_t i = in + static_cast<size_t>(plan.from[static_cast<size_t>(k)]);
            const size_t j = o + static_cast<size_t>(k);
            if (floatResult) {
                const float x = result.f32[i];
                switch (target) {
                case TMSampleType::Float32: out.f32[j] = colour ? x * alpha : x; break;
                case TMSampleType::UInt16: out.u16[j] = TMFloatToFile16(x); break;
                case TMSampleType::UInt8:
                    out.u8[j] = colour ? display8(x) : static_cast<uint8_t>(TMUnitToInteger(x, 255));
                    break;
                }
            } else {
                const uint16_t h = result.u16[i];
                const uint16_t v = source.u16[i];
                switch (target) {
                case TMSampleType::Float32:
                    out.f32[j] = colour ? TMHost16ToFloat(h) * alpha : TMFile16ToFloat(v);
                    break;
                case TMSampleType::UInt16: out.u16[j] = colour ? TMHostToFile16(h) : v; break;
                case TMSampleType::UInt8: out.u8[j] = colour ? TMHost16ToDisplay8(h) : TMFile16ToFile8(v); break;
                }
            }
        }
    }
    return out;
}

OIIO::ImageSpec TMOutputSpec(const OIIO::ImageSpec& source, const TMImage& encoded, const TMChannelPlan& plan,
                             bool transferChanged, bool associated)
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
    // Names follow the channels; a grey result repeated as RGB is named as such.
    const bool named = static_cast<int>(source.channelnames.size()) == source.nchannels;
    const bool greyAsRgb = plan.colour == 3 && plan.from.size() >= 3 && plan.from[0] == plan.from[1];
    for (size_t k = 0; k < plan.from.size() && static_cast<int>(k) < encoded.channels; ++k) {
        const int32_t c = plan.from[k];
        if (greyAsRgb && k < 3)
            out.channelnames[k] = std::string(1, "RGB"[k]);
        else if (named && c < source.nchannels)
            out.channelnames[k] = source.channelnames[static_cast<size_t>(c)];
        if (c == source.z_channel)
            out.z_channel = static_cast<int>(k);
    }
    out.alpha_channel = plan.alpha;
    for (const OIIO::ParamValue& p : source.extra_attribs) {
        const std::string name = p.name().string();
        if (describesOldEncoding(name) || (transferChanged && describesTransfer(name)) ||
            strcasecmp(name.c_str(), "oiio:UnassociatedAlpha") == 0)
            continue;
        out.extra_attribs.push_back(p);
    }
    if (plan.alpha >= 0 && !associated)
        out.attribute("oiio:UnassociatedAlpha", 1);
    if (transferChanged) {
        out.attribute("oiio:ColorSpace", "Gamma2.2");
        out.attribute("oiio:Gamma", 2.2f);
    }
    return out;
}
