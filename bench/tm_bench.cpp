// Timings of the engine stages and of the whole render on the procedural scene, at
// 1, 4 and 24 megapixels (3:2), on one thread; the render, the core stages, the
// preview's full recompute and its output-only refresh at 24 megapixels also on 2
// threads and on every core (suffix /threads:N; no suffix: 1 thread).
//
// Every figure is wall-clock time of the measured call alone (manual timing):
// - Stage benchmarks prepare valid inputs once by running the earlier stages
//   outside the timed span. Stages that overwrite their own input (attenuation,
//   Poisson, output mapping) get that input restored before each iteration, also
//   outside the timed span; the CPU column therefore includes the restore work and
//   the Time column does not. The output mapping benchmarks finally check that the
//   staged result equals a TMRunStages render of the same image, bit for bit.
// - The render benchmarks time TMRunStages end to end, allocation of its working
//   buffers and first touch of their pages included, as a tool pays them once.
// - The plugin benchmarks time the same render as a whole filter run through
//   PluginMain and the simulated host.
//
// Counters:
//   ms/MP     wall-clock milliseconds per megapixel of the image (not of the working
//             size), of the timed calls: the Time column divided by the megapixels
//   cpu_ms/MP the same in CPU time of the process, every thread's: close to ms/MP
//             times the threads on an idle machine, and the steadier figure when
//             other work shares the cores
//   work_B/px (render) peak working memory per image pixel: input and output images
//             plus the most the allocator had handed out at once plus the sample table
//   rss_B/px  (render) peak resident set of the process during the render iterations,
//             per image pixel (the high-water mark is reset just before them)
//   base_MB   (render) resident set of the process before the benchmark allocated its
//             images: the part of rss_B/px that is code, libraries and heap
#include <benchmark/benchmark.h>

#include "platform.h"
#include "plugin_main.h"
#include "tm_sim_host.h"

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <unordered_map>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "cpu_dispatch.h"
#include "demo_scene.h"
#include "tm_engine.h"
#include "tm_parameters.h"
#include "tm_preview.h"
#include "tm_render.h"
#include "tm_workers.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSizes[] = {1, 4, 24}; // megapixels
constexpr int kPlanes = 3;

template <typename T>
void releaseVector(std::vector<T>& v)
{
    std::vector<T>().swap(v);
}

// 16-bit host samples from linear floats: scale so that 256 is white, encode with a
// 1/2.2 power (the inverse of the engine's sample table) and round into 0..32768.
uint16_t encode16(float linear)
{
    const double x = std::clamp(static_cast<double>(linear) / 256.0, 0.0, 1.0);
    const long v = std::lround(std::pow(x, 1.0 / 2.2) * 32768.0);
    return static_cast<uint16_t>(std::min<long>(v, 32768));
}

// The scene of one size at a time. Benchmarks are registered size by size, so each
// scene is made once; the render benchmarks drop what they do not use so the peak
// resident set they report holds only their own images.
struct SceneCache {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<float> rgb;
    std::vector<uint16_t> rgb16;

    void select(int32_t w, int32_t h)
    {
        if (w == width && h == height)
            return;
        releaseVector(rgb);
        releaseVector(rgb16);
        width = w;
        height = h;
    }
    const std::vector<float>& floatScene()
    {
        if (rgb.empty()) {
            rgb.resize(static_cast<size_t>(width) * static_cast<size_t>(height) * kPlanes);
            TMMakeDemoScene(width, height, rgb.data());
        }
        return rgb;
    }
    const std::vector<uint16_t>& scene16()
    {
        if (rgb16.empty()) {
            const std::vector<float>& f = floatScene();
            rgb16.resize(f.size());
            std::transform(f.begin(), f.end(), rgb16.begin(), encode16);
        }
        return rgb16;
    }
};

SceneCache& scenes()
{
    static SceneCache cache;
    return cache;
}

// Sizes, settings and geometry exactly as the render derives them.
struct Setup {
    int32_t format = TMSampleFloat32;
    int32_t width = 0, height = 0, workWidth = 0;
    TMParameters params{};
    TMDerivedSettings d{};
    int32_t geometry[TMGeometrySize] = {};
    int64_t bufferBytes = 0;

    int64_t pixels() const { return int64_t{width} * height; }
    double megapixels() const { return static_cast<double>(pixels()) / 1.0e6; }
    size_t level0() const { return static_cast<size_t>(workWidth) * static_cast<size_t>(height); }
    size_t bufferFloats() const { return static_cast<size_t>(bufferBytes / 4); }
};

Setup makeSetup(int32_t format, int megapixels)
{
    Setup s;
    s.format = format;
    TMDemoSceneSize(megapixels, &s.width, &s.height);
    applyDefaults(&s.params, format);
    s.d = TMDeriveSettings(s.params, s.width, kPlanes);
    s.workWidth = s.width + 2 * s.d.pad;
    TMComputeBoundedGeometry(s.workWidth, s.height, s.d.smoothing, 4, s.geometry);
    s.bufferBytes = TMWorkingBufferBytes(s.geometry);
    scenes().select(s.width, s.height);
    return s;
}

// The three working buffers, zeroed.
struct Buffers {
    std::vector<float> A, B, C;
    explicit Buffers(const Setup& s) : A(s.bufferFloats()), B(s.bufferFloats()), C(s.bufferFloats()) {}
};

std::vector<float> sampleTable()
{
    std::vector<float> lut(65536);
    TMBuildSampleLUT(0, 65536, lut.data());
    return lut;
}

// Earlier stages, run once outside the timed span. Each returns false (and marks the
// benchmark failed) when a stage refuses.
bool fail(benchmark::State& state, const char* what)
{
    state.SkipWithError(what);
    return false;
}

bool convert(benchmark::State& state, const Setup& s, const float* lut, TMImageStats* stats, Buffers& b)
{
    *stats = TMImageStats{};
    const int32_t r = s.format == TMSampleFloat32
                          ? TMConvertInput32(s.width, s.height, s.workWidth, s.height, kPlanes, s.d.pad, stats,
                                             scenes().floatScene().data(), b.A.data())
                          : TMConvertInput16(s.width, s.height, s.workWidth, s.height, kPlanes, s.d.pad, stats, lut,
                                             scenes().scene16().data(), b.A.data());
    return r >= 0 || fail(state, "input conversion failed");
}

// The team of the stage benchmark running (null: one thread).
TMWorkers* gTeam = nullptr;

int32_t attenuate(const Setup& s, Buffers& b)
{
    return TMAttenuateGradients(s.format, s.workWidth, s.height, s.d.lumLevel, s.d.contrastStep, s.d.smoothingFactor,
                                s.geometry, b.A.data(), b.B.data(), b.C.data(), gTeam);
}

int32_t solve(const Setup& s, Buffers& b)
{
    return TMSolvePoisson(s.workWidth, s.height, s.geometry[TMGeoWidth], s.geometry[TMGeoHeight],
                          s.geometry[TMGeoSolverCoarseWidth], s.geometry[TMGeoSolverCoarseHeight],
                          s.geometry[TMGeoSolverTotal], s.geometry[TMGeoLevelCount], b.B.data(), b.C.data(), b.A.data(),
                          gTeam);
}

// Input conversion, then attenuation on zeroed B and C (as the render does).
bool throughAttenuation(benchmark::State& state, const Setup& s, const float* lut, TMImageStats* stats, Buffers& b)
{
    if (!convert(state, s, lut, stats, b))
        return false;
    std::fill(b.B.begin(), b.B.end(), 0.0f);
    std::fill(b.C.begin(), b.C.end(), 0.0f);
    return attenuate(s, b) >= 0 || fail(state, "attenuation failed");
}

bool throughSolver(benchmark::State& state, const Setup& s, const float* lut, TMImageStats* stats, Buffers& b)
{
    return throughAttenuation(state, s, lut, stats, b) && (solve(s, b) >= 0 || fail(state, "Poisson solve failed"));
}

double processCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1.0e-9;
}

// Wall-clock and thread CPU seconds of the timed calls, summed over the iterations.
struct Spent {
    double wall = 0.0;
    double cpu = 0.0;
};

// Times one call; feeds its wall-clock time to the benchmark's manual clock.
template <typename F>
void timed(benchmark::State& state, Spent* spent, F&& call)
{
    const double c0 = processCpuSeconds();
    const auto t0 = Clock::now();
    call();
    benchmark::ClobberMemory();
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    spent->cpu += processCpuSeconds() - c0;
    spent->wall += seconds;
    state.SetIterationTime(seconds);
}

void reportRate(benchmark::State& state, const Setup& s, const Spent& spent)
{
    const double iterations = static_cast<double>(state.iterations());
    if (iterations > 0) {
        state.counters["ms/MP"] = spent.wall * 1000.0 / iterations / s.megapixels();
        state.counters["cpu_ms/MP"] = spent.cpu * 1000.0 / iterations / s.megapixels();
    }
    state.SetLabel(std::to_string(s.width) + "x" + std::to_string(s.height));
}

// Sets gTeam for one benchmark.
struct TeamInUse {
    explicit TeamInUse(TMWorkers* team) { gTeam = team; }
    ~TeamInUse() { gTeam = nullptr; }
};

// Copies level 0 of a buffer back from a saved copy (outside the timed span).
void restore(std::vector<float>& dst, const std::vector<float>& saved)
{
    std::memcpy(dst.data(), saved.data(), saved.size() * sizeof(float));
}

// After a mapping benchmark: the staged result must equal what TMRunStages renders
// from the same image and settings, bit for bit, or the stage benchmarks are not
// measuring the render's work.
bool matchesRender(benchmark::State& state, const Setup& s, const void* in, const void* staged, int64_t sampleBytes)
{
    const int64_t rowBytes = int64_t{s.width} * kPlanes * sampleBytes;
    std::vector<unsigned char> rendered(static_cast<size_t>(rowBytes * s.height));
    TMHostImage image{};
    image.sampleFormat = s.format;
    image.width = s.width;
    image.height = s.height;
    image.planes = kPlanes;
    image.inPixelStride = kPlanes;
    image.outPixelStride = kPlanes;
    image.inData = in;
    image.inRowBytes = rowBytes;
    image.outData = rendered.data();
    image.outRowBytes = rowBytes;
    const TMProgressSink progress{nullptr, nullptr, nullptr};
    if (TMRunStages(s.params, image, TMHeapAllocator(), progress) != TMResultOK)
        return fail(state, "TMRunStages failed on the benchmark image");
    if (std::memcmp(rendered.data(), staged, rendered.size()) != 0)
        return fail(state, "staged output differs from TMRunStages");
    return true;
}

// --- Stage benchmarks ----------------------------------------------------------------

void BM_Input32(benchmark::State& state, int mp)
{
    const Setup s = makeSetup(TMSampleFloat32, mp);
    Buffers b(s);
    const float* rgb = scenes().floatScene().data();
    Spent spent;
    int32_t result = 0;
    for (auto _ : state) {
        TMImageStats stats{};
        timed(state, &spent, [&] {
            result =
                TMConvertInput32(s.width, s.height, s.workWidth, s.height, kPlanes, s.d.pad, &stats, rgb, b.A.data());
        });
        benchmark::DoNotOptimize(stats);
        if (result < 0)
            break;
    }
    if (result < 0)
        fail(state, "input conversion failed");
    reportRate(state, s, spent);
}

void BM_Input16(benchmark::State& state, int mp)
{
    const Setup s = makeSetup(TMSample16, mp);
    Buffers b(s);
    const std::vector<float> lut = sampleTable();
    const uint16_t* samples = scenes().scene16().data();
    Spent spent;
    int32_t result = 0;
    for (auto _ : state) {
        TMImageStats stats{};
        timed(state, &spent, [&] {
            result = TMConvertInput16(s.width, s.height, s.workWidth, s.height, kPlanes, s.d.pad, &stats, lut.data(),
                                      samples, b.A.data());
        });
        if (result < 0)
            break;
    }
    if (result < 0)
        fail(state, "input conversion failed");
    reportRate(state, s, spent);
}

// Attenuation reads the log luminance in A level 0 and expects B and C zero; it
// overwrites all three, so each iteration restores A level 0 and zeroes B and C.
void BM_Attenuate(benchmark::State& state, int mp, int threads)
{
    TMWorkers team(threads);
    const TeamInUse inUse(&team);
    const Setup s = makeSetup(TMSampleFloat32, mp);
    Buffers b(s);
    TMImageStats stats{};
    if (!convert(state, s, nullptr, &stats, b))
        return;
    const std::vector<float> saved(b.A.begin(), b.A.begin() + static_cast<std::ptrdiff_t>(s.level0()));
    Spent spent;
    int32_t result = 0;
    for (auto _ : state) {
        restore(b.A, saved);
        std::fill(b.B.begin(), b.B.end(), 0.0f);
        std::fill(b.C.begin(), b.C.end(), 0.0f);
        timed(state, &spent, [&] { result = attenuate(s, b); });
        if (result < 0)
            break;
    }
    if (result < 0)
        fail(state, "attenuation failed");
    reportRate(state, s, spent);
}

// The solver reads the divergence in A level 0 (its coarser levels are written before
// they are read) and clears B and C itself; it leaves exp(u) in A level 0, so each
// iteration restores that level.
void BM_Poisson(benchmark::State& state, int mp, int threads)
{
    TMWorkers team(threads);
    const TeamInUse inUse(&team);
    const Setup s = makeSetup(TMSampleFloat32, mp);
    Buffers b(s);
    TMImageStats stats{};
    if (!throughAttenuation(state, s, nullptr, &stats, b))
        return;
    const std::vector<float> saved(b.A.begin(), b.A.begin() + static_cast<std::ptrdiff_t>(s.level0()));
    Spent spent;
    int32_t result = 0;
    for (auto _ : state) {
        restore(b.A, saved);
        timed(state, &spent, [&] { result = solve(s, b); });
        if (result < 0)
            break;
    }
    if (result < 0)
        fail(state, "Poisson solve failed");
    reportRate(state, s, spent);
}

// Output mapping normalises A level 0 in place: restored every iteration.
void BM_Output32(benchmark::State& state, int mp)
{
    const Setup s = makeSetup(TMSampleFloat32, mp);
    TMImageStats stats{};
    std::vector<float> saved;
    {
        Buffers b(s);
        if (!throughSolver(state, s, nullptr, &stats, b))
            return;
        saved.assign(b.A.begin(), b.A.begin() + static_cast<std::ptrdiff_t>(s.level0()));
    }
    std::vector<float> lum(saved.size());
    std::vector<float> out(static_cast<size_t>(s.pixels()) * kPlanes);
    const float* rgb = scenes().floatScene().data();
    Spent spent;
    int32_t result = 0;
    for (auto _ : state) {
        restore(lum, saved);
        timed(state, &spent, [&] {
            result =
                TMMapOutput32(s.width, s.height, kPlanes, s.d.pad, s.d.output.colorSaturation, s.d.output.white,
                              s.d.output.black, s.d.output.strength, s.d.gamma, &stats, rgb, lum.data(), out.data());
        });
        if (result < 0)
            break;
    }
    if (result < 0) {
        fail(state, "output mapping failed");
        return;
    }
    if (matchesRender(state, s, rgb, out.data(), sizeof(float)))
        reportRate(state, s, spent);
}

void BM_Output16(benchmark::State& state, int mp)
{
    const Setup s = makeSetup(TMSample16, mp);
    const std::vector<float> lut = sampleTable();
    TMImageStats stats{};
    std::vector<float> saved;
    {
        Buffers b(s);
        if (!throughSolver(state, s, lut.data(), &stats, b))
            return;
        saved.assign(b.A.begin(), b.A.begin() + static_cast<std::ptrdiff_t>(s.level0()));
    }
    std::vector<float> lum(saved.size());
    std::vector<uint16_t> out(static_cast<size_t>(s.pixels()) * kPlanes);
    const uint16_t* samples = scenes().scene16().data();
    Spent spent;
    int32_t result = 0;
    for (auto _ : state) {
        restore(lum, saved);
        timed(state, &spent, [&] {
            result = TMMapOutput16(s.width, s.height, kPlanes, s.d.pad, s.d.output.colorSaturation, s.d.output.white,
                                   s.d.output.black, s.d.output.strength, &stats, lut.data(), samples, lum.data(),
                                   out.data());
        });
        if (result < 0)
            break;
    }
    if (result < 0) {
        fail(state, "output mapping failed");
        return;
    }
    if (matchesRender(state, s, samples, out.data(), sizeof(uint16_t)))
        reportRate(state, s, spent);
}

// --- Whole render --------------------------------------------------------------------

// TMHeapAllocator with a count of the bytes it has out, and the most at once.
struct CountingAllocator {
    TMBufferAllocator heap = TMHeapAllocator();
    std::unordered_map<intptr_t, int64_t> live;
    int64_t current = 0;
    int64_t peak = 0;

    static float* acquire(void* context, int64_t bytes, intptr_t* id)
    {
        auto* self = static_cast<CountingAllocator*>(context);
        float* p = self->heap.acquire(self->heap.context, bytes, id);
        if (p) {
            self->live[*id] = bytes;
            self->current += bytes;
            self->peak = std::max(self->peak, self->current);
        }
        return p;
    }
    static void release(void* context, intptr_t id)
    {
        auto* self = static_cast<CountingAllocator*>(context);
        auto it = self->live.find(id);
        if (it != self->live.end()) {
            self->current -= it->second;
            self->live.erase(it);
        }
        self->heap.release(self->heap.context, id);
    }
    TMBufferAllocator allocator() { return TMBufferAllocator{this, acquire, release}; }
};

int64_t residentBytes()
{
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return static_cast<int64_t>(resident) * sysconf(_SC_PAGESIZE);
}

// Lets ru_maxrss start again from the current resident set (Linux 4.0 and later).
bool resetPeakResident()
{
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return static_cast<bool>(clear);
}

int64_t peakResidentBytes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<int64_t>(usage.ru_maxrss) * 1024;
}

// The sample table TMRunStages allocates beside the working buffers (from the C heap,
// so the counting allocator does not see it): 65536 floats for 16-bit input, one
// float otherwise.
int64_t sampleTableBytes(int32_t format) { return format == TMSample16 ? 65536 * 4 : 4; }

// The scene in `format` for a whole-render benchmark. Only this benchmark's input
// stays resident: made first, then the other depth's copy dropped.
const void* residentInput(int32_t format)
{
    SceneCache& cache = scenes();
    if (format == TMSampleFloat32) {
        releaseVector(cache.rgb16);
        return cache.floatScene().data();
    }
    const void* in = cache.scene16().data();
    releaseVector(cache.rgb);
    return in;
}

void BM_Render(benchmark::State& state, int32_t format, int mp, int threads)
{
    const Setup s = makeSetup(format, mp);
    const int64_t sampleBytes = format == TMSampleFloat32 ? 4 : 2;
    const int64_t imageBytes = s.pixels() * kPlanes * sampleBytes;

    const void* in = residentInput(format);
    const int64_t base = residentBytes() - imageBytes;
    std::vector<unsigned char> out(static_cast<size_t>(imageBytes));

    TMHostImage image{};
    image.sampleFormat = format;
    image.width = s.width;
    image.height = s.height;
    image.planes = kPlanes;
    image.inPixelStride = kPlanes;
    image.outPixelStride = kPlanes;
    image.inData = in;
    image.inRowBytes = int64_t{s.width} * kPlanes * sampleBytes;
    image.outData = out.data();
    image.outRowBytes = image.inRowBytes;
    image.lutMode = 0;
    image.threads = threads;

    CountingAllocator counting;
    const TMBufferAllocator allocator = counting.allocator();
    const TMProgressSink progress{nullptr, nullptr, nullptr};
    const bool peakReset = resetPeakResident();

    Spent spent;
    int16_t result = TMResultOK;
    for (auto _ : state) {
        timed(state, &spent, [&] { result = TMRunStages(s.params, image, allocator, progress); });
        if (result != TMResultOK)
            break;
    }
    if (result != TMResultOK) {
        fail(state, ("TMRunStages returned " + std::to_string(result)).c_str());
        return;
    }
    const double pixels = static_cast<double>(s.pixels());
    reportRate(state, s, spent);
    state.counters["work_B/px"] =
        static_cast<double>(2 * imageBytes + counting.peak + sampleTableBytes(format)) / pixels;
    state.counters["rss_B/px"] = static_cast<double>(peakResidentBytes()) / pixels;
    state.counters["base_MB"] = static_cast<double>(base) / 1.0e6;
    if (!peakReset)
        state.SetLabel(std::to_string(s.width) + "x" + std::to_string(s.height) +
                       " rss: lifetime peak (could not reset)");
}

// The same render through the plug-in's entry point, driven by the simulated host:
// a menu run (parameters, prepare, start, continue, finish) per iteration. With
// Direct delivery the host hands pointers into its document, as the command-line
// tool's host does; with Copy it fills host buffers and commits the output, as
// editors do, so the difference to render32/render16 is the host's copying. The
// host (and its copy of the source into the destination) is set up untimed.
void BM_Plugin(benchmark::State& state, int32_t format, int mp, tmsim::Delivery delivery)
{
    const Setup s = makeSetup(format, mp);
    const int64_t sampleBytes = format == TMSampleFloat32 ? 4 : 2;
    const int64_t imageBytes = s.pixels() * kPlanes * sampleBytes;
    const void* in = residentInput(format);
    std::vector<unsigned char> out(static_cast<size_t>(imageBytes));
    tmsim::Document doc;
    doc.source = in;
    doc.destination = out.data();
    doc.width = s.width;
    doc.height = s.height;
    doc.planes = kPlanes;
    doc.rowBytes = int64_t{s.width} * kPlanes * sampleBytes;
    doc.depth = format == TMSampleFloat32 ? 32 : 16;
    doc.imageMode = format == TMSampleFloat32 ? TMModeRGB96 : TMModeRGB48;
    tmsim::Options options;
    options.delivery = delivery;
    options.descriptorSuite = false;

    // One thread, as render32 and render16: the difference is the host's work.
    TMSetPluginThreads(1);
    Spent spent;
    int16_t result = 0;
    for (auto _ : state) {
        tmsim::Host host(PluginMain, doc, options);
        timed(state, &spent, [&] { result = host.run(true).result; });
        if (result != 0)
            break;
    }
    if (result != 0) {
        fail(state, ("PluginMain returned " + std::to_string(result)).c_str());
        return;
    }
    reportRate(state, s, spent);
}

// --- Preview -------------------------------------------------------------------------

// The dialog's preview of the 24-MP scene at the 1,024-pixel side (1024 x 682), with
// the dialog's fixed buffers. Modes: a full recompute (previewLevel 2: input
// conversion, both core stages, output mapping), an output-only refresh (previewLevel
// 0, a changed Strength) and the original view from the cache (after one build).
enum class PreviewMode { Full, OutputOnly, OriginalCached };

// previewHeight 0: the source's aspect (1024 x 682); 768 and 1024 stand for a 4:3
// and a square source (the 24-MP scene is 3:2, but the refresh's cost is that of
// its preview pixels).
void BM_Preview(benchmark::State& state, int32_t format, PreviewMode mode, int32_t previewHeight, int threads)
{
    const Setup s = makeSetup(format, 24);
    const void* in = format == TMSampleFloat32 ? static_cast<const void*>(scenes().floatScene().data())
                                               : static_cast<const void*>(scenes().scene16().data());
    const int32_t sampleBytes = format == TMSampleFloat32 ? 4 : 2;
    TMPreviewSource src{format, s.width, s.height, TMPackedLayout(s.width, kPlanes, sampleBytes), in, 0};
    src.threads = threads;
    std::vector<float> A(TMPreviewWorkBytes / 4), B(A.size()), C(A.size());
    std::vector<uint8_t> image(static_cast<size_t>(TMPreviewImageBytes(kPlanes)));
    std::vector<uint8_t> cache(static_cast<size_t>(TMPreviewCacheBytes(kPlanes)));
    std::vector<int32_t> histograms(TMPreviewHistogramBytes / 4);
    const TMPreviewBuffers buffers{A.data(), B.data(), C.data(), image.data(), cache.data(), histograms.data()};
    TMPreviewView view{};
    view.previewWidth = 1024;
    view.previewHeight =
        previewHeight > 0 ? previewHeight : static_cast<int32_t>(1024 * (static_cast<double>(s.height) / s.width));
    view.previewCacheOffset = TMPreviewCacheOffset(1024, kPlanes);
    TMParameters params = s.params;
    params.previewLevel = 2;
    params.showPreview = 1;
    if (TMRunPreview(&params, src, buffers, &view) != TMResultOK) {
        fail(state, "preview failed");
        return;
    }
    if (mode == PreviewMode::OriginalCached) {
        params.showPreview = 0;
        TMRunPreview(&params, src, buffers, &view); // builds the cache entry
    }
    Spent spent;
    int16_t result = TMResultOK;
    int iteration = 0;
    for (auto _ : state) {
        // Untimed: put the state back that the timed call starts from.
        if (mode == PreviewMode::Full) {
            params.previewLevel = 2;
        } else if (mode == PreviewMode::OutputOnly) {
            params.previewLevel = 0;
            params.settings.strength = 40 + 10 * (iteration++ % 4);
        } else {
            params.showPreview = 0;
        }
        timed(state, &spent, [&] { result = TMRunPreview(&params, src, buffers, &view); });
        if (mode == PreviewMode::OriginalCached) {
            params.showPreview = 1;
            params.restorePreview = 1;
            TMRunPreview(&params, src, buffers, &view);
        }
        if (result != TMResultOK)
            break;
    }
    if (result != TMResultOK) {
        fail(state, ("TMRunPreview returned " + std::to_string(result)).c_str());
        return;
    }
    const double iterations = static_cast<double>(state.iterations());
    if (iterations > 0) {
        state.counters["ms"] = spent.wall * 1000.0 / iterations;
        state.counters["cpu_ms"] = spent.cpu * 1000.0 / iterations;
    }
    state.SetLabel(std::to_string(view.previewWidth) + "x" + std::to_string(view.previewHeight) + " of " +
                   std::to_string(s.width) + "x" + std::to_string(s.height));
}

// Team sizes of the threaded benchmarks: 2 and every core, when that is more.
std::vector<int> teamSizes()
{
    std::vector<int> sizes = {2};
    if (TMDefaultThreadCount() > 2)
        sizes.push_back(TMDefaultThreadCount());
    return sizes;
}

void configure(benchmark::internal::Benchmark* b, int mp)
{
    // Fixed counts: the benchmark function (with its setup, which runs the earlier
    // stages) is then called once, and the whole run stays within a few minutes.
    b->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(mp >= 24 ? 2 : mp >= 4 ? 4 : 10);
}

} // namespace

int main(int argc, char** argv)
{
#if defined(__GLIBC__)
    // A fixed mmap threshold: every large buffer is mapped on allocation and returned
    // on release. glibc otherwise raises the threshold after the first free and serves
    // later buffers of a few megabytes from its heap, already paged in, which would
    // make repeated renders cheaper than a tool's single one and hide memory from the
    // resident-set figure.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
    // Size by size, so each procedural scene is generated once.
    for (const int mp : kSizes) {
        const std::string suffix = "/" + std::to_string(mp) + "MP";
        configure(benchmark::RegisterBenchmark(("input32" + suffix).c_str(), BM_Input32, mp), mp);
        configure(benchmark::RegisterBenchmark(("input16" + suffix).c_str(), BM_Input16, mp), mp);
        configure(benchmark::RegisterBenchmark(("attenuate" + suffix).c_str(), BM_Attenuate, mp, 1), mp);
        configure(benchmark::RegisterBenchmark(("poisson" + suffix).c_str(), BM_Poisson, mp, 1), mp);
        configure(benchmark::RegisterBenchmark(("output32" + suffix).c_str(), BM_Output32, mp), mp);
        configure(benchmark::RegisterBenchmark(("output16" + suffix).c_str(), BM_Output16, mp), mp);
        configure(benchmark::RegisterBenchmark(("render32" + suffix).c_str(), BM_Render, TMSampleFloat32, mp, 1), mp);
        configure(benchmark::RegisterBenchmark(("render16" + suffix).c_str(), BM_Render, TMSample16, mp, 1), mp);
        if (mp == 24)
            for (const int threads : teamSizes()) {
                const std::string t = suffix + "/threads:" + std::to_string(threads);
                configure(benchmark::RegisterBenchmark(("attenuate" + t).c_str(), BM_Attenuate, mp, threads), mp);
                configure(benchmark::RegisterBenchmark(("poisson" + t).c_str(), BM_Poisson, mp, threads), mp);
                configure(
                    benchmark::RegisterBenchmark(("render32" + t).c_str(), BM_Render, TMSampleFloat32, mp, threads),
                    mp);
                configure(benchmark::RegisterBenchmark(("render16" + t).c_str(), BM_Render, TMSample16, mp, threads),
                          mp);
            }
        configure(benchmark::RegisterBenchmark(("plugin32" + suffix).c_str(), BM_Plugin, TMSampleFloat32, mp,
                                               tmsim::Delivery::Direct),
                  mp);
        configure(benchmark::RegisterBenchmark(("plugin32copy" + suffix).c_str(), BM_Plugin, TMSampleFloat32, mp,
                                               tmsim::Delivery::Copy),
                  mp);
        configure(benchmark::RegisterBenchmark(("plugin16" + suffix).c_str(), BM_Plugin, TMSample16, mp,
                                               tmsim::Delivery::Direct),
                  mp);
    }
    // The preview benchmarks: 24 MP only (the source size matters little, the
    // preview size is fixed), 20 iterations each.
    const struct {
        const char* name;
        int32_t format;
        PreviewMode mode;
        int32_t previewHeight;
    } previews[] = {
        {"preview32/full", TMSampleFloat32, PreviewMode::Full, 0},
        {"preview32/output", TMSampleFloat32, PreviewMode::OutputOnly, 0},
        {"preview32/output4x3", TMSampleFloat32, PreviewMode::OutputOnly, 768},
        {"preview32/output1x1", TMSampleFloat32, PreviewMode::OutputOnly, 1024},
        {"preview32/original", TMSampleFloat32, PreviewMode::OriginalCached, 0},
        {"preview16/full", TMSample16, PreviewMode::Full, 0},
        {"preview16/output", TMSample16, PreviewMode::OutputOnly, 0},
        {"preview16/output4x3", TMSample16, PreviewMode::OutputOnly, 768},
    };
    for (const auto& p : previews)
        benchmark::RegisterBenchmark((std::string(p.name) + "/24MP").c_str(), BM_Preview, p.format, p.mode,
                                     p.previewHeight, 1)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond)
            ->Iterations(20);
    for (const int threads : teamSizes())
        for (const int32_t format : {TMSampleFloat32, TMSample16})
            for (const PreviewMode mode : {PreviewMode::Full, PreviewMode::OutputOnly})
                benchmark::RegisterBenchmark((std::string(format == TMSampleFloat32 ? "preview32" : "preview16") +
                                              (mode == PreviewMode::Full ? "/full" : "/output") +
                                              "/24MP/threads:" + std::to_string(threads))
                                                 .c_str(),
                                             BM_Preview, format, mode, 0, threads)
                    ->UseManualTime()
                    ->Unit(benchmark::kMillisecond)
                    ->Iterations(20);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    // The vector paths measured (TM_CPU_LEVEL chooses a lower one).
    benchmark::AddCustomContext("vector level", tm_cpu::levelName(tm_cpu::activeLevel()));
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
