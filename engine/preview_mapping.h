// The preview's output mapping as plain per-pixel arithmetic: the definition every
// faster path of the preview must reproduce byte for byte, and the small helpers the
// paths share (display bytes, histogram bins, source pixels).
#pragma once

#include <algorithm>
#include <cstdint>
#include <new>

#include "fast_math.h"
#include "luminance.h"
#include "output_curve.h"
#include "preview_sampling.h"
#include "preview_stages.h"
#include "tm_workers.h"

namespace tm_preview {

using tm_detail::Curve32;
using tm_detail::kFastBlock;
using tm_detail::PlaneRoles;

// Error bounds, relative: a double's rounding (2^-52), the fast functions' bound,
// and a rounding to float (2^-24).
constexpr double kUlp = 2.220446049250313e-16;
constexpr double E = tm_fast::kFastMathError;
constexpr double kFloatRound = 5.9604644775390625e-08;

// Truncation toward zero of a value bounded to +-2^40 (far outside any bin or byte),
// so that huge or non-finite values convert without undefined behaviour. NaN gives 0.
inline int64_t truncBounded(double v)
{
    if (!(v > -1.0995116277760e12)) // also NaN
        return v != v ? 0 : -1099511627776;
    if (v > 1.0995116277760e12)
        return 1099511627776;
    return static_cast<int64_t>(v);
}

// Display byte of a value already scaled to 0..255: truncated, limited to 0..255.
inline uint8_t byteOf(double v)
{
    if (!(v > 0.0))
        return 0;
    if (v >= 255.0)
        return 255;
    return static_cast<uint8_t>(v);
}

inline int32_t histogramBin(int64_t r, int64_t g, int64_t b)
{
    // The weights sum to 256; the shift of a negative sum is arithmetic (floor).
    const int64_t sum = 54 * r + 183 * g + 19 * b;
    const int64_t bin = sum >= 0 ? sum >> 8 : -((-sum + 255) >> 8);
    return static_cast<int32_t>(std::clamp<int64_t>(bin, 0, 255));
}

// Four partial histograms summed: the passes count into four, because neighbouring
// pixels often share a bin and one array would make each increment wait for the last.
inline void sumPartialCounts(const int32_t (&parts)[4][TMPreviewHistogramBins], int32_t* histogram)
{
    for (int32_t b = 0; b < TMPreviewHistogramBins; ++b)
        histogram[b] = parts[0][b] + parts[1][b] + parts[2][b] + parts[3][b];
}

// The counts of a pass split over a team: each part counts into bins of its own, and
// their sums, integers, are the same whatever the split. Where the parts' bins cannot
// be had, the pass keeps one part.
class PartHistograms {
public:
    explicit PartHistograms(int32_t parts)
    {
        if (parts > 1)
            many_ = new (std::nothrow) int32_t[static_cast<size_t>(parts) * TMPreviewHistogramBins];
        parts_ = many_ != nullptr ? parts : 1;
    }
    ~PartHistograms() { delete[] many_; }
    PartHistograms(const PartHistograms&) = delete;
    PartHistograms& operator=(const PartHistograms&) = delete;

    int32_t parts() const { return parts_; }
    // The bins of a part: what the part's pass writes there is its whole count.
    int32_t* of(int32_t part) { return many_ != nullptr ? many_ + part * TMPreviewHistogramBins : one_; }
    void sumInto(int32_t* histogram) const
    {
        const int32_t* bins = many_ != nullptr ? many_ : one_;
        for (int32_t b = 0; b < TMPreviewHistogramBins; ++b) {
            int32_t sum = 0;
            for (int32_t part = 0; part < parts_; ++part)
                sum += bins[part * TMPreviewHistogramBins + b];
            histogram[b] = sum;
        }
    }

private:
    int32_t parts_ = 1;
    int32_t* many_ = nullptr;
    int32_t one_[TMPreviewHistogramBins];
};

// Preview pixels per part of a split mapping pass below which the hand-over costs
// more than the pass.
constexpr int64_t kMinMapPartCells = 8192;

inline int32_t mapParts(TMWorkers* workers, int32_t pw, int32_t rows)
{
    return TMPartsOn(workers, rows, (kMinMapPartCells + pw - 1) / pw);
}

// Where terms for every row are required (firstRowsOnly false), or for the first
// planes.ph rows (at least one): whether the planes hold `count` planes of a pw x ph
// preview.
inline bool termsCover(const TMPreviewTermPlanes& planes, int32_t pw, int32_t ph, int32_t count, bool firstRowsOnly)
{
    return planes.pw == pw && planes.planes >= count && planes.ph >= 1 &&
           (firstRowsOnly ? planes.ph <= ph : planes.ph == ph);
}

// --- Float samples -------------------------------------------------------------------

struct Pixel32 {
    uint8_t display[3];
    int32_t bin;
};

// One preview pixel with the library functions: the definition of the result.
// t = (c / Y)^s L for each colour (0 when Y or c is not positive); display byte
// trunc(255 t^gamma) limited to 0..255 (0 when t <= 0); histogram from trunc(255 t).
Pixel32 mapPreviewPixel32(const Curve32& cv, const float c[3], float L0);

// The float curve's constants allow the fast paths: a positive finite exponent and
// finite curve constants.
bool curveUsable(const Curve32& cv);

// Preview rows rowFrom..rowTo-1 of the float mapping (blocks: the checked fast path,
// else the library alone), each bin counted into histogram.
void mapRowsPlain32(const Curve32& cv, bool blocks, int32_t W, int32_t H, int32_t pw, int32_t ph,
                    const TMSampleLayout& layout, const float* inSamples, const float* lum, int32_t rowFrom,
                    int32_t rowTo, int32_t* histogram, uint8_t* display);

// Source pixel of preview pixel (c, r), red, green and blue by plane role.
inline void sourcePixel(const float* inSamples, const TMSampleLayout& layout, const PlaneRoles& p, float fx, float fy,
                        int32_t W, int32_t H, int32_t c, int32_t r, float out[3])
{
    using namespace tm_detail;
    const float* px = rowAt(inSamples, layout.rowBytes, truncatedSource(r, fy, H)) +
                      static_cast<int64_t>(truncatedSource(c, fx, W)) * layout.pixelStride;
    out[0] = px[p.red];
    out[1] = px[p.green];
    out[2] = px[p.blue];
}

// --- 16-bit samples ------------------------------------------------------------------

// The final render's 16-bit mapping divided by 128.5: (1 - k) L0 for the local part,
// k / 128.5 of the raw sample for the blend.
struct Blend16 {
    float localWeight;
    float sampleShare;
    double saturation;
};

Blend16 makeBlend16(const tm_detail::OutputSettings& set);

// Raw samples of the n preview pixels from c0 on in preview row r, by plane role,
// colour-major: raw[ch n + j].
inline void sourceSamples16(const uint16_t* inSamples, const TMSampleLayout& layout, const PlaneRoles& p, float fx,
                            float fy, int32_t W, int32_t H, int32_t r, int32_t c0, int32_t n, uint16_t* raw)
{
    using namespace tm_detail;
    const uint16_t* src = rowAt(inSamples, layout.rowBytes, truncatedSource(r, fy, H));
    for (int32_t j = 0; j < n; ++j) {
        const uint16_t* px = src + static_cast<int64_t>(truncatedSource(c0 + j, fx, W)) * layout.pixelStride;
        raw[j] = px[p.red];
        raw[n + j] = px[p.green];
        raw[2 * n + j] = px[p.blue];
    }
}

// Colour ratios c' / Y of one pixel's linearised samples (0 where Y is not positive).
inline void ratios16(const float* lut, uint16_t red, uint16_t green, uint16_t blue, double ratio[3])
{
    const float lin[3] = {lut[red], lut[green], lut[blue]};
    const float Y = 0.3f * lin[0] + 0.6f * lin[1] + 0.1f * lin[2];
    for (int ch = 0; ch < 3; ++ch)
        ratio[ch] = Y > 0.0f ? static_cast<double>(lin[ch] / Y) : 0.0;
}

inline double blendOf(const Blend16& b, uint16_t raw)
{
    return static_cast<double>(b.sampleShare * static_cast<float>(raw));
}

// One display byte with the library functions: the definition of the result.
uint8_t libraryByte16(const Blend16& b, double ratio, float T, uint16_t raw);

// Where a 16-bit preview keeps its raw samples too (when two more planes fit): red
// and green in the two halves of plane 3's rows, blue in the first half of plane 4's.
// They are copied as bytes, so the float planes' memory holds them untyped.
constexpr int32_t kPlanesWithRaw16 = 5;

inline uint16_t* rawRow16(const TMPreviewTermPlanes& planes, int32_t ch, int32_t r)
{
    float* row = planes.row(ch < 2 ? 3 : 4, r);
    return reinterpret_cast<uint16_t*>(row) + (ch == 1 ? planes.pw : 0);
}

} // namespace tm_preview
