#include "plugin_main.h"

#include "host_access.h"
#include "platform.h"
#include "scripting.h"
#include "tm_dialogs.h"
#include "tm_globals.h"
#include "tm_parameters.h"
#include "tm_render_host.h"

namespace {

constexpr const char* kDepthCaption = "Tone Mapping plug-in requires higher bit-depth";
constexpr const char* kDepthText =
    "The Tone Mapping plug-in works with images in 32 or 16 Bits/Channel mode.\n\nPlease either create a "
    "32-bit image via the function Merge to HDR under menu File->Automate, or open a RAW file, or open an "
    "existing HDR image or 16-bit image file.";

// The host's limit on what the plug-in accesses at once: the working memory lives in
// host buffers, so less is kept for tiles.
constexpr int32_t kMaxSpace = 0x8000F;

// The host's records for the duration of one call.
struct Call {
    TMFilterRecord* record;
    intptr_t* data;
    int16_t* result;
    TMParameters* params;
    TMGlobals* globals;
    bool locked; // this call locked both handles
};

TMHandle globalsHandle(const Call& c) { return reinterpret_cast<TMHandle>(*c.data); }

// Sample format from the host's depth; a host that leaves depth unset at this point
// gets the format the last prepare recorded in an existing record, else float.
int32_t sampleFormatOf(const Call& c, bool recordExisted)
{
    const int32_t depth = TMHostDepth(c.record);
    if (depth == 16)
        return TMSample16;
    if (depth >= 9)
        return TMSampleFloat32;
    return recordExisted && c.globals->sampleFormat == TMSample16 ? TMSample16 : TMSampleFloat32;
}

void lockBoth(Call& c)
{
    if (!TMParametersHandle(c.record) || !*c.data) {
        *c.result = TMFilterBadParameters;
        return;
    }
    if (c.locked)
        return;
    c.params = static_cast<TMParameters*>(TMLockHandle(c.record, TMParametersHandle(c.record)));
    c.globals = static_cast<TMGlobals*>(TMLockHandle(c.record, globalsHandle(c)));
    c.locked = true;
    if (!c.params || !c.globals)
        *c.result = TMMemFullErr;
}

// Unlocks what this call locked, and only that: hosts whose locks are counted would
// otherwise be unbalanced by selectors that never lock (continue, unknown ones).
void unlockBoth(const Call& c)
{
    if (!c.locked)
        return;
    if (*c.data)
        TMUnlockHandle(c.record, globalsHandle(c));
    if (TMHandle parameters = TMParametersHandle(c.record))
        TMUnlockHandle(c.record, parameters);
}

// Creates missing handles, locks both and resets them: defaults, fresh globals.
void ensureHandles(Call& c)
{
    if (!TMParametersHandle(c.record)) {
        TMSetParametersHandle(c.record, TMNewHandle(c.record, sizeof(TMParameters)));
        if (!TMParametersHandle(c.record))
            *c.result = TMMemFullErr;
    }
    const bool globalsExisted = *c.data != 0;
    if (!globalsExisted) {
        *c.data = reinterpret_cast<intptr_t>(TMNewHandle(c.record, sizeof(TMGlobals)));
        if (!*c.data)
            *c.result = TMMemFullErr;
    }
    if (*c.result != TMNoErr)
        return;
    lockBoth(c);
    if (*c.result != TMNoErr)
        return;
    const int32_t format = sampleFormatOf(c, globalsExisted);
    applyDefaults(c.params, format);
    TMInitGlobals(c.globals);
    c.globals->sampleFormat = format;
}

void prepare(Call& c)
{
    if (TMParametersHandle(c.record) && *c.data)
        lockBoth(c);
    else
        ensureHandles(c);
    if (*c.result != TMNoErr)
        return;
    const TMVRect rect = getFilterRect(c.record);
    const int32_t width = rect.right - rect.left, height = rect.bottom - rect.top;
    const int32_t depth = TMHostDepth(c.record);
    const int16_t mode = TMHostImageMode(c.record);
    if (height == 0 || width == 0 || depth < 8 || TMModeChannels(mode) < 3) {
        *c.result = TMFilterBadParameters;
        return;
    }
    if (depth == 8) {
        TMShowMessage(kDepthCaption, kDepthText);
        *c.result = TMFilterBadParameters;
        return;
    }
    // CMYK and Lab pass the channel test at 16 and 32 bits, but their planes are not
    // red, green and blue: the result would be plainly wrong, so they are refused.
    if (mode == TMModeCMYKColor || mode == TMModeCMYK64 || mode == TMModeLabColor || mode == TMModeLab48) {
        *c.result = TMFilterBadParameters;
        return;
    }
    c.globals->width = width;
    c.globals->height = height;
    c.globals->sampleFormat = depth == 16 ? TMSample16 : TMSampleFloat32;
    c.globals->lutMode = 0;
    TMLimitMaxSpace(c.record, kMaxSpace);
}

void start(Call& c)
{
    lockBoth(c);
    if (*c.result != TMNoErr)
        return;
    const TMSettings saved = snapshot(*c.params);
    bool showDialog = false;
    const bool playedBack = TMHasDescriptor(c.record);
    const int16_t scriptError = readScriptParameters(c.record, *c.globals, c.params, &showDialog);
    bool proceed = true;
    bool confirmed = false;
    const TMDialogProcedures& dialogs = TMDialogs();
    if (scriptError == TMNoErr && showDialog && dialogs.settings) {
        proceed = confirmed = dialogs.settings(c.record, c.params, c.globals, TMHostMainWindow(c.record));
        // A failed preview inside the dialog must not reach the render or the host.
        *c.result = TMNoErr;
    }
    c.globals->dialogPending = 0;
    if (!proceed) {
        restore(c.params, saved);
        *c.result = TMUserCanceledErr;
        return;
    }
    *c.result = TMRender(c.record, *c.params, c.globals);
    // The host records the settings of a confirmed dialog into the action being
    // recorded; a descriptor consumed in a silent playback is handed back the same
    // way, so that the host still holds it for the next repeat. A failure to record
    // leaves the finished render as it is.
    if (*c.result == TMNoErr && (confirmed || playedBack))
        writeScriptParameters(c.record, *c.params);
}

TMDialogProcedures& dialogTable()
{
    static TMDialogProcedures procedures;
    return procedures;
}

} // namespace

void TMSetDialogProcedures(const TMDialogProcedures& procedures) { dialogTable() = procedures; }

const TMDialogProcedures& TMDialogs() { return dialogTable(); }

int32_t TMModeChannels(int16_t mode)
{
    static const int8_t channels[18] = {1, 1, 3, 3, 4, 3, 3, 0, 1, 3, 1, 3, 3, 4, 0, 1, 3, 1};
    return mode >= 0 && mode <= 17 ? channels[mode] : 0;
}

extern "C" TM_EXPORT void PluginMain(int16_t selector, void* recordPtr, intptr_t* data, int16_t* result)
{
    if (!result)
        return;
    // No exception may leave the entry point.
    try {
        if (selector == TMSelectorAbout) {
            if (TMDialogs().about)
                TMDialogs().about(TMAboutOwner(static_cast<const TMAboutRecord*>(recordPtr)));
            return;
        }
        if (!recordPtr || !data) {
            *result = TMFilterBadParameters;
            return;
        }
        Call c{static_cast<TMFilterRecord*>(recordPtr), data, result, nullptr, nullptr, false};
        TMDeclare32BitCoordinates(c.record);
        switch (selector) {
        case TMSelectorParameters: ensureHandles(c); break;
        case TMSelectorPrepare: prepare(c); break;
        case TMSelectorStart: start(c); break;
        case TMSelectorContinue: TMEndRequests(c.record); break;
        case TMSelectorFinish: lockBoth(c); break;
        default: break;
        }
        unlockBoth(c);
    } catch (...) {
        *result = TMMemFullErr;
    }
}
