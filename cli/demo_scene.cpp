#include "demo_scene.h"

#include <algorithm>
#include <cmath>

namespace {

// Integer hash -> [0, 1): cheap, repeatable texture.
float hash01(uint32_t x, uint32_t y)
{
    uint32_t h = x * 0x8da6b343u ^ y * 0xd8163841u;
    h ^= h >> 13;
    h *= 0x5bd1e995u;
    h ^= h >> 15;
    return static_cast<float>(h & 0xffffffu) / 16777216.0f;
}

// Smooth value noise on a grid of `cell` pixels.
float valueNoise(float u, float v, float cell)
{
    const float x = u / cell, y = v / cell;
    const auto xi = static_cast<uint32_t>(x), yi = static_cast<uint32_t>(y);
    const float fx = x - static_cast<float>(xi), fy = y - static_cast<float>(yi);
    const float sx = fx * fx * (3 - 2 * fx), sy = fy * fy * (3 - 2 * fy);
    const float a = hash01(xi, yi), b = hash01(xi + 1, yi);
    const float c = hash01(xi, yi + 1), d = hash01(xi + 1, yi + 1);
    return (a + (b - a) * sx) + ((c + (d - c) * sx) - (a + (b - a) * sx)) * sy;
}

} // namespace

void TMDemoSceneSize(double megapixels, int32_t* width, int32_t* height)
{
    const double h = std::sqrt(megapixels * 1.0e6 / 1.5);
    *height = std::max<int32_t>(100, static_cast<int32_t>(std::lround(h)));
    *width = std::max<int32_t>(100, static_cast<int32_t>(std::lround(h * 1.5)));
}

void TMMakeDemoScene(int32_t width, int32_t height, float* rgb)
{
    const float W = static_cast<float>(width), H = static_cast<float>(height);
    // Window: right half, upper middle. Lamp: a small disc inside the window's sky.
    const float wx0 = 0.55f * W, wx1 = 0.88f * W, wy0 = 0.18f * H, wy1 = 0.62f * H;
    const float lampX = 0.78f * W, lampY = 0.28f * H, lampR = 0.012f * std::min(W, H) + 1.0f;
    const float frame = 0.012f * std::min(W, H) + 1.0f;
    const float scale = std::min(W, H);
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            const float fx = static_cast<float>(x), fy = static_cast<float>(y);
            float r, g, b;
            const bool inWindow = fx > wx0 && fx < wx1 && fy > wy0 && fy < wy1;
            const bool onMullion =
                std::fabs(fx - 0.5f * (wx0 + wx1)) < frame * 0.5f || std::fabs(fy - 0.5f * (wy0 + wy1)) < frame * 0.5f;
            if (inWindow && !onMullion) {
                // Outside: sky above a textured hillside, both far brighter than the room.
                const float t = (fy - wy0) / (wy1 - wy0);
                const float hill =
                    0.55f + 0.1f * std::sin(fx / scale * 9.0f) + 0.05f * valueNoise(fx, fy, scale * 0.05f);
                if (t < hill) {
                    const float sky = 120.0f + 80.0f * (1.0f - t);
                    r = 0.55f * sky;
                    g = 0.75f * sky;
                    b = 1.0f * sky;
                } else {
                    const float leaf = 8.0f + 30.0f * valueNoise(fx, fy, scale * 0.01f);
                    r = 0.35f * leaf;
                    g = 0.6f * leaf;
                    b = 0.25f * leaf;
                }
            } else {
                // Room: light falls off from the window; corners are very dark.
                const float cx = 0.5f * (wx0 + wx1), cy = 0.5f * (wy0 + wy1);
                const float dx = (fx - cx) / scale, dy = (fy - cy) / scale;
                const float falloff = 2.0f / (1.0f + 40.0f * (dx * dx + dy * dy));
                const float texture = 0.6f + 0.4f * valueNoise(fx, fy, scale * 0.02f) + 0.1f * hash01(x, y);
                const float floorShade = fy > 0.75f * H ? 0.5f : 1.0f;
                const float base = 0.002f + falloff * texture * floorShade;
                r = 0.9f * base;
                g = 0.8f * base;
                b = 0.65f * base;
                if (onMullion && inWindow) {
                    r *= 0.5f;
                    g *= 0.5f;
                    b *= 0.5f;
                }
            }
            // Lamp: tiny core of ~50,000 with a glow.
            const float ldx = fx - lampX, ldy = fy - lampY;
            const float d2 = (ldx * ldx + ldy * ldy) / (lampR * lampR);
            if (d2 < 1.0f) {
                r = 50000.0f;
                g = 47000.0f;
                b = 40000.0f;
            } else {
                const float glow = 3000.0f / (d2 * d2);
                r += glow;
                g += 0.95f * glow;
                b += 0.8f * glow;
            }
            float* px = rgb + (static_cast<int64_t>(y) * width + x) * 3;
            px[0] = r;
            px[1] = g;
            px[2] = b;
        }
    }
}
