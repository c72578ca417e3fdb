#include "tm_plugin_call.h"

#include "plugin_main.h"
#include "tm_sim_run.h"

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
    // on the planes it is given, and refuses only the host's grey modes.
    doc.imageMode = image.isFloat ? TMModeRGB96 : TMModeRGB48;
    const tmsim::Outcome outcome = tmsim::RunWithSettings(PluginMain, doc, params, progress, cancel);
    return TMPluginOutcome{outcome.result, outcome.failure};
}
