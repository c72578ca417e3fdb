// Input conversion and output mapping on a team give the same bytes as one thread:
// cells, statistics, plane minima, clip points and output samples. Images hold the
// values whose handling depends on order or on a band boundary: NaN and infinite
// samples, negative samples (lifted by the plane minima), zeros of both signs, and a
// luminance whose clip search ends inside a coarse bin.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "tm_engine.h"
#include "tm_workers.h"

namespace {

template <typename T>
bool sameBits(const std::vector<T>& a, const std::vector<T>& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0;
}

bool sameBits(const TMImageStats& a, const TMImageStats& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Float samples over eight decades, with a few invalid and negative ones.
std::vector<float> randomSamples(std::mt19937& rng, size_t count)
{
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::vector<float> v(count);
    for (float& s : v) {
        const float u = unit(rng);
        s = u < 0.01f    ? std::nanf("")
            : u < 0.015f ? INFINITY
            : u < 0.05f  ? -unit(rng)
            : u < 0.06f  ? (u < 0.055f ? 0.0f : -0.0f)
                         : std::pow(10.0f, 8.0f * unit(rng) - 4.0f);
    }
    return v;
}

// Tone-mapped luminance of the shapes the clip search treats differently.
std::vector<float> randomLuminance(std::mt19937& rng, size_t count, int shape)
{
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::vector<float> v(count);
    for (float& l : v) {
        const float u = unit(rng);
        switch (shape) {
        case 0: l = 6.0f * u - 2.0f; break;                          // spread
        case 1: l = u < 0.3f ? -0.0f : (u < 0.6f ? 0.0f : u); break; // zero minimum of either sign
        default: l = u * u * u * u; break;                           // crowded at the bottom
        }
    }
    if (shape == 2)
        v[count / 2] = 1.0e6f; // one cell far above the others: the clip points are refined
    return v;
}

struct Case {
    int32_t W, H, pad;
};

} // namespace

TEST(ThreadedStages, ConversionAndMappingMatchOneThreadBitForBit)
{
    std::mt19937 rng(1512);
    // Rows fewer than the larger teams, so that some bands are a single row.
    const std::vector<Case> cases = {{137, 29, 0}, {137, 29, 34}, {300, 7, 75}, {64, 41, 0}};
    const std::vector<int32_t> threads = {2, 3, 8, 45};
    for (const Case& c : cases)
        for (int shape = 0; shape < 3; ++shape) {
            const int32_t workWidth = c.W + 2 * c.pad;
            const size_t pixels = static_cast<size_t>(c.W) * c.H, cells = static_cast<size_t>(workWidth) * c.H;
            const TMSampleLayout layout = TMPackedLayout(c.W, 3, sizeof(float));
            const TMSampleLayout layout16 = TMPackedLayout(c.W, 3, sizeof(uint16_t));
            const std::vector<float> rgb = randomSamples(rng, 3 * pixels);
            std::vector<uint16_t> rgb16(3 * pixels);
            for (uint16_t& s : rgb16)
                s = static_cast<uint16_t>(std::uniform_int_distribution<int>(0, 32768)(rng));
            std::vector<float> lut(65536);
            TMBuildSampleLUT(0, 65536, lut.data());
            const std::vector<float> mappedLum = randomLuminance(rng, cells, shape);
            const TMOutputSettings set =
                TMLimitOutputSettings(std::uniform_int_distribution<int>(20, 100)(rng), 0.5f * shape, 0.25f * shape,
                                      std::uniform_int_distribution<int>(0, 100)(rng));

            struct Result {
                std::vector<float> minima, lum, lum16, out, lumOut, lumOut16;
                std::vector<uint16_t> out16;
                TMImageStats stats;
                int32_t invalid, converted16, hi, hi16;
            };
            auto run = [&](TMWorkers* team) {
                Result r;
                r.minima.assign(3, 0.0f);
                TMMeasurePlaneMinima(c.W, c.H, layout, rgb.data(), r.minima.data(), team);
                r.stats = TMImageStats{};
                for (int k = 0; k < 3; ++k)
                    r.stats.planeMin[k] = std::min(r.minima[k], 0.0f);
                r.lum.assign(cells, 7.0f);
                r.invalid = TMConvertInput32Strided(c.W, c.H, workWidth, c.H, layout, c.pad, &r.stats, rgb.data(),
                                                    r.lum.data(), team);
                r.lum16.assign(cells, 7.0f);
                r.converted16 = TMConvertInput16Strided(c.W, c.H, workWidth, c.H, layout16, c.pad, lut.data(),
                                                        rgb16.data(), r.lum16.data(), team);
                r.lumOut = mappedLum;
                r.out.assign(3 * pixels, -1.0f);
                r.hi = TMMapOutput32Strided(c.W, c.H, layout, layout, c.pad, set, 1.0 / 2.2, &r.stats, rgb.data(),
                                            r.lumOut.data(), r.out.data(), team);
                r.lumOut16 = mappedLum;
                r.out16.assign(3 * pixels, 0xFFFF);
                r.hi16 = TMMapOutput16Strided(c.W, c.H, layout16, layout16, c.pad, set, lut.data(), rgb16.data(),
                                              r.lumOut16.data(), r.out16.data(), team);
                return r;
            };
            const Result one = run(nullptr);
            ASSERT_GT(one.invalid, 0) << "the image has invalid pixels";
            ASSERT_GT(one.hi, 0);
            for (int32_t n : threads) {
                TMWorkers team(n);
                team.SetFineGrain(true);
                const Result r = run(&team);
                const std::string where = std::to_string(c.W) + " x " + std::to_string(c.H) + " pad " +
                                          std::to_string(c.pad) + ", shape " + std::to_string(shape) + ", " +
                                          std::to_string(n) + " threads";
                EXPECT_TRUE(sameBits(r.minima, one.minima)) << where;
                EXPECT_EQ(r.invalid, one.invalid) << where;
                EXPECT_TRUE(sameBits(r.stats, one.stats)) << where;
                EXPECT_TRUE(sameBits(r.lum, one.lum)) << where;
                EXPECT_EQ(r.converted16, one.converted16) << where;
                EXPECT_TRUE(sameBits(r.lum16, one.lum16)) << where;
                EXPECT_EQ(r.hi, one.hi) << where;
                EXPECT_TRUE(sameBits(r.out, one.out)) << where;
                EXPECT_TRUE(sameBits(r.lumOut, one.lumOut)) << where;
                EXPECT_EQ(r.hi16, one.hi16) << where;
                EXPECT_TRUE(sameBits(r.out16, one.out16)) << where;
                EXPECT_TRUE(sameBits(r.lumOut16, one.lumOut16)) << where;
            }
        }
}

// The clip points alone, on buffers whose extremes and bin counts straddle the
// boundaries between parts: the normalised cells are the same for every team.
TEST(ThreadedStages, ClipPointsMatchOneThreadOnEveryShape)
{
    std::mt19937 rng(77);
    for (int shape = 0; shape < 3; ++shape)
        for (float G : {1.0f, 255.0f}) {
            const std::vector<float> lum = randomLuminance(rng, 97 * 13, shape);
            std::vector<float> expected = lum;
            const int32_t hi = TMNormaliseClipPoints(97, 13, 1.5f, 3.0f, G, expected.data());
            for (int32_t n : {2, 3, 8, 15}) {
                TMWorkers team(n);
                team.SetFineGrain(true);
                std::vector<float> got = lum;
                EXPECT_EQ(TMNormaliseClipPoints(97, 13, 1.5f, 3.0f, G, got.data(), &team), hi) << shape;
                EXPECT_TRUE(sameBits(got, expected)) << "shape " << shape << ", " << n << " threads";
            }
        }
}

// The float output reads and writes interleaved red, green, blue through a path of
// its own: the same pixels with a fourth sample between them (and the output in
// another layout again) map to the same values.
TEST(ThreadedStages, InterleavedAndStridedLayoutsMapAlike)
{
    std::mt19937 rng(3);
    const int32_t W = 300, H = 5; // more than one block per row
    const size_t pixels = static_cast<size_t>(W) * H;
    const std::vector<float> rgb = randomSamples(rng, 3 * pixels);
    std::vector<float> rgba(4 * pixels, 0.25f);
    for (size_t i = 0; i < pixels; ++i)
        std::copy(rgb.begin() + 3 * i, rgb.begin() + 3 * i + 3, rgba.begin() + 4 * i);
    const std::vector<float> lum = randomLuminance(rng, pixels, 0);
    const TMImageStats stats = {0.8f, 40.0f, {0.0f, 0.0f, 0.0f}};
    const TMOutputSettings set = TMLimitOutputSettings(70, 0.5f, 0.5f, 30);
    const TMSampleLayout packed = TMPackedLayout(W, 3, sizeof(float)), wide = TMPackedLayout(W, 4, sizeof(float));
    const TMSampleLayout wideRGB{3, 4, wide.rowBytes};
    std::vector<float> l1 = lum, l2 = lum, out1(3 * pixels), out2(4 * pixels, -1.0f);
    ASSERT_GT(TMMapOutput32Strided(W, H, packed, packed, 0, set, 1.0 / 2.2, &stats, rgb.data(), l1.data(), out1.data()),
              0);
    ASSERT_GT(
        TMMapOutput32Strided(W, H, wideRGB, wideRGB, 0, set, 1.0 / 2.2, &stats, rgba.data(), l2.data(), out2.data()),
        0);
    for (size_t i = 0; i < pixels; ++i) {
        for (int c = 0; c < 3; ++c)
            ASSERT_EQ(std::memcmp(&out1[3 * i + c], &out2[4 * i + c], sizeof(float)), 0) << "pixel " << i;
        ASSERT_EQ(out2[4 * i + 3], -1.0f) << "the fourth sample is not written";
    }
}
