// Threaded stages give the same bytes as one thread: the banded smoother against the
// single-threaded sweep, and whole renders and preview recomputes at several team
// sizes. The teams split their work as finely as they can, so that these small
// images reach every boundary between pieces.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "demo_scene.h"
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

// A full preview recompute: display image and histograms.
TEST(ThreadedPreview, EveryTeamSizeGivesTheSameBytes)
{
    std::mt19937 rng(151);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    const int64_t work = TMPreviewWorkBytes / 4;
    std::vector<float> A(work), B(work), C(work);
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
            const TMPreviewBuffers buffers{A.data(), B.data(), C.data(), image.data(), nullptr, histograms.data()};
            EXPECT_EQ(TMRunPreview(&p, src, buffers, &view, &report, team), TMResultOK);
            EXPECT_TRUE(report.recomputed);
            std::vector<uint8_t> shown(image.begin(), image.begin() + 3 * pw * ph);
            for (int32_t v : histograms)
                for (int k = 0; k < 4; ++k)
                    shown.push_back(static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * k)));
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
