#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "engine_test_util.h"

TEST(Attenuation, ConstantImageHasNoGradientsAndZeroDivergence)
{
    Workspace ws(120, 100, 1);
    std::fill(ws.A.begin(), ws.A.begin() + 120 * 100, 4.5f);
    EXPECT_EQ(ws.attenuate(), 1);
    for (size_t i = 0; i < static_cast<size_t>(ws.geometry[TMGeoSolverTotal]); ++i)
        ASSERT_EQ(ws.A[i], 0.0f) << i;
}

TEST(Attenuation, PyramidLevelsAndBorderPixels)
{
    Workspace ws(100, 100, 1);
    fillLandscape(ws.A, 100, 100);
    const std::vector<float> base(ws.A.begin(), ws.A.begin() + 100 * 100);
    ws.attenuate();
    // Levels 100, 50, 25, 13, 7 wide, one after another in C.
    EXPECT_EQ(ws.geometry[TMGeoAttenCoarseWidth], 7);
    const float* level1 = ws.C.data() + 100 * 100;
    EXPECT_EQ(std::memcmp(ws.C.data(), base.data(), base.size() * sizeof(float)), 0);
    // A border pixel of a coarse level is its co-located fine pixel (to rounding).
    EXPECT_NEAR(level1[0], base[0], 1e-6);
    EXPECT_NEAR(level1[49], base[98], 1e-6);
    EXPECT_NEAR(level1[49 * 50 + 10], base[98 * 100 + 20], 1e-6);
    // An interior pixel is the [1 2 1]^2 / 16 average around (2x, 2y).
    double expected = 0;
    const double w[3] = {0.25, 0.5, 0.25};
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx)
            expected += w[dy + 1] * w[dx + 1] * base[(20 + dy) * 100 + 30 + dx];
    EXPECT_NEAR(level1[10 * 50 + 15], expected, 1e-5);
    const float* level4 = ws.C.data() + 10000 + 2500 + 625 + 169;
    EXPECT_TRUE(std::isfinite(level4[48])) << "7 x 7 coarsest level is filled";
}

TEST(Attenuation, DivergenceSumsToZeroAndSettingsMatter)
{
    // Forward differences with zero flux at the far borders telescope: the divergence
    // of any field sums to zero over the image.
    Workspace ws(130, 110, 1);
    fillLandscape(ws.A, 130, 110);
    const std::vector<float> input(ws.A.begin(), ws.A.begin() + 130 * 110);
    EXPECT_GT(ws.attenuate(), 1);
    double sum = 0, absSum = 0;
    for (int i = 0; i < 130 * 110; ++i) {
        sum += ws.A[i];
        absSum += std::fabs(ws.A[i]);
    }
    EXPECT_GT(absSum, 1.0);
    EXPECT_NEAR(sum, 0.0, 1e-4 * absSum);

    // A stronger Luminosity compresses the large gradients more.
    auto maxDivergence = [&](int32_t lumLevel, int32_t contrastStep, float smoothing) {
        Workspace w(130, 110, 1);
        std::copy(input.begin(), input.end(), w.A.begin());
        w.attenuate(lumLevel, contrastStep, smoothing);
        float m = 0;
        for (int i = 0; i < 130 * 110; ++i)
            m = std::max(m, std::fabs(w.A[i]));
        return m;
    };
    EXPECT_LT(maxDivergence(13, 0, 0.1f), maxDivergence(1, 0, 0.1f));
    // A smaller reference gradient (lower micro-contrast) scales every factor down.
    EXPECT_LT(maxDivergence(7, -4, 0.1f), maxDivergence(7, 0, 0.1f));
    // Out-of-range steps behave like the nearest valid ones.
    EXPECT_EQ(maxDivergence(0, 0, 0.1f), maxDivergence(1, 0, 0.1f));
    EXPECT_EQ(maxDivergence(20, 0, 0.1f), maxDivergence(13, 0, 0.1f));
    EXPECT_EQ(maxDivergence(7, 1, 0.1f), maxDivergence(7, 0, 0.1f));
    EXPECT_EQ(maxDivergence(7, -5, 0.1f), maxDivergence(7, -4, 0.1f));
}

TEST(Attenuation, StepsBeyondHundredAreNotGradients)
{
    // Left half 0, right half 150: the jump exceeds 100 and contributes nothing.
    Workspace ws(100, 100, 1);
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 100; ++x)
            ws.A[y * 100 + x] = x < 50 ? 0.0f : 150.0f;
    ws.attenuate();
    for (int i = 0; i < 100 * 100; ++i)
        ASSERT_EQ(ws.A[i], 0.0f) << i;
}

TEST(Attenuation, FactorWithoutSmoothingIsThePlainPower)
{
    // On a linear ramp every interior magnitude is close to its level's mean (borders
    // pull the mean down a little), so each level's factor is about 10^(-L/100).
    Workspace ws(128, 128, 1);
    for (int y = 0; y < 128; ++y)
        for (int x = 0; x < 128; ++x)
            ws.A[y * 128 + x] = 0.01f * static_cast<float>(x);
    ws.attenuate(7, 0, 0.0f);
    const double factor = std::pow(10.0, -(7.5 / 100.0));
    // Interior pixel of every level: the product of five equal factors.
    EXPECT_NEAR(ws.B[64 * 128 + 64] / std::pow(factor, 5), 1.0, 0.03);
}
