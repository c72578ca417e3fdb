#include "tm_preview_host.h"

#include <algorithm>

#include "host_access.h"
#include "tm_render_host.h"

namespace {

// Planes the filter reads: the host's count limited to 1..3 (other counts: 3).
int32_t filterPlanes(const TMFilterRecord* record)
{
    return record->planes >= 1 && record->planes <= 3 ? record->planes : 3;
}

int32_t sampleBytesOf(int32_t format) { return format == TMSampleFloat32 ? 4 : format == TMSample16 ? 2 : 1; }

// The whole filter rectangle as input, planes 0..n-1, no subsampling, in one call.
int16_t requestWholeInput(TMFilterRecord* record, int32_t planes)
{
    setInRect(record, getFilterRect(record));
    record->inputRate = 0x10000;
    record->inLoPlane = record->outLoPlane = 0;
    record->inHiPlane = record->outHiPlane = static_cast<int16_t>(planes - 1);
    return TMAdvanceState(record);
}

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
    const int32_t offset = TMPreviewCacheOffset(side, filterPlanes(record));
    if (offset < 0)
        return TMFilterBadParameters;
    globals->previewCacheOffset = offset;
    const TMVRect rect = getFilterRect(record);
    const int32_t W = rect.right - rect.left, H = rect.bottom - rect.top;
    if (W <= 0 || H <= 0)
        return TMFilterBadParameters;
    // Extended-precision quotients; the scale is kept in single precision.
    if (W > H) {
        const int32_t a = std::min(side, W);
        globals->previewWidth = a;
        globals->previewHeight = static_cast<int32_t>(a * (static_cast<long double>(H) / W));
        globals->previewScale = static_cast<float>(static_cast<long double>(W) / a);
    } else {
        const int32_t a = std::min(side, H);
        globals->previewHeight = a;
        globals->previewWidth = static_cast<int32_t>(a * (static_cast<long double>(W) / H));
        globals->previewScale = static_cast<float>(static_cast<long double>(H) / a);
    }
    record->inputRate = record->maskRate = 0x10000;
    record->inputPadding = record->maskPadding = 255;
    return TMNoErr;
}

int16_t TMAcquirePreviewBuffers(const TMFilterRecord* record, TMGlobals* globals)
{
    Slot slots[6];
    previewSlots(globals, filterPlanes(record), slots);
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
    previewSlots(globals, filterPlanes(record), slots);
    for (Slot& s : slots) {
        TMHostBuffer buffer{*s.id, *s.data};
        TMReleaseHostBuffer(record, &buffer);
        *s.id = nullptr;
        *s.data = nullptr;
    }
}

int16_t TMMeasureInputMinima(TMFilterRecord* record, TMGlobals* globals)
{
    const int32_t n = filterPlanes(record);
    const int16_t advanced = requestWholeInput(record, n);
    if (advanced != TMNoErr)
        return advanced;
    if (!record->inData)
        return TMFilterBadParameters;
    // Rows step by the host's row bytes (packed when it reports less).
    const TMSampleLayout layout{n, n, TMEffectiveRowBytes(record->inRowBytes, globals->width, n, 4)};
    TMMeasurePlaneMinima(globals->width, globals->height, layout, static_cast<const float*>(record->inData),
                         globals->planeMin);
    globals->planeMinMeasured = 1;
    return TMNoErr;
}

int16_t TMRenderPreview(TMFilterRecord* record, TMParameters* params, TMGlobals* globals, TMPreviewView* view)
{
    const int32_t n = filterPlanes(record);
    const int16_t advanced = requestWholeInput(record, n);
    if (advanced != TMNoErr)
        return advanced;
    const int32_t S = sampleBytesOf(globals->sampleFormat);
    TMPreviewSource src{};
    src.sampleFormat = globals->sampleFormat;
    src.width = globals->width;
    src.height = globals->height;
    src.layout = TMSampleLayout{n, n, TMEffectiveRowBytes(record->inRowBytes, globals->width, n, S)};
    src.samples = record->inData;
    src.lutMode = globals->lutMode;
    const TMPreviewBuffers buffers{globals->lumBuffer, globals->attenBuffer, globals->pyramidBuffer,
                                   globals->previewBuffer, globals->sourceCache, globals->histograms};
    view->previewWidth = globals->previewWidth;
    view->previewHeight = globals->previewHeight;
    view->previewCacheOffset = globals->previewCacheOffset;
    TMPreviewReport report;
    const TMResult result = TMRunPreview(params, src, buffers, view, &report);
    return TMHostResult(record, result, TMRenderReport{report.failedStep, 0, 0, 0}, src.width, src.height);
}
