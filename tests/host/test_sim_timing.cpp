// The timings that tmhost.exe --time and tm-host-time print (host/sim/tm_sim_timing.h):
// every call timed, the caller's image left as it was, failures named, medians right.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plugin_main.h"
#include "tm_sim_timing.h"

namespace {

// A float RGB image with a smooth gradient and a bright spot.
std::vector<float> gradient(int32_t W, int32_t H)
{
    std::vector<float> img(static_cast<size_t>(W) * H * 3);
    for (int32_t y = 0; y < H; ++y)
        for (int32_t x = 0; x < W; ++x)
            for (int ch = 0; ch < 3; ++ch) {
                const bool spot = x > W / 2 && x < W / 2 + 4 && y > H / 3 && y < H / 3 + 4;
                img[(static_cast<size_t>(y) * W + x) * 3 + ch] =
                    spot ? 400.0f : 0.01f + 0.02f * static_cast<float>(x + y + ch);
            }
    return img;
}

} // namespace

TEST(SimTiming, EveryCallIsTimedOnTheCallersUntouchedImageAndFailuresAreNamed)
{
    const int32_t W = 150, H = 120;
    std::vector<float> img = gradient(W, H);
    const std::vector<float> original = img;
    const tmsim::TimedImage image{true, W, H, 3, img.data()};
    tmsim::Timing renders, full, refresh;
    std::string failure;
    ASSERT_TRUE(tmsim::TimeRenders(PluginMain, image, 3, &renders, &failure)) << failure;
    ASSERT_TRUE(tmsim::TimePreview(image, 2, 5, &full, &refresh, &failure)) << failure;
    EXPECT_EQ(renders.wall.size(), 3u);
    EXPECT_EQ(renders.cpu.size(), 3u);
    EXPECT_EQ(full.wall.size(), 2u);
    EXPECT_EQ(refresh.wall.size(), 5u);
    EXPECT_EQ(img, original) << "the renders work on copies";
    const std::string report = tmsim::TimingReport("scene.pfm", image, renders, full, refresh);
    EXPECT_NE(report.find("scene.pfm: 150x120 float"), std::string::npos) << report;
    EXPECT_NE(report.find("preview refresh 5 runs"), std::string::npos) << report;

    // Nothing to tone-map: each timing stops and says why.
    std::vector<float> black(img.size(), 0.0f);
    const tmsim::TimedImage none{true, W, H, 3, black.data()};
    tmsim::Timing r2, f2, p2;
    failure.clear();
    EXPECT_FALSE(tmsim::TimeRenders(PluginMain, none, 2, &r2, &failure));
    EXPECT_NE(failure.find("the filter returned"), std::string::npos) << failure;
    failure.clear();
    EXPECT_FALSE(tmsim::TimePreview(none, 2, 2, &f2, &p2, &failure));
    EXPECT_NE(failure.find("the preview returned"), std::string::npos) << failure;
}

TEST(SimTiming, MediansOfOddAndEvenCounts)
{
    tmsim::Timing t;
    EXPECT_EQ(t.medianWall(), 0.0);
    EXPECT_EQ(t.meanCpu(), 0.0);
    t.wall = {9.0, 1.0, 4.0};
    t.cpu = {1.0, 2.0, 6.0};
    EXPECT_EQ(t.medianWall(), 4.0);
    EXPECT_EQ(t.meanCpu(), 3.0);
    t.wall.push_back(2.0);
    EXPECT_EQ(t.medianWall(), 3.0);
}
