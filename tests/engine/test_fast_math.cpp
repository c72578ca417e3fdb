// The engine's fast transcendental path must never change a result: every value it
// stores has to equal what the library functions give. These tests compare stage
// results with a plain per-pixel computation written from the documented formulas.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "cpu_dispatch.h"
#include "engine_test_util.h"
#include "fast_math.h"
#include "preview_refresh.h"

namespace {

double relativeError(double a, double b) { return b == 0 ? std::fabs(a) : std::fabs(a - b) / std::fabs(b); }

// Output pixel of a float image with library functions only.
void referencePixel(const float c[3], float L0, float k, double ratio, float inv, double s, double gamma, float out[3])
{
    const float Y = 0.3f * c[0] + 0.6f * c[1] + 0.1f * c[2];
    if (!(Y > 0.0f) || !std::isfinite(Y)) {
        out[0] = out[1] = out[2] = 0.0f;
        return;
    }
    double L = L0;
    if (k > 0.0f) {
        const float a1 = Y + 1.0f;
        const float a2 = static_cast<float>(8.0 * std::pow(static_cast<double>(Y * inv), 0.23) + 2.0);
        const double B = ratio * std::log(static_cast<double>(a1)) / std::log(static_cast<double>(a2));
        L = static_cast<double>(k) * std::pow(B, s) + static_cast<double>((1.0f - k) * L0);
    }
    for (int ch = 0; ch < 3; ++ch) {
        const double r = c[ch] > 0.0f ? std::pow(static_cast<double>(c[ch] / Y), s) : 0.0;
        const double t = r * L;
        double v = 0.0;
        if (t > 0.0) {
            v = std::pow(t, gamma);
            if (v > 1.0)
                v = 1.0;
        }
        out[ch] = static_cast<float>(v);
    }
}

} // namespace

TEST(FastMath, WithinItsErrorBoundOfTheLibrary)
{
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> exponent(-700.0, 700.0), logRange(-40.0, 40.0);
    std::vector<double> x(20000), out(x.size());
    for (auto& v : x)
        v = std::exp(logRange(rng));
    x[0] = 1.0;
    x[1] = 1.0 + 1e-12;
    x[2] = 4.9e-320; // subnormal
    tm_fast::logArray(x.data(), out.data(), x.size());
    for (size_t i = 0; i < x.size(); ++i)
        ASSERT_LE(relativeError(out[i], std::log(x[i])), tm_fast::kFastMathError) << x[i];

    for (auto& v : x)
        v = exponent(rng);
    tm_fast::expArray(x.data(), out.data(), x.size());
    for (size_t i = 0; i < x.size(); ++i)
        ASSERT_LE(relativeError(out[i], std::exp(x[i])), tm_fast::kFastMathError) << x[i];

    for (auto& v : x)
        v = std::exp(logRange(rng) / 2);
    for (double y : {0.23, 0.46, 2.2000000476837158, -0.075, 7.5, -7.5}) { // |y ln x| up to 150
        tm_fast::powArray(x.data(), y, out.data(), x.size());
        for (size_t i = 0; i < x.size(); ++i)
            ASSERT_LE(relativeError(out[i], std::pow(x[i], y)), tm_fast::kFastMathError) << x[i] << "^" << y;
    }

    // In place, with results that are themselves outside the domain (negative).
    std::vector<double> inPlace = {0.25, 0.5, 3.0, 1e-300};
    tm_fast::logArray(inPlace.data(), inPlace.data(), inPlace.size());
    EXPECT_NEAR(inPlace[0], std::log(0.25), 1e-15);
    EXPECT_NEAR(inPlace[3], std::log(1e-300), 1e-12);

    // Outside the domain the fast path answers NaN, which no rounding check accepts.
    const double bad[4] = {0.0, -1.0, std::numeric_limits<double>::infinity(), std::nan("")};
    double r[4];
    tm_fast::logArray(bad, r, 4);
    for (double v : r)
        EXPECT_TRUE(std::isnan(v));
    // A power whose exponent y ln x passes 150 is outside the domain too.
    const double large[2] = {std::exp(60.0), std::exp(-60.0)};
    tm_fast::powArray(large, 2.6, r, 2);
    EXPECT_TRUE(std::isnan(r[0]) && std::isnan(r[1]));
    EXPECT_FALSE(tm_fast::roundsToSameFloat(std::nan(""), 1e-13));
}

TEST(FastMath, ExponentialOfTheVectorKernelsIsWithinItsBound)
{
#if defined(TM_X86_KERNELS)
    // The whole domain, the reduction's edges (half-integers of ln 2), tiny values and
    // the ends of the domain.
    std::mt19937_64 rng(29);
    std::uniform_real_distribution<float> domain(-tm_preview::kExpArgLimit, tm_preview::kExpArgLimit);
    std::uniform_real_distribution<float> near(-0.05f, 0.05f);
    std::vector<float> x(40000), out(x.size()), first(x.size());
    for (size_t i = 0; i < x.size(); ++i)
        x[i] = i % 4 == 0   ? near(rng)
               : i % 4 == 1 ? static_cast<float>((std::floor(domain(rng)) + 0.5) * std::log(2.0))
                            : domain(rng);
    x[0] = 0.0f;
    x[1] = tm_preview::kExpArgLimit;
    x[2] = -tm_preview::kExpArgLimit;
    x[3] = 1.0e-30f;
    x[4] = -std::nextafter(0.5f * 0.6931472f, 0.0f);
    // Each level's kernels that this processor can run; they share one order of
    // operations, so they also agree bit for bit.
    const struct {
        tm_cpu::Level level;
        void (*exp)(const float*, float*, int32_t);
    } kernels[] = {{tm_cpu::Level::AVX2, tm_preview::expFloatAvx2},
                   {tm_cpu::Level::AVX512, tm_preview::expFloatAvx512}};
    int tried = 0;
    for (const auto& k : kernels) {
        if (tm_cpu::supportedLevel() < k.level)
            continue;
        k.exp(x.data(), out.data(), static_cast<int32_t>(x.size()));
        double worst = 0.0;
        for (size_t i = 0; i < x.size(); ++i)
            worst = std::max(worst, relativeError(out[i], std::exp(static_cast<double>(x[i]))));
        EXPECT_LE(worst, tm_preview::kExpFloatError) << tm_cpu::levelName(k.level);
        if (tried++ == 0)
            first = out;
        else
            EXPECT_EQ(out, first) << tm_cpu::levelName(k.level);
    }
    if (tried == 0)
        GTEST_SKIP() << "no AVX2 on this processor";
#else
    GTEST_SKIP() << "the vector kernels are built for x86 with GCC only";
#endif
}

TEST(FastMath, RoundingCheckOnlyAcceptsCertainFloats)
{
    // A double just below a float midpoint, with a bound that reaches past it.
    const float f = 1.5f;
    const double midpoint = (static_cast<double>(f) + static_cast<double>(std::nextafter(f, 2.0f))) / 2;
    EXPECT_FALSE(tm_fast::roundsToSameFloat(midpoint * (1 - 1e-14), 1e-13));
    EXPECT_TRUE(tm_fast::roundsToSameFloat(midpoint * (1 - 1e-12), 1e-13));
    EXPECT_TRUE(tm_fast::roundsToSameFloat(1.5, 1e-13));
}

TEST(FastMath, FloatOutputMappingEqualsTheLibraryComputation)
{
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    const int W = 301, H = 67; // blocks of the vector path do not divide the row
    std::vector<float> in(W * H * 3), lum(W * H), out(W * H * 3);
    for (int i = 0; i < W * H; ++i) {
        const int kind = i % 9;
        for (int c = 0; c < 3; ++c) {
            const float v = std::exp(unit(rng) * 20.0f - 12.0f);
            in[i * 3 + c] = kind == 0 ? -v : kind == 1 && c == 1 ? 0.0f : v;
        }
        if (kind == 2) // grey
            in[i * 3 + 1] = in[i * 3 + 2] = in[i * 3];
        lum[i] = unit(rng) * 3.0f - 0.5f;
    }
    in[5] = std::numeric_limits<float>::quiet_NaN();
    lum[7] = lum[8]; // repeated luminance values
    for (int strength : {0, 70, 100}) {
        for (int saturation : {20, 46, 100}) {
            std::vector<float> cells = lum;
            const TMImageStats stats = {0.05f, 37.5f, {0, 0, 0}};
            const double gamma = 2.2000000476837158;
            ASSERT_GE(TMMapOutput32(W, H, 3, 0, saturation, 0.255f, 1.0f, strength, gamma, &stats, in.data(),
                                    cells.data(), out.data()),
                      0);
            // cells now hold the normalised luminance the pixel pass used.
            const float k = TMBlendWeight32(strength);
            const double ratio = std::log(10.0) / std::log(static_cast<double>(stats.rangeFactor + 1.0f));
            const float inv = 1.0f / stats.rangeFactor;
            for (int i = 0; i < W * H; ++i) {
                float expected[3];
                referencePixel(&in[i * 3], cells[i], k, ratio, inv, saturation / 100.0, gamma, expected);
                for (int c = 0; c < 3; ++c)
                    ASSERT_EQ(out[i * 3 + c], expected[c]) << "pixel " << i << " channel " << c << " strength "
                                                           << strength << " saturation " << saturation;
            }
        }
    }
}

TEST(FastMath, LogLuminanceAndFactorsEqualTheLibraryComputation)
{
    std::mt19937 rng(9);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    const int W = 613, H = 3;
    std::vector<float> in(W * H * 3), lum(W * H);
    for (auto& v : in)
        v = std::exp(unit(rng) * 30.0f - 15.0f);
    TMImageStats stats = {};
    TMConvertInput32(W, H, W, H, 3, 0, &stats, in.data(), lum.data());
    for (int i = 0; i < W * H; ++i) {
        const double y = 540.0 * in[i * 3] + 1830.0 * in[i * 3 + 1] + 190.0 * in[i * 3 + 2];
        ASSERT_EQ(lum[i], static_cast<float>(std::log(y))) << i;
    }

    // Attenuation factors and the solver's exponential store floats: wherever the
    // rounding check accepts a fast value, it is the float of the library value.
    std::vector<double> q(50000), p(q.size());
    for (auto& v : q)
        v = std::exp(unit(rng) * 12.0f - 6.0f);
    tm_fast::powArray(q.data(), -0.095, p.data(), q.size());
    size_t accepted = 0;
    for (size_t i = 0; i < q.size(); ++i)
        if (tm_fast::roundsToSameFloat(p[i], 2 * tm_fast::kFastMathError)) {
            ++accepted;
            ASSERT_EQ(static_cast<float>(p[i]), static_cast<float>(std::pow(q[i], -0.095))) << q[i];
        }
    EXPECT_GT(accepted, q.size() * 99 / 100) << "the fast path carries nearly all values";
}

TEST(FastMath, SixteenBitOutputMappingEqualsTheLibraryComputation)
{
    std::vector<float> lut(65536);
    TMBuildSampleLUT(0, 65536, lut.data());
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> sample(0, 32768);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    const int W = 517, H = 9;
    std::vector<uint16_t> in(W * H * 3), out(W * H * 3);
    std::vector<float> lum(W * H);
    for (auto& v : in)
        v = static_cast<uint16_t>(sample(rng) % 7 == 0 ? 0 : sample(rng));
    for (auto& v : lum)
        v = unit(rng) * 3.0f - 0.3f;
    for (int strength : {0, 40, 41, 100}) {
        std::vector<float> cells = lum;
        const TMImageStats none = {};
        ASSERT_GE(TMMapOutput16(W, H, 3, 0, 46, 0.255f, 0.5f, strength, &none, lut.data(), in.data(), cells.data(),
                                out.data()),
                  0);
        const float k = TMBlendWeight16(strength);
        for (int i = 0; i < W * H; ++i) {
            const float lin[3] = {lut[in[i * 3]], lut[in[i * 3 + 1]], lut[in[i * 3 + 2]]};
            const float Y = 0.3f * lin[0] + 0.6f * lin[1] + 0.1f * lin[2];
            const float T = ((1.0f - k) * 128.5f) * cells[i];
            for (int c = 0; c < 3; ++c) {
                const double r = Y > 0.0f ? std::pow(static_cast<double>(lin[c] / Y), 0.46) : 0.0;
                double v = r * T + static_cast<double>(k * static_cast<float>(in[i * 3 + c]));
                v = std::min(v, 32768.0);
                if (!(v >= 0.0))
                    v = 0.0;
                ASSERT_EQ(out[i * 3 + c], static_cast<uint16_t>(v)) << "pixel " << i << " strength " << strength;
            }
        }
    }
}
