// Preview-scale input conversion and output mapping: source positions, the plane
// weights shared with the final render, and every function against a plain
// per-pixel evaluation of its arithmetic on random inputs, bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "preview_stages.h"
#include "tm_engine.h"

namespace {

// The float preview's display exponent (the preview shows t itself).
const double kGamma = kTMPreviewDisplayGamma;

std::vector<float> sampleTable()
{
    std::vector<float> lut(65536);
    TMBuildSampleLUT(0, 65536, lut.data());
    return lut;
}

// --- Plain evaluations of the documented arithmetic ------------------------------

int32_t refTrunc(int32_t i, int32_t W, int32_t pw)
{
    const float f = static_cast<float>(W) / static_cast<float>(pw);
    return std::min(static_cast<int32_t>(static_cast<float>(i) * f), W - 1);
}

int32_t refRound(int32_t i, int32_t W, int32_t pw)
{
    const float f = static_cast<float>(W) / static_cast<float>(pw);
    const float v = static_cast<float>(i) * f;
    const int32_t t = static_cast<int32_t>(v);
    return std::min(v - static_cast<float>(t) > 0.5f ? t + 1 : t, W - 1);
}

// Samples of pixel (x, y) in a packed image of `planes` planes: red, green, blue by
// plane role (first, middle, last).
template <typename T>
void rgbAt(const std::vector<T>& img, int32_t W, int32_t planes, int32_t x, int32_t y, T out[3])
{
    const size_t p = (static_cast<size_t>(y) * W + x) * planes;
    out[0] = img[p];
    out[1] = img[p + (planes - 1) / 2];
    out[2] = img[p + planes - 1];
}

struct RefInput32 {
    std::vector<float> lum;
    TMPreviewStats stats{0.0f, 0.0f};
    int32_t result = 0;
};

RefInput32 refInput32(const std::vector<float>& img, int32_t W, int32_t H, int32_t pw, int32_t ph)
{
    RefInput32 r;
    r.lum.assign(static_cast<size_t>(pw) * ph, 0.0f);
    int64_t n = 0;
    double sum = 0, mx = -999999999.0, mn = 999999999.0;
    for (int32_t y = 0; y < ph; ++y)
        for (int32_t x = 0; x < pw; ++x) {
            float s[3];
            rgbAt(img, W, 3, refRound(x, W, pw), refRound(y, H, ph), s);
            const double v = 540.0 * s[0] + 1830.0 * s[1] + 190.0 * s[2];
            float& cell = r.lum[static_cast<size_t>(y) * pw + x];
            if (v > 0.0 && std::isfinite(0.3f * s[0] + 0.6f * s[1] + 0.1f * s[2])) {
                const double l = std::log(v);
                cell = static_cast<float>(l);
                ++n;
                sum += l;
                mx = std::max(mx, l);
                mn = std::min(mn, l);
            } else {
                cell = -1.0e9f;
            }
        }
    if (n > 0)
        r.stats.geometricMean = static_cast<float>(std::exp(sum / static_cast<double>(n) - std::log(2560.0)));
    if (r.stats.geometricMean > 0.0f)
        r.stats.rangeFactor = static_cast<float>(std::exp(mx / 2560.0) / r.stats.geometricMean);
    if (n < int64_t{pw} * ph - 1)
        for (float& c : r.lum)
            if (c < -99999999.0f)
                c = static_cast<float>(mn);
    r.result = static_cast<int32_t>(int64_t{pw} * ph - n);
    return r;
}

std::vector<float> refInput16(const std::vector<uint16_t>& img, int32_t W, int32_t H, int32_t pw, int32_t ph,
                              int32_t planes, const std::vector<float>& lut)
{
    std::vector<float> lum(static_cast<size_t>(pw) * ph);
    for (int32_t y = 0; y < ph; ++y)
        for (int32_t x = 0; x < pw; ++x) {
            uint16_t s[3];
            rgbAt(img, W, planes, refTrunc(x, W, pw), refTrunc(y, H, ph), s);
            float d = static_cast<float>(0.3 * lut[s[0]] + 0.6 * lut[s[1]] + 0.1 * lut[s[2]]);
            if (d == 0.0f)
                d = 0.01f;
            lum[static_cast<size_t>(y) * pw + x] = static_cast<float>(std::log(static_cast<double>(d)));
        }
    return lum;
}

int32_t refBin(int64_t r, int64_t g, int64_t b)
{
    const int64_t s = 54 * r + 183 * g + 19 * b;
    return static_cast<int32_t>(std::clamp<int64_t>(s < 0 ? -1 : s / 256, 0, 255));
}

struct Settings {
    int32_t saturation, strength;
    float white, black;
};

struct Display {
    std::vector<uint8_t> image;
    std::vector<int32_t> histogram;
    int32_t result = 0;
};

// Normalisation is the shared clip-point stage; the pixel pass is evaluated here.
Display refOutput32(const std::vector<float>& img, int32_t W, int32_t H, int32_t pw, int32_t ph, const Settings& s,
                    const TMPreviewStats& stats, std::vector<float> lum)
{
    Display d;
    d.result = TMNormaliseClipPoints(pw, ph, std::clamp(s.white, 0.0f, 10.0f), std::clamp(s.black, 0.0f, 10.0f), 1.0f,
                                     lum.data());
    if (d.result < 0)
        return d;
    d.result = ph;
    const float k = static_cast<float>(100 - std::clamp(s.strength, 0, 100)) * 0.009f;
    const double sat = std::clamp(s.saturation, 20, 100) / 100.0;
    double ratio = 1.0;
    float inv = 1.0f;
    if (stats.rangeFactor > 0.0f) {
        ratio = std::log(10.0) / std::log(static_cast<double>(stats.rangeFactor + 1.0f));
        inv = 1.0f / stats.rangeFactor;
    }
    const size_t plane = static_cast<size_t>(pw) * ph;
    d.image.assign(3 * plane, 0);
    d.histogram.assign(256, 0);
    for (int32_t y = 0; y < ph; ++y)
        for (int32_t x = 0; x < pw; ++x) {
            const size_t idx = static_cast<size_t>(y) * pw + x;
            float c[3];
            rgbAt(img, W, 3, refTrunc(x, W, pw), refTrunc(y, H, ph), c);
            const float Y = 0.3f * c[0] + 0.6f * c[1] + 0.1f * c[2];
            const float L0 = lum[idx];
            int64_t h[3] = {0, 0, 0};
            if (Y > 0.0f && std::isfinite(Y)) {
                double L = L0;
                if (k > 0.0f) {
                    const float a2 = static_cast<float>(8.0 * std::pow(static_cast<double>(Y * inv), 0.23) + 2.0);
                    const double B =
                        ratio * std::log(static_cast<double>(Y + 1.0f)) / std::log(static_cast<double>(a2));
                    L = static_cast<double>(k) * std::pow(B, sat) + static_cast<double>((1.0f - k) * L0);
                }
                for (int ch = 0; ch < 3; ++ch) {
                    const double t = c[ch] > 0.0f ? std::pow(static_cast<double>(c[ch] / Y), sat) * L : 0.0;
                    if (t > 0.0) {
                        const double v = 255.0 * t; // the byte carries t, the value the bins count
                        d.image[ch * plane + idx] = static_cast<uint8_t>(v >= 255.0 ? 255.0 : v);
                    }
                    h[ch] = static_cast<int64_t>(std::clamp(255.0 * t, -1.0e12, 1.0e12));
                }
            }
            ++d.histogram[refBin(h[0], h[1], h[2])];
        }
    return d;
}

Display refOutput16(const std::vector<uint16_t>& img, int32_t W, int32_t H, int32_t pw, int32_t ph, const Settings& s,
                    const std::vector<float>& lut, std::vector<float> lum)
{
    Display d;
    d.result = TMNormaliseClipPoints(pw, ph, std::clamp(s.white, 0.0f, 10.0f), std::clamp(s.black, 0.0f, 10.0f), 255.0f,
                                     lum.data());
    if (d.result < 0)
        return d;
    d.result = ph;
    const int32_t st = std::clamp(s.strength, 0, 100);
    const float k = st <= 40 ? static_cast<float>(100 - st) * 0.0076f : (129.4f - static_cast<float>(st)) * 0.0051f;
    const double sat = std::clamp(s.saturation, 20, 100) / 100.0;
    const size_t plane = static_cast<size_t>(pw) * ph;
    d.image.assign(3 * plane, 0);
    d.histogram.assign(256, 0);
    for (int32_t y = 0; y < ph; ++y)
        for (int32_t x = 0; x < pw; ++x) {
            const size_t idx = static_cast<size_t>(y) * pw + x;
            uint16_t raw[3];
            rgbAt(img, W, 3, refTrunc(x, W, pw), refTrunc(y, H, ph), raw);
            const float lin[3] = {lut[raw[0]], lut[raw[1]], lut[raw[2]]};
            const float Y = 0.3f * lin[0] + 0.6f * lin[1] + 0.1f * lin[2];
            const float T = (1.0f - k) * lum[idx];
            uint8_t b[3];
            for (int ch = 0; ch < 3; ++ch) {
                const double ratioC = Y > 0.0f ? std::pow(static_cast<double>(lin[ch] / Y), sat) : 0.0;
                const double v = ratioC * T + static_cast<double>((k / 128.5f) * static_cast<float>(raw[ch]));
                b[ch] = static_cast<uint8_t>(std::clamp(v, 0.0, 255.0));
                d.image[ch * plane + idx] = b[ch];
            }
            ++d.histogram[refBin(b[0], b[1], b[2])];
        }
    return d;
}

// --- Random inputs -------------------------------------------------------------------

std::vector<float> randomFloatImage(int32_t W, int32_t H, std::mt19937& rng)
{
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    std::vector<float> img(static_cast<size_t>(W) * H * 3);
    for (size_t i = 0; i < img.size(); ++i) {
        const float r = u(rng);
        // Mostly HDR positives over five decades, some zeros and negatives.
        img[i] = r < 0.05f ? 0.0f : r < 0.1f ? -u(rng) : std::pow(10.0f, 5.0f * u(rng) - 3.0f);
    }
    return img;
}

std::vector<uint16_t> random16Image(int32_t W, int32_t H, int32_t planes, std::mt19937& rng)
{
    std::uniform_int_distribution<int> u(0, 32768);
    std::vector<uint16_t> img(static_cast<size_t>(W) * H * planes);
    for (auto& v : img)
        v = static_cast<uint16_t>(u(rng) % 10 == 0 ? 0 : u(rng));
    return img;
}

std::vector<float> randomLum(size_t n, std::mt19937& rng)
{
    std::normal_distribution<float> g(2.0f, 1.5f);
    std::vector<float> lum(n);
    for (auto& v : lum)
        v = g(rng);
    return lum;
}

const Settings kSettings[] = {
    {46, 70, 0.255f, 0.0f},
    {100, 100, 0.005f, 0.0f},
    {20, 0, 2.0f, 1.5f},
    {80, 35, 0.0f, 5.0f},
};

// A W x H image whose only coloured pixels sit in two columns of every row.
template <typename T>
std::vector<T> twoColumnImage(int32_t W, int32_t H, int32_t xA, const T colourA[3], int32_t xB, const T colourB[3],
                              T grey)
{
    std::vector<T> img(static_cast<size_t>(W) * H * 3, grey);
    for (int32_t y = 0; y < H; ++y)
        for (int ch = 0; ch < 3; ++ch) {
            img[(static_cast<size_t>(y) * W + xA) * 3 + ch] = colourA[ch];
            img[(static_cast<size_t>(y) * W + xB) * 3 + ch] = colourB[ch];
        }
    return img;
}

} // namespace

// W = 4000, pw = 512: W / pw = 7.8125. Column 1 (7.8125) reads source column 8 in
// the float input (fraction above 0.5) and 7 everywhere else; column 3 (23.4375)
// reads 23 everywhere.
TEST(PreviewPositions, FloatInputRoundsAndEveryOtherPathTruncates)
{
    const int32_t W = 4000, H = 40, pw = 512, ph = 10;
    const std::vector<float> lut = sampleTable();
    // Column 7 red, column 8 green; column 23 blue, column 24 green.
    const float red[3] = {1, 0, 0}, green[3] = {0, 1, 0}, blue[3] = {0, 0, 1};
    std::vector<float> f78 = twoColumnImage(W, H, 7, red, 8, green, 0.5f);
    std::vector<float> f2324 = twoColumnImage(W, H, 23, blue, 24, green, 0.5f);
    const uint16_t red16[3] = {32768, 0, 0}, green16[3] = {0, 32768, 0}, blue16[3] = {0, 0, 32768};
    std::vector<uint16_t> i78 = twoColumnImage<uint16_t>(W, H, 7, red16, 8, green16, 16384);
    std::vector<uint16_t> i2324 = twoColumnImage<uint16_t>(W, H, 23, blue16, 24, green16, 16384);

    std::vector<float> lum(static_cast<size_t>(pw) * ph);
    TMPreviewStats stats{};
    ASSERT_GE(TMConvertPreviewInput32(W, H, pw, ph, pw, ph, &stats, f78.data(), lum.data()), 0);
    EXPECT_EQ(lum[1], static_cast<float>(std::log(1830.0))) << "float input: column 8 (green)";
    ASSERT_GE(TMConvertPreviewInput32(W, H, pw, ph, pw, ph, &stats, f2324.data(), lum.data()), 0);
    EXPECT_EQ(lum[3], static_cast<float>(std::log(190.0))) << "float input: column 23 (blue)";

    ASSERT_EQ(TMConvertPreviewInput16(W, H, pw, ph, pw, ph, 3, lut.data(), i78.data(), lum.data()), ph);
    EXPECT_EQ(lum[1], static_cast<float>(std::log(
                          static_cast<double>(static_cast<float>(0.3 * lut[32768] + 0.6 * lut[0] + 0.1 * lut[0])))))
        << "16-bit input: column 7 (red)";
    ASSERT_EQ(TMConvertPreviewInput16(W, H, pw, ph, pw, ph, 3, lut.data(), i2324.data(), lum.data()), ph);
    EXPECT_EQ(lum[3], static_cast<float>(std::log(
                          static_cast<double>(static_cast<float>(0.3 * lut[0] + 0.6 * lut[0] + 0.1 * lut[32768])))))
        << "16-bit input: column 23 (blue)";

    // Outputs: which plane of preview columns 1 and 3 is brightest names the source.
    std::mt19937 rng(5);
    const std::vector<float> L = randomLum(static_cast<size_t>(pw) * ph, rng);
    const size_t plane = static_cast<size_t>(pw) * ph;
    auto brightestPlane = [&](const std::vector<uint8_t>& img, size_t idx) {
        int best = 0;
        for (int ch = 1; ch < 3; ++ch)
            if (img[ch * plane + idx] > img[best * plane + idx])
                best = ch;
        return best;
    };
    std::vector<uint8_t> img(3 * plane);
    std::vector<int32_t> hist(256);
    for (const auto* src : {&f78, &f2324}) {
        std::vector<float> l = L;
        ASSERT_EQ(TMMapPreviewOutput32(W, H, pw, ph, 100, 0.0f, 0.0f, 100, kGamma, &stats, src->data(), l.data(),
                                       hist.data(), img.data()),
                  ph);
        if (src == &f78)
            EXPECT_EQ(brightestPlane(img, 1), 0) << "float output: column 7 (red)";
        else
            EXPECT_EQ(brightestPlane(img, 3), 2) << "float output: column 23 (blue)";
    }
    for (const auto* src : {&i78, &i2324}) {
        std::vector<float> l = L;
        ASSERT_EQ(TMMapPreviewOutput16(W, H, pw, ph, 100, 0.0f, 0.0f, 100, lut.data(), src->data(), l.data(),
                                       hist.data(), img.data()),
                  ph);
        if (src == &i78)
            EXPECT_EQ(brightestPlane(img, 1), 0) << "16-bit output: column 7 (red)";
        else
            EXPECT_EQ(brightestPlane(img, 3), 2) << "16-bit output: column 23 (blue)";
    }
}

TEST(PreviewPositions, SidesBelowTenPixelsAreRefusedBeforeAnythingIsWritten)
{
    const std::vector<float> lut = sampleTable();
    const std::vector<float> f(100 * 9 * 3, 0.5f);
    const std::vector<uint16_t> s(100 * 9 * 3, 1000);
    std::vector<float> lum(50 * 10, 7.0f);
    TMPreviewStats stats{};
    EXPECT_EQ(TMConvertPreviewInput32(100, 9, 50, 10, 50, 10, &stats, f.data(), lum.data()), TMErrTooSmall);
    EXPECT_EQ(TMConvertPreviewInput16(100, 9, 50, 10, 50, 10, 3, lut.data(), s.data(), lum.data()), TMErrTooSmall);
    EXPECT_EQ(TMConvertPreviewInput16(100, 20, 9, 10, 9, 10, 3, lut.data(), s.data(), lum.data()), TMErrTooSmall);
    std::vector<uint8_t> img(3 * 500, 77);
    std::vector<int32_t> hist(256, 3);
    EXPECT_EQ(TMMapPreviewOutput32(100, 9, 50, 10, 46, 0.255f, 0.0f, 70, kGamma, &stats, f.data(), lum.data(),
                                   hist.data(), img.data()),
              TMErrTooSmall);
    EXPECT_TRUE(std::all_of(lum.begin(), lum.end(), [](float v) { return v == 7.0f; }));
    EXPECT_TRUE(std::all_of(img.begin(), img.end(), [](uint8_t v) { return v == 77; }));
    EXPECT_TRUE(std::all_of(hist.begin(), hist.end(), [](int32_t v) { return v == 3; }));
}

// The preview's luminance weights are the final render's: red 540 (float) and 0.3
// (16-bit), so a strongly coloured image previews with the luminance it renders.
TEST(PreviewInput, PureRedHasTheFinalRendersLuminance)
{
    const int32_t W = 12, H = 10;
    std::vector<float> f(static_cast<size_t>(W) * H * 3, 0.0f);
    std::vector<uint16_t> s(static_cast<size_t>(W) * H * 3, 0);
    for (size_t p = 0; p < static_cast<size_t>(W) * H; ++p) {
        f[3 * p] = 1.0f;
        s[3 * p] = 32768;
    }
    const std::vector<float> lut = sampleTable();
    std::vector<float> preview(W * H), render(W * H);
    TMPreviewStats pstats{};
    TMImageStats rstats{};
    EXPECT_EQ(TMConvertPreviewInput32(W, H, W, H, W, H, &pstats, f.data(), preview.data()), 0);
    TMConvertInput32(W, H, W, H, 3, 0, &rstats, f.data(), render.data());
    EXPECT_EQ(preview[0], static_cast<float>(std::log(540.0)));
    EXPECT_EQ(preview, render);
    // The preview sums the double logarithms, the render the stored floats.
    EXPECT_FLOAT_EQ(pstats.geometricMean, rstats.geometricMean);

    TMConvertPreviewInput16(W, H, W, H, W, H, 3, lut.data(), s.data(), preview.data());
    TMConvertInput16(W, H, W, H, 3, 0, nullptr, lut.data(), s.data(), render.data());
    EXPECT_EQ(preview, render);
    EXPECT_NEAR(preview[0], std::log(0.3 * 8589934592.0), 1e-5);
}

TEST(PreviewInput, FloatMatchesPlainEvaluation)
{
    std::mt19937 rng(11);
    for (const auto& size : {std::array<int32_t, 4>{100, 70, 37, 23}, std::array<int32_t, 4>{30, 40, 64, 50},
                             std::array<int32_t, 4>{333, 20, 333, 20}}) {
        const int32_t W = size[0], H = size[1], pw = size[2], ph = size[3];
        const std::vector<float> img = randomFloatImage(W, H, rng);
        const RefInput32 ref = refInput32(img, W, H, pw, ph);
        std::vector<float> lum(static_cast<size_t>(pw) * ph, 123.0f);
        TMPreviewStats stats{};
        EXPECT_EQ(TMConvertPreviewInput32(W, H, pw, ph, pw, ph, &stats, img.data(), lum.data()), ref.result);
        EXPECT_GT(ref.result, 1) << "the random image has invalid pixels to replace";
        EXPECT_EQ(lum, ref.lum);
        EXPECT_EQ(stats.geometricMean, ref.stats.geometricMean);
        EXPECT_EQ(stats.rangeFactor, ref.stats.rangeFactor);
    }
}

TEST(PreviewInput, FloatEdgeCasesOfInvalidPixels)
{
    const int32_t W = 10, H = 10;
    std::vector<float> img(W * H * 3, 0.25f);
    std::vector<float> lum(W * H);
    TMPreviewStats stats{};
    // One black pixel keeps its marker; a negative sample is not lifted.
    img[0] = img[1] = img[2] = 0.0f;
    img[3] = -0.5f; // pixel 1: 540 * -0.5 + 1830 * 0.25 + 190 * 0.25
    EXPECT_EQ(TMConvertPreviewInput32(W, H, W, H, W, H, &stats, img.data(), lum.data()), 1);
    EXPECT_EQ(lum[0], -1.0e9f);
    EXPECT_EQ(lum[1], static_cast<float>(std::log(540.0 * -0.5 + 1830.0 * 0.25 + 190.0 * 0.25)));
    // Nothing valid: statistics stay 0 and every cell takes the minimum's start value.
    std::fill(img.begin(), img.end(), -1.0f);
    stats = {};
    EXPECT_EQ(TMConvertPreviewInput32(W, H, W, H, W, H, &stats, img.data(), lum.data()), W * H);
    EXPECT_EQ(stats.geometricMean, 0.0f);
    EXPECT_EQ(stats.rangeFactor, 0.0f);
    EXPECT_EQ(lum[57], 999999999.0f);
    // A non-finite sample is invalid, as in the final render, not an infinite cell.
    std::fill(img.begin(), img.end(), 0.25f);
    img[30] = INFINITY;
    img[60] = NAN;
    EXPECT_EQ(TMConvertPreviewInput32(W, H, W, H, W, H, &stats, img.data(), lum.data()), 2);
    EXPECT_EQ(lum[10], lum[11]);
    EXPECT_TRUE(std::isfinite(stats.rangeFactor));
}

TEST(PreviewInput, SixteenBitMatchesPlainEvaluationForEveryPlaneCount)
{
    std::mt19937 rng(12);
    const std::vector<float> lut = sampleTable();
    for (const int32_t planes : {1, 2, 3})
        for (const auto& size : {std::array<int32_t, 4>{100, 70, 37, 23}, std::array<int32_t, 4>{20, 15, 64, 50}}) {
            const int32_t W = size[0], H = size[1], pw = size[2], ph = size[3];
            const std::vector<uint16_t> img = random16Image(W, H, planes, rng);
            std::vector<float> lum(static_cast<size_t>(pw) * ph);
            EXPECT_EQ(TMConvertPreviewInput16(W, H, pw, ph, pw, ph, planes, lut.data(), img.data(), lum.data()), ph);
            EXPECT_EQ(lum, refInput16(img, W, H, pw, ph, planes, lut)) << planes << " planes";
        }
}

TEST(PreviewInput, StridedLayoutReadsTheSamePixels)
{
    // Four samples a pixel and padded rows give the cells of the packed image.
    std::mt19937 rng(13);
    const int32_t W = 50, H = 30, pw = 21, ph = 13, rowPad = 7;
    const std::vector<float> packed = randomFloatImage(W, H, rng);
    const std::vector<uint16_t> packed16 = random16Image(W, H, 3, rng);
    const int64_t rowSamples = W * 4 + rowPad;
    std::vector<float> padded(static_cast<size_t>(rowSamples * H), -7.0f);
    std::vector<uint16_t> padded16(padded.size(), 9999);
    for (int32_t y = 0; y < H; ++y)
        for (int32_t x = 0; x < W; ++x)
            for (int ch = 0; ch < 3; ++ch) {
                padded[static_cast<size_t>(y * rowSamples + x * 4 + ch)] =
                    packed[(static_cast<size_t>(y) * W + x) * 3 + ch];
                padded16[static_cast<size_t>(y * rowSamples + x * 4 + ch)] =
                    packed16[(static_cast<size_t>(y) * W + x) * 3 + ch];
            }
    const std::vector<float> lut = sampleTable();
    std::vector<float> a(pw * ph), b(pw * ph);
    TMPreviewStats sa{}, sb{};
    TMConvertPreviewInput32(W, H, pw, ph, pw, ph, &sa, packed.data(), a.data());
    TMConvertPreviewInput32Strided(W, H, pw, ph, pw, ph, TMSampleLayout{3, 4, rowSamples * 4}, &sb, padded.data(),
                                   b.data());
    EXPECT_EQ(a, b);
    EXPECT_EQ(sa.rangeFactor, sb.rangeFactor);
    TMConvertPreviewInput16(W, H, pw, ph, pw, ph, 3, lut.data(), packed16.data(), a.data());
    TMConvertPreviewInput16Strided(W, H, pw, ph, pw, ph, TMSampleLayout{3, 4, rowSamples * 2}, lut.data(),
                                   padded16.data(), b.data());
    EXPECT_EQ(a, b);
}

TEST(PreviewOutput, FloatMatchesPlainEvaluation)
{
    std::mt19937 rng(21);
    const int32_t W = 300, H = 200, pw = 150, ph = 100;
    const std::vector<float> img = randomFloatImage(W, H, rng);
    for (const TMPreviewStats stats : {TMPreviewStats{0.02f, 9.5f}, TMPreviewStats{0.0f, 0.0f}})
        for (const Settings& s : kSettings) {
            const std::vector<float> lum = randomLum(static_cast<size_t>(pw) * ph, rng);
            const Display ref = refOutput32(img, W, H, pw, ph, s, stats, lum);
            std::vector<float> l = lum;
            std::vector<uint8_t> image(3 * pw * ph, 1);
            std::vector<int32_t> hist(256, -1);
            EXPECT_EQ(TMMapPreviewOutput32(W, H, pw, ph, s.saturation, s.white, s.black, s.strength, kGamma, &stats,
                                           img.data(), l.data(), hist.data(), image.data()),
                      ref.result);
            EXPECT_EQ(image, ref.image) << "strength " << s.strength;
            EXPECT_EQ(hist, ref.histogram) << "strength " << s.strength;
        }
}

TEST(PreviewOutput, FloatBrightAndNegativeValuesAreLimited)
{
    // t far above 1 (bright colours over the white level) and below 0 (under the
    // black point): display bytes stay 0..255, histogram bins 0..255.
    std::mt19937 rng(22);
    const int32_t W = 64, H = 40;
    std::vector<float> img = randomFloatImage(W, H, rng);
    for (size_t i = 0; i < img.size(); i += 7)
        img[i] = 1.0e30f;
    std::vector<float> lum = randomLum(static_cast<size_t>(W) * H, rng);
    for (size_t i = 0; i < lum.size(); i += 5)
        lum[i] = 1.0e6f;
    const Settings s{100, 100, 10.0f, 10.0f};
    const TMPreviewStats stats{0.01f, 3.0f};
    const Display ref = refOutput32(img, W, H, W, H, s, stats, lum);
    std::vector<uint8_t> image(3 * W * H);
    std::vector<int32_t> hist(256);
    EXPECT_EQ(TMMapPreviewOutput32(W, H, W, H, s.saturation, s.white, s.black, s.strength, kGamma, &stats, img.data(),
                                   lum.data(), hist.data(), image.data()),
              H);
    EXPECT_EQ(image, ref.image);
    EXPECT_EQ(hist, ref.histogram);
}

TEST(PreviewOutput, SixteenBitMatchesPlainEvaluation)
{
    std::mt19937 rng(23);
    const std::vector<float> lut = sampleTable();
    const int32_t W = 300, H = 200, pw = 150, ph = 100;
    const std::vector<uint16_t> img = random16Image(W, H, 3, rng);
    for (const Settings& s : kSettings) {
        const std::vector<float> lum = randomLum(static_cast<size_t>(pw) * ph, rng);
        const Display ref = refOutput16(img, W, H, pw, ph, s, lut, lum);
        std::vector<float> l = lum;
        std::vector<uint8_t> image(3 * pw * ph, 1);
        std::vector<int32_t> hist(256, -1);
        EXPECT_EQ(TMMapPreviewOutput16(W, H, pw, ph, s.saturation, s.white, s.black, s.strength, lut.data(), img.data(),
                                       l.data(), hist.data(), image.data()),
                  ref.result);
        EXPECT_EQ(image, ref.image) << "strength " << s.strength;
        EXPECT_EQ(hist, ref.histogram) << "strength " << s.strength;
    }
}

// Strength 100 still mixes in k = 0.14994 of the raw sample: 0.14994 x 16384 / 128.5
// = 19.1 display levels over a black-point cell.
TEST(PreviewOutput, SixteenBitStrength100BlendsInTheRawSample)
{
    const int32_t W = 20, H = 10;
    const std::vector<float> lut = sampleTable();
    std::vector<uint16_t> img(W * H * 3, 16384);
    std::vector<float> lum(W * H, 5.0f);
    lum[0] = 1.0f; // the black point: L0 = 0
    std::vector<uint8_t> image(3 * W * H);
    std::vector<int32_t> hist(256);
    ASSERT_EQ(TMMapPreviewOutput16(W, H, W, H, 46, 0.0f, 0.0f, 100, lut.data(), img.data(), lum.data(), hist.data(),
                                   image.data()),
              H);
    for (int ch = 0; ch < 3; ++ch)
        EXPECT_EQ(image[ch * W * H], 19);
    EXPECT_EQ(hist[19], 1);
}

TEST(PreviewOutput, BlackAndWhitePixelsFillTheEndBins)
{
    // Black sources over black-point cells give (0, 0, 0), bin 0; white sources over
    // cells at the white level give (255, 255, 255), bin (54 + 183 + 19) 255 / 256 = 255.
    const int32_t W = 20, H = 10;
    const std::vector<float> lut = sampleTable();
    std::vector<uint16_t> img(W * H * 3, 0);
    std::vector<float> lum(W * H, 0.0f);
    for (int32_t i = 0; i < W * H / 2; ++i) {
        lum[i] = 9.0f;
        img[3 * i] = img[3 * i + 1] = img[3 * i + 2] = 32768;
    }
    std::vector<uint8_t> image(3 * W * H);
    std::vector<int32_t> hist(256);
    ASSERT_EQ(TMMapPreviewOutput16(W, H, W, H, 46, 0.0f, 0.0f, 70, lut.data(), img.data(), lum.data(), hist.data(),
                                   image.data()),
              H);
    EXPECT_EQ(image[0], 255);
    EXPECT_EQ(image[W * H - 1], 0);
    EXPECT_EQ(hist[0], W * H / 2);
    EXPECT_EQ(hist[255], W * H / 2);
}

TEST(PreviewOutput, FlatLuminanceLeavesDisplayAndHistogramUntouched)
{
    const int32_t W = 20, H = 10;
    const std::vector<float> lut = sampleTable();
    const std::vector<uint16_t> img(W * H * 3, 500);
    const std::vector<float> f(W * H * 3, 0.5f);
    std::vector<float> lum(W * H, 3.0f);
    std::vector<uint8_t> image(3 * W * H, 9);
    std::vector<int32_t> hist(256, 4);
    const TMPreviewStats stats{};
    EXPECT_EQ(TMMapPreviewOutput16(W, H, W, H, 46, 0.0f, 0.0f, 70, lut.data(), img.data(), lum.data(), hist.data(),
                                   image.data()),
              TMErrFlat);
    EXPECT_EQ(TMMapPreviewOutput32(W, H, W, H, 46, 0.255f, 0.0f, 70, kGamma, &stats, f.data(), lum.data(), hist.data(),
                                   image.data()),
              TMErrFlat);
    EXPECT_TRUE(std::all_of(image.begin(), image.end(), [](uint8_t v) { return v == 9; }));
    EXPECT_TRUE(std::all_of(hist.begin(), hist.end(), [](int32_t v) { return v == 4; }));
}

// --- Colour terms kept between output-only refreshes ---------------------------------

namespace {

// The terms' planes in two buffers, as B and C hold them.
TMPreviewTermPlanes inTwo(std::vector<float>& first, std::vector<float>& second, int32_t pw, int32_t ph, int32_t planes)
{
    float* const regions[2] = {first.data(), second.data()};
    const int64_t floats[2] = {static_cast<int64_t>(first.size()), static_cast<int64_t>(second.size())};
    TMPreviewTermPlanes out;
    EXPECT_TRUE(TMPlacePreviewTerms(pw, ph, planes, regions, floats, 2, &out));
    return out;
}

// Maps lum with the colour terms built from img and checks the result against the
// plain evaluation; returns the buffer as the mapping left it.
std::vector<float> expectTermsMatch(const std::vector<float>& img, int32_t W, int32_t H, int32_t pw, int32_t ph,
                                    const Settings& s, const TMPreviewStats& stats, const TMPreviewTermPlanes& planes,
                                    std::vector<float> lum, const char* what)
{
    const Display ref = refOutput32(img, W, H, pw, ph, s, stats, lum);
    std::vector<uint8_t> image(3 * static_cast<size_t>(pw) * ph, 7);
    std::vector<int32_t> hist(256, -1);
    EXPECT_EQ(TMMapPreviewOutput32WithTerms(W, H, pw, ph, TMPackedLayout(W, 3, 4), s.saturation, s.white, s.black,
                                            s.strength, kGamma, &stats, img.data(), planes, lum.data(), hist.data(),
                                            image.data()),
              ref.result)
        << what;
    if (ref.result >= 0) {
        EXPECT_EQ(image, ref.image) << what << ", saturation " << s.saturation << ", strength " << s.strength;
        EXPECT_EQ(hist, ref.histogram) << what << ", saturation " << s.saturation << ", strength " << s.strength;
    }
    return lum;
}

} // namespace

TEST(PreviewColourTerms, PlanesAreLaidOutInWholeRowsAcrossTheRegions)
{
    // B and C of the dialog, and A after a 1024 x 768 luminance: four float planes of
    // 1024 x 768 need 3,072 rows, the regions hold 1,369 + 1,369 + 601.
    const int64_t bufferFloats = TMPreviewWorkBytes / 4;
    std::vector<float> B(bufferFloats), C(bufferFloats), A(bufferFloats);
    const int64_t lumFloats = 1024 * 768;
    float* const regions[3] = {B.data(), C.data(), A.data() + lumFloats};
    const int64_t floats[3] = {bufferFloats, bufferFloats, bufferFloats - lumFloats};
    TMPreviewTermPlanes planes;
    ASSERT_TRUE(TMPlacePreviewTerms(1024, 768, 4, regions, floats, 3, &planes));
    EXPECT_EQ(planes.row(0, 0), B.data());
    EXPECT_EQ(planes.row(0, 767), B.data() + 767 * 1024);
    EXPECT_EQ(planes.row(1, 0), B.data() + 768 * 1024);
    EXPECT_EQ(planes.row(1, 600), B.data() + 1368 * 1024);
    EXPECT_EQ(planes.row(1, 601), C.data()); // row 1,369 of B would overrun it
    EXPECT_EQ(planes.row(3, 767), A.data() + lumFloats + (3072 - 1369 - 1369 - 1) * 1024);
    // Every row of every plane is distinct and inside its region.
    std::vector<const float*> rows;
    for (int32_t p = 0; p < 4; ++p)
        for (int32_t r = 0; r < 768; ++r) {
            const float* row = planes.row(p, r);
            const bool inside = (row >= B.data() && row + 1024 <= B.data() + bufferFloats) ||
                                (row >= C.data() && row + 1024 <= C.data() + bufferFloats) ||
                                (row >= regions[2] && row + 1024 <= A.data() + bufferFloats);
            ASSERT_TRUE(inside) << p << "/" << r;
            rows.push_back(row);
        }
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ(std::adjacent_find(rows.begin(), rows.end()), rows.end());
    // Square previews: three 16-bit planes fit (3,083 rows for 3,072), four do not.
    const int64_t squareFloats[3] = {bufferFloats, bufferFloats, bufferFloats - 1024 * 1024};
    float* const squareRegions[3] = {B.data(), C.data(), A.data() + 1024 * 1024};
    EXPECT_TRUE(TMPlacePreviewTerms(1024, 1024, 3, squareRegions, squareFloats, 3, &planes));
    EXPECT_FALSE(TMPlacePreviewTerms(1024, 1024, 4, squareRegions, squareFloats, 3, &planes));
    EXPECT_EQ(planes.planes, 0) << "a failed layout leaves no planes";
    // ...but the first 770 rows of four do (3,083 rows / 4).
    ASSERT_TRUE(TMPlacePreviewTermRows(1024, 1024, 4, squareRegions, squareFloats, 3, &planes));
    EXPECT_EQ(planes.ph, 770);
    // Plane 3: the last 428 rows of C, then 342 of the 345 in A.
    EXPECT_EQ(planes.row(3, 769), squareRegions[2] + 341 * 1024);
    EXPECT_FALSE(TMPlacePreviewTerms(0, 10, 1, regions, floats, 3, &planes));
    // A preview smaller than the converters allow is not built.
    std::vector<float> img(30 * 30 * 3, 0.5f), t1(2 * 30 * 30), t2(2 * 30 * 30);
    const TMPreviewStats stats{0.1f, 5.0f};
    EXPECT_FALSE(TMBuildPreviewColourTerms32(9, 30, 9, 30, TMPackedLayout(9, 3, 4), &stats, img.data(),
                                             inTwo(t1, t2, 9, 30, 4)));
    EXPECT_TRUE(TMBuildPreviewColourTerms32(30, 30, 30, 30, TMPackedLayout(30, 3, 4), &stats, img.data(),
                                            inTwo(t1, t2, 30, 30, 4)));
}

TEST(PreviewColourTerms, ConsecutiveRefreshesMatchPlainEvaluationBitForBit)
{
    // Random HDR images with zeros and negatives, random luminance and settings, the
    // buffer rescaled by each refresh in turn as the preview does.
    std::mt19937 rng(77);
    std::uniform_int_distribution<int> sat(0, 120), str(-10, 110);
    std::uniform_real_distribution<float> clip(-1.0f, 11.0f);
    const int32_t sizes[][4] = {{300, 200, 150, 100}, {401, 257, 97, 61}, {64, 64, 64, 64}};
    for (const auto& sz : sizes) {
        const int32_t W = sz[0], H = sz[1], pw = sz[2], ph = sz[3];
        const std::vector<float> img = randomFloatImage(W, H, rng);
        for (const TMPreviewStats stats :
             {TMPreviewStats{0.02f, 9.5f}, TMPreviewStats{0.0f, 0.0f}, TMPreviewStats{0.5f, 3.0e6f}}) {
            // The green plane runs from the first buffer into the second. For the
            // square size the second is short: terms for the first 52 rows of 64 fit,
            // the rest are mapped pixel by pixel.
            const bool square = pw == ph;
            std::vector<float> t1(static_cast<size_t>(pw) * (2 * ph + ph / 3), -5.0f);
            std::vector<float> t2(static_cast<size_t>(pw) * (square ? 208 - 2 * ph - ph / 3 : 2 * ph), -5.0f);
            TMPreviewTermPlanes planes;
            if (square) {
                float* const regions[2] = {t1.data(), t2.data()};
                const int64_t floats[2] = {static_cast<int64_t>(t1.size()), static_cast<int64_t>(t2.size())};
                ASSERT_TRUE(TMPlacePreviewTermRows(pw, ph, 4, regions, floats, 2, &planes));
                ASSERT_EQ(planes.ph, 52);
            } else {
                planes = inTwo(t1, t2, pw, ph, 4);
            }
            ASSERT_TRUE(TMBuildPreviewColourTerms32(W, H, pw, ph, TMPackedLayout(W, 3, 4), &stats, img.data(), planes));
            std::vector<float> lum = randomLum(static_cast<size_t>(pw) * ph, rng);
            for (int refresh = 0; refresh < 6; ++refresh) {
                const Settings s =
                    refresh < 4 ? kSettings[refresh] : Settings{sat(rng), str(rng), clip(rng), clip(rng)};
                lum = expectTermsMatch(img, W, H, pw, ph, s, stats, planes, lum, "refresh");
            }
        }
    }
}

TEST(PreviewColourTerms, EdgeValuesAndDisplayBoundariesMatchPlainEvaluation)
{
    // Cells on and one float either side of the display thresholds (b / 255)^(1 /
    // gamma) (near them after each rescale), negative and huge cells, and samples
    // that are zero, negative, subnormal, huge, infinite or NaN.
    const int32_t W = 64, H = 40, pw = 64, ph = 40;
    std::vector<float> img(static_cast<size_t>(W) * H * 3, 1.0f);
    const float odd[] = {
        0.0f,     -1.0f,  1.0e-40f, 3.0e38f, -3.0e38f, __builtin_inff(), -__builtin_inff(), __builtin_nanf(""),
        1.0e-30f, 1.0e30f};
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> pick(0, 9);
    for (size_t i = 0; i < img.size(); ++i)
        if (i % 7 == 3)
            img[i] = odd[pick(rng)];
    // Luminance cells: normalised at strength 100 with no clip beyond the first cell,
    // so L = cell; cells 0 and 1 fix the range 0..1 and the rest sit at thresholds.
    std::vector<float> lum(static_cast<size_t>(pw) * ph);
    lum[0] = 0.0f;
    lum[1] = 1.0f;
    for (size_t i = 2; i < lum.size(); ++i) {
        const int b = static_cast<int>(i % 256);
        const double th = std::pow(b / 255.0, 1.0 / kGamma);
        const float f = static_cast<float>(th);
        lum[i] = (i / 256) % 3 == 0 ? f : (i / 256) % 3 == 1 ? std::nextafter(f, 0.0f) : std::nextafter(f, 2.0f);
        if (i % 97 == 0)
            lum[i] = -0.25f;
        if (i % 89 == 0)
            lum[i] = 40.0f;
    }
    const TMPreviewStats stats{0.3f, 12.0f};
    std::vector<float> t1(2 * static_cast<size_t>(pw) * ph), t2 = t1;
    const TMPreviewTermPlanes planes = inTwo(t1, t2, pw, ph, 4);
    ASSERT_TRUE(TMBuildPreviewColourTerms32(W, H, pw, ph, TMPackedLayout(W, 3, 4), &stats, img.data(), planes));
    for (const Settings& s : {Settings{100, 100, 0.0f, 0.0f}, Settings{46, 70, 0.255f, 0.0f},
                              Settings{20, 0, 0.0f, 10.0f}, Settings{100, 100, 10.0f, 0.0f}}) {
        lum = expectTermsMatch(img, W, H, pw, ph, s, stats, planes, lum, "edge values");
    }
    // A flat buffer fails as without the terms and leaves display and histogram alone.
    std::vector<float> flat(lum.size(), 2.0f);
    std::vector<uint8_t> image(3 * lum.size(), 9);
    std::vector<int32_t> hist(256, 3);
    EXPECT_EQ(TMMapPreviewOutput32WithTerms(W, H, pw, ph, TMPackedLayout(W, 3, 4), 46, 0.255f, 0.0f, 70, kGamma, &stats,
                                            img.data(), planes, flat.data(), hist.data(), image.data()),
              TMErrFlat);
    EXPECT_EQ(image, std::vector<uint8_t>(3 * lum.size(), 9));
    EXPECT_EQ(hist, std::vector<int32_t>(256, 3));
}

TEST(PreviewColourTerms, FloatSamplesNextToADisplayThresholdMatchPlainEvaluation)
{
    // Strongly coloured pixels whose cell is chosen, among a few thousand neighbouring
    // floats, to put one colour's t = (c / Y)^s L0 as close to a display threshold
    // (b / 255)^(1 / gamma) as the floats allow: there the stored logarithm's
    // rounding and the exponential's error decide the byte, and only bounds that
    // cover both fall back to the library in time.
    const int32_t W = 64, H = 64;
    const size_t n = static_cast<size_t>(W) * H;
    const float colours[][3] = {
        {4.0f, 0.3f, 0.05f}, {0.02f, 1.5f, 0.4f}, {0.3f, 0.2f, 6.0f}, {9.0f, 0.01f, 0.5f}, {0.05f, 0.05f, 3.0f}};
    std::vector<float> img(3 * n);
    for (size_t i = 0; i < n; ++i)
        for (int ch = 0; ch < 3; ++ch)
            img[3 * i + ch] = colours[i % 5][ch] * (1.0f + static_cast<float>((i / 5) % 7) * 0.1f);
    // Strength 100: k = 0, so L is the normalised cell. No clipping and cells 0 and 1
    // at 0 and 1: the normalised cell is (1 / 65535) (cell x 65535), checked below.
    const Settings s{46, 100, 0.0f, 0.0f};
    const double sat = 0.46;
    const auto normalised = [](float cell) { return (1.0f / 65535.0f) * ((cell - 0.0f) * 65535.0f) + 0.0f; };
    std::vector<float> lum(n);
    lum[0] = 0.0f;
    lum[1] = 1.0f;
    for (size_t i = 2; i < n; ++i) {
        const float* c = &img[3 * i];
        const float Y = 0.3f * c[0] + 0.6f * c[1] + 0.1f * c[2];
        const double power = std::pow(static_cast<double>(c[i % 3] / Y), sat);
        // A threshold the cells 0..1 can reach for this power.
        int b = 1 + static_cast<int>((i * 37) % 254);
        while (b > 1 && std::pow(b / 255.0, 1.0 / kGamma) / power > 0.999)
            --b;
        const double tau = std::pow(b / 255.0, 1.0 / kGamma);
        float cell = std::nextafter(static_cast<float>(tau / power), 0.0f);
        for (int step = 0; step < 2000; ++step)
            cell = std::nextafter(cell, 0.0f);
        float best = cell;
        double bestGap = 1.0;
        for (int step = 0; step < 4000; ++step, cell = std::nextafter(cell, 2.0f)) {
            const double gap = std::fabs(power * static_cast<double>(normalised(cell)) - tau);
            if (gap < bestGap) {
                bestGap = gap;
                best = cell;
            }
        }
        lum[i] = std::clamp(best, 0.0f, 1.0f);
    }
    std::vector<float> check = lum;
    ASSERT_EQ(TMNormaliseClipPoints(W, H, 0.0f, 0.0f, 1.0f, check.data()), 65535);
    for (size_t i = 0; i < n; ++i)
        ASSERT_EQ(check[i], normalised(lum[i])) << i;

    const TMPreviewStats stats{0.3f, 12.0f};
    std::vector<float> t1(2 * n), t2(2 * n);
    const TMPreviewTermPlanes planes = inTwo(t1, t2, W, H, 4);
    ASSERT_TRUE(TMBuildPreviewColourTerms32(W, H, W, H, TMPackedLayout(W, 3, 4), &stats, img.data(), planes));
    expectTermsMatch(img, W, H, W, H, s, stats, planes, lum, "next to a display threshold");
}

TEST(PreviewColourTerms, SixteenBitRefreshesMatchPlainEvaluationBitForBit)
{
    // Random 16-bit images with zero and full-scale samples, random cells and
    // settings, the buffer rescaled by each refresh in turn; then the same source
    // with four samples a pixel and padded rows must give the packed result.
    std::mt19937 rng(91);
    std::uniform_int_distribution<int> sat(0, 120), str(-10, 110);
    std::uniform_real_distribution<float> clip(-1.0f, 11.0f);
    const std::vector<float> lut = sampleTable();
    const int32_t sizes[][4] = {{300, 200, 150, 100}, {401, 257, 97, 61}, {64, 64, 64, 64}};
    for (const auto& sz : sizes) {
        const int32_t W = sz[0], H = sz[1], pw = sz[2], ph = sz[3];
        std::vector<uint16_t> img = random16Image(W, H, 3, rng);
        for (size_t i = 0; i < img.size(); i += 37)
            img[i] = 65535;
        // The first size keeps its raw samples too (five planes); the others read them
        // from the source on each refresh.
        const int32_t kept = &sz == &sizes[0] ? 5 : 3;
        std::vector<float> t1(2 * static_cast<size_t>(pw) * ph, -5.0f), t2(3 * static_cast<size_t>(pw) * ph, -5.0f);
        const TMPreviewTermPlanes planes = inTwo(t1, t2, pw, ph, kept);
        ASSERT_TRUE(TMBuildPreviewColourTerms16(W, H, pw, ph, TMPackedLayout(W, 3, 2), lut.data(), img.data(), planes));
        std::vector<float> lum = randomLum(static_cast<size_t>(pw) * ph, rng);
        for (int refresh = 0; refresh < 6; ++refresh) {
            const Settings s = refresh < 4 ? kSettings[refresh] : Settings{sat(rng), str(rng), clip(rng), clip(rng)};
            const Display ref = refOutput16(img, W, H, pw, ph, s, lut, lum);
            std::vector<uint8_t> image(3 * static_cast<size_t>(pw) * ph, 7);
            std::vector<int32_t> hist(256, -1);
            ASSERT_EQ(TMMapPreviewOutput16WithTerms(W, H, pw, ph, TMPackedLayout(W, 3, 2), s.saturation, s.white,
                                                    s.black, s.strength, lut.data(), img.data(), planes, lum.data(),
                                                    hist.data(), image.data()),
                      ref.result);
            EXPECT_EQ(image, ref.image) << W << "x" << H << ", strength " << s.strength;
            EXPECT_EQ(hist, ref.histogram) << W << "x" << H << ", strength " << s.strength;
        }

        const int32_t rowSamples = W * 4 + 5;
        std::vector<uint16_t> padded(static_cast<size_t>(rowSamples) * H, 4321);
        for (int32_t y = 0; y < H; ++y)
            for (int32_t x = 0; x < W; ++x)
                for (int ch = 0; ch < 3; ++ch)
                    padded[static_cast<size_t>(y) * rowSamples + x * 4 + ch] =
                        img[(static_cast<size_t>(y) * W + x) * 3 + ch];
        const TMSampleLayout layout{3, 4, rowSamples * 2};
        std::vector<float> p1(t1.size()), p2(t2.size());
        const TMPreviewTermPlanes paddedPlanes = inTwo(p1, p2, pw, ph, 3);
        ASSERT_TRUE(TMBuildPreviewColourTerms16(W, H, pw, ph, layout, lut.data(), padded.data(), paddedPlanes));
        EXPECT_EQ(p1, t1);
        const Settings s{60, 45, 0.3f, 0.5f};
        std::vector<float> la = lum, lb = lum;
        std::vector<uint8_t> ia(3 * static_cast<size_t>(pw) * ph), ib(ia.size());
        std::vector<int32_t> ha(256), hb(256);
        ASSERT_EQ(TMMapPreviewOutput16WithTerms(W, H, pw, ph, layout, s.saturation, s.white, s.black, s.strength,
                                                lut.data(), padded.data(), paddedPlanes, la.data(), ha.data(),
                                                ia.data()),
                  ph);
        ASSERT_EQ(TMMapPreviewOutput16Strided(W, H, pw, ph, layout, s.saturation, s.white, s.black, s.strength,
                                              lut.data(), padded.data(), lb.data(), hb.data(), ib.data()),
                  ph);
        EXPECT_EQ(ia, ib);
        EXPECT_EQ(ha, hb);
    }
}

TEST(PreviewColourTerms, SixteenBitSamplesNextToAByteBoundaryMatchPlainEvaluation)
{
    // Strongly coloured and grey pixels whose cell is chosen, among a few thousand
    // neighbouring floats, to put one sample's value as close to a whole byte as the
    // floats allow: there the stored logarithm's rounding decides the byte, and only
    // a bound that covers it falls back to the library in time.
    const int32_t W = 64, H = 64;
    const size_t n = static_cast<size_t>(W) * H;
    const std::vector<float> lut = sampleTable();
    const uint16_t colours[][3] = {{40000, 3000, 500}, {200, 30000, 9000},    {1200, 800, 52000},
                                   {65535, 65535, 1},  {20000, 20000, 20000}, {7, 60000, 300}};
    std::vector<uint16_t> img(3 * n);
    for (size_t i = 0; i < n; ++i)
        for (int ch = 0; ch < 3; ++ch)
            img[3 * i + ch] = static_cast<uint16_t>(colours[i % 6][ch] - (i / 6) % 5 * (colours[i % 6][ch] / 50));
    const Settings s{46, 70, 0.0f, 0.0f};
    const float k = (129.4f - 70.0f) * 0.0051f;
    const double sat = 0.46;
    // No clipping and cells 0 and 1 at 0 and 1: the normalised cell is the float
    // (255 / 65535) (cell x 65535), checked against the stage below.
    const auto normalised = [](float cell) { return (255.0f / 65535.0f) * ((cell - 0.0f) * 65535.0f) + 0.0f; };
    std::vector<float> lum(n);
    lum[0] = 0.0f;
    lum[1] = 1.0f;
    for (size_t i = 2; i < n; ++i) {
        const uint16_t* raw = &img[3 * i];
        const float lin[3] = {lut[raw[0]], lut[raw[1]], lut[raw[2]]};
        const float Y = 0.3f * lin[0] + 0.6f * lin[1] + 0.1f * lin[2];
        const int ch = static_cast<int>(i % 3);
        const double ratioC = std::pow(static_cast<double>(lin[ch] / Y), sat);
        const double blend = static_cast<double>((k / 128.5f) * static_cast<float>(raw[ch]));
        // Aim at a byte the value can reach, then walk the floats around the aim.
        const double target = std::floor(blend + ratioC * (1.0f - k) * 200.0f * ((i % 97) / 97.0)) + 1.0;
        const float aim = static_cast<float>((target - blend) / (ratioC * (1.0f - k)) / 255.0);
        float best = aim, cell = aim;
        double bestGap = 1.0;
        for (int step = 0; step < 4000; ++step, cell = std::nextafter(cell, 2.0f)) {
            const float T = (1.0f - k) * normalised(cell);
            const double gap = std::fabs(ratioC * T + blend - target);
            if (gap < bestGap) {
                bestGap = gap;
                best = cell;
            }
        }
        lum[i] = std::clamp(best, 0.0f, 1.0f);
    }
    std::vector<float> check = lum;
    ASSERT_EQ(TMNormaliseClipPoints(W, H, 0.0f, 0.0f, 255.0f, check.data()), 65535);
    for (size_t i = 0; i < n; ++i)
        ASSERT_EQ(check[i], normalised(lum[i])) << i;

    // The green plane runs from the first buffer into the second halfway down.
    std::vector<float> t1(n + n / 2), t2(2 * n);
    const TMPreviewTermPlanes planes = inTwo(t1, t2, W, H, 3);
    ASSERT_EQ(planes.row(1, H / 2), t2.data());
    ASSERT_TRUE(TMBuildPreviewColourTerms16(W, H, W, H, TMPackedLayout(W, 3, 2), lut.data(), img.data(), planes));
    const Display ref = refOutput16(img, W, H, W, H, s, lut, lum);
    std::vector<uint8_t> image(3 * n, 7);
    std::vector<int32_t> hist(256, -1);
    std::vector<float> l = lum;
    ASSERT_EQ(TMMapPreviewOutput16WithTerms(W, H, W, H, TMPackedLayout(W, 3, 2), s.saturation, s.white, s.black,
                                            s.strength, lut.data(), img.data(), planes, l.data(), hist.data(),
                                            image.data()),
              H);
    EXPECT_EQ(image, ref.image);
    EXPECT_EQ(hist, ref.histogram);
}
