#include "tm_sim_run.h"

#include <vector>

#include "scripting.h"

namespace tmsim {

namespace {

constexpr TMFourCC kEnumType = TMFourCCOf(TM_ENUM_LEVEL);

// The enumeration holds the three smoothing steps a recorded action can carry.
bool enumerated(int32_t value, TMFourCC* code)
{
    switch (value) {
    case 0: *code = TMLevelHigh; return true;
    case -1: *code = TMLevelMid; return true;
    case -2: *code = TMLevelLow; return true;
    default: return false; // +1 and +2 have no recorded form
    }
}

std::vector<DescriptorItem> recordedSettings(const TMParameters& p)
{
    const TMFourCC integer = TMFourCCOf("long");
    std::vector<DescriptorItem> items = {
        {TMKeyLuminosity, integer, p.settings.luminosity, 0, TMNoErr},
        {TMKeyStrength, integer, p.settings.strength, 0, TMNoErr},
        {TMKeySaturation, integer, p.settings.colorSaturation, 0, TMNoErr},
        {TMKeyWhiteClip, integer, p.settings.whiteClip, 0, TMNoErr},
        {TMKeyBlackClip, integer, p.settings.blackClip, 0, TMNoErr},
    };
    TMFourCC code = 0;
    if (enumerated(p.settings.smoothing, &code))
        items.push_back({TMKeySmoothing, kEnumType, 0, code, TMNoErr});
    if (enumerated(p.settings.microcontrast, &code))
        items.push_back({TMKeyMicrocontrast, kEnumType, 0, code, TMNoErr});
    return items;
}

} // namespace

Outcome RunWithSettings(EntryPoint entry, const Document& doc, const TMParameters& params,
                        const std::function<void(int32_t, int32_t)>& progress, const std::atomic<bool>* cancel)
{
    Options options;
    options.delivery = Delivery::Direct;
    options.recordDescriptor = true;
    options.descriptor = recordedSettings(params);
    options.playInfo = TMDialogDontDisplay;
    options.abortFlag = cancel;
    options.onProgress = progress;

    Host host(entry, doc, options);
    Outcome outcome;
    outcome.result = host.call(TMSelectorParameters);
    if (outcome.result == TMNoErr) {
        // What no key can carry goes straight into the settings record that the
        // parameters call created (hosts restore stored settings the same way).
        auto* stored = static_cast<TMParameters*>(host.parametersData());
        TMFourCC code = 0;
        stored->settings.microsmoothing = params.settings.microsmoothing;
        stored->settings.image360 = params.settings.image360;
        if (!enumerated(params.settings.smoothing, &code))
            stored->settings.smoothing = params.settings.smoothing;
        if (!enumerated(params.settings.microcontrast, &code))
            stored->settings.microcontrast = params.settings.microcontrast;
        outcome.result = host.run(false).result;
    }
    if (outcome.result != TMNoErr) {
        const unsigned char* text = host.errorString();
        outcome.failure.assign(reinterpret_cast<const char*>(text + 1), text[0]);
    }
    return outcome;
}

} // namespace tmsim
