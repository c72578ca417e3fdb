// The tool's filter call: every setting reaches the render through the plug-in's
// path (the parameters handle the host hands back), and cancellation reaches its
// abort polls.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <vector>

#include "tm_plugin_call.h"
#include "tm_preview.h"
#include "tm_protocol.h"
#include "tm_render.h"

namespace {

constexpr int32_t W = 140, H = 120;

std::vector<float> scene(int32_t channels)
{
    std::vector<float> v(static_cast<size_t>(W) * H * channels);
    for (int32_t y = 0; y < H; ++y)
        for (int32_t x = 0; x < W; ++x)
            for (int32_t c = 0; c < channels; ++c)
                v[(static_cast<size_t>(y) * W + x) * channels + c] =
                    static_cast<float>(std::exp2(10.0 * x / W - 4.0 + std::cos(0.2 * y + c)) * (1.0 + 0.2 * c));
    return v;
}

std::vector<float> engineResult(std::vector<float> v, int32_t channels, int32_t planes, const TMParameters& p)
{
    const int64_t rowBytes = int64_t{W} * channels * 4;
    const TMHostImage image{TMSampleFloat32, W,        H,        planes, channels,           channels, v.data(),
                            rowBytes,        v.data(), rowBytes, 0,      {0.0f, 0.0f, 0.0f}, 0};
    EXPECT_EQ(TMRunStages(p, image, TMHeapAllocator(), TMProgressSink{}), TMResultOK);
    return v;
}

TMPluginOutcome renderWithPlugin(std::vector<float>& v, int32_t channels, int32_t planes, const TMParameters& p,
                                 const std::atomic<bool>* cancel = nullptr, std::vector<int32_t>* progress = nullptr)
{
    TMImage image;
    image.allocate(TMSampleType::Float32, W, H, channels);
    std::copy(v.begin(), v.end(), image.f32.begin());
    EXPECT_EQ(TMFilterPlaneCount(channels), planes);
    const TMPluginOutcome outcome = TMRenderWithPlugin(
        p, image,
        [progress](int32_t done, int32_t) {
            if (progress)
                progress->push_back(done);
        },
        cancel);
    std::copy(image.f32.begin(), image.f32.end(), v.begin());
    return outcome;
}

} // namespace

TEST(PluginCall, EverySettingReachesTheRender)
{
    TMParameters base{};
    applyDefaults(&base, TMSampleFloat32);
    // Recorded keys, the enumerations' three steps, the two steps they cannot
    // express, and the fields without a key.
    std::vector<TMParameters> cases;
    for (int32_t step : {-2, -1, 1, 2}) {
        TMParameters p = base;
        p.settings.smoothing = step;
        p.settings.microcontrast = -step;
        cases.push_back(p);
    }
    TMParameters keyed = base;
    keyed.settings.luminosity = 3;
    keyed.settings.strength = 35;
    keyed.settings.colorSaturation = 90;
    keyed.settings.whiteClip = 150;
    keyed.settings.blackClip = 40;
    cases.push_back(keyed);
    TMParameters keyless = base;
    keyless.settings.microsmoothing = 17;
    keyless.settings.image360 = 1;
    cases.push_back(keyless);

    const std::vector<float> input = scene(3);
    for (const TMParameters& p : cases) {
        std::vector<float> v = input;
        const TMPluginOutcome outcome = renderWithPlugin(v, 3, 3, p);
        ASSERT_EQ(outcome.result, 0) << outcome.failure;
        EXPECT_EQ(v, engineResult(input, 3, 3, p))
            << "smoothing " << p.settings.smoothing << " microcontrast " << p.settings.microcontrast << " strength "
            << p.settings.strength << " microsmoothing " << p.settings.microsmoothing;
    }
}

TEST(PluginCall, GreyWithAlphaRendersOnePlaneAndKeepsTheAlpha)
{
    TMParameters p{};
    applyDefaults(&p, TMSampleFloat32);
    const std::vector<float> input = scene(2);
    std::vector<float> v = input;
    ASSERT_EQ(renderWithPlugin(v, 2, 1, p).result, 0);
    EXPECT_EQ(v, engineResult(input, 2, 1, p));
    for (size_t i = 1; i < v.size(); i += 2)
        ASSERT_EQ(v[i], input[i]);
}

TEST(PluginCall, CancellationAndFailuresComeBackWithTheirCause)
{
    TMParameters p{};
    applyDefaults(&p, TMSampleFloat32);
    const std::vector<float> input = scene(3);
    std::vector<float> v = input;
    const std::atomic<bool> cancelled{true};
    std::vector<int32_t> progress;
    const TMPluginOutcome outcome = renderWithPlugin(v, 3, 3, p, &cancelled, &progress);
    EXPECT_EQ(outcome.result, TMUserCanceledErr);
    EXPECT_EQ(outcome.failure, "cancelled");
    EXPECT_EQ(v, input) << "the first poll comes before any output";
    EXPECT_EQ(progress, std::vector<int32_t>{0});

    std::vector<float> flat(static_cast<size_t>(W) * H * 3, 0.25f);
    const TMPluginOutcome failed = renderWithPlugin(flat, 3, 3, p);
    EXPECT_EQ(failed.result, TMFilterBadParameters);
    EXPECT_EQ(failed.failure, "the image is flat: it has no luminance range to tone-map");
}

namespace {

// The host's samples of scene(3): float, or 16-bit in the host range.
TMImage hostImage(bool isFloat)
{
    const std::vector<float> v = scene(3);
    TMImage image;
    image.allocate(isFloat ? TMSampleType::Float32 : TMSampleType::UInt16, W, H, 3);
    for (size_t i = 0; i < v.size(); ++i) {
        if (isFloat)
            image.f32[i] = v[i];
        else
            image.u16[i] = static_cast<uint16_t>(std::min(32768.0, 32768.0 * std::pow(v[i] / 1200.0, 1 / 2.2)));
    }
    return image;
}

// The engine's preview sequence on the same samples, as the dialog runs it: the
// tone-mapped view, then for `original` the unprocessed one. Display image
// interleaved, then the histogram shown.
std::vector<int64_t> enginePreview(const TMImage& image, TMParameters p, bool original)
{
    const bool isFloat = image.type == TMSampleType::Float32;
    std::vector<float> a(TMPreviewWorkBytes / 4), b(a.size()), c(a.size());
    std::vector<uint8_t> shown(static_cast<size_t>(TMPreviewImageBytes(3))), cache(TMPreviewCacheBytes(3));
    std::vector<int32_t> histograms(3 * 256);
    const TMPreviewSource src{isFloat ? TMSampleFloat32 : TMSample16,
                              W,
                              H,
                              TMPackedLayout(W, 3, isFloat ? 4 : 2),
                              isFloat ? static_cast<const void*>(image.f32.data()) : image.u16.data(),
                              0};
    const TMPreviewBuffers buffers{a.data(), b.data(), c.data(), shown.data(), cache.data(), histograms.data()};
    // The image is smaller than the preview side: shown 1:1.
    TMPreviewView view{W, H, TMPreviewCacheOffset(512, 3)};
    EXPECT_EQ(TMRunPreview(&p, src, buffers, &view), TMResultOK);
    if (original) {
        p.showPreview = 0;
        EXPECT_EQ(TMRunPreview(&p, src, buffers, &view), TMResultOK);
    }
    std::vector<int64_t> out;
    for (int32_t i = 0; i < W * H; ++i)
        for (int32_t ch = 0; ch < 3; ++ch)
            out.push_back(shown[static_cast<size_t>(ch) * W * H + i]);
    out.insert(out.end(), histograms.begin(), histograms.begin() + 256);
    return out;
}

} // namespace

TEST(PluginCall, EverySettingReachesThePreview)
{
    for (const bool isFloat : {true, false}) {
        TMParameters base{};
        applyDefaults(&base, isFloat ? TMSampleFloat32 : TMSample16);
        std::vector<TMParameters> cases = {base, base, base};
        cases[1].settings.smoothing = 2;
        cases[1].settings.microcontrast = -2;
        cases[1].settings.microsmoothing = 17;
        cases[2].settings.luminosity = 3;
        cases[2].settings.strength = 35;
        cases[2].settings.colorSaturation = 90;
        cases[2].settings.whiteClip = 150;
        cases[2].settings.blackClip = 40;
        for (const TMParameters& p : cases)
            for (const bool original : {false, true}) {
                TMImage image = hostImage(isFloat);
                TMImage shown;
                std::array<int32_t, 256> histogram{};
                const TMPluginOutcome outcome = TMPreviewWithPlugin(p, image, 512, original, &shown, &histogram);
                ASSERT_EQ(outcome.result, 0) << outcome.failure;
                ASSERT_EQ(shown.width, W);
                ASSERT_EQ(shown.height, H);
                std::vector<int64_t> got(shown.u8.begin(), shown.u8.end());
                got.insert(got.end(), histogram.begin(), histogram.end());
                EXPECT_EQ(got, enginePreview(image, p, original))
                    << (isFloat ? "float" : "16-bit") << ", original " << original << ", smoothing "
                    << p.settings.smoothing << ", strength " << p.settings.strength;
            }
    }
}
