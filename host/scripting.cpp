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

// The terminology's entry for `key`, or -1 for a key this filter does not know.
int scriptParameter(TMFourCC key)
{
    for (int i = 0; i < TMScriptParameterCount; ++i)
        if (TMScriptParameters[i].key == key)
            return i;
    return -1;
}

// The enumeration's code for a setting, 0 when none names it (the setting is above 0
// or outside the range).
TMFourCC levelCode(int32_t setting)
{
    switch (setting) {
    case 0: return TMLevelHigh;
    case -1: return TMLevelMid;
    case -2: return TMLevelLow;
    default: return 0;
    }
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
    TMFourCC keys[TMScriptParameterCount + 1] = {};
    for (int i = 0; i < TMScriptParameterCount; ++i)
        keys[i] = TMScriptParameters[i].key;
    int16_t err = TMNoErr;
    const TMDescriptorReading reading = TMOpenDescriptor(record, keys);
    if (reading.token) {
        TMSettings& s = params->settings;
        TMFourCC key = 0;
        while (err == TMNoErr && TMNextDescriptorKey(reading, &key)) {
            const int i = scriptParameter(key);
            if (i < 0) {
                err = TMReadErr; // a key this filter does not know
                break;
            }
            int32_t& field = s.*TMScriptFields[i];
            if (TMScriptParameters[i].type == TMScriptInteger) {
                int32_t value = 0;
                const TMOSErr r = TMReadDescriptorInteger(reading, &value);
                if (readOk(r))
                    field = value; // stored as received; the engine limits what it uses
                else
                    err = r;
            } else {
                TMFourCC value = 0;
                const TMOSErr r = TMReadDescriptorEnumerated(reading, &value);
                if (readOk(r))
                    field = enumLevel(value);
                else
                    err = r;
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

int16_t writeScriptParameters(TMFilterRecord* record, const TMParameters& params)
{
    if (!TMCanWriteDescriptor(record))
        return TMNoErr;
    const TMDescriptorWriting writing = TMOpenWriteDescriptor(record);
    if (!writing.token)
        return TMNoErr;
    TMOSErr err = TMNoErr;
    for (int i = 0; i < TMScriptParameterCount && err == TMNoErr; ++i) {
        const TMScriptParameter& p = TMScriptParameters[i];
        const int32_t value = params.settings.*TMScriptFields[i];
        if (p.type == TMScriptInteger)
            err = TMWriteDescriptorInteger(writing, p.key, value);
        else if (const TMFourCC code = levelCode(value))
            err = TMWriteDescriptorEnumerated(writing, p.key, p.type, code);
    }
    const TMOSErr closed = TMCloseWriteDescriptor(record, writing, err == TMNoErr);
    if (err != TMNoErr)
        return err;
    return closed < 0 ? closed : static_cast<TMOSErr>(TMNoErr);
}
