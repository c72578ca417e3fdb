// A whole filter run with given settings, as a host replays a recorded action: a
// parameters call, the settings that have a scripting key as a descriptor played
// back without the dialog, the others written into the settings handle, then
// prepare, start, the continue loop and finish.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "tm_parameters.h"
#include "tm_sim_host.h"

namespace tmsim {

struct Outcome {
    int16_t result = 0;  // the plug-in's result word of the run
    std::string failure; // the cause the plug-in named in its error string, if it failed
};

// Runs `entry` on `doc` with Direct delivery (pointers into the document).
// `progress` (may be empty) receives the filter's reports; `cancel` (may be null)
// is the host's abort state, polled by the filter.
Outcome RunWithSettings(EntryPoint entry, const Document& doc, const TMParameters& params,
                        const std::function<void(int32_t, int32_t)>& progress = {},
                        const std::atomic<bool>* cancel = nullptr);

} // namespace tmsim
