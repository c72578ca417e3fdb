#include "tm_plugin_call.h"

#include <cstring>
#include <vector>

#include "plugin_main.h"
#include "scripting.h"
#include "tm_sim_host.h"

namespace {

// The enumeration 'inTy' holds the three smoothing steps a recorded action can carry.
constexpr TMFourCC kEnumType = TMFourCCOf("inTy");

bool enumerated(int32_t value, TMFourCC* code)
{
    switch (value) {
    case 0: *code = TMFourCCOf("int0"); return true;
    case -1: *code = TMFourCCOf("int1"); return true;
    case -2: *code = TMFourCCOf("int2"); return true;
    default: return false; // +1 and +2 have no recorded form
    }
}

std::vector<tmsim::DescriptorItem> recordedSettings(const TMParameters& p)
{
    const TMFourCC integer = TMFourCCOf("long");
    std::vector<tmsim::DescriptorItem> items = {
        {TMKeyLuminosity, integer, p.luminosity, 0, TMNoErr},
        {TMKeyStrength, integer, p.strength, 0, TMNoErr},
        {TMKeySaturation, integer, p.colorSaturation, 0, TMNoErr},
        {TMKeyWhiteClip, integer, p.whiteClip, 0, TMNoErr},
        {TMKeyBlackClip, integer, p.blackClip, 0, TMNoErr},
    };
    TMFourCC code = 0;
    if (enumerated(p.smoothing, &code))
        items.push_back({TMKeySmoothing, kEnumType, 0, code, TMNoErr});
    if (enumerated(p.microcontrast, &code))
        items.push_back({TMKeyMicrocontrast, kEnumType, 0, code, TMNoErr});
    return items;
}

} // namespace

TMPluginOutcome TMRenderWithPlugin(const TMParameters& params, const TMToolImage& image,
                                   const std::function<void(int32_t, int32_t)>& progress,
                                   const std::atomic<bool>* cancel)
{
    const int32_t sampleBytes = image.isFloat ? 4 : 2;
    tmsim::Document doc;
    doc.source = image.data;
    doc.destination = image.data; // in place: no second image-sized copy
    doc.width = image.width;
    doc.height = image.height;
    doc.planes = image.planes;
    doc.pixelStride = image.channels;
    doc.rowBytes = int64_t{image.width} * image.channels * sampleBytes;
    doc.depth = image.isFloat ? 32 : 16;
    // A grey image is handed over as a one-plane colour document: the filter works
    // on the planes it is given, and refuses only the host's grey modes, whose
    // images it cannot tell from single planes of colour ones.
    doc.imageMode = image.isFloat ? TMModeRGB96 : TMModeRGB48;

    tmsim::Options options;
    options.delivery = tmsim::Delivery::Direct;
    options.recordDescriptor = true;
    options.descriptor = recordedSettings(params);
    options.playInfo = TMDialogDontDisplay;
    options.abortFlag = cancel;
    options.onProgress = progress;

    tmsim::Host host(PluginMain, doc, options);
    TMPluginOutcome outcome;
    outcome.result = host.call(TMSelectorParameters);
    if (outcome.result == TMNoErr) {
        // The settings without a scripting key (and steps the key cannot express)
        // go straight into the settings record the parameters call created.
        auto* stored = static_cast<TMParameters*>(host.parametersData());
        TMFourCC code = 0;
        stored->microsmoothing = params.microsmoothing;
        stored->image360 = params.image360;
        if (!enumerated(params.smoothing, &code))
            stored->smoothing = params.smoothing;
        if (!enumerated(params.microcontrast, &code))
            stored->microcontrast = params.microcontrast;
        outcome.result = host.run(false).result;
    }
    if (outcome.result != TMNoErr) {
        const unsigned char* text = host.errorString();
        outcome.failure.assign(reinterpret_cast<const char*>(text + 1), text[0]);
    }
    return outcome;
}
