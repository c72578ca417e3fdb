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

// The recorded parameters, one definition for reading and writing: each
// terminology entry's key and type (integer 'long' or the enumeration TM_ENUM_LEVEL),
// in the terminology's order, which is also the order of the key list offered to
// the host, and the setting it carries.
struct TMScriptParameter {
    TMFourCC key;
    TMFourCC type;
};
constexpr TMFourCC TMScriptInteger = TMFourCCOf("long");
constexpr TMFourCC TMScriptLevel = TMFourCCOf(TM_ENUM_LEVEL);
#define TM_SCRIPT_PARAMETER_ENTRY(name, key, type, description, flags) \
    TMScriptParameter{TMFourCCOf(key), TMFourCCOf(type)},
constexpr TMScriptParameter TMScriptParameters[] = {TM_SCRIPT_PARAMETERS(TM_SCRIPT_PARAMETER_ENTRY)};
#undef TM_SCRIPT_PARAMETER_ENTRY
constexpr int TMScriptParameterCount = static_cast<int>(sizeof(TMScriptParameters) / sizeof(TMScriptParameters[0]));
constexpr int32_t TMSettings::*TMScriptFields[] = {
    &TMSettings::luminosity, &TMSettings::strength,  &TMSettings::colorSaturation, &TMSettings::whiteClip,
    &TMSettings::blackClip,  &TMSettings::smoothing, &TMSettings::microcontrast};
static_assert(sizeof(TMScriptFields) / sizeof(TMScriptFields[0]) == TMScriptParameterCount, "one setting per key");
static_assert(TMScriptParameterCount == 7 && TMScriptParameters[0].key == TMKeyLuminosity &&
                  TMScriptParameters[1].key == TMKeyStrength && TMScriptParameters[2].key == TMKeySaturation &&
                  TMScriptParameters[3].key == TMKeyWhiteClip && TMScriptParameters[4].key == TMKeyBlackClip &&
                  TMScriptParameters[5].key == TMKeySmoothing && TMScriptParameters[6].key == TMKeyMicrocontrast,
              "the settings follow the terminology's keys");
static_assert(TMScriptParameters[0].type == TMScriptInteger && TMScriptParameters[4].type == TMScriptInteger &&
                  TMScriptParameters[5].type == TMScriptLevel && TMScriptParameters[6].type == TMScriptLevel,
              "five integers, then the two enumerated settings");

// Reads the descriptor the host hands over (if any) into params, consumes it, and
// decides whether the dialog is shown. Returns the reading's error code (not for the
// host: a non-zero code only skips the dialog); -1715 when showDialog is null.
int16_t readScriptParameters(TMFilterRecord* record, const TMGlobals& globals, TMParameters* params, bool* showDialog);

// Records the settings of `params` for the host: a new descriptor built with the
// host's write procedures, under the terminology's keys and types, handed to the
// record (replacing, and disposing of, a descriptor it still names). A setting no
// key can carry is left out and travels only in the parameters handle: Light
// Smoothing and Micro-contrast above 0 (the enumeration names 0, -1 and -2), and
// Micro-smoothing and the 360° switch, which have no key. Nothing is recorded when
// the host offers no write procedures, and nothing partial: a failed write leaves
// the record without a descriptor. Returns the host's first error (not for the host's
// result word: recording is a service, the render stands).
int16_t writeScriptParameters(TMFilterRecord* record, const TMParameters& params);
