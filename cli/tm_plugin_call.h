// The one place the tool hands an image to the tone-mapping filter: through the
// plug-in's entry point, driven by the simulated host, exactly as a host would.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "tm_parameters.h"

// The tool's image as the host's document: interleaved samples, `channels` per
// pixel, packed rows, rendered in place. The filter sees the first `planes`
// channels (3 for colour, 1 for grey); further channels keep their values.
struct TMToolImage {
    bool isFloat = true;   // float samples, else 16-bit host samples 0..32768
    int32_t width = 0;
    int32_t height = 0;
    int32_t channels = 0;
    int32_t planes = 0;
    void* data = nullptr;
};

struct TMPluginOutcome {
    int16_t result = 0;  // the plug-in's result word (0, -30100, -108, -128, ...)
    std::string failure; // the cause the plug-in named, when it failed
};

// Runs the filter on `image` with `params`, as a host replays a recorded action
// (tmsim::RunWithSettings). `progress` (may be empty) receives the filter's reports;
// `cancel` (may be null) is the host's abort state, polled by the filter.
TMPluginOutcome TMRenderWithPlugin(const TMParameters& params, const TMToolImage& image,
                                   const std::function<void(int32_t, int32_t)>& progress,
                                   const std::atomic<bool>* cancel);
