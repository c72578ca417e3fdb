// Preview-scale input conversion: the whole host image sampled down to the preview
// size by nearest neighbour, converted to natural-log luminance.
#include <cmath>

#include "luminance.h"
#include "preview_sampling.h"
#include "preview_stages.h"

using namespace tm_detail;

namespace {

// Invalid-cell marker and the threshold that recognises it, as the final render's.
constexpr float kInvalidCell = -1.0e9f;
constexpr float kInvalidThreshold = -99999999.0f;

// Cells per block of the vectorised logarithm.
constexpr int32_t kBlock = 512;

} // namespace

int32_t TMConvertPreviewInput32Strided(int32_t W, int32_t H, int32_t pw, int32_t ph, int32_t workWidth,
                                       int32_t workHeight, const TMSampleLayout& layout, TMPreviewStats* stats,
                                       const float* inSamples, float* lum)
{
    if (previewTooSmall(W, H, pw, ph))
        return TMErrTooSmall;
    const PlaneRoles p = planeRoles(layout.planes);
    const float fx = sourceRatio(W, pw), fy = sourceRatio(H, ph);

    // The statistics come from the double logarithms (not the stored floats), with
    // their own start values.
    int64_t valid = 0;
    double sum = 0.0, maxLog = -999999999.0, minLog = 999999999.0;
    for (int32_t r = 0; r < ph; ++r) {
        const float* src = rowAt(inSamples, layout.rowBytes, roundedSource(r, fy, H));
        float* row = lum + static_cast<int64_t>(r) * workWidth;
        for (int32_t c = 0; c < pw; ++c) {
            const float* px = src + static_cast<int64_t>(roundedSource(c, fx, W)) * layout.pixelStride;
            const float red = px[p.red], green = px[p.green], blue = px[p.blue];
            // The final render's weights (540 for red); negative samples are not lifted.
            const double y = 540.0 * red + 1830.0 * green + 190.0 * blue;
            // As in the final render, a pixel with a sample that is not finite is invalid.
            if (!(y > 0.0) || !finiteSamples(red, green, blue)) {
                row[c] = kInvalidCell;
                continue;
            }
            const double v = std::log(y);
            row[c] = static_cast<float>(v);
            ++valid;
            sum += v;
            if (v > maxLog)
                maxLog = v;
            if (v < minLog)
                minLog = v;
        }
    }

    if (valid > 0)
        stats->geometricMean = static_cast<float>(std::exp(sum / static_cast<double>(valid) - std::log(2560.0)));
    if (stats->geometricMean > 0.0f)
        stats->rangeFactor = static_cast<float>(std::exp(maxLog / 2560.0) / static_cast<double>(stats->geometricMean));

    // Two or more invalid pixels take the smallest valid value (a single one keeps
    // its marker, as in the final render).
    const int64_t pixels = static_cast<int64_t>(pw) * ph;
    if (valid < pixels - 1) {
        const float fill = static_cast<float>(minLog);
        const int64_t cells = static_cast<int64_t>(workWidth) * workHeight;
        for (int64_t i = 0; i < cells; ++i)
            if (lum[i] < kInvalidThreshold)
                lum[i] = fill;
    }
    return static_cast<int32_t>(pixels - valid);
}

int32_t TMConvertPreviewInput32(int32_t W, int32_t H, int32_t pw, int32_t ph, int32_t workWidth, int32_t workHeight,
                                TMPreviewStats* stats, const float* inSamples, float* lum)
{
    return TMConvertPreviewInput32Strided(W, H, pw, ph, workWidth, workHeight, TMPackedLayout(W, 3, sizeof(float)),
                                          stats, inSamples, lum);
}

int32_t TMConvertPreviewInput16Strided(int32_t W, int32_t H, int32_t pw, int32_t ph, int32_t workWidth,
                                       int32_t workHeight, const TMSampleLayout& layout, const float* lut,
                                       const uint16_t* inSamples, float* lum)
{
    if (previewTooSmall(W, H, pw, ph))
        return TMErrTooSmall;
    const PlaneRoles p = planeRoles(layout.planes);
    const float fx = sourceRatio(W, pw), fy = sourceRatio(H, ph);
    double d[kBlock], logs[kBlock];
    for (int32_t r = 0; r < ph; ++r) {
        const uint16_t* src = rowAt(inSamples, layout.rowBytes, truncatedSource(r, fy, H));
        float* row = lum + static_cast<int64_t>(r) * workWidth;
        for (int32_t c0 = 0; c0 < pw; c0 += kBlock) {
            const int32_t count = std::min(kBlock, pw - c0);
            for (int32_t i = 0; i < count; ++i) {
                const uint16_t* px = src + static_cast<int64_t>(truncatedSource(c0 + i, fx, W)) * layout.pixelStride;
                // The final render's weights and arithmetic (0.3 for red).
                const double red = lut[px[p.red]], green = lut[px[p.green]], blue = lut[px[p.blue]];
                float v = static_cast<float>(0.3 * red + 0.6 * green + 0.1 * blue);
                if (v == 0.0f)
                    v = 0.01f;
                d[i] = v;
            }
            logToFloat(d, logs, row + c0, count);
        }
    }
    return workHeight;
}

int32_t TMConvertPreviewInput16(int32_t W, int32_t H, int32_t pw, int32_t ph, int32_t workWidth, int32_t workHeight,
                                int32_t planes, const float* lut, const uint16_t* inSamples, float* lum)
{
    return TMConvertPreviewInput16Strided(W, H, pw, ph, workWidth, workHeight,
                                          TMPackedLayout(W, planes, sizeof(uint16_t)), lut, inSamples, lum);
}
