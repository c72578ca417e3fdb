// Output mapping: clip-point normalisation of the tone-mapped luminance, then colour
// from the input pixel's channel ratios, blended by Strength.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "cpu_dispatch.h"
#include "fast_math.h"
#include "luminance.h"
#include "output_curve.h"
#include "tm_engine.h"
#include "tm_workers.h"

using namespace tm_detail;

// The normalisation loops are compiled once per dispatch level (cpu_dispatch.h).
namespace {
constexpr int32_t kBins = 65536;
constexpr int kLanes = 16;       // independent running extremes, one vector's worth
constexpr int32_t kChunk = 1024; // cells whose bins are formed before they are counted
// Work worth handing to another thread: cells of a part of a pass over the buffer,
// pixels of a band of output rows.
constexpr int64_t kMinPartCells = 1 << 16;
constexpr int64_t kMinPartPixels = 1 << 14;

// The smallest and largest cell, NaN ignored, starting from 1e9 and -1e9, as one
// pass in order finds them. The lanes find the same values; only the sign of a zero
// extreme can depend on the order, and it changes no result: the maximum enters only
// as maxCell - minCell, and a cell minus either zero, scaled and mapped, rounds to
// the same value (the two differ only in the sign of a zero sum, which the gain's
// offset, itself a zero of the other sign then, absorbs).
TM_LOOP_BODY void cellRangeLoop(const float* lum, int64_t n, float* lowest, float* highest)
{
    // Independent running extremes in two vectors of eight lanes (GCC's vector
    // extension: one register each with AVX2, halves with SSE2, and wider types would
    // be split into scalars). The element-wise select is the scalar comparison's, NaN
    // included.
    typedef float Lanes __attribute__((vector_size(8 * sizeof(float))));
    static_assert(kLanes == 16, "two vectors of eight lanes");
    Lanes mx[2], mn[2];
    for (int h = 0; h < 2; ++h)
        for (int l = 0; l < 8; ++l) {
            mx[h][l] = -1.0e9f;
            mn[h][l] = 1.0e9f;
        }
    int64_t i = 0;
    for (; i + kLanes <= n; i += kLanes)
        for (int h = 0; h < 2; ++h) {
            Lanes v;
            std::memcpy(&v, lum + i + 8 * h, sizeof v);
            mx[h] = v > mx[h] ? v : mx[h];
            mn[h] = v < mn[h] ? v : mn[h];
        }
    float maxCell = -1.0e9f, minCell = 1.0e9f;
    for (int l = 0; l < kLanes; ++l) {
        if (mx[l / 8][l % 8] > maxCell)
            maxCell = mx[l / 8][l % 8];
        if (mn[l / 8][l % 8] < minCell)
            minCell = mn[l / 8][l % 8];
    }
    for (; i < n; ++i) {
        const float v = lum[i];
        if (v > maxCell)
            maxCell = v;
        if (v < minCell)
            minCell = v;
    }
    *lowest = minCell;
    *highest = maxCell;
}

constexpr int32_t kCoarse = 256; // coarse bins of 256 bins each: the high byte of a bin

// A bin of a rescaled cell. v lies in 0..65535 up to rounding; the clamp keeps the
// bin in range.
inline int32_t binOf(float v) { return std::clamp(static_cast<int32_t>(std::clamp(v, 0.0f, 65535.0f)), 0, kBins - 1); }

// lum = (lum - minCell) scale in place, with the count of each coarse bin. Four
// partial counts: neighbours often share a coarse bin, and one array would make
// each increment wait for the one before.
TM_LOOP_BODY void rescaleAndCountLoop(float* lum, int64_t n, float minCell, float scale, int64_t* coarse)
{
    int32_t parts[4][kCoarse] = {};
    int32_t index[kChunk];
    for (int64_t at = 0; at < n; at += kChunk) {
        const int32_t m = static_cast<int32_t>(std::min<int64_t>(kChunk, n - at));
        for (int32_t j = 0; j < m; ++j) {
            const float v = (lum[at + j] - minCell) * scale;
            lum[at + j] = v;
            index[j] = binOf(v) >> 8;
        }
        for (int32_t j = 0; j < m; ++j)
            ++parts[j & 3][index[j]];
        // Flushed per chunk, so no partial count can overflow.
        for (int32_t c = 0; c < kCoarse; ++c) {
            coarse[c] += parts[0][c] + parts[1][c] + parts[2][c] + parts[3][c];
            parts[0][c] = parts[1][c] = parts[2][c] = parts[3][c] = 0;
        }
    }
}

// The 256 bins of coarse bins lowC and highC (either may be -1: not wanted).
TM_LOOP_BODY void countFineBinsLoop(const float* lum, int64_t n, int32_t lowC, int32_t highC, int64_t* lowBins,
                                    int64_t* highBins)
{
    int32_t index[kChunk];
    for (int64_t at = 0; at < n; at += kChunk) {
        const int32_t m = static_cast<int32_t>(std::min<int64_t>(kChunk, n - at));
        for (int32_t j = 0; j < m; ++j)
            index[j] = binOf(lum[at + j]);
        for (int32_t j = 0; j < m; ++j) {
            const int32_t c = index[j] >> 8;
            if (c == lowC)
                ++lowBins[index[j] & 255];
            if (c == highC)
                ++highBins[index[j] & 255];
        }
    }
}

TM_LOOP_BODY void applyGainLoop(float* lum, int64_t n, float a, float b)
{
    for (int64_t i = 0; i < n; ++i)
        lum[i] = a * lum[i] + b;
}

// The black and white bins of a histogram whose coarse counts are given.
struct ClipBins {
    int32_t lo, hi;
};

// lo: the first bin at which the count of all bins below reaches blackCount (at most
// the last bin but one); hi: counting down from the last bin while more than
// whiteCount cells remain at or below it (at least bin 0). Whole coarse bins are
// passed over where the walk bin by bin could not stop inside them; only the coarse
// bin where it stops (or the cap's, at either end) is counted bin by bin, by
// fineBins(lowC, highC, lowBins, highBins) (lowC or highC -1: not wanted).
template <typename FineBins>
ClipBins searchClipBins(const int64_t* coarse, int64_t n, int64_t blackCount, int64_t whiteCount, FineBins fineBins)
{
    int32_t lo = 0, lowC = -1;
    int64_t lowCount = 0;
    if (blackCount > 0) {
        lowC = 0;
        while (lowC < kCoarse - 1 && lowCount + coarse[lowC] < blackCount)
            lowCount += coarse[lowC++];
        lo = lowC * 256;
    }
    int32_t hi = kBins - 1, highC = -1;
    int64_t highCount = n;
    if (highCount > whiteCount) {
        highC = kCoarse - 1;
        while (highC > 0 && highCount - coarse[highC] > whiteCount)
            highCount -= coarse[highC--];
        hi = highC * 256 + 255;
    }
    if (lowC >= 0 || highC >= 0) {
        int64_t lowBins[256] = {}, highBins[256] = {};
        fineBins(lowC, highC, lowBins, highBins);
        for (; lowC >= 0 && lowCount < blackCount && lo < kBins - 1; ++lo)
            lowCount += lowBins[lo - lowC * 256];
        for (; highC >= 0 && highCount > whiteCount && hi > 0; --hi)
            highCount -= highBins[hi - highC * 256];
    }
    return ClipBins{lo, hi};
}

// The bin of a rescaled cell in a histogram of `zoom` bins per unit (zoom 1: binOf),
// limited to the bins; NaN gives bin 0.
inline int32_t zoomedBin(float v, double zoom)
{
    const double b = static_cast<double>(v) * zoom;
    return b >= kBins - 1 ? kBins - 1 : b > 0.0 ? static_cast<int32_t>(b) : 0;
}

// The clip points of a rescaled buffer (cells (v - min) scale, 0..65535) whose white
// bin is bin 0: more than whiteCount cells lie in bins 0 and 1, so the white point is
// among them, within two bins of the whole range from the bottom. This happens when
// a few cells lie far above all others (one extreme pixel). The same search is then
// run on a histogram of just those cells (from 0 to the largest of them, the cells
// above counted in its last bin), again while its white bin is 0; the mapping follows
// the bins found, in double and limited to the float range. Each round narrows the
// range by at least 32,767, so the rounds end within a dozen: with no range left among
// the cells the buffer is flat between the clip points.
int32_t refineLowestBins(float* lum, int64_t n, int64_t blackCount, int64_t whiteCount, float G)
{
    double zoom = 1.0;
    ClipBins bins{0, 0};
    while (bins.hi == 0) {
        float top = 0.0f;
        for (int64_t i = 0; i < n; ++i)
            if (zoomedBin(lum[i], zoom) < 2 && lum[i] > top)
                top = lum[i];
        if (!(top > 0.0f))
            return TMErrFlat;
        zoom = (kBins - 1) / static_cast<double>(top);
        int64_t coarse[kCoarse] = {};
        for (int64_t i = 0; i < n; ++i)
            ++coarse[zoomedBin(lum[i], zoom) >> 8];
        bins = searchClipBins(coarse, n, blackCount, whiteCount,
                              [&](int32_t lowC, int32_t highC, int64_t* lowBins, int64_t* highBins) {
                                  for (int64_t i = 0; i < n; ++i) {
                                      const int32_t b = zoomedBin(lum[i], zoom);
                                      if (b >> 8 == lowC)
                                          ++lowBins[b & 255];
                                      if (b >> 8 == highC)
                                          ++highBins[b & 255];
                                  }
                              });
    }
    const double black = bins.lo / zoom;
    const double gain = G * zoom / bins.hi; // G / (white - black), white = black + hi / zoom
    constexpr double kLargest = 3.4028234663852886e38;
    for (int64_t i = 0; i < n; ++i)
        lum[i] = static_cast<float>(std::min((lum[i] - black) * gain, kLargest));
    return bins.hi;
}
} // namespace

bool TMHasMappablePixel(int32_t W, int32_t H, const TMSampleLayout& layout, const float* samples)
{
    const PlaneRoles p = planeRoles(layout.planes);
    for (int32_t y = 0; y < H; ++y) {
        const float* px = rowAt(samples, layout.rowBytes, y);
        for (int32_t x = 0; x < W; ++x, px += layout.pixelStride) {
            const float c[3] = {px[p.red], px[p.green], px[p.blue]};
            if (mappablePixel(c))
                return true;
        }
    }
    return false;
}

TMOutputSettings TMLimitOutputSettings(int32_t colorSaturation, float whiteClipPercent, float blackClipPercent,
                                       int32_t strength)
{
    TMOutputSettings s;
    s.colorSaturation = std::clamp(colorSaturation, 20, 100);
    s.saturation = s.colorSaturation / 100.0;
    s.white = std::clamp(whiteClipPercent, 0.0f, 10.0f);
    s.black = std::clamp(blackClipPercent, 0.0f, 10.0f);
    s.strength = std::clamp(strength, 0, 100);
    // 0.9 at Strength 0, 0 at 100.
    s.blend32 = static_cast<float>(100 - s.strength) * 0.009f;
    // 0.76 at 0, 0.456 at 40, then a second line that never reaches 0 (0.14994 at 100).
    s.blend16 = s.strength <= 40 ? static_cast<float>(100 - s.strength) * 0.0076f
                                 : (129.4f - static_cast<float>(s.strength)) * 0.0051f;
    return s;
}

float TMBlendWeight32(int32_t strength) { return TMLimitOutputSettings(100, 0.0f, 0.0f, strength).blend32; }

float TMBlendWeight16(int32_t strength) { return TMLimitOutputSettings(100, 0.0f, 0.0f, strength).blend16; }

namespace {

// The normalisation of TMNormaliseClipPoints as a gain: cell -> a cell + b in float,
// or already applied in place (the refined clip points map in double).
struct ClipGain {
    bool applied;
    float a, b;
};

// Per-part tables of a threaded pass: `parts` entries of T, or none when they cannot
// be had (the pass then runs as one part).
template <typename T>
struct PartTable {
    T* at = nullptr;
    explicit PartTable(int32_t parts)
    {
        if (parts > 1)
            at = static_cast<T*>(std::calloc(static_cast<size_t>(parts), sizeof(T)));
    }
    ~PartTable() { std::free(at); }
    PartTable(const PartTable&) = delete;
    PartTable& operator=(const PartTable&) = delete;
};

struct CellRange {
    float lowest, highest;
};
struct CoarseCounts {
    int64_t count[kCoarse];
};
struct FineCounts {
    int64_t low[256], high[256];
};

int32_t findClipGain(int32_t workWidth, int32_t H, float whiteClipPercent, float blackClipPercent, float G, float* lum,
                     ClipGain* gain, TMWorkers* workers)
{
    *gain = ClipGain{true, 1.0f, 0.0f};
    const int64_t n = static_cast<int64_t>(workWidth) * H;
    // The passes split the cells into the same parts; each part's extremes and counts
    // are combined in part order. Counts are integers, so their sums are exact; the
    // extremes of the parts, compared as one pass compares its cells, give that pass's
    // extremes (up to the sign of a zero extreme, see cellRangeLoop).
    int32_t parts = TMPartsOn(workers, n, kMinPartCells);
    PartTable<CellRange> ranges(parts);
    PartTable<CoarseCounts> coarseParts(parts);
    PartTable<FineCounts> fineParts(parts);
    if (!ranges.at || !coarseParts.at || !fineParts.at)
        parts = 1;

    float maxCell, minCell;
    if (parts == 1) {
        tm_cpu::run<cellRangeLoop>(lum, n, &minCell, &maxCell);
    } else {
        TMForParts(workers, n, parts, [&](int32_t part, int64_t begin, int64_t end) {
            CellRange& r = ranges.at[part];
            tm_cpu::run<cellRangeLoop>(lum + begin, end - begin, &r.lowest, &r.highest);
        });
        maxCell = -1.0e9f;
        minCell = 1.0e9f;
        for (int32_t part = 0; part < parts; ++part) {
            if (ranges.at[part].highest > maxCell)
                maxCell = ranges.at[part].highest;
            if (ranges.at[part].lowest < minCell)
                minCell = ranges.at[part].lowest;
        }
    }
    if (!(maxCell > minCell))
        return TMErrFlat;
    const float scale = 65535.0f / (maxCell - minCell);

    int64_t coarse[kCoarse] = {};
    if (parts == 1) {
        tm_cpu::run<rescaleAndCountLoop>(lum, n, minCell, scale, coarse);
    } else {
        TMForParts(workers, n, parts, [&](int32_t part, int64_t begin, int64_t end) {
            tm_cpu::run<rescaleAndCountLoop>(lum + begin, end - begin, minCell, scale, coarseParts.at[part].count);
        });
        for (int32_t part = 0; part < parts; ++part)
            for (int32_t c = 0; c < kCoarse; ++c)
                coarse[c] += coarseParts.at[part].count[c];
    }

    // Clip thresholds in cells. The black figure is divided by 200, the white by 100.
    const float cells = static_cast<float>(workWidth);
    const int64_t blackCount = static_cast<int64_t>(blackClipPercent / 200.0f * cells * static_cast<float>(H));
    const int64_t whiteCount =
        static_cast<int64_t>((100.0f - whiteClipPercent) / 100.0f * cells * static_cast<float>(H));

    const ClipBins bins = searchClipBins(
        coarse, n, blackCount, whiteCount, [&](int32_t lowC, int32_t highC, int64_t* lowBins, int64_t* highBins) {
            if (parts == 1) {
                tm_cpu::run<countFineBinsLoop>(lum, n, lowC, highC, lowBins, highBins);
                return;
            }
            TMForParts(workers, n, parts, [&](int32_t part, int64_t begin, int64_t end) {
                FineCounts& f = fineParts.at[part];
                tm_cpu::run<countFineBinsLoop>(lum + begin, end - begin, lowC, highC, f.low, f.high);
            });
            for (int32_t part = 0; part < parts; ++part)
                for (int32_t b = 0; b < 256; ++b) {
                    lowBins[b] += fineParts.at[part].low[b];
                    highBins[b] += fineParts.at[part].high[b];
                }
        });
    if (bins.hi == 0)
        return refineLowestBins(lum, n, blackCount, whiteCount, G);
    const int32_t lo = bins.lo, hi = bins.hi;

    const float black = minCell + static_cast<float>(lo) / scale;
    const float white = black + static_cast<float>(hi) / scale;
    const float g = G / (white - black);
    // A clip range lost to rounding (hi bins beside a far larger black level) has no
    // finite gain: the buffer is flat between the clip points.
    if (!isFiniteFloat(g) || !(g > 0.0f))
        return TMErrFlat;
    *gain = ClipGain{false, g / scale, (minCell - black) * g};
    return hi;
}

// A normalised cell: the gain's arithmetic exactly as applyGainLoop performs it.
inline float gained(const ClipGain& gain, float cell) { return gain.applied ? cell : gain.a * cell + gain.b; }

} // namespace

int32_t TMNormaliseClipPoints(int32_t workWidth, int32_t H, float whiteClipPercent, float blackClipPercent, float G,
                              float* lum, TMWorkers* workers)
{
    ClipGain gain;
    const int32_t hi = findClipGain(workWidth, H, whiteClipPercent, blackClipPercent, G, lum, &gain, workers);
    if (hi >= 0 && !gain.applied) {
        const int64_t n = static_cast<int64_t>(workWidth) * H;
        TMForParts(workers, n, TMPartsOn(workers, n, kMinPartCells), [&](int32_t, int64_t begin, int64_t end) {
            tm_cpu::run<applyGainLoop>(lum + begin, end - begin, gain.a, gain.b);
        });
    }
    return hi;
}

namespace {

// The bodies of fastCurveBase and fastBlendedLuminance, compiled into each level's
// copy of their callers. Every loop is branch-free; the rare library fallbacks run in
// loops of their own so that they do not keep the others from vectorising. Flag is
// the type of the per-pixel marks: bool for the callers outside, int64_t (as wide as
// a double lane) for the float output's own blocks.
template <typename Flag>
TM_LOOP_BODY void curveBaseBody(const Curve32& cv, const float* Y, const Flag* exact, int32_t n, double* B)
{
    constexpr double E = tm_fast::kFastMathError;
    double q[kFastBlock] = {}; // zeroed: the compiler cannot see that only n entries are read
    double p23[kFastBlock], la1[kFastBlock], la2[kFastBlock];
    int64_t redo[kFastBlock];
    // Arithmetic that a select discards is still done, for every lane: the compiler
    // keeps a conditional floating-point operation out of a vector loop.
    for (int32_t j = 0; j < n; ++j) {
        const double yInv = static_cast<double>(Y[j] * cv.inv);
        q[j] = exact[j] ? 1.0 : yInv;
    }
    tm_fast::powArray(q, 0.23, p23, static_cast<size_t>(n));
    int64_t anyRedo = 0;
    for (int32_t j = 0; j < n; ++j) {
        // a2 is rounded to float: take the fast value only when that is certain.
        const double a = 8.0 * p23[j] + 2.0;
        redo[j] = tm_fast::roundsToSameFloat(a, 4 * E) ? 0 : 1;
        anyRedo |= redo[j];
        la1[j] = static_cast<double>(Y[j] + 1.0f);
        la2[j] = static_cast<double>(static_cast<float>(a));
    }
    if (anyRedo)
        for (int32_t j = 0; j < n; ++j)
            if (redo[j])
                la2[j] = static_cast<double>(static_cast<float>(8.0 * std::pow(q[j], 0.23) + 2.0));
    tm_fast::logArray(la1, la1, static_cast<size_t>(n));
    tm_fast::logArray(la2, la2, static_cast<size_t>(n));
    for (int32_t j = 0; j < n; ++j)
        B[j] = cv.ratio * la1[j] / la2[j];
}

template <typename Flag>
TM_LOOP_BODY void blendedLuminanceBody(const Curve32& cv, const float* Y, const float* L0, Flag* exact, int32_t n,
                                       double* L, double* errL)
{
    constexpr double E = tm_fast::kFastMathError;
    constexpr double ulp = 2.220446049250313e-16;
    if (cv.k > 0.0f) {
        double q[kFastBlock] = {}, B[kFastBlock], PB[kFastBlock];
        curveBaseBody(cv, Y, exact, n, B);
        for (int32_t j = 0; j < n; ++j)
            q[j] = B[j] > 0.0 ? B[j] : 1.0;
        tm_fast::powArray(q, cv.saturation, PB, static_cast<size_t>(n));
        const double errPB = cv.saturation * (2 * E + 4 * ulp) + E;
        for (int32_t j = 0; j < n; ++j) {
            // B is 0 exactly when Y + 1 rounds to 1; its power is then 0 in both paths.
            const double kPB = static_cast<double>(cv.k) * PB[j];
            const double kP = B[j] > 0.0 ? kPB : 0.0;
            // Not bounded: a negative or NaN base, or a power that is not finite (kP - kP
            // is NaN for those).
            exact[j] = exact[j] | (B[j] >= 0.0 ? 0 : 1) | (kP - kP == 0.0 ? 0 : 1);
            L[j] = kP + static_cast<double>(cv.localWeight * L0[j]);
            errL[j] = kP * errPB + (L[j] < 0 ? -L[j] : L[j]) * ulp;
        }
    } else {
        for (int32_t j = 0; j < n; ++j) {
            L[j] = L0[j];
            errL[j] = 0.0;
        }
    }
}

} // namespace

namespace tm_detail {

void fastCurveBase(const Curve32& cv, const float* Y, const bool* exact, int32_t n, double* B)
{
    tm_cpu::run<curveBaseBody<bool>>(cv, Y, exact, n, B);
}

void fastBlendedLuminance(const Curve32& cv, const float* Y, const float* L0, bool* exact, int32_t n, double* L,
                          double* errL)
{
    tm_cpu::run<blendedLuminanceBody<bool>>(cv, Y, L0, exact, n, L, errL);
}

} // namespace tm_detail

namespace {

// One output pixel from its input samples and normalised luminance L0, with the
// library functions. This is the definition of the result; the block path below
// produces the same values faster.
void mapPixel32(const Curve32& cv, const float c[3], float L0, float result[3])
{
    const float Y = outputLuminance(c[0], c[1], c[2]);
    double L, ratioC[3];
    if (!pixelTerms(cv, c, Y, L0, &L, ratioC)) {
        result[0] = result[1] = result[2] = 0.0f;
        return;
    }
    for (int ch = 0; ch < 3; ++ch) {
        const double t = ratioC[ch] * L;
        // t >= 1 gives a power of at least 1 for gamma > 0, which is clipped to 1.
        double v = 0.0;
        if (t >= 1.0 && cv.gamma > 0.0)
            v = 1.0;
        else if (t > 0.0)
            v = std::min(std::pow(t, cv.gamma), 1.0);
        result[ch] = static_cast<float>(v);
    }
}

// Pixels per block of the vectorised path.
constexpr int32_t kBlock = kFastBlock;

// Maps n pixels (samples c[ch kBlock + j] by channel, luminance L0[n]) into
// result[ch kBlock + j] with the fast functions, tracking a bound on the relative
// distance of every intermediate from what mapPixel32 computes. A pixel whose result
// is not certain to round to the same floats, or that meets a decision (t >= 1,
// t > 0) within its error bound, is handed to mapPixel32. Every loop but the last is
// branch-free over arrays of one lane width, so that each vectorises.
TM_LOOP_BODY void mapBlock32(const Curve32& cv, const float* c, const float* L0, int32_t n, float* result)
{
    constexpr double E = tm_fast::kFastMathError;
    constexpr double ulp = 2.220446049250313e-16;
    const float* cr = c;
    const float* cg = c + kBlock;
    const float* cb = c + 2 * kBlock;
    double L[kBlock], errL[kBlock];
    float Y[kBlock] = {};  // zeroed: the compiler cannot see that only n entries are read
    int64_t exact[kBlock]; // 1: leave the pixel to mapPixel32

    for (int32_t j = 0; j < n; ++j) {
        Y[j] = outputLuminance(cr[j], cg[j], cb[j]);
        exact[j] = (Y[j] > 0.0f) & (Y[j] <= 3.40282347e38f) ? 0 : 1;
    }
    blendedLuminanceBody(cv, Y, L0, exact, n, L, errL);

    // Channels: t = (c / Y)^s L and the result t^gamma, both through logarithms:
    // ln t = s ln(c / Y) + ln L, result exp(gamma ln t). lnL[j] is ln L where L is
    // certainly positive; where L is certainly not positive every t is not positive.
    // Channel arrays hold channel ch of pixel j at ch n + j.
    double lnL[kBlock], relL[kBlock], lnRatio[3 * kBlock];
    int64_t nonPositiveL[kBlock];
    for (int32_t j = 0; j < n; ++j) {
        // Positive with a relative error below 1/4, so that |ln(1 + e)| < 2 |e|.
        const bool nonPositive = L[j] + 2 * errL[j] <= 0.0;
        const bool positive = L[j] - 4 * errL[j] > 0.0;
        nonPositiveL[j] = nonPositive ? 1 : 0;
        exact[j] |= (positive | nonPositive) ? 0 : 1; // the sign of L is not certain
        lnL[j] = positive ? L[j] : 1.0;
        const double absL = L[j] < 0 ? -L[j] : L[j];
        // Divided unconditionally (and selected after), so that the loop vectorises.
        const double rel = errL[j] / (absL > 0.0 ? absL : 1.0);
        relL[j] = absL > 0.0 ? rel : 0.0;
    }
    for (int ch = 0; ch < 3; ++ch) {
        const float* cc = c + ch * kBlock;
        double* ratio = lnRatio + ch * n;
        for (int32_t j = 0; j < n; ++j) {
            const double q = cc[j] / Y[j]; // the float quotient
            ratio[j] = (exact[j] == 0) & (cc[j] > 0.0f) ? q : 1.0;
        }
    }
    tm_fast::logArray(lnRatio, lnRatio, static_cast<size_t>(3 * n));
    tm_fast::logArray(lnL, lnL, static_cast<size_t>(n));

    // Per channel, without branches: V holds the decided result (0 or 1), or scaled
    // holds gamma ln t for a result strictly inside (0, 1) with its relative bound;
    // undecided marks t too close to 1 to decide here.
    const double gamma = cv.gamma, sat = cv.saturation;
    double scaled[3 * kBlock], bound[3 * kBlock], V[3 * kBlock], tIn[3 * kBlock];
    int64_t undecided[kBlock];
    for (int32_t j = 0; j < n; ++j)
        undecided[j] = 0;
    for (int ch = 0; ch < 3; ++ch) {
        const float* cc = c + ch * kBlock;
        for (int32_t j = 0; j < n; ++j) {
            const int32_t i = ch * n + j;
            const double a = sat * lnRatio[i], b = lnL[j];
            const double lnT = a + b;
            const double size = (a < 0 ? -a : a) + (b < 0 ? -b : b);
            // Distance of lnT from ln t of the library path: both logarithms, the
            // difference of L, the library's rounding of (c/Y)^s and of the product.
            const double err = size * (E + 4 * ulp) + 2 * relL[j] + 4 * ulp + 2 * E;
            // t is 0 or negative: result 0.
            const bool live = !(exact[j] | nonPositiveL[j]) & (cc[j] > 0.0f);
            const bool one = live & (lnT - err > 0.0); // t > 1: clipped to 1
            const bool inside = live & (lnT + err < 0.0);
            undecided[j] |= (live & !one & !inside) ? 1 : 0;
            const double g = gamma * lnT;
            scaled[i] = inside ? g : 0.0;
            bound[i] = inside ? 2 * (gamma * err + (g < 0 ? -g : g) * ulp + 2 * E) : 0.0;
            V[i] = one ? 1.0 : 0.0;
        }
    }
    tm_fast::expArray(scaled, tIn, static_cast<size_t>(3 * n));
    int64_t rejected[kBlock];
    for (int32_t j = 0; j < n; ++j)
        rejected[j] = exact[j] | undecided[j];
    for (int ch = 0; ch < 3; ++ch) {
        float* out = result + ch * kBlock;
        for (int32_t j = 0; j < n; ++j) {
            const int32_t i = ch * n + j;
            const double v = tIn[i], b = bound[i];
            const bool fast = b > 0.0;
            const bool ok = tm_fast::roundsToSameFloat(v, b) & (v * (1 + b) < 1.0);
            rejected[j] |= (fast & !ok) ? 1 : 0;
            out[j] = static_cast<float>(fast ? v : V[i]);
        }
    }

    for (int32_t j = 0; j < n; ++j)
        if (rejected[j]) {
            const float px[3] = {cr[j], cg[j], cb[j]};
            float mapped[3];
            mapPixel32(cv, px, L0[j], mapped);
            for (int ch = 0; ch < 3; ++ch)
                result[ch * kBlock + j] = mapped[ch];
        }
}

} // namespace

namespace {

// Everything the float output needs to map a band of rows.
struct Map32Job {
    int32_t W, workWidth, pad;
    TMSampleLayout inLayout, outLayout;
    Curve32 cv;
    bool blocks; // the block path's constants are usable
    ClipGain gain;
    const float* inSamples;
    float* lum;
    float* outSamples;
};

// Rows y0..y1-1 of the float output. Each pixel depends on its own samples and cell
// only, so any split into bands gives the same bytes.
TM_LOOP_BODY void mapRows32(const Map32Job& job, int32_t y0, int32_t y1)
{
    const PlaneRoles pin = planeRoles(job.inLayout.planes);
    const PlaneRoles pout = planeRoles(job.outLayout.planes);
    const bool packedIn = job.inLayout.pixelStride == 3 && pin.red == 0 && pin.green == 1 && pin.blue == 2;
    const bool packedOut = job.outLayout.pixelStride == 3 && pout.red == 0 && pout.green == 1 && pout.blue == 2;
    const int32_t W = job.W;
    float c[3 * kBlock], L0[kBlock], result[3 * kBlock]; // samples and results by channel
    for (int32_t y = y0; y < y1; ++y) {
        const float* src = rowAt(job.inSamples, job.inLayout.rowBytes, y);
        float* dst = rowAt(job.outSamples, job.outLayout.rowBytes, y);
        float* cells = job.lum + static_cast<int64_t>(y) * job.workWidth + job.pad;
        for (int32_t x0 = 0; x0 < W; x0 += kBlock) {
            const int32_t n = std::min(kBlock, W - x0);
            if (packedIn) {
                // Interleaved red, green, blue: a constant stride the compiler can
                // vectorise.
                const float* px = src + 3 * static_cast<int64_t>(x0);
                for (int32_t j = 0; j < n; ++j) {
                    c[j] = px[3 * j];
                    c[kBlock + j] = px[3 * j + 1];
                    c[2 * kBlock + j] = px[3 * j + 2];
                }
            } else {
                for (int32_t j = 0; j < n; ++j) {
                    const float* px = src + static_cast<int64_t>(x0 + j) * job.inLayout.pixelStride;
                    c[j] = px[pin.red];
                    c[kBlock + j] = px[pin.green];
                    c[2 * kBlock + j] = px[pin.blue];
                }
            }
            if (job.gain.applied)
                std::copy(cells + x0, cells + x0 + n, L0);
            else
                for (int32_t j = 0; j < n; ++j)
                    cells[x0 + j] = L0[j] = job.gain.a * cells[x0 + j] + job.gain.b;
            if (job.blocks) {
                mapBlock32(job.cv, c, L0, n, result);
            } else {
                for (int32_t j = 0; j < n; ++j) {
                    const float px[3] = {c[j], c[kBlock + j], c[2 * kBlock + j]};
                    float mapped[3];
                    mapPixel32(job.cv, px, L0[j], mapped);
                    for (int ch = 0; ch < 3; ++ch)
                        result[ch * kBlock + j] = mapped[ch];
                }
            }
            if (packedOut) {
                float* out = dst + 3 * static_cast<int64_t>(x0);
                for (int32_t j = 0; j < n; ++j) {
                    out[3 * j] = result[j];
                    out[3 * j + 1] = result[kBlock + j];
                    out[3 * j + 2] = result[2 * kBlock + j];
                }
            } else {
                // Written in the order red, green, blue: with one plane the blue value
                // stays.
                for (int32_t j = 0; j < n; ++j) {
                    float* out = dst + static_cast<int64_t>(x0 + j) * job.outLayout.pixelStride;
                    out[pout.red] = result[j];
                    out[pout.green] = result[kBlock + j];
                    out[pout.blue] = result[2 * kBlock + j];
                }
            }
        }
    }
}

} // namespace

int32_t TMMapOutput32Strided(int32_t W, int32_t H, const TMSampleLayout& inLayout, const TMSampleLayout& outLayout,
                             int32_t pad, const TMOutputSettings& set, double gamma, const TMImageStats* stats,
                             const float* inSamples, float* lum, float* outSamples, TMWorkers* workers)
{
    const int32_t workWidth = W + 2 * pad;
    // The gain is applied as each row is mapped, one pass over the cells less; lum is
    // left normalised in the image columns (the wrap margins keep their rescaled cells).
    ClipGain gain;
    const int32_t hi = findClipGain(workWidth, H, set.white, set.black, 1.0f, lum, &gain, workers);
    if (hi < 0)
        return hi;

    const Curve32 cv = makeCurve32(set.blend32, set.saturation, gamma, stats->rangeFactor);
    // The block path assumes a positive exponent and finite curve constants.
    const bool blocks = gamma > 0.0 && std::isfinite(gamma) && std::isfinite(cv.ratio) && isFiniteFloat(cv.inv);
    const Map32Job job{W, workWidth, pad, inLayout, outLayout, cv, blocks, gain, inSamples, lum, outSamples};
    TMForParts(workers, H, TMPartsOn(workers, H, (kMinPartPixels + W - 1) / W),
               [&](int32_t, int64_t begin, int64_t end) {
                   tm_cpu::run<mapRows32>(job, static_cast<int32_t>(begin), static_cast<int32_t>(end));
               });
    return hi;
}

int32_t TMMapOutput32Strided(int32_t W, int32_t H, const TMSampleLayout& inLayout, const TMSampleLayout& outLayout,
                             int32_t pad, int32_t colorSaturation, float whiteClipPercent, float blackClipPercent,
                             int32_t strength, double gamma, const TMImageStats* stats, const float* inSamples,
                             float* lum, float* outSamples)
{
    return TMMapOutput32Strided(W, H, inLayout, outLayout, pad,
                                TMLimitOutputSettings(colorSaturation, whiteClipPercent, blackClipPercent, strength),
                                gamma, stats, inSamples, lum, outSamples);
}

int32_t TMMapOutput32(int32_t W, int32_t H, int32_t planes, int32_t pad, int32_t colorSaturation,
                      float whiteClipPercent, float blackClipPercent, int32_t strength, double gamma,
                      const TMImageStats* stats, const float* inSamples, float* lum, float* outSamples)
{
    const TMSampleLayout layout = TMPackedLayout(W, planes, sizeof(float));
    return TMMapOutput32Strided(W, H, layout, layout, pad, colorSaturation, whiteClipPercent, blackClipPercent,
                                strength, gamma, stats, inSamples, lum, outSamples);
}

namespace {

// Everything the 16-bit output needs to map a band of rows.
struct Map16Job {
    int32_t W, workWidth, pad;
    TMSampleLayout inLayout, outLayout;
    float k;          // weight of the input samples
    float localScale; // (1 - k) 128.5: the normalised range 0..255 spans the host's 0..32768
    double saturation;
    ClipGain gain;
    const float* lut;
    const uint16_t* inSamples;
    float* lum;
    uint16_t* outSamples;
};

// The host sample of a blended value: limited to 0..32768 (NaN: 0), truncated.
// Written as selects, so that the loops calling it vectorise.
inline int32_t sampleOf(double v)
{
    const double high = v > 32768.0 ? 32768.0 : v;
    return static_cast<int32_t>(high >= 0.0 ? high : 0.0);
}

// Rows y0..y1-1 of the 16-bit output; each pixel depends on its own samples and cell.
TM_LOOP_BODY void mapRows16(const Map16Job& job, int32_t y0, int32_t y1)
{
    const int32_t W = job.W;
    const float k = job.k, localScale = job.localScale;
    const double sat = job.saturation;
    const float* lut = job.lut;
    const PlaneRoles pin = planeRoles(job.inLayout.planes);
    const PlaneRoles pout = planeRoles(job.outLayout.planes);
    constexpr int32_t kBlock16 = 256;
    double ratio[3 * kBlock16], power[3 * kBlock16];
    float samples[3 * kBlock16], T[kBlock16];
    int32_t result[3 * kBlock16], redo[3 * kBlock16];
    for (int32_t y = y0; y < y1; ++y) {
        const uint16_t* src = rowAt(job.inSamples, job.inLayout.rowBytes, y);
        uint16_t* dst = rowAt(job.outSamples, job.outLayout.rowBytes, y);
        float* cells = job.lum + static_cast<int64_t>(y) * job.workWidth + job.pad;
        for (int32_t x0 = 0; x0 < W; x0 += kBlock16) {
            const int32_t n = std::min(kBlock16, W - x0);
            // Colour ratios c' / Y of the linearised samples, by channel (channel ch of
            // pixel j at ch n + j); their powers come from the fast path and are
            // checked against the truncation below.
            for (int32_t j = 0; j < n; ++j) {
                const uint16_t* px = src + static_cast<int64_t>(x0 + j) * job.inLayout.pixelStride;
                const uint16_t raw[3] = {px[pin.red], px[pin.green], px[pin.blue]};
                const float lin[3] = {lut[raw[0]], lut[raw[1]], lut[raw[2]]};
                const float Y = 0.3f * lin[0] + 0.6f * lin[1] + 0.1f * lin[2];
                for (int ch = 0; ch < 3; ++ch) {
                    samples[ch * n + j] = static_cast<float>(raw[ch]);
                    ratio[ch * n + j] = Y > 0.0f ? static_cast<double>(lin[ch] / Y) : 0.0;
                }
            }
            tm_fast::powArray(ratio, sat, power, static_cast<size_t>(3 * n));
            for (int32_t j = 0; j < n; ++j) {
                cells[x0 + j] = gained(job.gain, cells[x0 + j]);
                T[j] = localScale * cells[x0 + j];
            }
            // Branch-free: the sample of the fast value where both ends of its error
            // interval truncate to it, else a mark for the library path below.
            int32_t anyRedo = 0;
            for (int ch = 0; ch < 3; ++ch)
                for (int32_t j = 0; j < n; ++j) {
                    const int32_t i = ch * n + j;
                    const double t = T[j];
                    const double blend = static_cast<double>(k * samples[i]);
                    const double fast = power[i] * t + blend;
                    const double spread = (power[i] * (t < 0 ? -t : t)) * (2 * tm_fast::kFastMathError) +
                                          (fast < 0 ? -fast : fast) * 4.5e-16;
                    const int32_t lo = sampleOf(fast - spread), hi = sampleOf(fast + spread);
                    const bool ok = (ratio[i] > 0.0) & (lo == hi) & (fast - fast == 0.0); // finite
                    result[i] = lo;
                    redo[i] = ok ? 0 : 1;
                    anyRedo |= redo[i];
                }
            if (anyRedo)
                for (int32_t i = 0; i < 3 * n; ++i)
                    if (redo[i]) {
                        // Library path: also the definition of the result.
                        const double ratioC = ratio[i] == 0.0 ? 0.0 : std::pow(ratio[i], sat);
                        const double blend = static_cast<double>(k * samples[i]);
                        result[i] = sampleOf(ratioC * static_cast<double>(T[i % n]) + blend);
                    }
            for (int32_t j = 0; j < n; ++j) {
                uint16_t* out = dst + static_cast<int64_t>(x0 + j) * job.outLayout.pixelStride;
                out[pout.red] = static_cast<uint16_t>(result[j]);
                out[pout.green] = static_cast<uint16_t>(result[n + j]);
                out[pout.blue] = static_cast<uint16_t>(result[2 * n + j]);
            }
        }
    }
}

} // namespace

int32_t TMMapOutput16Strided(int32_t W, int32_t H, const TMSampleLayout& inLayout, const TMSampleLayout& outLayout,
                             int32_t pad, const TMOutputSettings& set, const float* lut, const uint16_t* inSamples,
                             float* lum, uint16_t* outSamples, TMWorkers* workers)
{
    const int32_t workWidth = W + 2 * pad;
    ClipGain gain; // applied row by row, as in the float output
    const int32_t hi = findClipGain(workWidth, H, set.white, set.black, 255.0f, lum, &gain, workers);
    if (hi < 0)
        return hi;
    const float k = set.blend16;
    const Map16Job job{W,    workWidth, pad,       inLayout, outLayout, k, (1.0f - k) * 128.5f, set.saturation,
                       gain, lut,       inSamples, lum,      outSamples};
    TMForParts(workers, H, TMPartsOn(workers, H, (kMinPartPixels + W - 1) / W),
               [&](int32_t, int64_t begin, int64_t end) {
                   tm_cpu::run<mapRows16>(job, static_cast<int32_t>(begin), static_cast<int32_t>(end));
               });
    return hi;
}

int32_t TMMapOutput16Strided(int32_t W, int32_t H, const TMSampleLayout& inLayout, const TMSampleLayout& outLayout,
                             int32_t pad, int32_t colorSaturation, float whiteClipPercent, float blackClipPercent,
                             int32_t strength, const float* lut, const uint16_t* inSamples, float* lum,
                             uint16_t* outSamples)
{
    return TMMapOutput16Strided(W, H, inLayout, outLayout, pad,
                                TMLimitOutputSettings(colorSaturation, whiteClipPercent, blackClipPercent, strength),
                                lut, inSamples, lum, outSamples);
}

int32_t TMMapOutput16(int32_t W, int32_t H, int32_t planes, int32_t pad, int32_t colorSaturation,
                      float whiteClipPercent, float blackClipPercent, int32_t strength, const TMImageStats* stats,
                      const float* lut, const uint16_t* inSamples, float* lum, uint16_t* outSamples)
{
    (void)stats; // the integer path blends with the input samples, not a global curve
    const TMSampleLayout layout = TMPackedLayout(W, planes, sizeof(uint16_t));
    return TMMapOutput16Strided(W, H, layout, layout, pad, colorSaturation, whiteClipPercent, blackClipPercent,
                                strength, lut, inSamples, lum, outSamples);
}
