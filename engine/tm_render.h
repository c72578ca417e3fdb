// The one stage sequence of the final render: input conversion, gradient
// attenuation, Poisson reconstruction, output mapping, on a whole image in memory.
// The plug-in's render and every tool run it; nobody re-implements a stage.
#pragma once

#include <cstdint>

#include "tm_engine.h"
#include "tm_parameters.h"

// How a render or a preview redraw ended: the engine's own status, not the host's
// codes. With the step that failed (TMRenderReport, TMPreviewReport) it is the reason
// that host/ turns into the protocol's result code and error string.
enum TMResult : int16_t {
    TMResultOK = 0,
    TMResultBadParameters, // a refused image, size, format or geometry, or a failed stage
    TMResultMemFull,       // a working buffer or table is unavailable
    TMResultCanceled,      // the user asked to stop
};

// Where the three large working buffers come from: the host's buffer suite in the
// plug-in, the heap in tools and tests. acquire returns nullptr on failure and then
// holds nothing; otherwise it writes an id that release gets back exactly once.
struct TMBufferAllocator {
    void* context;
    float* (*acquire)(void* context, int64_t bytes, intptr_t* id);
    void (*release)(void* context, intptr_t id);
};

// Progress at 0, 5, 30 and 70 of 100; cancellation is polled at the same points and
// once after output mapping. Either callback may be null.
struct TMProgressSink {
    void* context;
    void (*report)(void* context, int32_t done, int32_t total);
    bool (*cancelled)(void* context);
};

// The image as the host delivers it, and where the result goes.
struct TMHostImage {
    int32_t sampleFormat; // TMSampleFloat32 or TMSample16 (8-bit is refused)
    int32_t width;
    int32_t height;
    int32_t planes;         // the host's plane count; at most 3 are read and written
    int32_t inPixelStride;  // samples per pixel in inData (>= min(planes, 3))
    int32_t outPixelStride; // samples per pixel in outData
    const void* inData;
    int64_t inRowBytes;
    void* outData; // may equal inData with the same layout
    int64_t outRowBytes;
    int32_t lutMode;   // exponent choice of the sample table (0: 2.2)
    float planeMin[3]; // measured plane minima of a float image (0 when unknown)
    // Non-zero: planeMin is not known (no settings dialog measured it), so the render
    // measures it on the image itself, as the dialog would have.
    int32_t measurePlaneMin;
    // Threads of the render, the calling thread included: 0 or less for every core
    // the process may use (TMDefaultThreadCount). Results are the same for any count.
    int32_t threads = 0;
};

// Everything the stages take from the settings, derived once for a render or a
// preview redraw. Settings can arrive unchecked (scripting stores what it receives):
// TMDeriveSettings limits each to its range (TMClampSettings; the clips only as
// percentages, to 10 %, in the output's limits), and nothing downstream reads
// TMParameters' settings.
struct TMDerivedSettings {
    int32_t planes;         // min(host planes, 3), at least 1
    int32_t pad;            // wrapped columns each side: width / 4 for a 360° image
    int32_t smoothing;      // Light Smoothing, -2..2: solver levels the geometry adds
    int32_t lumLevel;       // trunc(luminosity * 0.6 + 1), luminosity 0..20
    int32_t contrastStep;   // microcontrast - 2, microcontrast -2..2
    float smoothingFactor;  // from microsmoothing 0..30
    float whiteClipPercent; // (whiteClip + 1) * 0.005, before the output's limit
    float blackClipPercent; // blackClip * 0.005, before the output's limit
    double gamma;           // single-precision 2.2, widened
    // The output mapping's figures (TMLimitOutputSettings): Color Saturation and its
    // exponent, the clip percentages above, Strength and its blend weights.
    TMOutputSettings output;
    // The same for the 16-bit preview, which takes White Clipping without the + 1
    // (whiteClip * 0.005).
    TMOutputSettings preview16;
};

TMDerivedSettings TMDeriveSettings(const TMParameters& params, int32_t width, int32_t hostPlanes);

// Why a render stopped, for tools that explain failures.
enum class TMRenderStep {
    None,
    Canceled,
    TooSmall,
    Geometry,
    BufferTooLarge,
    OutOfMemory,
    InputConversion,
    Attenuation,
    Solver,
    OutputMapping,
    Unsupported,
    NothingToMap, // a float image without a pixel of positive, finite luminance
};

struct TMRenderReport {
    TMRenderStep failedStep;
    int32_t workWidth; // geometry entries 3 and 4 once computed
    int32_t workHeight;
    int64_t bufferBytes; // size of each working buffer
};

// Renders the whole image. On failure the report names the step, and the output
// holds whatever it held before the failing step wrote (nothing once a stage fails).
// The stages run on `workers` when given (image.threads is then not read), else on a
// team of image.threads made for this render.
TMResult TMRunStages(const TMParameters& params, const TMHostImage& image, const TMBufferAllocator& allocator,
                     const TMProgressSink& progress, TMRenderReport* report = nullptr, TMWorkers* workers = nullptr);

// Working buffers from the C heap, for tools and tests.
TMBufferAllocator TMHeapAllocator();
