// The one place the tool hands an image to the tone-mapping filter: through the
// plug-in's entry point, driven by the simulated host, exactly as a host would. The
// settings reach the plug-in one way for the render and the preview alike: the host
// hands back the parameters handle holding them, as hosts replay stored settings
// (tmsim::ReplayOptions).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "tm_image.h"
#include "tm_parameters.h"

// What one call of the filter came to.
struct TMPluginOutcome {
    int16_t result = 0;  // the plug-in's result word (0, -30100, -108, -128, ...)
    std::string failure; // the cause the plug-in named in its error string, if it failed
};

// Tone-maps `image` in place with `params` (the whole record, as a host keeps it).
// `image` holds the host's samples: float, or 16-bit in the host range 0..32768. The
// filter sees its first TMFilterPlaneCount(channels) channels; the others keep their
// values. `progress` (may be empty) receives the filter's reports; `cancel` (may be
// null) is the host's abort state, polled by the filter.
TMPluginOutcome TMRenderWithPlugin(const TMParameters& params, TMImage& image,
                                   const std::function<void(int32_t, int32_t)>& progress,
                                   const std::atomic<bool>* cancel);

// The settings dialog's preview of `image` with `params`, as the dialog computes it
// when it opens on the record (preview of longer side `side`: 512, 768 or 1024),
// without a dialog: a parameters and a prepare call through the entry point, then
// the calls the dialog makes on the plug-in's records. `original` shows the
// unprocessed view, which the dialog reaches from the tone-mapped one. On success
// `shown` holds the image shown (8-bit RGB, interleaved) and `histogram` its counts.
TMPluginOutcome TMPreviewWithPlugin(const TMParameters& params, TMImage& image, int32_t side, bool original,
                                    TMImage* shown, std::array<int32_t, 256>* histogram);
