#include "tm_dialog_logic.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "tm_last_settings.h"
#include "tm_settings_exchange.h"
#include "tm_xmp_settings.h"

namespace {

// In the order of TMSlider.
const TMSliderInfo kSliders[kTMSliderCount] = {
    {TMSlider::Luminosity, TM_ID_LUMINOSITY, 20, 1},       {TMSlider::Strength, TM_ID_STRENGTH, 100, 1},
    {TMSlider::ColorSaturation, TM_ID_SATURATION, 100, 0}, {TMSlider::Smoothing, TM_ID_SMOOTHING, 4, 2},
    {TMSlider::Microcontrast, TM_ID_MICROCONTRAST, 4, 2},  {TMSlider::Microsmoothing, TM_ID_MICROSMOOTHING, 30, 2},
    {TMSlider::WhiteClip, TM_ID_WHITE_CLIP, 100, 0},       {TMSlider::BlackClip, TM_ID_BLACK_CLIP, 100, 0},
};

// The order of a refresh, which Previous's count of read values used to cut short.
const TMSlider kRefreshOrder[kTMSliderCount] = {
    TMSlider::Luminosity, TMSlider::Strength,  TMSlider::ColorSaturation, TMSlider::WhiteClip,
    TMSlider::BlackClip,  TMSlider::Smoothing, TMSlider::Microcontrast,   TMSlider::Microsmoothing,
};

// x >= 0 truncated, plus 1 when the dropped fraction exceeds one half (halves down).
int32_t roundHalfDown(double x)
{
    const int32_t t = static_cast<int32_t>(x);
    return x - t > 0.5 ? t + 1 : t;
}

int32_t* field(TMSettings* s, TMSlider slider)
{
    switch (slider) {
    case TMSlider::Luminosity: return &s->luminosity;
    case TMSlider::Strength: return &s->strength;
    case TMSlider::ColorSaturation: return &s->colorSaturation;
    case TMSlider::Smoothing: return &s->smoothing;
    case TMSlider::Microcontrast: return &s->microcontrast;
    case TMSlider::Microsmoothing: return &s->microsmoothing;
    case TMSlider::WhiteClip: return &s->whiteClip;
    case TMSlider::BlackClip: return &s->blackClip;
    }
    return &s->luminosity;
}

bool isClip(TMSlider s) { return s == TMSlider::WhiteClip || s == TMSlider::BlackClip; }
bool isLevel(TMSlider s) { return s == TMSlider::Smoothing || s == TMSlider::Microcontrast; }

std::vector<TMControlUpdate> refreshAll(const TMSettings& settings)
{
    return TMRefreshControls(settings, kTMSliderCount);
}

} // namespace

const TMSliderInfo& TMSliderOf(TMSlider slider) { return kSliders[static_cast<int32_t>(slider)]; }

const TMSliderInfo* TMSliderWithControl(int32_t controlId)
{
    for (const TMSliderInfo& s : kSliders)
        if (s.controlId == controlId)
            return &s;
    return nullptr;
}

int32_t TMClipFromSlider(int32_t position)
{
    const int32_t p = std::clamp(position, 0, 100);
    return roundHalfDown(std::pow(p / 100.0, 1.58) * 1000.0);
}

int32_t TMSliderFromClip(int32_t value)
{
    static const double kInverse = 1.0 / 1.58;
    const float s = static_cast<float>(std::clamp(value, 0, 1000) / 10.0);
    return roundHalfDown(std::pow(static_cast<double>(s) / 100.0, kInverse) * 1000.0) / 10;
}

int32_t TMValueFromPosition(TMSlider slider, int32_t position)
{
    if (isClip(slider))
        return TMClipFromSlider(position);
    return isLevel(slider) ? position - 2 : position;
}

int32_t TMPositionFromValue(TMSlider slider, int32_t value)
{
    if (isClip(slider))
        return TMSliderFromClip(value);
    return isLevel(slider) ? value + 2 : value;
}

int32_t TMSettingValue(const TMSettings& settings, TMSlider slider)
{
    TMSettings copy = settings;
    return *field(&copy, slider);
}

std::string TMLabelText(TMSlider slider, int32_t value)
{
    char text[32];
    if (isClip(slider))
        std::snprintf(text, sizeof text, "%2.3f", value * 0.005);
    else if (slider == TMSlider::Luminosity)
        std::snprintf(text, sizeof text, "%d", value - 10);
    else if (isLevel(slider) && value > 0)
        std::snprintf(text, sizeof text, "+%d", value);
    else
        std::snprintf(text, sizeof text, "%d", value);
    return text;
}

std::vector<TMControlUpdate> TMInitialControls(const TMSettings& settings)
{
    std::vector<TMControlUpdate> updates;
    for (const TMSliderInfo& s : kSliders) {
        const int32_t position = TMPositionFromValue(s.slider, TMSettingValue(settings, s.slider));
        updates.push_back({TMControlUpdate::SliderRange, s.controlId, position, s.maximum, {}});
    }
    for (const TMSliderInfo& s : kSliders)
        updates.push_back({TMControlUpdate::Text, s.controlId + TM_ID_LABEL_OFFSET, 0, 0,
                           TMLabelText(s.slider, TMSettingValue(settings, s.slider))});
    return updates;
}

std::vector<TMControlUpdate> TMRefreshControls(const TMSettings& settings, int32_t count)
{
    std::vector<TMControlUpdate> updates;
    for (int32_t k = 0; k < kTMSliderCount && k < count; ++k) {
        const TMSliderInfo& s = TMSliderOf(kRefreshOrder[k]);
        const int32_t value = TMSettingValue(settings, s.slider);
        updates.push_back({TMControlUpdate::SliderPosition, s.controlId, TMPositionFromValue(s.slider, value), 0, {}});
        updates.push_back(
            {TMControlUpdate::Text, s.controlId + TM_ID_LABEL_OFFSET, 0, 0, TMLabelText(s.slider, value)});
    }
    return updates;
}

TMScrollOutcome TMScrollRequest(TMSlider slider, int32_t code, int32_t position, int32_t trackPosition, int32_t maximum)
{
    TMScrollOutcome out;
    if (position < 0 || position > maximum)
        return out;
    int32_t n = position;
    bool stores = false;
    switch (code) {
    case TMScrollLineLeft:
        n = position > 0 ? position - 1 : position;
        stores = true;
        break;
    case TMScrollLineRight:
        n = position < maximum ? position + 1 : position;
        stores = true;
        break;
    case TMScrollThumbPosition:
        n = trackPosition;
        stores = true;
        break;
    case TMScrollThumbTrack: n = trackPosition; break;
    case TMScrollLeft:
        n = 0;
        stores = true;
        break;
    case TMScrollRight:
        n = maximum;
        stores = true;
        break;
    default: // page steps (a click in the trough), end of scroll and unknown codes
        return out;
    }
    // A track position outside the range (a control whose range changed under
    // the thumb) is neither shown nor stored.
    if (n < 0 || n > maximum)
        return out;
    out.move = true;
    out.position = n;
    out.value = TMValueFromPosition(slider, n);
    out.label = TMLabelText(slider, out.value);
    out.store = stores;
    out.previewLevel = TMSliderOf(slider).previewLevel;
    return out;
}

void TMStoreSlider(TMParameters* params, TMSlider slider, const TMScrollOutcome& outcome)
{
    if (!outcome.store)
        return;
    *field(&params->settings, slider) = outcome.value;
    params->previewLevel = outcome.previewLevel;
}

void TMBeginDialogRun(TMParameters* params)
{
    params->previewLevel = 2;
    params->showPreview = 1;
    params->originalStale512 = 1;
    params->originalStale768 = 1;
    params->originalStale1024 = 1;
    params->restorePreview = 0;
    params->forcePreviewRecompute = 0;
}

std::vector<TMControlUpdate> TMDefaultButton(TMParameters* params, int32_t sampleFormat)
{
    applyDefaults(params, sampleFormat, TMDefaults::SettingsOnly);
    params->previewLevel = 2;
    return refreshAll(params->settings);
}

std::vector<TMControlUpdate> TMPreviousButton(TMParameters* params, TMSettingsStore& store)
{
    loadLastSettings(params, store);
    params->previewLevel = 2;
    return refreshAll(params->settings);
}

int TMReadSettingsFile(const char* path, TMParameters* params, std::vector<TMControlUpdate>* updates)
{
    int32_t record[TMXmpRecordSize] = {};
    const int result = readSettingsXmp(path, record);
    if (result > 0) {
        TMSettingsFromRecord(record, params);
        params->previewLevel = 2;
        *updates = refreshAll(params->settings);
    }
    return result;
}

const char* TMLoadFailureMessage(int result) { return result < 0 ? TMXmpLoadMessage(result) : nullptr; }

int TMWriteSettingsFile(const char* path, const TMParameters& params)
{
    int32_t record[TMXmpRecordSize];
    TMRecordFromSettings(params, record);
    return writeSettingsXmp(path, record);
}

bool TMFolderOfPath(const char* path, char* folder)
{
    const char* cut = std::strrchr(path, '\\');
    if (!cut || static_cast<size_t>(cut - path) >= kTMFolderSize)
        return false;
    const size_t length = static_cast<size_t>(cut - path);
    std::memcpy(folder, path, length);
    folder[length] = '\0';
    return true;
}

bool TMOffersFolder(const char* folder) { return std::strlen(folder) > 4; }

int32_t TMPreviewSideOfButtons(bool checked768, bool checked1024)
{
    return checked768 ? 768 : checked1024 ? 1024 : 512;
}

void TMPreviewSideChosen(TMParameters* params) { params->previewLevel = 2; }

bool TMToggleImage360(TMParameters* params)
{
    params->settings.image360 = params->settings.image360 ? 0 : 1;
    return params->settings.image360 != 0;
}

const char* TMShowOriginalText(const TMParameters& params)
{
    return params.showPreview == 1 ? "Show Original" : "Show Preview";
}

const char* TMToggleOriginal(TMParameters* params)
{
    params->showPreview = params->showPreview == 1 ? 0 : 1;
    if (params->showPreview == 1)
        params->restorePreview = 1;
    return TMShowOriginalText(*params);
}

const int32_t kTMSettingControls[15] = {
    TM_ID_LUMINOSITY, TM_ID_STRENGTH,      TM_ID_SATURATION,     TM_ID_WHITE_CLIP, TM_ID_BLACK_CLIP,
    TM_ID_SMOOTHING,  TM_ID_MICROCONTRAST, TM_ID_MICROSMOOTHING, TM_ID_PREVIOUS,   TM_ID_DEFAULT,
    TM_ID_LOAD,       TM_ID_SAVE,          TM_ID_SIZE_512,       TM_ID_SIZE_768,   TM_ID_SIZE_1024,
};

int32_t TMPixelMapMode(int32_t documentMode)
{
    switch (documentMode) {
    case 10:           // Gray16
    case 17:           // Gray32
        return 1;      // GrayScale
    case 11:           // RGB48
    case 16:           // RGB96
        return 3;      // RGBColor
    case 12: return 9; // Lab48 -> LabColor
    case 13: return 4; // CMYK64 -> CMYKColor
    case 14: return 7; // DeepMultichannel -> Multichannel
    case 15: return 8; // Duotone16 -> Duotone
    default: return documentMode;
    }
}

std::vector<TMLine> TMHistogramLines(const int32_t counts[256], int32_t left, int32_t top, int32_t right,
                                     int32_t bottom)
{
    int32_t most = 1;
    for (int32_t i = 0; i < 256; ++i)
        most = std::max(most, counts[i]);
    // Scales in single precision, as pixels per bin and per count.
    const float xs = static_cast<float>(right - left - 1) / 256.0f;
    const float ys = static_cast<float>(bottom - top - 1) / static_cast<float>(most);
    std::vector<TMLine> lines{{left, bottom, right, bottom}};
    for (int32_t i = 0; i < 256; ++i) {
        const int32_t x = left + static_cast<int32_t>(static_cast<float>(i) * xs);
        const int32_t height = static_cast<int32_t>(static_cast<float>(counts[i]) * ys);
        if (height != 0) // a line of no length draws nothing
            lines.push_back({x, bottom, x, bottom - height});
    }
    return lines;
}

std::string TMHelpFilePath(const char* installFolder)
{
    std::string path = installFolder ? installFolder : "";
    return path + "\\ToneMappingHelp.html";
}

std::string TMHelpMissingMessage(const std::string& helpPath)
{
    return "Could not find Help file at: " + helpPath +
           "\n\nThis may happen if you have moved the Help file to another location after installation.\n\n"
           "Please reinstall the Tone Mapping plugin to recover the Help file.";
}
