// The colour terms kept between output-only refreshes: where their planes lie in the
// dialog's buffers, and the per-pixel terms that depend only on the source pixel and
// the preview statistics, built once per full recompute.
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
using namespace tm_preview;

namespace {

constexpr float kInf = __builtin_inff();
constexpr float kNaNf = __builtin_nanf("");

// Pixels per part below which the hand-over costs more than the terms.
constexpr int64_t kMinPartCells = 8192;

int32_t termParts(TMWorkers* workers, int32_t pw, int32_t rows)
{
    return TMPartsOn(workers, rows, (kMinPartCells + pw - 1) / pw);
}

} // namespace

bool TMPlacePreviewTerms(int32_t pw, int32_t ph, int32_t planes, float* const* regions, const int64_t* regionFloats,
                         int32_t regionCount, TMPreviewTermPlanes* out)
{
    *out = TMPreviewTermPlanes{};
    if (pw < 1 || ph < 1 || planes < 1 || planes > 5 || regionCount < 0 || regionCount > 3)
        return false;
    int32_t region = 0;
    int64_t usedRows = 0; // rows of the current region already taken
    for (int32_t p = 0; p < planes; ++p) {
        int32_t run = 0;
        for (int32_t r = 0; r < ph;) {
            while (region < regionCount && (!regions[region] || regionFloats[region] / pw - usedRows <= 0)) {
                ++region;
                usedRows = 0;
            }
            if (region == regionCount || run == 3)
                return false;
            const int64_t free = regionFloats[region] / pw - usedRows;
            const int32_t take = static_cast<int32_t>(std::min<int64_t>(free, ph - r));
            out->runs[p][run].firstRow = r;
            out->runs[p][run].rows = regions[region] + usedRows * pw;
            ++run;
            usedRows += take;
            r += take;
        }
    }
    out->pw = pw;
    out->ph = ph;
    out->planes = planes;
    return true;
}

bool TMPlacePreviewTermRows(int32_t pw, int32_t ph, int32_t planes, float* const* regions, const int64_t* regionFloats,
                            int32_t regionCount, TMPreviewTermPlanes* out)
{
    *out = TMPreviewTermPlanes{};
    if (pw < 1 || ph < 1 || planes < 1 || regionCount < 0 || regionCount > 3)
        return false;
    // Whole rows are taken in order, so every row of every region serves.
    int64_t rows = 0;
    for (int32_t i = 0; i < regionCount; ++i)
        if (regions[i] && regionFloats[i] > 0)
            rows += regionFloats[i] / pw;
    const int32_t fit = static_cast<int32_t>(std::min<int64_t>(ph, rows / planes));
    if (fit < 1 || !TMPlacePreviewTerms(pw, fit, planes, regions, regionFloats, regionCount, out))
        return false;
    return true;
}

bool TMBuildPreviewColourTerms32(int32_t W, int32_t H, int32_t pw, int32_t ph, const TMSampleLayout& layout,
                                 const TMPreviewStats* stats, const float* inSamples, const TMPreviewTermPlanes& planes,
                                 TMWorkers* workers)
{
    if (previewTooSmall(W, H, pw, ph) || !termsCover(planes, pw, ph, 4, true))
        return false;
    // Only ratio and inv of the curve matter here; k = 1 makes the curve run.
    const Curve32 cv = makeCurve32(1.0f, 1.0, 1.0, stats->rangeFactor);
    if (!curveUsable(cv))
        return false;
    const PlaneRoles p = planeRoles(layout.planes);
    const float fx = sourceRatio(W, pw), fy = sourceRatio(H, ph);

    // Rows past planes.ph are mapped pixel by pixel. Every pixel's terms are its own:
    // the rows split over the team as they come.
    TMForParts(workers, planes.ph, termParts(workers, pw, planes.ph), [&](int32_t, int64_t rowBegin, int64_t rowEnd) {
        float c[3 * kFastBlock];
        float Y[kFastBlock] = {}; // zeroed: the compiler cannot see that only n entries are read
        bool exact[kFastBlock];
        double q[kFastBlock], B[kFastBlock];
        double ratio[3 * kFastBlock];
        for (int32_t r = static_cast<int32_t>(rowBegin); r < rowEnd; ++r) {
            for (int32_t c0 = 0; c0 < pw; c0 += kFastBlock) {
                const int32_t n = std::min(kFastBlock, pw - c0);
                float* const lnB = planes.row(0, r) + c0;
                float* const lnR[3] = {planes.row(1, r) + c0, planes.row(2, r) + c0, planes.row(3, r) + c0};
                for (int32_t j = 0; j < n; ++j) {
                    sourcePixel(inSamples, layout, p, fx, fy, W, H, c0 + j, r, c + 3 * j);
                    Y[j] = outputLuminance(c[3 * j], c[3 * j + 1], c[3 * j + 2]);
                    exact[j] = !(Y[j] > 0.0f) || !isFiniteFloat(Y[j]);
                }
                // B within 2E + 4 ulp of the library's, as the blended luminance forms it.
                fastCurveBase(cv, Y, exact, n, B);
                for (int32_t j = 0; j < n; ++j) {
                    q[j] = B[j] > 0.0 ? B[j] : 1.0;
                    for (int ch = 0; ch < 3; ++ch) {
                        const int32_t i = 3 * j + ch;
                        ratio[i] = (!exact[j] && c[i] > 0.0f) ? static_cast<double>(c[i] / Y[j]) : 1.0;
                    }
                }
                tm_fast::logArray(q, q, static_cast<size_t>(n));
                tm_fast::logArray(ratio, ratio, static_cast<size_t>(3 * n));
                for (int32_t j = 0; j < n; ++j) {
                    float code;
                    if (exact[j]) // black whatever the settings; an overflowing luminance per pixel
                        code = overflowingLuminance(c + 3 * j, Y[j]) ? kNaNf : kInf;
                    else if (!(B[j] >= 0.0) || !std::isfinite(B[j]) || !std::isfinite(q[j]))
                        code = kNaNf;
                    else
                        code = B[j] > 0.0 ? static_cast<float>(q[j]) : -kInf;
                    for (int ch = 0; ch < 3; ++ch) {
                        const int32_t i = 3 * j + ch;
                        float v = -kInf;
                        if (!exact[j] && c[i] > 0.0f) {
                            v = static_cast<float>(ratio[i]);
                            if (!isFiniteFloat(v))
                                code = kNaNf; // ratio beyond the fast logarithm: per pixel
                        }
                        lnR[ch][j] = v;
                    }
                    lnB[j] = code;
                }
            }
        }
    });
    return true;
}

bool TMBuildPreviewColourTerms16(int32_t W, int32_t H, int32_t pw, int32_t ph, const TMSampleLayout& layout,
                                 const float* lut, const uint16_t* inSamples, const TMPreviewTermPlanes& planes,
                                 TMWorkers* workers)
{
    if (previewTooSmall(W, H, pw, ph) || !termsCover(planes, pw, ph, 3, false))
        return false;
    const PlaneRoles p = planeRoles(layout.planes);
    const float fx = sourceRatio(W, pw), fy = sourceRatio(H, ph);
    TMForParts(workers, ph, termParts(workers, pw, ph), [&](int32_t, int64_t rowBegin, int64_t rowEnd) {
        uint16_t raw[3 * kFastBlock];
        double ratio[3 * kFastBlock], logs[3 * kFastBlock];
        for (int32_t r = static_cast<int32_t>(rowBegin); r < rowEnd; ++r) {
            for (int32_t c0 = 0; c0 < pw; c0 += kFastBlock) {
                const int32_t n = std::min(kFastBlock, pw - c0);
                float* const lnR[3] = {planes.row(0, r) + c0, planes.row(1, r) + c0, planes.row(2, r) + c0};
                sourceSamples16(inSamples, layout, p, fx, fy, W, H, r, c0, n, raw);
                if (planes.planes >= kPlanesWithRaw16)
                    for (int ch = 0; ch < 3; ++ch)
                        std::memcpy(rawRow16(planes, ch, r) + c0, raw + ch * n,
                                    static_cast<size_t>(n) * sizeof(uint16_t));
                for (int32_t j = 0; j < n; ++j) {
                    double q[3];
                    ratios16(lut, raw[j], raw[n + j], raw[2 * n + j], q);
                    for (int ch = 0; ch < 3; ++ch)
                        ratio[ch * n + j] = q[ch];
                }
                for (int32_t i = 0; i < 3 * n; ++i)
                    logs[i] = ratio[i] > 0.0 ? ratio[i] : 1.0;
                tm_fast::logArray(logs, logs, static_cast<size_t>(3 * n));
                for (int ch = 0; ch < 3; ++ch)
                    for (int32_t j = 0; j < n; ++j) {
                        const double q = ratio[ch * n + j];
                        float code = kNaNf; // negative or NaN: per sample, by the library
                        if (q == 0.0) {
                            code = -kInf;
                        } else if (q > 0.0) {
                            const float v = static_cast<float>(logs[ch * n + j]);
                            code = isFiniteFloat(v) ? v : kNaNf;
                        }
                        lnR[ch][j] = code;
                    }
            }
        }
    });
    return true;
}
