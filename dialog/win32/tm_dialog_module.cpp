// The plug-in module's start: it records its handle (dialogs come from its
// resources) and hands the plug-in entry its two dialogs.
#include <windows.h>

#include "tm_dialog_ids.h"
#include "tm_dialog_win32.h"
#include "tm_dialogs.h"

extern "C" INT_PTR CALLBACK TMProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

namespace {

HINSTANCE module = nullptr;

bool runSettingsDialog(TMFilterRecord* record, TMParameters* params, TMGlobals* globals, intptr_t owner)
{
    TMDialogRun& run = TMCurrentDialogRun();
    run = TMDialogRun{};
    run.record = record;
    run.params = params;
    run.globals = globals;
    const INT_PTR ended = DialogBoxParamA(module, TM_SETTINGS_DIALOG_NAME, reinterpret_cast<HWND>(owner), TMProc, 0);
    run = TMDialogRun{};
    return ended == IDOK;
}

} // namespace

HINSTANCE TMModule() { return module; }

TMDialogRun& TMCurrentDialogRun()
{
    static TMDialogRun run;
    return run;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        module = instance;
        TMDialogProcedures dialogs;
        dialogs.settings = runSettingsDialog;
        dialogs.about = TMShowAboutBox;
        TMSetDialogProcedures(dialogs);
    }
    return TRUE;
}
