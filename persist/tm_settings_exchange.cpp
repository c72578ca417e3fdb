#include "tm_settings_exchange.h"

#include <algorithm>

namespace {

int32_t clamped(int32_t v, int32_t lo, int32_t hi) { return std::min(std::max(v, lo), hi); }

// Ranges of the stored settings.
constexpr int32_t kLuminosityMax = 20; // stored 0..20, shown -10..+10
constexpr int32_t kPercentMax = 100;
constexpr int32_t kClipMax = 1000;     // steps of 0.005 %
constexpr int32_t kLevelMax = 2;       // Light Smoothing and Micro-contrast, -2..+2
constexpr int32_t kMicrosmoothingMax = 30;

} // namespace

int TMClampSettings(TMParameters* p)
{
    int outside = 0;
    const auto clamp = [&outside](int32_t* v, int32_t lo, int32_t hi) {
        const int32_t c = clamped(*v, lo, hi);
        outside += c != *v;
        *v = c;
    };
    clamp(&p->settings.luminosity, 0, kLuminosityMax);
    clamp(&p->settings.strength, 0, kPercentMax);
    clamp(&p->settings.colorSaturation, 0, kPercentMax);
    clamp(&p->settings.whiteClip, 0, kClipMax);
    clamp(&p->settings.blackClip, 0, kClipMax);
    clamp(&p->settings.microcontrast, -kLevelMax, kLevelMax);
    clamp(&p->settings.smoothing, -kLevelMax, kLevelMax);
    clamp(&p->settings.microsmoothing, 0, kMicrosmoothingMax);
    return outside;
}

void TMRecordFromSettings(const TMParameters& params, int32_t record[TMXmpRecordSize])
{
    TMParameters p = params;
    TMClampSettings(&p);
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
    // Clamped in the record's own units first: 2 - value and value + 10 must not
    // overflow for any int.
    params->settings.luminosity = clamped(record[TMXmpLuminosity], -10, 10) + 10;
    params->settings.strength = clamped(record[TMXmpStrength], 0, kPercentMax);
    params->settings.colorSaturation = clamped(record[TMXmpColorSaturation], 0, kPercentMax);
    params->settings.whiteClip = clamped(record[TMXmpWhiteClip], 0, kClipMax);
    params->settings.blackClip = clamped(record[TMXmpBlackClip], 0, kClipMax);
    params->settings.smoothing = 2 - clamped(record[TMXmpSmoothing], 0, 4);
    params->settings.microcontrast = 2 - clamped(record[TMXmpMicrocontrast], 0, 4);
    params->settings.microsmoothing = clamped(record[TMXmpMicrosmoothing], 0, kMicrosmoothingMax);
}
