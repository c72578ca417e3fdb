// The settings record kept in the host's parameters handle between filter runs.
// Fixed layout, little-endian, exactly as hosts and saved actions see it: never
// reorder, resize or insert fields.
#pragma once

#include <cstddef>
#include <cstdint>

// The user's settings proper: the eight values the dialog shows and the 360° switch.
// What a cancelled dialog gives back, what scripting, settings files and the
// last-used store fill. Stored as the first 36 bytes of TMParameters.
struct TMSettings {
    int32_t luminosity;      // "Luminosity" + 10: 0..20, shown as -10..+10
    int32_t strength;        // "Strength", percent 0..100
    int32_t colorSaturation; // "Color Saturation", percent 0..100
    int32_t whiteClip;       // "White Clipping" in steps of 0.005 %: 0..1000
    int32_t blackClip;       // "Black Clipping", same unit
    int32_t microcontrast;   // "Micro-contrast", -2..+2
    int32_t smoothing;       // "Light Smoothing", -2..+2 (extra solver levels)
    int32_t microsmoothing;  // "Micro-smoothing", 0..30
    uint8_t image360;        // "360° Image": left and right edges join
    uint8_t reserved360[3];  // rest of the 32-bit slot of image360; always 0
};

// Field order and sizes are part of the stored format (48 bytes).
struct TMParameters {
    TMSettings settings;
    int32_t previewLevel;     // 0: output mapping only, 1..2: recompute preview
    uint8_t showPreview;      // 1: tone-mapped preview shown, 0: original shown
    uint8_t originalStale512; // 1: original preview of that size not cached yet
    uint8_t originalStale768;
    uint8_t originalStale1024;
    uint8_t restorePreview;        // 1: next paint restores the saved tone-mapped preview
    uint8_t forcePreviewRecompute; // 1: next preview computation acts as level 2
    uint8_t reservedTail[2];       // pads the record to a multiple of four bytes; always 0
};

static_assert(sizeof(TMSettings) == 36, "the settings fill the first nine 32-bit slots");
static_assert(sizeof(TMParameters) == 48, "TMParameters is a stored 48-byte record");
static_assert(offsetof(TMParameters, settings) == 0, "layout");
static_assert(offsetof(TMParameters, settings.luminosity) == 0, "layout");
static_assert(offsetof(TMParameters, settings.strength) == 4, "layout");
static_assert(offsetof(TMParameters, settings.colorSaturation) == 8, "layout");
static_assert(offsetof(TMParameters, settings.whiteClip) == 12, "layout");
static_assert(offsetof(TMParameters, settings.blackClip) == 16, "layout");
static_assert(offsetof(TMParameters, settings.microcontrast) == 20, "layout");
static_assert(offsetof(TMParameters, settings.smoothing) == 24, "layout");
static_assert(offsetof(TMParameters, settings.microsmoothing) == 28, "layout");
static_assert(offsetof(TMParameters, settings.image360) == 32, "layout");
static_assert(offsetof(TMParameters, previewLevel) == 36, "layout");
static_assert(offsetof(TMParameters, showPreview) == 40, "layout");
static_assert(offsetof(TMParameters, originalStale512) == 41, "layout");
static_assert(offsetof(TMParameters, originalStale768) == 42, "layout");
static_assert(offsetof(TMParameters, originalStale1024) == 43, "layout");
static_assert(offsetof(TMParameters, restorePreview) == 44, "layout");
static_assert(offsetof(TMParameters, forcePreviewRecompute) == 45, "layout");

// Sample format codes, as recorded from the host's bit depth.
enum : int32_t {
    TMSampleFloat32 = 0,
    TMSample16 = 1,
    TMSample8 = 2,
};

// The default settings. Strength depends on the sample format: 70 for float images,
// 40 for integer ones.
TMSettings TMDefaultSettings(int32_t sampleFormat);

enum class TMDefaults {
    All,          // every field: a new record or a parameters call
    SettingsOnly, // the eight settings and image360; preview bookkeeping untouched
};

// Writes the defaults (TMDefaultSettings and, for All, the preview bookkeeping of a
// dialog that has not run).
void applyDefaults(TMParameters* params, int32_t sampleFormat, TMDefaults form = TMDefaults::All);

// Each of the eight user settings limited to its range (the table above: what the
// dialog offers and settings files and the last-used store hold). Returns how many
// were outside. The one definition of those ranges.
int TMClampSettings(TMSettings* settings);

// The settings a cancelled dialog must give back unchanged, and giving them back.
TMSettings snapshot(const TMParameters& params);
void restore(TMParameters* params, const TMSettings& saved);
