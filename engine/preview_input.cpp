// Preview-scale input conversion: the whole host image sampled down to the preview
// size by nearest neighbour, converted to natural-log luminance.
#include <algorithm>
#include <cmath>

#include "luminance.h"
#include "preview_sampling.h"
#include "preview_stages.h"
#include "tm_workers.h"

using namespace tm_detail;

namespace {

// Invalid-cell marker and the threshold that recognises it, as the final render's.
constexpr float kInvalidCell = -1.0e9f;
constexpr float kInvalidThreshold = -99999999.0f;

// Cells per block of the vectorised logarithm.
constexpr int32_t kBlock = 512;

} // namespace

namespace {

// Cells per part of a split pass below which the hand-over costs more than the work.
constexpr int64_t kMinPartCells = 16384;

int32_t rowParts(TMWorkers* workers, int32_t pw, int32_t rows)
{
    return TMPartsOn(workers, rows, (kMinPartCells + pw - 1) / pw);
}

// The order-free figures of the float conversion: the valid pixels, and the largest
// and smallest logarithms (from the start values, replaced on strictly greater and
// strictly smaller, so that the figures of several row ranges combine exactly).
struct LogTally {
    int64_t valid = 0;
    double maxLog = -999999999.0, minLog = 999999999.0;

    void add(const LogTally& t)
    {
        valid += t.valid;
        if (t.maxLog > maxLog)
            maxLog = t.maxLog;
        if (t.minLog < minLog)
            minLog = t.minLog;
    }
};

// Preview rows [r0, r1) of the float conversion into lum. Each valid logarithm is
// added to *sum in row-major order when logs is null; otherwise it is stored at
// logs[(r - r0) pw + c] (0 for an invalid pixel, which leaves a sum unchanged: the
// sum starts at +0 and never becomes -0) for the caller to add in that order.
void convertRows32(int32_t W, int32_t H, int32_t pw, int32_t ph, int32_t workWidth, const TMSampleLayout& layout,
                   const float* inSamples, float* lum, int32_t r0, int32_t r1, double* logs, double* sum,
                   LogTally* tally)
{
    const PlaneRoles p = planeRoles(layout.planes);
    const float fx = sourceRatio(W, pw), fy = sourceRatio(H, ph);
    LogTally t;
    for (int32_t r = r0; r < r1; ++r) {
        const float* src = rowAt(inSamples, layout.rowBytes, roundedSource(r, fy, H));
        float* row = lum + static_cast<int64_t>(r) * workWidth;
        double* logRow = logs != nullptr ? logs + static_cast<int64_t>(r - r0) * pw : nullptr;
        for (int32_t c = 0; c < pw; ++c) {
            const float* px = src + static_cast<int64_t>(roundedSource(c, fx, W)) * layout.pixelStride;
            const float red = px[p.red], green = px[p.green], blue = px[p.blue];
            // The final render's weights (540 for red); negative samples are not lifted.
            const double y = 540.0 * red + 1830.0 * green + 190.0 * blue;
            // As in the final render, a pixel with a sample that is not finite is invalid.
            if (!(y > 0.0) || !finiteSamples(red, green, blue)) {
                row[c] = kInvalidCell;
                if (logRow != nullptr)
                    logRow[c] = 0.0;
                continue;
            }
            const double v = std::log(y);
            row[c] = static_cast<float>(v);
            ++t.valid;
            if (logRow != nullptr)
                logRow[c] = v;
            else
                *sum += v;
            if (v > t.maxLog)
                t.maxLog = v;
            if (v < t.minLog)
                t.minLog = v;
        }
    }
    *tally = t;
}

} // namespace

int32_t TMConvertPreviewInput32Strided(int32_t W, int32_t H, int32_t pw, int32_t ph, int32_t workWidth,
                                       int32_t workHeight, const TMSampleLayout& layout, TMPreviewStats* stats,
                                       const float* inSamples, float* lum, TMWorkers* workers, double* scratch,
                                       int64_t scratchDoubles)
{
    if (previewTooSmall(W, H, pw, ph))
        return TMErrTooSmall;

    // The statistics come from the double logarithms (not the stored floats), with
    // their own start values. Their sum is taken in row-major order whatever the
    // split: the parts store their logarithms in the scratch, as many rows at a time
    // as it holds, and this thread adds them up.
    double sum = 0.0;
    LogTally tally;
    const int32_t chunkRows = scratch != nullptr ? static_cast<int32_t>(std::min<int64_t>(ph, scratchDoubles / pw)) : 0;
    const int32_t parts = chunkRows > 0 ? rowParts(workers, pw, chunkRows) : 1;
    if (parts <= 1) {
        convertRows32(W, H, pw, ph, workWidth, layout, inSamples, lum, 0, ph, nullptr, &sum, &tally);
    } else {
        LogTally partTally[TMMaxThreads];
        for (int32_t r0 = 0; r0 < ph; r0 += chunkRows) {
            const int32_t rows = std::min(chunkRows, ph - r0);
            const int32_t used = rowParts(workers, pw, rows);
            TMForParts(workers, rows, used, [&](int32_t part, int64_t begin, int64_t end) {
                const int32_t from = r0 + static_cast<int32_t>(begin), to = r0 + static_cast<int32_t>(end);
                LogTally t;
                convertRows32(W, H, pw, ph, workWidth, layout, inSamples, lum, from, to, scratch + begin * pw, nullptr,
                              &t);
                partTally[part] = t;
            });
            for (int32_t part = 0; part < used; ++part)
                tally.add(partTally[part]);
            const int64_t n = static_cast<int64_t>(rows) * pw;
            for (int64_t i = 0; i < n; ++i)
                sum += scratch[i];
        }
    }

    if (tally.valid > 0)
        stats->geometricMean = static_cast<float>(std::exp(sum / static_cast<double>(tally.valid) - std::log(2560.0)));
    if (stats->geometricMean > 0.0f)
        stats->rangeFactor =
            static_cast<float>(std::exp(tally.maxLog / 2560.0) / static_cast<double>(stats->geometricMean));

    // Two or more invalid pixels take the smallest valid value (a single one keeps
    // its marker, as in the final render).
    const int64_t pixels = static_cast<int64_t>(pw) * ph;
    if (tally.valid < pixels - 1) {
        const float fill = static_cast<float>(tally.minLog);
        const int64_t cells = static_cast<int64_t>(workWidth) * workHeight;
        TMForParts(workers, cells, TMPartsOn(workers, cells, 4 * kMinPartCells),
                   [&](int32_t, int64_t begin, int64_t end) {
                       for (int64_t i = begin; i < end; ++i)
                           if (lum[i] < kInvalidThreshold)
                               lum[i] = fill;
                   });
    }
    return static_cast<int32_t>(pixels - tally.valid);
}

int32_t TMConvertPreviewInput32(int32_t W, int32_t H, int32_t pw, int32_t ph, int32_t workWidth, int32_t workHeight,
                                TMPreviewStats* stats, const float* inSamples, float* lum)
{
    return TMConvertPreviewInput32Strided(W, H, pw, ph, workWidth, workHeight, TMPackedLayout(W, 3, sizeof(float)),
                                          stats, inSamples, lum);
}

int32_t TMConvertPreviewInput16Strided(int32_t W, int32_t H, int32_t pw, int32_t ph, int32_t workWidth,
                                       int32_t workHeight, const TMSampleLayout& layout, const float* lut,
                                       const uint16_t* inSamples, float* lum, TMWorkers* workers)
{
    if (previewTooSmall(W, H, pw, ph))
        return TMErrTooSmall;
    const PlaneRoles p = planeRoles(layout.planes);
    const float fx = sourceRatio(W, pw), fy = sourceRatio(H, ph);
    TMForParts(workers, ph, rowParts(workers, pw, ph), [&](int32_t, int64_t rowBegin, int64_t rowEnd) {
        double d[kBlock], logs[kBlock];
        for (int32_t r = static_cast<int32_t>(rowBegin); r < rowEnd; ++r) {
            const uint16_t* src = rowAt(inSamples, layout.rowBytes, truncatedSource(r, fy, H));
            float* row = lum + static_cast<int64_t>(r) * workWidth;
            for (int32_t c0 = 0; c0 < pw; c0 += kBlock) {
                const int32_t count = std::min(kBlock, pw - c0);
                for (int32_t i = 0; i < count; ++i) {
                    const uint16_t* px =
                        src + static_cast<int64_t>(truncatedSource(c0 + i, fx, W)) * layout.pixelStride;
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
    });
    return workHeight;
}

int32_t TMConvertPreviewInput16(int32_t W, int32_t H, int32_t pw, int32_t ph, int32_t workWidth, int32_t workHeight,
                                int32_t planes, const float* lut, const uint16_t* inSamples, float* lum)
{
    return TMConvertPreviewInput16Strided(W, H, pw, ph, workWidth, workHeight,
                                          TMPackedLayout(W, planes, sizeof(uint16_t)), lut, inSamples, lum);
}
