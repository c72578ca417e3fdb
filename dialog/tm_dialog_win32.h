// The settings dialog and the About box on Windows: the dialog procedure and the
// thin layer that moves values between the controls and the dialog's plain logic
// (tm_dialog_logic.h), the preview render and the settings store.
#pragma once

#if defined(_WIN32)

#include <windows.h>

#include <cstdint>

#include "tm_globals.h"
#include "tm_parameters.h"
#include "tm_protocol.h"

// The module whose resources the dialogs are made from (the plug-in's own DLL),
// recorded when it is loaded.
void TMSetModule(HINSTANCE module);

// Runs the settings dialog modally over `owner` (0: none) on the host's record and
// the plug-in's locked records. `result` is the host's result word: the preview's
// failures land there and stop further previews (the caller clears it afterwards).
// True when the user chose OK.
bool TMRunSettingsDialog(TMFilterRecord* record, TMParameters* params, TMGlobals* globals, int16_t* result,
                         HWND owner);

// The About box, modal over `owner`.
void TMShowAboutBox(HWND owner);

// The settings dialog's procedure, exported undecorated under this name (ToneMapping.def).
extern "C" INT_PTR CALLBACK TMProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

#endif
