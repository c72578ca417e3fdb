#include "fast_math.h"
#include "cpu_dispatch.h"

#include <cmath>
#include <cstring>

// The loops below are written for the compiler's vectoriser: fixed-width blocks of
// branch-free arithmetic on doubles and 64-bit integers, compiled once per dispatch
// level (cpu_dispatch.h); the results of the fast path are only ever accepted after a
// rounding check, so the level changes no output.

namespace tm_fast {
namespace {

inline uint64_t bitsOf(double v)
{
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}
inline double fromBits(uint64_t b)
{
    double v;
    std::memcpy(&v, &b, sizeof v);
    return v;
}

constexpr double kExpShift = 6755399441055744.0; // 1.5 * 2^52: adding it rounds to an integer
constexpr double kLog2E = 1.4426950408889634074;
constexpr double kLn2Hi = 6.93147180369123816490e-01; // ln 2 with trailing zero bits
constexpr double kLn2Lo = 1.90821492927058770002e-10;
// Taylor coefficients of exp, 1/13! down to 1/0!.
constexpr double kExpTaylor[14] = {1.0 / 6227020800.0,
                                   1.0 / 479001600.0,
                                   1.0 / 39916800.0,
                                   1.0 / 3628800.0,
                                   1.0 / 362880.0,
                                   1.0 / 40320.0,
                                   1.0 / 5040.0,
                                   1.0 / 720.0,
                                   1.0 / 120.0,
                                   1.0 / 24.0,
                                   1.0 / 6.0,
                                   0.5,
                                   1.0,
                                   1.0};
constexpr double kExpLimit = 700.0; // |x| above this is outside the domain
// A power's exponent y ln x carries the logarithm's relative error (a few units in
// the last place) as an absolute error, which exp turns into a relative one: about
// 4.5e-16 x |y ln x|. Up to 150 that stays within kFastMathError with room for the
// exponential's own rounding; beyond it the power is outside the domain.
constexpr double kPowLimit = 150.0;

// exp x for |x| <= 708: x = k ln 2 + r, |r| <= ln 2 / 2, exp r by its Taylor series
// to degree 13 (truncation below 3e-16 of the result). The series is summed in
// Estrin's order, pairs of terms then pairs of pairs, so that its longest chain of
// dependent operations is four multiply-adds rather than thirteen: the loops that
// inline this kernel are bound by that chain, not by the operation count. Its
// rounding (a few units in the last place) is far inside kFastMathError.
inline double expKernel(double x)
{
    const double kd = (x * kLog2E + kExpShift) - kExpShift;
    const double r = (x - kd * kLn2Hi) - kd * kLn2Lo;
    const double* c = kExpTaylor; // c[13 - i] = 1 / i!
    const double r2 = r * r, r4 = r2 * r2, r8 = r4 * r4;
    const double a0 = c[13] + c[12] * r, a1 = c[11] + c[10] * r, a2 = c[9] + c[8] * r, a3 = c[7] + c[6] * r;
    const double a4 = c[5] + c[4] * r, a5 = c[3] + c[2] * r, a6 = c[1] + c[0] * r;
    const double b0 = a0 + a1 * r2, b1 = a2 + a3 * r2, b2 = a4 + a5 * r2;
    const double d0 = b0 + b1 * r4, d1 = b2 + a6 * r4;
    const double p = d0 + d1 * r8;
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

constexpr double kNaN = __builtin_nan("");

// ln x for positive normal finite x: x = 2^e m with m in [sqrt(2)/2, sqrt(2)),
// ln m = 2 atanh(f / (2 + f)) with f = m - 1 by a minimax polynomial in s^2.
inline double logKernel(double x)
{
    const uint64_t b = bitsOf(x);
    const double m1 = fromBits((b & 0x000fffffffffffffull) | 0x3ff0000000000000ull); // [1, 2)
    // Exponent as a double without an int64 conversion: place the biased exponent in
    // the mantissa of 2^52 and subtract 2^52 + 1023.
    const double e1 = fromBits((b >> 52) | 0x4330000000000000ull) - (4503599627370496.0 + 1023.0);
    const bool up = m1 >= 1.4142135623730951;
    const double m = up ? m1 * 0.5 : m1;
    const double e = up ? e1 + 1.0 : e1;
    const double f = m - 1.0;
    const double hfsq = 0.5 * f * f;
    const double s = f / (2.0 + f);
    // The polynomials in w in Estrin's order (w^2 computed once), which shortens the
    // chain of dependent operations that bounds the vector loops.
    const double z = s * s, w = z * z, w2 = w * w;
    const double t1 = w * ((3.999999999940941908e-01 + w * 2.222219843214978396e-01) + w2 * 1.531383769920937332e-01);
    const double t2 = z * ((6.666666666666735130e-01 + w * 2.857142874366239149e-01) +
                           w2 * (1.818357216161805012e-01 + w * 1.479819860511658591e-01));
    const double R = t2 + t1;
    return e * kLn2Hi - ((hfsq - (s * (hfsq + R) + e * kLn2Lo)) - f);
}

inline bool logDomain(double x) { return (x >= 2.2250738585072014e-308) & (x <= 1.7976931348623157e308); }
inline bool expDomain(double x) { return (x >= -kExpLimit) & (x <= kExpLimit); }
inline bool powDomain(double l) { return (l >= -kPowLimit) & (l <= kPowLimit); }

// Out-of-domain lanes are computed on a harmless stand-in and fixed afterwards, so
// that the main loops have no branches.
TM_LOOP_BODY void logLoop(const double* x, double* out, size_t n)
{
    int outside = 0;
    for (size_t i = 0; i < n; ++i)
        outside |= logDomain(x[i]) ? 0 : 1;
    if (!outside) {
        for (size_t i = 0; i < n; ++i)
            out[i] = logKernel(x[i]);
        return;
    }
    // Rare: zero, negative, subnormal, infinite or NaN inputs among the values.
    for (size_t i = 0; i < n; ++i) {
        const double v = x[i];
        out[i] = logDomain(v) ? logKernel(v) : v > 0.0 && v < 1.0 ? std::log(v) : kNaN;
    }
}

TM_LOOP_BODY void expLoop(const double* x, double* out, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        const double v = x[i];
        const bool ok = expDomain(v);
        const double e = expKernel(ok ? v : 0.0);
        out[i] = ok ? e : kNaN;
    }
}

// x^y as exp(y ln x) in two passes over the block: the logarithms, then the
// exponentials (the block stays in the first-level cache). One loop holding both
// kernels measured at less than half the speed of the two loops apart. A lane
// outside either domain carries NaN from the first pass to the second.
TM_LOOP_BODY void powLoop(const double* x, double y, double* out, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        const double v = x[i];
        const bool okLog = logDomain(v);
        const double l = y * logKernel(okLog ? v : 1.0);
        out[i] = okLog ? l : kNaN;
    }
    for (size_t i = 0; i < n; ++i) {
        const double l = out[i];
        const bool ok = powDomain(l);
        const double e = expKernel(ok ? l : 0.0);
        out[i] = ok ? e : kNaN;
    }
}

TM_LOOP_BODY void powsLoop(const double* x, const double* y, double* out, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        const double v = x[i];
        const bool okLog = logDomain(v);
        const double l = y[i] * logKernel(okLog ? v : 1.0);
        out[i] = okLog ? l : kNaN;
    }
    for (size_t i = 0; i < n; ++i) {
        const double l = out[i];
        const bool ok = powDomain(l);
        const double e = expKernel(ok ? l : 0.0);
        out[i] = ok ? e : kNaN;
    }
}

} // namespace

void logArray(const double* x, double* out, size_t n) { tm_cpu::run<logLoop>(x, out, n); }
void expArray(const double* x, double* out, size_t n) { tm_cpu::run<expLoop>(x, out, n); }
void powArray(const double* x, double y, double* out, size_t n) { tm_cpu::run<powLoop>(x, y, out, n); }
void powArrays(const double* x, const double* y, double* out, size_t n) { tm_cpu::run<powsLoop>(x, y, out, n); }

} // namespace tm_fast
