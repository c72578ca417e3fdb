// Fast, vectorised natural logarithm, exponential and power over arrays of doubles.
//
// These are approximations with a small relative error (see kFastMathError), used
// only as a first pass: a stage rounds each fast result to the precision it stores
// and accepts it only when the whole error interval rounds to the same value, so
// that the accepted value is the one the library functions would give. Everything
// else is recomputed with the library functions. Results therefore do not depend on
// the fast path, only the speed does.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tm_fast {

// Bound on the relative error of each function below over its documented domain,
// including the rounding of the library function it stands in for.
constexpr double kFastMathError = 1.0e-13;

// Each function may write its result over its input (out == x).
// out[i] = ln(x[i]) for positive finite x (normal or not); other inputs give NaN.
void logArray(const double* x, double* out, size_t n);
// out[i] = exp(x[i]) for |x| <= 700; other inputs give NaN.
void expArray(const double* x, double* out, size_t n);
// out[i] = x[i]^y for positive finite x with |y ln x| <= 150; other inputs give NaN.
void powArray(const double* x, double y, double* out, size_t n);
// out[i] = x[i]^y[i], same domain.
void powArrays(const double* x, const double* y, double* out, size_t n);

// True when every value within a relative distance `bound` of v rounds to the same
// float as v (v finite).
inline bool roundsToSameFloat(double v, double bound)
{
    const double d = (v < 0 ? -v : v) * bound;
    return static_cast<float>(v - d) == static_cast<float>(v + d);
}

} // namespace tm_fast
