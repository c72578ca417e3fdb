// The output-only refresh from the kept colour terms: the display thresholds it
// counts bytes with, and the vector kernels that map whole pixels where the
// processor has them (engine/cpu_dispatch.h chooses).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "cpu_dispatch.h"
#include "preview_mapping.h"

namespace tm_preview {

// Relative margin around each display threshold: far above the error of the
// thresholds themselves and of 255 x^gamma in double (a few units in the last place).
constexpr double kThresholdMargin = 1.0e-12;
// Bound for truncating histogram values: far outside any bin, safe to convert.
constexpr double kTruncLimit = 1.0995116277760e12;

// Display byte of t as a count of thresholds: byte = number of b in 1..255 with
// t >= tau_b = (b / 255)^(1 / gamma), which is trunc(255 t^gamma) limited to 0..255
// wherever t is not within kThresholdMargin of some tau_b. The table cuts 0..2 into
// cells of 1/4096 (narrower than the gap between two thresholds, which init checks)
// and gives the count at each cell's start, so one comparison finishes the count.
class DisplayThresholds {
public:
    static constexpr double kCellsPerUnit = 4096.0;
    static constexpr int32_t kCells = 8192; // cells of 0..2; from tau_255 = 1 up every count is 255

    // packedToo: also the table of packed(), for the vector kernels.
    bool init(double gamma, bool packedToo)
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
        for (int32_t i = 0; packedToo && i <= kCells; ++i) {
            // Past tau_255 a finite stand-in above every t the vector path looks up.
            const double next = table_[i] < 255 ? th_[table_[i] + 1] : 1.0e308;
            uint64_t bits;
            std::memcpy(&bits, &next, sizeof bits);
            bits = (bits & ~uint64_t{0xff}) | static_cast<uint64_t>(table_[i]);
            std::memcpy(&packed_[i], &bits, sizeof bits);
        }
        return table_[0] == 0 && table_[kCells] == 255;
    }
    // The cell of x >= 0 (NaN not allowed): the count of thresholds at or below x is
    // table()[cell] plus one where th()[that + 1] <= x.
    static int32_t cellOf(double x) { return static_cast<int32_t>(std::min(x, 2.0) * kCellsPerUnit); }
    const double* th() const { return th_; }
    const int32_t* table() const { return table_; }
    // Per cell, one 64-bit look-up: the next threshold above the cell's start as a
    // double whose low 8 bits hold the cell's count. Those bits move the threshold
    // by at most 2^-44 of itself, far inside kThresholdMargin, so that a t near it is
    // still found uncertain.
    const double* packed() const { return packed_; }

private:
    double th_[257];
    int32_t table_[kCells + 1];
    double packed_[kCells + 1];
};

// --- Vector kernels (x86, chosen by the dispatch level) ------------------------------

// The kernels' exponential, in single precision (preview_kernels.inc): its domain
// |x| <= kExpArgLimit, and the bound on its relative error there.
constexpr float kExpArgLimit = 86.0f;
constexpr double kExpFloatError = 2.5e-7;
//
// Float terms: termExponents, the exponentials, blendedTerms, mapChannels and the
// histogram bin of whole pixels, several at a time. lnB, lum, lnR: the block's kept
// terms and cells; k, localWeight, s: the curve's. The bounds are the portable loops',
// formed in the same order; where the lanes take a shorter road it can only send
// more pixels to the library, never accept another byte. Writes the display bytes of
// all lanes (uncertain ones are the caller's to replace), the bin and certain (0 or 1)
// per pixel. Return the pixels done, a multiple of the lane count.
//
// 16-bit terms: mapSamples16 of whole pixels, with the display bytes, the bin and
// certain per pixel; raw colour-major as sourceSamples16 fills it.
//
// expFloat: the kernels' exponential on an array (n a multiple of the wide lane count,
// |x| <= 86), for the tests of its bound (kExpFloatError, preview_kernels.inc).
#if defined(TM_X86_KERNELS)
int32_t mapPixels32Avx2(const DisplayThresholds& thr, const float* lnB, const float* lum, const float* const lnR[3],
                        int32_t n, bool curve, double s, double k, float localWeight, uint8_t* const display[3],
                        int32_t* bin, int32_t* certain, bool linear);
int32_t mapPixels32Avx512(const DisplayThresholds& thr, const float* lnB, const float* lum, const float* const lnR[3],
                          int32_t n, bool curve, double s, double k, float localWeight, uint8_t* const display[3],
                          int32_t* bin, int32_t* certain, bool linear);
int32_t mapPixels16Avx2(const float* const lnR[3], const float* lum, const uint16_t* raw, int32_t n, const Blend16& bl,
                        uint8_t* const display[3], int32_t* bin, int32_t* certain);
int32_t mapPixels16Avx512(const float* const lnR[3], const float* lum, const uint16_t* raw, int32_t n,
                          const Blend16& bl, uint8_t* const display[3], int32_t* bin, int32_t* certain);
void expFloatAvx2(const float* x, float* out, int32_t n);
void expFloatAvx512(const float* x, float* out, int32_t n);
#endif

} // namespace tm_preview
