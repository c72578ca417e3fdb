// The stage sequence of the final render and the values it derives from the settings.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "tm_render.h"
#include "tm_workers.h"

namespace {

// The smallest image side the render accepts, in pixels.
constexpr int32_t kMinSide = 100;

int32_t lutEntries(int32_t sampleFormat)
{
    return sampleFormat == TMSample16 ? 65536 : sampleFormat == TMSample8 ? 256 : 1;
}

// Everything the render holds, released in one place on every exit.
struct Held {
    const TMBufferAllocator& allocator;
    float* buffer[3] = {nullptr, nullptr, nullptr}; // A, B, C
    intptr_t id[3] = {0, 0, 0};
    float* lut = nullptr;

    explicit Held(const TMBufferAllocator& a) : allocator(a) {}
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    ~Held()
    {
        release(1);
        release(2);
        release(0);
        freeLut();
    }
    bool acquire(int which, int64_t bytes)
    {
        buffer[which] = allocator.acquire(allocator.context, bytes, &id[which]);
        if (!buffer[which])
            id[which] = 0;
        return buffer[which] != nullptr;
    }
    void release(int which)
    {
        if (buffer[which])
            allocator.release(allocator.context, id[which]);
        buffer[which] = nullptr;
        id[which] = 0;
    }
    void freeLut()
    {
        std::free(lut);
        lut = nullptr;
    }
};

struct Stepper {
    const TMProgressSink& sink;
    TMRenderReport* report;

    void progress(int32_t done) const
    {
        if (sink.report)
            sink.report(sink.context, done, 100);
    }
    bool cancelled() const { return sink.cancelled && sink.cancelled(sink.context); }
    TMResult fail(TMRenderStep step, TMResult result) const
    {
        if (report)
            report->failedStep = step;
        return result;
    }
};

} // namespace

TMDerivedSettings TMDeriveSettings(const TMParameters& params, int32_t width, int32_t hostPlanes)
{
    // Every setting limited to its range, but the clips: the output mapping limits
    // their percentages to 10 %, so clip settings up to 2000 steps (twice the dialog's
    // range) keep their effect.
    TMSettings s = params.settings;
    TMClampSettings(&s);
    const int64_t whiteClip = params.settings.whiteClip, blackClip = params.settings.blackClip;
    TMDerivedSettings d;
    d.planes = std::clamp(hostPlanes, 1, 3);
    d.pad = s.image360 ? width / 4 : 0;
    d.smoothing = s.smoothing;
    d.lumLevel = static_cast<int32_t>(s.luminosity * 0.6 + 1.0);
    d.contrastStep = s.microcontrast - 2;
    // 0.7333 is the constant of the second segment, not 11/15.
    d.smoothingFactor = s.microsmoothing <= 11 ? static_cast<float>(s.microsmoothing / 15.0)
                                               : static_cast<float>((s.microsmoothing - 11) / 10.0 + 0.7333);
    // Widened before the + 1.
    d.whiteClipPercent = static_cast<float>((whiteClip + 1) * 0.005);
    d.blackClipPercent = static_cast<float>(blackClip * 0.005);
    d.gamma = static_cast<double>(2.2f);
    d.output = TMLimitOutputSettings(s.colorSaturation, d.whiteClipPercent, d.blackClipPercent, s.strength);
    const float white16 = static_cast<float>(whiteClip * 0.005);
    d.preview16 = TMLimitOutputSettings(s.colorSaturation, white16, d.blackClipPercent, s.strength);
    return d;
}

TMResult TMRunStages(const TMParameters& params, const TMHostImage& image, const TMBufferAllocator& allocator,
                     const TMProgressSink& progress, TMRenderReport* report, TMWorkers* workers)
{
    if (report)
        *report = TMRenderReport{TMRenderStep::None, 0, 0, 0};
    const Stepper step{progress, report};
    Held held(allocator);

    step.progress(0);
    if (step.cancelled())
        return step.fail(TMRenderStep::Canceled, TMResultCanceled);

    const int32_t width = image.width, height = image.height;
    if (width < kMinSide || height < kMinSide)
        return step.fail(TMRenderStep::TooSmall, TMResultBadParameters);
    // The integer path reads 16-bit words; 8-bit data never reaches the engine.
    if (image.sampleFormat != TMSampleFloat32 && image.sampleFormat != TMSample16)
        return step.fail(TMRenderStep::Unsupported, TMResultBadParameters);

    const TMDerivedSettings d = TMDeriveSettings(params, width, image.planes);
    const int64_t sampleBytes = image.sampleFormat == TMSampleFloat32 ? 4 : 2;
    if (!image.inData || !image.outData || image.inPixelStride < d.planes || image.outPixelStride < d.planes ||
        image.inRowBytes < int64_t{width} * image.inPixelStride * sampleBytes ||
        image.outRowBytes < int64_t{width} * image.outPixelStride * sampleBytes)
        return step.fail(TMRenderStep::Unsupported, TMResultBadParameters);
    const int64_t workWidth64 = static_cast<int64_t>(width) + 2 * d.pad;
    if (workWidth64 > INT32_MAX)
        return step.fail(TMRenderStep::BufferTooLarge, TMResultMemFull);
    const int32_t workWidth = static_cast<int32_t>(workWidth64);

    int32_t geometry[TMGeometrySize] = {};
    TMComputeBoundedGeometry(workWidth, height, d.smoothing, 4, geometry);
    for (int i = 1; i <= 10; ++i)
        if (geometry[i] < 1)
            return step.fail(TMRenderStep::Geometry, TMResultBadParameters);
    if (report) {
        report->workWidth = geometry[TMGeoWidth];
        report->workHeight = geometry[TMGeoHeight];
    }
    // A pyramid beyond int32 pixels was saturated: it cannot be indexed, let alone held.
    if (geometry[TMGeoSolverTotal] == INT32_MAX || geometry[TMGeoAttenTotal] == INT32_MAX)
        return step.fail(TMRenderStep::BufferTooLarge, TMResultMemFull);
    const int64_t bytes = TMWorkingBufferBytes(geometry);
    if (report)
        report->bufferBytes = bytes;
    if (static_cast<uint64_t>(bytes) > SIZE_MAX)
        return step.fail(TMRenderStep::BufferTooLarge, TMResultMemFull);

    if (!held.acquire(0, bytes))
        return step.fail(TMRenderStep::OutOfMemory, TMResultMemFull);
    // Created once the image is accepted; the workers end with the render.
    TMWorkers ownTeam(workers != nullptr ? 1 : image.threads);
    TMWorkers* team = workers != nullptr ? workers : &ownTeam;
    held.lut = static_cast<float*>(std::calloc(static_cast<size_t>(lutEntries(image.sampleFormat)), sizeof(float)));
    if (!held.lut)
        return step.fail(TMRenderStep::OutOfMemory, TMResultMemFull);
    if (image.sampleFormat != TMSampleFloat32)
        TMBuildSampleLUT(image.lutMode, lutEntries(image.sampleFormat), held.lut);

    const TMSampleLayout inLayout{d.planes, image.inPixelStride, image.inRowBytes};
    // A float image that the output mapping would make black whatever the settings
    // (all zero, negative or NaN; lifting negative samples makes them valid input, not
    // mappable output) is refused at the first read of its pixels.
    if (image.sampleFormat == TMSampleFloat32 &&
        !TMHasMappablePixel(width, height, inLayout, static_cast<const float*>(image.inData)))
        return step.fail(TMRenderStep::NothingToMap, TMResultBadParameters);
    float planeMin[3] = {image.planeMin[0], image.planeMin[1], image.planeMin[2]};
    if (image.sampleFormat == TMSampleFloat32 && image.measurePlaneMin)
        TMMeasurePlaneMinima(width, height, inLayout, static_cast<const float*>(image.inData), planeMin, team);
    TMImageStats stats = {};
    for (int c = 0; c < 3; ++c)
        stats.planeMin[c] = planeMin[c] < 0.0f ? planeMin[c] : 0.0f;

    const TMSampleLayout outLayout{d.planes, image.outPixelStride, image.outRowBytes};
    float* A = held.buffer[0];
    const int32_t converted = image.sampleFormat == TMSampleFloat32
                                  ? TMConvertInput32Strided(width, height, workWidth, height, inLayout, d.pad, &stats,
                                                            static_cast<const float*>(image.inData), A, team)
                                  : TMConvertInput16Strided(width, height, workWidth, height, inLayout, d.pad, held.lut,
                                                            static_cast<const uint16_t*>(image.inData), A, team);
    if (converted < 0)
        return step.fail(TMRenderStep::InputConversion, TMResultBadParameters);

    step.progress(5);
    if (step.cancelled())
        return step.fail(TMRenderStep::Canceled, TMResultCanceled);

    if (!held.acquire(1, bytes))
        return step.fail(TMRenderStep::OutOfMemory, TMResultMemFull);
    TMClearBytes(team, held.buffer[1], bytes);
    if (!held.acquire(2, bytes))
        return step.fail(TMRenderStep::OutOfMemory, TMResultMemFull);
    TMClearBytes(team, held.buffer[2], bytes);
    float* B = held.buffer[1];
    float* C = held.buffer[2];

    if (TMAttenuateGradients(image.sampleFormat, workWidth, height, d.lumLevel, d.contrastStep, d.smoothingFactor,
                             geometry, A, B, C, team) < 0)
        return step.fail(TMRenderStep::Attenuation, TMResultBadParameters);

    step.progress(30);
    if (step.cancelled())
        return step.fail(TMRenderStep::Canceled, TMResultCanceled);

    if (TMSolvePoisson(workWidth, height, geometry[TMGeoWidth], geometry[TMGeoHeight], geometry[TMGeoSolverCoarseWidth],
                       geometry[TMGeoSolverCoarseHeight], geometry[TMGeoSolverTotal], geometry[TMGeoLevelCount], B, C,
                       A, team) < 0)
        return step.fail(TMRenderStep::Solver, TMResultBadParameters);
    held.release(1);
    held.release(2);

    step.progress(70);
    if (step.cancelled())
        return step.fail(TMRenderStep::Canceled, TMResultCanceled);

    const int32_t mapped =
        image.sampleFormat == TMSampleFloat32
            ? TMMapOutput32Strided(width, height, inLayout, outLayout, d.pad, d.output, d.gamma, &stats,
                                   static_cast<const float*>(image.inData), A, static_cast<float*>(image.outData), team)
            : TMMapOutput16Strided(width, height, inLayout, outLayout, d.pad, d.output, held.lut,
                                   static_cast<const uint16_t*>(image.inData), A, static_cast<uint16_t*>(image.outData),
                                   team);
    if (mapped < 0)
        return step.fail(TMRenderStep::OutputMapping, TMResultBadParameters);
    held.release(0);
    held.freeLut();

    if (step.cancelled())
        return step.fail(TMRenderStep::Canceled, TMResultCanceled);
    return TMResultOK;
}

namespace {

float* heapAcquire(void*, int64_t bytes, intptr_t* id)
{
    if (bytes <= 0 || static_cast<uint64_t>(bytes) > SIZE_MAX)
        return nullptr;
    void* p = std::malloc(static_cast<size_t>(bytes));
    *id = reinterpret_cast<intptr_t>(p);
    return static_cast<float*>(p);
}

void heapRelease(void*, intptr_t id) { std::free(reinterpret_cast<void*>(id)); }

} // namespace

TMBufferAllocator TMHeapAllocator() { return TMBufferAllocator{nullptr, heapAcquire, heapRelease}; }
