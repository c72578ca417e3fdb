#include "tm_preview_host.h"

#include <algorithm>

#include "host_access.h"
#include "platform.h"
#include "tm_render_host.h"

namespace {

struct Slot {
    TMBufferID* id;
    void** data;
    int64_t bytes;
};

// The six slots in acquisition order.
void previewSlots(TMGlobals* g, int32_t planes, Slot (&slots)[6])
{
    slots[0] = {&g->previewBufferId, reinterpret_cast<void**>(&g->previewBuffer), TMPreviewImageBytes(planes)};
    slots[1] = {&g->sourceCacheId, reinterpret_cast<void**>(&g->sourceCache), TMPreviewCacheBytes(planes)};
    slots[2] = {&g->histogramBufferId, reinterpret_cast<void**>(&g->histograms), TMPreviewHistogramBytes};
    slots[3] = {&g->lumBufferId, reinterpret_cast<void**>(&g->lumBuffer), TMPreviewWorkBytes};
    slots[4] = {&g->attenBufferId, reinterpret_cast<void**>(&g->attenBuffer), TMPreviewWorkBytes};
    slots[5] = {&g->pyramidBufferId, reinterpret_cast<void**>(&g->pyramidBuffer), TMPreviewWorkBytes};
}

} // namespace

int16_t TMSetPreviewSize(TMFilterRecord* record, TMGlobals* globals, int32_t side)
{
    const int32_t offset = TMPreviewCacheOffset(side, TMFilterPlanes(record));
    if (offset < 0)
        return TMFilterBadParameters;
    globals->previewCacheOffset = offset;
    const TMVRect rect = getFilterRect(record);
    const int32_t W = rect.right - rect.left, H = rect.bottom - rect.top;
    if (W <= 0 || H <= 0)
        return TMFilterBadParameters;
    // The shorter side is a x H / W truncated, as an exact integer quotient: a x (H / W)
    // in floating point falls just below whole numbers (300 x 126 would preview as
    // 300 x 125), and an image no larger than the side must be shown 1:1. The scale
    // is an extended-precision quotient kept in single precision.
    if (W > H) {
        const int32_t a = std::min(side, W);
        globals->previewWidth = a;
        globals->previewHeight = static_cast<int32_t>(int64_t{a} * H / W);
        globals->previewScale = static_cast<float>(static_cast<long double>(W) / a);
    } else {
        const int32_t a = std::min(side, H);
        globals->previewHeight = a;
        globals->previewWidth = static_cast<int32_t>(int64_t{a} * W / H);
        globals->previewScale = static_cast<float>(static_cast<long double>(H) / a);
    }
    TMSetPreviewSampling(record);
    return TMNoErr;
}

int16_t TMAcquirePreviewBuffers(const TMFilterRecord* record, TMGlobals* globals)
{
    Slot slots[6];
    previewSlots(globals, TMFilterPlanes(record), slots);
    for (Slot& s : slots) {
        TMHostBuffer buffer;
        if (TMAcquireHostBuffer(record, s.bytes, &buffer) != TMNoErr) {
            TMReleasePreviewBuffers(record, globals);
            return TMMemFullErr;
        }
        *s.id = buffer.id;
        *s.data = buffer.data;
    }
    return TMNoErr;
}

void TMReleasePreviewBuffers(const TMFilterRecord* record, TMGlobals* globals)
{
    Slot slots[6];
    previewSlots(globals, TMFilterPlanes(record), slots);
    for (Slot& s : slots) {
        TMHostBuffer buffer{*s.id, *s.data};
        TMReleaseHostBuffer(record, &buffer);
        *s.id = nullptr;
        *s.data = nullptr;
    }
}

int16_t TMMeasureInputMinima(TMFilterRecord* record, TMGlobals* globals)
{
    const int16_t advanced = TMRequestWholeImage(record, false);
    if (advanced != TMNoErr)
        return advanced;
    const TMHostImage image = TMDeliveredImage(record, TMSampleFloat32, globals->width, globals->height);
    if (!image.inData)
        return TMFilterBadParameters;
    const TMSampleLayout layout{image.planes, image.inPixelStride, image.inRowBytes};
    TMMeasurePlaneMinima(image.width, image.height, layout, static_cast<const float*>(image.inData), globals->planeMin);
    globals->planeMinMeasured = 1;
    return TMNoErr;
}

int16_t TMRenderPreview(TMFilterRecord* record, TMParameters* params, TMGlobals* globals, TMPreviewView* view)
{
    const int16_t advanced = TMRequestWholeImage(record, false);
    if (advanced != TMNoErr)
        return advanced;
    const TMHostImage image = TMDeliveredImage(record, globals->sampleFormat, globals->width, globals->height);
    TMPreviewSource src{};
    src.sampleFormat = image.sampleFormat;
    src.width = image.width;
    src.height = image.height;
    src.layout = TMSampleLayout{image.planes, image.inPixelStride, image.inRowBytes};
    src.samples = image.inData;
    src.lutMode = globals->lutMode;
    src.threads = TMPluginThreads();
    const TMPreviewBuffers buffers{globals->lumBuffer,     globals->attenBuffer, globals->pyramidBuffer,
                                   globals->previewBuffer, globals->sourceCache, globals->histograms};
    view->previewWidth = globals->previewWidth;
    view->previewHeight = globals->previewHeight;
    view->previewCacheOffset = globals->previewCacheOffset;
    TMPreviewReport report;
    const TMResult result = TMRunPreview(params, src, buffers, view, &report);
    return TMHostResult(record, result, TMRenderReport{report.failedStep, 0, 0, 0}, src.width, src.height);
}
