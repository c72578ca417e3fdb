// The preview's output mapping without kept terms: the plain per-pixel arithmetic
// that defines the display image and histogram, and the block path that checks its
// fast values against it.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "fast_math.h"
#include "luminance.h"
#include "output_curve.h"
#include "preview_mapping.h"
#include "preview_sampling.h"
#include "preview_stages.h"
#include "tm_workers.h"

using namespace tm_detail;

namespace tm_preview {

Pixel32 mapPreviewPixel32(const Curve32& cv, const float c[3], float L0)
{
    Pixel32 out{{0, 0, 0}, 0};
    const float Y = outputLuminance(c[0], c[1], c[2]);
    // As in the final render: no positive luminance, or a sample that is not finite,
    // gives black.
    double L, ratioC[3];
    if (!pixelTerms(cv, c, Y, L0, &L, ratioC)) {
        return out;
    }
    int64_t h[3];
    for (int ch = 0; ch < 3; ++ch) {
        const double t = ratioC[ch] * L;
        // The preview's exponent 1 shows t itself, exactly, whatever the library's
        // power of 1 gives.
        const double shown = cv.gamma == 1.0 ? t : std::pow(t, cv.gamma);
        out.display[ch] = t > 0.0 ? byteOf(255.0 * shown) : 0;
        h[ch] = truncBounded(255.0 * t);
    }
    out.bin = histogramBin(h[0], h[1], h[2]);
    return out;
}

bool curveUsable(const Curve32& cv)
{
    return cv.gamma > 0.0 && std::isfinite(cv.gamma) && std::isfinite(cv.ratio) && isFiniteFloat(cv.inv);
}

namespace {

// n <= kFastBlock pixels with the fast functions. Every intermediate carries a bound
// on its relative distance from what mapPreviewPixel32 computes; a result is taken
// only when every value in its bound truncates to the same integer, and the pixel is
// otherwise handed to mapPreviewPixel32.
void mapPreviewBlock32(const Curve32& cv, const float* c, const float* L0, int32_t n, Pixel32* out)
{
    float Y[kFastBlock] = {}; // zeroed: the compiler cannot see that only n entries are read
    bool exact[kFastBlock];
    double L[kFastBlock], errL[kFastBlock];
    for (int32_t j = 0; j < n; ++j) {
        Y[j] = outputLuminance(c[3 * j], c[3 * j + 1], c[3 * j + 2]);
        exact[j] = !(Y[j] > 0.0f) || !isFiniteFloat(Y[j]);
    }
    fastBlendedLuminance(cv, Y, L0, exact, n, L, errL);

    // Colour ratios (c / Y)^s; 1 stands in where the ratio is 0 or the pixel exact.
    double ratio[3 * kFastBlock], power[3 * kFastBlock], t[3 * kFastBlock], errT[3 * kFastBlock];
    for (int32_t j = 0; j < n; ++j)
        for (int ch = 0; ch < 3; ++ch) {
            const int32_t i = 3 * j + ch;
            ratio[i] = (!exact[j] && c[i] > 0.0f) ? static_cast<double>(c[i] / Y[j]) : 1.0;
        }
    tm_fast::powArray(ratio, cv.saturation, power, static_cast<size_t>(3 * n));
    for (int32_t j = 0; j < n; ++j) {
        const double absL = L[j] < 0 ? -L[j] : L[j];
        // L's sign must be certain; then t's relative bound is L's plus the power's.
        if (!exact[j] && !(absL > 4 * errL[j]) && absL + errL[j] != 0.0)
            exact[j] = true;
        const double relL = absL > 0.0 ? errL[j] / absL : 0.0;
        for (int ch = 0; ch < 3; ++ch) {
            const int32_t i = 3 * j + ch;
            const bool zero = exact[j] || !(c[i] > 0.0f);
            t[i] = zero ? 0.0 : power[i] * L[j];
            errT[i] = zero ? 0.0 : relL + 2 * E + 4 * kUlp;
            // The power of t, where t is positive: the display byte's input.
            ratio[i] = t[i] > 0.0 ? t[i] : 1.0;
        }
    }
    tm_fast::powArray(ratio, cv.gamma, power, static_cast<size_t>(3 * n));

    for (int32_t j = 0; j < n; ++j) {
        bool certain = !exact[j];
        int64_t h[3] = {0, 0, 0};
        uint8_t d[3] = {0, 0, 0};
        for (int ch = 0; ch < 3 && certain; ++ch) {
            const int32_t i = 3 * j + ch;
            const double v = 255.0 * t[i];
            const double dv = (v < 0 ? -v : v) * (errT[i] + 2 * kUlp);
            h[ch] = truncBounded(v - dv);
            certain = h[ch] == truncBounded(v + dv);
            if (t[i] > 0.0) {
                const double p = 255.0 * power[i];
                const double dp = p * (cv.gamma * errT[i] + 2 * E + 4 * kUlp);
                d[ch] = byteOf(p - dp);
                certain = certain && d[ch] == byteOf(p + dp) && std::isfinite(p);
            }
        }
        if (certain) {
            out[j].display[0] = d[0];
            out[j].display[1] = d[1];
            out[j].display[2] = d[2];
            out[j].bin = histogramBin(h[0], h[1], h[2]);
        } else {
            out[j] = mapPreviewPixel32(cv, c + 3 * j, L0[j]);
        }
    }
}

} // namespace

void mapRowsPlain32(const Curve32& cv, bool blocks, int32_t W, int32_t H, int32_t pw, int32_t ph,
                    const TMSampleLayout& layout, const float* inSamples, const float* lum, int32_t rowFrom,
                    int32_t rowTo, int32_t* histogram, uint8_t* display)
{
    const PlaneRoles p = planeRoles(layout.planes);
    const float fx = sourceRatio(W, pw), fy = sourceRatio(H, ph);
    const int64_t plane = static_cast<int64_t>(pw) * ph;
    float c[3 * kFastBlock];
    Pixel32 result[kFastBlock];
    for (int32_t r = rowFrom; r < rowTo; ++r) {
        const float* src = rowAt(inSamples, layout.rowBytes, truncatedSource(r, fy, H));
        const float* cells = lum + static_cast<int64_t>(r) * pw;
        uint8_t* red = display + static_cast<int64_t>(r) * pw;
        for (int32_t c0 = 0; c0 < pw; c0 += kFastBlock) {
            const int32_t n = std::min(kFastBlock, pw - c0);
            for (int32_t j = 0; j < n; ++j) {
                const float* px = src + static_cast<int64_t>(truncatedSource(c0 + j, fx, W)) * layout.pixelStride;
                c[3 * j] = px[p.red];
                c[3 * j + 1] = px[p.green];
                c[3 * j + 2] = px[p.blue];
            }
            if (blocks) {
                mapPreviewBlock32(cv, c, cells + c0, n, result);
            } else {
                for (int32_t j = 0; j < n; ++j)
                    result[j] = mapPreviewPixel32(cv, c + 3 * j, cells[c0 + j]);
            }
            for (int32_t j = 0; j < n; ++j) {
                uint8_t* dst = red + c0 + j;
                dst[0] = result[j].display[0];
                dst[plane] = result[j].display[1];
                dst[2 * plane] = result[j].display[2];
                ++histogram[result[j].bin];
            }
        }
    }
}

Blend16 makeBlend16(const OutputSettings& set)
{
    const float k = TMBlendWeight16(set.strength);
    return {1.0f - k, k / 128.5f, set.saturation};
}

uint8_t libraryByte16(const Blend16& b, double ratio, float T, uint16_t raw)
{
    const double ratioC = ratio == 0.0 ? 0.0 : std::pow(ratio, b.saturation);
    return byteOf(ratioC * T + blendOf(b, raw));
}

namespace {

// The histogram of the display image's bins, the pixels split over the team (four
// partial counts per part, summed: neighbours often share a bin).
void countDisplayBins(TMWorkers* workers, const uint8_t* display, int64_t plane, int32_t* histogram)
{
    PartHistograms counts(TMPartsOn(workers, plane, 4 * kMinMapPartCells));
    TMForParts(workers, plane, counts.parts(), [&](int32_t part, int64_t begin, int64_t end) {
        int32_t parts[4][TMPreviewHistogramBins] = {};
        for (int64_t i = begin; i < end; ++i)
            ++parts[i & 3][histogramBin(display[i], display[plane + i], display[2 * plane + i])];
        sumPartialCounts(parts, counts.of(part));
    });
    counts.sumInto(histogram);
}

} // namespace

} // namespace tm_preview

using namespace tm_preview;

int32_t TMMapPreviewOutput32Strided(int32_t W, int32_t H, int32_t pw, int32_t ph, const TMSampleLayout& layout,
                                    int32_t colorSaturation, float whiteClipPercent, float blackClipPercent,
                                    int32_t strength, double gamma, const TMPreviewStats* stats, const float* inSamples,
                                    float* lum, int32_t* histogram, uint8_t* display, TMWorkers* workers)
{
    if (previewTooSmall(W, H, pw, ph))
        return TMErrTooSmall;
    const OutputSettings set = clampOutputSettings(colorSaturation, whiteClipPercent, blackClipPercent, strength);
    const float k = TMBlendWeight32(set.strength);
    const int32_t hi = TMNormaliseClipPoints(pw, ph, set.white, set.black, 1.0f, lum);
    if (hi < 0)
        return hi;

    const Curve32 cv = makeCurve32(k, set.saturation, gamma, stats->rangeFactor);
    const bool blocks = curveUsable(cv);

    PartHistograms counts(mapParts(workers, pw, ph));
    TMForParts(workers, ph, counts.parts(), [&](int32_t part, int64_t begin, int64_t end) {
        int32_t* bins = counts.of(part);
        std::memset(bins, 0, TMPreviewHistogramBins * sizeof(int32_t));
        mapRowsPlain32(cv, blocks, W, H, pw, ph, layout, inSamples, lum, static_cast<int32_t>(begin),
                       static_cast<int32_t>(end), bins, display);
    });
    counts.sumInto(histogram);
    return ph;
}

int32_t TMMapPreviewOutput32(int32_t W, int32_t H, int32_t pw, int32_t ph, int32_t colorSaturation,
                             float whiteClipPercent, float blackClipPercent, int32_t strength, double gamma,
                             const TMPreviewStats* stats, const float* inSamples, float* lum, int32_t* histogram,
                             uint8_t* display)
{
    return TMMapPreviewOutput32Strided(W, H, pw, ph, TMPackedLayout(W, 3, sizeof(float)), colorSaturation,
                                       whiteClipPercent, blackClipPercent, strength, gamma, stats, inSamples, lum,
                                       histogram, display);
}

// --- 16-bit samples ------------------------------------------------------------------

int32_t TMMapPreviewOutput16Strided(int32_t W, int32_t H, int32_t pw, int32_t ph, const TMSampleLayout& layout,
                                    int32_t colorSaturation, float whiteClipPercent, float blackClipPercent,
                                    int32_t strength, const float* lut, const uint16_t* inSamples, float* lum,
                                    int32_t* histogram, uint8_t* display, TMWorkers* workers)
{
    // No minimum size here (the input converters refuse small images), but an empty
    // source has no pixel to read.
    if (W < 1 || H < 1)
        return TMErrTooSmall;
    const OutputSettings set = clampOutputSettings(colorSaturation, whiteClipPercent, blackClipPercent, strength);
    const int32_t hi = TMNormaliseClipPoints(pw, ph, set.white, set.black, 255.0f, lum);
    if (hi < 0)
        return hi;

    const Blend16 bl = makeBlend16(set);
    const PlaneRoles p = planeRoles(layout.planes);
    const float fx = sourceRatio(W, pw), fy = sourceRatio(H, ph);
    const int64_t plane = static_cast<int64_t>(pw) * ph;
    TMForParts(workers, ph, mapParts(workers, pw, ph), [&](int32_t, int64_t rowBegin, int64_t rowEnd) {
        double ratio[3 * kFastBlock], power[3 * kFastBlock];
        uint16_t raw[3 * kFastBlock];
        for (int32_t r = static_cast<int32_t>(rowBegin); r < rowEnd; ++r) {
            const float* cells = lum + static_cast<int64_t>(r) * pw;
            uint8_t* red = display + static_cast<int64_t>(r) * pw;
            for (int32_t c0 = 0; c0 < pw; c0 += kFastBlock) {
                const int32_t n = std::min(kFastBlock, pw - c0);
                // Colour ratios c' / Y of the linearised samples (pixel-major here); their
                // powers come from the fast path and are checked against the truncation.
                sourceSamples16(inSamples, layout, p, fx, fy, W, H, r, c0, n, raw);
                for (int32_t j = 0; j < n; ++j)
                    ratios16(lut, raw[j], raw[n + j], raw[2 * n + j], ratio + 3 * j);
                tm_fast::powArray(ratio, bl.saturation, power, static_cast<size_t>(3 * n));
                for (int32_t j = 0; j < n; ++j) {
                    const float T = bl.localWeight * cells[c0 + j];
                    uint8_t* dst = red + c0 + j;
                    for (int ch = 0; ch < 3; ++ch) {
                        const int32_t i = 3 * j + ch;
                        const uint16_t sample = raw[ch * n + j];
                        const double fast = power[i] * T + blendOf(bl, sample);
                        const double spread =
                            (power[i] * (T < 0 ? -T : T)) * (2 * E) + (fast < 0 ? -fast : fast) * 4.5e-16;
                        const uint8_t lo = byteOf(fast - spread), hiByte = byteOf(fast + spread);
                        const bool sure = ratio[i] > 0.0 && lo == hiByte && std::isfinite(fast);
                        dst[ch * plane] = sure ? lo : libraryByte16(bl, ratio[i], T, sample);
                    }
                }
            }
        }
    });
    countDisplayBins(workers, display, plane, histogram);
    return ph;
}

int32_t TMMapPreviewOutput16(int32_t W, int32_t H, int32_t pw, int32_t ph, int32_t colorSaturation,
                             float whiteClipPercent, float blackClipPercent, int32_t strength, const float* lut,
                             const uint16_t* inSamples, float* lum, int32_t* histogram, uint8_t* display)
{
    return TMMapPreviewOutput16Strided(W, H, pw, ph, TMPackedLayout(W, 3, sizeof(uint16_t)), colorSaturation,
                                       whiteClipPercent, blackClipPercent, strength, lut, inSamples, lum, histogram,
                                       display);
}
