// The output-only refresh: the output mapping from the colour terms kept after the
// last full recompute, so that a refresh computes no logarithm. Each pixel's fast
// values carry their error bounds; a pixel is kept only when every value within them
// gives the same bytes and bin, else it is mapped by the plain arithmetic
// (preview_mapping.cpp). Whole pixels go through the vector kernels where the
// dispatch level has them; the loops here take the rest.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "cpu_dispatch.h"
#include "fast_math.h"
#include "luminance.h"
#include "output_curve.h"
#include "preview_mapping.h"
#include "preview_refresh.h"
#include "preview_sampling.h"
#include "preview_stages.h"
#include "tm_workers.h"

using namespace tm_detail;
using namespace tm_preview;
using tm_cpu::Level;

namespace {

constexpr float kInf = __builtin_inff();
constexpr double kInfD = __builtin_inf();

// --- Float samples -------------------------------------------------------------------

// Per colour sample i: t = power L (0 for a sample that is not positive, lr = -inf),
// within the relative bound relL + the power's of the library's t. ok[i]: the
// histogram value trunc(255 t) (hOut) and the display byte (d) are the same at both
// ends of that bound and t is finite; otherwise the pixel goes to the library.
TM_LOOP_BODY void mapChannelsLoop(const DisplayThresholds& thr, double s, const double* lr, const double* e,
                                  const double* L, const double* relL, int32_t n, double* hOut, int32_t* d, int32_t* ok)
{
    const double* th = thr.th();
    const int32_t* table = thr.table();
    for (int32_t i = 0; i < n; ++i) {
        const double r = lr[i];
        const bool present = (r >= -1.0e300) & (r <= 1.0e300); // finite (-inf: not positive)
        const double l = present ? r : 0.0;
        const double alr = l < 0 ? -l : l;
        // Stored ln(c / Y): the fast logarithm's E and the float's 2^-24 relative to
        // its size; the exponent's product adds an ulp.
        const double dx = s * alr * (1.01 * (E + kFloatRound) + kUlp);
        const double power = present ? e[i] : 0.0;
        const double t0 = power * L[i];
        const bool finite = (t0 < 1.0e300) & (t0 > -1.0e300) & (dx < 1.0e-3);
        const double t = finite ? t0 : 0.0;
        // t's bound: L's, the power's and their product, which relL < 1/4 (L's sign is
        // certain) keeps below a quarter of the power's.
        const double errT = relL[i] + 1.25 * (1.01 * dx + E) + 6 * kUlp;
        const double v = 255.0 * t;
        const double dv = (v < 0 ? -v : v) * (errT + 2 * kUlp);
        const double hLo = std::trunc(std::min(std::max(v - dv, -kTruncLimit), kTruncLimit));
        const double hHi = std::trunc(std::min(std::max(v + dv, -kTruncLimit), kTruncLimit));
        const double m = errT + kThresholdMargin;
        const bool positive = t > 0.0;
        const double xLo = positive ? t * (1.0 - m) : 0.0;
        const double xHi = positive ? t * (1.0 + m) : 0.0;
        const int32_t cLo = table[DisplayThresholds::cellOf(xLo)];
        const int32_t cHi = table[DisplayThresholds::cellOf(xHi)];
        const int32_t dLo = cLo + (th[cLo + 1] <= xLo ? 1 : 0);
        const int32_t dHi = cHi + (th[cHi + 1] <= xHi ? 1 : 0);
        hOut[i] = hLo;
        d[i] = dLo;
        ok[i] = (finite & (hLo == hHi) & (dLo == dHi)) ? 1 : 0;
    }
}

// Exponents of n pixels from the kept terms: s ln B (the curve's power) at j and
// s ln(c / Y) of colour ch at n + ch n + j. Codes and missing ratios take 0; their
// lanes are not used. Separate (and compiled per level) so that the loop is vectorised.
TM_LOOP_BODY void termExponentsLoop(const float* lnB, const float* const lnR[3], int32_t n, bool curve, double s,
                                    double* x)
{
    for (int32_t j = 0; j < n; ++j) {
        const float b = lnB[j];
        x[j] = (curve && isFiniteFloat(b)) ? s * static_cast<double>(b) : 0.0;
        for (int ch = 0; ch < 3; ++ch) {
            const float v = lnR[ch][j];
            x[n + ch * n + j] = isFiniteFloat(v) ? s * static_cast<double>(v) : 0.0;
        }
    }
}

// L and its relative bound per pixel from lum and e = exp(s ln B); certain[j] = 0
// leaves the pixel to the library.
TM_LOOP_BODY void blendedTermsLoop(const float* lnB, const float* lum, const double* e, int32_t n, bool curve, double s,
                                   double k, float localWeight, double* L, double* relL, int32_t* certain)
{
    // L and its bound per pixel. Black pixels (code +inf) come out certain with
    // every t = 0 below; NaN codes are left to the library.
    for (int32_t j = 0; j < n; ++j) {
        const float code = lnB[j];
        const float L0 = lum[j];
        const bool black = code == kInf;
        // Both ways are evaluated and one selected, branch-free for the vectoriser;
        // lanes without the curve keep L0 with no error.
        const bool withCurve = curve & !black;
        // Stored ln B: within 1.01 (2E + 4 ulp) of ln of the library's B from B's own
        // error, plus E (fast logarithm) and 2^-24 (float) relative to its size; the
        // exponent's product adds an ulp.
        const bool zeroB = code == -kInf;
        const double lb = zeroB ? 0.0 : static_cast<double>(code);
        const double alb = lb < 0 ? -lb : lb;
        const double dx = s * (1.01 * (2 * E + 4 * kUlp) + 1.01 * alb * (E + kFloatRound)) + s * alb * kUlp;
        const double kP = zeroB ? 0.0 : k * e[j];
        const bool kPFinite = (kP < kInfD) & (kP > -kInfD);
        const double Lc = kP + static_cast<double>(localWeight * L0);
        const double errC = kP * (1.01 * dx + E + 4 * kUlp) + (Lc < 0 ? -Lc : Lc) * kUlp;
        const double Lj = withCurve ? Lc : static_cast<double>(L0);
        const double errL = withCurve ? errC : 0.0;
        bool ok = (code == code) & ((!withCurve) | ((dx < 1.0e-3) & kPFinite));
        const double absL = Lj < 0 ? -Lj : Lj;
        // L's sign must be certain (as in the block path without the terms).
        ok = ok & ((absL > 4 * errL) | (absL + errL == 0.0));
        L[j] = black ? 0.0 : Lj;
        relL[j] = absL > 0.0 ? errL / absL : 0.0;
        certain[j] = (ok | black) ? 1 : 0;
    }
}

// The vector kernel of the active level for whole float pixels, or none.
// The last argument: the display exponent is 1 (the byte is t's own truncation).
using PixelKernel32 = int32_t (*)(const DisplayThresholds&, const float*, const float*, const float* const*, int32_t,
                                  bool, double, double, float, uint8_t* const*, int32_t*, int32_t*, bool);
PixelKernel32 pixelKernel32()
{
#if defined(TM_X86_KERNELS)
    if (tm_cpu::at(Level::AVX512))
        return mapPixels32Avx512;
    if (tm_cpu::at(Level::AVX2))
        return mapPixels32Avx2;
#endif
    return nullptr;
}

// --- 16-bit samples ------------------------------------------------------------------

// Display bytes of n <= kFastBlock pixels from the kept ln(c' / Y) terms (lr, colour-
// major), their raw samples and T = (1 - k) L0: d and ok per sample, ok = 0 leaving
// the sample to the library. The power exp(s lr) carries the stored logarithm's
// error (the fast logarithm's E and the float's 2^-24, relative to its size, and an
// ulp for the product) besides its own; the sum's bound is then that of the
// per-sample fast path without the terms.
TM_LOOP_BODY void mapSamples16Loop(const float* lr, const double* e, const double* T, const double* blend, int32_t n3,
                                   double s, int32_t* d, int32_t* ok)
{
    for (int32_t i = 0; i < n3; ++i) {
        const float code = lr[i];
        const bool present = isFiniteFloat(code);
        const bool zero = code == -kInf; // a ratio of 0: the power is 0, the byte the blend's
        const double l = present ? static_cast<double>(code) : 0.0;
        const double dx = s * (l < 0 ? -l : l) * (1.01 * (E + kFloatRound) + kUlp);
        const double power = present ? e[i] : 0.0;
        const double t = T[i];
        const double fast = power * t + blend[i];
        const double spread =
            (power * (t < 0 ? -t : t)) * (1.01 * dx + 2 * E + 4 * kUlp) + (fast < 0 ? -fast : fast) * 4.5e-16;
        const double a = fast - spread, b = fast + spread;
        const int32_t lo = a > 0.0 ? (a >= 255.0 ? 255 : static_cast<int32_t>(a)) : 0;
        const int32_t hi = b > 0.0 ? (b >= 255.0 ? 255 : static_cast<int32_t>(b)) : 0;
        d[i] = lo;
        ok[i] = ((present | zero) & (lo == hi) & (fast < kInfD) & (fast > -kInfD) & (dx < 1.0e-3)) ? 1 : 0;
    }
}

using PixelKernel16 = int32_t (*)(const float* const*, const float*, const uint16_t*, int32_t, const Blend16&,
                                  uint8_t* const*, int32_t*, int32_t*);
PixelKernel16 pixelKernel16()
{
#if defined(TM_X86_KERNELS)
    if (tm_cpu::at(Level::AVX512))
        return mapPixels16Avx512;
    if (tm_cpu::at(Level::AVX2))
        return mapPixels16Avx2;
#endif
    return nullptr;
}

// The raw samples of a block, kept or read from the source.
inline void blockSamples16(const TMPreviewTermPlanes& planes, const uint16_t* inSamples, const TMSampleLayout& layout,
                           const PlaneRoles& p, float fx, float fy, int32_t W, int32_t H, int32_t r, int32_t c0,
                           int32_t n, uint16_t* raw)
{
    if (planes.planes < kPlanesWithRaw16) {
        sourceSamples16(inSamples, layout, p, fx, fy, W, H, r, c0, n, raw);
        return;
    }
    for (int ch = 0; ch < 3; ++ch)
        std::memcpy(raw + ch * n, rawRow16(planes, ch, r) + c0, static_cast<size_t>(n) * sizeof(uint16_t));
}

// The portable loops on n <= kFastBlock float pixels given as arrays (the kept terms
// lnB and lnR, the cells lum): display bytes into out, the bin and certain (0 or 1)
// per pixel; an uncertain pixel's bytes and bin are the caller's to compute.
void mapPixels32Portable(const DisplayThresholds& thr, const float* lnB, const float* const lnR[3], const float* lum,
                         int32_t n, bool curve, double s, double k, float localWeight, uint8_t* const out[3],
                         int32_t* bin, int32_t* certain)
{
    double x[4 * kFastBlock], e[4 * kFastBlock];
    double L[kFastBlock], relL[kFastBlock];
    // Per colour sample, colour-major: entry ch n + j is colour ch of pixel j.
    double lr[3 * kFastBlock], hOut[3 * kFastBlock];
    int32_t d[3 * kFastBlock], ok[3 * kFastBlock];
    tm_cpu::run<termExponentsLoop>(lnB, lnR, n, curve, s, x);
    tm_fast::expArray(x, e, static_cast<size_t>(4 * n));
    tm_cpu::run<blendedTermsLoop>(lnB, lum, e, n, curve, s, k, localWeight, L, relL, certain);
    for (int ch = 0; ch < 3; ++ch) {
        for (int32_t j = 0; j < n; ++j)
            lr[ch * n + j] = static_cast<double>(lnR[ch][j]);
        tm_cpu::run<mapChannelsLoop>(thr, s, lr + ch * n, e + n + ch * n, L, relL, n, hOut + ch * n, d + ch * n,
                                     ok + ch * n);
    }
    for (int32_t j = 0; j < n; ++j) {
        certain[j] = certain[j] && ok[j] && ok[n + j] && ok[2 * n + j];
        if (certain[j]) {
            for (int ch = 0; ch < 3; ++ch)
                out[ch][j] = static_cast<uint8_t>(d[ch * n + j]);
            bin[j] = histogramBin(static_cast<int64_t>(hOut[j]), static_cast<int64_t>(hOut[n + j]),
                                  static_cast<int64_t>(hOut[2 * n + j]));
        }
    }
}

// The portable loop on n <= kFastBlock 16-bit pixels given as arrays (raw colour-major,
// n apart), as mapPixels32Portable.
void mapPixels16Portable(const float* const lnR[3], const float* lum, const uint16_t* raw, int32_t n, const Blend16& bl,
                         uint8_t* const out[3], int32_t* bin, int32_t* certain)
{
    const double s = bl.saturation;
    float lr[3 * kFastBlock];
    double x[3 * kFastBlock], e[3 * kFastBlock], T[3 * kFastBlock], blend[3 * kFastBlock];
    int32_t d[3 * kFastBlock], ok[3 * kFastBlock];
    for (int ch = 0; ch < 3; ++ch)
        for (int32_t j = 0; j < n; ++j) {
            const int32_t i = ch * n + j;
            lr[i] = lnR[ch][j];
            x[i] = isFiniteFloat(lr[i]) ? s * static_cast<double>(lr[i]) : 0.0;
            T[i] = static_cast<double>(bl.localWeight * lum[j]);
            blend[i] = blendOf(bl, raw[i]);
        }
    tm_fast::expArray(x, e, static_cast<size_t>(3 * n));
    tm_cpu::run<mapSamples16Loop>(lr, e, T, blend, 3 * n, s, d, ok);
    for (int32_t j = 0; j < n; ++j) {
        certain[j] = ok[j] & ok[n + j] & ok[2 * n + j];
        for (int ch = 0; ch < 3; ++ch)
            out[ch][j] = static_cast<uint8_t>(d[ch * n + j]);
        bin[j] = histogramBin(d[j], d[n + j], d[2 * n + j]);
    }
}

// The pixels among the first `done` that a vector kernel left uncertain, once more
// through the portable loops: their double exponentials carry bounds a million times
// tighter than the kernel's single-precision ones, so that nearly all of them are
// settled there and only the rest go to the library. Updates bytes, bin and certain
// of the pixels it settles.
void secondLook32(const DisplayThresholds& thr, const float* lnB, const float* const lnR[3], const float* lum,
                  int32_t done, bool curve, double s, double k, float localWeight, uint8_t* const display[3],
                  int32_t* bin, int32_t* certain)
{
    int32_t at[kFastBlock];
    int32_t m = 0;
    for (int32_t j = 0; j < done; ++j)
        if (!certain[j])
            at[m++] = j;
    if (m == 0)
        return;
    float gB[kFastBlock], gR[3][kFastBlock], gL[kFastBlock];
    uint8_t bytes[3][kFastBlock];
    int32_t gBin[kFastBlock], gCertain[kFastBlock];
    for (int32_t i = 0; i < m; ++i) {
        gB[i] = lnB[at[i]];
        gL[i] = lum[at[i]];
        for (int ch = 0; ch < 3; ++ch)
            gR[ch][i] = lnR[ch][at[i]];
    }
    const float* const gRows[3] = {gR[0], gR[1], gR[2]};
    uint8_t* const out[3] = {bytes[0], bytes[1], bytes[2]};
    mapPixels32Portable(thr, gB, gRows, gL, m, curve, s, k, localWeight, out, gBin, gCertain);
    for (int32_t i = 0; i < m; ++i)
        if (gCertain[i]) {
            for (int ch = 0; ch < 3; ++ch)
                display[ch][at[i]] = bytes[ch][i];
            bin[at[i]] = gBin[i];
            certain[at[i]] = 1;
        }
}

// The same for 16-bit pixels (raw colour-major, n apart).
void secondLook16(const float* const lnR[3], const float* lum, const uint16_t* raw, int32_t n, int32_t done,
                  const Blend16& bl, uint8_t* const display[3], int32_t* bin, int32_t* certain)
{
    int32_t at[kFastBlock];
    int32_t m = 0;
    for (int32_t j = 0; j < done; ++j)
        if (!certain[j])
            at[m++] = j;
    if (m == 0)
        return;
    float gR[3][kFastBlock], gL[kFastBlock];
    uint16_t gRaw[3 * kFastBlock];
    uint8_t bytes[3][kFastBlock];
    int32_t gBin[kFastBlock], gCertain[kFastBlock];
    for (int32_t i = 0; i < m; ++i) {
        gL[i] = lum[at[i]];
        for (int ch = 0; ch < 3; ++ch) {
            gR[ch][i] = lnR[ch][at[i]];
            gRaw[ch * m + i] = raw[ch * n + at[i]];
        }
    }
    const float* const gRows[3] = {gR[0], gR[1], gR[2]};
    uint8_t* const out[3] = {bytes[0], bytes[1], bytes[2]};
    mapPixels16Portable(gRows, gL, gRaw, m, bl, out, gBin, gCertain);
    for (int32_t i = 0; i < m; ++i)
        if (gCertain[i]) {
            for (int ch = 0; ch < 3; ++ch)
                display[ch][at[i]] = bytes[ch][i];
            bin[at[i]] = gBin[i];
            certain[at[i]] = 1;
        }
}

} // namespace

int32_t TMMapPreviewOutput32WithTerms(int32_t W, int32_t H, int32_t pw, int32_t ph, const TMSampleLayout& layout,
                                      int32_t colorSaturation, float whiteClipPercent, float blackClipPercent,
                                      int32_t strength, double gamma, const TMPreviewStats* stats,
                                      const float* inSamples, const TMPreviewTermPlanes& planes, float* lum,
                                      int32_t* histogram, uint8_t* display, TMWorkers* workers)
{
    const OutputSettings set = clampOutputSettings(colorSaturation, whiteClipPercent, blackClipPercent, strength);
    const Curve32 cv = makeCurve32(TMBlendWeight32(set.strength), set.saturation, gamma, stats->rangeFactor);
    const PixelKernel32 kernel = pixelKernel32();
    // About 90 KB: 255 powers and a pass over the tables, negligible beside the pass.
    DisplayThresholds thresholds;
    if (previewTooSmall(W, H, pw, ph) || !curveUsable(cv) || !termsCover(planes, pw, ph, 4, true) ||
        !thresholds.init(gamma, kernel != nullptr))
        return TMMapPreviewOutput32Strided(W, H, pw, ph, layout, colorSaturation, whiteClipPercent, blackClipPercent,
                                           strength, gamma, stats, inSamples, lum, histogram, display, workers);
    const int32_t hi = TMNormaliseClipPoints(pw, ph, set.white, set.black, 1.0f, lum);
    if (hi < 0)
        return hi;

    const PlaneRoles p = planeRoles(layout.planes);
    const float fx = sourceRatio(W, pw), fy = sourceRatio(H, ph);
    const int64_t plane = static_cast<int64_t>(pw) * ph;
    const double s = cv.saturation;
    const bool curve = cv.k > 0.0f;
    const double k = cv.k;

    // Rows split over the team; each part counts its own bins.
    PartHistograms counts(mapParts(workers, pw, ph));
    TMForParts(workers, ph, counts.parts(), [&](int32_t part, int64_t rowBegin, int64_t rowEnd) {
        const int32_t from = static_cast<int32_t>(rowBegin), to = static_cast<int32_t>(rowEnd);
        int32_t certain[kFastBlock], bin[kFastBlock];
        // Four histograms (see sumPartialCounts).
        int32_t parts[4][TMPreviewHistogramBins] = {};
        for (int32_t r = from; r < std::min(to, planes.ph); ++r) {
            for (int32_t c0 = 0; c0 < pw; c0 += kFastBlock) {
                const int32_t n = std::min(kFastBlock, pw - c0);
                const int64_t at = static_cast<int64_t>(r) * pw + c0;
                const float* const lnB = planes.row(0, r) + c0;
                const float* const lnRAt[3] = {planes.row(1, r) + c0, planes.row(2, r) + c0, planes.row(3, r) + c0};
                uint8_t* const displayAt[3] = {display + at, display + plane + at, display + 2 * plane + at};
                const int32_t done = kernel ? kernel(thresholds, lnB, lum + at, lnRAt, n, curve, s, k, cv.localWeight,
                                                     displayAt, bin, certain, gamma == 1.0)
                                            : 0;
                if (done > 0)
                    secondLook32(thresholds, lnB, lnRAt, lum + at, done, curve, s, k, cv.localWeight, displayAt, bin,
                                 certain);
                if (done < n) {
                    const float* const lnRRest[3] = {lnRAt[0] + done, lnRAt[1] + done, lnRAt[2] + done};
                    uint8_t* const displayRest[3] = {displayAt[0] + done, displayAt[1] + done, displayAt[2] + done};
                    mapPixels32Portable(thresholds, lnB + done, lnRRest, lum + at + done, n - done, curve, s, k,
                                        cv.localWeight, displayRest, bin + done, certain + done);
                }
                for (int32_t j = 0; j < n; ++j) {
                    if (certain[j]) {
                        ++parts[j & 3][bin[j]];
                    } else {
                        float c[3];
                        sourcePixel(inSamples, layout, p, fx, fy, W, H, c0 + j, r, c);
                        const Pixel32 px = mapPreviewPixel32(cv, c, lum[at + j]);
                        for (int ch = 0; ch < 3; ++ch)
                            displayAt[ch][j] = px.display[ch];
                        ++parts[j & 3][px.bin];
                    }
                }
            }
        }
        // Rows whose terms did not fit (a preview too large for them all).
        if (to > planes.ph)
            mapRowsPlain32(cv, true, W, H, pw, ph, layout, inSamples, lum, std::max(from, planes.ph), to, parts[0],
                           display);
        sumPartialCounts(parts, counts.of(part));
    });
    counts.sumInto(histogram);
    return ph;
}

int32_t TMMapPreviewOutput16WithTerms(int32_t W, int32_t H, int32_t pw, int32_t ph, const TMSampleLayout& layout,
                                      int32_t colorSaturation, float whiteClipPercent, float blackClipPercent,
                                      int32_t strength, const float* lut, const uint16_t* inSamples,
                                      const TMPreviewTermPlanes& planes, float* lum, int32_t* histogram,
                                      uint8_t* display, TMWorkers* workers)
{
    if (previewTooSmall(W, H, pw, ph) || !termsCover(planes, pw, ph, 3, false))
        return TMMapPreviewOutput16Strided(W, H, pw, ph, layout, colorSaturation, whiteClipPercent, blackClipPercent,
                                           strength, lut, inSamples, lum, histogram, display, workers);
    const OutputSettings set = clampOutputSettings(colorSaturation, whiteClipPercent, blackClipPercent, strength);
    const int32_t hi = TMNormaliseClipPoints(pw, ph, set.white, set.black, 255.0f, lum);
    if (hi < 0)
        return hi;

    const Blend16 bl = makeBlend16(set);
    const PixelKernel16 kernel = pixelKernel16();
    const PlaneRoles p = planeRoles(layout.planes);
    const float fx = sourceRatio(W, pw), fy = sourceRatio(H, ph);
    const int64_t plane = static_cast<int64_t>(pw) * ph;
    PartHistograms counts(mapParts(workers, pw, ph));
    TMForParts(workers, ph, counts.parts(), [&](int32_t part, int64_t rowBegin, int64_t rowEnd) {
        uint16_t raw[3 * kFastBlock];
        int32_t bin[kFastBlock], certain[kFastBlock];
        int32_t parts[4][TMPreviewHistogramBins] = {};
        for (int32_t r = static_cast<int32_t>(rowBegin); r < rowEnd; ++r) {
            for (int32_t c0 = 0; c0 < pw; c0 += kFastBlock) {
                const int32_t n = std::min(kFastBlock, pw - c0);
                const int64_t at = static_cast<int64_t>(r) * pw + c0;
                uint8_t* const displayAt[3] = {display + at, display + plane + at, display + 2 * plane + at};
                const float* const lnR[3] = {planes.row(0, r) + c0, planes.row(1, r) + c0, planes.row(2, r) + c0};
                blockSamples16(planes, inSamples, layout, p, fx, fy, W, H, r, c0, n, raw);
                const int32_t done = kernel ? kernel(lnR, lum + at, raw, n, bl, displayAt, bin, certain) : 0;
                if (done > 0)
                    secondLook16(lnR, lum + at, raw, n, done, bl, displayAt, bin, certain);
                if (done < n) {
                    // The rest as a block of its own: its raw samples colour by colour.
                    uint16_t rest[3 * kFastBlock];
                    for (int ch = 0; ch < 3; ++ch)
                        std::memcpy(rest + ch * (n - done), raw + ch * n + done,
                                    static_cast<size_t>(n - done) * sizeof(uint16_t));
                    const float* const lnRRest[3] = {lnR[0] + done, lnR[1] + done, lnR[2] + done};
                    uint8_t* const displayRest[3] = {displayAt[0] + done, displayAt[1] + done, displayAt[2] + done};
                    mapPixels16Portable(lnRRest, lum + at + done, rest, n - done, bl, displayRest, bin + done,
                                        certain + done);
                }
                for (int32_t j = 0; j < n; ++j) {
                    if (!certain[j]) {
                        double q[3];
                        ratios16(lut, raw[j], raw[n + j], raw[2 * n + j], q);
                        const float t = bl.localWeight * lum[at + j];
                        for (int ch = 0; ch < 3; ++ch)
                            displayAt[ch][j] = libraryByte16(bl, q[ch], t, raw[ch * n + j]);
                        bin[j] = histogramBin(displayAt[0][j], displayAt[1][j], displayAt[2][j]);
                    }
                    ++parts[j & 3][bin[j]];
                }
            }
        }
        sumPartialCounts(parts, counts.of(part));
    });
    counts.sumInto(histogram);
    return ph;
}
