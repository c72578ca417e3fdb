// The final render as the plug-in runs it: the whole filter rectangle requested in
// one advanceState, then the engine's stage sequence on the delivered data with the
// host's buffer suite, progress and abort procedures.
#pragma once

#include <string>

#include "tm_globals.h"
#include "tm_parameters.h"
#include "tm_protocol.h"
#include "tm_render.h"

// Returns the result code for the host: 0, TMFilterBadParameters, TMMemFullErr,
// TMUserCanceledErr, or the host's own advanceState code. Every working buffer is
// released on every exit; their ids and pointers in the record end at 0. A failed
// render also names its cause in the record's error string, when the host gives
// one; the result code stays what it is, so hosts that only read the code see no
// difference.
int16_t TMRender(TMFilterRecord* record, const TMParameters& params, TMGlobals* globals);

// The one translation of an engine outcome for the host, for the render and the
// preview alike: the protocol's result code (TMNoErr, TMFilterBadParameters,
// TMMemFullErr, TMUserCanceledErr) and, for a failure, its cause in the record's
// error string (TMDescribeRenderFailure).
int16_t TMHostResult(TMFilterRecord* record, TMResult result, const TMRenderReport& report, int32_t width,
                     int32_t height);

// Why a render, or a preview, of a width x height image stopped, as one line of text.
// A preview's report carries no working size (bufferBytes 0).
std::string TMDescribeRenderFailure(const TMRenderReport& report, int32_t width, int32_t height);
