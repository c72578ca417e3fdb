// The preview sequence: the tone-mapped preview (input conversion, gradient
// attenuation, Poisson reconstruction, output mapping at the preview size, or the
// output mapping alone), or the unprocessed image at the same size, with the cache
// and the histograms the dialog keeps.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "luminance.h"
#include "preview_sampling.h"
#include "tm_preview.h"

using namespace tm_detail;

namespace {

// Bytes of one display plane at the largest preview side.
constexpr int64_t kPlaneBytes = int64_t{TMPreviewMaxSide} * TMPreviewMaxSide;
// The display image and every cache region hold three planes whatever the host's
// plane count: a region sized for fewer planes would be overrun by the image.
constexpr int32_t kImagePlanes = 3;
// Cache regions in units of one plane's bytes: 1024 first (0x100000 per plane), then
// 768 (0x90000, room for 768 x 768), then 512 (0x40000, 512 x 512).
constexpr int64_t kUnit768 = 0x100000, kUnit512 = 0x190000, kUnitEnd = 0x1d0000;

constexpr int32_t kBins = TMPreviewHistogramBins;

int32_t lutEntries(int32_t sampleFormat)
{
    return sampleFormat == TMSample16 ? 65536 : sampleFormat == TMSample8 ? 256 : 1;
}

// The stale flag of a preview side's cache region.
uint8_t* staleFlag(TMParameters* params, int32_t side)
{
    return side == 1024 ? &params->originalStale1024
           : side == 768 ? &params->originalStale768
                         : &params->originalStale512;
}

// The side whose cache region starts at offset, or 0.
int32_t sideOfOffset(int32_t offset, int32_t planes)
{
    for (const int32_t side : {512, 768, 1024})
        if (TMPreviewCacheOffset(side, planes) == offset)
            return side;
    return 0;
}

// Everything one call holds beyond the dialog's buffers, released on every exit.
struct Held {
    float* lut = nullptr;
    ~Held() { std::free(lut); }
};

struct Outcome {
    TMPreviewReport* report;
    TMResult fail(TMRenderStep step, TMResult result) const
    {
        if (report)
            report->failedStep = step;
        return result;
    }
};

// 8-bit value of an unprocessed sample: 16-bit v >> 7 limited to 255, float
// trunc(v x 255) limited to 0..255.
inline uint8_t originalByte(uint16_t v) { return static_cast<uint8_t>(std::min(v >> 7, 255)); }
inline uint8_t originalByte(float v)
{
    const float s = v * 255.0f;
    if (!(s > 0.0f))
        return 0;
    return s >= 255.0f ? 255 : static_cast<uint8_t>(s);
}

// The unprocessed image at the preview size, positions truncated; red, green and
// blue by the final render's plane roles (one plane serves all three).
template <typename T>
void buildOriginal(const TMPreviewSource& src, int32_t pw, int32_t ph, uint8_t* image, int32_t* histogram)
{
    const PlaneRoles p = planeRoles(src.layout.planes);
    const float fx = sourceRatio(src.width, pw), fy = sourceRatio(src.height, ph);
    const int64_t plane = static_cast<int64_t>(pw) * ph;
    std::memset(histogram, 0, kBins * sizeof(int32_t));
    const T* samples = static_cast<const T*>(src.samples);
    for (int32_t y = 0; y < ph; ++y) {
        const T* row = rowAt(samples, src.layout.rowBytes, truncatedSource(y, fy, src.height));
        uint8_t* dst = image + static_cast<int64_t>(y) * pw;
        for (int32_t x = 0; x < pw; ++x) {
            const T* px = row + static_cast<int64_t>(truncatedSource(x, fx, src.width)) * src.layout.pixelStride;
            const uint8_t r = originalByte(px[p.red]), g = originalByte(px[p.green]), b = originalByte(px[p.blue]);
            dst[x] = r;
            dst[plane + x] = g;
            dst[2 * plane + x] = b;
            ++histogram[(54 * r + 183 * g + 19 * b) >> 8];
        }
    }
}

inline bool sameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void copyHistogram(int32_t* histograms, int from, int to)
{
    std::memcpy(histograms + to * kBins, histograms + from * kBins, kBins * sizeof(int32_t));
}

} // namespace

int64_t TMPreviewImageBytes(int32_t planes)
{
    (void)planes; // always three display planes
    return kImagePlanes * kPlaneBytes;
}

int64_t TMPreviewCacheBytes(int32_t planes)
{
    (void)planes;
    return kImagePlanes * kUnitEnd;
}

int32_t TMPreviewCacheOffset(int32_t side, int32_t planes)
{
    (void)planes;
    switch (side) {
    case 1024: return 0;
    case 768: return static_cast<int32_t>(kImagePlanes * kUnit768);
    case 512: return static_cast<int32_t>(kImagePlanes * kUnit512);
    default: return -1;
    }
}

TMResult TMRunPreview(TMParameters* params, const TMPreviewSource& src,
                      const TMPreviewBuffers& buffers, TMPreviewView* view, TMPreviewReport* report)
{
    if (report)
        *report = TMPreviewReport{false, false, false, false, false, false, TMRenderStep::None};
    const Outcome out{report};
    Held held;
    const int32_t pw = view->previewWidth, ph = view->previewHeight;
    const int32_t planes = std::clamp(src.layout.planes, 1, 3);
    const TMDerivedSettings d = TMDeriveSettings(*params, src.width, planes);

    // The fixed buffers hold previews up to 1024 a side; the geometry must fit them.
    if (pw < 1 || ph < 1 || pw > TMPreviewMaxSide || ph > TMPreviewMaxSide)
        return out.fail(TMRenderStep::Geometry, TMResultBadParameters);
    int32_t geometry[TMGeometrySize] = {};
    TMComputeBoundedGeometry(pw, ph, d.smoothing, 4, geometry);
    for (int i = 1; i <= 10; ++i)
        if (geometry[i] < 1)
            return out.fail(TMRenderStep::Geometry, TMResultBadParameters);
    if (TMWorkingBufferBytes(geometry) > TMPreviewWorkBytes)
        return out.fail(TMRenderStep::BufferTooLarge, TMResultBadParameters);

    if (!buffers.lum || !buffers.image || !buffers.histograms || !buffers.atten || !buffers.pyramid)
        return out.fail(TMRenderStep::OutOfMemory, TMResultMemFull);

    const int64_t sampleBytes = src.sampleFormat == TMSampleFloat32 ? 4 : 2;
    if ((src.sampleFormat != TMSampleFloat32 && src.sampleFormat != TMSample16) || !src.samples ||
        src.width < 1 || src.height < 1 || src.layout.planes != planes ||
        src.layout.pixelStride < planes ||
        src.layout.rowBytes < int64_t{src.width} * src.layout.pixelStride * sampleBytes)
        return out.fail(TMRenderStep::Unsupported, TMResultBadParameters);

    const int64_t imageBytes = int64_t{kImagePlanes} * pw * ph;
    int32_t* hist = buffers.histograms;

    if (params->showPreview == 1) {
        if (params->restorePreview) {
            std::memcpy(buffers.image, buffers.lum, static_cast<size_t>(imageBytes));
            copyHistogram(hist, 2, 0);
            params->restorePreview = 0;
            params->forcePreviewRecompute = 1;
            if (report)
                report->restored = true;
            return TMResultOK;
        }

        held.lut = static_cast<float*>(std::calloc(static_cast<size_t>(lutEntries(src.sampleFormat)), sizeof(float)));
        if (!held.lut)
            return out.fail(TMRenderStep::OutOfMemory, TMResultMemFull);
        if (src.sampleFormat != TMSampleFloat32)
            TMBuildSampleLUT(src.lutMode, lutEntries(src.sampleFormat), held.lut);
        TMPreviewStats stats = {0.0f, 0.0f};

        if (params->forcePreviewRecompute) {
            params->previewLevel = 2;
            params->forcePreviewRecompute = 0;
        }

        float* A = buffers.lum;
        const int32_t workWidth = geometry[TMGeoWidth], workHeight = geometry[TMGeoHeight];
        if (params->previewLevel > 0) {
            // The final render's refusal, for the same image.
            if (src.sampleFormat == TMSampleFloat32 &&
                !TMHasMappablePixel(src.width, src.height, src.layout, static_cast<const float*>(src.samples)))
                return out.fail(TMRenderStep::NothingToMap, TMResultBadParameters);
            // B and C are about to be overwritten: the colour terms they held are gone.
            view->terms = TMPreviewTermsKey{};
            std::memset(A, 0, static_cast<size_t>(workWidth) * static_cast<size_t>(workHeight) * sizeof(float));
            const int32_t converted =
                src.sampleFormat == TMSampleFloat32
                    ? TMConvertPreviewInput32Strided(src.width, src.height, pw, ph, workWidth, workHeight,
                                                     src.layout, &stats, static_cast<const float*>(src.samples), A)
                    : TMConvertPreviewInput16Strided(src.width, src.height, pw, ph, workWidth, workHeight,
                                                     src.layout, held.lut,
                                                     static_cast<const uint16_t*>(src.samples), A);
            if (converted < 0)
                return out.fail(TMRenderStep::InputConversion, TMResultBadParameters);
            // A now holds this conversion's luminance: later output-only refreshes map
            // it with these statistics.
            view->stats = stats;
            view->statsValid = true;

            std::memset(buffers.atten, 0, static_cast<size_t>(TMPreviewWorkBytes));
            std::memset(buffers.pyramid, 0, static_cast<size_t>(TMPreviewWorkBytes));
            const int32_t attenuated = TMAttenuateGradients(src.sampleFormat, pw, ph, d.lumLevel, d.contrastStep,
                                                            d.smoothingFactor, geometry, A, buffers.atten,
                                                            buffers.pyramid);
            if (attenuated < 0)
                return out.fail(TMRenderStep::Attenuation,
                                attenuated == TMErrAlloc ? TMResultMemFull : TMResultBadParameters);
            const int32_t solved =
                TMSolvePoisson(pw, ph, geometry[TMGeoWidth], geometry[TMGeoHeight],
                               geometry[TMGeoSolverCoarseWidth], geometry[TMGeoSolverCoarseHeight],
                               geometry[TMGeoSolverTotal], geometry[TMGeoLevelCount], buffers.atten,
                               buffers.pyramid, A);
            if (solved < 0)
                return out.fail(TMRenderStep::Solver,
                                solved == TMErrAlloc ? TMResultMemFull : TMResultBadParameters);
            if (report)
                report->recomputed = true;
            // B and C stay free until the next full recompute: keep the colour terms
            // there for the output-only refreshes that follow.
            // B and C whole, then A after the luminance (from a 64-byte boundary).
            const int64_t lumFloats = (static_cast<int64_t>(workWidth) * workHeight + 15) / 16 * 16;
            const int64_t bufferFloats = TMPreviewWorkBytes / static_cast<int64_t>(sizeof(float));
            const bool roomInA = lumFloats < bufferFloats;
            float* const regions[3] = {buffers.atten, buffers.pyramid, roomInA ? A + lumFloats : nullptr};
            const int64_t regionFloats[3] = {bufferFloats, bufferFloats, roomInA ? bufferFloats - lumFloats : 0};
            TMPreviewTermPlanes planes;
            const bool isFloat = src.sampleFormat == TMSampleFloat32;
            // 16-bit: with the raw samples where they fit (five planes), else without.
            // Float: the first rows where not every row fits (square previews).
            const bool placed =
                isFloat ? TMPlacePreviewTermRows(pw, ph, 4, regions, regionFloats, 3, &planes)
                        : TMPlacePreviewTerms(pw, ph, 5, regions, regionFloats, 3, &planes) ||
                              TMPlacePreviewTerms(pw, ph, 3, regions, regionFloats, 3, &planes);
            const bool built =
                placed &&
                (isFloat ? TMBuildPreviewColourTerms32(src.width, src.height, pw, ph, src.layout, &stats,
                                                       static_cast<const float*>(src.samples), planes)
                         : TMBuildPreviewColourTerms16(src.width, src.height, pw, ph, src.layout, held.lut,
                                                       static_cast<const uint16_t*>(src.samples), planes));
            if (built) {
                TMPreviewTermsKey& key = view->terms;
                key.valid = true;
                key.sampleFormat = src.sampleFormat;
                key.lutMode = src.lutMode;
                key.samples = src.samples;
                key.width = src.width;
                key.height = src.height;
                key.previewWidth = pw;
                key.previewHeight = ph;
                key.layout = src.layout;
                key.stats = stats;
                key.buffers[0] = buffers.atten;
                key.buffers[1] = buffers.pyramid;
                key.buffers[2] = A;
                key.planes = planes;
            }
        } else if (view->statsValid) {
            stats = view->stats;
        }
        const TMPreviewTermsKey& key = view->terms;
        const bool termsHeld = key.valid && key.sampleFormat == src.sampleFormat &&
                               (src.sampleFormat == TMSampleFloat32 || key.lutMode == src.lutMode) &&
                               key.samples == src.samples &&
                               key.width == src.width && key.height == src.height && key.previewWidth == pw &&
                               key.previewHeight == ph && key.layout.planes == src.layout.planes &&
                               key.layout.pixelStride == src.layout.pixelStride &&
                               key.layout.rowBytes == src.layout.rowBytes &&
                               sameBits(key.stats.rangeFactor, stats.rangeFactor) &&
                               sameBits(key.stats.geometricMean, stats.geometricMean) &&
                               key.buffers[0] == buffers.atten && key.buffers[1] == buffers.pyramid &&
                               key.buffers[2] == A;

        const TMOutputSettings& f = d.output;    // float preview
        const TMOutputSettings& i = d.preview16; // 16-bit preview
        const int32_t mapped =
            src.sampleFormat == TMSampleFloat32
                ? (termsHeld ? TMMapPreviewOutput32WithTerms(src.width, src.height, pw, ph, src.layout,
                                                             f.colorSaturation, f.white, f.black, f.strength, d.gamma,
                                                             &stats, static_cast<const float*>(src.samples),
                                                             key.planes, A, hist, buffers.image)
                             : TMMapPreviewOutput32Strided(src.width, src.height, pw, ph, src.layout,
                                                           f.colorSaturation, f.white, f.black, f.strength, d.gamma,
                                                           &stats, static_cast<const float*>(src.samples), A, hist,
                                                           buffers.image))
                : (termsHeld ? TMMapPreviewOutput16WithTerms(src.width, src.height, pw, ph, src.layout,
                                                             i.colorSaturation, i.white, i.black, i.strength,
                                                             held.lut, static_cast<const uint16_t*>(src.samples),
                                                             key.planes, A, hist, buffers.image)
                             : TMMapPreviewOutput16Strided(src.width, src.height, pw, ph, src.layout,
                                                           i.colorSaturation, i.white, i.black, i.strength, held.lut,
                                                           static_cast<const uint16_t*>(src.samples), A, hist,
                                                           buffers.image));
        if (mapped < 0)
            return out.fail(TMRenderStep::OutputMapping, TMResultBadParameters);
        if (report)
            report->mapped = true;
        return TMResultOK;
    }

    if (!buffers.sourceCache)
        return TMResultOK;
    // The region of the current side; it must hold this preview's image.
    const int32_t side = sideOfOffset(view->previewCacheOffset, planes);
    if (side == 0 || pw > side || ph > side)
        return out.fail(TMRenderStep::Geometry, TMResultBadParameters);

    // Keep the tone-mapped image for a quick return; A no longer holds the luminance,
    // nor perhaps the colour terms kept after it.
    std::memcpy(buffers.lum, buffers.image, static_cast<size_t>(imageBytes));
    view->terms = TMPreviewTermsKey{};
    copyHistogram(hist, 0, 2);
    params->previewLevel = 2;
    if (report)
        report->saved = true;

    uint8_t* slot = buffers.sourceCache + view->previewCacheOffset;
    uint8_t* stale = staleFlag(params, side);
    if (!*stale) {
        std::memcpy(buffers.image, slot, static_cast<size_t>(imageBytes));
        copyHistogram(hist, 1, 0);
        if (report)
            report->fromCache = true;
        return TMResultOK;
    }

    if (src.sampleFormat == TMSampleFloat32)
        buildOriginal<float>(src, pw, ph, buffers.image, hist);
    else
        buildOriginal<uint16_t>(src, pw, ph, buffers.image, hist);
    *stale = 0;
    std::memcpy(slot, buffers.image, static_cast<size_t>(imageBytes));
    copyHistogram(hist, 0, 1);
    if (report)
        report->built = true;
    return TMResultOK;
}
