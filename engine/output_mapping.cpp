// Output mapping: clip-point normalisation of the tone-mapped luminance, then colour
// from the input pixel's channel ratios, blended by Strength.
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "luminance.h"
#include "tm_engine.h"

using namespace tm_detail;

namespace {

constexpr int32_t kBins = 65536;

struct OutputSettings {
    double saturation; // exponent of the colour ratios, colorSaturation / 100
    float white;       // clip percentages, 0..10
    float black;
    int32_t strength;  // 0..100
};

OutputSettings clampSettings(int32_t colorSaturation, float whiteClip, float blackClip, int32_t strength)
{
    OutputSettings s;
    s.saturation = std::clamp(colorSaturation, 20, 100) / 100.0;
    s.white = std::clamp(whiteClip, 0.0f, 10.0f);
    s.black = std::clamp(blackClip, 0.0f, 10.0f);
    s.strength = std::clamp(strength, 0, 100);
    return s;
}

} // namespace

float TMBlendWeight32(int32_t strength)
{
    return static_cast<float>(100 - std::clamp(strength, 0, 100)) * 0.009f;
}

float TMBlendWeight16(int32_t strength)
{
    strength = std::clamp(strength, 0, 100);
    if (strength <= 40)
        return static_cast<float>(100 - strength) * 0.0076f;
    return (129.4f - static_cast<float>(strength)) * 0.0051f;
}

int32_t TMNormaliseClipPoints(int32_t workWidth, int32_t H, float whiteClipPercent,
                              float blackClipPercent, float G, float* lum)
{
    const int64_t n = static_cast<int64_t>(workWidth) * H;
    float maxCell = -1.0e9f, minCell = 1.0e9f;
    for (int64_t i = 0; i < n; ++i) {
        const float v = lum[i];
        if (v > maxCell) maxCell = v;
        if (v < minCell) minCell = v;
    }
    if (!(maxCell > minCell))
        return TMErrFlat;
    const float scale = 65535.0f / (maxCell - minCell);

    int32_t* bins = static_cast<int32_t*>(std::calloc(kBins, sizeof(int32_t)));
    if (!bins)
        return TMErrAlloc;
    for (int64_t i = 0; i < n; ++i) {
        const float v = (lum[i] - minCell) * scale;
        lum[i] = v;
        // v lies in 0..65535 up to rounding; the clamp keeps the bin in range.
        const int32_t bin = std::clamp(static_cast<int32_t>(std::clamp(v, 0.0f, 65535.0f)), 0, kBins - 1);
        ++bins[bin];
    }

    // Clip thresholds in cells. The black figure is divided by 200, the white by 100.
    const float cells = static_cast<float>(workWidth);
    const int64_t blackCount = static_cast<int64_t>(blackClipPercent / 200.0f * cells * static_cast<float>(H));
    const int64_t whiteCount = static_cast<int64_t>((100.0f - whiteClipPercent) / 100.0f * cells * static_cast<float>(H));

    int32_t lo = 0;
    for (int64_t count = 0; count < blackCount && lo < kBins - 1; ++lo)
        count += bins[lo];
    int32_t hi = kBins - 1;
    for (int64_t count = n; count > whiteCount && hi > 0; --hi)
        count -= bins[hi];
    std::free(bins);

    const float black = minCell + static_cast<float>(lo) / scale;
    const float white = black + static_cast<float>(hi) / scale;
    const float gain = G / (white - black);
    // An empty clip range (every cell below the white bin's first bin, or a range lost
    // to rounding) has no finite gain: the buffer is flat between the clip points.
    if (!isFiniteFloat(gain) || !(gain > 0.0f))
        return TMErrFlat;
    const float a = gain / scale;
    const float b = (minCell - black) * gain;
    for (int64_t i = 0; i < n; ++i)
        lum[i] = a * lum[i] + b;
    return hi;
}

int32_t TMMapOutput32Strided(int32_t W, int32_t H, const TMSampleLayout& inLayout,
                             const TMSampleLayout& outLayout, int32_t pad,
                             int32_t colorSaturation, float whiteClipPercent,
                             float blackClipPercent, int32_t strength, double gamma,
                             const TMImageStats* stats, const float* inSamples, float* lum,
                             float* outSamples)
{
    const OutputSettings set = clampSettings(colorSaturation, whiteClipPercent, blackClipPercent, strength);
    const float k = TMBlendWeight32(set.strength);
    const int32_t workWidth = W + 2 * pad;
    const int32_t hi = TMNormaliseClipPoints(workWidth, H, set.white, set.black, 1.0f, lum);
    if (hi < 0)
        return hi;

    // Global curve: adaptive logarithmic mapping with the range factor as the
    // largest luminance and the bias exponent fixed at 0.23.
    double ratio = 1.0;
    float inv = 1.0f;
    if (stats->rangeFactor > 0.0f) {
        ratio = std::log(10.0) / std::log(static_cast<double>(stats->rangeFactor + 1.0f));
        inv = 1.0f / stats->rangeFactor;
    }
    const float localWeight = 1.0f - k;

    const PlaneRoles pin = planeRoles(inLayout.planes);
    const PlaneRoles pout = planeRoles(outLayout.planes);
    for (int32_t y = 0; y < H; ++y) {
        const float* src = rowAt(inSamples, inLayout.rowBytes, y);
        float* dst = rowAt(outSamples, outLayout.rowBytes, y);
        const float* cells = lum + static_cast<int64_t>(y) * workWidth + pad;
        for (int32_t x = 0; x < W; ++x) {
            const float* px = src + static_cast<int64_t>(x) * inLayout.pixelStride;
            float* out = dst + static_cast<int64_t>(x) * outLayout.pixelStride;
            const float c[3] = {px[pin.red], px[pin.green], px[pin.blue]};
            const float Y = outputLuminance(c[0], c[1], c[2]);
            if (!(Y > 0.0f) || !isFiniteFloat(Y)) {
                out[pout.red] = 0.0f;
                out[pout.green] = 0.0f;
                out[pout.blue] = 0.0f;
                continue;
            }
            const float L0 = cells[x];
            double L = L0;
            if (k > 0.0f) {
                const float a1 = Y + 1.0f;
                const float a2 = static_cast<float>(8.0 * std::pow(static_cast<double>(Y * inv), 0.23) + 2.0);
                const double B = ratio * std::log(static_cast<double>(a1)) / std::log(static_cast<double>(a2));
                L = static_cast<double>(k) * std::pow(B, set.saturation) + static_cast<double>(localWeight * L0);
            }
            float result[3];
            for (int ch = 0; ch < 3; ++ch) {
                const double ratioC = c[ch] > 0.0f ? std::pow(static_cast<double>(c[ch] / Y), set.saturation) : 0.0;
                const double t = ratioC * L;
                double v = 0.0;
                if (t > 0.0) {
                    v = std::pow(t, gamma);
                    if (v > 1.0)
                        v = 1.0;
                }
                result[ch] = static_cast<float>(v);
            }
            // Written in the order red, green, blue: with one plane the blue value stays.
            out[pout.red] = result[0];
            out[pout.green] = result[1];
            out[pout.blue] = result[2];
        }
    }
    return hi;
}

int32_t TMMapOutput32(int32_t W, int32_t H, int32_t planes, int32_t pad, int32_t colorSaturation,
                      float whiteClipPercent, float blackClipPercent, int32_t strength,
                      double gamma, const TMImageStats* stats, const float* inSamples,
                      float* lum, float* outSamples)
{
    const TMSampleLayout layout = TMPackedLayout(W, planes, sizeof(float));
    return TMMapOutput32Strided(W, H, layout, layout, pad, colorSaturation, whiteClipPercent,
                                blackClipPercent, strength, gamma, stats, inSamples, lum, outSamples);
}

int32_t TMMapOutput16Strided(int32_t W, int32_t H, const TMSampleLayout& inLayout,
                             const TMSampleLayout& outLayout, int32_t pad,
                             int32_t colorSaturation, float whiteClipPercent,
                             float blackClipPercent, int32_t strength, const float* lut,
                             const uint16_t* inSamples, float* lum, uint16_t* outSamples)
{
    const OutputSettings set = clampSettings(colorSaturation, whiteClipPercent, blackClipPercent, strength);
    const float k = TMBlendWeight16(set.strength);
    const int32_t workWidth = W + 2 * pad;
    const int32_t hi = TMNormaliseClipPoints(workWidth, H, set.white, set.black, 255.0f, lum);
    if (hi < 0)
        return hi;

    // 128.5 x 255 = 32767.5: the normalised range 0..255 spans the host's 0..32768.
    const float localScale = (1.0f - k) * 128.5f;
    const PlaneRoles pin = planeRoles(inLayout.planes);
    const PlaneRoles pout = planeRoles(outLayout.planes);
    for (int32_t y = 0; y < H; ++y) {
        const uint16_t* src = rowAt(inSamples, inLayout.rowBytes, y);
        uint16_t* dst = rowAt(outSamples, outLayout.rowBytes, y);
        const float* cells = lum + static_cast<int64_t>(y) * workWidth + pad;
        for (int32_t x = 0; x < W; ++x) {
            const uint16_t* px = src + static_cast<int64_t>(x) * inLayout.pixelStride;
            uint16_t* out = dst + static_cast<int64_t>(x) * outLayout.pixelStride;
            const uint16_t raw[3] = {px[pin.red], px[pin.green], px[pin.blue]};
            const float lin[3] = {lut[raw[0]], lut[raw[1]], lut[raw[2]]};
            const float Y = 0.3f * lin[0] + 0.6f * lin[1] + 0.1f * lin[2];
            const float T = localScale * cells[x];
            uint16_t result[3];
            for (int ch = 0; ch < 3; ++ch) {
                const double ratioC = Y > 0.0f ? std::pow(static_cast<double>(lin[ch] / Y), set.saturation) : 0.0;
                double v = ratioC * T + static_cast<double>(k * static_cast<float>(raw[ch]));
                if (v > 32768.0) v = 32768.0;
                if (!(v >= 0.0)) v = 0.0;
                result[ch] = static_cast<uint16_t>(v);
            }
            out[pout.red] = result[0];
            out[pout.green] = result[1];
            out[pout.blue] = result[2];
        }
    }
    return hi;
}

int32_t TMMapOutput16(int32_t W, int32_t H, int32_t planes, int32_t pad, int32_t colorSaturation,
                      float whiteClipPercent, float blackClipPercent, int32_t strength,
                      const TMImageStats* stats, const float* lut, const uint16_t* inSamples,
                      float* lum, uint16_t* outSamples)
{
    (void)stats; // the integer path blends with the input samples, not a global curve
    const TMSampleLayout layout = TMPackedLayout(W, planes, sizeof(uint16_t));
    return TMMapOutput16Strided(W, H, layout, layout, pad, colorSaturation, whiteClipPercent,
                                blackClipPercent, strength, lut, inSamples, lum, outSamples);
}
