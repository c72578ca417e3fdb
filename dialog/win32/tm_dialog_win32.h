// The Win32 side of the dialogs: thin wrappers that move values between the plain
// functions of dialog/ and the controls, the common dialogs and GDI.
#pragma once

#include <windows.h>

#include <vector>

#include "tm_dialog_logic.h"
#include "tm_globals.h"
#include "tm_parameters.h"
#include "tm_preview.h"
#include "tm_protocol.h"

// The plug-in module, recorded when it is loaded: dialogs come from its resources.
HINSTANCE TMModule();

// What one settings dialog run works on, from WM_INITDIALOG to OK or Cancel.
struct TMDialogRun {
    TMFilterRecord* record = nullptr;
    TMParameters* params = nullptr;
    TMGlobals* globals = nullptr;
    TMPreviewView view{}; // what the preview keeps between redraws
    int16_t result = 0;   // the preview's host result: not 0 stops updates and painting
    int startWidth = 0;   // the dialog's size at start: the smallest it is refitted to
    int startHeight = 0;
    HFONT helpFont = nullptr; // "?" button
    HFONT noteFont = nullptr; // note text
};
TMDialogRun& TMCurrentDialogRun();

// The note procedures on the fifteen controls that have a note.
void TMInstallNoteProcedures(HWND dialog);

// The three buttons that reach outside the dialog. Load... returns the read's result
// (0: cancelled) and, on success, the controls to refresh.
int TMLoadSettingsFile(HWND dialog, std::vector<TMControlUpdate>* updates);
int TMSaveSettingsFile(HWND dialog);
void TMShowHelp(HWND dialog);
// The plug-in-wide last-used folder of the file dialogs (kTMFolderSize bytes).
char* TMLastFolder();

// WM_PAINT: the preview through the host's displayPixels (or GDI when the host has
// none), then the histogram.
void TMPaintPreview(HWND dialog);

// The About box, modal, owned by `owner` (0: placed over the desktop).
void TMShowAboutBox(intptr_t owner);
