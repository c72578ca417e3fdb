// Settings recorded in the host's scripting descriptor (actions).
#pragma once

#include <cstdint>

#include "tm_globals.h"
#include "tm_parameters.h"
#include "tm_plugin_info.h"
#include "tm_protocol.h"

// Scripting keys, compared as integers; the terminology resource declares the same
// keys (tm_plugin_info.h).
constexpr TMFourCC TMKeyLuminosity = TMFourCCOf(TM_KEY_LUMINOSITY); // stored form 0..20
constexpr TMFourCC TMKeyStrength = TMFourCCOf(TM_KEY_STRENGTH);
constexpr TMFourCC TMKeySaturation = TMFourCCOf(TM_KEY_SATURATION);
constexpr TMFourCC TMKeyWhiteClip = TMFourCCOf(TM_KEY_WHITE_CLIP); // units of 0.005 %
constexpr TMFourCC TMKeyBlackClip = TMFourCCOf(TM_KEY_BLACK_CLIP);
constexpr TMFourCC TMKeySmoothing = TMFourCCOf(TM_KEY_SMOOTHING);         // enumeration 'inTy'
constexpr TMFourCC TMKeyMicrocontrast = TMFourCCOf(TM_KEY_MICROCONTRAST); // enumeration 'inTy'

// Codes of the enumeration 'inTy' and the settings they stand for.
constexpr TMFourCC TMLevelHigh = TMFourCCOf(TM_LEVEL_HIGH); // 0
constexpr TMFourCC TMLevelMid = TMFourCCOf(TM_LEVEL_MID);   // -1
constexpr TMFourCC TMLevelLow = TMFourCCOf(TM_LEVEL_LOW);   // -2

// The key list offered to the host names the terminology's parameters in its order.
namespace tm_detail {
#define TM_SCRIPT_KEY_ENTRY(name, key, type, description, flags) TMFourCCOf(key),
constexpr TMFourCC kTerminologyKeys[] = {TM_SCRIPT_PARAMETERS(TM_SCRIPT_KEY_ENTRY)};
#undef TM_SCRIPT_KEY_ENTRY
static_assert(sizeof(kTerminologyKeys) / sizeof(kTerminologyKeys[0]) == 7 && kTerminologyKeys[0] == TMKeyLuminosity &&
                  kTerminologyKeys[1] == TMKeyStrength && kTerminologyKeys[2] == TMKeySaturation &&
                  kTerminologyKeys[3] == TMKeyWhiteClip && kTerminologyKeys[4] == TMKeyBlackClip &&
                  kTerminologyKeys[5] == TMKeySmoothing && kTerminologyKeys[6] == TMKeyMicrocontrast,
              "scripting keys match the terminology resource");
} // namespace tm_detail

// Reads the descriptor the host hands over (if any) into params, consumes it, and
// decides whether the dialog is shown. Returns the reading's error code (not for the
// host: a non-zero code only skips the dialog); -1715 when showDialog is null.
int16_t readScriptParameters(TMFilterRecord* record, const TMGlobals& globals, TMParameters* params, bool* showDialog);
