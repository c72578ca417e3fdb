#include "tm_settings_exchange.h"

#include <algorithm>
#include <climits>

namespace {

// A record value shifted into the stored units, in 64 bits (a file may hold any int),
// then brought back into int32 without wrapping; TMClampSettings limits it further.
int32_t shifted(int32_t value, int64_t offset, int64_t sign)
{
    return static_cast<int32_t>(std::clamp<int64_t>(offset + sign * value, INT32_MIN, INT32_MAX));
}

} // namespace

void TMRecordFromSettings(const TMParameters& params, int32_t record[TMXmpRecordSize])
{
    TMParameters p = params;
    TMClampSettings(&p.settings);
    record[TMXmpLuminosity] = p.settings.luminosity - 10;
    record[TMXmpStrength] = p.settings.strength;
    record[TMXmpColorSaturation] = p.settings.colorSaturation;
    record[TMXmpWhiteClip] = p.settings.whiteClip;
    record[TMXmpBlackClip] = p.settings.blackClip;
    record[TMXmpSmoothing] = 2 - p.settings.smoothing;
    record[TMXmpMicrocontrast] = 2 - p.settings.microcontrast;
    record[TMXmpMicrosmoothing] = p.settings.microsmoothing;
}

void TMSettingsFromRecord(const int32_t record[TMXmpRecordSize], TMParameters* params)
{
    TMSettings s = params->settings;
    s.luminosity = shifted(record[TMXmpLuminosity], 10, 1);
    s.strength = record[TMXmpStrength];
    s.colorSaturation = record[TMXmpColorSaturation];
    s.whiteClip = record[TMXmpWhiteClip];
    s.blackClip = record[TMXmpBlackClip];
    s.smoothing = shifted(record[TMXmpSmoothing], 2, -1);
    s.microcontrast = shifted(record[TMXmpMicrocontrast], 2, -1);
    s.microsmoothing = record[TMXmpMicrosmoothing];
    TMClampSettings(&s);
    params->settings = s;
}
