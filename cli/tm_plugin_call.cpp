#include "tm_plugin_call.h"

#include <algorithm>
#include <cstring>

#include "plugin_main.h"
#include "tm_globals.h"
#include "tm_preview_host.h"
#include "tm_sim_run.h"

namespace {

void* samplesOf(TMImage& image)
{
    switch (image.type) {
    case TMSampleType::Float32: return image.f32.data();
    case TMSampleType::UInt16: return image.u16.data();
    case TMSampleType::UInt8: break;
    }
    return image.u8.data();
}

tmsim::Document documentOf(TMImage& image)
{
    const int32_t depth = image.type == TMSampleType::Float32 ? 32 : image.type == TMSampleType::UInt16 ? 16 : 8;
    tmsim::Document doc;
    void* samples = samplesOf(image);
    doc.source = samples;
    doc.destination = samples; // in place: no second image-sized copy
    doc.width = image.width;
    doc.height = image.height;
    doc.planes = TMFilterPlaneCount(image.channels);
    doc.pixelStride = image.channels;
    doc.rowBytes = int64_t{image.width} * image.channels * tmsim::SampleBytes(depth);
    doc.depth = depth;
    // A grey image is handed over as a one-plane colour document: the filter works
    // on the planes it is given, and refuses only the host's grey modes.
    doc.imageMode = depth == 32 ? TMModeRGB96 : depth == 16 ? TMModeRGB48 : TMModeRGBColor;
    return doc;
}

} // namespace

TMPluginOutcome TMRenderWithPlugin(const TMParameters& params, TMImage& image,
                                   const std::function<void(int32_t, int32_t)>& progress,
                                   const std::atomic<bool>* cancel)
{
    const tmsim::Outcome outcome = tmsim::RunWithSettings(PluginMain, documentOf(image), params, progress, cancel);
    return TMPluginOutcome{outcome.result, outcome.failure};
}

TMPluginOutcome TMPreviewWithPlugin(const TMParameters& params, TMImage& image, int32_t side, bool original,
                                    TMImage* shown, std::array<int32_t, 256>* histogram)
{
    tmsim::Host host(PluginMain, documentOf(image), tmsim::ReplayOptions(params));
    TMPluginOutcome outcome;
    outcome.result = host.call(TMSelectorParameters);
    if (outcome.result == TMNoErr)
        outcome.result = host.call(TMSelectorPrepare);
    if (outcome.result != TMNoErr) {
        outcome.failure = tmsim::FailureText(host);
        return outcome;
    }

    // The plug-in's records, as the dialog reaches them while it runs.
    auto* stored = static_cast<TMParameters*>(host.parametersData());
    auto* globals = static_cast<TMGlobals*>(host.globalsData());
    TMFilterRecord* record = &host.record();
    host.inside([&] {
        // What the dialog does when it opens, then the first preview, then (for the
        // unprocessed view) its "Show Original" button.
        int16_t r = TMSetPreviewSize(record, globals, side);
        if (r == TMNoErr)
            r = TMAcquirePreviewBuffers(record, globals);
        if (r == TMNoErr && globals->sampleFormat == TMSampleFloat32)
            r = TMMeasureInputMinima(record, globals);
        TMPreviewView view{};
        if (r == TMNoErr)
            r = TMRenderPreview(record, stored, globals, &view);
        if (r == TMNoErr && original) {
            stored->showPreview = 0;
            r = TMRenderPreview(record, stored, globals, &view);
        }
        if (r == TMNoErr) {
            const int32_t w = globals->previewWidth, h = globals->previewHeight;
            const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
            shown->allocate(TMSampleType::UInt8, w, h, 3);
            // The display image is planar (red, green, blue planes); the tool's interleaved.
            for (size_t i = 0; i < n; ++i)
                for (size_t c = 0; c < 3; ++c)
                    shown->u8[i * 3 + c] = globals->previewBuffer[c * n + i];
            std::copy(globals->histograms, globals->histograms + 256, histogram->begin());
        }
        TMReleasePreviewBuffers(record, globals);
        outcome.result = r;
    });
    if (outcome.result != TMNoErr)
        outcome.failure = tmsim::FailureText(host);
    return outcome;
}
