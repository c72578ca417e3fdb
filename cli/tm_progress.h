// Text progress bar for a terminal, fed by the engine's progress reports.
#pragma once

#include <cstdint>
#include <cstdio>

#include "tm_render.h"

class TMProgressBar {
public:
    // A disabled bar writes nothing at all (--quiet, or the stream is no terminal).
    TMProgressBar(FILE* stream, bool enabled) : stream_(stream), enabled_(enabled) {}

    // Redraws the bar for done/total, in place with a carriage return. Reports
    // that do not advance the shown percentage are not redrawn.
    void update(int32_t done, int32_t total);

    // Ends the bar's line, so that later messages start on a fresh line. Safe to
    // call more than once and when nothing was drawn.
    void finish();

    // A sink that forwards the engine's reports to this bar (no cancellation).
    TMProgressSink sink();

private:
    FILE* stream_;
    bool enabled_;
    bool drawn_ = false;
    int32_t shown_ = -1; // last percentage drawn
};
