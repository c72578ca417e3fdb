#include "tm_parameters.h"

#include <algorithm>

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

int TMClampSettings(TMSettings* s)
{
    int outside = 0;
    const auto limit = [&outside](int32_t* v, int32_t lo, int32_t hi) {
        const int32_t c = std::clamp(*v, lo, hi);
        outside += c != *v;
        *v = c;
    };
    limit(&s->luminosity, 0, 20);
    limit(&s->strength, 0, 100);
    limit(&s->colorSaturation, 0, 100);
    limit(&s->whiteClip, 0, 1000);
    limit(&s->blackClip, 0, 1000);
    limit(&s->microcontrast, -2, 2);
    limit(&s->smoothing, -2, 2);
    limit(&s->microsmoothing, 0, 30);
    return outside;
}

TMSettings snapshot(const TMParameters& params) { return params.settings; }

void restore(TMParameters* params, const TMSettings& saved) { params->settings = saved; }
