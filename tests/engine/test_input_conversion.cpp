#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "tm_engine.h"

namespace {

struct Lut16 {
    std::vector<float> table = std::vector<float>(65536);
    Lut16() { TMBuildSampleLUT(0, 65536, table.data()); }
};

const float* lut16()
{
    static const Lut16 lut;
    return lut.table.data();
}

// Converts a W x H float image with `planes` planes and returns the cells.
std::vector<float> convert32(int32_t W, int32_t H, int32_t planes, int32_t pad, const std::vector<float>& samples,
                             TMImageStats* stats, int32_t* invalid = nullptr)
{
    std::vector<float> lum(static_cast<size_t>(W + 2 * pad) * H, -7.0f);
    const int32_t r = TMConvertInput32(W, H, W + 2 * pad, H, planes, pad, stats, samples.data(), lum.data());
    if (invalid)
        *invalid = r;
    return lum;
}

std::vector<float> greyImage(int32_t W, int32_t H, float v)
{
    return std::vector<float>(static_cast<size_t>(W) * H * 3, v);
}

} // namespace

TEST(SampleLUT, PowersOfSamplesWithZeroLikeOne)
{
    std::vector<float> lut(65536);
    EXPECT_EQ(TMBuildSampleLUT(0, 65536, lut.data()), 65536);
    EXPECT_EQ(lut[0], 1.0f);
    EXPECT_EQ(lut[1], 1.0f);
    EXPECT_EQ(lut[2], static_cast<float>(std::pow(2.0, 2.2000000476837158)));
    // Raw host counts, not normalised: 32768^2.2 is about 2^33.
    EXPECT_NEAR(lut[32768] / 8.589934592e9, 1.0, 1e-6);

    // Every entry is the library power rounded to float, whichever road built it.
    for (int32_t i = 1; i < 65536; ++i)
        ASSERT_EQ(lut[i], static_cast<float>(std::pow(static_cast<double>(i), 2.2000000476837158))) << i;

    std::vector<float> linear(256);
    EXPECT_EQ(TMBuildSampleLUT(1, 256, linear.data()), 256);
    EXPECT_EQ(linear[0], 1.0f);
    EXPECT_EQ(linear[200], 200.0f);
    for (int32_t i = 1; i < 256; ++i)
        ASSERT_EQ(linear[i], static_cast<float>(i)) << i;
}

TEST(InputConversion16, BlackAndWhitePixels)
{
    const int32_t W = 3, H = 2;
    std::vector<uint16_t> samples(static_cast<size_t>(W) * H * 3, 0);
    for (int i = 0; i < 3; ++i)
        samples[3 + i] = 32768; // pixel (1, 0) white
    std::vector<float> lum(W * H);
    TMImageStats stats = {};
    EXPECT_EQ(TMConvertInput16(W, H, W, H, 3, 0, &stats, lut16(), samples.data(), lum.data()), H);
    EXPECT_FLOAT_EQ(lum[0], 0.0f) << "ln(0.3 + 0.6 + 0.1) of lut[0] = 1";
    EXPECT_NEAR(lum[1], 22.87, 0.005) << "ln(2^33)";
    EXPECT_EQ(stats.geometricMean, 0.0f) << "integer input gathers no statistics";
}

TEST(InputConversion16, PlaneRolesAndSinglePlane)
{
    // Red weighs 0.3 and blue 0.1 whatever the plane count.
    std::vector<uint16_t> rgb = {1000, 0, 0, 0, 0, 1000};
    std::vector<float> lum(2);
    TMImageStats stats = {};
    TMConvertInput16(2, 1, 2, 1, 3, 0, &stats, lut16(), rgb.data(), lum.data());
    const double l = lut16()[1000];
    EXPECT_FLOAT_EQ(lum[0], static_cast<float>(std::log(static_cast<float>(0.3 * l + 0.6 + 0.1))));
    EXPECT_FLOAT_EQ(lum[1], static_cast<float>(std::log(static_cast<float>(0.3 + 0.6 + 0.1 * l))));

    std::vector<uint16_t> grey = {1000};
    std::vector<float> one(1);
    TMConvertInput16(1, 1, 1, 1, 1, 0, &stats, lut16(), grey.data(), one.data());
    EXPECT_FLOAT_EQ(one[0], static_cast<float>(std::log(static_cast<float>(0.3 * l + 0.6 * l + 0.1 * l))));
}

TEST(InputConversion32, UnitPixelAndNegativeLift)
{
    TMImageStats stats = {};
    std::vector<float> lum = convert32(2, 2, 3, 0, greyImage(2, 2, 1.0f), &stats);
    EXPECT_NEAR(lum[0], std::log(2560.0), 1e-6);
    EXPECT_NEAR(stats.geometricMean, 1.0, 1e-6) << "geometric mean of a unit image";
    EXPECT_NEAR(stats.rangeFactor, std::exp(std::log(2560.0) / 2560.0), 1e-6);

    // Red -0.5 with a red plane minimum of -2 becomes -0.5 + 2.0045 = 1.5045.
    TMImageStats lifted = {};
    lifted.planeMin[0] = -2.0f;
    std::vector<float> px = {-0.5f, 0.25f, 0.5f};
    lum = convert32(1, 1, 3, 0, px, &lifted);
    const float red = -0.5f + (0.0045f - -2.0f);
    EXPECT_FLOAT_EQ(lum[0], static_cast<float>(std::log(540.0 * red + 1830.0 * 0.25 + 190.0 * 0.5)));
}

TEST(InputConversion32, InvalidPixelsTakeTheSmallestValidValue)
{
    const int32_t W = 4, H = 3;
    for (int invalidCount : {1, 2}) {
        std::vector<float> img = greyImage(W, H, 1.0f);
        img[3 * 5 + 0] = img[3 * 5 + 1] = img[3 * 5 + 2] = 0.5f; // the smallest valid pixel
        for (int k = 0; k < invalidCount; ++k)
            img[3 * k] = img[3 * k + 1] = img[3 * k + 2] = 0.0f;
        TMImageStats stats = {};
        int32_t invalid = -1;
        std::vector<float> lum = convert32(W, H, 3, 0, img, &stats, &invalid);
        EXPECT_EQ(invalid, invalidCount);
        // Even a single invalid pixel is replaced: a leftover marker of -1e9 would
        // become a dark blot far beyond it after the gradient and solver stages.
        for (int k = 0; k < invalidCount; ++k)
            EXPECT_EQ(lum[k], lum[5]) << invalidCount << " invalid";
    }
}

TEST(InputConversion32, NonFiniteSamplesAreInvalidPixels)
{
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float big = std::numeric_limits<float>::max();
    std::vector<float> img = greyImage(5, 1, 2.0f);
    img[0] = nan;
    img[4] = inf;
    img[8] = -inf;
    // Finite samples whose single-precision luminance overflows: a valid, bright pixel.
    img[9] = img[10] = img[11] = big;
    TMImageStats stats = {};
    int32_t invalid = 0;
    std::vector<float> lum = convert32(5, 1, 3, 0, img, &stats, &invalid);
    EXPECT_EQ(invalid, 3);
    for (int i : {0, 1, 2, 4})
        EXPECT_FLOAT_EQ(lum[i], static_cast<float>(std::log(2560.0 * 2.0)));
    EXPECT_EQ(lum[3], static_cast<float>(std::log(2560.0 * static_cast<double>(big))));
    EXPECT_TRUE(std::isfinite(stats.geometricMean));
    EXPECT_TRUE(std::isfinite(stats.rangeFactor));
}

TEST(InputConversion32, AllInvalidGivesAConstantBuffer)
{
    std::vector<float> img = greyImage(3, 3, -1.0f);
    TMImageStats stats = {};
    int32_t invalid = 0;
    std::vector<float> lum = convert32(3, 3, 3, 0, img, &stats, &invalid);
    EXPECT_EQ(invalid, 9);
    EXPECT_EQ(stats.geometricMean, 0.0f);
    EXPECT_EQ(stats.rangeFactor, 0.0f);
    for (float v : lum)
        EXPECT_EQ(v, 1.0e9f);
}

TEST(InputConversion32, WrapMarginsOfA360Image)
{
    const int32_t W = 100, H = 2, pad = 25;
    std::vector<float> img(static_cast<size_t>(W) * H * 3);
    for (int32_t y = 0; y < H; ++y)
        for (int32_t x = 0; x < W; ++x)
            for (int c = 0; c < 3; ++c)
                img[(static_cast<size_t>(y) * W + x) * 3 + c] = 0.01f * static_cast<float>(1 + x + 7 * y);
    TMImageStats wrapped = {}, plain = {};
    const std::vector<float> lum = convert32(W, H, 3, pad, img, &wrapped);
    const std::vector<float> ref = convert32(W, H, 3, 0, img, &plain);
    const int32_t workWidth = W + 2 * pad;
    for (int32_t y = 0; y < H; ++y)
        for (int32_t cell = 0; cell < workWidth; ++cell) {
            const int32_t src = cell < pad ? W - pad + cell : cell < pad + W ? cell - pad : cell - pad - W;
            EXPECT_EQ(lum[y * workWidth + cell], ref[y * W + src]) << "cell " << cell;
        }
    EXPECT_EQ(wrapped.geometricMean, plain.geometricMean) << "margins are not counted";
    EXPECT_EQ(wrapped.rangeFactor, plain.rangeFactor);
}

TEST(InputConversion32, SinglePlaneAndPaddedRows)
{
    std::vector<float> one = {0.5f, 2.0f};
    TMImageStats stats = {};
    std::vector<float> lum = convert32(2, 1, 1, 0, one, &stats);
    EXPECT_FLOAT_EQ(lum[0], static_cast<float>(std::log(2560.0 * 0.5)));

    // Rows padded to 8 floats and pixels of 4 planes read the same as packed RGB.
    const int32_t W = 2, H = 2;
    std::vector<float> packed = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    std::vector<float> strided(16, -1000.0f);
    for (int32_t y = 0; y < H; ++y)
        for (int32_t x = 0; x < W; ++x)
            for (int c = 0; c < 3; ++c)
                strided[y * 8 + x * 4 + c] = packed[(y * W + x) * 3 + c];
    std::vector<float> a(4), b(4);
    TMImageStats sa = {}, sb = {};
    TMConvertInput32(W, H, W, H, 3, 0, &sa, packed.data(), a.data());
    TMConvertInput32Strided(W, H, W, H, TMSampleLayout{3, 4, 8 * sizeof(float)}, 0, &sb, strided.data(), b.data());
    EXPECT_EQ(a, b);
}
