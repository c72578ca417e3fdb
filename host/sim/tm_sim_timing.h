// Timings of the filter on one image, the same code for the native tool's build
// (bench/tm_host_time.cpp, the plug-in linked in) and for tmhost.exe (the plug-in
// loaded from its DLL), so that the two builds are compared on equal terms:
//
// - whole renders through the entry point, as a host replays a recorded action with
//   the format's default settings (tmsim::RunWithSettings, pointers into the
//   document), each on a fresh copy of the image (the copy is not timed);
// - the dialog's preview at the 1,024 side with its fixed buffers: a full recompute,
//   then output-only refreshes with Strength stepping through 40, 50, 60, 70. The
//   preview has no entry of its own (the dialog calls it inside the plug-in), so
//   this times the engine's TMRunPreview as built by the same compiler and flags.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tm_sim_host.h"

namespace tmsim {

// An image in the host's encoding: `planes` interleaved samples per pixel, packed
// rows; float, or 16-bit in 0..32768.
struct TimedImage {
    bool isFloat = true;
    int32_t width = 0, height = 0, planes = 3;
    const void* samples = nullptr;
};

// Milliseconds of each timed call: wall clock, and the calling thread's processor
// time (steadier where other work shares the machine; on Windows counted in the
// scheduler's ticks, so read it from many calls).
struct Timing {
    std::vector<double> wall, cpu;
    double medianWall() const;
    double meanCpu() const;
};

// `runs` renders of `image`; false (with the cause) when one fails.
bool TimeRenders(EntryPoint entry, const TimedImage& image, int runs, Timing* timing, std::string* failure);

// `fullRuns` full recomputes, then `refreshRuns` output-only refreshes; false when
// one fails.
bool TimePreview(const TimedImage& image, int fullRuns, int refreshRuns, Timing* full, Timing* refresh,
                 std::string* failure);

// The report both programs print for one image: render and preview lines with the
// medians, ms per megapixel and the mean processor times.
std::string TimingReport(const std::string& name, const TimedImage& image, const Timing& renders, const Timing& full,
                         const Timing& refresh);

} // namespace tmsim
