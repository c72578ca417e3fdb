#include "tm_render_host.h"

#include <algorithm>

#include "host_access.h"
#include "platform.h"
#include "tm_render.h"

void TMInitGlobals(TMGlobals* g)
{
    *g = TMGlobals{};
    g->dialogPending = 1;
    g->previewScale = 1.0f;
    g->previewWidth = 512;
    g->previewHeight = 342;
}

namespace {

// The engine's allocator over the host buffers, keeping each buffer's id and pointer
// in the record's slots (A, B, C in the order the engine acquires them).
struct GlobalsBuffers {
    const TMFilterRecord* record;
    TMGlobals* globals;
    int acquired = 0;

    TMBufferID* idSlot(int k)
    {
        return k == 0 ? &globals->lumBufferId : k == 1 ? &globals->attenBufferId : &globals->pyramidBufferId;
    }
    float** dataSlot(int k)
    {
        return k == 0 ? &globals->lumBuffer : k == 1 ? &globals->attenBuffer : &globals->pyramidBuffer;
    }

    static float* acquire(void* ctx, int64_t bytes, intptr_t* id)
    {
        auto* self = static_cast<GlobalsBuffers*>(ctx);
        if (self->acquired >= 3)
            return nullptr;
        TMHostBuffer buffer;
        if (TMAcquireHostBuffer(self->record, bytes, &buffer) != TMNoErr)
            return nullptr;
        const int k = self->acquired++;
        *self->idSlot(k) = buffer.id;
        *self->dataSlot(k) = static_cast<float*>(buffer.data);
        *id = reinterpret_cast<intptr_t>(buffer.id);
        return static_cast<float*>(buffer.data);
    }
    static void release(void* ctx, intptr_t id)
    {
        auto* self = static_cast<GlobalsBuffers*>(ctx);
        for (int k = 0; k < 3; ++k)
            if (*self->idSlot(k) == reinterpret_cast<TMBufferID>(id)) {
                TMHostBuffer buffer{*self->idSlot(k), *self->dataSlot(k)};
                TMReleaseHostBuffer(self->record, &buffer);
                *self->idSlot(k) = nullptr;
                *self->dataSlot(k) = nullptr;
                return;
            }
    }
};

void reportProgress(void* ctx, int32_t done, int32_t total)
{
    TMReportProgress(static_cast<const TMFilterRecord*>(ctx), done, total);
}

bool abortRequested(void* ctx) { return TMAbortRequested(static_cast<const TMFilterRecord*>(ctx)); }

} // namespace

int16_t TMRender(TMFilterRecord* record, const TMParameters& params, TMGlobals* globals)
{
    const int16_t advanced = TMRequestWholeImage(record, true);
    if (advanced != TMNoErr)
        return advanced;

    TMHostImage image = TMDeliveredImage(record, globals->sampleFormat, globals->width, globals->height);
    image.lutMode = globals->lutMode;
    std::copy(globals->planeMin, globals->planeMin + 3, image.planeMin);
    image.measurePlaneMin = globals->planeMinMeasured ? 0 : 1;
    image.threads = TMPluginThreads();

    GlobalsBuffers buffers{record, globals};
    const TMBufferAllocator allocator{&buffers, GlobalsBuffers::acquire, GlobalsBuffers::release};
    const TMProgressSink progress{record, reportProgress, abortRequested};
    TMRenderReport report;
    const TMResult result = TMRunStages(params, image, allocator, progress, &report);
    if (report.workWidth > 0) {
        globals->workWidth = report.workWidth;
        globals->workHeight = report.workHeight;
    }
    return TMHostResult(record, result, report, image.width, image.height);
}

int16_t TMHostResult(TMFilterRecord* record, TMResult result, const TMRenderReport& report, int32_t width,
                     int32_t height)
{
    if (result == TMResultOK)
        return TMNoErr;
    TMSetErrorString(record, TMDescribeRenderFailure(report, width, height));
    switch (result) {
    case TMResultMemFull: return TMMemFullErr;
    case TMResultCanceled: return TMUserCanceledErr;
    case TMResultOK:
    case TMResultBadParameters: break;
    }
    return TMFilterBadParameters;
}

std::string TMDescribeRenderFailure(const TMRenderReport& report, int32_t width, int32_t height)
{
    const std::string size = std::to_string(width) + " x " + std::to_string(height);
    switch (report.failedStep) {
    case TMRenderStep::TooSmall: return "image too small: " + size + " pixels; the minimum is 100 x 100 pixels";
    case TMRenderStep::OutputMapping: return "the image is flat: it has no luminance range to tone-map";
    case TMRenderStep::BufferTooLarge:
        return "image too large: " + size + " pixels need more working memory than can be addressed";
    case TMRenderStep::OutOfMemory:
        if (report.bufferBytes <= 0)
            return "out of memory for the working buffers";
        return "out of memory: the render of " + size + " pixels needs three working buffers of " +
               std::to_string(report.bufferBytes / (1024 * 1024)) + " MiB each";
    case TMRenderStep::Canceled: return "cancelled";
    case TMRenderStep::Geometry: return "the image's working geometry cannot be computed";
    case TMRenderStep::InputConversion:
        return "the input conversion failed: the image or its preview is less than 10 pixels on a side";
    case TMRenderStep::NothingToMap:
        return "the image has nothing to tone-map: no pixel has a positive, finite luminance";
    case TMRenderStep::Attenuation: return "the gradient attenuation failed (the image has no finite gradients)";
    case TMRenderStep::Solver: return "the Poisson reconstruction failed";
    case TMRenderStep::Unsupported: return "the image's sample format is not supported";
    case TMRenderStep::None: break;
    }
    return "the render failed";
}
