#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "tm_engine.h"

namespace {

std::vector<float> ramp(int n, float lo, float hi)
{
    std::vector<float> v(n);
    for (int i = 0; i < n; ++i)
        v[i] = lo + (hi - lo) * static_cast<float>(i) / static_cast<float>(n - 1);
    return v;
}

const TMImageStats kNoStats = {};

// The clip-point normalisation cell by cell, one bin at a time over all 65,536 bins:
// the definition the stage must reproduce bit for bit.
int32_t referenceClipPoints(int32_t w, int32_t h, float white, float blackPct, float G, std::vector<float>& lum)
{
    const int64_t n = static_cast<int64_t>(w) * h;
    float maxCell = -1.0e9f, minCell = 1.0e9f;
    for (float v : lum) {
        if (v > maxCell)
            maxCell = v;
        if (v < minCell)
            minCell = v;
    }
    if (!(maxCell > minCell))
        return TMErrFlat;
    const float scale = 65535.0f / (maxCell - minCell);
    std::vector<int64_t> bins(65536);
    for (float& v : lum) {
        v = (v - minCell) * scale;
        ++bins[std::clamp(static_cast<int32_t>(std::clamp(v, 0.0f, 65535.0f)), 0, 65535)];
    }
    const int64_t blackCount = static_cast<int64_t>(blackPct / 200.0f * static_cast<float>(w) * static_cast<float>(h));
    const int64_t whiteCount =
        static_cast<int64_t>((100.0f - white) / 100.0f * static_cast<float>(w) * static_cast<float>(h));
    int32_t lo = 0;
    for (int64_t count = 0; count < blackCount && lo < 65535; ++lo)
        count += bins[lo];
    int32_t hi = 65535;
    for (int64_t count = n; count > whiteCount && hi > 0; --hi)
        count -= bins[hi];
    const float black = minCell + static_cast<float>(lo) / scale;
    const float whiteLevel = black + static_cast<float>(hi) / scale;
    const float gain = G / (whiteLevel - black);
    if (!std::isfinite(gain) || !(gain > 0.0f))
        return TMErrFlat;
    const float a = gain / scale, b = (minCell - black) * gain;
    for (float& v : lum)
        v = a * v + b;
    return hi;
}

bool sameBits(const std::vector<float>& a, const std::vector<float>& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

} // namespace

TEST(ClipPoints, MatchTheBinByBinDefinitionBitForBit)
{
    // Spread, clustered and one-sided buffers, zero extremes of either sign first,
    // NaN cells, sizes off every vector and chunk width, and clip figures from 0 to
    // beyond the whole buffer.
    std::mt19937 rng(23);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    const int32_t shapes[][2] = {{1024, 682}, {37, 29}, {5, 3}, {1031, 7}};
    const float clips[][2] = {{0.0f, 0.0f},   {0.255f, 0.0f}, {1.0f, 2.0f},   {10.0f, 10.0f},
                              {0.0f, 199.0f}, {0.0f, 250.0f}, {100.0f, 0.0f}, {-5.0f, 0.5f}};
    for (const auto& shape : shapes) {
        const int32_t w = shape[0], h = shape[1];
        const size_t n = static_cast<size_t>(w) * h;
        for (int kind = 0; kind < 8; ++kind) {
            std::vector<float> lum(n);
            for (size_t i = 0; i < n; ++i) {
                const float u = unit(rng);
                switch (kind) {
                case 0: lum[i] = 4.0f * u - 1.0f; break;                           // spread
                case 1: lum[i] = 0.5f + 1.0e-4f * u; break;                        // one coarse bin
                case 2: lum[i] = u < 0.5f ? 0.0f : (u < 0.6f ? -0.0f : u); break;  // +0 first, then either
                case 3: lum[i] = u < 0.3f ? -0.0f : (u < 0.5f ? 0.0f : -u); break; // zero maximum
                case 4: lum[i] = u * u * u; break;                                 // skewed to the bottom
                default: lum[i] = u < 0.1f ? __builtin_nanf("") : 1.0f - u * u; break;
                }
            }
            if (kind >= 6 && n > 20) {
                // A zero extreme of one sign first in order, of the other first in
                // the vector lane that comes first: cells 1 and 16.
                const float sign = kind == 6 ? 1.0f : -1.0f;
                for (size_t i = 0; i < n; ++i)
                    lum[i] = sign * (0.25f + unit(rng));
                lum[1] = -0.0f;
                lum[16] = 0.0f;
            }
            if (kind == 1 && n > 2) {
                lum[n / 3] = 0.0f; // extremes far apart, so nearly every cell is in one bin
                lum[n / 2] = 1.0f;
            }
            for (const auto& clip : clips) {
                std::vector<float> expected = lum, actual = lum;
                const int32_t want = referenceClipPoints(w, h, clip[0], clip[1], 255.0f, expected);
                const int32_t got = TMNormaliseClipPoints(w, h, clip[0], clip[1], 255.0f, actual.data());
                ASSERT_EQ(got, want) << w << "x" << h << " kind " << kind << " clips " << clip[0] << "/" << clip[1];
                if (want >= 0) {
                    ASSERT_TRUE(sameBits(actual, expected)) << w << "x" << h << " kind " << kind;
                }
            }
        }
    }
}

TEST(ClipPoints, NoClippingMapsTheExtremesToZeroAndG)
{
    std::vector<float> lum = ramp(1000, 3.0f, 11.0f);
    EXPECT_EQ(TMNormaliseClipPoints(100, 10, 0.0f, 0.0f, 1.0f, lum.data()), 65535);
    EXPECT_FLOAT_EQ(lum.front(), 0.0f);
    EXPECT_NEAR(lum.back(), 1.0f, 1e-6);
    EXPECT_NEAR(lum[500], 0.5f, 2e-3);
}

TEST(ClipPoints, DefaultWhiteClipSaturatesTheTopQuarterPercent)
{
    // 0.255 % of 10,000 cells lie above the white bin and exceed G.
    std::vector<float> lum = ramp(10000, 0.0f, 1.0f);
    const int32_t hi = TMNormaliseClipPoints(100, 100, 0.255f, 0.0f, 255.0f, lum.data());
    EXPECT_GT(hi, 65000);
    EXPECT_LT(hi, 65535);
    int above = 0;
    for (float v : lum)
        above += v > 255.0f;
    EXPECT_NEAR(above, 25, 2);
    EXPECT_EQ(lum.front(), 0.0f) << "no black clipping: black is the minimum";
}

TEST(ClipPoints, RenormalisingGivesTheSameCells)
{
    // Preview refreshes rerun the mapping on an already normalised buffer.
    std::vector<float> once = ramp(5000, -2.0f, 9.0f);
    for (size_t i = 0; i < once.size(); ++i)
        once[i] += 0.5f * std::sin(static_cast<float>(i));
    std::vector<float> twice = once;
    TMNormaliseClipPoints(50, 100, 1.0f, 2.0f, 1.0f, once.data());
    TMNormaliseClipPoints(50, 100, 3.0f, 0.0f, 1.0f, twice.data());
    TMNormaliseClipPoints(50, 100, 1.0f, 2.0f, 1.0f, twice.data());
    for (size_t i = 0; i < once.size(); ++i)
        ASSERT_NEAR(once[i], twice[i], 1e-3) << i;
}

TEST(ClipPoints, FlatOrEmptyClipRangeIsRefusedWithoutNaN)
{
    std::vector<float> flat(400, 2.0f);
    EXPECT_EQ(TMNormaliseClipPoints(20, 20, 0.255f, 0.0f, 1.0f, flat.data()), TMErrFlat);
    EXPECT_EQ(flat[0], 2.0f);
    // One bright cell on a constant background: every bin below the white point is
    // bin 0, so the white level equals the black level and no finite gain exists.
    std::vector<float> dot(400, 2.0f);
    dot[17] = 3.0f;
    EXPECT_EQ(TMNormaliseClipPoints(20, 20, 0.255f, 0.0f, 1.0f, dot.data()), TMErrFlat);
}

// A few cells far above all others (one extreme pixel) put every bin below the white
// point into bin 0, where the search over 65,536 bins finds no white point. A finer
// search among those cells does: the ordinary cells map as if the far ones stood at
// their top (to the bin width), the far ones exceed G. A second far level inside the
// first's bin 0 takes a second round. The 16-bit mapping (G 255) shares it.
TEST(ClipPoints, AWhitePointInsideTheLowestBinIsFoundByAFinerSearch)
{
    std::vector<float> lut(65536);
    TMBuildSampleLUT(0, 65536, lut.data());
    const float farLevels[][2] = {{1e8f, 0}, {3.40282347e38f, 0}, {1e12f, 1e6f}};
    for (const auto& far : farLevels)
        for (const float G : {1.0f, 255.0f}) {
            std::vector<float> lum = ramp(10000, 1.0f, 2.0f), expected = lum;
            lum[1234] = lum[5678] = far[0];
            lum[4321] = far[1] > 0 ? far[1] : lum[4321];
            for (int i : {1234, 5678, 4321})
                expected[i] = std::min(lum[i], 2.0f);
            const std::vector<float> spiked = lum;
            ASSERT_GT(referenceClipPoints(100, 100, 1.0f, 2.0f, G, expected), 0);
            ASSERT_GT(TMNormaliseClipPoints(100, 100, 1.0f, 2.0f, G, lum.data()), 0) << far[0];
            for (int i = 0; i < 10000; ++i)
                ASSERT_TRUE(spiked[i] > 2.0f ? lum[i] > G : std::fabs(lum[i] - expected[i]) <= 2e-4f * G)
                    << far[0] << " cell " << i << ": " << lum[i] << " for " << expected[i];
            std::vector<float> cells = spiked;
            std::vector<uint16_t> in(30000, 16384), out(30000);
            EXPECT_GT(TMMapOutput16(100, 100, 3, 0, 46, 1.0f, 2.0f, 100, &kNoStats, lut.data(), in.data(), cells.data(),
                                    out.data()),
                      0);
            EXPECT_EQ(out[3 * 1234], 32768);
        }
}

TEST(BlendWeights, EndsOfStrength)
{
    EXPECT_FLOAT_EQ(TMBlendWeight32(0), 0.9f);
    EXPECT_EQ(TMBlendWeight32(100), 0.0f);
    EXPECT_FLOAT_EQ(TMBlendWeight16(0), 0.76f);
    EXPECT_FLOAT_EQ(TMBlendWeight16(40), 0.456f);
    EXPECT_FLOAT_EQ(TMBlendWeight16(41), 0.45084f);
    EXPECT_NEAR(TMBlendWeight16(100), 0.14994f, 1e-6);
    EXPECT_EQ(TMBlendWeight16(-5), TMBlendWeight16(0));
    EXPECT_EQ(TMBlendWeight32(250), TMBlendWeight32(100));
}

TEST(OutputMapping32, GreyPixelsAtFullStrengthAreTheLuminancePower)
{
    const int W = 16, H = 8;
    std::vector<float> lum = ramp(W * H, 0.0f, 1.0f);
    std::vector<float> in(W * H * 3, 0.25f), out(W * H * 3, -1.0f);
    std::vector<float> expected = lum;
    TMNormaliseClipPoints(W, H, 0.0f, 0.0f, 1.0f, expected.data());
    ASSERT_GE(TMMapOutput32(W, H, 3, 0, 46, 0.0f, 0.0f, 100, 2.2000000476837158, &kNoStats, in.data(), lum.data(),
                            out.data()),
              0);
    for (int i = 0; i < W * H; ++i)
        for (int c = 0; c < 3; ++c)
            ASSERT_NEAR(out[i * 3 + c], std::min(1.0, std::pow(expected[i], 2.2000000476837158)), 1e-6) << i;
}

TEST(OutputMapping32, NonPositiveAndNonFinitePixelsBecomeBlack)
{
    const int W = 10, H = 10;
    std::vector<float> lum = ramp(W * H, 0.0f, 1.0f);
    std::vector<float> in(W * H * 3, 0.5f), out(W * H * 3, -1.0f);
    in[0] = in[1] = in[2] = 0.0f;
    in[3] = std::numeric_limits<float>::quiet_NaN();
    in[6] = std::numeric_limits<float>::infinity();
    in[9] = -0.25f; // negative red with positive luminance: red ratio 0
    TMImageStats stats = {1.0f, 50.0f, {0, 0, 0}};
    ASSERT_GE(
        TMMapOutput32(W, H, 3, 0, 46, 0.255f, 0.0f, 70, 2.2000000476837158, &stats, in.data(), lum.data(), out.data()),
        0);
    for (int c = 0; c < 9; ++c)
        EXPECT_EQ(out[c], 0.0f) << c;
    EXPECT_EQ(out[9], 0.0f);
    EXPECT_GT(out[10], 0.0f);
    for (float v : out) {
        ASSERT_TRUE(std::isfinite(v));
        ASSERT_GE(v, 0.0f);
        ASSERT_LE(v, 1.0f);
    }
}

TEST(OutputMapping32, SaturationFloorAndFlatBufferLeavesOutputUntouched)
{
    const int W = 12, H = 12;
    std::vector<float> in(W * H * 3);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = 0.1f + 0.05f * static_cast<float>(i % 7);
    auto run = [&](int saturation) {
        std::vector<float> lum = ramp(W * H, 1.0f, 4.0f), out(W * H * 3);
        TMImageStats stats = {0.3f, 20.0f, {0, 0, 0}};
        TMMapOutput32(W, H, 3, 0, saturation, 0.255f, 0.0f, 70, 2.2000000476837158, &stats, in.data(), lum.data(),
                      out.data());
        return out;
    };
    EXPECT_EQ(run(10), run(20));
    EXPECT_NE(run(20), run(100));

    std::vector<float> flat(W * H, 5.0f), out(W * H * 3, 0.125f);
    EXPECT_EQ(TMMapOutput32(W, H, 3, 0, 46, 0.255f, 0.0f, 70, 2.2000000476837158, &kNoStats, in.data(), flat.data(),
                            out.data()),
              TMErrFlat);
    for (float v : out)
        ASSERT_EQ(v, 0.125f);
}

TEST(OutputMapping16, BlendsTheRawSamplesAndClampsToHostRange)
{
    std::vector<float> lut(65536);
    TMBuildSampleLUT(0, 65536, lut.data());
    const int W = 10, H = 10;
    std::vector<uint16_t> in(W * H * 3, 16384), out(W * H * 3, 7);
    std::vector<float> lum = ramp(W * H, 0.0f, 2.0f);
    ASSERT_GE(TMMapOutput16(W, H, 3, 0, 46, 0.0f, 0.0f, 100, &kNoStats, lut.data(), in.data(), lum.data(), out.data()),
              0);
    // Grey input: ratio 1; out = (1 - k) * 128.5 * L0 + k * 16384 with L0 in 0..255.
    const float k = TMBlendWeight16(100);
    EXPECT_EQ(out[0], static_cast<uint16_t>(k * 16384.0f));
    EXPECT_NEAR(out[3 * (W * H - 1)], (1 - k) * 128.5 * 255.0 + k * 16384.0, 1.0);
    for (uint16_t v : out)
        ASSERT_LE(v, 32768);
}

TEST(OutputMapping, OnePlaneKeepsTheBlueRoleValueAndPaddingIsSkipped)
{
    // With pad 2 the mapping reads cells 2..5 of each 8-cell row.
    const int W = 4, H = 3, pad = 2;
    std::vector<float> lum((W + 2 * pad) * H);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W + 2 * pad; ++x)
            lum[y * (W + 2 * pad) + x] = (x < pad || x >= pad + W) ? 100.0f : static_cast<float>(y * W + x);
    std::vector<float> in(W * H, 0.5f), out(W * H, -1.0f);
    ASSERT_GE(TMMapOutput32(W, H, 1, pad, 46, 0.0f, 0.0f, 100, 2.2000000476837158, &kNoStats, in.data(), lum.data(),
                            out.data()),
              0);
    // Margin cells of 100 set the top of the range, so image cells map well below 1.
    for (float v : out) {
        EXPECT_GE(v, 0.0f);
        EXPECT_LT(v, 0.01f);
    }
}
