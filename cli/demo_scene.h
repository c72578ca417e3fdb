// A procedural high-dynamic-range test scene: a dim room lit by a bright window
// with a small, very bright sun-like lamp. Deterministic, so tests, benchmarks and
// the demo need no image files.
#pragma once

#include <cstdint>

// Width and height of a 3:2 scene of about `megapixels` million pixels.
void TMDemoSceneSize(double megapixels, int32_t* width, int32_t* height);

// Fills rgb (width x height pixels, 3 interleaved linear floats) with the scene.
// Luminance spans about 0.002 (room corners) to 50,000 (lamp core): over 24 stops.
void TMMakeDemoScene(int32_t width, int32_t height, float* rgb);
