// The notes the settings dialog shows in its note box while the mouse is over one of
// its controls; the command-line tool's help explains its settings with them too.
#pragma once

#include <cstdint>
#include <string>

// Control ids of the settings dialog that have a note.
enum : int32_t {
    TMControlLuminosity = 100,
    TMControlStrength = 110,
    TMControlSaturation = 120,
    TMControlWhiteClip = 130,
    TMControlBlackClip = 140,
    TMControlLightSmoothing = 150,
    TMControlMicroContrast = 160,
    TMControlMicroSmoothing = 170,
    TMControlImage360 = 300,
    TMControlPrevious = 3,
    TMControlDefault = 310,
    TMControlLoad = 320,
    TMControlSave = 330,
    TMControlShowOriginal = 210,
    TMControlHelp = 4,
};

// The note of a control ('\n' separates its lines), or nullptr for a control
// without one.
const char* TMControlNote(int32_t controlId);

// The note's first line: what the control does, in one sentence.
std::string TMControlNoteSummary(int32_t controlId);
