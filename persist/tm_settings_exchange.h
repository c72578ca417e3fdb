// Conversions between TMParameters and the exchange record of settings files, for
// the dialog's Load and Save and for the command-line tool.
#pragma once

#include <cstdint>

#include "tm_parameters.h"
#include "tm_xmp_settings.h"

// The eight user settings as a settings file holds them: Luminosity as shown
// (-10..+10), Light Smoothing and Micro-contrast as word indexes (2 - setting), the
// others unchanged. Settings outside their ranges are saved clamped to them.
void TMRecordFromSettings(const TMParameters& params, int32_t record[TMXmpRecordSize]);

// The reverse, into the eight user settings of `params` (image360 and the preview
// bookkeeping stay). Every value is clamped to its range first: a file may hold
// anything.
void TMSettingsFromRecord(const int32_t record[TMXmpRecordSize], TMParameters* params);
