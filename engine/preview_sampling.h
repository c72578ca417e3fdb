// Nearest-neighbour positions of preview pixels in the whole source image.
#pragma once

#include <algorithm>
#include <cstdint>

namespace tm_detail {

// Source pixels per preview pixel along one side, in single precision.
inline float sourceRatio(int32_t sourceSide, int32_t previewSide)
{
    return static_cast<float>(sourceSide) / static_cast<float>(previewSide);
}

// Source index of preview index i: i x ratio (float) truncated, limited to side - 1.
inline int32_t truncatedSource(int32_t i, float ratio, int32_t side)
{
    return std::min(static_cast<int32_t>(static_cast<float>(i) * ratio), side - 1);
}

// The same position rounded with halves down: truncated, plus one when the dropped
// fraction exceeds 0.5 (2.5 gives 2, 2.6 gives 3).
inline int32_t roundedSource(int32_t i, float ratio, int32_t side)
{
    const float v = static_cast<float>(i) * ratio;
    int32_t s = static_cast<int32_t>(v);
    if (v - static_cast<float>(s) > 0.5f)
        ++s;
    return std::min(s, side - 1);
}

// The preview converters refuse images and previews below 10 pixels a side.
inline bool previewTooSmall(int32_t W, int32_t H, int32_t pw, int32_t ph)
{
    return W < 10 || H < 10 || pw < 10 || ph < 10;
}

} // namespace tm_detail
