// Encoding of results into output samples, untouched channels included, and the
// output file's metadata.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include <cerrno>
#include <cstring>

#include <unistd.h>

#include "tm_encode.h"
#include "tm_image_io.h"
#include "tm_samples.h"

namespace {

// A sample vector as a plain one, to compare with a list.
template <typename V>
std::vector<typename V::value_type> plain(const V& v)
{
    return std::vector<typename V::value_type>(v.begin(), v.end());
}

// Every channel in place, the first `planes` colour, the last an alpha when the
// count is even (grey + alpha, RGB + alpha).
TMChannelPlan keep(int32_t channels, int32_t planes)
{
    TMChannelPlan plan;
    for (int32_t c = 0; c < channels; ++c)
        plan.from.push_back(c);
    plan.colour = planes;
    plan.alpha = channels % 2 == 0 ? channels - 1 : -1;
    return plan;
}

// A 1 x 1 grey+alpha image: source file values and a host-range result.
struct GreyAlpha {
    TMImage source, result;
    GreyAlpha(uint16_t grey, uint16_t alpha, uint16_t hostResult)
    {
        source.allocate(TMSampleType::UInt16, 1, 1, 2);
        source.u16 = {grey, alpha};
        result.allocate(TMSampleType::UInt16, 1, 1, 2);
        result.u16 = {hostResult, TMFileToHost16(alpha)};
    }
};

} // namespace

TEST(CliEncode, SixteenBitColourIsBackMappedAndUntouchedChannelsKeepFileValues)
{
    // 12345 is odd: the host range cannot hold it, so a trip through the host
    // encoding would change it.
    const GreyAlpha img(1000, 12345, 16384);
    const TMImage u16 = TMEncodeResult(img.source, img.result, keep(2, 1), TMSampleType::UInt16, false);
    EXPECT_EQ(u16.u16[0], 32768);
    EXPECT_EQ(u16.u16[1], 12345);

    const TMImage f = TMEncodeResult(img.source, img.result, keep(2, 1), TMSampleType::Float32, false);
    EXPECT_FLOAT_EQ(f.f32[0], 0.5f);
    EXPECT_FLOAT_EQ(f.f32[1], 12345.0f / 65535.0f);

    const TMImage u8 = TMEncodeResult(img.source, img.result, keep(2, 1), TMSampleType::UInt8, false);
    EXPECT_EQ(u8.u8[0], 128);
    EXPECT_EQ(u8.u8[1], 48); // 12345 / 257 = 48.04
}

TEST(CliEncode, FloatColourIsGammaEncodedForDisplayButAlphaIsScaledLinearly)
{
    TMImage source;
    source.allocate(TMSampleType::Float32, 2, 1, 4);
    source.f32 = {2.0f, 3.0f, 4.0f, 0.25f, 5.0f, 6.0f, 7.0f, 1.0f};
    TMImage result = source;
    const float lin = std::pow(0.6f, 2.2f);
    result.f32 = {lin, 0.0f, 1.0f, 0.25f, 0.5f, 0.5f, 0.5f, 1.0f};

    const TMImage u8 = TMEncodeResult(source, result, keep(4, 3), TMSampleType::UInt8, false);
    EXPECT_EQ(u8.u8[0], 153);
    EXPECT_EQ(u8.u8[1], 0);
    EXPECT_EQ(u8.u8[2], 255);
    EXPECT_EQ(u8.u8[3], 64);  // 0.25 * 255 = 63.75, no transfer curve
    EXPECT_EQ(u8.u8[4], 186); // 0.5^(1/2.2) * 255 = 186.1

    const TMImage f = TMEncodeResult(source, result, keep(4, 3), TMSampleType::Float32, false);
    EXPECT_EQ(f.f32, result.f32);
    const TMImage u16 = TMEncodeResult(source, result, keep(4, 3), TMSampleType::UInt16, false);
    EXPECT_EQ(u16.u16[3], 16384); // 0.25 * 65535 = 16383.75
    EXPECT_EQ(u16.u16[4], 32768);
}

TEST(CliMetadata, KeepsDescriptiveAttributesAndDropsTheOldEncoding)
{
    OIIO::ImageSpec source(300, 200, 4, OIIO::TypeDesc::HALF);
    source.channelnames = {"R", "G", "B", "A"};
    source.alpha_channel = 3;
    source.x = 5;
    source.full_width = 400;
    source.full_height = 300;
    source.attribute("Artist", "someone");
    source.attribute("Orientation", 6);
    source.attribute("oiio:ColorSpace", "Linear");
    source.attribute("compression", "piz");
    source.attribute("oiio:BitsPerSample", 16);
    source.attribute("tiff:RowsPerStrip", 32);
    source.attribute("openexr:lineOrder", "increasingY");
    source.attribute("oiio:SHA-1", "abc");
    source.attribute("thumbnail_width", 16);

    TMImage encoded;
    encoded.allocate(TMSampleType::Float32, 300, 200, 4);
    const OIIO::ImageSpec out = TMOutputSpec(source, encoded, keep(4, 3), false, true);
    EXPECT_EQ(out.format, OIIO::TypeDesc::FLOAT);
    EXPECT_EQ(out.nchannels, 4);
    EXPECT_EQ(out.alpha_channel, 3);
    EXPECT_EQ(out.x, 5);
    EXPECT_EQ(out.full_width, 400);
    EXPECT_EQ(out.get_string_attribute("Artist"), "someone");
    EXPECT_EQ(out.get_int_attribute("Orientation"), 6);
    EXPECT_EQ(out.get_string_attribute("oiio:ColorSpace"), "Linear");
    for (const char* dropped : {"compression", "oiio:BitsPerSample", "tiff:RowsPerStrip", "openexr:lineOrder",
                                "oiio:SHA-1", "thumbnail_width"})
        EXPECT_EQ(out.find_attribute(dropped), nullptr) << dropped;
}

TEST(CliMetadata, ALinearResultWrittenForDisplayIsTaggedGamma22)
{
    OIIO::ImageSpec source(10, 10, 3, OIIO::TypeDesc::FLOAT);
    source.attribute("oiio:ColorSpace", "Linear");
    const unsigned char icc[4] = {1, 2, 3, 4};
    source.attribute("ICCProfile", OIIO::TypeDesc(OIIO::TypeDesc::UINT8, 4), icc);
    source.attribute("Copyright", "us");
    TMImage encoded;
    encoded.allocate(TMSampleType::UInt8, 10, 10, 3);

    const OIIO::ImageSpec out = TMOutputSpec(source, encoded, keep(3, 3), true, false);
    EXPECT_EQ(out.get_string_attribute("oiio:ColorSpace"), "Gamma2.2");
    EXPECT_FLOAT_EQ(out.get_float_attribute("oiio:Gamma"), 2.2f);
    EXPECT_EQ(out.find_attribute("ICCProfile"), nullptr);
    EXPECT_EQ(out.get_string_attribute("Copyright"), "us");
    // Same encoding (16-bit result to 8-bit): the colour description still holds.
    EXPECT_NE(TMOutputSpec(source, encoded, keep(3, 3), false, false).find_attribute("ICCProfile"), nullptr);
}

// Colour stored multiplied by alpha is divided by it before the filter, and multiplied
// again only where the output format stores it so; the other formats get unassociated
// colour and are marked so. Alpha itself is never changed.
TEST(CliAlpha, ColourIsUnassociatedForTheFilterAndWrittenInTheFormatsConvention)
{
    TMImage f;
    f.allocate(TMSampleType::Float32, 3, 1, 4);
    f.f32 = {0.2f, 0.4f, 0.1f, 0.5f, 0.3f, 0.3f, 0.3f, 0.0f, 2.0f, 4.0f, 1.0f, 1.0f};
    TMUnassociateAlpha(&f, 3, 3);
    EXPECT_EQ(plain(f.f32),
              (std::vector<float>{0.4f, 0.8f, 0.2f, 0.5f, 0.3f, 0.3f, 0.3f, 0.0f, 2.0f, 4.0f, 1.0f, 1.0f}))
        << "alpha 0 leaves the colour as stored; alpha 1 changes nothing";

    TMImage u;
    u.allocate(TMSampleType::UInt16, 2, 1, 2);
    u.u16 = {10000, 20000, 30000, 20000};
    TMUnassociateAlpha(&u, 1, 1);
    EXPECT_EQ(plain(u.u16), (std::vector<uint16_t>{32768, 20000, 65535, 20000})) << "rounded, and capped at white";

    // A half-transparent pixel of the filter's result: OpenEXR gets colour x alpha,
    // PNG the colour itself (which an editor composites by alpha).
    TMImage result;
    result.allocate(TMSampleType::Float32, 1, 1, 4);
    result.f32 = {0.5f, 0.25f, 1.0f, 0.5f};
    const TMChannelPlan rgba = keep(4, 3);
    EXPECT_EQ(plain(TMEncodeResult(result, result, rgba, TMSampleType::Float32, true).f32),
              (std::vector<float>{0.25f, 0.125f, 0.5f, 0.5f}));
    const TMImage png = TMEncodeResult(result, result, rgba, TMSampleType::UInt8, true);
    EXPECT_EQ(plain(png.u8), (std::vector<uint8_t>{186, 136, 255, 128})) << "association is for float targets only";

    OIIO::ImageSpec exr(1, 1, 4, OIIO::TypeDesc::FLOAT);
    exr.attribute("oiio:UnassociatedAlpha", 0);
    EXPECT_TRUE(TMStoresAssociatedAlpha(exr));
    EXPECT_EQ(TMOutputSpec(exr, png, rgba, true, false).get_int_attribute("oiio:UnassociatedAlpha"), 1);
    EXPECT_EQ(TMOutputSpec(exr, result, rgba, false, true).find_attribute("oiio:UnassociatedAlpha"), nullptr);
    OIIO::ImageSpec tiff = exr;
    tiff.attribute("oiio:UnassociatedAlpha", 1);
    EXPECT_FALSE(TMStoresAssociatedAlpha(tiff));
    tiff.alpha_channel = -1;
    EXPECT_FALSE(TMStoresAssociatedAlpha(tiff));
}

// A grey result written where only RGB fits is repeated into three named channels,
// and an alpha left out leaves the others in order.
TEST(CliAlpha, PlansPickAndRepeatChannels)
{
    TMImage grey;
    grey.allocate(TMSampleType::Float32, 2, 1, 2);
    grey.f32 = {0.5f, 0.75f, 0.25f, 1.0f};
    const TMChannelPlan rgb = TMPlanChannels(TMOutputFormat::Hdr, 2, 1, 1);
    const TMImage out = TMEncodeResult(grey, grey, rgb, TMSampleType::Float32, false);
    EXPECT_EQ(out.channels, 3);
    EXPECT_EQ(plain(out.f32), (std::vector<float>{0.5f, 0.5f, 0.5f, 0.25f, 0.25f, 0.25f}));
    OIIO::ImageSpec meta(2, 1, 2, OIIO::TypeDesc::FLOAT);
    meta.channelnames = {"Y", "A"};
    meta.alpha_channel = 1;
    const OIIO::ImageSpec spec = TMOutputSpec(meta, out, rgb, false, false);
    EXPECT_EQ(spec.channelnames, (std::vector<std::string>{"R", "G", "B"}));
    EXPECT_EQ(spec.alpha_channel, -1);
}

// A disk that fills up at any point of a file: every format written through the sink
// reports it, whatever its codec does with a failed write, and a file that fits is
// written whole. (TIFF is written by name: the end-to-end tests fill a real disk.)
TEST(CliWrite, EveryFormatReportsADiskThatFillsUp)
{
    char path[] = "/tmp/tm-full-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    unlink(path);
    TMImage image;
    image.allocate(TMSampleType::Float32, 64, 48, 3);
    for (size_t i = 0; i < image.f32.size(); ++i)
        image.f32[i] = static_cast<float>((i * 7919) % 1000) / 999.0f;
    using F = TMOutputFormat;
    for (F format : {F::Exr, F::Hdr, F::Pfm, F::Ppm, F::Png, F::Jpeg}) {
        const TMSampleType type = TMOutputSampleType(format, TMSampleType::Float32);
        TMImage encoded = TMEncodeResult(image, image, TMPlanChannels(format, 3, 3, -1), type, false);
        encoded.meta = OIIO::ImageSpec(64, 48, 3, OIIO::TypeDesc::FLOAT);
        std::string error;
        ASSERT_EQ(ftruncate(fd, 0), 0);
        TMByteSink whole(fd);
        ASSERT_TRUE(TMWriteImage(whole, format, encoded, TMWriteOptions{}, &error)) << TMFormatName(format) << error;
        const int64_t size = whole.size();
        for (int64_t room : {int64_t{0}, int64_t{1}, size / 2, size - 1}) {
            ASSERT_EQ(ftruncate(fd, 0), 0);
            TMByteSink full(fd, nullptr, room);
            error.clear();
            EXPECT_FALSE(TMWriteImage(full, format, encoded, TMWriteOptions{}, &error))
                << TMFormatName(format) << " with room for " << room << " of " << size << " bytes";
            EXPECT_EQ(error, std::strerror(ENOSPC)) << TMFormatName(format) << " " << room;
        }
    }
    close(fd);
}
