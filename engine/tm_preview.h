// The dialog's preview: the final render's pipeline on an image reduced to the
// preview size, written as an 8-bit planar display image with a 256-bin luminance
// histogram, plus the unprocessed image at the same size and its cache.
//
// Preview sizes: the longer side is at most 512, 768 or 1024 pixels (the dialog's
// choice; smaller images are shown 1:1). The source is always the whole host image,
// sampled by nearest neighbour: preview pixel (c, r) reads source pixel
// (c * (W / pw), r * (H / ph)), the ratios in single precision, converted to integers
// as each function states and limited to W - 1 and H - 1.
//
// Display image: three planes of pw x ph bytes (red, then green at pw * ph, then blue
// at 2 * pw * ph), row stride pw, whatever the host's plane count. Histogram bin of
// a display pixel (r, g, b) = (54 r + 183 g + 19 b) >> 8 (weights summing to 256).
#pragma once

#include <cstdint>

#include "tm_engine.h"
#include "tm_parameters.h"
#include "tm_render.h"

// --- Buffer sizes -------------------------------------------------------------
// Bytes of each float working buffer A, B and C: enough for the solver pyramid of a
// 1,024 x 1,024 preview at the highest Light Smoothing.
constexpr int64_t TMPreviewWorkBytes = 5608812;
constexpr int32_t TMPreviewMaxSide = 1024;
constexpr int32_t TMPreviewHistogramBins = 256;
// Three histograms of 256 int32 counts: 0 the image shown, 1 the last unprocessed
// preview built, 2 the tone-mapped preview saved while the unprocessed one is shown.
constexpr int32_t TMPreviewHistogramBytes = 3 * TMPreviewHistogramBins * 4;

// `planes` is the host's plane count limited to 1..3. The display image always has
// three planes, so fewer host planes do not make these smaller.
// Capacity of the display image: three planes of 1,024 x 1,024 bytes.
int64_t TMPreviewImageBytes(int32_t planes);
// Capacity of the unprocessed-preview cache: one region per preview side.
int64_t TMPreviewCacheBytes(int32_t planes);
// Byte offset of the cache region of preview side 512, 768 or 1024 (1024 first, then
// 768, then 512, none overlapping); -1 for any other side.
int32_t TMPreviewCacheOffset(int32_t side, int32_t planes);

// --- The preview sequence -----------------------------------------------------
// Buffers the dialog holds for its whole run. Sizes: lum, atten, pyramid
// TMPreviewWorkBytes each; image TMPreviewImageBytes(planes); sourceCache
// TMPreviewCacheBytes(planes) (may be null: no unprocessed view); histograms
// TMPreviewHistogramBytes. Any may be null.
struct TMPreviewBuffers {
    float* lum;     // A: luminance; the saved tone-mapped image while the original shows
    float* atten;   // B
    float* pyramid; // C
    uint8_t* image; // display image shown
    uint8_t* sourceCache;
    int32_t* histograms;
};

// The whole host image as delivered. layout.planes = min(host planes, 3), at least 1.
struct TMPreviewSource {
    int32_t sampleFormat; // TMSampleFloat32 or TMSample16
    int32_t width, height;
    TMSampleLayout layout;
    const void* samples;
    int32_t lutMode; // exponent choice of the sample table (0: 2.2)
    // Threads of a recompute, the calling thread included: 0 or less for every core
    // the process may use. Results are the same for any count.
    int32_t threads = 0;
};

// Bytes of what the preview keeps between calls (TMPreviewView::kept).
constexpr int32_t TMPreviewKeptBytes = 512;

// Preview geometry set by the dialog, and what the preview keeps between calls.
struct TMPreviewView {
    int32_t previewWidth, previewHeight;
    int32_t previewCacheOffset; // TMPreviewCacheOffset(side, planes) of the chosen side
    // The engine's own record (the statistics of the last input conversion, where the
    // colour terms of the last full recompute lie), opaque here. All zero: nothing
    // kept, as a new view starts.
    alignas(8) unsigned char kept[TMPreviewKeptBytes] = {};
};

// What one call did, for tests and diagnostics.
struct TMPreviewReport {
    bool restored;   // the saved tone-mapped image was copied back
    bool recomputed; // input conversion, attenuation and Poisson reconstruction ran
    bool mapped;     // the output mapping ran
    bool saved;      // the tone-mapped image was saved into A for the original view
    bool fromCache;  // the unprocessed image came from the cache
    bool built;      // the unprocessed image was built from the source (and cached)
    TMRenderStep failedStep;
};

// One preview redraw, driven by the preview flags of params (showPreview,
// restorePreview, forcePreviewRecompute, previewLevel, originalStale512/768/1024).
// Returns TMResultOK, TMResultMemFull (a buffer missing or a table not allocated) or
// TMResultBadParameters (bad geometry or source, a failed stage); on failure the
// display image and histograms keep what they held. A recompute runs on `workers`
// when given (src.threads is then not read), else on a team of src.threads.
TMResult TMRunPreview(TMParameters* params, const TMPreviewSource& src, const TMPreviewBuffers& buffers,
                      TMPreviewView* view, TMPreviewReport* report = nullptr, TMWorkers* workers = nullptr);
