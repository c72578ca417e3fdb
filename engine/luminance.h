// Small per-pixel helpers shared by the input and output stages.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#include "fast_math.h"
#include "tm_engine.h"

namespace tm_detail {

// Luminance of raw float samples as the output mapping weighs them (single precision).
inline float outputLuminance(float r, float g, float b) { return 0.3f * r + 0.6f * g + 0.1f * b; }

inline bool isFiniteFloat(float v)
{
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return (bits & 0x7f800000u) != 0x7f800000u;
}

// Pixels with a NaN or infinite sample are invalid: they have no luminance to map.
inline bool finiteSamples(float r, float g, float b)
{
    return isFiniteFloat(r) && isFiniteFloat(g) && isFiniteFloat(b);
}

// A pixel of finite samples whose single-precision luminance Y overflows (samples
// within a few units in the last place of the largest float). The output maps it with
// the same sum in double (wideLuminance), so it comes out as bright as it is.
inline bool overflowingLuminance(const float c[3], float Y)
{
    return Y > 3.40282347e38f && finiteSamples(c[0], c[1], c[2]);
}
inline double wideLuminance(const float c[3])
{
    return static_cast<double>(0.3f) * c[0] + static_cast<double>(0.6f) * c[1] + static_cast<double>(0.1f) * c[2];
}

// A pixel the float output maps to something other than black whatever the settings:
// finite samples and a positive luminance (overflowing or not).
inline bool mappablePixel(const float c[3])
{
    return finiteSamples(c[0], c[1], c[2]) && outputLuminance(c[0], c[1], c[2]) > 0.0f;
}

// Plane roles: red first, green in the middle, blue last; one plane serves all three.
struct PlaneRoles {
    int32_t red, green, blue;
};
inline PlaneRoles planeRoles(int32_t planes) { return PlaneRoles{0, (planes - 1) / 2, planes - 1}; }

template <typename T>
inline const T* rowAt(const T* base, int64_t rowBytes, int32_t y)
{
    return reinterpret_cast<const T*>(reinterpret_cast<const unsigned char*>(base) + rowBytes * y);
}
template <typename T>
inline T* rowAt(T* base, int64_t rowBytes, int32_t y)
{
    return reinterpret_cast<T*>(reinterpret_cast<unsigned char*>(base) + rowBytes * y);
}

// Converts a double to int32 by truncation the way the x86 conversion instruction
// does: values that are not finite or out of range give INT32_MIN (not undefined
// behaviour).
inline int32_t truncToInt32(double v)
{
    if (!(v > -2147483649.0 && v < 2147483648.0))
        return INT32_MIN;
    return static_cast<int32_t>(v);
}

// out[i] = (float) ln x[i] for the positive x; others are left for the caller. The
// fast logarithm is used where its rounding to float is certain. scratch holds n
// doubles.
inline void logToFloat(const double* x, double* scratch, float* out, int32_t n)
{
    tm_fast::logArray(x, scratch, static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i) {
        if (!(x[i] > 0.0))
            continue;
        out[i] = tm_fast::roundsToSameFloat(scratch[i], 2 * tm_fast::kFastMathError)
                     ? static_cast<float>(scratch[i])
                     : static_cast<float>(std::log(x[i]));
    }
}

} // namespace tm_detail
