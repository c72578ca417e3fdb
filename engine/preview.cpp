// The preview sequence: the tone-mapped preview (input conversion, gradient
// attenuation, Poisson reconstruction, output mapping at the preview size, or the
// output mapping alone), or the unprocessed image at the same size, with the cache
// and the histograms the dialog keeps.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "luminance.h"
#include "preview_mapping.h"
#include "preview_sampling.h"
#include "preview_stages.h"
#include "tm_preview.h"
#include "tm_workers.h"

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
    return side == 1024  ? &params->originalStale1024
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

TMPreviewKept TMPreviewKeptOf(const TMPreviewView& view)
{
    static_assert(std::is_trivially_copyable_v<TMPreviewKept>, "kept as bytes");
    TMPreviewKept kept;
    std::memcpy(&kept, view.kept, sizeof kept);
    return kept;
}

void TMKeepPreview(const TMPreviewKept& kept, TMPreviewView* view) { std::memcpy(view->kept, &kept, sizeof kept); }

namespace {

// One call: its inputs, what it reports, and what the view keeps (loaded at the start,
// stored back on every exit).
struct Call {
    TMParameters* params;
    const TMPreviewSource& src;
    const TMPreviewBuffers& buffers;
    TMPreviewView* view;
    TMPreviewReport* report;
    TMWorkers* workers; // the caller's team, or null: recompute makes its own
    int32_t pw, ph, planes;
    TMDerivedSettings d; // every setting limited, and what the stages take
    int32_t geometry[TMGeometrySize] = {};
    TMPreviewKept kept;

    Call(TMParameters* p, const TMPreviewSource& s, const TMPreviewBuffers& b, TMPreviewView* v, TMPreviewReport* r,
         TMWorkers* w)
        : params(p), src(s), buffers(b), view(v), report(r), workers(w), pw(v->previewWidth), ph(v->previewHeight),
          planes(std::clamp(s.layout.planes, 1, 3)), d(TMDeriveSettings(*p, s.width, planes)), kept(TMPreviewKeptOf(*v))
    {
        if (report)
            *report = TMPreviewReport{false, false, false, false, false, false, TMRenderStep::None};
    }
    ~Call() { TMKeepPreview(kept, view); }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    TMResult fail(TMRenderStep step, TMResult code) const
    {
        if (report)
            report->failedStep = step;
        return code;
    }
    // Bytes of the display image: three planes of pw x ph.
    size_t imageBytes() const { return static_cast<size_t>(int64_t{kImagePlanes} * pw * ph); }
    bool isFloat() const { return src.sampleFormat == TMSampleFloat32; }
};

// The geometry, the buffers and the source, before anything is written.
TMResult checkCall(Call& call)
{
    const int32_t pw = call.pw, ph = call.ph;
    // The fixed buffers hold previews up to 1024 a side; the geometry must fit them.
    if (pw < 1 || ph < 1 || pw > TMPreviewMaxSide || ph > TMPreviewMaxSide)
        return call.fail(TMRenderStep::Geometry, TMResultBadParameters);
    TMComputeBoundedGeometry(pw, ph, call.d.smoothing, 4, call.geometry);
    for (int i = 1; i <= 10; ++i)
        if (call.geometry[i] < 1)
            return call.fail(TMRenderStep::Geometry, TMResultBadParameters);
    if (TMWorkingBufferBytes(call.geometry) > TMPreviewWorkBytes)
        return call.fail(TMRenderStep::BufferTooLarge, TMResultBadParameters);

    const TMPreviewBuffers& b = call.buffers;
    if (!b.lum || !b.image || !b.histograms || !b.atten || !b.pyramid)
        return call.fail(TMRenderStep::OutOfMemory, TMResultMemFull);

    const TMPreviewSource& src = call.src;
    const int64_t sampleBytes = src.sampleFormat == TMSampleFloat32 ? 4 : 2;
    if ((src.sampleFormat != TMSampleFloat32 && src.sampleFormat != TMSample16) || !src.samples || src.width < 1 ||
        src.height < 1 || src.layout.planes != call.planes || src.layout.pixelStride < call.planes ||
        src.layout.rowBytes < int64_t{src.width} * src.layout.pixelStride * sampleBytes)
        return call.fail(TMRenderStep::Unsupported, TMResultBadParameters);
    return TMResultOK;
}

// The tone-mapped image saved while the original showed, back on screen.
TMResult restoreToneMapped(Call& call)
{
    std::memcpy(call.buffers.image, call.buffers.lum, call.imageBytes());
    copyHistogram(call.buffers.histograms, 2, 0);
    call.params->restorePreview = 0;
    call.params->forcePreviewRecompute = 1;
    if (call.report)
        call.report->restored = true;
    return TMResultOK;
}

// Keeps the colour terms of this recompute in the regions free until the next one
// (B and C whole, then A after the luminance, from a 64-byte boundary), where they fit.
void keepColourTerms(Call& call, const float* lut, const TMPreviewStats& stats, TMWorkers* team)
{
    const TMPreviewSource& src = call.src;
    const int32_t pw = call.pw, ph = call.ph;
    float* A = call.buffers.lum;
    const int64_t lumFloats =
        (static_cast<int64_t>(call.geometry[TMGeoWidth]) * call.geometry[TMGeoHeight] + 15) / 16 * 16;
    const int64_t bufferFloats = TMPreviewWorkBytes / static_cast<int64_t>(sizeof(float));
    const bool roomInA = lumFloats < bufferFloats;
    float* const regions[3] = {call.buffers.atten, call.buffers.pyramid, roomInA ? A + lumFloats : nullptr};
    const int64_t regionFloats[3] = {bufferFloats, bufferFloats, roomInA ? bufferFloats - lumFloats : 0};
    TMPreviewTermPlanes planes;
    // 16-bit: with the raw samples where they fit (five planes), else without.
    // Float: the first rows where not every row fits (square previews).
    const bool placed = call.isFloat() ? TMPlacePreviewTermRows(pw, ph, 4, regions, regionFloats, 3, &planes)
                                       : TMPlacePreviewTerms(pw, ph, 5, regions, regionFloats, 3, &planes) ||
                                             TMPlacePreviewTerms(pw, ph, 3, regions, regionFloats, 3, &planes);
    const bool built =
        placed &&
        (call.isFloat() ? TMBuildPreviewColourTerms32(src.width, src.height, pw, ph, src.layout, &stats,
                                                      static_cast<const float*>(src.samples), planes, team)
                        : TMBuildPreviewColourTerms16(src.width, src.height, pw, ph, src.layout, lut,
                                                      static_cast<const uint16_t*>(src.samples), planes, team));
    if (!built)
        return;
    TMPreviewTermsKey& key = call.kept.terms;
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
    key.buffers[0] = call.buffers.atten;
    key.buffers[1] = call.buffers.pyramid;
    key.buffers[2] = A;
    key.planes = planes;
}

// Input conversion, attenuation and Poisson reconstruction into A; stats from the
// conversion. Then the colour terms are kept for the refreshes that follow.
TMResult recompute(Call& call, const TMDerivedSettings& d, const float* lut, TMPreviewStats* stats, TMWorkers* team)
{
    const TMPreviewSource& src = call.src;
    const int32_t pw = call.pw, ph = call.ph;
    const int32_t* geometry = call.geometry;
    const int32_t workWidth = geometry[TMGeoWidth], workHeight = geometry[TMGeoHeight];
    float* A = call.buffers.lum;
    // The final render's refusal, for the same image.
    if (call.isFloat() &&
        !TMHasMappablePixel(src.width, src.height, src.layout, static_cast<const float*>(src.samples)))
        return call.fail(TMRenderStep::NothingToMap, TMResultBadParameters);
    // B and C are about to be overwritten: the colour terms they held are gone.
    call.kept.terms = TMPreviewTermsKey{};
    TMClearBytes(team, A, static_cast<int64_t>(workWidth) * workHeight * static_cast<int64_t>(sizeof(float)));
    // B is free until the attenuation: the float conversion keeps its logarithms there
    // for their ordered sum, from B's first 8-byte boundary (the host's buffers need
    // only a float's alignment).
    const size_t skip = (8 - reinterpret_cast<uintptr_t>(call.buffers.atten) % 8) % 8;
    double* const logs = reinterpret_cast<double*>(reinterpret_cast<uint8_t*>(call.buffers.atten) + skip);
    const int64_t logCount = (TMPreviewWorkBytes - static_cast<int64_t>(skip)) / static_cast<int64_t>(sizeof(double));
    const int32_t converted =
        call.isFloat()
            ? TMConvertPreviewInput32Strided(src.width, src.height, pw, ph, workWidth, workHeight, src.layout, stats,
                                             static_cast<const float*>(src.samples), A, team, logs, logCount)
            : TMConvertPreviewInput16Strided(src.width, src.height, pw, ph, workWidth, workHeight, src.layout, lut,
                                             static_cast<const uint16_t*>(src.samples), A, team);
    if (converted < 0)
        return call.fail(TMRenderStep::InputConversion, TMResultBadParameters);
    // A now holds this conversion's luminance: later output-only refreshes map it with
    // these statistics.
    call.kept.stats = *stats;
    call.kept.statsValid = true;

    TMClearBytes(team, call.buffers.atten, TMPreviewWorkBytes);
    TMClearBytes(team, call.buffers.pyramid, TMPreviewWorkBytes);
    const int32_t attenuated =
        TMAttenuateGradients(src.sampleFormat, pw, ph, d.lumLevel, d.contrastStep, d.smoothingFactor, geometry, A,
                             call.buffers.atten, call.buffers.pyramid, team);
    if (attenuated < 0)
        return call.fail(TMRenderStep::Attenuation, attenuated == TMErrAlloc ? TMResultMemFull : TMResultBadParameters);
    const int32_t solved = TMSolvePoisson(pw, ph, workWidth, workHeight, geometry[TMGeoSolverCoarseWidth],
                                          geometry[TMGeoSolverCoarseHeight], geometry[TMGeoSolverTotal],
                                          geometry[TMGeoLevelCount], call.buffers.atten, call.buffers.pyramid, A, team);
    if (solved < 0)
        return call.fail(TMRenderStep::Solver, solved == TMErrAlloc ? TMResultMemFull : TMResultBadParameters);
    if (call.report)
        call.report->recomputed = true;
    keepColourTerms(call, lut, *stats, team);
    return TMResultOK;
}

// Whether the kept colour terms were built from this source, format, sample table,
// size and statistics, in these buffers.
bool termsHeld(const Call& call, const TMPreviewStats& stats)
{
    const TMPreviewTermsKey& key = call.kept.terms;
    const TMPreviewSource& src = call.src;
    return key.valid && key.sampleFormat == src.sampleFormat &&
           (src.sampleFormat == TMSampleFloat32 || key.lutMode == src.lutMode) && key.samples == src.samples &&
           key.width == src.width && key.height == src.height && key.previewWidth == call.pw &&
           key.previewHeight == call.ph && key.layout.planes == src.layout.planes &&
           key.layout.pixelStride == src.layout.pixelStride && key.layout.rowBytes == src.layout.rowBytes &&
           sameBits(key.stats.rangeFactor, stats.rangeFactor) &&
           sameBits(key.stats.geometricMean, stats.geometricMean) && key.buffers[0] == call.buffers.atten &&
           key.buffers[1] == call.buffers.pyramid && key.buffers[2] == call.buffers.lum;
}

// The output mapping of the luminance in A into the display image and histogram 0,
// from the kept colour terms where they are this preview's.
TMResult mapOutput(Call& call, const TMDerivedSettings& d, const float* lut, const TMPreviewStats& stats,
                   TMWorkers* team)
{
    const TMPreviewSource& src = call.src;
    const int32_t W = src.width, H = src.height, pw = call.pw, ph = call.ph;
    float* A = call.buffers.lum;
    int32_t* hist = call.buffers.histograms;
    uint8_t* image = call.buffers.image;
    const bool held = termsHeld(call, stats);
    const TMPreviewTermPlanes& planes = call.kept.terms.planes;
    int32_t mapped;
    if (call.isFloat()) {
        const TMOutputSettings& f = d.output;
        const float* samples = static_cast<const float*>(src.samples);
        const double gamma = kTMPreviewDisplayGamma;
        mapped = held ? TMMapPreviewOutput32WithTerms(W, H, pw, ph, src.layout, f.colorSaturation, f.white, f.black,
                                                      f.strength, gamma, &stats, samples, planes, A, hist, image, team)
                      : TMMapPreviewOutput32Strided(W, H, pw, ph, src.layout, f.colorSaturation, f.white, f.black,
                                                    f.strength, gamma, &stats, samples, A, hist, image, team);
    } else {
        const TMOutputSettings& i = d.preview16; // White Clipping without the + 1
        const uint16_t* samples = static_cast<const uint16_t*>(src.samples);
        mapped = held ? TMMapPreviewOutput16WithTerms(W, H, pw, ph, src.layout, i.colorSaturation, i.white, i.black,
                                                      i.strength, lut, samples, planes, A, hist, image, team)
                      : TMMapPreviewOutput16Strided(W, H, pw, ph, src.layout, i.colorSaturation, i.white, i.black,
                                                    i.strength, lut, samples, A, hist, image, team);
    }
    if (mapped < 0)
        return call.fail(TMRenderStep::OutputMapping, TMResultBadParameters);
    if (call.report)
        call.report->mapped = true;
    return TMResultOK;
}

// Threads of an output-only refresh: its team is started for the call, which costs
// tens of microseconds a thread, so no more than the mapping's rows can use.
int32_t refreshThreads(const Call& call)
{
    const int32_t wanted = call.src.threads > 0 ? call.src.threads : TMDefaultThreadCount();
    return TMPartsFor(wanted, call.ph, (tm_preview::kMinMapPartCells + call.pw - 1) / call.pw);
}

// The tone-mapped preview: a full recompute where the preview level asks for one,
// else the output mapping alone of the luminance kept in A.
TMResult showToneMapped(Call& call)
{
    TMParameters* params = call.params;
    // The sample table of this call (16-bit samples).
    struct Table {
        float* values;
        ~Table() { std::free(values); }
    } lut{static_cast<float*>(std::calloc(static_cast<size_t>(lutEntries(call.src.sampleFormat)), sizeof(float)))};
    if (!lut.values)
        return call.fail(TMRenderStep::OutOfMemory, TMResultMemFull);
    if (!call.isFloat())
        TMBuildSampleLUT(call.src.lutMode, lutEntries(call.src.sampleFormat), lut.values);

    if (params->forcePreviewRecompute) {
        params->previewLevel = 2;
        params->forcePreviewRecompute = 0;
    }
    const TMDerivedSettings& d = call.d;
    const bool full = params->previewLevel > 0;
    // The caller's team, else one for this call.
    TMWorkers ownTeam(call.workers != nullptr ? 1 : full ? call.src.threads : refreshThreads(call));
    TMWorkers* team = call.workers != nullptr ? call.workers : &ownTeam;
    TMPreviewStats stats = {0.0f, 0.0f};
    if (full) {
        const TMResult done = recompute(call, d, lut.values, &stats, team);
        if (done != TMResultOK)
            return done;
    } else if (call.kept.statsValid) {
        stats = call.kept.stats;
    }
    return mapOutput(call, d, lut.values, stats, team);
}

// The unprocessed image at the preview size, from the cache of its side or built
// (and cached); the tone-mapped image is saved first, for a quick return.
TMResult showOriginal(Call& call)
{
    const TMPreviewBuffers& b = call.buffers;
    if (!b.sourceCache)
        return TMResultOK;
    // The region of the current side; it must hold this preview's image.
    const int32_t side = sideOfOffset(call.view->previewCacheOffset, call.planes);
    if (side == 0 || call.pw > side || call.ph > side)
        return call.fail(TMRenderStep::Geometry, TMResultBadParameters);

    // A no longer holds the luminance, nor perhaps the colour terms kept after it.
    std::memcpy(b.lum, b.image, call.imageBytes());
    call.kept.terms = TMPreviewTermsKey{};
    copyHistogram(b.histograms, 0, 2);
    call.params->previewLevel = 2;
    if (call.report)
        call.report->saved = true;

    uint8_t* slot = b.sourceCache + call.view->previewCacheOffset;
    uint8_t* stale = staleFlag(call.params, side);
    if (!*stale) {
        std::memcpy(b.image, slot, call.imageBytes());
        copyHistogram(b.histograms, 1, 0);
        if (call.report)
            call.report->fromCache = true;
        return TMResultOK;
    }
    if (call.isFloat())
        buildOriginal<float>(call.src, call.pw, call.ph, b.image, b.histograms);
    else
        buildOriginal<uint16_t>(call.src, call.pw, call.ph, b.image, b.histograms);
    *stale = 0;
    std::memcpy(slot, b.image, call.imageBytes());
    copyHistogram(b.histograms, 0, 1);
    if (call.report)
        call.report->built = true;
    return TMResultOK;
}

} // namespace

TMResult TMRunPreview(TMParameters* params, const TMPreviewSource& src, const TMPreviewBuffers& buffers,
                      TMPreviewView* view, TMPreviewReport* report, TMWorkers* workers)
{
    Call call(params, src, buffers, view, report, workers);
    const TMResult checked = checkCall(call);
    if (checked != TMResultOK)
        return checked;
    if (params->showPreview != 1)
        return showOriginal(call);
    if (params->restorePreview)
        return restoreToneMapped(call);
    return showToneMapped(call);
}
