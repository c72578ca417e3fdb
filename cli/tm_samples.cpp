#include "tm_samples.h"

namespace {

float floatOf(uint32_t bits)
{
    float x;
    std::memcpy(&x, &bits, sizeof x);
    return x;
}

} // namespace

TMDisplay8Table::TMDisplay8Table()
{
    // Positive floats are ordered as their bit patterns, and TMFloatToDisplay8 never
    // decreases: each threshold is a binary search over the patterns of (0, 1].
    uint32_t one;
    const float unit = 1.0f;
    std::memcpy(&one, &unit, sizeof one);
    threshold_[0] = 0.0f;
    for (uint32_t k = 1; k < 256; ++k) {
        uint32_t lo = 1, hi = one; // TMFloatToDisplay8(1) = 255 >= k
        while (lo < hi) {
            const uint32_t mid = lo + (hi - lo) / 2;
            if (TMFloatToDisplay8(floatOf(mid)) >= k)
                hi = mid;
            else
                lo = mid + 1;
        }
        threshold_[k] = floatOf(lo);
    }
    // Buckets of positive patterns rise with the pattern; the others (negative, NaN)
    // never reach the table.
    uint32_t v = 0;
    for (uint32_t top = 0; top < (1u << 16); ++top) {
        const float x = floatOf(top << 16);
        if (top >= 0x8000u)
            v = 0;
        else
            while (v < 255 && x >= threshold_[v + 1])
                ++v;
        start_[top] = static_cast<uint8_t>(v);
    }
}
