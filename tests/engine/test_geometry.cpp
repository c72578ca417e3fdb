#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>

#include "tm_engine.h"

namespace {

using Geometry = std::array<int32_t, TMGeometrySize>;

Geometry geometryOf(int32_t W, int32_t H, int32_t extra)
{
    Geometry g{};
    EXPECT_EQ(TMComputeGeometry(W, H, extra, 4, g.data()), 4);
    return g;
}

Geometry boundedGeometryOf(int32_t W, int32_t H, int32_t extra)
{
    Geometry g{};
    TMComputeBoundedGeometry(W, H, extra, 4, g.data());
    return g;
}

} // namespace

TEST(Geometry, HundredSquareAtDefaultSmoothing)
{
    const Geometry g = geometryOf(100, 100, 1);
    const Geometry expected{0, 100, 100, 100, 100, 13294, 13343, 13, 13, 7, 7, 3, 4};
    EXPECT_EQ(g, expected);
    EXPECT_EQ(TMWorkingBufferBytes(g.data()), 4 * 13343);
}

TEST(Geometry, NarrowStripRoundsNegativeLevelsTowardZero)
{
    // ln(4/32)/0.693 = -3.0006 rounds to -3, 1000 high gives 5: one solver level.
    const Geometry g = geometryOf(4, 1000, 0);
    EXPECT_EQ(g[TMGeoLevelCount], 1);
    EXPECT_EQ(g[TMGeoSolverTotal], 4000 + 1000);
    EXPECT_EQ(g[TMGeoSolverCoarseWidth], 2);
    EXPECT_EQ(g[TMGeoSolverCoarseHeight], 500);
    // Only the first attenuation iteration halves; the other three repeat 2 x 500.
    EXPECT_EQ(g[TMGeoAttenTotal], 4000 + 4 * 1000);
}

TEST(Geometry, PreviewSizeAndHalfDownRounding)
{
    // 342: ln(10.69)/0.693 = 3.42 -> 3; 512 -> 4; (4 + 3) >> 1 = 3, plus 1.
    EXPECT_EQ(geometryOf(512, 342, 1)[TMGeoLevelCount], 4);
    // Halves round down: 181 gives 2.5004 -> 3 levels, 180 gives 2.4924 -> 2.
    EXPECT_EQ(geometryOf(181, 181, 0)[TMGeoLevelCount], 3);
    EXPECT_EQ(geometryOf(180, 180, 0)[TMGeoLevelCount], 2);
}

TEST(Geometry, LevelsBeyondPossibleHalvingsRepeatTheLastSize)
{
    // 8 x 8: halves to 4 x 4, then 2 x 2, then stops; extra levels add 2 x 2 each.
    const Geometry g = geometryOf(8, 8, 6);
    ASSERT_GE(g[TMGeoLevelCount], 4);
    EXPECT_EQ(g[TMGeoSolverCoarseWidth], 2);
    EXPECT_EQ(g[TMGeoSolverCoarseHeight], 2);
    EXPECT_EQ(g[TMGeoSolverTotal], 64 + 16 + 4 * (g[TMGeoLevelCount] - 1));
}

TEST(Geometry, BoundedLevelCountIsAtLeastOneAndFitsTheSolver)
{
    EXPECT_EQ(geometryOf(100, 100, -2)[TMGeoLevelCount], 0);
    const Geometry low = boundedGeometryOf(100, 100, -2);
    EXPECT_EQ(low[TMGeoLevelCount], 1);
    EXPECT_EQ(low, geometryOf(100, 100, -1)) << "one level more than the raw count, consistently";

    // 6,000 x 100 at +2 asks for 7 levels (2^7 > 100); the deepest valid count is 6.
    EXPECT_EQ(geometryOf(6000, 100, 2)[TMGeoLevelCount], 7);
    EXPECT_EQ(TMMaxSolverLevels(6000, 100), 6);
    EXPECT_EQ(boundedGeometryOf(6000, 100, 2)[TMGeoLevelCount], 6);
}

TEST(Geometry, BoundingChangesNothingWhereTheCountIsValid)
{
    for (int32_t W : {100, 101, 255, 512, 1000, 1501, 4000})
        for (int32_t H : {100, 137, 342, 768, 3000})
            for (int32_t extra = -2; extra <= 2; ++extra) {
                const Geometry raw = geometryOf(W, H, extra);
                const int32_t L = raw[TMGeoLevelCount];
                if (L >= 1 && L <= TMMaxSolverLevels(W, H)) {
                    EXPECT_EQ(boundedGeometryOf(W, H, extra), raw) << W << "x" << H << " " << extra;
                }
            }
}

TEST(Geometry, OversizedPyramidSaturatesInsteadOfWrapping)
{
    const Geometry g = geometryOf(60000, 60000, 1);
    EXPECT_EQ(g[TMGeoSolverTotal], INT32_MAX);
    EXPECT_EQ(g[TMGeoAttenTotal], INT32_MAX);
    // 21,000 x 21,000 fits int32 pixels, but not int32 bytes.
    const Geometry big = geometryOf(21000, 21000, 1);
    EXPECT_LT(big[TMGeoSolverTotal], INT32_MAX);
    EXPECT_GT(TMWorkingBufferBytes(big.data()), int64_t{INT32_MAX});
    EXPECT_EQ(TMWorkingBufferBytes(big.data()), 4 * int64_t{std::max(big[TMGeoSolverTotal], big[TMGeoAttenTotal])});
}
