// Preview-scale output mapping: the reconstructed preview luminance to an 8-bit
// planar display image and its 256-bin histogram, with the final render's colour
// arithmetic.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "fast_exp_kernel.h"
#include "fast_math.h"
#include "luminance.h"
#include "output_curve.h"
#include "preview_sampling.h"
#include "tm_preview.h"

#if defined(__x86_64__) && defined(__linux__) && defined(__GNUC__) && !defined(__clang__)
#include <immintrin.h>
// Vector paths chosen at run time: AVX2 for the channel checks, AVX-512 for whole
// pixels.
#define TM_CHANNELS_AVX2 1
#define TM_PIXELS_AVX512 1
#endif

using namespace tm_detail;

namespace {

constexpr double kUlp = 2.220446049250313e-16;
constexpr double E = tm_fast::kFastMathError;

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

// --- Float samples -------------------------------------------------------------------

struct Pixel32 {
    uint8_t display[3];
    int32_t bin;
};

// One preview pixel with the library functions: the definition of the result.
// t = (c / Y)^s L for each colour (0 when Y or c is not positive); display byte
// trunc(255 t^gamma) limited to 0..255 (0 when t <= 0); histogram from trunc(255 t).
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
        out.display[ch] = t > 0.0 ? byteOf(255.0 * std::pow(t, cv.gamma)) : 0;
        h[ch] = truncBounded(255.0 * t);
    }
    out.bin = histogramBin(h[0], h[1], h[2]);
    return out;
}

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

// Preview rows rowFrom..rowTo-1 pixel by pixel (blocks: the checked fast path, else
// the library alone), each bin counted into histogram.
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

} // namespace

int32_t TMMapPreviewOutput32Strided(int32_t W, int32_t H, int32_t pw, int32_t ph,
                                    const TMSampleLayout& layout, int32_t colorSaturation,
                                    float whiteClipPercent, float blackClipPercent,
                                    int32_t strength, double gamma, const TMPreviewStats* stats,
                                    const float* inSamples, float* lum, int32_t* histogram,
                                    uint8_t* display)
{
    if (previewTooSmall(W, H, pw, ph))
        return TMErrTooSmall;
    const OutputSettings set = clampOutputSettings(colorSaturation, whiteClipPercent, blackClipPercent, strength);
    const float k = TMBlendWeight32(set.strength);
    const int32_t hi = TMNormaliseClipPoints(pw, ph, set.white, set.black, 1.0f, lum);
    if (hi < 0)
        return hi;

    const Curve32 cv = makeCurve32(k, set.saturation, gamma, stats->rangeFactor);
    // The block path assumes a positive exponent and finite curve constants.
    const bool blocks = gamma > 0.0 && std::isfinite(gamma) && std::isfinite(cv.ratio) && isFiniteFloat(cv.inv);

    std::memset(histogram, 0, TMPreviewHistogramBins * sizeof(int32_t));
    mapRowsPlain32(cv, blocks, W, H, pw, ph, layout, inSamples, lum, 0, ph, histogram, display);
    return ph;
}

int32_t TMMapPreviewOutput32(int32_t W, int32_t H, int32_t pw, int32_t ph, int32_t colorSaturation,
                             float whiteClipPercent, float blackClipPercent, int32_t strength,
                             double gamma, const TMPreviewStats* stats, const float* inSamples,
                             float* lum, int32_t* histogram, uint8_t* display)
{
    return TMMapPreviewOutput32Strided(W, H, pw, ph, TMPackedLayout(W, 3, sizeof(float)),
                                       colorSaturation, whiteClipPercent, blackClipPercent, strength,
                                       gamma, stats, inSamples, lum, histogram, display);
}

// --- Float samples with the colour terms kept from the full recompute ----------------

namespace {

constexpr double kFloatRound = 5.9604644775390625e-08; // 2^-24: relative rounding to float
// Relative margin around each display threshold: far above the error of the
// thresholds themselves and of 255 x^gamma in double (a few units in the last place).
constexpr double kThresholdMargin = 1.0e-12;
// Bound for truncating histogram values: far outside any bin, safe to convert.
constexpr double kTruncLimit = 1.0995116277760e12;
constexpr float kInf = __builtin_inff();
constexpr float kNaNf = __builtin_nanf("");
constexpr double kInfD = __builtin_inf();

// Display byte of t as a count of thresholds: byte = number of b in 1..255 with
// t >= tau_b = (b / 255)^(1 / gamma), which is trunc(255 t^gamma) limited to 0..255
// wherever t is not within kThresholdMargin of some tau_b. The table cuts 0..2 into
// cells of 1/4096 (narrower than the gap between two thresholds, which init checks)
// and gives the count at each cell's start, so one comparison finishes the count.
class DisplayThresholds {
public:
    static constexpr double kCellsPerUnit = 4096.0;
    static constexpr int32_t kCells = 8192; // cells of 0..2; from tau_255 = 1 up every count is 255

    bool init(double gamma)
    {
        th_[0] = 0.0;
        for (int b = 1; b <= 255; ++b) {
            th_[b] = std::pow(b / 255.0, 1.0 / gamma);
            if (!(th_[b] > th_[b - 1]) || !std::isfinite(th_[b]))
                return false;
        }
        th_[256] = __builtin_inf();
        int32_t c = 0;
        for (int32_t i = 0; i <= kCells; ++i) {
            const double start = i / kCellsPerUnit;
            while (th_[c + 1] <= start)
                ++c;
            table_[i] = c;
        }
        // At most one threshold inside each cell.
        for (int32_t i = 0; i < kCells; ++i)
            if (table_[i + 1] > table_[i] + 1)
                return false;
#if defined(TM_PIXELS_AVX512)
        for (int32_t i = 0; i <= kCells; ++i) {
            // Past tau_255 a finite stand-in above every t the vector path looks up.
            const double next = table_[i] < 255 ? th_[table_[i] + 1] : 1.0e308;
            uint64_t bits;
            std::memcpy(&bits, &next, sizeof bits);
            bits = (bits & ~uint64_t{0xff}) | static_cast<uint64_t>(table_[i]);
            std::memcpy(&packed_[i], &bits, sizeof bits);
        }
#endif
        return table_[0] == 0 && table_[kCells] == 255;
    }
    // The cell of x >= 0 (NaN not allowed): the count of thresholds at or below x is
    // table()[cell] plus one where th()[that + 1] <= x.
    static int32_t cellOf(double x)
    {
        return static_cast<int32_t>(std::min(x, 2.0) * kCellsPerUnit);
    }
    const double* th() const { return th_; }
    const int32_t* table() const { return table_; }
#if defined(TM_PIXELS_AVX512)
    // Per cell, one 64-bit look-up: the next threshold above the cell's start as a
    // double whose low 8 bits hold the cell's count. Those bits move the threshold
    // by at most 2^-44 of itself, far inside kThresholdMargin, so that a t near it is
    // still found uncertain.
    const double* packed() const { return packed_; }
#endif

private:
    double th_[257];
    int32_t table_[kCells + 1];
#if defined(TM_PIXELS_AVX512)
    double packed_[kCells + 1];
#endif
};

// Source pixel of preview pixel (c, r), red, green and blue by plane role.
inline void sourcePixel(const float* inSamples, const TMSampleLayout& layout, const PlaneRoles& p, float fx,
                        float fy, int32_t W, int32_t H, int32_t c, int32_t r, float out[3])
{
    const float* px = rowAt(inSamples, layout.rowBytes, truncatedSource(r, fy, H)) +
                      static_cast<int64_t>(truncatedSource(c, fx, W)) * layout.pixelStride;
    out[0] = px[p.red];
    out[1] = px[p.green];
    out[2] = px[p.blue];
}

#if defined(__x86_64__) && defined(__linux__) && defined(__GNUC__) && !defined(__clang__)
#define TM_PREVIEW_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define TM_PREVIEW_CLONES
#endif

// Per colour sample i: t = power L (0 for a sample that is not positive, lr = -inf),
// within the relative bound relL + the power's of the library's t. ok[i]: the
// histogram value trunc(255 t) (hOut) and the display byte (d) are the same at both
// ends of that bound and t is finite; otherwise the pixel goes to the library.
TM_PREVIEW_CLONES void mapChannels(const DisplayThresholds& thr, double s, const double* lr, const double* e,
                                   const double* L, const double* relL, int32_t n, double* hOut, int32_t* d,
                                   int32_t* ok)
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
        const double errT = relL[i] + 1.01 * dx + E + 6 * kUlp;
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

#if defined(TM_CHANNELS_AVX2)
// mapChannels four samples at a time; chosen at run time where the processor has
// AVX2. Every lane does the same double operations in the same order as the scalar
// loop (selects and min/max keep its NaN and signed-zero behaviour, the round is an
// exact truncation), so hOut, d and ok are the same. The table indices are limited
// to the table: that changes nothing for the pixels whose results are used (their x
// is finite and not negative) and keeps every read inside it. xs and cell: scratch
// of 2 n each. Returns the number of samples done, a multiple of four.
__attribute__((target("avx2"))) int32_t mapChannelsAvx2(const DisplayThresholds& thr, double s, const double* lr,
                                                       const double* e, const double* L, const double* relL,
                                                       int32_t n, double* hOut, int32_t* d, int32_t* ok,
                                                       double* xs, int32_t* cell)
{
    const double* th = thr.th();
    const int32_t* table = thr.table();
    const __m256d zero = _mm256_setzero_pd();
    const __m256d big = _mm256_set1_pd(1.0e300), negBig = _mm256_set1_pd(-1.0e300);
    const __m256d vs = _mm256_set1_pd(s);
    const double cDx = 1.01 * (E + kFloatRound) + kUlp;
    const __m256d vcDx = _mm256_set1_pd(cDx);
    const __m256d dxLimit = _mm256_set1_pd(1.0e-3);
    const __m256d c101 = _mm256_set1_pd(1.01), cE = _mm256_set1_pd(E), c6Ulp = _mm256_set1_pd(6 * kUlp);
    const __m256d c255 = _mm256_set1_pd(255.0), c2Ulp = _mm256_set1_pd(2 * kUlp);
    const __m256d lim = _mm256_set1_pd(kTruncLimit), negLim = _mm256_set1_pd(-kTruncLimit);
    const __m256d margin = _mm256_set1_pd(kThresholdMargin), one = _mm256_set1_pd(1.0);
    const __m256d two = _mm256_set1_pd(2.0), cells = _mm256_set1_pd(DisplayThresholds::kCellsPerUnit);
    const __m128i cellMax = _mm_set1_epi32(DisplayThresholds::kCells);
    const __m128i zeroI = _mm_setzero_si128();
    int32_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m256d r = _mm256_loadu_pd(lr + i);
        const __m256d present =
            _mm256_and_pd(_mm256_cmp_pd(r, negBig, _CMP_GE_OQ), _mm256_cmp_pd(r, big, _CMP_LE_OQ));
        const __m256d l = _mm256_and_pd(present, r);
        const __m256d alr = _mm256_blendv_pd(l, _mm256_sub_pd(zero, l), _mm256_cmp_pd(l, zero, _CMP_LT_OQ));
        const __m256d dx = _mm256_mul_pd(_mm256_mul_pd(vs, alr), vcDx);
        const __m256d power = _mm256_and_pd(present, _mm256_loadu_pd(e + i));
        const __m256d t0 = _mm256_mul_pd(power, _mm256_loadu_pd(L + i));
        const __m256d finite =
            _mm256_and_pd(_mm256_and_pd(_mm256_cmp_pd(t0, big, _CMP_LT_OQ), _mm256_cmp_pd(t0, negBig, _CMP_GT_OQ)),
                          _mm256_cmp_pd(dx, dxLimit, _CMP_LT_OQ));
        const __m256d t = _mm256_and_pd(finite, t0);
        const __m256d errT = _mm256_add_pd(
            _mm256_add_pd(_mm256_add_pd(_mm256_loadu_pd(relL + i), _mm256_mul_pd(c101, dx)), cE), c6Ulp);
        const __m256d v = _mm256_mul_pd(c255, t);
        const __m256d av = _mm256_blendv_pd(v, _mm256_sub_pd(zero, v), _mm256_cmp_pd(v, zero, _CMP_LT_OQ));
        const __m256d dv = _mm256_mul_pd(av, _mm256_add_pd(errT, c2Ulp));
        // min(max(x, -lim), lim) as std::min / std::max evaluate it (a NaN x stays NaN).
        const __m256d hLo = _mm256_round_pd(_mm256_min_pd(lim, _mm256_max_pd(negLim, _mm256_sub_pd(v, dv))),
                                            _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
        const __m256d hHi = _mm256_round_pd(_mm256_min_pd(lim, _mm256_max_pd(negLim, _mm256_add_pd(v, dv))),
                                            _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
        const __m256d m = _mm256_add_pd(errT, margin);
        const __m256d positive = _mm256_cmp_pd(t, zero, _CMP_GT_OQ);
        const __m256d xLo = _mm256_and_pd(positive, _mm256_mul_pd(t, _mm256_sub_pd(one, m)));
        const __m256d xHi = _mm256_and_pd(positive, _mm256_mul_pd(t, _mm256_add_pd(one, m)));
        // cellOf, limited to 0..kCells (a NaN or out-of-range conversion gives INT_MIN).
        const __m128i iLo = _mm_max_epi32(
            zeroI, _mm_min_epi32(cellMax, _mm256_cvttpd_epi32(_mm256_mul_pd(_mm256_min_pd(two, xLo), cells))));
        const __m128i iHi = _mm_max_epi32(
            zeroI, _mm_min_epi32(cellMax, _mm256_cvttpd_epi32(_mm256_mul_pd(_mm256_min_pd(two, xHi), cells))));
        // The table look-ups are scalar below: gathers are slower on some processors.
        _mm256_storeu_pd(xs + i, xLo);
        _mm256_storeu_pd(xs + n + i, xHi);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(cell + i), iLo);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(cell + n + i), iHi);
        _mm256_storeu_pd(hOut + i, hLo);
        const int bits = _mm256_movemask_pd(_mm256_and_pd(finite, _mm256_cmp_pd(hLo, hHi, _CMP_EQ_OQ)));
        ok[i] = bits & 1;
        ok[i + 1] = (bits >> 1) & 1;
        ok[i + 2] = (bits >> 2) & 1;
        ok[i + 3] = (bits >> 3) & 1;
    }
    for (int32_t j = 0; j < i; ++j) {
        const int32_t cLo = table[cell[j]], cHi = table[cell[n + j]];
        const int32_t dLo = cLo + (th[cLo + 1] <= xs[j] ? 1 : 0);
        const int32_t dHi = cHi + (th[cHi + 1] <= xs[n + j] ? 1 : 0);
        d[j] = dLo;
        ok[j] = ok[j] & (dLo == dHi ? 1 : 0);
    }
    return i;
}

bool haveAvx2()
{
    static const bool have = __builtin_cpu_supports("avx2");
    return have;
}
#endif

// mapChannels with the vector path where the processor has one; the rest scalar.
void mapChannelsFast(const DisplayThresholds& thr, double s, const double* lr, const double* e, const double* L,
                     const double* relL, int32_t n, double* hOut, int32_t* d, int32_t* ok)
{
    int32_t done = 0;
#if defined(TM_CHANNELS_AVX2)
    constexpr int32_t kChunk = 3 * kFastBlock;
    if (haveAvx2()) {
        double xs[2 * kChunk];
        int32_t cell[2 * kChunk];
        while (n - done >= 4) {
            const int32_t m = std::min(kChunk, n - done);
            done += mapChannelsAvx2(thr, s, lr + done, e + done, L + done, relL + done, m, hOut + done, d + done,
                                    ok + done, xs, cell);
        }
    }
#endif
    if (done < n)
        mapChannels(thr, s, lr + done, e + done, L + done, relL + done, n - done, hOut + done, d + done,
                    ok + done);
}

// Exponents of n pixels from the kept terms: s ln B (the curve's power) at j and
// s ln(c / Y) of colour ch at n + ch n + j. Codes and missing ratios take 0; their
// lanes are not used. Separate (and cloned) so that the loop is vectorised.
TM_PREVIEW_CLONES void termExponents(const float* lnB, const float* const lnR[3], int32_t n, bool curve, double s,
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
TM_PREVIEW_CLONES void blendedTerms(const float* lnB, const float* lum, const double* e, int32_t n, bool curve,
                                    double s, double k, float localWeight, double* L, double* relL,
                                    int32_t* certain)
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

#if defined(TM_PIXELS_AVX512)
// GCC 12's AVX-512 conversion intrinsics start from an undefined register, which
// its own uninitialised-use warning reports.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

// termExponents, the exponentials, blendedTerms, mapChannels and the histogram bin
// of eight pixels at a time in 512-bit registers, chosen at run time where the
// processor has AVX-512 (F, VL, DQ). The bounds are the scalar loops', formed in the
// same order. Where the lanes take a shorter road it can only send more pixels to
// the library, never accept another byte: the table exponential (inside the same
// error bound), one packed look-up per cell (see DisplayThresholds::packed), and the
// shortcuts noted below. Writes the display bytes of all lanes (uncertain ones are
// the caller's to replace), the bin and certain per pixel. Returns the pixels done,
// a multiple of 8.
__attribute__((target("avx512f,avx512vl,avx512dq"))) int32_t
mapPixelsAvx512(const DisplayThresholds& thr, const float* lnB, const float* lum, const float* const lnR[3],
                int32_t n, bool curve, double s, double k, float localWeight, uint8_t* const display[3],
                int32_t* bin, int32_t* certain)
{
    using tm_fast::kernel::expTable8;
    const double* table16 = tm_fast::kernel::expTable16();
    const double* packed = thr.packed();
    const __m512i countBits = _mm512_set1_epi64(0xff);
    const __m512d zero = _mm512_setzero_pd(), one = _mm512_set1_pd(1.0), two = _mm512_set1_pd(2.0);
    const __m512d inf = _mm512_set1_pd(kInfD), negInf = _mm512_set1_pd(-kInfD);
    const __m512d nan = _mm512_set1_pd(__builtin_nan(""));
    const __m512d expLimit = _mm512_set1_pd(tm_fast::kernel::kExpLimit);
    const __m512d negExpLimit = _mm512_set1_pd(-tm_fast::kernel::kExpLimit);
    const __m512d big = _mm512_set1_pd(1.0e300);
    const __m512d vs = _mm512_set1_pd(s), vk = _mm512_set1_pd(k);
    const __m512d c101 = _mm512_set1_pd(1.01), cE = _mm512_set1_pd(E), cUlp = _mm512_set1_pd(kUlp);
    const __m512d c2Ulp = _mm512_set1_pd(2 * kUlp), c4Ulp = _mm512_set1_pd(4 * kUlp);
    const __m512d c6Ulp = _mm512_set1_pd(6 * kUlp), four = _mm512_set1_pd(4.0);
    const __m512d bCurve = _mm512_set1_pd(1.01 * (2 * E + 4 * kUlp)), bLog = _mm512_set1_pd(E + kFloatRound);
    const __m512d cDx = _mm512_set1_pd(1.01 * (E + kFloatRound) + kUlp), dxLimit = _mm512_set1_pd(1.0e-3);
    const __m512d c255 = _mm512_set1_pd(255.0), margin = _mm512_set1_pd(kThresholdMargin);
    const __m512d cells = _mm512_set1_pd(DisplayThresholds::kCellsPerUnit);
    const __m512d weights[3] = {_mm512_set1_pd(54.0), _mm512_set1_pd(183.0), _mm512_set1_pd(19.0)};
    const __m512d binScale = _mm512_set1_pd(1.0 / 256.0), lastBin = _mm512_set1_pd(255.0);
    const __m256 vLocal = _mm256_set1_ps(localWeight);
    const __m256i zeroI = _mm256_setzero_si256(), oneI = _mm256_set1_epi32(1);
    // expArray of one vector: exp where |x| <= the limit, NaN elsewhere.
    const auto expOf = [&](__m512d x) __attribute__((target("avx512f"))) {
        const __mmask8 in = _mm512_cmp_pd_mask(x, negExpLimit, _CMP_GE_OQ) & _mm512_cmp_pd_mask(x, expLimit, _CMP_LE_OQ);
        return _mm512_mask_blend_pd(in, nan, expTable8(_mm512_maskz_mov_pd(in, x), table16));
    };
    const int32_t groups = n / 8;
    // termExponents and the exponentials first, for the whole block: the groups are
    // independent there, and the long polynomial of one overlaps the next.
    alignas(64) double powers[4][kFastBlock];
    for (int32_t g = 0; g < groups; ++g) {
        const __m512d code = _mm512_cvtps_pd(_mm256_loadu_ps(lnB + 8 * g));
        const __mmask8 codeFinite = _mm512_cmp_pd_mask(_mm512_abs_pd(code), inf, _CMP_LT_OQ);
        _mm512_store_pd(powers[0] + 8 * g, expOf(_mm512_maskz_mov_pd(curve ? codeFinite : 0, _mm512_mul_pd(vs, code))));
        for (int ch = 0; ch < 3; ++ch) {
            const __m512d r = _mm512_cvtps_pd(_mm256_loadu_ps(lnR[ch] + 8 * g));
            const __mmask8 rFinite = _mm512_cmp_pd_mask(_mm512_abs_pd(r), inf, _CMP_LT_OQ);
            _mm512_store_pd(powers[1 + ch] + 8 * g, expOf(_mm512_maskz_mov_pd(rFinite, _mm512_mul_pd(vs, r))));
        }
    }
    int32_t j = 0;
    for (; j + 8 <= n; j += 8) {
        // blendedTerms
        const __m512d code = _mm512_cvtps_pd(_mm256_loadu_ps(lnB + j));
        const __m512d eB = _mm512_load_pd(powers[0] + j);
        const __m256 L0f = _mm256_loadu_ps(lum + j);
        const __mmask8 black = _mm512_cmp_pd_mask(code, inf, _CMP_EQ_OQ);
        const __mmask8 withCurve = curve ? static_cast<__mmask8>(~black) : static_cast<__mmask8>(0);
        const __mmask8 keepB = static_cast<__mmask8>(~_mm512_cmp_pd_mask(code, negInf, _CMP_EQ_OQ));
        const __m512d lb = _mm512_maskz_mov_pd(keepB, code);
        const __m512d alb = _mm512_abs_pd(lb);
        const __m512d dxB = _mm512_add_pd(_mm512_mul_pd(vs, _mm512_add_pd(bCurve, _mm512_mul_pd(_mm512_mul_pd(c101, alb), bLog))),
                                          _mm512_mul_pd(_mm512_mul_pd(vs, alb), cUlp));
        const __m512d kP = _mm512_maskz_mov_pd(keepB, _mm512_mul_pd(vk, eB));
        const __mmask8 kPFinite = _mm512_cmp_pd_mask(kP, inf, _CMP_LT_OQ) & _mm512_cmp_pd_mask(kP, negInf, _CMP_GT_OQ);
        const __m512d Lc = _mm512_add_pd(kP, _mm512_cvtps_pd(_mm256_mul_ps(vLocal, L0f)));
        const __m512d errC = _mm512_add_pd(
            _mm512_mul_pd(kP, _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(c101, dxB), cE), c4Ulp)),
            _mm512_mul_pd(_mm512_abs_pd(Lc), cUlp));
        const __m512d Lj = _mm512_mask_blend_pd(withCurve, _mm512_cvtps_pd(L0f), Lc);
        const __m512d errL = _mm512_maskz_mov_pd(withCurve, errC);
        __mmask8 ok = _mm512_cmp_pd_mask(code, code, _CMP_EQ_OQ) &
                      static_cast<__mmask8>(~withCurve | (_mm512_cmp_pd_mask(dxB, dxLimit, _CMP_LT_OQ) & kPFinite));
        const __m512d absL = _mm512_abs_pd(Lj);
        ok &= _mm512_cmp_pd_mask(absL, _mm512_mul_pd(four, errL), _CMP_GT_OQ) |
              _mm512_cmp_pd_mask(_mm512_add_pd(absL, errL), zero, _CMP_EQ_OQ);
        const __m512d L = _mm512_maskz_mov_pd(static_cast<__mmask8>(~black), Lj);
        const __m512d relL = _mm512_maskz_div_pd(_mm512_cmp_pd_mask(absL, zero, _CMP_GT_OQ), errL, absL);
        __mmask8 sure = ok | black;

        // mapChannels, per colour, and the weighted sum of the histogram values.
        // Shorter than the scalar loop where it cannot change a certain result: t
        // and the values of one pixel share L's sign, so unlimited histogram values
        // give the same bin (one beyond 2^40 decides it either way, and there v and
        // its bound truncate apart: the pixel goes to the library); a t that is not
        // positive finds cell 0 and count 0 without a select.
        __m512d sum = zero;
        for (int ch = 0; ch < 3; ++ch) {
            const __m512d r = _mm512_cvtps_pd(_mm256_loadu_ps(lnR[ch] + j));
            const __mmask8 present = _mm512_cmp_pd_mask(_mm512_abs_pd(r), inf, _CMP_LT_OQ);
            const __m512d dx = _mm512_mul_pd(_mm512_mul_pd(vs, _mm512_abs_pd(_mm512_maskz_mov_pd(present, r))), cDx);
            const __m512d t0 = _mm512_mul_pd(_mm512_maskz_mov_pd(present, _mm512_load_pd(powers[1 + ch] + j)), L);
            const __mmask8 finite = _mm512_cmp_pd_mask(_mm512_abs_pd(t0), big, _CMP_LT_OQ) &
                                    _mm512_cmp_pd_mask(dx, dxLimit, _CMP_LT_OQ);
            const __m512d t = _mm512_maskz_mov_pd(finite, t0);
            const __m512d errT = _mm512_add_pd(_mm512_add_pd(_mm512_add_pd(relL, _mm512_mul_pd(c101, dx)), cE), c6Ulp);
            const __m512d v = _mm512_mul_pd(c255, t);
            const __m512d dv = _mm512_mul_pd(_mm512_abs_pd(v), _mm512_add_pd(errT, c2Ulp));
            const __m512d hLo = _mm512_roundscale_pd(_mm512_sub_pd(v, dv), _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
            const __m512d hHi = _mm512_roundscale_pd(_mm512_add_pd(v, dv), _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
            const __m512d m = _mm512_add_pd(errT, margin);
            const __m512d xLo = _mm512_mul_pd(t, _mm512_sub_pd(one, m));
            const __m512d xHi = _mm512_mul_pd(t, _mm512_add_pd(one, m));
            // cellOf(xLo) and cellOf(xHi): at most kCells from the min, at least 0.
            const __m256i cellLo = _mm256_max_epi32(zeroI, _mm512_cvttpd_epi32(_mm512_mul_pd(_mm512_min_pd(two, xLo), cells)));
            const __m256i cellHi = _mm256_max_epi32(zeroI, _mm512_cvttpd_epi32(_mm512_mul_pd(_mm512_min_pd(two, xHi), cells)));
            const __m512d entryLo = _mm512_i32gather_pd(cellLo, packed, 8);
            const __m256i cLo = _mm512_cvtepi64_epi32(_mm512_and_si512(_mm512_castpd_si512(entryLo), countBits));
            const __mmask8 upLo = _mm512_cmp_pd_mask(entryLo, xLo, _CMP_LE_OQ);
            const __m256i dLo = _mm256_mask_add_epi32(cLo, upLo, cLo, oneI);
            // Both ends in one cell (nearly always): the same count unless the cell's
            // next threshold lies in (xLo, xHi].
            const __mmask8 apart = _mm256_cmpneq_epi32_mask(cellLo, cellHi);
            __mmask8 same = upLo | _mm512_cmp_pd_mask(entryLo, xHi, _CMP_GT_OQ);
            if (apart) {
                const __m512d entryHi = _mm512_mask_i32gather_pd(entryLo, apart, cellHi, packed, 8);
                const __m256i cHi = _mm512_cvtepi64_epi32(_mm512_and_si512(_mm512_castpd_si512(entryHi), countBits));
                const __m256i dHi =
                    _mm256_mask_add_epi32(cHi, _mm512_cmp_pd_mask(entryHi, xHi, _CMP_LE_OQ), cHi, oneI);
                same = static_cast<__mmask8>((same & ~apart) | (apart & _mm256_cmpeq_epi32_mask(dLo, dHi)));
            }
            _mm_storel_epi64(reinterpret_cast<__m128i*>(display[ch] + j), _mm256_cvtepi32_epi8(dLo));
            sure &= finite & _mm512_cmp_pd_mask(hLo, hHi, _CMP_EQ_OQ) & same;
            // 54 r + 183 g + 19 b is exact in doubles: every value is an integer within 2^40.
            sum = ch == 0 ? _mm512_mul_pd(weights[0], hLo) : _mm512_add_pd(sum, _mm512_mul_pd(weights[ch], hLo));
        }
        // histogramBin: the floor of sum / 256, limited to the bins.
        const __m512d binD = _mm512_min_pd(
            lastBin, _mm512_max_pd(zero, _mm512_roundscale_pd(_mm512_mul_pd(sum, binScale),
                                                              _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(bin + j), _mm512_cvttpd_epi32(binD));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(certain + j), _mm256_maskz_mov_epi32(sure, oneI));
    }
    return j;
}
#pragma GCC diagnostic pop

bool haveAvx512()
{
    static const bool have = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
                             __builtin_cpu_supports("avx512dq");
    return have;
}
#endif

bool curveUsable(const Curve32& cv)
{
    return cv.gamma > 0.0 && std::isfinite(cv.gamma) && std::isfinite(cv.ratio) && isFiniteFloat(cv.inv);
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
            while (region < regionCount &&
                   (!regions[region] || regionFloats[region] / pw - usedRows <= 0)) {
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

bool TMPlacePreviewTermRows(int32_t pw, int32_t ph, int32_t planes, float* const* regions,
                            const int64_t* regionFloats, int32_t regionCount, TMPreviewTermPlanes* out)
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

namespace {

// Whether the planes hold the terms of a pw x ph preview: every row, or with
// firstRowsOnly the first planes.ph rows (at least one).
bool termsCover(const TMPreviewTermPlanes& planes, int32_t pw, int32_t ph, int32_t count, bool firstRowsOnly)
{
    return planes.pw == pw && planes.planes >= count && planes.ph >= 1 &&
           (firstRowsOnly ? planes.ph <= ph : planes.ph == ph);
}

} // namespace

bool TMBuildPreviewColourTerms32(int32_t W, int32_t H, int32_t pw, int32_t ph, const TMSampleLayout& layout,
                                 const TMPreviewStats* stats, const float* inSamples,
                                 const TMPreviewTermPlanes& planes)
{
    if (previewTooSmall(W, H, pw, ph) || !termsCover(planes, pw, ph, 4, true))
        return false;
    // Only ratio and inv of the curve matter here; k = 1 makes the curve run.
    const Curve32 cv = makeCurve32(1.0f, 1.0, 1.0, stats->rangeFactor);
    if (!curveUsable(cv))
        return false;
    const PlaneRoles p = planeRoles(layout.planes);
    const float fx = sourceRatio(W, pw), fy = sourceRatio(H, ph);

    float c[3 * kFastBlock];
    float Y[kFastBlock] = {}; // zeroed: the compiler cannot see that only n entries are read
    bool exact[kFastBlock];
    double q[kFastBlock], B[kFastBlock];
    double ratio[3 * kFastBlock];
    // Rows past planes.ph are mapped pixel by pixel.
    for (int32_t r = 0; r < planes.ph; ++r) {
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
    return true;
}

int32_t TMMapPreviewOutput32WithTerms(int32_t W, int32_t H, int32_t pw, int32_t ph,
                                      const TMSampleLayout& layout, int32_t colorSaturation,
                                      float whiteClipPercent, float blackClipPercent, int32_t strength,
                                      double gamma, const TMPreviewStats* stats, const float* inSamples,
                                      const TMPreviewTermPlanes& planes, float* lum, int32_t* histogram,
                                      uint8_t* display)
{
    const OutputSettings set = clampOutputSettings(colorSaturation, whiteClipPercent, blackClipPercent, strength);
    const Curve32 cv = makeCurve32(TMBlendWeight32(set.strength), set.saturation, gamma, stats->rangeFactor);
    // About 24 KB: 255 powers and one pass over the table, negligible beside the pass.
    DisplayThresholds thresholds;
    if (previewTooSmall(W, H, pw, ph) || !curveUsable(cv) || !termsCover(planes, pw, ph, 4, true) ||
        !thresholds.init(gamma))
        return TMMapPreviewOutput32Strided(W, H, pw, ph, layout, colorSaturation, whiteClipPercent,
                                           blackClipPercent, strength, gamma, stats, inSamples, lum, histogram,
                                           display);
    const int32_t hi = TMNormaliseClipPoints(pw, ph, set.white, set.black, 1.0f, lum);
    if (hi < 0)
        return hi;

    std::memset(histogram, 0, TMPreviewHistogramBins * sizeof(int32_t));
    const PlaneRoles p = planeRoles(layout.planes);
    const float fx = sourceRatio(W, pw), fy = sourceRatio(H, ph);
    const int64_t plane = static_cast<int64_t>(pw) * ph;
    const double s = cv.saturation;
    const bool curve = cv.k > 0.0f;
    const double k = cv.k;

    double x[4 * kFastBlock], e[4 * kFastBlock];
    double L[kFastBlock], relL[kFastBlock];
    int32_t certain[kFastBlock], bin[kFastBlock];
    // Per colour sample, colour-major: entry ch n + j is colour ch of pixel j.
    double lr[3 * kFastBlock], hOut[3 * kFastBlock];
    int32_t d[3 * kFastBlock], ok[3 * kFastBlock];
    // Four histograms (see sumPartialCounts).
    int32_t parts[4][TMPreviewHistogramBins] = {};
    for (int32_t r = 0; r < planes.ph; ++r) {
    for (int32_t c0 = 0; c0 < pw; c0 += kFastBlock) {
        const int32_t n = std::min(kFastBlock, pw - c0);
        const int64_t at = static_cast<int64_t>(r) * pw + c0;
        const float* const lnB = planes.row(0, r) + c0;
        const float* const lnRAt[3] = {planes.row(1, r) + c0, planes.row(2, r) + c0, planes.row(3, r) + c0};
        uint8_t* const displayAt[3] = {display + at, display + plane + at, display + 2 * plane + at};
        int32_t done = 0;
#if defined(TM_PIXELS_AVX512)
        if (haveAvx512())
            done = mapPixelsAvx512(thresholds, lnB, lum + at, lnRAt, n, curve, s, k, cv.localWeight, displayAt,
                                   bin, certain);
#endif
        if (done < n) {
            const int32_t rest = n - done;
            termExponents(lnB, lnRAt, n, curve, s, x);
            tm_fast::expArray(x, e, static_cast<size_t>(4 * n));
            blendedTerms(lnB + done, lum + at + done, e + done, rest, curve, s, k, cv.localWeight, L + done,
                         relL + done, certain + done);
            for (int ch = 0; ch < 3; ++ch) {
                const float* src = lnRAt[ch];
                double* dst = lr + ch * n;
                for (int32_t j = done; j < n; ++j)
                    dst[j] = static_cast<double>(src[j]);
                mapChannelsFast(thresholds, s, dst + done, e + n + ch * n + done, L + done, relL + done, rest,
                                hOut + ch * n + done, d + ch * n + done, ok + ch * n + done);
            }
            for (int32_t j = done; j < n; ++j) {
                certain[j] = certain[j] && ok[j] && ok[n + j] && ok[2 * n + j];
                if (certain[j]) {
                    for (int ch = 0; ch < 3; ++ch)
                        displayAt[ch][j] = static_cast<uint8_t>(d[ch * n + j]);
                    bin[j] = histogramBin(static_cast<int64_t>(hOut[j]), static_cast<int64_t>(hOut[n + j]),
                                          static_cast<int64_t>(hOut[2 * n + j]));
                }
            }
        }

        for (int32_t j = 0; j < n; ++j) {
            if (certain[j]) {
                ++parts[j & 3][bin[j]];
            } else {
                const int64_t idx = at + j;
                float c[3];
                sourcePixel(inSamples, layout, p, fx, fy, W, H, c0 + j, r, c);
                const Pixel32 px = mapPreviewPixel32(cv, c, lum[idx]);
                for (int ch = 0; ch < 3; ++ch)
                    displayAt[ch][j] = px.display[ch];
                ++parts[j & 3][px.bin];
            }
        }
    }
    }
    // Rows whose terms did not fit (a preview too large for them all).
    mapRowsPlain32(cv, true, W, H, pw, ph, layout, inSamples, lum, planes.ph, ph, parts[0], display);
    sumPartialCounts(parts, histogram);
    return ph;
}

// --- 16-bit samples ------------------------------------------------------------------

namespace {

// The final render's 16-bit mapping divided by 128.5: (1 - k) L0 for the local part,
// k / 128.5 of the raw sample for the blend.
struct Blend16 {
    float localWeight;
    float sampleShare;
    double saturation;
};

Blend16 makeBlend16(const OutputSettings& set)
{
    const float k = TMBlendWeight16(set.strength);
    return {1.0f - k, k / 128.5f, set.saturation};
}

// Raw samples of the n preview pixels from c0 on in preview row r, by plane role,
// colour-major: raw[ch n + j].
inline void sourceSamples16(const uint16_t* inSamples, const TMSampleLayout& layout, const PlaneRoles& p, float fx,
                            float fy, int32_t W, int32_t H, int32_t r, int32_t c0, int32_t n, uint16_t* raw)
{
    const uint16_t* src = rowAt(inSamples, layout.rowBytes, truncatedSource(r, fy, H));
    for (int32_t j = 0; j < n; ++j) {
        const uint16_t* px = src + static_cast<int64_t>(truncatedSource(c0 + j, fx, W)) * layout.pixelStride;
        raw[j] = px[p.red];
        raw[n + j] = px[p.green];
        raw[2 * n + j] = px[p.blue];
    }
}

// Where a 16-bit preview keeps its raw samples too (when two more planes fit): red
// and green in the two halves of plane 3's rows, blue in the first half of plane 4's.
// They are copied as bytes, so the float planes' memory holds them untyped.
constexpr int32_t kPlanesWithRaw16 = 5;

inline uint16_t* rawRow16(const TMPreviewTermPlanes& planes, int32_t ch, int32_t r)
{
    float* row = planes.row(ch < 2 ? 3 : 4, r);
    return reinterpret_cast<uint16_t*>(row) + (ch == 1 ? planes.pw : 0);
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
inline uint8_t libraryByte16(const Blend16& b, double ratio, float T, uint16_t raw)
{
    const double ratioC = ratio == 0.0 ? 0.0 : std::pow(ratio, b.saturation);
    return byteOf(ratioC * T + blendOf(b, raw));
}

// The histogram of the display image's bins (four partial counts, summed: neighbours
// often share a bin).
void countDisplayBins(const uint8_t* display, int64_t plane, int32_t* histogram)
{
    int32_t parts[4][TMPreviewHistogramBins] = {};
    for (int64_t i = 0; i < plane; ++i)
        ++parts[i & 3][histogramBin(display[i], display[plane + i], display[2 * plane + i])];
    sumPartialCounts(parts, histogram);
}

// Display bytes of n <= kFastBlock pixels from the kept ln(c' / Y) terms (lr, colour-
// major), their raw samples and T = (1 - k) L0: d and ok per sample, ok = 0 leaving
// the sample to the library. The power exp(s lr) carries the stored logarithm's
// error (the fast logarithm's E and the float's 2^-24, relative to its size, and an
// ulp for the product) besides its own; the sum's bound is then that of the
// per-sample fast path without the terms.
TM_PREVIEW_CLONES void mapSamples16(const float* lr, const double* e, const double* T, const double* blend, int32_t n3,
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
        const double spread = (power * (t < 0 ? -t : t)) * (1.01 * dx + 2 * E + 4 * kUlp) +
                              (fast < 0 ? -fast : fast) * 4.5e-16;
        const double a = fast - spread, b = fast + spread;
        const int32_t lo = a > 0.0 ? (a >= 255.0 ? 255 : static_cast<int32_t>(a)) : 0;
        const int32_t hi = b > 0.0 ? (b >= 255.0 ? 255 : static_cast<int32_t>(b)) : 0;
        d[i] = lo;
        ok[i] = ((present | zero) & (lo == hi) & (fast < kInfD) & (fast > -kInfD) & (dx < 1.0e-3)) ? 1 : 0;
    }
}

#if defined(TM_PIXELS_AVX512)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized" // GCC 12's conversion intrinsics, as above

// mapSamples16 of eight pixels at a time in 512-bit registers, with the display
// bytes written, their histogram bin and certain per pixel; same operations per
// lane, the table exponential in place of expArray (inside the same bound). raw:
// colour-major as sourceSamples16 fills it. Returns the pixels done, a multiple of 8.
__attribute__((target("avx512f,avx512vl,avx512dq"))) int32_t
mapPixels16Avx512(const float* const lnR[3], const float* lum, const uint16_t* raw, int32_t n, const Blend16& bl,
                  uint8_t* const display[3], int32_t* bin, int32_t* certain)
{
    using tm_fast::kernel::expTable8;
    const double* table16 = tm_fast::kernel::expTable16();
    const __m512d zero = _mm512_setzero_pd(), inf = _mm512_set1_pd(kInfD), negInf = _mm512_set1_pd(-kInfD);
    const __m512d nan = _mm512_set1_pd(__builtin_nan(""));
    const __m512d expLimit = _mm512_set1_pd(tm_fast::kernel::kExpLimit);
    const __m512d negExpLimit = _mm512_set1_pd(-tm_fast::kernel::kExpLimit);
    const __m512d vs = _mm512_set1_pd(bl.saturation), c101 = _mm512_set1_pd(1.01);
    const __m512d cDx = _mm512_set1_pd(1.01 * (E + kFloatRound) + kUlp), dxLimit = _mm512_set1_pd(1.0e-3);
    const __m512d c2E = _mm512_set1_pd(2 * E), c4Ulp = _mm512_set1_pd(4 * kUlp), cSum = _mm512_set1_pd(4.5e-16);
    const __m512d c255 = _mm512_set1_pd(255.0);
    const __m256 vLocal = _mm256_set1_ps(bl.localWeight), vShare = _mm256_set1_ps(bl.sampleShare);
    const __m256i oneI = _mm256_set1_epi32(1);
    const __m256i weights[3] = {_mm256_set1_epi32(54), _mm256_set1_epi32(183), _mm256_set1_epi32(19)};
    const int32_t groups = n / 8;
    alignas(64) double powers[3][kFastBlock];
    for (int32_t g = 0; g < groups; ++g)
        for (int ch = 0; ch < 3; ++ch) {
            const __m512d r = _mm512_cvtps_pd(_mm256_loadu_ps(lnR[ch] + 8 * g));
            const __mmask8 present = _mm512_cmp_pd_mask(_mm512_abs_pd(r), inf, _CMP_LT_OQ);
            const __m512d x = _mm512_maskz_mov_pd(present, _mm512_mul_pd(vs, r));
            const __mmask8 in = _mm512_cmp_pd_mask(x, negExpLimit, _CMP_GE_OQ) & _mm512_cmp_pd_mask(x, expLimit, _CMP_LE_OQ);
            _mm512_store_pd(powers[ch] + 8 * g,
                            _mm512_mask_blend_pd(in, nan, expTable8(_mm512_maskz_mov_pd(in, x), table16)));
        }
    int32_t j = 0;
    for (; j + 8 <= n; j += 8) {
        const __m512d T = _mm512_cvtps_pd(_mm256_mul_ps(vLocal, _mm256_loadu_ps(lum + j)));
        const __m512d absT = _mm512_abs_pd(T);
        __mmask8 sure = 0xff;
        __m256i sum = _mm256_setzero_si256();
        for (int ch = 0; ch < 3; ++ch) {
            const __m512d r = _mm512_cvtps_pd(_mm256_loadu_ps(lnR[ch] + j));
            const __mmask8 present = _mm512_cmp_pd_mask(_mm512_abs_pd(r), inf, _CMP_LT_OQ);
            const __mmask8 zeroCode = _mm512_cmp_pd_mask(r, negInf, _CMP_EQ_OQ);
            const __m512d dx = _mm512_mul_pd(_mm512_mul_pd(vs, _mm512_abs_pd(_mm512_maskz_mov_pd(present, r))), cDx);
            const __m512d power = _mm512_maskz_mov_pd(present, _mm512_load_pd(powers[ch] + j));
            const __m256i samples =
                _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(raw + ch * n + j)));
            const __m512d blend = _mm512_cvtps_pd(_mm256_mul_ps(vShare, _mm256_cvtepi32_ps(samples)));
            const __m512d fast = _mm512_add_pd(_mm512_mul_pd(power, T), blend);
            const __m512d spread = _mm512_add_pd(
                _mm512_mul_pd(_mm512_mul_pd(power, absT), _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(c101, dx), c2E), c4Ulp)),
                _mm512_mul_pd(_mm512_abs_pd(fast), cSum));
            // byteOf of both ends: max(v, 0) also takes NaN to 0, min(., 255), truncated.
            const __m256i lo = _mm512_cvttpd_epi32(_mm512_min_pd(_mm512_max_pd(_mm512_sub_pd(fast, spread), zero), c255));
            const __m256i hi = _mm512_cvttpd_epi32(_mm512_min_pd(_mm512_max_pd(_mm512_add_pd(fast, spread), zero), c255));
            sure &= (present | zeroCode) & _mm256_cmpeq_epi32_mask(lo, hi) &
                    _mm512_cmp_pd_mask(_mm512_abs_pd(fast), inf, _CMP_LT_OQ) & _mm512_cmp_pd_mask(dx, dxLimit, _CMP_LT_OQ);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(display[ch] + j), _mm256_cvtepi32_epi8(lo));
            sum = _mm256_add_epi32(sum, _mm256_mullo_epi32(weights[ch], lo));
        }
        // histogramBin of bytes: the sum is at most 256 x 255, never negative.
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(bin + j), _mm256_srli_epi32(sum, 8));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(certain + j), _mm256_maskz_mov_epi32(sure, oneI));
    }
    return j;
}
#pragma GCC diagnostic pop
#endif

} // namespace

int32_t TMMapPreviewOutput16Strided(int32_t W, int32_t H, int32_t pw, int32_t ph,
                                    const TMSampleLayout& layout, int32_t colorSaturation,
                                    float whiteClipPercent, float blackClipPercent,
                                    int32_t strength, const float* lut, const uint16_t* inSamples,
                                    float* lum, int32_t* histogram, uint8_t* display)
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
    double ratio[3 * kFastBlock], power[3 * kFastBlock];
    uint16_t raw[3 * kFastBlock];
    for (int32_t r = 0; r < ph; ++r) {
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
                    const double spread = (power[i] * (T < 0 ? -T : T)) * (2 * E) +
                                          (fast < 0 ? -fast : fast) * 4.5e-16;
                    const uint8_t lo = byteOf(fast - spread), hiByte = byteOf(fast + spread);
                    const bool sure = ratio[i] > 0.0 && lo == hiByte && std::isfinite(fast);
                    dst[ch * plane] = sure ? lo : libraryByte16(bl, ratio[i], T, sample);
                }
            }
        }
    }
    countDisplayBins(display, plane, histogram);
    return ph;
}

bool TMBuildPreviewColourTerms16(int32_t W, int32_t H, int32_t pw, int32_t ph, const TMSampleLayout& layout,
                                 const float* lut, const uint16_t* inSamples, const TMPreviewTermPlanes& planes)
{
    if (previewTooSmall(W, H, pw, ph) || !termsCover(planes, pw, ph, 3, false))
        return false;
    const PlaneRoles p = planeRoles(layout.planes);
    const float fx = sourceRatio(W, pw), fy = sourceRatio(H, ph);
    uint16_t raw[3 * kFastBlock];
    double ratio[3 * kFastBlock], logs[3 * kFastBlock];
    for (int32_t r = 0; r < ph; ++r) {
        for (int32_t c0 = 0; c0 < pw; c0 += kFastBlock) {
            const int32_t n = std::min(kFastBlock, pw - c0);
            float* const lnR[3] = {planes.row(0, r) + c0, planes.row(1, r) + c0, planes.row(2, r) + c0};
            sourceSamples16(inSamples, layout, p, fx, fy, W, H, r, c0, n, raw);
            if (planes.planes >= kPlanesWithRaw16)
                for (int ch = 0; ch < 3; ++ch)
                    std::memcpy(rawRow16(planes, ch, r) + c0, raw + ch * n, static_cast<size_t>(n) * sizeof(uint16_t));
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
    return true;
}

int32_t TMMapPreviewOutput16WithTerms(int32_t W, int32_t H, int32_t pw, int32_t ph, const TMSampleLayout& layout,
                                      int32_t colorSaturation, float whiteClipPercent, float blackClipPercent,
                                      int32_t strength, const float* lut, const uint16_t* inSamples,
                                      const TMPreviewTermPlanes& planes, float* lum, int32_t* histogram,
                                      uint8_t* display)
{
    if (previewTooSmall(W, H, pw, ph) || !termsCover(planes, pw, ph, 3, false))
        return TMMapPreviewOutput16Strided(W, H, pw, ph, layout, colorSaturation, whiteClipPercent,
                                           blackClipPercent, strength, lut, inSamples, lum, histogram, display);
    const OutputSettings set = clampOutputSettings(colorSaturation, whiteClipPercent, blackClipPercent, strength);
    const int32_t hi = TMNormaliseClipPoints(pw, ph, set.white, set.black, 255.0f, lum);
    if (hi < 0)
        return hi;

    const Blend16 bl = makeBlend16(set);
    const double s = bl.saturation;
    const PlaneRoles p = planeRoles(layout.planes);
    const float fx = sourceRatio(W, pw), fy = sourceRatio(H, ph);
    const int64_t plane = static_cast<int64_t>(pw) * ph;
    uint16_t raw[3 * kFastBlock];
    float lr[3 * kFastBlock];
    double x[3 * kFastBlock], e[3 * kFastBlock], T[3 * kFastBlock], blend[3 * kFastBlock];
    int32_t d[3 * kFastBlock], ok[3 * kFastBlock], bin[kFastBlock], certain[kFastBlock];
    int32_t parts[4][TMPreviewHistogramBins] = {};
    for (int32_t r = 0; r < ph; ++r) {
        for (int32_t c0 = 0; c0 < pw; c0 += kFastBlock) {
            const int32_t n = std::min(kFastBlock, pw - c0);
            const int64_t at = static_cast<int64_t>(r) * pw + c0;
            uint8_t* const displayAt[3] = {display + at, display + plane + at, display + 2 * plane + at};
            const float* const lnR[3] = {planes.row(0, r) + c0, planes.row(1, r) + c0, planes.row(2, r) + c0};
            blockSamples16(planes, inSamples, layout, p, fx, fy, W, H, r, c0, n, raw);
            int32_t done = 0;
#if defined(TM_PIXELS_AVX512)
            if (haveAvx512())
                done = mapPixels16Avx512(lnR, lum + at, raw, n, bl, displayAt, bin, certain);
#endif
            if (done < n) {
                for (int ch = 0; ch < 3; ++ch)
                    for (int32_t j = done; j < n; ++j) {
                        const int32_t i = ch * n + j;
                        lr[i] = lnR[ch][j];
                        x[i] = isFiniteFloat(lr[i]) ? s * static_cast<double>(lr[i]) : 0.0;
                        T[i] = static_cast<double>(bl.localWeight * lum[at + j]);
                        blend[i] = blendOf(bl, raw[i]);
                    }
                for (int ch = 0; ch < 3; ++ch) {
                    const int32_t from = ch * n + done, count = n - done;
                    tm_fast::expArray(x + from, e + from, static_cast<size_t>(count));
                    mapSamples16(lr + from, e + from, T + from, blend + from, count, s, d + from, ok + from);
                }
                for (int32_t j = done; j < n; ++j) {
                    certain[j] = ok[j] & ok[n + j] & ok[2 * n + j];
                    for (int ch = 0; ch < 3; ++ch)
                        displayAt[ch][j] = static_cast<uint8_t>(d[ch * n + j]);
                    bin[j] = histogramBin(d[j], d[n + j], d[2 * n + j]);
                }
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
    sumPartialCounts(parts, histogram);
    return ph;
}

int32_t TMMapPreviewOutput16(int32_t W, int32_t H, int32_t pw, int32_t ph, int32_t colorSaturation,
                             float whiteClipPercent, float blackClipPercent, int32_t strength,
                             const float* lut, const uint16_t* inSamples, float* lum,
                             int32_t* histogram, uint8_t* display)
{
    return TMMapPreviewOutput16Strided(W, H, pw, ph, TMPackedLayout(W, 3, sizeof(uint16_t)),
                                       colorSaturation, whiteClipPercent, blackClipPercent, strength,
                                       lut, inSamples, lum, histogram, display);
}
