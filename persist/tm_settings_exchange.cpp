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
    clamp(&p->luminosity, 0, kLuminosityMax);
    clamp(&p->strength, 0, kPercentMax);
    clamp(&p->colorSaturation, 0, kPercentMax);
    clamp(&p->whiteClip, 0, kClipMax);
    clamp(&p->blackClip, 0, kClipMax);
    clamp(&p->microcontrast, -kLevelMax, kLevelMax);
    clamp(&p->smoothing, -kLevelMax, kLevelMax);
    clamp(&p->microsmoothing, 0, kMicrosmoothingMax);
    return outside;
}

void TMRecordFromSettings(const TMParameters& params, int32_t record[TMXmpRecordSize])
{
    TMParameters p = params;
    TMClampSettings(&p);
    record[TMXmpLuminosity] = p.luminosity - 10;
    record[TMXmpStrength] = p.strength;
    record[TMXmpColorSaturation] = p.colorSaturation;
    record[TMXmpWhiteClip] = p.whiteClip;
    record[TMXmpBlackClip] = p.blackClip;
    record[TMXmpSmoothing] = 2 - p.smoothing;
    record[TMXmpMicrocontrast] = 2 - p.microcontrast;
    record[TMXmpMicrosmoothing] = p.microsmoothing;
}

void TMSettingsFromRecord(const int32_t record[TMXmpRecordSize], TMParameters* params)
{
    // Clamped in the record's own units first: 2 - value and value + 10 must not
    // overflow for any int.
    params->luminosity = clamped(record[TMXmpLuminosity], -10, 10) + 10;
    params->strength = clamped(record[TMXmpStrength], 0, kPercentMax);
    params->colorSaturation = clamped(record[TMXmpColorSaturation], 0, kPercentMax);
    params->whiteClip = clamped(record[TMXmpWhiteClip], 0, kClipMax);
    params->blackClip = clamped(record[TMXmpBlackClip], 0, kClipMax);
    params->smoothing = 2 - clamped(record[TMXmpSmoothing], 0, 4);
    params->microcontrast = 2 - clamped(record[TMXmpMicrocontrast], 0, 4);
    params->microsmoothing = clamped(record[TMXmpMicrosmoothing], 0, kMicrosmoothingMax);
}
