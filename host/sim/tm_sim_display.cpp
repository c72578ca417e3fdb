#include "tm_sim_display.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

namespace tmsim {

namespace {

// Larger than any picture a display shows; keeps every offset sum inside int64.
constexpr int64_t kMaxMapBytes = int64_t{1} << 40;

// Bytes of the record that a map of `version` has: a plug-in that states an older
// version may hand a shorter record, so nothing past them is read.
size_t recordBytes(int32_t version)
{
    if (version == 0)
        return offsetof(TMPixelMap, baseAddr) + sizeof(void*);
    if (version == 1)
        return offsetof(TMPixelMap, maskPhaseCol) + sizeof(int32_t);
    if (version == 2)
        return offsetof(TMPixelMap, colorManagementOptions) + sizeof(uint32_t);
    return offsetof(TMPixelMap, depth) + sizeof(int16_t);
}

// True when no two samples of an extents[0] x extents[1] x extents[2] block share a
// byte under the strides, and the block spans at most kMaxMapBytes: ordered by
// stride, each stride must step past everything the smaller ones cover.
bool stridesSound(int64_t strides[3], int64_t extents[3], int n)
{
    for (int i = 1; i < n; ++i)
        for (int j = i; j > 0 && strides[j] < strides[j - 1]; --j) {
            std::swap(strides[j], strides[j - 1]);
            std::swap(extents[j], extents[j - 1]);
        }
    int64_t last = 0; // offset of the last byte covered so far
    for (int i = 0; i < n; ++i) {
        if (strides[i] < 1 || strides[i] <= last)
            return false;
        if (extents[i] - 1 > (kMaxMapBytes - last) / strides[i])
            return false;
        last += (extents[i] - 1) * strides[i];
    }
    return true;
}

uint8_t toByte(double unit) { return static_cast<uint8_t>(std::lround(255.0 * std::clamp(unit, 0.0, 1.0))); }

// 8-bit CIE Lab (D65 white) to sRGB.
uint32_t labToRgb(uint8_t l8, uint8_t a8, uint8_t b8)
{
    const double L = l8 * (100.0 / 255.0), a = a8 - 128.0, b = b8 - 128.0;
    const double fy = (L + 16.0) / 116.0, fx = fy + a / 500.0, fz = fy - b / 200.0;
    auto inverse = [](double t) {
        constexpr double d = 6.0 / 29.0;
        return t > d ? t * t * t : 3.0 * d * d * (t - 4.0 / 29.0);
    };
    const double X = 0.95047 * inverse(fx), Y = inverse(fy), Z = 1.08883 * inverse(fz);
    auto encode = [](double c) { return c <= 0.0031308 ? 12.92 * c : 1.055 * std::pow(c, 1.0 / 2.4) - 0.055; };
    const uint8_t r = toByte(encode(3.2404542 * X - 1.5371385 * Y - 0.4985314 * Z));
    const uint8_t g = toByte(encode(-0.9692660 * X + 1.8760108 * Y + 0.0415560 * Z));
    const uint8_t bl = toByte(encode(0.0556434 * X - 0.2040259 * Y + 1.0572252 * Z));
    return uint32_t{r} << 16 | uint32_t{g} << 8 | bl;
}

// (255 - ink) x (255 - black ink) / 255, rounded.
uint32_t cmykChannel(uint8_t ink, uint8_t black) { return ((255u - ink) * (255u - black) + 127u) / 255u; }

} // namespace

int32_t DisplayPlanes(int32_t mode)
{
    switch (mode) {
    case TMModeGrayScale:
    case TMModeMultichannel:
    case TMModeDuotone: return 1;
    case TMModeRGBColor:
    case TMModeLabColor: return 3;
    case TMModeCMYKColor: return 4;
    default: return 0;
    }
}

TMOSErr ReadPixelMap(const TMPixelMap* map, const TMVRect* srcRect, const void* context, PixelMapView* view)
{
    if (!map || !srcRect || !context)
        return TMFilterBadParameters;
    TMPixelMap m{};
    if (map->version < 0)
        return TMFilterBadParameters;
    std::memcpy(&m, map, recordBytes(map->version));
    PixelMapView v;
    v.version = m.version;
    v.bounds = m.bounds;
    v.imageMode = m.imageMode;
    v.rowBytes = m.rowBytes;
    v.colBytes = m.colBytes;
    v.planeBytes = m.planeBytes;
    v.baseAddr = static_cast<const uint8_t*>(m.baseAddr);
    if (m.version >= 1) {
        v.hasMat = m.mat != nullptr;
        v.hasMasks = m.masks != nullptr;
        v.maskPhaseRow = m.maskPhaseRow;
        v.maskPhaseCol = m.maskPhaseCol;
    }
    if (m.version >= 3)
        v.depth = m.depth;
    *view = v;

    if (!v.baseAddr)
        return TMFilterBadParameters;
    const TMVRect b = v.bounds, s = *srcRect;
    if (b.bottom < b.top || b.right < b.left || s.bottom < s.top || s.right < s.left || s.top < b.top ||
        s.left < b.left || s.bottom > b.bottom || s.right > b.right)
        return TMFilterBadParameters;
    const int32_t planes = DisplayPlanes(v.imageMode);
    if (planes == 0 || (v.depth != 8 && v.depth != 0))
        return TMFilterBadMode;
    if (v.rowBytes < 1 || v.colBytes < 1 || (planes > 1 && v.planeBytes < 1))
        return TMFilterBadParameters;
    int64_t strides[3] = {v.colBytes, v.rowBytes, v.planeBytes};
    int64_t extents[3] = {int64_t{b.right} - b.left, int64_t{b.bottom} - b.top, planes};
    if (extents[0] > 0 && extents[1] > 0 && !stridesSound(strides, extents, planes > 1 ? 3 : 2))
        return TMFilterBadParameters;
    return TMNoErr;
}

std::vector<uint32_t> DisplayRows(const PixelMapView& view, const TMVRect& src)
{
    const int32_t w = src.right - src.left, h = src.bottom - src.top;
    std::vector<uint32_t> rows(static_cast<size_t>(w) * static_cast<size_t>(h));
    const int64_t P = view.planeBytes, C = view.colBytes;
    // The mode is chosen once per row, so that the pixel loops stay branch-free.
    for (int32_t y = 0; y < h; ++y) {
        const uint8_t* p = view.baseAddr + (int64_t{src.top} - view.bounds.top + y) * view.rowBytes +
                           (int64_t{src.left} - view.bounds.left) * C;
        uint32_t* out = rows.data() + static_cast<size_t>(y) * static_cast<size_t>(w);
        switch (view.imageMode) {
        case TMModeRGBColor:
            for (int32_t x = 0; x < w; ++x, p += C)
                out[x] = uint32_t{p[0]} << 16 | uint32_t{p[P]} << 8 | p[2 * P];
            break;
        case TMModeLabColor:
            for (int32_t x = 0; x < w; ++x, p += C)
                out[x] = labToRgb(p[0], p[P], p[2 * P]);
            break;
        case TMModeCMYKColor:
            for (int32_t x = 0; x < w; ++x, p += C)
                out[x] = cmykChannel(p[0], p[3 * P]) << 16 | cmykChannel(p[P], p[3 * P]) << 8 |
                         cmykChannel(p[2 * P], p[3 * P]);
            break;
        default: // one grey plane
            for (int32_t x = 0; x < w; ++x, p += C)
                out[x] = uint32_t{p[0]} * 0x010101u;
            break;
        }
    }
    return rows;
}

DisplayCall RecordDisplay(const TMPixelMap* map, const TMVRect* srcRect, int32_t dstRow, int32_t dstCol,
                          const void* context)
{
    DisplayCall call;
    call.result = ReadPixelMap(map, srcRect, context, &call.map);
    if (srcRect)
        call.srcRect = *srcRect;
    call.dstRow = dstRow;
    call.dstCol = dstCol;
    call.context = context;
    call.planes = DisplayPlanes(call.map.imageMode);
    if (call.result != TMNoErr)
        return call;
    const PixelMapView& v = call.map;
    const TMVRect& s = call.srcRect;
    const int32_t w = s.right - s.left, h = s.bottom - s.top;
    call.pixels.resize(static_cast<size_t>(w) * static_cast<size_t>(h) * static_cast<size_t>(call.planes));
    uint8_t* out = call.pixels.data();
    for (int32_t p = 0; p < call.planes; ++p)
        for (int32_t y = 0; y < h; ++y) {
            const uint8_t* in = v.baseAddr + (int64_t{s.top} - v.bounds.top + y) * v.rowBytes +
                                (int64_t{s.left} - v.bounds.left) * v.colBytes + int64_t{p} * v.planeBytes;
            for (int32_t x = 0; x < w; ++x, in += v.colBytes)
                *out++ = *in;
        }
    return call;
}

} // namespace tmsim
