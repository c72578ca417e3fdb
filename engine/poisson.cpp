// Poisson reconstruction: four multigrid V-cycles with red-black Gauss-Seidel
// smoothing and reflecting borders, then exp of the solution.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "cpu_dispatch.h"
#if defined(TM_X86_KERNELS)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "fast_math.h"
#include "tm_engine.h"
#include "tm_workers.h"

namespace {

int32_t halve(int32_t s) { return (s >> 1) + (s & 1); }

// One colour of interior row y: columns first, first + 2, ... up to w-2 (first is 1
// or 2). Updates of one colour read only the other colour, so their order within the
// row does not matter; the vector kernels compute neighbouring candidates at once and
// keep only those of the colour being updated. Lane arithmetic is the same
// single-precision add, subtract and multiply, so the results are identical. Each
// kernel returns the first column it did not process.
#if defined(TM_X86_KERNELS)
// Eight lanes at a time.
TM_TARGET_AVX2 int32_t relaxInteriorRowAvx2(float* row, const float* up, const float* down, const float* fr, int32_t w,
                                            float hs, int32_t first)
{
    const __m256 quarter = _mm256_set1_ps(0.25f);
    const __m256 spacing = _mm256_set1_ps(hs);
    const __m256 mask = (first & 1) ? _mm256_castsi256_ps(_mm256_setr_epi32(-1, 0, -1, 0, -1, 0, -1, 0))
                                    : _mm256_castsi256_ps(_mm256_setr_epi32(0, -1, 0, -1, 0, -1, 0, -1));
    const __m256i rotate = _mm256_setr_epi32(7, 0, 1, 2, 3, 4, 5, 6);
    __m256 previous = _mm256_set1_ps(row[0]);
    int32_t x = 1;
    for (; x + 7 < w - 1; x += 8) {
        const __m256 centre = _mm256_loadu_ps(row + x);
        // Left neighbours: the block shifted by one lane, lane 0 from the previous block.
        const __m256 left =
            _mm256_blend_ps(_mm256_permutevar8x32_ps(centre, rotate), _mm256_permutevar8x32_ps(previous, rotate), 0x01);
        previous = centre;
        __m256 sum = _mm256_add_ps(_mm256_loadu_ps(up + x), left);
        sum = _mm256_add_ps(sum, _mm256_loadu_ps(row + x + 1));
        sum = _mm256_add_ps(sum, _mm256_loadu_ps(down + x));
        sum = _mm256_sub_ps(sum, _mm256_mul_ps(spacing, _mm256_loadu_ps(fr + x)));
        const __m256 candidate = _mm256_mul_ps(sum, quarter);
        _mm256_storeu_ps(row + x, _mm256_blendv_ps(centre, candidate, mask));
    }
    return x;
}
#endif

#if defined(__SSE2__)
// Four lanes at a time.
int32_t relaxInteriorRowSse2(float* row, const float* up, const float* down, const float* fr, int32_t w, float hs,
                             int32_t first)
{
    const __m128 quarter = _mm_set1_ps(0.25f);
    const __m128 spacing = _mm_set1_ps(hs);
    // Lanes x, x+1, x+2, x+3 with x odd: the colour's lanes are 0 and 2 when it starts
    // on odd columns, else 1 and 3.
    const __m128 mask =
        (first & 1) ? _mm_castsi128_ps(_mm_setr_epi32(-1, 0, -1, 0)) : _mm_castsi128_ps(_mm_setr_epi32(0, -1, 0, -1));
    // The left neighbours come from registers: loading them would overlap the previous
    // store and stall store forwarding. Lane 3 of the previous block is the value
    // before that block's store, which is the same for every lane that is kept (its
    // left neighbour is of the other colour).
    __m128 previous = _mm_set_ps(row[0], 0.0f, 0.0f, 0.0f);
    int32_t x = 1;
    for (; x + 3 < w - 1; x += 4) {
        const __m128 centre = _mm_loadu_ps(row + x);
        const __m128 t = _mm_shuffle_ps(previous, centre, _MM_SHUFFLE(0, 0, 3, 3));
        const __m128 left = _mm_shuffle_ps(t, centre, _MM_SHUFFLE(2, 1, 2, 0));
        previous = centre;
        __m128 sum = _mm_add_ps(_mm_loadu_ps(up + x), left);
        sum = _mm_add_ps(sum, _mm_loadu_ps(row + x + 1));
        sum = _mm_add_ps(sum, _mm_loadu_ps(down + x));
        sum = _mm_sub_ps(sum, _mm_mul_ps(spacing, _mm_loadu_ps(fr + x)));
        const __m128 candidate = _mm_mul_ps(sum, quarter);
        _mm_storeu_ps(row + x, _mm_or_ps(_mm_and_ps(mask, candidate), _mm_andnot_ps(mask, centre)));
    }
    return x;
}
#endif

// The kernel of the active level; the first column it left (1: none processed).
int32_t relaxInteriorKernel(float* row, const float* up, const float* down, const float* fr, int32_t w, float hs,
                            int32_t first)
{
#if defined(TM_X86_KERNELS)
    if (tm_cpu::at(tm_cpu::Level::AVX2))
        return relaxInteriorRowAvx2(row, up, down, fr, w, hs, first);
#endif
#if defined(__SSE2__)
    if (tm_cpu::at(tm_cpu::Level::SSE2))
        return relaxInteriorRowSse2(row, up, down, fr, w, hs, first);
#endif
    return 1;
}

// vectors false: the scalar loop alone, which reads only the other colour's cells of
// the neighbouring rows and writes only this colour's cells of row y.
void relaxInteriorRow(float* u, const float* f, int32_t stride, int32_t w, int32_t y, float hs, int32_t first,
                      bool vectors = true)
{
    float* row = u + static_cast<int64_t>(y) * stride;
    const float* up = row - stride;
    const float* down = row + stride;
    const float* fr = f + static_cast<int64_t>(y) * stride;
    int32_t x = vectors ? relaxInteriorKernel(row, up, down, fr, w, hs, first) : 1;
    if (((x - first) & 1) != 0)
        ++x;
    for (; x < w - 1; x += 2)
        row[x] = ((((up[x] + row[x - 1]) + row[x + 1]) + down[x]) - hs * fr[x]) * 0.25f;
}

// First column, then last column, of row y (0 < y < h-1).
void relaxSideRow(float* u, const float* f, int32_t stride, int32_t w, int32_t y, float hs)
{
    float* row = u + static_cast<int64_t>(y) * stride;
    const float* fr = f + static_cast<int64_t>(y) * stride;
    row[0] = (((row[1] + row[-stride]) + row[stride]) - hs * fr[0]) * 0.3333f;
    const int32_t r = w - 1;
    row[r] = (((row[r - 1] + row[r - stride]) + row[r + stride]) - hs * fr[r]) * 0.3333f;
}

// Top (vertical neighbour below) or bottom (above) row at columns first, first + 2, ...
// up to w-2.
void relaxEdgeRow(float* row, const float* fr, int64_t toInner, int32_t w, float hs, int32_t first)
{
    for (int32_t x = first; x < w - 1; x += 2)
        row[x] = (((row[x - 1] + row[x + 1]) + row[x + toInner]) - hs * fr[x]) * 0.3333f;
}

// One sweep: every pixel of the w x h region updated exactly once, in this order:
// corners; interior pixels with x + y odd; first and last columns at even rows; top
// and bottom rows at the columns of that colour; interior pixels with x + y even;
// first and last columns at odd rows; top and bottom rows at the other columns.
// The loop below runs the two interior colours as a wavefront (the second colour one
// row behind the first) so that each sweep streams the level once. Every update
// still reads exactly the values the order above gives it: the second colour of row
// y-1 needs the first colour of rows y-2..y and the even-row sides before it; a side
// or edge step runs right after the last update it reads and before the first
// update that reads it.
void relaxSweep(float* u, const float* f, int32_t stride, int32_t w, int32_t h, float hs)
{
    const int64_t last = static_cast<int64_t>(h - 1) * stride;
    u[0] = ((u[1] + u[stride]) - hs * f[0]) * 0.5f;
    u[w - 1] = ((u[w - 2] + u[w - 1 + stride]) - hs * f[w - 1]) * 0.5f;
    u[last] = ((u[last - stride] + u[last + 1]) - hs * f[last]) * 0.5f;
    u[last + w - 1] = ((u[last + w - 1 - stride] + u[last + w - 2]) - hs * f[last + w - 1]) * 0.5f;

    // Columns of the edge rows updated with the first colour, then the others.
    const int32_t edgeFirst = (h & 1) == 0 ? 2 : 1;
    const int32_t edgeSecond = 3 - edgeFirst;
    float* bottom = u + last;
    const float* fBottom = f + last;
    auto firstColour = [&](int32_t y) { relaxInteriorRow(u, f, stride, w, y, hs, (y & 1) ? 2 : 1); };
    auto secondColour = [&](int32_t y) {
        relaxInteriorRow(u, f, stride, w, y, hs, (y & 1) ? 1 : 2);
        if (y & 1)
            relaxSideRow(u, f, stride, w, y, hs);
        if (y == 1)
            relaxEdgeRow(u, f, stride, w, hs, edgeSecond);
    };

    if (h == 2) {
        relaxEdgeRow(u, f, stride, w, hs, edgeFirst);
        relaxEdgeRow(bottom, fBottom, -stride, w, hs, edgeFirst);
        relaxEdgeRow(u, f, stride, w, hs, edgeSecond);
        relaxEdgeRow(bottom, fBottom, -stride, w, hs, edgeSecond);
        return;
    }
    for (int32_t y = 1; y <= h - 2; ++y) {
        firstColour(y);
        if ((y & 1) == 0)
            relaxSideRow(u, f, stride, w, y, hs);
        if (y == 1)
            relaxEdgeRow(u, f, stride, w, hs, edgeFirst);
        if (y == h - 2)
            relaxEdgeRow(bottom, fBottom, -stride, w, hs, edgeFirst);
        if (y >= 2)
            secondColour(y - 1);
    }
    secondColour(h - 2);
    relaxEdgeRow(bottom, fBottom, -stride, w, hs, edgeSecond);
}

// The sweep of relaxSweep split into bands of interior rows [begin, end) run by
// the team, every update reading exactly the values the single-threaded order gives
// it. The caller updates the corners first (nothing in the bands reads what they
// read). Phase one, each band on its own: the first colour and the even-row sides of
// every row, and as a wavefront the second colour and odd-row sides of the band's
// inner rows (their neighbour rows are the band's own, first colour done). Phase two,
// after every band's phase one: the top and bottom rows at the first colour's columns
// (they read rows 1 and h-2 in their first colour), then the second colour of each
// band's first and last row (they read the neighbouring bands' first colour, and rows
// 1 and h-2 read the edge rows), then the edge rows at the other columns.
// Within a phase, bands write disjoint rows, and a band's first and last rows, which
// the neighbouring bands read while it writes them, go through the scalar loop: the
// vector kernels load whole blocks of the neighbouring rows (cells the other band is
// updating) and store the other colour's cells back unchanged, either of which would
// be a data race however harmless its values.
struct BandedSweep {
    float* u;
    const float* f;
    int32_t stride, w, h;
    float hs;
    int32_t edgeFirst, edgeSecond;

    // Row y of band [begin, end) borders another band.
    bool shared(int32_t y, int32_t begin, int32_t end) const
    {
        return (y == begin && begin > 1) || (y == end - 1 && end < h - 1);
    }
    void firstColour(int32_t y, bool vectors) const
    {
        relaxInteriorRow(u, f, stride, w, y, hs, (y & 1) ? 2 : 1, vectors);
        if ((y & 1) == 0)
            relaxSideRow(u, f, stride, w, y, hs);
    }
    void secondColour(int32_t y, bool vectors) const
    {
        relaxInteriorRow(u, f, stride, w, y, hs, (y & 1) ? 1 : 2, vectors);
        if (y & 1)
            relaxSideRow(u, f, stride, w, y, hs);
    }
    float* bottom() const { return u + static_cast<int64_t>(h - 1) * stride; }
    const float* fBottom() const { return f + static_cast<int64_t>(h - 1) * stride; }

    // Interior rows of band [begin, end), in rows 1..h-2.
    void phaseOne(int32_t begin, int32_t end) const
    {
        for (int32_t y = begin; y < end; ++y) {
            firstColour(y, !shared(y, begin, end));
            if (y - 1 > begin)
                secondColour(y - 1, true); // an inner row: only this band reads it
        }
    }
    void phaseTwo(int32_t begin, int32_t end) const
    {
        const bool top = begin == 1, last = end == h - 1;
        if (top)
            relaxEdgeRow(u, f, stride, w, hs, edgeFirst);
        if (last)
            relaxEdgeRow(bottom(), fBottom(), -stride, w, hs, edgeFirst);
        secondColour(begin, !shared(begin, begin, end));
        if (end - 1 > begin)
            secondColour(end - 1, !shared(end - 1, begin, end));
        if (top)
            relaxEdgeRow(u, f, stride, w, hs, edgeSecond);
        if (last)
            relaxEdgeRow(bottom(), fBottom(), -stride, w, hs, edgeSecond);
    }
};

void relaxSweepBanded(TMWorkers* workers, float* u, const float* f, int32_t stride, int32_t w, int32_t h, float hs,
                      int32_t bands)
{
    const int64_t last = static_cast<int64_t>(h - 1) * stride;
    u[0] = ((u[1] + u[stride]) - hs * f[0]) * 0.5f;
    u[w - 1] = ((u[w - 2] + u[w - 1 + stride]) - hs * f[w - 1]) * 0.5f;
    u[last] = ((u[last - stride] + u[last + 1]) - hs * f[last]) * 0.5f;
    u[last + w - 1] = ((u[last + w - 1 - stride] + u[last + w - 2]) - hs * f[last + w - 1]) * 0.5f;
    const int32_t edgeFirst = (h & 1) == 0 ? 2 : 1;
    const BandedSweep sweep{u, f, stride, w, h, hs, edgeFirst, 3 - edgeFirst};
    // Bands of the h - 2 interior rows, which start at row 1.
    workers->For(h - 2, bands, [&](int32_t, int64_t begin, int64_t end) {
        sweep.phaseOne(static_cast<int32_t>(begin + 1), static_cast<int32_t>(end + 1));
    });
    workers->For(h - 2, bands, [&](int32_t, int64_t begin, int64_t end) {
        sweep.phaseTwo(static_cast<int32_t>(begin + 1), static_cast<int32_t>(end + 1));
    });
}

// Interior rows per band below which a level is swept by one thread: a band's second
// phase touches two rows, so thin bands mostly add waiting.
constexpr int32_t kMinBandRows = 8;
// Cells per band below which the hand-over between threads costs more than the band.
constexpr int64_t kMinBandCells = 16384;

// Bands for a w x h region: 1 where threads would not pay.
int32_t sweepBands(const TMWorkers* workers, int32_t w, int32_t h)
{
    if (h < 4)
        return 1;
    return TMPartsOn(workers, h - 2, std::max<int64_t>(kMinBandRows, (kMinBandCells + w - 1) / w));
}

// Residual (n u - sum of the n neighbours) / hs + f of row y of a w x h level, into
// out; inv is 1 / hs in single precision.
void residualRow(const float* u, const float* f, int32_t w, int32_t h, int32_t y, float inv, float* out)
{
    const float* row = u + static_cast<int64_t>(y) * w;
    const float* fr = f + static_cast<int64_t>(y) * w;
    const float* up = row - w;
    const float* down = row + w;
    if (y == 0 || y == h - 1) {
        const float* vert = y == 0 ? down : up;
        out[0] = (2.0f * row[0] - (row[1] + vert[0])) * inv + fr[0];
        for (int32_t x = 1; x < w - 1; ++x)
            out[x] = (3.0f * row[x] - ((row[x - 1] + row[x + 1]) + vert[x])) * inv + fr[x];
        out[w - 1] = (2.0f * row[w - 1] - (row[w - 2] + vert[w - 1])) * inv + fr[w - 1];
        return;
    }
    out[0] = (3.0f * row[0] - ((row[1] + up[0]) + down[0])) * inv + fr[0];
    for (int32_t x = 1; x < w - 1; ++x)
        out[x] = (4.0f * row[x] - (((up[x] + row[x - 1]) + row[x + 1]) + down[x])) * inv + fr[x];
    const int32_t e = w - 1;
    out[e] = (3.0f * row[e] - ((row[e - 1] + up[e]) + down[e])) * inv + fr[e];
}

// Cells per part of the row-parallel passes below which one thread does the pass.
constexpr int64_t kMinPartCells = 32768;
int32_t rowParts(const TMWorkers* workers, int32_t w, int32_t rows)
{
    return TMPartsOn(workers, rows, (kMinPartCells + w - 1) / std::max(w, 1));
}

// Residual of a whole level into r (row stride w).
void residual(TMWorkers* workers, const float* u, const float* f, int32_t w, int32_t h, float hs, float* r)
{
    const float inv = 1.0f / hs;
    TMForParts(workers, h, rowParts(workers, w, h), [&](int32_t, int64_t begin, int64_t end) {
        for (int64_t y = begin; y < end; ++y)
            residualRow(u, f, w, h, static_cast<int32_t>(y), inv, r + y * w);
    });
}

// Residual of a level restricted by 2 x 2 boxes into the coarse level (exactly half
// its size), two fine rows at a time through the scratch rows: two rows of w per
// part, which the w x h floats of scratch always hold (parts <= ch = h / 2).
void restrictResidualBox(TMWorkers* workers, const float* u, const float* f, int32_t w, int32_t h, float hs,
                         float* coarse, int32_t cw, int32_t ch, float* scratch)
{
    const float inv = 1.0f / hs;
    TMForParts(workers, ch, rowParts(workers, 2 * w, ch), [&](int32_t part, int64_t begin, int64_t end) {
        float* a = scratch + static_cast<int64_t>(part) * 2 * w;
        float* b = a + w;
        for (int32_t y = static_cast<int32_t>(begin); y < end; ++y) {
            residualRow(u, f, w, h, 2 * y, inv, a);
            residualRow(u, f, w, h, 2 * y + 1, inv, b);
            float* out = coarse + static_cast<int64_t>(y) * cw;
            for (int32_t x = 0; x < cw; ++x)
                out[x] = 0.25f * (((a[2 * x] + a[2 * x + 1]) + b[2 * x]) + b[2 * x + 1]);
        }
    });
}

// Weights of one axis of the area-weighted first restriction: the coarse cell i spans
// fine positions i*f .. (i+1)*f; its first, middle and last fine cells carry w[0..2].
struct AxisTaps {
    int32_t first;
    float w[3];
};

AxisTaps axisTaps(int32_t i, float f, float rf)
{
    AxisTaps t;
    const float p0 = static_cast<float>(i) * f;
    t.first = static_cast<int32_t>(p0);
    float lead = static_cast<float>(t.first + 1) - p0;
    const float p1 = static_cast<float>(i + 1) * f;
    float tail = p1 - static_cast<float>(static_cast<int32_t>(p1));
    if (lead < 1e-30f)
        lead = 1.0f;
    if (tail < 1e-30f)
        tail = 1.0f;
    lead *= rf;
    tail *= rf;
    if (lead + tail + rf < 0.9f)
        tail = 1.0f - lead - rf;
    t.w[0] = lead;
    t.w[1] = rf;
    t.w[2] = tail;
    return t;
}

// First restriction of the non-aligned case: W x H residual -> cw x ch, three taps
// per axis (two when that side is a multiple of the level step).
void restrictAreaRows(const float* r, int32_t W, int32_t H, float* coarse, int32_t cw, int32_t rowBegin, int32_t rowEnd,
                      float fx, float fy, float rx, float ry, int32_t tapsX, int32_t tapsY)
{
    for (int32_t y = rowBegin; y < rowEnd; ++y) {
        const AxisTaps ty = axisTaps(y, fy, ry);
        float* out = coarse + static_cast<int64_t>(y) * cw;
        for (int32_t x = 0; x < cw; ++x) {
            const AxisTaps tx = axisTaps(x, fx, rx);
            float sum = 0.0f;
            for (int32_t i = 0; i < tapsY; ++i) {
                const int32_t sy = std::min(ty.first + i, H - 1);
                const float* row = r + static_cast<int64_t>(sy) * W;
                for (int32_t j = 0; j < tapsX; ++j) {
                    const int32_t sx = std::min(tx.first + j, W - 1);
                    sum += (ty.w[i] * tx.w[j]) * row[sx];
                }
            }
            out[x] = sum;
        }
    }
}

void restrictArea(TMWorkers* workers, const float* r, int32_t W, int32_t H, float* coarse, int32_t cw, int32_t ch,
                  float fx, float fy, float rx, float ry, int32_t tapsX, int32_t tapsY)
{
    TMForParts(workers, ch, rowParts(workers, 4 * cw, ch), [&](int32_t, int64_t begin, int64_t end) {
        restrictAreaRows(r, W, H, coarse, cw, static_cast<int32_t>(begin), static_cast<int32_t>(end), fx, fy, rx, ry,
                         tapsX, tapsY);
    });
}

// Correction step of a fine level exactly twice the coarse size: every fine pixel
// becomes the co-located coarse value plus its own value.
void prolongAddBox(TMWorkers* workers, const float* coarse, int32_t cw, int32_t ch, float* fine, int32_t fw)
{
    TMForParts(workers, ch, rowParts(workers, 2 * fw, ch), [&](int32_t, int64_t begin, int64_t end) {
        for (int64_t y = begin; y < end; ++y) {
            const float* c = coarse + y * cw;
            float* a = fine + 2 * y * fw;
            float* b = a + fw;
            for (int32_t x = 0; x < cw; ++x) {
                a[2 * x] = c[x] + a[2 * x];
                a[2 * x + 1] = c[x] + a[2 * x + 1];
                b[2 * x] = c[x] + b[2 * x];
                b[2 * x + 1] = c[x] + b[2 * x + 1];
            }
        }
    });
}

// For the last prolongation of the non-aligned case: each coarse value fills the
// block of level 0 that its cell spans (3 pixels along a side, or 2 along a side that
// is a multiple of the level step), later coarse pixels (row-major) winning where
// blocks overlap. Along one axis the winner of fine position p is the last coarse
// index whose block starts at or before p. Where the cells are wider than three
// pixels the blocks would leave gaps whose old values the correction would double;
// taking the last block that starts at or before p closes them and changes nothing
// where the blocks already cover the level.
void blockWinners(int32_t coarseCount, float f, int32_t fineCount, int32_t* winner)
{
    int32_t i = 0;
    for (int32_t p = 0; p < fineCount; ++p) {
        while (i + 1 < coarseCount && static_cast<int32_t>(static_cast<float>(i + 1) * f) <= p)
            ++i;
        winner[p] = i;
    }
}

void prolongAddArea(TMWorkers* workers, const float* coarse, int32_t cw, float* fine, int32_t W, int32_t H,
                    const int32_t* winX, const int32_t* winY)
{
    TMForParts(workers, H, rowParts(workers, W, H), [&](int32_t, int64_t begin, int64_t end) {
        for (int64_t y = begin; y < end; ++y) {
            const float* c = coarse + static_cast<int64_t>(winY[y]) * cw;
            float* row = fine + y * W;
            for (int32_t x = 0; x < W; ++x)
                row[x] = c[winX[x]] + row[x];
        }
    });
}

// out = exp(u) as floats; the fast exponential where its rounding is certain. A
// solution beyond the float range (u above 88.72, behind a pixel far brighter or
// darker than its neighbours) gives the largest float, not infinity: the output
// mapping needs finite cells, and any cell that high is far above the white point.
void exponentiateRange(const float* u, float* out, size_t n)
{
    constexpr size_t kBlock = 512;
    constexpr double kLargest = 3.4028234663852886e38;
    double x[kBlock], e[kBlock];
    for (size_t start = 0; start < n; start += kBlock) {
        const size_t count = std::min(kBlock, n - start);
        for (size_t i = 0; i < count; ++i)
            x[i] = u[start + i];
        tm_fast::expArray(x, e, count);
        for (size_t i = 0; i < count; ++i) {
            const double v = tm_fast::roundsToSameFloat(e[i], 2 * tm_fast::kFastMathError) ? e[i] : std::exp(x[i]);
            out[start + i] = static_cast<float>(std::min(v, kLargest));
        }
    }
}

void exponentiate(TMWorkers* workers, const float* u, float* out, size_t n)
{
    TMForParts(workers, static_cast<int64_t>(n), TMPartsOn(workers, static_cast<int64_t>(n), kMinPartCells),
               [&](int32_t, int64_t begin, int64_t end) {
                   exponentiateRange(u + begin, out + begin, static_cast<size_t>(end - begin));
               });
}

// Zeroes n floats, the parts in parallel.
void clearFloats(TMWorkers* workers, float* p, int64_t n)
{
    TMForParts(workers, n, TMPartsOn(workers, n, 16 * kMinPartCells), [&](int32_t, int64_t begin, int64_t end) {
        std::memset(p + begin, 0, sizeof(float) * static_cast<size_t>(end - begin));
    });
}

} // namespace

void TMRelaxLevel(int32_t W, int32_t H, int32_t baseWidth, int32_t baseHeight, int32_t w, int32_t h, float hs,
                  int32_t sweeps, int32_t offset, float* u, const float* f, TMWorkers* workers, int32_t bands)
{
    int32_t rw = w, rh = h;
    if (W != baseWidth || H != baseHeight) {
        // A sub-image of the base: relax only the part of the level it covers.
        rw = std::min<int32_t>(w, static_cast<int32_t>(static_cast<int64_t>(w) * W / baseWidth) + 1);
        rh = std::min<int32_t>(h, static_cast<int32_t>(static_cast<int64_t>(h) * H / baseHeight) + 1);
    }
    if (rw < 2 || rh < 2)
        return;
    if (bands <= 0)
        bands = sweepBands(workers, rw, rh);
    bands = std::min(bands, rh - 2);
    for (int32_t s = 0; s < sweeps; ++s) {
        if (bands > 1 && workers != nullptr)
            relaxSweepBanded(workers, u + offset, f + offset, w, rw, rh, hs, bands);
        else
            relaxSweep(u + offset, f + offset, w, rw, rh, hs);
    }
}

int32_t TMSolvePoisson(int32_t W, int32_t H, int32_t baseWidth, int32_t baseHeight, int32_t coarseWidth,
                       int32_t coarseHeight, int32_t solverTotal, int32_t levelCount, float* B, float* C, float* A,
                       TMWorkers* workers)
{
    if (levelCount < 1 || levelCount > 30)
        return TMErrTooSmall;
    const int32_t s = int32_t{1} << levelCount;
    const int32_t Wp = s * (W / s), Hp = s * (H / s);
    // Every level, the first coarse one included, must be at least 2 x 2.
    if (Wp < 4 || Hp < 4)
        return TMErrTooSmall;
    const bool aligned = (W % s == 0) && (H % s == 0);
    int64_t total = solverTotal;
    if (!aligned) {
        int32_t w = Wp, h = Hp;
        int64_t sum = static_cast<int64_t>(W) * H;
        for (int32_t i = 0; i < levelCount; ++i) {
            if (w > 3 && h > 3) {
                w = halve(w);
                h = halve(h);
            }
            sum += static_cast<int64_t>(w) * h;
        }
        coarseWidth = w;
        coarseHeight = h;
        // The buffers hold solverTotal floats; the aligned-down pyramid never needs more.
        if (sum > solverTotal)
            return TMErrTooSmall;
        total = sum;
    }
    (void)coarseHeight;
    const float fx = static_cast<float>(W) / static_cast<float>(Wp / 2);
    const float fy = static_cast<float>(H) / static_cast<float>(Hp / 2);
    const float rx = 1.0f / fx, ry = 1.0f / fy;
    const int32_t tapsX = (W % s == 0) ? 2 : 3;
    const int32_t tapsY = (H % s == 0) ? 2 : 3;

    int32_t* widths = new (std::nothrow) int32_t[levelCount + 2];
    int32_t* heights = new (std::nothrow) int32_t[levelCount + 2];
    if (!widths || !heights) {
        delete[] widths;
        delete[] heights;
        return TMErrAlloc;
    }
    // Level sizes, offsets (floats into the pyramid) and grid spacings.
    int64_t offsets[32];
    float spacing[32];
    int32_t count = 1;
    widths[0] = W;
    heights[0] = H;
    offsets[0] = 0;
    while (widths[count - 1] > coarseWidth && count < levelCount + 1) {
        const int32_t pw = widths[count - 1], ph = heights[count - 1];
        const bool first = count == 1 && !aligned;
        widths[count] = first ? Wp / 2 : halve(pw);
        heights[count] = first ? Hp / 2 : halve(ph);
        offsets[count] = offsets[count - 1] + static_cast<int64_t>(pw) * ph;
        ++count;
    }
    const int64_t baseSpan = static_cast<int64_t>(W - 1) * (H - 1);
    for (int32_t k = 0; k < count; ++k)
        spacing[k] = static_cast<float>(baseSpan / (static_cast<int64_t>(widths[k] - 1) * (heights[k] - 1)));

    // Winning coarse column and row of every level-0 pixel in the last prolongation.
    int32_t* winners = nullptr;
    if (!aligned) {
        winners = new (std::nothrow) int32_t[static_cast<size_t>(W) + static_cast<size_t>(H)];
        if (!winners) {
            delete[] widths;
            delete[] heights;
            return TMErrAlloc;
        }
        blockWinners(widths[1], fx, W, winners);
        blockWinners(heights[1], fy, H, winners + W);
    }

    clearFloats(workers, C, total);
    clearFloats(workers, B, static_cast<int64_t>(W) * H);

    for (int cycle = 0; cycle < 4; ++cycle) {
        // Down: smooth, restrict the residual, start the coarser level from zero.
        for (int32_t k = 0; k + 1 < count; ++k) {
            const int32_t w = widths[k], h = heights[k];
            TMRelaxLevel(W, H, baseWidth, baseHeight, w, h, spacing[k], 3, static_cast<int32_t>(offsets[k]), C, A,
                         workers);
            const int32_t cw = widths[k + 1], ch = heights[k + 1];
            float* coarseF = A + offsets[k + 1];
            if (k == 0 && !aligned) {
                residual(workers, C, A, W, H, spacing[0], B);
                restrictArea(workers, B, W, H, coarseF, cw, ch, fx, fy, rx, ry, tapsX, tapsY);
            } else {
                restrictResidualBox(workers, C + offsets[k], A + offsets[k], w, h, spacing[k], coarseF, cw, ch, B);
            }
            clearFloats(workers, C + offsets[k + 1], static_cast<int64_t>(cw) * ch);
        }
        // The coarsest level gets 0 sweeps: its correction stays zero.
        // Up: prolong the coarse correction onto the finer level, add the finer
        // level's own solution, smooth.
        for (int32_t k = count - 2; k >= 0; --k) {
            const int32_t w = widths[k], h = heights[k];
            float* fine = C + offsets[k];
            const float* coarse = C + offsets[k + 1];
            if (k == 0 && !aligned)
                prolongAddArea(workers, coarse, widths[1], fine, W, H, winners, winners + W);
            else
                prolongAddBox(workers, coarse, widths[k + 1], heights[k + 1], fine, w);
            TMRelaxLevel(W, H, baseWidth, baseHeight, w, h, spacing[k], 2, static_cast<int32_t>(offsets[k]), C, A,
                         workers);
        }
    }

    exponentiate(workers, C, A, static_cast<size_t>(W) * static_cast<size_t>(H));

    delete[] winners;
    delete[] widths;
    delete[] heights;
    return baseWidth;
}
