// The plug-in's one exported entry point, called by the host once per selector.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#define TM_EXPORT __declspec(dllexport)
#else
#define TM_EXPORT __attribute__((visibility("default")))
#endif

extern "C" TM_EXPORT void PluginMain(int16_t selector, void* record, intptr_t* data, int16_t* result);

struct TMFilterRecord;
struct TMParameters;
struct TMGlobals;

// The dialogs of a build. The plug-in DLL installs its settings dialog and About box
// when it loads; a build without them (the tool, the native tests) renders when a run
// asks for the dialog, as if it had been confirmed, and shows no About box.
struct TMDialogs {
    // Runs the settings dialog modally over the window `owner` (0: none) on the
    // locked records; true when the user confirmed. May leave a preview failure in
    // `result`, which the entry point clears.
    bool (*settings)(TMFilterRecord* record, TMParameters* params, TMGlobals* globals, int16_t* result,
                     intptr_t owner);
    void (*about)(intptr_t owner);
};
// Installs `dialogs` (all null: none) for the calls that follow.
void TMInstallDialogs(const TMDialogs& dialogs);

// Channel count of an image mode (0 for modes outside the table).
int32_t TMModeChannels(int16_t mode);
