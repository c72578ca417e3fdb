#include "tm_plugin_call.h"

#include <algorithm>
#include <cstring>

#include "plugin_main.h"
#include "tm_globals.h"
#include "tm_preview_host.h"
#include "tm_sim_run.h"

namespace {

tmsim::Document documentOf(const TMToolImage& image)
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
    // on the planes it is given, and refuses only the host's grey modes.
    doc.imageMode = image.isFloat ? TMModeRGB96 : TMModeRGB48;
    return doc;
}

} // namespace

TMPluginOutcome TMRenderWithPlugin(const TMParameters& params, const TMToolImage& image,
                                   const std::function<void(int32_t, int32_t)>& progress,
                                   const std::atomic<bool>* cancel)
{
    const tmsim::Outcome outcome = tmsim::RunWithSettings(PluginMain, documentOf(image), params, progress, cancel);
    return TMPluginOutcome{outcome.result, outcome.failure};
}

TMPreviewOutcome TMPreviewWithPlugin(const TMParameters& params, const TMToolImage& image, int32_t side,
                                     bool original)
{
    tmsim::Options options;
    options.delivery = tmsim::Delivery::Direct;
    options.descriptorSuite = false;
    tmsim::Host host(PluginMain, documentOf(image), options);
    TMPreviewOutcome outcome;
    outcome.result = host.call(TMSelectorParameters);
    if (outcome.result != TMNoErr)
        return outcome;
    // The dialog edits the settings record in place; its preview bookkeeping keeps
    // the state the parameters call gave it.
    auto* stored = static_cast<TMParameters*>(host.parametersData());
    restore(stored, snapshot(params));
    outcome.result = host.call(TMSelectorPrepare);
    if (outcome.result != TMNoErr)
        return outcome;

    auto* globals = static_cast<TMGlobals*>(host.globalsData());
    TMFilterRecord* record = &host.record();
    host.inside([&] {
        // What the dialog does when it opens, then the first preview, then (for the
        // unprocessed view) the "Show Original" button.
        int16_t r = TMSetPreviewSize(record, globals, side);
        if (r == TMNoErr)
            r = TMAcquirePreviewBuffers(record, globals);
        if (r == TMNoErr && globals->sampleFormat == TMSampleFloat32)
            r = TMMeasureInputMinima(record, globals);
        TMPreviewView view{};
        stored->previewLevel = 2;
        stored->showPreview = 1;
        if (r == TMNoErr)
            r = TMRenderPreview(record, stored, globals, &view);
        if (r == TMNoErr && original) {
            stored->showPreview = 0;
            r = TMRenderPreview(record, stored, globals, &view);
        }
        if (r == TMNoErr) {
            outcome.width = globals->previewWidth;
            outcome.height = globals->previewHeight;
            const size_t bytes = size_t{3} * static_cast<size_t>(outcome.width) * static_cast<size_t>(outcome.height);
            outcome.planar.assign(globals->previewBuffer, globals->previewBuffer + bytes);
            std::copy(globals->histograms, globals->histograms + 256, outcome.histogram.begin());
        }
        TMReleasePreviewBuffers(record, globals);
        outcome.result = r;
    });
    if (outcome.result != TMNoErr) {
        const unsigned char* text = host.errorString();
        outcome.failure.assign(reinterpret_cast<const char*>(text + 1), text[0]);
        if (outcome.failure.empty())
            outcome.failure = outcome.result == TMMemFullErr ? "out of memory for the preview buffers"
                                                              : "the filter's code " + std::to_string(outcome.result);
    }
    return outcome;
}
