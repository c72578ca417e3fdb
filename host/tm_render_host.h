// The final render as the plug-in runs it: the whole filter rectangle requested in
// one advanceState, then the engine's stage sequence on the delivered data with the
// host's buffer suite, progress and abort procedures.
#pragma once

#include "tm_globals.h"
#include "tm_parameters.h"
#include "tm_protocol.h"

// Returns the result code for the host: 0, TMFilterBadParameters, TMMemFullErr,
// TMUserCanceledErr, or the host's own advanceState code. Every working buffer is
// released on every exit; their ids and pointers in the record end at 0.
int16_t TMRender(TMFilterRecord* record, const TMParameters& params, TMGlobals* globals);
