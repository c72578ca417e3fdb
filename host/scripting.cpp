#include "scripting.h"

#include "host_access.h"

namespace {

// 'int0' -> 0, 'int1' -> -1, 'int2' -> -2, anything else 0: scripting can lower the
// enumerated settings but never raise them above 0.
int32_t enumLevel(TMFourCC value)
{
    if (value == TMLevelMid)
        return -1;
    if (value == TMLevelLow)
        return -2;
    return 0;
}

// A read that converted the stored value (+2) still delivered a valid value.
bool readOk(TMOSErr err) { return err == TMNoErr || err == TMCoercedParamErr; }

int32_t* integerField(TMParameters* p, TMFourCC key)
{
    if (key == TMKeyLuminosity) return &p->settings.luminosity;
    if (key == TMKeyStrength) return &p->settings.strength;
    if (key == TMKeySaturation) return &p->settings.colorSaturation;
    if (key == TMKeyWhiteClip) return &p->settings.whiteClip;
    if (key == TMKeyBlackClip) return &p->settings.blackClip;
    return nullptr;
}

} // namespace

int16_t readScriptParameters(TMFilterRecord* record, const TMGlobals& globals, TMParameters* params,
                             bool* showDialog)
{
    if (!showDialog)
        return TMErrMissingParameter;
    *showDialog = globals.dialogPending != 0;
    TMDescriptorParameters* dp = record->descriptorParameters;
    if (!dp || !dp->readDescriptorProcs || !dp->descriptor)
        return TMNoErr;
    const TMReadDescriptorProcs* procs = dp->readDescriptorProcs;
    if (!procs->openReadDescriptorProc || !procs->closeReadDescriptorProc || !procs->getKeyProc ||
        !procs->getIntegerProc || !procs->getEnumeratedProc)
        return TMNoErr;

    // The host writes into the key list: a fresh writable array for every open.
    TMFourCC keys[8] = {TMKeyLuminosity, TMKeyStrength, TMKeySaturation, TMKeyWhiteClip,
                        TMKeyBlackClip, TMKeySmoothing, TMKeyMicrocontrast, 0};
    int16_t err = TMNoErr;
    TMReadDescriptor token = procs->openReadDescriptorProc(dp->descriptor, keys);
    if (token) {
        TMFourCC key = 0, type = 0;
        int32_t flags = 0;
        while (err == TMNoErr && procs->getKeyProc(token, &key, &type, &flags)) {
            if (int32_t* field = integerField(params, key)) {
                int32_t value = 0;
                const TMOSErr r = procs->getIntegerProc(token, &value);
                if (readOk(r))
                    *field = value; // stored as received; the engine limits what it uses
                else
                    err = r;
            } else if (key == TMKeySmoothing || key == TMKeyMicrocontrast) {
                TMFourCC value = 0;
                const TMOSErr r = procs->getEnumeratedProc(token, &value);
                if (readOk(r))
                    (key == TMKeySmoothing ? params->settings.smoothing : params->settings.microcontrast) = enumLevel(value);
                else
                    err = r;
            } else {
                err = TMReadErr; // a key this filter does not know
            }
        }
        // The host's close reports what it saw; an error of our own reading (an
        // unknown key) is kept, so that it still skips the dialog.
        const TMOSErr closed = procs->closeReadDescriptorProc(token);
        if (err == TMNoErr)
            err = closed == TMCoercedParamErr ? static_cast<int16_t>(TMNoErr) : closed;
        TMDisposeHandle(record, dp->descriptor);
        dp->descriptor = nullptr;
    }
    *showDialog = dp->playInfo == TMDialogDisplay;
    return err;
}
