// The tool's filter call: every setting reaches the render through the plug-in's
// path (recorded keys, and the handle for what has no key), and cancellation
// reaches its abort polls.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <vector>

#include "tm_plugin_call.h"
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
                v[(static_cast<size_t>(y) * W + x) * channels + c] = static_cast<float>(
                    std::exp2(10.0 * x / W - 4.0 + std::cos(0.2 * y + c)) * (1.0 + 0.2 * c));
    return v;
}

std::vector<float> engineResult(std::vector<float> v, int32_t channels, int32_t planes, const TMParameters& p)
{
    const int64_t rowBytes = int64_t{W} * channels * 4;
    const TMHostImage image{TMSampleFloat32, W, H, planes, channels, channels, v.data(), rowBytes,
                            v.data(), rowBytes, 0, {0.0f, 0.0f, 0.0f}, 0};
    EXPECT_EQ(TMRunStages(p, image, TMHeapAllocator(), TMProgressSink{}), TMResultOK);
    return v;
}

TMPluginOutcome renderWithPlugin(std::vector<float>& v, int32_t channels, int32_t planes, const TMParameters& p,
                                 const std::atomic<bool>* cancel = nullptr,
                                 std::vector<int32_t>* progress = nullptr)
{
    TMToolImage image;
    image.width = W;
    image.height = H;
    image.channels = channels;
    image.planes = planes;
    image.data = v.data();
    return TMRenderWithPlugin(p, image, [progress](int32_t done, int32_t) {
        if (progress)
            progress->push_back(done);
    }, cancel);
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
            << "smoothing " << p.settings.smoothing << " microcontrast " << p.settings.microcontrast << " strength " << p.settings.strength
            << " microsmoothing " << p.settings.microsmoothing;
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
