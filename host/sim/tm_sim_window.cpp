#include "tm_sim_window.h"

#include <vector>

#include "tm_sim_display.h"
#include "tm_sim_run.h"

namespace tmsim {

TMOSErr GdiDisplayPixels(const TMPixelMap* source, const TMVRect* srcRect, int32_t dstRow, int32_t dstCol,
                         void* platformContext)
{
    PixelMapView view;
    const TMOSErr checked = ReadPixelMap(source, srcRect, platformContext, &view);
    if (checked != TMNoErr)
        return checked;
    const int32_t w = srcRect->right - srcRect->left, h = srcRect->bottom - srcRect->top;
    if (w == 0 || h == 0)
        return TMNoErr;
    const std::vector<uint32_t> rows = DisplayRows(view, *srcRect);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = -h; // top-down: the first row in memory is the top one
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    const int drawn =
        SetDIBitsToDevice(static_cast<HDC>(platformContext), dstCol, dstRow, static_cast<DWORD>(w),
                          static_cast<DWORD>(h), 0, 0, 0, static_cast<UINT>(h), rows.data(), &info, DIB_RGB_COLORS);
    return drawn == 0 ? TMOSErr{TMFilterBadParameters} : TMOSErr{TMNoErr};
}

namespace {

// The pattern's pixel maps, made once; samples as PaintTestPattern describes them.
struct Pattern {
    std::vector<uint8_t> bars, ramp, mixed, lab, cmyk;
    Pattern() : bars(512 * 96 * 3), ramp(512 * 48), mixed(512 * 64 * 3), lab(256 * 72 * 3), cmyk(256 * 72 * 4)
    {
        for (int y = 0; y < 96; ++y)
            for (int x = 0; x < 512; ++x) {
                const int bar = x / 64, at = y * 512 + x;
                bars[at] = (bar == 0 || bar == 1 || bar == 4 || bar == 5) ? 255 : 0;
                bars[512 * 96 + at] = bar < 4 ? 255 : 0;
                bars[2 * 512 * 96 + at] = bar % 2 == 0 ? 255 : 0;
            }
        for (int y = 0; y < 48; ++y)
            for (int x = 0; x < 512; ++x)
                ramp[y * 512 + x] = static_cast<uint8_t>(x / 2);
        for (int y = 0; y < 64; ++y)
            for (int x = 0; x < 512; ++x) {
                uint8_t* p = &mixed[(y * 512 + x) * 3];
                p[0] = static_cast<uint8_t>(x / 2);
                p[1] = 128;
                p[2] = static_cast<uint8_t>(y * 4);
            }
        for (int y = 0; y < 72; ++y)
            for (int x = 0; x < 256; ++x) {
                const int at = y * 256 + x, plane = 256 * 72;
                lab[at] = 179; // L 70
                lab[plane + at] = static_cast<uint8_t>(64 + x / 2);
                lab[2 * plane + at] = static_cast<uint8_t>(191 - y * 16 / 9);
                for (int ink = 0; ink < 4; ++ink)
                    cmyk[ink * plane + at] = x / 64 == ink ? 255 : 0;
            }
    }
};

TMPixelMap planarMap(std::vector<uint8_t>& samples, int32_t mode, int32_t top, int32_t left, int32_t w, int32_t h)
{
    TMPixelMap map{};
    map.version = 1;
    map.bounds = TMVRect{top, left, top + h, left + w};
    map.imageMode = mode;
    map.rowBytes = w;
    map.colBytes = 1;
    map.planeBytes = w * h;
    map.baseAddr = samples.data();
    return map;
}

constexpr int32_t kMargin = 16;
constexpr char kWindowClass[] = "TMHostMainWindow";

LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_PAINT: {
        PAINTSTRUCT paint;
        if (HDC dc = BeginPaint(window, &paint))
            PaintTestPattern(dc, kMargin, kMargin);
        EndPaint(window, &paint);
        return 0;
    }
    case WM_DESTROY: PostQuitMessage(0); return 0;
    default: return DefWindowProcA(window, message, wParam, lParam);
    }
}

} // namespace

TMOSErr PaintTestPattern(HDC dc, int32_t left, int32_t top)
{
    static Pattern pattern;
    TMPixelMap maps[5] = {
        planarMap(pattern.bars, TMModeRGBColor, top, left, 512, 96),
        planarMap(pattern.ramp, TMModeGrayScale, top + 104, left, 512, 48),
        planarMap(pattern.mixed, TMModeRGBColor, top + 160, left, 512, 64),
        planarMap(pattern.lab, TMModeLabColor, top + 232, left, 256, 72),
        planarMap(pattern.cmyk, TMModeCMYKColor, top + 232, left + 256, 256, 72),
    };
    maps[2].rowBytes = 512 * 3;
    maps[2].colBytes = 3;
    maps[2].planeBytes = 1;
    for (TMPixelMap& map : maps) {
        const TMOSErr e = GdiDisplayPixels(&map, &map.bounds, map.bounds.top, map.bounds.left, dc);
        if (e != TMNoErr)
            return e;
    }
    return TMNoErr;
}

HWND CreateMainWindow(const char* title)
{
    const HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSA windowClass{};
    if (!GetClassInfoA(instance, kWindowClass, &windowClass)) {
        windowClass.lpfnWndProc = mainWindowProc;
        windowClass.hInstance = instance;
        windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
        windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1); // grey, so that white bars show
        windowClass.lpszClassName = kWindowClass;
        if (!RegisterClassA(&windowClass))
            return nullptr;
    }
    const DWORD style = WS_OVERLAPPEDWINDOW;
    RECT frame{0, 0, kTestPatternWidth + 2 * kMargin, kTestPatternHeight + 2 * kMargin};
    AdjustWindowRect(&frame, style, FALSE);
    const HWND window = CreateWindowA(kWindowClass, title, style, 0, 0, frame.right - frame.left,
                                      frame.bottom - frame.top, nullptr, nullptr, instance, nullptr);
    if (!window)
        return nullptr;
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);
    return window;
}

Options WindowOptions(HWND mainWindow)
{
    return InteractiveOptions(reinterpret_cast<intptr_t>(mainWindow), GdiDisplayPixels);
}

} // namespace tmsim
