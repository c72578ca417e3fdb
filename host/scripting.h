// Settings recorded in the host's scripting descriptor (actions).
#pragma once

#include <cstdint>

#include "tm_globals.h"
#include "tm_parameters.h"
#include "tm_protocol.h"

// Scripting keys, compared as integers.
constexpr TMFourCC TMKeyLuminosity = TMFourCCOf("dynR");     // stored form 0..20
constexpr TMFourCC TMKeyStrength = TMFourCCOf("Amnt");
constexpr TMFourCC TMKeySaturation = TMFourCCOf("Strt");
constexpr TMFourCC TMKeyWhiteClip = TMFourCCOf("WhtC");       // units of 0.005 %
constexpr TMFourCC TMKeyBlackClip = TMFourCCOf("BlcC");
constexpr TMFourCC TMKeySmoothing = TMFourCCOf("Smth");       // enumeration 'inTy'
constexpr TMFourCC TMKeyMicrocontrast = TMFourCCOf("micC");   // enumeration 'inTy'

// Reads the descriptor the host hands over (if any) into params, consumes it, and
// decides whether the dialog is shown. Returns the reading's error code (not for the
// host: a non-zero code only skips the dialog); -1715 when showDialog is null.
int16_t readScriptParameters(TMFilterRecord* record, const TMGlobals& globals, TMParameters* params,
                             bool* showDialog);
