// The exponential kernel of the fast functions, shared by the array functions and by
// vector loops that keep their values in registers: one set of constants and one
// order of operations, so every copy gives the same bits and the same error bound.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && defined(__linux__) && defined(__GNUC__) && !defined(__clang__)
#include <immintrin.h>
#define TM_FAST_EXP_AVX512 1
#endif

namespace tm_fast::kernel {

constexpr double kExpShift = 6755399441055744.0; // 1.5 * 2^52: adding it rounds to an integer
constexpr double kLog2E = 1.4426950408889634074;
constexpr double kLn2Hi = 6.93147180369123816490e-01; // ln 2 with trailing zero bits
constexpr double kLn2Lo = 1.90821492927058770002e-10;
// Taylor coefficients of exp, 1/13! down to 1/0!, in the order Horner's rule uses them.
constexpr double kExpTaylor[14] = {1.0 / 6227020800.0, 1.0 / 479001600.0, 1.0 / 39916800.0, 1.0 / 3628800.0,
                                   1.0 / 362880.0,     1.0 / 40320.0,     1.0 / 5040.0,     1.0 / 720.0,
                                   1.0 / 120.0,        1.0 / 24.0,        1.0 / 6.0,        0.5,
                                   1.0,                1.0};
constexpr double kExpLimit = 700.0; // |x| above this is outside the domain

// exp x for |x| <= 708: x = k ln 2 + r, |r| <= ln 2 / 2, exp r by its Taylor series.
inline double expKernel(double x)
{
    const double kd = (x * kLog2E + kExpShift) - kExpShift;
    const double r = (x - kd * kLn2Hi) - kd * kLn2Lo;
    double p = kExpTaylor[0];
    for (int i = 1; i < 14; ++i)
        p = p * r + kExpTaylor[i];
    // 2^k from the integer held in the low mantissa bits of kd + shift.
    uint64_t sum, shift;
    const double shifted = kd + kExpShift;
    std::memcpy(&sum, &shifted, sizeof sum);
    std::memcpy(&shift, &kExpShift, sizeof shift);
    const uint64_t scale = (sum - shift + 1023) << 52;
    double two;
    std::memcpy(&two, &scale, sizeof two);
    return p * two;
}

#if defined(TM_FAST_EXP_AVX512)
// 2^(j / 16) for j = 0..15, the table of expTable8, from the library.
inline const double* expTable16()
{
    static const struct Table {
        double v[16];
        Table()
        {
            for (int j = 0; j < 16; ++j)
                v[j] = std::exp2(j / 16.0);
        }
    } table;
    return table.v;
}

// exp of eight values with |x| <= kExpLimit (callers select the domain first), a
// shorter road than expKernel for loops that keep values in registers:
// x = (16 m + j) ln 2 / 16 + r with |r| <= ln 2 / 32, exp x = 2^m 2^(j / 16) e^r, and
// e^r by its Taylor series to r^7. The series' remainder is below 1.2e-18, the
// reduction is exact up to the rounding of kd ln2Lo / 16, and the table entry, the
// polynomial and the two products add a few units in the last place: the relative
// error stays below 1e-15, far inside kFastMathError. The bits differ from
// expKernel's; only the bound is shared.
// GCC 12's AVX-512 shift intrinsics start from an undefined register, which its
// own uninitialised-use warning reports wherever they are inlined.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
__attribute__((target("avx512f"))) inline __m512d expTable8(__m512d x, const double* table16)
{
    const __m512d shift = _mm512_set1_pd(kExpShift);
    const __m512d kd = _mm512_sub_pd(_mm512_add_pd(_mm512_mul_pd(x, _mm512_set1_pd(16.0 * kLog2E)), shift), shift);
    const __m512d r = _mm512_sub_pd(_mm512_sub_pd(x, _mm512_mul_pd(kd, _mm512_set1_pd(kLn2Hi / 16.0))),
                                    _mm512_mul_pd(kd, _mm512_set1_pd(kLn2Lo / 16.0)));
    // 1/7! down to 1/0!: the last eight of the Taylor coefficients.
    __m512d p = _mm512_set1_pd(kExpTaylor[6]);
    for (int i = 7; i < 14; ++i)
        p = _mm512_add_pd(_mm512_mul_pd(p, r), _mm512_set1_pd(kExpTaylor[i]));
    const __m512i q = _mm512_sub_epi64(_mm512_castpd_si512(_mm512_add_pd(kd, shift)), _mm512_castpd_si512(shift));
    const __m512d entry = _mm512_permutex2var_pd(_mm512_loadu_pd(table16), _mm512_and_si512(q, _mm512_set1_epi64(15)),
                                                 _mm512_loadu_pd(table16 + 8));
    const __m512i scale = _mm512_slli_epi64(_mm512_add_epi64(_mm512_srai_epi64(q, 4), _mm512_set1_epi64(1023)), 52);
    return _mm512_mul_pd(_mm512_mul_pd(p, entry), _mm512_castsi512_pd(scale));
}
#pragma GCC diagnostic pop
#endif

} // namespace tm_fast::kernel
