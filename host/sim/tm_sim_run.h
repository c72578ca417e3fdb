// A whole filter run with given settings, as a host replays stored settings: the
// plug-in's parameters handle handed back holding them, the run played back
// silently (no dialog), then prepare, start, the continue loop and finish.
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

// How this host replays `params` (the whole record, as a host keeps it): the
// parameters handle handed back holding its bytes once the Parameters call has set up
// the plug-in's records, and a recorded step without values played back with
// playInfo "don't display", so that no dialog opens. Images are delivered in place
// (Direct).
Options ReplayOptions(const TMParameters& params);

// How this host runs a filter in front of a person, as picked from a menu: no
// recorded step and no settings handed back, so that a run opened with Parameters
// has its dialog due; `mainWindow` (0: none) goes into the platform data and
// `display` (null: the recording one) becomes displayPixels. Images are delivered
// in place (Direct).
Options InteractiveOptions(intptr_t mainWindow, DisplayProc display);

// Runs `entry` on `doc` with ReplayOptions(params): parameters, prepare, start, the
// continue loop and finish. `progress` (may be empty) receives the filter's reports;
// `cancel` (may be null) is the host's abort state, polled by the filter.
Outcome RunWithSettings(EntryPoint entry, const Document& doc, const TMParameters& params,
                        const std::function<void(int32_t, int32_t)>& progress = {},
                        const std::atomic<bool>* cancel = nullptr);

// The cause the plug-in named in the host's error string.
std::string FailureText(const Host& host);

} // namespace tmsim
