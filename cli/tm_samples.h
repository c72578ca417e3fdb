// Sample conversions between file encodings and the engine's host encodings.
//
// Host 16-bit samples use the range 0..32768 (32768 = white); file 16-bit samples
// use 0..65535. Both mappings are integer-exact and map black to black and white to
// white: file -> host -> file returns every host-representable value unchanged.
// Float samples of a tone-mapped result are linear, 0..1.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

// File 0..65535 -> host 0..32768.
constexpr uint16_t TMFileToHost16(uint16_t v)
{
    return static_cast<uint16_t>((uint32_t{v} * 32768u + 32767u) / 65535u);
}

// Host 0..32768 -> file 0..65535. Values above 32768 (never produced by the engine)
// are taken as white rather than wrapping.
constexpr uint16_t TMHostToFile16(uint16_t h)
{
    const uint32_t c = std::min<uint32_t>(h, 32768u);
    return static_cast<uint16_t>((c * 65535u + 16384u) / 32768u);
}

// Host 0..32768 -> 0..1 for float files.
inline float TMHost16ToFloat(uint16_t h) { return static_cast<float>(h) / 32768.0f; }

// Host 0..32768 -> 8-bit 0..255, rounded to nearest. The host encoding is already
// display-referred, so no transfer curve is applied.
constexpr uint8_t TMHost16ToDisplay8(uint16_t h)
{
    const uint32_t c = std::min<uint32_t>(h, 32768u);
    return static_cast<uint8_t>((c * 255u + 16384u) / 32768u);
}

// Unit float -> 0..max, rounded to nearest; NaN and negatives become 0.
inline uint32_t TMUnitToInteger(float x, uint32_t max)
{
    if (!(x > 0.0f))
        return 0;
    if (x >= 1.0f)
        return max;
    return static_cast<uint32_t>(std::lround(static_cast<double>(x) * max));
}

// Linear float result -> 16-bit file value, no transfer curve (PPM output).
inline uint16_t TMFloatToFile16(float x) { return static_cast<uint16_t>(TMUnitToInteger(x, 65535u)); }

// Linear float result -> 8-bit display value: encoded with exponent 1/2.2, the
// inverse of the engine's output gamma.
inline uint8_t TMFloatToDisplay8(float x)
{
    if (!(x > 0.0f))
        return 0;
    const double encoded = std::pow(std::min(static_cast<double>(x), 1.0), 1.0 / 2.2);
    return static_cast<uint8_t>(std::lround(encoded * 255.0));
}

// TMFloatToDisplay8 for whole images: the same bytes, from the thresholds at which
// the byte steps up (found once from TMFloatToDisplay8 itself) instead of a power
// per sample.
class TMDisplay8Table {
public:
    TMDisplay8Table();
    uint8_t operator()(float x) const
    {
        if (!(x > 0.0f))
            return 0;
        if (x >= 1.0f)
            return 255;
        uint32_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        uint32_t v = start_[bits >> 16];
        while (v < 255 && x >= threshold_[v + 1])
            ++v;
        return static_cast<uint8_t>(v);
    }

private:
    float threshold_[256];    // [k], k >= 1: the smallest float that gives k
    uint8_t start_[1u << 16]; // by a float's top 16 bits: what the bucket's smallest float gives
};

// Channels the engine does not touch (alpha and the like) are carried from the
// input file values, never through the host range, and are scaled linearly.
constexpr uint8_t TMFile16ToFile8(uint16_t v) { return static_cast<uint8_t>((uint32_t{v} * 255u + 32767u) / 65535u); }
inline float TMFile16ToFloat(uint16_t v) { return static_cast<float>(v) / 65535.0f; }
