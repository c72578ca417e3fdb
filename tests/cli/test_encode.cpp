// Encoding of results into output samples, untouched channels included, and the
// output file's metadata.
#include <gtest/gtest.h>

#include <cmath>

#include "tm_encode.h"
#include "tm_samples.h"

namespace {

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
    const TMImage u16 = TMEncodeResult(img.source, img.result, 1, TMSampleType::UInt16);
    EXPECT_EQ(u16.u16[0], 32768);
    EXPECT_EQ(u16.u16[1], 12345);

    const TMImage f = TMEncodeResult(img.source, img.result, 1, TMSampleType::Float32);
    EXPECT_FLOAT_EQ(f.f32[0], 0.5f);
    EXPECT_FLOAT_EQ(f.f32[1], 12345.0f / 65535.0f);

    const TMImage u8 = TMEncodeResult(img.source, img.result, 1, TMSampleType::UInt8);
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

    const TMImage u8 = TMEncodeResult(source, result, 3, TMSampleType::UInt8);
    EXPECT_EQ(u8.u8[0], 153);
    EXPECT_EQ(u8.u8[1], 0);
    EXPECT_EQ(u8.u8[2], 255);
    EXPECT_EQ(u8.u8[3], 64); // 0.25 * 255 = 63.75, no transfer curve
    EXPECT_EQ(u8.u8[4], 186); // 0.5^(1/2.2) * 255 = 186.1

    const TMImage f = TMEncodeResult(source, result, 3, TMSampleType::Float32);
    EXPECT_EQ(f.f32, result.f32);
    const TMImage u16 = TMEncodeResult(source, result, 3, TMSampleType::UInt16);
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
    const OIIO::ImageSpec out = TMOutputSpec(source, encoded, false);
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

    const OIIO::ImageSpec out = TMOutputSpec(source, encoded, true);
    EXPECT_EQ(out.get_string_attribute("oiio:ColorSpace"), "Gamma2.2");
    EXPECT_FLOAT_EQ(out.get_float_attribute("oiio:Gamma"), 2.2f);
    EXPECT_EQ(out.find_attribute("ICCProfile"), nullptr);
    EXPECT_EQ(out.get_string_attribute("Copyright"), "us");
    // Same encoding (16-bit result to 8-bit): the colour description still holds.
    EXPECT_NE(TMOutputSpec(source, encoded, false).find_attribute("ICCProfile"), nullptr);
}
