#include "tm_parameters.h"

TMSettings TMDefaultSettings(int32_t sampleFormat)
{
    TMSettings s{};
    s.luminosity = 10;
    s.strength = sampleFormat == TMSampleFloat32 ? 70 : 40;
    s.colorSaturation = 46;
    s.whiteClip = 50;
    s.blackClip = 0;
    s.microcontrast = 2;
    s.smoothing = 1;
    s.microsmoothing = 2;
    s.image360 = 0;
    return s;
}

void applyDefaults(TMParameters* params, int32_t sampleFormat, TMDefaults form)
{
    if (form == TMDefaults::SettingsOnly) {
        params->settings = TMDefaultSettings(sampleFormat);
        return;
    }
    TMParameters fresh{};
    fresh.settings = TMDefaultSettings(sampleFormat);
    fresh.previewLevel = 2;
    fresh.showPreview = 1;
    fresh.originalStale512 = 1;
    fresh.originalStale768 = 1;
    fresh.originalStale1024 = 1;
    *params = fresh;
}

TMSettings snapshot(const TMParameters& params) { return params.settings; }

void restore(TMParameters* params, const TMSettings& saved) { params->settings = saved; }
