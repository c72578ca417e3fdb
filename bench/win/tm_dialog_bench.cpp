// tm-dialog-bench: the settings dialog of a built plug-in timed as a user meets it, in
// real windows, on one image (PFM, or PPM with 16-bit samples):
//   - from the start of the run (the host's Parameters call) to the first preview
//     painted;
//   - at the 1,024 side, a Color Saturation line step (the colours only) and a Light
//     Smoothing line step (a full recompute), each from the key to the end of the
//     repaint, RUNS times (default 9), medians and extremes.
// The host draws with GDI (tm_sim_window.h), as tmhost.exe does. Prints one line per
// figure; bench/dialog-speed runs it under Wine on the 24-MP scene.
//
//   tm-dialog-bench PLUGIN IMAGE [RUNS]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "dialog_driver.h"
#include "tm_netpbm_file.h"
#include "tm_samples.h"
#include "tm_sim_host.h"
#include "tm_sim_window.h"

namespace {

double now()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

double firstPaint = 0.0; // ms, the end of the first displayPixels call
int paints = 0;          // displayPixels calls
int runs = 9;
std::vector<double> saturationSteps, smoothingSteps;
HHOOK hook = nullptr;

TMOSErr timedDisplay(const TMPixelMap* map, const TMVRect* rect, int32_t row, int32_t column, void* context)
{
    const TMOSErr e = tmsim::GdiDisplayPixels(map, rect, row, column, context);
    if (paints++ == 0)
        firstPaint = now();
    return e;
}

// One line step of `slider`, alternating right and left, to the end of its repaint.
double step(HWND dialog, int slider, int i)
{
    const double t0 = now();
    key(dialog, slider, i % 2 ? VK_LEFT : VK_RIGHT);
    UpdateWindow(dialog);
    return now() - t0;
}

VOID CALLBACK measure(HWND dialog, UINT, UINT_PTR timer, DWORD)
{
    // The dialog manager shows a modal dialog once its loop first has nothing to do.
    if (!IsWindowVisible(dialog))
        return;
    KillTimer(dialog, timer);
    UpdateWindow(dialog);
    CheckRadioButton(dialog, TM_ID_SIZE_512, TM_ID_SIZE_1024, TM_ID_SIZE_1024);
    click(dialog, TM_ID_SIZE_1024);
    UpdateWindow(dialog);
    for (int i = 0; i < runs; ++i)
        saturationSteps.push_back(step(dialog, TM_ID_SATURATION, i));
    for (int i = 0; i < runs; ++i)
        smoothingSteps.push_back(step(dialog, TM_ID_SMOOTHING, i + 1)); // +1 then back: left first
    click(dialog, TM_ID_CANCEL);
}

LRESULT CALLBACK afterWindowProcedure(int code, WPARAM wParam, LPARAM lParam)
{
    const auto* call = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
    if (code == HC_ACTION && call->message == WM_INITDIALOG && GetDlgItem(call->hwnd, TM_ID_STRENGTH))
        SetTimer(call->hwnd, 1, 10, measure);
    return CallNextHookEx(hook, code, wParam, lParam);
}

void report(const char* what, std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    std::printf("%-36s median %8.1f ms  (min %.1f, max %.1f, %zu steps)\n", what, v[v.size() / 2], v.front(), v.back(),
                v.size());
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: tm-dialog-bench PLUGIN IMAGE [RUNS]\n");
        return 2;
    }
    if (argc > 3)
        runs = std::max(1, std::atoi(argv[3]));
    HMODULE module = LoadLibraryA(argv[1]);
    const auto entry =
        module ? reinterpret_cast<tmsim::EntryPoint>(reinterpret_cast<void*>(GetProcAddress(module, "PluginMain")))
               : nullptr;
    if (!entry) {
        std::fprintf(stderr, "tm-dialog-bench: cannot load %s (error %lu)\n", argv[1], GetLastError());
        return 2;
    }
    TMNetpbmPicture picture;
    TMNetpbmError error;
    if (!TMNetpbmReadFile(argv[2], &picture, &error) || picture.header.channels != 3) {
        std::fprintf(stderr, "tm-dialog-bench: cannot read %s as a 3-channel image: %s\n", argv[2],
                     error.message.c_str());
        return 2;
    }
    const TMNetpbmHeader& h = picture.header;
    if (!h.isFloat)
        for (uint16_t& v : picture.u16)
            v = TMFileToHost16(v);
    tmsim::Document doc;
    doc.source = doc.destination = h.isFloat ? static_cast<void*>(picture.f32.data()) : picture.u16.data();
    doc.width = h.width;
    doc.height = h.height;
    doc.rowBytes = int64_t{h.width} * 3 * (h.isFloat ? 4 : 2);
    doc.depth = h.isFloat ? 32 : 16;
    doc.imageMode = h.isFloat ? TMModeRGB96 : TMModeRGB48;
    tmsim::Options options;
    options.displayPixels = timedDisplay;
    hook = SetWindowsHookExA(WH_CALLWNDPROCRET, afterWindowProcedure, nullptr, GetCurrentThreadId());
    tmsim::Host host(entry, doc, options);
    const double start = now();
    const int16_t result = host.run(true).result;
    UnhookWindowsHookEx(hook);
    if (result != TMUserCanceledErr || saturationSteps.empty()) {
        std::fprintf(stderr, "tm-dialog-bench: the dialog run ended with %d\n", result);
        return 1;
    }
    // Every step repaints the preview; fewer calls mean the preview stopped (failed).
    if (paints < 2 + 2 * runs) {
        std::fprintf(stderr, "tm-dialog-bench: the preview was painted %d times, not after every step\n", paints);
        return 1;
    }
    std::printf("%s: %d x %d %s\n", argv[2], h.width, h.height, h.isFloat ? "float" : "16-bit");
    std::printf("%-36s %8.1f ms\n", "dialog open to first preview painted", firstPaint - start);
    report("Color Saturation step at 1024", saturationSteps);
    report("Light Smoothing step at 1024", smoothingSteps);
    FreeLibrary(module);
    return 0;
}
