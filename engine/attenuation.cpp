// Gradient attenuation: log-luminance pyramid, per-level attenuation factors, their
// product, and the divergence of the attenuated gradient field.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "fast_math.h"
#include "luminance.h"
#include "tm_engine.h"
#include "tm_workers.h"

using namespace tm_detail;

namespace {

// Reference gradient as a fraction of the mean, by -contrastStep (0..4).
constexpr double kReference[5] = {0.1, 0.06, 0.02, 0.008, 0.005};

// Halving a positive int32 side reaches 1 within 31 levels.
constexpr int32_t kMaxLevels = 31;

int32_t halve(int32_t s) { return (s >> 1) + (s & 1); }

// Cells per part below which a pass runs on one thread.
constexpr int64_t kMinPartCells = 32768;
int32_t rowParts(const TMWorkers* workers, int32_t w, int32_t rows)
{
    return TMPartsOn(workers, rows, (kMinPartCells + w - 1) / std::max(w, 1));
}

// One coarser level of the log-luminance pyramid: binomial [1 2 1] x [1 2 1] / 16
// around the co-located fine pixel (2x, 2y), summed row by row from the upper-left
// tap in single precision. Border pixels of the coarse level apply all nine weights
// to the co-located pixel alone.
void reduceLevel(const float* fine, int32_t fw, float* coarse, int32_t cw, int32_t ch, int32_t rowBegin, int32_t rowEnd)
{
    auto border = [](float v) {
        float s = v * 0.0625f;
        s += v * 0.125f;
        s += v * 0.0625f;
        s += v * 0.125f;
        s += v * 0.25f;
        s += v * 0.125f;
        s += v * 0.0625f;
        s += v * 0.125f;
        s += v * 0.0625f;
        return s;
    };
    for (int32_t y = rowBegin; y < rowEnd; ++y) {
        float* out = coarse + static_cast<int64_t>(y) * cw;
        const float* c = fine + static_cast<int64_t>(2 * y) * fw;
        if (y < 1 || y > ch - 2) {
            for (int32_t x = 0; x < cw; ++x)
                out[x] = border(c[2 * x]);
            continue;
        }
        const float* u = c - fw;
        const float* d = c + fw;
        out[0] = border(c[0]);
        for (int32_t x = 1; x < cw - 1; ++x) {
            const int32_t i = 2 * x;
            float s = u[i - 1] * 0.0625f;
            s += u[i] * 0.125f;
            s += u[i + 1] * 0.0625f;
            s += c[i - 1] * 0.125f;
            s += c[i] * 0.25f;
            s += c[i + 1] * 0.125f;
            s += d[i - 1] * 0.0625f;
            s += d[i] * 0.125f;
            s += d[i + 1] * 0.0625f;
            out[x] = s;
        }
        if (cw > 1)
            out[cw - 1] = border(c[2 * (cw - 1)]);
    }
}

// Differences beyond +-100 in log luminance are not gradients but invalid data.
inline float limitDifference(float d) { return (d > 100.0f || d < -100.0f) ? 0.0f : d; }

// Gradient magnitude of one pixel from its differences, times the level's scale
// (a power of two). The square root of the single-precision sum of squares, taken in
// double and rounded to float, equals the single-precision square root.
inline float magnitude(float dx, float dy, float scale)
{
    dx = limitDifference(dx);
    dy = limitDifference(dy);
    return std::sqrt(dx * dx + dy * dy) * scale;
}

// Gradient magnitudes of rows [rowBegin, rowEnd) of one level (central differences
// inside, one-sided at the borders) times `scale`, into g.
void gradientMagnitudeRows(const float* I, int32_t w, int32_t h, float scale, float* g, int32_t rowBegin,
                           int32_t rowEnd)
{
    for (int32_t y = rowBegin; y < rowEnd; ++y) {
        const float* row = I + static_cast<int64_t>(y) * w;
        const float* up = y > 0 ? row - w : row;
        const float* down = y < h - 1 ? row + w : row;
        float* out = g + static_cast<int64_t>(y) * w;
        if (w == 1) {
            out[0] = magnitude(0.0f, down[0] - up[0], scale);
        } else {
            out[0] = magnitude(row[1] - row[0], down[0] - up[0], scale);
            for (int32_t x = 1; x < w - 1; ++x)
                out[x] = magnitude(row[x + 1] - row[x - 1], down[x] - up[x], scale);
            out[w - 1] = magnitude(row[w - 1] - row[w - 2], down[w - 1] - up[w - 1], scale);
        }
    }
}

// Gradient magnitudes of one level into g, the rows in parallel. Returns their
// single-precision sum in row-major order: one thread adds them after the rows are
// done, since partial sums per part would round differently.
float gradientMagnitudes(TMWorkers* workers, const float* I, int32_t w, int32_t h, float scale, float* g)
{
    TMForParts(workers, h, rowParts(workers, w, h), [&](int32_t, int64_t begin, int64_t end) {
        gradientMagnitudeRows(I, w, h, scale, g, static_cast<int32_t>(begin), static_cast<int32_t>(end));
    });
    float sum = 0.0f;
    const int64_t n = static_cast<int64_t>(w) * h;
    for (int64_t i = 0; i < n; ++i)
        sum += g[i];
    return sum;
}

// Replaces each magnitude m by its factor pow((m + offset) / alpha, exponent) as a
// float, and 0 where m is 0. The power comes from the fast path where its rounding to
// float is certain, else from the library.
constexpr int64_t kBlock = 512;
void attenuationFactorRange(float* g, int64_t n, float offset, double alpha, double exponent)
{
    double q[kBlock], p[kBlock];
    for (int64_t start = 0; start < n; start += kBlock) {
        const int64_t count = std::min(kBlock, n - start);
        float* block = g + start;
        for (int64_t i = 0; i < count; ++i)
            q[i] = (block[i] + offset) / alpha;
        tm_fast::powArray(q, exponent, p, static_cast<size_t>(count));
        for (int64_t i = 0; i < count; ++i) {
            if (block[i] == 0.0f)
                continue;
            block[i] = tm_fast::roundsToSameFloat(p[i], 2 * tm_fast::kFastMathError)
                           ? static_cast<float>(p[i])
                           : static_cast<float>(std::pow(q[i], exponent));
        }
    }
}

// Divergence of the attenuated forward differences of rows [rowBegin, rowEnd) into A
// (level 0, W x H), from the log luminance I and the attenuation product P.
void divergenceRows(const float* I, const float* P, int32_t W, int32_t H, float* A, int32_t rowBegin, int32_t rowEnd)
{
    for (int32_t y = rowBegin; y < rowEnd; ++y) {
        const float* row = I + static_cast<int64_t>(y) * W;
        const float* prow = P + static_cast<int64_t>(y) * W;
        float* div = A + static_cast<int64_t>(y) * W;
        const bool hasDown = y<H - 1, hasUp = y> 0;
        float gxLeft = 0.0f;
        for (int32_t x = 0; x < W; ++x) {
            const float gx = x < W - 1 ? limitDifference(row[x + 1] - row[x]) * prow[x] : 0.0f;
            const float gy = hasDown ? limitDifference(row[x + W] - row[x]) * prow[x] : 0.0f;
            float d = gx;
            if (x > 0)
                d -= gxLeft;
            d += gy;
            if (hasUp)
                d -= limitDifference(row[x] - row[x - W]) * prow[x - W];
            div[x] = d;
            gxLeft = gx;
        }
    }
}

// The same over a level, in parallel pieces of whole blocks.
void attenuationFactors(TMWorkers* workers, float* g, int64_t n, float offset, double alpha, double exponent)
{
    const int64_t blocks = (n + kBlock - 1) / kBlock;
    TMForParts(workers, blocks, TMPartsOn(workers, blocks, kMinPartCells / kBlock),
               [&](int32_t, int64_t begin, int64_t end) {
                   const int64_t first = begin * kBlock, stop = std::min(n, end * kBlock);
                   attenuationFactorRange(g + first, stop - first, offset, alpha, exponent);
               });
}

} // namespace

int32_t TMAttenuateGradients(int32_t sampleFormat, int32_t W, int32_t H, int32_t lumLevel, int32_t contrastStep,
                             float smoothingFactor, const int32_t* geometry, float* A, float* B, float* C,
                             TMWorkers* workers)
{
    (void)sampleFormat;
    lumLevel = std::clamp(lumLevel, 1, 13);
    contrastStep = std::clamp(contrastStep, -4, 0);
    const float L = static_cast<float>(lumLevel) + 0.5f;
    const double beta = 1.0 - static_cast<double>(L) / 100.0;
    const double exponent = beta - 1.0;
    const double k = kReference[-contrastStep];

    const int32_t coarsestWidth = geometry[TMGeoAttenCoarseWidth];
    const int32_t levels = geometry[TMGeoAttenLevels];
    if (levels < 0 || levels > kMaxLevels)
        return TMErrTooSmall;
    int32_t* widths = new (std::nothrow) int32_t[levels + 2];
    int32_t* heights = new (std::nothrow) int32_t[levels + 2];
    if (!widths || !heights) {
        delete[] widths;
        delete[] heights;
        return TMErrAlloc;
    }
    int64_t offsets[kMaxLevels + 1];

    // Step A: log-luminance pyramid in C.
    std::memcpy(C, A, sizeof(float) * static_cast<size_t>(W) * static_cast<size_t>(H));
    int32_t count = 0;
    {
        int32_t w = W, h = H;
        int64_t off = 0;
        widths[0] = w;
        heights[0] = h;
        offsets[0] = 0;
        count = 1;
        while (w > coarsestWidth && count < levels + 1) {
            const int32_t cw = halve(w), ch = halve(h);
            const int64_t next = off + static_cast<int64_t>(w) * h;
            TMForParts(workers, ch, rowParts(workers, 4 * cw, ch), [&](int32_t, int64_t begin, int64_t end) {
                reduceLevel(C + off, w, C + next, cw, ch, static_cast<int32_t>(begin), static_cast<int32_t>(end));
            });
            w = cw;
            h = ch;
            off = next;
            widths[count] = w;
            heights[count] = h;
            offsets[count] = off;
            ++count;
        }
    }

    // Step B: magnitudes and factors per level, at the same positions in A.
    int32_t meanCode = 0;
    float scale = 0.5f;
    for (int32_t level = 0; level < count; ++level) {
        const int32_t w = widths[level], h = heights[level];
        const int64_t n = static_cast<int64_t>(w) * h;
        float* g = A + offsets[level];
        const float sum = gradientMagnitudes(workers, C + offsets[level], w, h, scale, g);
        const float mean = sum / static_cast<float>(n);
        const double alpha = static_cast<double>(mean) * k;
        const float offset = mean * smoothingFactor;
        meanCode = truncToInt32(static_cast<double>(mean) * 1000.0);
        attenuationFactors(workers, g, n, offset, alpha, exponent);
        scale *= 0.5f;
    }

    // Step C: product of the factors, coarsest first, by nearest-neighbour upsampling.
    {
        const int32_t last = count - 1;
        const int64_t n = static_cast<int64_t>(widths[last]) * heights[last];
        std::memcpy(B + offsets[last], A + offsets[last], sizeof(float) * static_cast<size_t>(n));
        for (int32_t level = last - 1; level >= 0; --level) {
            const int32_t w = widths[level], h = heights[level], cw = widths[level + 1];
            const float* coarse = B + offsets[level + 1];
            TMForParts(workers, h, rowParts(workers, w, h), [&](int32_t, int64_t begin, int64_t end) {
                for (int64_t y = begin; y < end; ++y) {
                    const float* crow = coarse + (y >> 1) * cw;
                    const float* a = A + offsets[level] + y * w;
                    float* b = B + offsets[level] + y * w;
                    for (int32_t x = 0; x < w; ++x)
                        b[x] = crow[x >> 1] * a[x];
                }
            });
        }
    }

    // Step D: divergence of the attenuated forward differences into A level 0. A
    // difference beyond +-100 carries no gradient, as in the magnitudes; the rule
    // applies to each difference, not to their sum, so that every gradient kept enters
    // the divergences of both its pixels and they still sum to zero. Dropping a whole
    // divergence instead would leave its neighbours' shares of the same gradients: a
    // pixel far below or above all its neighbours (a near-zero or a huge sample, whose
    // four steps add up past 100) would become a source that the solver spreads into a
    // wide bump of the opposite sign: a bright blot for a dark pixel, darkening the
    // rest of the image, or a dark one for a bright pixel.
    const int64_t plane = static_cast<int64_t>(W) * H;
    const int64_t rest = std::max<int64_t>(0, geometry[TMGeoSolverTotal] - plane);
    TMForParts(workers, rest, TMPartsOn(workers, rest, 16 * kMinPartCells), [&](int32_t, int64_t begin, int64_t end) {
        std::memset(A + plane + begin, 0, sizeof(float) * static_cast<size_t>(end - begin));
    });
    const float* I = C;
    const float* P = B;
    TMForParts(workers, H, rowParts(workers, W, H), [&](int32_t, int64_t begin, int64_t end) {
        divergenceRows(I, P, W, H, A, static_cast<int32_t>(begin), static_cast<int32_t>(end));
    });

    delete[] widths;
    delete[] heights;
    // Stays negative when the coarsest mean was not finite.
    return meanCode == INT32_MIN ? INT32_MIN : meanCode + 1;
}
