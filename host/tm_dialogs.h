// The two dialogs the plug-in shows: the settings dialog at Start and the About box.
// The plug-in entry asks for them through this table; the Windows module fills it
// in when it is loaded (dialog/), so builds without a window system (the
// command-line tool, the native tests) run every path of the entry without one:
// with no settings dialog a run that calls for it renders with the settings it has,
// and About shows nothing.
#pragma once

#include <cstdint>

#include "tm_globals.h"
#include "tm_parameters.h"
#include "tm_protocol.h"

struct TMDialogProcedures {
    // Runs the settings dialog modally on the image of `record`, owned by the window
    // `owner` (0: none), editing `params` in place; true when the user confirmed it.
    bool (*settings)(TMFilterRecord* record, TMParameters* params, TMGlobals* globals, intptr_t owner) = nullptr;
    // Shows the About box modally, owned by `owner` (0: none).
    void (*about)(intptr_t owner) = nullptr;
};

void TMSetDialogProcedures(const TMDialogProcedures& procedures);
const TMDialogProcedures& TMDialogs();
