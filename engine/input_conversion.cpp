// Input conversion: host samples -> natural-log luminance in the working buffer.
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "fast_math.h"

#include "luminance.h"
#include "tm_engine.h"
#include "tm_workers.h"

using namespace tm_detail;

namespace {

// Invalid-cell marker of a float pixel without a usable luminance, and the threshold
// that recognises it.
constexpr float kInvalidCell = -1.0e9f;
constexpr float kInvalidThreshold = -99999999.0f;

// Wrap margins: cells 0..pad-1 repeat the row's last pad image cells and cells
// pad+W..W+2pad-1 its first pad image cells. Both converters compute a cell from its
// source pixel with the same formula, so the margins are copies of image cells.
void wrapRow(float* row, int32_t W, int32_t pad)
{
    for (int32_t i = 0; i < pad; ++i) {
        row[i] = row[W + i];             // image column W - pad + i
        row[pad + W + i] = row[pad + i]; // image column i
    }
}

// Pixels per block of the vectorised logarithm.
constexpr int32_t kBlock = 512;

// Pixels worth handing to another thread: a band of rows holds at least this many.
constexpr int64_t kMinPartPixels = 1 << 14;

int32_t rowParts(TMWorkers* workers, int32_t W, int32_t rows)
{
    return TMPartsOn(workers, rows, (kMinPartPixels + W - 1) / std::max(W, 1));
}

} // namespace

int32_t TMBuildSampleLUT(int32_t lutMode, int32_t n, float* lut)
{
    const double e = lutMode <= 0 ? static_cast<double>(2.2f) : 1.0;
    // float(i^e): the fast power where every value within its bound rounds to one
    // float (then that float is the library's), the library power elsewhere. The
    // preview rebuilds this table on every redraw.
    double x[kBlock], p[kBlock];
    for (int32_t i0 = 1; i0 < n; i0 += kBlock) {
        const int32_t count = std::min(kBlock, n - i0);
        for (int32_t j = 0; j < count; ++j)
            x[j] = static_cast<double>(i0 + j);
        tm_fast::powArray(x, e, p, static_cast<size_t>(count));
        for (int32_t j = 0; j < count; ++j)
            lut[i0 + j] = tm_fast::roundsToSameFloat(p[j], tm_fast::kFastMathError)
                              ? static_cast<float>(p[j])
                              : static_cast<float>(std::pow(x[j], e));
    }
    if (n > 1)
        lut[0] = lut[1];
    return n;
}

int32_t TMConvertInput16Strided(int32_t W, int32_t H, int32_t workWidth, int32_t workHeight,
                                const TMSampleLayout& layout, int32_t pad, const float* lut, const uint16_t* samples,
                                float* lum, TMWorkers* workers)
{
    (void)H;
    const PlaneRoles p = planeRoles(layout.planes);
    const int32_t stride = layout.pixelStride;
    // Each cell depends on its own pixel alone: bands of rows give the same cells.
    TMForParts(workers, workHeight, rowParts(workers, W, workHeight), [&](int32_t, int64_t y0, int64_t y1) {
        double d[kBlock], l[kBlock];
        for (int64_t y = y0; y < y1; ++y) {
            const uint16_t* src = rowAt(samples, layout.rowBytes, static_cast<int32_t>(y));
            float* row = lum + y * workWidth;
            float* cells = row + pad;
            for (int32_t x0 = 0; x0 < W; x0 += kBlock) {
                const int32_t count = std::min(kBlock, W - x0);
                for (int32_t i = 0; i < count; ++i) {
                    const uint16_t* px = src + static_cast<int64_t>(x0 + i) * stride;
                    const double r = lut[px[p.red]], g = lut[px[p.green]], b = lut[px[p.blue]];
                    float v = static_cast<float>(0.3 * r + 0.6 * g + 0.1 * b);
                    if (v == 0.0f)
                        v = 0.01f;
                    d[i] = v;
                }
                logToFloat(d, l, cells + x0, count);
            }
            wrapRow(row, W, pad);
        }
    });
    return workHeight;
}

int32_t TMConvertInput16(int32_t W, int32_t H, int32_t workWidth, int32_t workHeight, int32_t planes, int32_t pad,
                         TMImageStats* stats, const float* lut, const uint16_t* samples, float* lum)
{
    (void)stats; // integer input gathers no statistics
    return TMConvertInput16Strided(W, H, workWidth, workHeight, TMPackedLayout(W, planes, sizeof(uint16_t)), pad, lut,
                                   samples, lum);
}

namespace {

// What the float conversion gathers over its valid cells: their count, extremes and,
// where asked, their sum in double in row order (0 otherwise).
struct CellStats {
    int64_t valid = 0;
    double sum = 0.0;
    float maxCell = -1.0e9f, minCell = 1.0e9f;
};

// Rows y0..y1-1 of the float conversion. Invalid cells get the marker. The extremes
// keep the first of equal values (strict comparisons), so that the extremes of bands
// taken in order are those of one pass.
void convertRows32(int32_t W, int32_t workWidth, const TMSampleLayout& layout, int32_t pad, const float off[3],
                   const float* samples, float* lum, int64_t y0, int64_t y1, bool sum, CellStats* st)
{
    const PlaneRoles p = planeRoles(layout.planes);
    const int32_t stride = layout.pixelStride;
    const float offR = off[0], offG = off[1], offB = off[2];
    double lumValue[kBlock], logs[kBlock];
    // Kept in locals: stores to the cells could otherwise alias them.
    int64_t valid = 0;
    double total = 0.0;
    float maxCell = -1.0e9f, minCell = 1.0e9f;
    for (int64_t y = y0; y < y1; ++y) {
        const float* src = rowAt(samples, layout.rowBytes, static_cast<int32_t>(y));
        float* row = lum + y * workWidth;
        float* cells = row + pad;
        for (int32_t x0 = 0; x0 < W; x0 += kBlock) {
            const int32_t count = std::min(kBlock, W - x0);
            for (int32_t i = 0; i < count; ++i) {
                const float* px = src + static_cast<int64_t>(x0 + i) * stride;
                float r = px[p.red], g = px[p.green], b = px[p.blue];
                const bool finite = finiteSamples(r, g, b);
                if (r < 0.0f)
                    r += offR;
                if (g < 0.0f)
                    g += offG;
                if (b < 0.0f)
                    b += offB;
                const double v = 540.0 * r + 1830.0 * g + 190.0 * b;
                // Invalid pixels: not finite, or no positive luminance.
                lumValue[i] = finite && v > 0.0 ? v : -1.0;
            }
            logToFloat(lumValue, logs, cells + x0, count);
            for (int32_t i = 0; i < count; ++i) {
                if (!(lumValue[i] > 0.0)) {
                    cells[x0 + i] = kInvalidCell;
                    continue;
                }
                const float v = cells[x0 + i];
                ++valid;
                total += v;
                if (v > maxCell)
                    maxCell = v;
                if (v < minCell)
                    minCell = v;
            }
        }
        wrapRow(row, W, pad);
    }
    st->valid = valid;
    st->sum = sum ? total : 0.0;
    st->maxCell = maxCell;
    st->minCell = minCell;
}

// The sum in double of the valid image cells of the first `rows` rows, in row order.
double sumValidCells(int32_t W, int32_t workWidth, int32_t pad, const float* lum, int32_t rows)
{
    double sum = 0.0;
    for (int32_t y = 0; y < rows; ++y) {
        const float* cells = lum + static_cast<int64_t>(y) * workWidth + pad;
        for (int32_t x = 0; x < W; ++x)
            if (cells[x] > kInvalidThreshold)
                sum += cells[x];
    }
    return sum;
}

} // namespace

int32_t TMConvertInput32Strided(int32_t W, int32_t H, int32_t workWidth, int32_t workHeight,
                                const TMSampleLayout& layout, int32_t pad, TMImageStats* stats, const float* samples,
                                float* lum, TMWorkers* workers)
{
    // Negative samples are lifted by their plane's measured minimum plus 0.0045.
    const float off[3] = {0.0045f - stats->planeMin[0], 0.0045f - stats->planeMin[1], 0.0045f - stats->planeMin[2]};

    // The mean's sum is in double in row order, and its rounding depends on that
    // order: one band sums as it converts; several bands convert side by side and the
    // calling thread then sums the stored cells in row order.
    const int32_t parts = rowParts(workers, W, workHeight);
    CellStats total;
    if (parts == 1) {
        convertRows32(W, workWidth, layout, pad, off, samples, lum, 0, workHeight, true, &total);
    } else {
        CellStats* bands = static_cast<CellStats*>(std::calloc(static_cast<size_t>(parts), sizeof(CellStats)));
        if (!bands)
            return TMConvertInput32Strided(W, H, workWidth, workHeight, layout, pad, stats, samples, lum, nullptr);
        for (int32_t part = 0; part < parts; ++part)
            bands[part] = CellStats{};
        TMForParts(workers, workHeight, parts, [&](int32_t part, int64_t y0, int64_t y1) {
            convertRows32(W, workWidth, layout, pad, off, samples, lum, y0, y1, false, &bands[part]);
        });
        for (int32_t part = 0; part < parts; ++part) {
            total.valid += bands[part].valid;
            if (bands[part].maxCell > total.maxCell)
                total.maxCell = bands[part].maxCell;
            if (bands[part].minCell < total.minCell)
                total.minCell = bands[part].minCell;
        }
        std::free(bands);
        total.sum = sumValidCells(W, workWidth, pad, lum, workHeight);
    }
    const int64_t valid = total.valid;
    const float maxCell = total.maxCell, minCell = total.minCell;

    if (valid > 0) {
        stats->geometricMean = static_cast<float>(std::exp(total.sum / static_cast<double>(valid) - std::log(2560.0)));
    }
    if (stats->geometricMean > 0.0f) {
        // The division by 2560 applies to the log value, before the exponential.
        stats->rangeFactor = static_cast<float>(std::exp(static_cast<double>(maxCell) / 2560.0) /
                                                static_cast<double>(stats->geometricMean));
    }

    // Any invalid pixel takes the smallest valid value, so no marker reaches the
    // gradient stage (a single marker would spread a dark blot through the solver).
    const int64_t imagePixels = static_cast<int64_t>(W) * H;
    if (valid < imagePixels) {
        const int64_t cells = static_cast<int64_t>(workWidth) * workHeight;
        TMForParts(workers, cells, TMPartsOn(workers, cells, 4 * kMinPartPixels),
                   [&](int32_t, int64_t begin, int64_t end) {
                       for (int64_t i = begin; i < end; ++i)
                           if (lum[i] < kInvalidThreshold)
                               lum[i] = minCell;
                   });
    }
    return static_cast<int32_t>(imagePixels - valid);
}

void TMMeasurePlaneMinima(int32_t W, int32_t H, const TMSampleLayout& layout, const float* samples, float minima[3],
                          TMWorkers* workers)
{
    const PlaneRoles p = planeRoles(layout.planes);
    // std::min keeps the first of equal values and passes NaN over, so the minima of
    // bands taken in order are those of one pass.
    auto measure = [&](int64_t y0, int64_t y1, float lo[3]) {
        for (int64_t y = y0; y < y1; ++y) {
            const float* px = rowAt(samples, layout.rowBytes, static_cast<int32_t>(y));
            for (int32_t x = 0; x < W; ++x, px += layout.pixelStride) {
                lo[0] = std::min(lo[0], px[p.red]);
                lo[1] = std::min(lo[1], px[p.green]);
                lo[2] = std::min(lo[2], px[p.blue]);
            }
        }
    };
    float lo[3] = {1e11f, 1e11f, 1e11f};
    const int32_t parts = rowParts(workers, W, H);
    float* bands =
        parts > 1 ? static_cast<float*>(std::malloc(static_cast<size_t>(parts) * 3 * sizeof(float))) : nullptr;
    if (!bands) {
        measure(0, H, lo);
    } else {
        std::fill(bands, bands + 3 * parts, 1e11f);
        TMForParts(workers, H, parts, [&](int32_t part, int64_t y0, int64_t y1) { measure(y0, y1, bands + 3 * part); });
        for (int32_t part = 0; part < parts; ++part)
            for (int c = 0; c < 3; ++c)
                lo[c] = std::min(lo[c], bands[3 * part + c]);
        std::free(bands);
    }
    std::copy(lo, lo + 3, minima);
}

int32_t TMConvertInput32(int32_t W, int32_t H, int32_t workWidth, int32_t workHeight, int32_t planes, int32_t pad,
                         TMImageStats* stats, const float* samples, float* lum)
{
    return TMConvertInput32Strided(W, H, workWidth, workHeight, TMPackedLayout(W, planes, sizeof(float)), pad, stats,
                                   samples, lum);
}
