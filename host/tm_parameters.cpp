#include "tm_parameters.h"

void applyDefaults(TMParameters* params, int32_t sampleFormat, TMDefaults form)
{
    params->luminosity = 10;
    params->strength = sampleFormat == TMSampleFloat32 ? 70 : 40;
    params->colorSaturation = 46;
    params->whiteClip = 50;
    params->blackClip = 0;
    params->microcontrast = 2;
    params->smoothing = 1;
    params->microsmoothing = 2;
    params->image360 = 0;
    params->reserved360[0] = params->reserved360[1] = params->reserved360[2] = 0;
    if (form == TMDefaults::SettingsOnly)
        return;
    params->previewLevel = 2;
    params->showPreview = 1;
    params->originalStale512 = 1;
    params->originalStale768 = 1;
    params->originalStale1024 = 1;
    params->restorePreview = 0;
    params->forcePreviewRecompute = 0;
    params->reservedTail[0] = params->reservedTail[1] = 0;
}

TMSettingsSnapshot snapshot(const TMParameters& p)
{
    return TMSettingsSnapshot{p.luminosity, p.strength, p.colorSaturation, p.whiteClip, p.blackClip,
                              p.microcontrast, p.smoothing, p.microsmoothing, p.image360};
}

void restore(TMParameters* p, const TMSettingsSnapshot& s)
{
    p->luminosity = s.luminosity;
    p->strength = s.strength;
    p->colorSaturation = s.colorSaturation;
    p->whiteClip = s.whiteClip;
    p->blackClip = s.blackClip;
    p->microcontrast = s.microcontrast;
    p->smoothing = s.smoothing;
    p->microsmoothing = s.microsmoothing;
    p->image360 = s.image360;
}
