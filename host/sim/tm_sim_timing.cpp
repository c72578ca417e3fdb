#include "tm_sim_timing.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <time.h>
#endif

#include "cpu_dispatch.h"
#include "platform.h"
#include "tm_parameters.h"
#include "tm_preview.h"
#include "tm_sim_run.h"

namespace tmsim {
namespace {

double threadCpuMs()
{
#if defined(_WIN32)
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user))
        return 0.0;
    const auto ticks = [](const FILETIME& t) { return (uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime; };
    return static_cast<double>(ticks(kernel) + ticks(user)) / 1.0e4; // 100 ns units
#else
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1.0e3 + static_cast<double>(t.tv_nsec) * 1.0e-6;
#endif
}

// Times one call into `timing`.
template <typename F>
void timed(Timing* timing, F&& call)
{
    const double c0 = threadCpuMs();
    const auto t0 = std::chrono::steady_clock::now();
    call();
    const auto t1 = std::chrono::steady_clock::now();
    timing->cpu.push_back(threadCpuMs() - c0);
    timing->wall.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
}

int32_t sampleFormat(const TimedImage& image) { return image.isFloat ? TMSampleFloat32 : TMSample16; }
int64_t sampleBytes(const TimedImage& image) { return image.isFloat ? 4 : 2; }

} // namespace

double Timing::medianWall() const
{
    if (wall.empty())
        return 0.0;
    std::vector<double> v = wall;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

double Timing::meanCpu() const
{
    double sum = 0.0;
    for (const double c : cpu)
        sum += c;
    return cpu.empty() ? 0.0 : sum / static_cast<double>(cpu.size());
}

bool TimeRenders(EntryPoint entry, const TimedImage& image, int runs, Timing* timing, std::string* failure)
{
    const int64_t rowBytes = int64_t{image.width} * image.planes * sampleBytes(image);
    const size_t bytes = static_cast<size_t>(rowBytes * image.height);
    std::vector<unsigned char> work(bytes);
    TMParameters params{};
    applyDefaults(&params, sampleFormat(image));
    Document doc;
    doc.source = doc.destination = work.data();
    doc.width = image.width;
    doc.height = image.height;
    doc.planes = image.planes;
    doc.rowBytes = rowBytes;
    doc.depth = image.isFloat ? 32 : 16;
    doc.imageMode =
        image.planes == 1 ? (image.isFloat ? TMModeGray32 : TMModeGray16) : (image.isFloat ? TMModeRGB96 : TMModeRGB48);
    for (int i = 0; i < runs; ++i) {
        std::memcpy(work.data(), image.samples, bytes); // rendered in place: a fresh image each time
        Outcome outcome;
        timed(timing, [&] { outcome = RunWithSettings(entry, doc, params); });
        if (outcome.result != 0) {
            *failure = "the filter returned " + std::to_string(outcome.result) + ": " + outcome.failure;
            return false;
        }
    }
    return true;
}

bool TimePreview(const TimedImage& image, int fullRuns, int refreshRuns, Timing* full, Timing* refresh,
                 std::string* failure)
{
    const int32_t planes = std::min(image.planes, 3);
    const TMPreviewSource src{
        sampleFormat(image),
        image.width,
        image.height,
        TMSampleLayout{planes, image.planes, int64_t{image.width} * image.planes * sampleBytes(image)},
        image.samples,
        0,
        TMPluginThreads()}; // the plug-in's thread count, as its dialog's preview takes it
    std::vector<float> A(TMPreviewWorkBytes / 4), B(A.size()), C(A.size());
    std::vector<uint8_t> shown(static_cast<size_t>(TMPreviewImageBytes(planes)));
    std::vector<uint8_t> cache(static_cast<size_t>(TMPreviewCacheBytes(planes)));
    std::vector<int32_t> histograms(TMPreviewHistogramBytes / 4);
    const TMPreviewBuffers buffers{A.data(), B.data(), C.data(), shown.data(), cache.data(), histograms.data()};
    // The dialog's geometry at the 1,024 side: the longer side 1,024 (or the image's).
    TMPreviewView view{};
    const int32_t longer = std::min(1024, std::max(image.width, image.height));
    const double aspect = static_cast<double>(image.height) / image.width;
    view.previewWidth = image.width >= image.height ? longer : static_cast<int32_t>(longer / aspect);
    view.previewHeight = image.width >= image.height ? static_cast<int32_t>(longer * aspect) : longer;
    view.previewCacheOffset = TMPreviewCacheOffset(1024, planes);
    TMParameters params{};
    applyDefaults(&params, sampleFormat(image));
    params.showPreview = 1;

    TMResult result = TMResultOK;
    for (int i = 0; i < fullRuns && result == TMResultOK; ++i) {
        params.previewLevel = 2;
        timed(full, [&] { result = TMRunPreview(&params, src, buffers, &view); });
    }
    for (int i = 0; i < refreshRuns && result == TMResultOK; ++i) {
        params.previewLevel = 0;
        params.settings.strength = 40 + 10 * (i % 4);
        timed(refresh, [&] { result = TMRunPreview(&params, src, buffers, &view); });
    }
    if (result != TMResultOK) {
        *failure = "the preview returned " + std::to_string(result);
        return false;
    }
    return true;
}

std::string TimingReport(const std::string& name, const TimedImage& image, const Timing& renders, const Timing& full,
                         const Timing& refresh)
{
    const double mp = static_cast<double>(image.width) * image.height / 1.0e6;
    char text[512];
    std::snprintf(text, sizeof text,
                  "%s: %dx%d %s, vector level %s\n"
                  "  render  %zu runs: median %.1f ms = %.1f ms/MP, cpu %.1f ms/MP\n"
                  "  preview full    %zu runs: median %.2f ms, cpu %.2f ms\n"
                  "  preview refresh %zu runs: median %.2f ms, cpu %.2f ms\n",
                  name.c_str(), image.width, image.height, image.isFloat ? "float" : "16-bit",
                  tm_cpu::levelName(tm_cpu::activeLevel()), renders.wall.size(), renders.medianWall(),
                  renders.medianWall() / mp, renders.meanCpu() / mp, full.wall.size(), full.medianWall(),
                  full.meanCpu(), refresh.wall.size(), refresh.medianWall(), refresh.meanCpu());
    return text;
}

} // namespace tmsim
