// What the settings dialog decides, without a window: the slider scales and label
// texts, what a slider request and each button do to TMParameters, and which
// controls show what afterwards. The Win32 side only moves values between these
// functions and its controls, in the order the lists below give.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tm_dialog_ids.h"
#include "tm_parameters.h"

class TMSettingsStore;

// The eight settings with a slider, in the order the dialog sets them up at start.
enum class TMSlider : int32_t {
    Luminosity,
    Strength,
    ColorSaturation,
    Smoothing,
    Microcontrast,
    Microsmoothing,
    WhiteClip,
    BlackClip,
};
constexpr int32_t kTMSliderCount = 8;

struct TMSliderInfo {
    TMSlider slider;
    int32_t controlId;    // the scroll bar; its value label is controlId + 1
    int32_t maximum;      // positions 0..maximum
    int32_t previewLevel; // 0: output mapping only, 2: full recompute
};

const TMSliderInfo& TMSliderOf(TMSlider slider);
// The slider whose scroll bar has this id, or nullptr.
const TMSliderInfo* TMSliderWithControl(int32_t controlId);

// Clip settings: stored 0..1000 in steps of 0.005 %, on a slider 0..100 whose scale
// follows the power 1.58. Positions outside 0..100 count as the nearer end.
int32_t TMClipFromSlider(int32_t position);
// The position for a stored clip value (values outside 0..1000 count as the nearer
// end). Not an exact inverse: the dialog never re-derives a position the user set.
int32_t TMSliderFromClip(int32_t value);

// The stored value a position means, and the position that shows a stored value.
int32_t TMValueFromPosition(TMSlider slider, int32_t position);
int32_t TMPositionFromValue(TMSlider slider, int32_t value);
int32_t TMSettingValue(const TMSettings& settings, TMSlider slider);

// The value label's text for a stored value ("-10", "+1", "0.250", ...).
std::string TMLabelText(TMSlider slider, int32_t value);

// One change to a control, for the Win32 side to apply in list order.
struct TMControlUpdate {
    enum Kind : int32_t {
        SliderRange,    // range 0..maximum and position, in one call, redrawn
        SliderPosition, // position only, redrawn
        Text,           // the control's window text
    };
    Kind kind;
    int32_t controlId;
    int32_t position; // SliderRange, SliderPosition
    int32_t maximum;  // SliderRange
    std::string text; // Text
};

// Dialog start: the eight sliders' ranges and positions, then the eight labels.
std::vector<TMControlUpdate> TMInitialControls(const TMSettings& settings);

// The first `count` settings in the order Luminosity, Strength, Color Saturation,
// White Clipping, Black Clipping, Light Smoothing, Micro-contrast, Micro-smoothing:
// each slider's position, then its label, from the stored values.
std::vector<TMControlUpdate> TMRefreshControls(const TMSettings& settings, int32_t count);

// Scroll request codes of a horizontal scroll bar.
enum : int32_t {
    TMScrollLineLeft = 0,
    TMScrollLineRight = 1,
    TMScrollPageLeft = 2,
    TMScrollPageRight = 3,
    TMScrollThumbPosition = 4,
    TMScrollThumbTrack = 5,
    TMScrollLeft = 6,  // Home
    TMScrollRight = 7, // End
    TMScrollEnd = 8,
};

// What one request to a slider does. The slider's state is what its control holds.
struct TMScrollOutcome {
    bool move = false; // set the control to `position` and the label to `label`
    int32_t position = 0;
    std::string label;
    bool store = false; // then store `value` and recompute the preview at `previewLevel`
    int32_t value = 0;
    int32_t previewLevel = 0;
};

// A current position outside 0..maximum does nothing; so does a new position
// outside it. Line steps, the thumb's release and Home/End store the setting and
// recompute (a line step at either end too); a drag moves only the label; a
// click in the trough changes nothing.
TMScrollOutcome TMScrollRequest(TMSlider slider, int32_t code, int32_t position, int32_t trackPosition,
                                int32_t maximum);

// Stores the value of an outcome whose `store` is set, with its previewLevel.
void TMStoreSlider(TMParameters* params, TMSlider slider, const TMScrollOutcome& outcome);

// Dialog start: the preview bookkeeping of a run that has not begun (tone-mapped
// view shown, full first computation, nothing to restore, no cached original:
// the buffers are new for every run), whatever an earlier run left in the record.
void TMBeginDialogRun(TMParameters* params);

// Default: the default settings for the sample format (image360 off), a full
// recompute; the controls to refresh (all eight). The caller also unchecks the
// "360° Image" box.
std::vector<TMControlUpdate> TMDefaultButton(TMParameters* params, int32_t sampleFormat);

// Previous: the last-used settings from `store`, a full recompute, and all eight
// controls refreshed from the stored values (a value the store lacked keeps its
// setting, which the refresh then shows too).
std::vector<TMControlUpdate> TMPreviousButton(TMParameters* params, TMSettingsStore& store);

// Load: reads the settings file at `path`; when the read succeeds (result above 0)
// the eight settings are taken from it and a full recompute asked for. Returns the
// read's result; `updates` receives the refresh of all eight controls on success.
int TMReadSettingsFile(const char* path, TMParameters* params, std::vector<TMControlUpdate>* updates);
// The message for a failed load (negative result), nullptr for success or cancel.
const char* TMLoadFailureMessage(int result);

// Save: writes the eight settings to `path`. Returns the write's result.
int TMWriteSettingsFile(const char* path, const TMParameters& params);

// The folder of a chosen file (the path up to its last backslash) into `folder`
// (kTMFolderSize bytes). False, with `folder` untouched, for a path without a
// backslash or a folder too long to keep.
bool TMFolderOfPath(const char* path, char* folder);
// Whether the file dialogs offer `folder` as their initial folder.
bool TMOffersFolder(const char* folder);

// Size buttons: the side the checked button asks for (768, 1024, else 512), and
// what choosing it does to the record (a full recompute).
int32_t TMPreviewSideOfButtons(bool checked768, bool checked1024);
void TMPreviewSideChosen(TMParameters* params);

// "360° Image": inverts the switch; returns its new state for the check box.
bool TMToggleImage360(TMParameters* params);

// Show Original / Show Preview: inverts showPreview (back to the preview, the saved
// image is restored). Returns the button's new text; the setting controls are
// enabled exactly when showPreview is 1 afterwards.
const char* TMToggleOriginal(TMParameters* params);
const char* TMShowOriginalText(const TMParameters& params);

// The controls that change settings, enabled and disabled together, in order.
extern const int32_t kTMSettingControls[15];

// Preview pane: the 8-bit image mode the host is told the preview has, for the
// document's image mode (deep modes map to their 8-bit counterpart).
int32_t TMPixelMapMode(int32_t documentMode);

// The histogram as lines in the frame's client rectangle (left, top, right,
// bottom): the base line along the bottom, then one vertical line per bin from the
// bottom up, scaled so that the largest count reaches the frame's height.
struct TMLine {
    int32_t x0, y0, x1, y1;
};
std::vector<TMLine> TMHistogramLines(const int32_t counts[256], int32_t left, int32_t top, int32_t right,
                                     int32_t bottom);

// Help: the help file's path from the installation folder (nullptr or "" when the
// store has none), and the message when it cannot be opened.
std::string TMHelpFilePath(const char* installFolder);
std::string TMHelpMissingMessage(const std::string& helpPath);
