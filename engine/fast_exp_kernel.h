// The exponential kernel of the fast functions, and the constants the vector kernels'
// exponential shares with it.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

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

// 2^(j / 16) for j = 0..15, from the library: the table of the vector kernels'
// exponential (engine/preview_kernels.inc).
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

} // namespace tm_fast::kernel
