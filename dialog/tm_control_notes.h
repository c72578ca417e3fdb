// The notes the settings dialog shows in its note box while the mouse is over one of
// its controls; the command-line tool's help explains its settings with them too.
#pragma once

#include <cstdint>
#include <string>

#include "tm_dialog_ids.h"

// Control ids of the settings dialog that have a note.
enum : int32_t {
    TMControlLuminosity = TM_ID_LUMINOSITY,
    TMControlStrength = TM_ID_STRENGTH,
    TMControlSaturation = TM_ID_SATURATION,
    TMControlWhiteClip = TM_ID_WHITE_CLIP,
    TMControlBlackClip = TM_ID_BLACK_CLIP,
    TMControlLightSmoothing = TM_ID_SMOOTHING,
    TMControlMicroContrast = TM_ID_MICROCONTRAST,
    TMControlMicroSmoothing = TM_ID_MICROSMOOTHING,
    TMControlImage360 = TM_ID_IMAGE360,
    TMControlPrevious = TM_ID_PREVIOUS,
    TMControlDefault = TM_ID_DEFAULT,
    TMControlLoad = TM_ID_LOAD,
    TMControlSave = TM_ID_SAVE,
    TMControlShowOriginal = TM_ID_SHOW_ORIGINAL,
    TMControlHelp = TM_ID_HELP,
};

// The note of a control ('\n' separates its lines), or nullptr for a control
// without one.
const char* TMControlNote(int32_t controlId);

// The note's first line: what the control does, in one sentence.
std::string TMControlNoteSummary(int32_t controlId);
