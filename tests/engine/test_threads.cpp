// Threaded stages give the same bytes as one thread: the banded smoother against the
// single-threaded sweep, and whole renders and preview recomputes at several team
// sizes. The teams split their work as finely as they can, so that these small
// images reach every boundary between pieces.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "demo_scene.h"
#include "preview_stages.h"
#include "tm_parameters.h"
#include "tm_preview.h"
#include "tm_render.h"
#include "tm_workers.h"

namespace {

bool sameBits(const std::vector<float>& a, const std::vector<float>& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// Every band count a level allows, from the one that leaves a single row per band to
// a single band, on teams smaller and larger than the band count; regions from 2 rows
// (no interior row) up, odd and even, widths below and above the vector kernels'
// blocks, and a sub-image that relaxes only part of its level.
TEST(ThreadedRelaxation, EveryBandSplitMatchesTheSingleThreadedSweep)
{
    std::mt19937 rng(15);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    TMWorkers three(3), eight(8);
    struct Size {
        int32_t w, h, subW, subH; // sub: the base image's share, 0 for the whole level
    };
    std::vector<Size> sizes;
    for (int32_t h : {2, 3, 4, 5, 6, 7, 12})
        for (int32_t w : {2, 3, 5, 8, 19, 40})
            sizes.push_back({w, h, 0, 0});
    sizes.push_back({40, 12, 23, 7});
    for (const Size& s : sizes) {
        std::vector<float> u0(static_cast<size_t>(s.w) * s.h), f(u0.size());
        for (float& v : u0)
            v = dist(rng);
        for (float& v : f)
            v = dist(rng);
        // A sub-image of a 2x larger base: the level covers (w * W / base) + 1 columns.
        const int32_t base = 2 * s.w, baseH = 2 * s.h;
        const int32_t W = s.subW > 0 ? 2 * s.subW : base, H = s.subH > 0 ? 2 * s.subH : baseH;
        std::vector<float> expected = u0;
        TMRelaxLevel(W, H, base, baseH, s.w, s.h, 0.7f, 3, 0, expected.data(), f.data());
        for (TMWorkers* team : {&three, &eight})
            for (int32_t bands = 1; bands <= std::max(1, s.h - 2); ++bands) {
                std::vector<float> u = u0;
                TMRelaxLevel(W, H, base, baseH, s.w, s.h, 0.7f, 3, 0, u.data(), f.data(), team, bands);
                EXPECT_TRUE(sameBits(u, expected)) << s.w << " x " << s.h << " (sub " << s.subW << " x " << s.subH
                                                   << "), " << bands << " bands on " << team->Threads() << " threads";
            }
    }
}

// A random picture: the demo scene times noise over four decades, so that gradients
// are strong everywhere and sums of many magnitudes round at every step.
std::vector<float> randomScene(std::mt19937& rng, int32_t w, int32_t h)
{
    std::vector<float> rgb(static_cast<size_t>(w) * h * 3);
    TMMakeDemoScene(w, h, rgb.data());
    std::uniform_real_distribution<float> decades(-2.0f, 2.0f);
    for (size_t i = 0; i < rgb.size(); i += 3) {
        const float gain = std::pow(10.0f, decades(rng));
        for (int c = 0; c < 3; ++c)
            rgb[i + c] *= gain;
    }
    return rgb;
}

std::vector<uint16_t> to16(const std::vector<float>& rgb)
{
    std::vector<uint16_t> s(rgb.size());
    for (size_t i = 0; i < rgb.size(); ++i)
        s[i] = static_cast<uint16_t>(std::min(32768.0, 32768.0 * std::pow(std::min(rgb[i] / 400.0, 1.0), 1 / 2.2)));
    return s;
}

TMParameters randomSettings(std::mt19937& rng, int32_t format, bool wrap)
{
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    TMParameters p{};
    applyDefaults(&p, format);
    p.settings.luminosity = pick(0, 20);
    p.settings.strength = pick(0, 100);
    p.settings.colorSaturation = pick(0, 100);
    p.settings.whiteClip = pick(0, 400);
    p.settings.blackClip = pick(0, 400);
    p.settings.microcontrast = pick(-2, 2);
    p.settings.smoothing = pick(-2, 2);
    p.settings.microsmoothing = pick(0, 30);
    p.settings.image360 = wrap ? 1 : 0;
    return p;
}

// Team sizes to compare with one thread: 2, 3, 8 and an odd count above the rows of
// the smallest pyramid level of either pyramid.
std::vector<int32_t> teamSizes(int32_t coarsestRows) { return {2, 3, 8, (coarsestRows + 1) | 1}; }

int32_t coarsestRows(int32_t w, int32_t h, int32_t smoothing)
{
    int32_t g[TMGeometrySize] = {};
    TMComputeBoundedGeometry(w, h, smoothing, 4, g);
    return std::max(g[TMGeoSolverCoarseHeight], g[TMGeoAttenCoarseHeight]);
}

// The whole render, 16- and 32-bit, with and without the 360° margins.
TEST(ThreadedRender, EveryTeamSizeGivesTheSameBytes)
{
    std::mt19937 rng(20261215);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (int run = 0; run < 4; ++run) {
        const int32_t format = run % 2 ? TMSample16 : TMSampleFloat32;
        const bool wrap = run >= 2;
        const int32_t W = pick(100, 190), H = pick(100, 190);
        const TMParameters p = randomSettings(rng, format, wrap);
        const std::vector<float> rgb = randomScene(rng, W, H);
        const std::vector<uint16_t> rgb16 = to16(rgb);
        const int64_t row = int64_t{W} * 3 * (format == TMSampleFloat32 ? 4 : 2);
        auto render = [&](TMWorkers* team) {
            std::vector<unsigned char> out(static_cast<size_t>(row) * H, 0xA5);
            const void* in = format == TMSampleFloat32 ? static_cast<const void*>(rgb.data()) : rgb16.data();
            TMHostImage img{format, W, H, 3, 3, 3, in, row, out.data(), row, 0, {0, 0, 0}, 1};
            img.threads = 1;
            EXPECT_EQ(TMRunStages(p, img, TMHeapAllocator(), TMProgressSink{}, nullptr, team), TMResultOK);
            return out;
        };
        const std::vector<unsigned char> expected = render(nullptr);
        const int32_t workW = W + (wrap ? 2 * (W / 4) : 0);
        for (int32_t threads : teamSizes(coarsestRows(workW, H, p.settings.smoothing))) {
            TMWorkers team(threads);
            team.SetFineGrain(true);
            EXPECT_TRUE(render(&team) == expected) << W << " x " << H << (format == TMSample16 ? " 16-bit" : " float")
                                                   << (wrap ? " 360" : "") << ", " << threads << " threads";
        }
    }
}

template <typename T>
bool sameBytes(const std::vector<T>& a, const std::vector<T>& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0;
}

// The preview's own stages one by one, each on no team and on every team size: input
// conversion (float: cells, statistics and the invalid-pixel fill, with a scratch for
// every row, for a few rows, for one row and none), colour terms (every row, and the
// first rows only), and the output mapping with and without the terms. Previews with
// odd sizes, a row narrower than the split's minimum and sources with invalid pixels.
TEST(ThreadedPreviewStages, EveryStageGivesTheSameBytesOnEveryTeam)
{
    std::mt19937 rng(1512);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    struct Size {
        int32_t W, H, pw, ph;
    };
    for (const Size& z : {Size{61, 47, 37, 23}, Size{300, 211, 130, 97}, Size{90, 400, 10, 173}}) {
        std::vector<float> rgb = randomScene(rng, z.W, z.H);
        // Invalid pixels: zero, negative and non-finite samples.
        for (size_t i = 0; i < rgb.size(); i += 3) {
            const float r = unit(rng);
            if (r < 0.04f)
                rgb[i] = rgb[i + 1] = rgb[i + 2] = 0.0f;
            else if (r < 0.06f)
                rgb[i + 1] = -rgb[i + 1] * 3000.0f;
            else if (r < 0.07f)
                rgb[i + 2] = std::numeric_limits<float>::quiet_NaN();
        }
        const std::vector<uint16_t> rgb16 = to16(rgb);
        std::vector<float> lut(65536);
        TMBuildSampleLUT(0, 65536, lut.data());
        const TMSampleLayout layout32 = TMPackedLayout(z.W, 3, 4), layout16 = TMPackedLayout(z.W, 3, 2);
        const int32_t pw = z.pw, ph = z.ph;
        const size_t cells = static_cast<size_t>(pw) * ph;

        // Everything one team computes, as bytes.
        auto run = [&](TMWorkers* team, int64_t scratchRows) {
            std::vector<uint8_t> out;
            auto keep = [&out](const void* p, size_t bytes) {
                out.insert(out.end(), static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + bytes);
            };
            std::vector<double> scratch(static_cast<size_t>(std::max<int64_t>(scratchRows, 1) * pw));
            std::vector<float> lum32(cells, 7.0f), lum16(cells, 7.0f);
            TMPreviewStats stats{0.0f, 0.0f};
            const int32_t invalid =
                TMConvertPreviewInput32Strided(z.W, z.H, pw, ph, pw, ph, layout32, &stats, rgb.data(), lum32.data(),
                                               team, scratchRows > 0 ? scratch.data() : nullptr, scratchRows * pw);
            keep(&invalid, sizeof invalid);
            keep(&stats, sizeof stats);
            keep(lum32.data(), cells * sizeof(float));
            EXPECT_EQ(TMConvertPreviewInput16Strided(z.W, z.H, pw, ph, pw, ph, layout16, lut.data(), rgb16.data(),
                                                     lum16.data(), team),
                      ph);
            keep(lum16.data(), cells * sizeof(float));

            // Terms for every row, and for the first ph / 3 rows only.
            for (const bool firstRows : {false, true}) {
                std::vector<float> region(cells * 5, -3.0f);
                float* const regions[1] = {region.data()};
                const int64_t floats[1] = {static_cast<int64_t>(firstRows ? 4 * pw * (ph / 3) : region.size())};
                TMPreviewTermPlanes planes32, planes16;
                EXPECT_TRUE(TMPlacePreviewTermRows(pw, ph, 4, regions, floats, 1, &planes32));
                EXPECT_TRUE(
                    TMBuildPreviewColourTerms32(z.W, z.H, pw, ph, layout32, &stats, rgb.data(), planes32, team));
                keep(region.data(), region.size() * sizeof(float));
                std::vector<uint8_t> display(3 * cells, 0x5A);
                std::vector<int32_t> histogram(TMPreviewHistogramBins, -1);
                std::vector<float> lum = lum32;
                TMMapPreviewOutput32WithTerms(z.W, z.H, pw, ph, layout32, 60, 0.5f, 0.2f, 30, kTMPreviewDisplayGamma,
                                              &stats, rgb.data(), planes32, lum.data(), histogram.data(),
                                              display.data(), team);
                keep(display.data(), display.size());
                keep(histogram.data(), histogram.size() * sizeof(int32_t));

                if (!firstRows) {
                    std::fill(region.begin(), region.end(), -3.0f);
                    EXPECT_TRUE(TMPlacePreviewTerms(pw, ph, 5, regions, floats, 1, &planes16));
                    EXPECT_TRUE(TMBuildPreviewColourTerms16(z.W, z.H, pw, ph, layout16, lut.data(), rgb16.data(),
                                                            planes16, team));
                    keep(region.data(), region.size() * sizeof(float));
                    lum = lum16;
                    TMMapPreviewOutput16WithTerms(z.W, z.H, pw, ph, layout16, 45, 0.3f, 0.1f, 70, lut.data(),
                                                  rgb16.data(), planes16, lum.data(), histogram.data(), display.data(),
                                                  team);
                    keep(display.data(), display.size());
                    keep(histogram.data(), histogram.size() * sizeof(int32_t));
                }
            }
            // Without the terms.
            std::vector<uint8_t> display(3 * cells, 0x5A);
            std::vector<int32_t> histogram(TMPreviewHistogramBins, -1);
            std::vector<float> lum = lum32;
            EXPECT_EQ(TMMapPreviewOutput32Strided(z.W, z.H, pw, ph, layout32, 80, 1.0f, 0.0f, 10,
                                                  kTMPreviewDisplayGamma, &stats, rgb.data(), lum.data(),
                                                  histogram.data(), display.data(), team),
                      ph);
            keep(display.data(), display.size());
            keep(histogram.data(), histogram.size() * sizeof(int32_t));
            lum = lum16;
            EXPECT_EQ(TMMapPreviewOutput16Strided(z.W, z.H, pw, ph, layout16, 100, 0.0f, 2.0f, 50, lut.data(),
                                                  rgb16.data(), lum.data(), histogram.data(), display.data(), team),
                      ph);
            keep(display.data(), display.size());
            keep(histogram.data(), histogram.size() * sizeof(int32_t));
            return out;
        };

        const std::vector<uint8_t> expected = run(nullptr, 0);
        for (const int32_t threads : {2, 3, 8, ph + 2}) {
            TMWorkers team(threads);
            team.SetFineGrain(true);
            for (const int64_t scratchRows : {int64_t{ph}, int64_t{5}, int64_t{1}, int64_t{0}})
                EXPECT_TRUE(sameBytes(run(&team, scratchRows), expected))
                    << pw << " x " << ph << " of " << z.W << " x " << z.H << ", " << threads << " threads, scratch "
                    << scratchRows << " rows";
        }
    }
}

// A full preview recompute, then an output-only refresh from the kept terms: display
// image and histograms.
TEST(ThreadedPreview, EveryTeamSizeGivesTheSameBytes)
{
    std::mt19937 rng(151);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    const int64_t work = TMPreviewWorkBytes / 4;
    // B one float longer: the last two runs hand it over at an odd float, as a host's
    // buffer may be aligned only for floats.
    std::vector<float> A(work), B(work + 1), C(work);
    std::vector<uint8_t> image(static_cast<size_t>(TMPreviewImageBytes(3)));
    std::vector<int32_t> histograms(TMPreviewHistogramBytes / 4);
    for (int run = 0; run < 4; ++run) {
        const int32_t format = run % 2 ? TMSample16 : TMSampleFloat32;
        const int32_t W = pick(300, 420), H = pick(200, 300);
        const int32_t pw = pick(100, 160), ph = pick(100, 160);
        const TMParameters settings = randomSettings(rng, format, run >= 2);
        const std::vector<float> rgb = randomScene(rng, W, H);
        const std::vector<uint16_t> rgb16 = to16(rgb);
        const int32_t bytes = format == TMSampleFloat32 ? 4 : 2;
        TMPreviewSource src{format,
                            W,
                            H,
                            TMPackedLayout(W, 3, bytes),
                            format == TMSampleFloat32 ? static_cast<const void*>(rgb.data()) : rgb16.data(),
                            0};
        src.threads = 1;
        auto preview = [&](TMWorkers* team) {
            TMParameters p = settings;
            p.showPreview = 1;
            p.forcePreviewRecompute = 1;
            TMPreviewView view{};
            view.previewWidth = pw;
            view.previewHeight = ph;
            view.previewCacheOffset = -1;
            std::fill(image.begin(), image.end(), 0x5A);
            std::fill(histograms.begin(), histograms.end(), -1);
            TMPreviewReport report{};
            float* const b = B.data() + (run >= 2 ? 1 : 0);
            const TMPreviewBuffers buffers{A.data(), b, C.data(), image.data(), nullptr, histograms.data()};
            EXPECT_EQ(TMRunPreview(&p, src, buffers, &view, &report, team), TMResultOK);
            EXPECT_TRUE(report.recomputed);
            std::vector<uint8_t> shown(image.begin(), image.begin() + 3 * pw * ph);
            for (int32_t v : histograms)
                for (int k = 0; k < 4; ++k)
                    shown.push_back(static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * k)));
            p.previewLevel = 0;
            p.settings.strength = (p.settings.strength + 37) % 101;
            p.settings.colorSaturation = (p.settings.colorSaturation + 59) % 101;
            EXPECT_EQ(TMRunPreview(&p, src, buffers, &view, &report, team), TMResultOK);
            EXPECT_FALSE(report.recomputed);
            EXPECT_TRUE(report.mapped);
            shown.insert(shown.end(), image.begin(), image.begin() + 3 * pw * ph);
            shown.insert(shown.end(), reinterpret_cast<const uint8_t*>(histograms.data()),
                         reinterpret_cast<const uint8_t*>(histograms.data() + TMPreviewHistogramBins));
            return shown;
        };
        const std::vector<uint8_t> expected = preview(nullptr);
        for (int32_t threads : teamSizes(coarsestRows(pw, ph, settings.settings.smoothing))) {
            TMWorkers team(threads);
            team.SetFineGrain(true);
            EXPECT_TRUE(preview(&team) == expected)
                << pw << " x " << ph << " of " << W << " x " << H << ", " << threads << " threads";
        }
    }
}

} // namespace
