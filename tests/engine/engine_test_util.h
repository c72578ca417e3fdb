// Helpers shared by the engine tests: working buffers sized from the geometry and
// small synthetic log-luminance images.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "tm_engine.h"

// M_PI is POSIX, not C++: mingw-w64 leaves it out in strict standard mode.
constexpr double kPi = 3.14159265358979323846;

struct Workspace {
    std::array<int32_t, TMGeometrySize> geometry{};
    std::vector<float> A, B, C;
    int32_t W, H;

    Workspace(int32_t w, int32_t h, int32_t smoothing) : W(w), H(h)
    {
        TMComputeBoundedGeometry(w, h, smoothing, 4, geometry.data());
        const size_t n = static_cast<size_t>(TMWorkingBufferBytes(geometry.data()) / 4);
        A.assign(n, 0.0f);
        B.assign(n, 0.0f);
        C.assign(n, 0.0f);
    }
    int32_t attenuate(int32_t lumLevel = 7, int32_t contrastStep = 0, float smoothingFactor = 2.0f / 15.0f)
    {
        return TMAttenuateGradients(0, W, H, lumLevel, contrastStep, smoothingFactor, geometry.data(), A.data(),
                                    B.data(), C.data());
    }
    int32_t solve()
    {
        return TMSolvePoisson(W, H, geometry[TMGeoWidth], geometry[TMGeoHeight], geometry[TMGeoSolverCoarseWidth],
                              geometry[TMGeoSolverCoarseHeight], geometry[TMGeoSolverTotal], geometry[TMGeoLevelCount],
                              B.data(), C.data(), A.data());
    }
};

// A smooth log-luminance landscape with a bright spot, W x H.
inline void fillLandscape(std::vector<float>& v, int32_t W, int32_t H)
{
    for (int32_t y = 0; y < H; ++y)
        for (int32_t x = 0; x < W; ++x) {
            const double dx = x - 0.7 * W, dy = y - 0.3 * H;
            v[static_cast<size_t>(y) * W + x] = static_cast<float>(3.0 + std::sin(x * 0.05) * std::cos(y * 0.07) +
                                                                   6.0 * std::exp(-(dx * dx + dy * dy) / 200.0));
        }
}

// An ordinary HDR image, 128 x 128 float RGB (packed): luminances from 0.002 to about
// 28 in smooth waves, slightly warm, every sample times `scale`.
inline std::vector<float> wavyHdrImage(float scale = 1.0f)
{
    const int32_t n = 128;
    std::vector<float> img(static_cast<size_t>(n) * n * 3);
    for (int32_t y = 0; y < n; ++y)
        for (int32_t x = 0; x < n; ++x) {
            double t = (x + 0.37 * y + 5.0 * std::sin(0.2 * x) * std::cos(0.13 * y)) / (1.37 * n + 5.0);
            t = std::clamp(t, 0.0, 1.0);
            const double v = 0.002 * std::pow(31.0 / 0.002, t);
            float* px = &img[(static_cast<size_t>(y) * n + x) * 3];
            px[0] = static_cast<float>(1.1 * v) * scale;
            px[1] = static_cast<float>(v) * scale;
            px[2] = static_cast<float>(0.8 * v) * scale;
        }
    return img;
}
