// Settings and per-pixel arithmetic shared by the final render's float output mapping
// and the preview's: one definition of the clamped settings, the global curve and the
// blended luminance, so the preview shows the render's colours.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "luminance.h"
#include "tm_engine.h"

namespace tm_detail {

using OutputSettings = TMOutputSettings;

inline OutputSettings clampOutputSettings(int32_t colorSaturation, float whiteClip, float blackClip, int32_t strength)
{
    return TMLimitOutputSettings(colorSaturation, whiteClip, blackClip, strength);
}

// Constants of the float pixel mapping for one call.
struct Curve32 {
    float k;           // blend weight of the global curve
    float localWeight; // 1 - k
    double ratio;      // ln 10 / ln(rangeFactor + 1), or 1
    float inv;         // 1 / rangeFactor, or 1
    double saturation; // exponent of the colour ratios
    double gamma;      // exponent of the result
};

// Global curve: adaptive logarithmic mapping with the range factor as the largest
// luminance and the bias exponent fixed at 0.23.
inline Curve32 makeCurve32(float k, double saturation, double gamma, float rangeFactor)
{
    Curve32 cv{k, 1.0f - k, 1.0, 1.0f, saturation, gamma};
    if (rangeFactor > 0.0f) {
        cv.ratio = std::log(10.0) / std::log(static_cast<double>(rangeFactor + 1.0f));
        cv.inv = 1.0f / rangeFactor;
    }
    return cv;
}

// The mapped luminance L of a pixel with luminance Y (positive, finite) and
// normalised cell L0: the global curve blended by k, or L0 alone when k is 0.
inline double blendedLuminance(const Curve32& cv, float Y, float L0)
{
    if (!(cv.k > 0.0f))
        return L0;
    const float a1 = Y + 1.0f;
    // Y inv beyond the float range (a bright image, whose range factor is tiny) is
    // taken in double: its power is far inside it.
    const float q = Y * cv.inv;
    const double qd = isFiniteFloat(q) ? static_cast<double>(q) : static_cast<double>(Y) * static_cast<double>(cv.inv);
    const float a2 = static_cast<float>(8.0 * std::pow(qd, 0.23) + 2.0);
    const double B = cv.ratio * std::log(static_cast<double>(a1)) / std::log(static_cast<double>(a2));
    return static_cast<double>(cv.k) * std::pow(B, cv.saturation) + static_cast<double>(cv.localWeight * L0);
}

// (c / Y)^s of a channel, 0 for a sample that is not positive.
inline double colourRatio(const Curve32& cv, float c, float Y)
{
    return c > 0.0f ? std::pow(static_cast<double>(c / Y), cv.saturation) : 0.0;
}

// L and the colour ratios of a pixel whose single-precision luminance Y overflows
// (overflowingLuminance): the same arithmetic with Y, Y + 1, Y inv and c / Y in double.
// False for every other pixel.
inline bool wideLuminanceTerms(const Curve32& cv, const float c[3], float Y, float L0, double* L, double ratio[3])
{
    if (!overflowingLuminance(c, Y))
        return false;
    const double Yd = wideLuminance(c);
    *L = L0;
    if (cv.k > 0.0f) {
        const float a2 = static_cast<float>(8.0 * std::pow(Yd * static_cast<double>(cv.inv), 0.23) + 2.0);
        const double B = cv.ratio * std::log(Yd + 1.0) / std::log(static_cast<double>(a2));
        *L = static_cast<double>(cv.k) * std::pow(B, cv.saturation) + static_cast<double>(cv.localWeight * L0);
    }
    for (int ch = 0; ch < 3; ++ch)
        ratio[ch] = c[ch] > 0.0f ? std::pow(static_cast<double>(c[ch]) / Yd, cv.saturation) : 0.0;
    return true;
}

// L and the colour ratios of a pixel, in single precision where Y fits and in double
// where it overflows; false for a pixel that maps to black (no positive luminance).
inline bool pixelTerms(const Curve32& cv, const float c[3], float Y, float L0, double* L, double ratio[3])
{
    if (!(Y > 0.0f && isFiniteFloat(Y)))
        return wideLuminanceTerms(cv, c, Y, L0, L, ratio);
    *L = blendedLuminance(cv, Y, L0);
    for (int ch = 0; ch < 3; ++ch)
        ratio[ch] = colourRatio(cv, c[ch], Y);
    return true;
}

// Pixels per block of the vectorised float paths.
constexpr int32_t kFastBlock = 256;

// The global curve's base B = ratio ln(Y + 1) / ln a2 of n <= kFastBlock pixels as
// blendedLuminance forms it, with the fast functions: relative distance from the
// library's B at most 2E + 4 ulp (E: tm_fast::kFastMathError). Pixels marked exact
// get a meaningless value.
void fastCurveBase(const Curve32& cv, const float* Y, const bool* exact, int32_t n, double* B);

// blendedLuminance of n <= kFastBlock pixels with the fast functions: L[j] and a
// bound errL[j] on its distance from blendedLuminance. Pixels marked exact are
// skipped (their L is meaningless); a pixel whose curve cannot be bounded is marked
// exact for the caller to compute with blendedLuminance.
void fastBlendedLuminance(const Curve32& cv, const float* Y, const float* L0, bool* exact, int32_t n, double* L,
                          double* errL);

} // namespace tm_detail
