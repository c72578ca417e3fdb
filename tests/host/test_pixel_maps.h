// Pixel maps with known samples for the displayPixels tests: sample (x, y, p) is
// 100p + 10y + x, laid out planar (rows of w bytes, planes of w x h) or interleaved
// (rows of w x planes bytes), placed at (top, left) as a dialog places its preview.
#pragma once

#include <cstdint>
#include <vector>

#include "tm_protocol.h"

inline uint8_t TestSample(int32_t x, int32_t y, int32_t p) { return static_cast<uint8_t>(100 * p + 10 * y + x); }

// The colour a display shows for pixel (x, y) of a test map of `mode` (grey or RGB).
inline uint32_t TestColour(int32_t mode, int32_t x, int32_t y)
{
    if (mode != TMModeRGBColor)
        return TestSample(x, y, 0) * 0x010101u;
    return uint32_t{TestSample(x, y, 0)} << 16 | uint32_t{TestSample(x, y, 1)} << 8 | TestSample(x, y, 2);
}

struct TestPixelMap {
    std::vector<uint8_t> bytes;
    TMPixelMap map{};
    TestPixelMap(int32_t w, int32_t h, int32_t planes, int32_t mode, bool interleaved = false, int32_t top = 40,
                 int32_t left = 30)
        : bytes(static_cast<size_t>(w * h * planes))
    {
        map.version = 1;
        map.bounds = TMVRect{top, left, top + h, left + w};
        map.imageMode = mode;
        map.rowBytes = interleaved ? w * planes : w;
        map.colBytes = interleaved ? planes : 1;
        map.planeBytes = interleaved ? 1 : w * h;
        map.baseAddr = bytes.data();
        for (int32_t p = 0; p < planes; ++p)
            for (int32_t y = 0; y < h; ++y)
                for (int32_t x = 0; x < w; ++x)
                    bytes[static_cast<size_t>(y * map.rowBytes + x * map.colBytes + p * map.planeBytes)] =
                        TestSample(x, y, p);
    }
};
