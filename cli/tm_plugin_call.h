// The one place the tool hands an image to the tone-mapping filter: through the
// plug-in's entry point, driven by the simulated host, exactly as a host would.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

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

struct TMPreviewOutcome {
    int16_t result = 0;           // 0, or the preview's code (-108, -30100, ...)
    int32_t width = 0, height = 0; // preview size
    std::vector<uint8_t> planar;   // three planes of width x height bytes: red, green, blue
    std::array<int32_t, 256> histogram{}; // counts of the shown image
    std::string failure;           // the cause the plug-in named, when it failed
};

// The settings dialog's preview of `image` with `params`, as the dialog computes it
// when it opens (preview of longer side `side`: 512, 768 or 1024), without a dialog:
// a parameters and a prepare call through the entry point, then the preview calls
// the dialog makes on the plug-in's records. `original` shows the unprocessed view,
// which the dialog reaches from the tone-mapped one.
TMPreviewOutcome TMPreviewWithPlugin(const TMParameters& params, const TMToolImage& image, int32_t side,
                                     bool original);
