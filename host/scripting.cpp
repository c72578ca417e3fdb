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

int32_t* integerField(TMSettings* s, TMFourCC key)
{
    if (key == TMKeyLuminosity)
        return &s->luminosity;
    if (key == TMKeyStrength)
        return &s->strength;
    if (key == TMKeySaturation)
        return &s->colorSaturation;
    if (key == TMKeyWhiteClip)
        return &s->whiteClip;
    if (key == TMKeyBlackClip)
        return &s->blackClip;
    return nullptr;
}

} // namespace

int16_t readScriptParameters(TMFilterRecord* record, const TMGlobals& globals, TMParameters* params, bool* showDialog)
{
    if (!showDialog)
        return TMErrMissingParameter;
    *showDialog = globals.dialogPending != 0;
    if (!TMHasDescriptor(record))
        return TMNoErr;

    // The host writes into the key list: a fresh writable array for every open.
    TMFourCC keys[8] = {TMKeyLuminosity, TMKeyStrength,  TMKeySaturation,    TMKeyWhiteClip,
                        TMKeyBlackClip,  TMKeySmoothing, TMKeyMicrocontrast, 0};
    int16_t err = TMNoErr;
    const TMDescriptorReading reading = TMOpenDescriptor(record, keys);
    if (reading.token) {
        TMSettings& s = params->settings;
        TMFourCC key = 0;
        while (err == TMNoErr && TMNextDescriptorKey(reading, &key)) {
            if (int32_t* field = integerField(&s, key)) {
                int32_t value = 0;
                const TMOSErr r = TMReadDescriptorInteger(reading, &value);
                if (readOk(r))
                    *field = value; // stored as received; the engine limits what it uses
                else
                    err = r;
            } else if (key == TMKeySmoothing || key == TMKeyMicrocontrast) {
                TMFourCC value = 0;
                const TMOSErr r = TMReadDescriptorEnumerated(reading, &value);
                if (readOk(r))
                    (key == TMKeySmoothing ? s.smoothing : s.microcontrast) = enumLevel(value);
                else
                    err = r;
            } else {
                err = TMReadErr; // a key this filter does not know
            }
        }
        // The host's close reports what it saw; an error of our own reading (an
        // unknown key) is kept, so that it still skips the dialog.
        const TMOSErr closed = TMCloseDescriptor(record, reading);
        if (err == TMNoErr)
            err = closed == TMCoercedParamErr ? static_cast<int16_t>(TMNoErr) : closed;
    }
    *showDialog = TMDescriptorShowsDialog(record);
    return err;
}
