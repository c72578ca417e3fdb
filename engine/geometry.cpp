// Working geometry: the sizes of the solver and attenuation pyramids.
#include <algorithm>
#include <climits>
#include <cmath>

#include "tm_engine.h"

namespace {

// Pyramid levels wanted per side: ln(side / 32) / 0.693 (0.693, not ln 2), rounded
// with halves down: the truncation, plus one when the fraction exceeds 0.5 as seen
// by a single-precision copy.
int32_t levelsForSide(int32_t side)
{
    if (side < 1)
        return 0; // no pyramid; the drivers refuse such a geometry
    const double l = std::log(side / 32.0) / 0.693;
    const int32_t t = static_cast<int32_t>(l);
    const float f = static_cast<float>(l);
    return (t + 0.5 < f) ? t + 1 : t;
}

int32_t halve(int32_t s) { return (s >> 1) + (s & 1); }

// Runs `iterations` halvings (only while both sides exceed 3), summing every level.
void descend(int32_t W, int32_t H, int32_t iterations, int64_t* total, int32_t* w, int32_t* h)
{
    int64_t sum = static_cast<int64_t>(W) * H;
    int32_t cw = W, ch = H;
    for (int32_t i = 0; i < iterations; ++i) {
        if (cw > 3 && ch > 3) {
            cw = halve(cw);
            ch = halve(ch);
            sum += static_cast<int64_t>(cw) * ch;
        } else {
            // No further halving: the remaining iterations repeat this level's size.
            sum += static_cast<int64_t>(cw) * ch * (iterations - i);
            break;
        }
    }
    *total = sum;
    *w = cw;
    *h = ch;
}

int32_t saturate(int64_t v) { return v > INT32_MAX ? INT32_MAX : static_cast<int32_t>(v); }

} // namespace

int32_t TMComputeGeometry(int32_t W, int32_t H, int32_t extraLevels, int32_t fixedLevels, int32_t* geometry)
{
    const int64_t wanted = ((levelsForSide(W) + levelsForSide(H)) >> 1) + int64_t{extraLevels};
    const int32_t levelCount = static_cast<int32_t>(std::clamp<int64_t>(wanted, INT32_MIN, INT32_MAX));

    int64_t total = 0;
    int32_t w = 0, h = 0;
    descend(W, H, levelCount, &total, &w, &h);
    geometry[TMGeoSolverTotal] = saturate(total);
    geometry[TMGeoSolverCoarseWidth] = w;
    geometry[TMGeoSolverCoarseHeight] = h;

    descend(W, H, fixedLevels, &total, &w, &h);
    geometry[TMGeoAttenTotal] = saturate(total);
    geometry[TMGeoAttenCoarseWidth] = w;
    geometry[TMGeoAttenCoarseHeight] = h;

    geometry[TMGeoBaseWidth] = W;
    geometry[TMGeoBaseHeight] = H;
    geometry[TMGeoWidth] = W;
    geometry[TMGeoHeight] = H;
    geometry[TMGeoLevelCount] = levelCount;
    geometry[TMGeoAttenLevels] = fixedLevels;
    return fixedLevels;
}

int32_t TMMaxSolverLevels(int32_t W, int32_t H)
{
    // With s = 2^L the solver's first coarse level is s * floor(W / s) / 2 wide (and
    // likewise high): it is empty when s exceeds a side, and 1 wide when s = 2 on a
    // side of 2 or 3, which leaves no grid spacing. Levels below it stay >= 2.
    const int32_t side = std::min(W, H);
    int32_t levels = 1;
    while (levels < 30 && (int64_t{1} << (levels + 1)) <= side)
        ++levels;
    return levels;
}

int32_t TMComputeBoundedGeometry(int32_t W, int32_t H, int32_t extraLevels, int32_t fixedLevels, int32_t* geometry)
{
    const int32_t result = TMComputeGeometry(W, H, extraLevels, fixedLevels, geometry);
    const int32_t wanted = geometry[TMGeoLevelCount];
    const int32_t bounded = std::clamp(wanted, 1, TMMaxSolverLevels(W, H));
    if (bounded == wanted)
        return result;
    // The level count is the base count plus extraLevels, so shifting extraLevels by
    // the difference yields exactly the bounded count with consistent sizes.
    for (int i = 1; i < TMGeometrySize; ++i)
        geometry[i] = 0;
    return TMComputeGeometry(W, H, extraLevels + (bounded - wanted), fixedLevels, geometry);
}

int64_t TMWorkingBufferBytes(const int32_t* geometry)
{
    return 4 * static_cast<int64_t>(std::max(geometry[TMGeoSolverTotal], geometry[TMGeoAttenTotal]));
}

TMSampleLayout TMPackedLayout(int32_t width, int32_t planes, int32_t sampleBytes)
{
    return TMSampleLayout{planes, planes, static_cast<int64_t>(width) * planes * sampleBytes};
}
