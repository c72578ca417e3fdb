// The Windows host's screen with real GDI: displayPixels puts exactly the source
// rectangle's colours where the plug-in asks and nothing elsewhere, refuses what it
// cannot read without touching the device, and the main window reaches the plug-in
// as the owner in both records.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "test_pixel_maps.h"
#include "tm_sim_window.h"

namespace {

constexpr int32_t kW = 64, kH = 48;
constexpr uint32_t kUntouched = 0x123456;

// A memory device context on a top-down 32-bit bitmap filled with kUntouched; its
// pixels are read back with GetDIBits, as a screen would be.
struct Canvas {
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP bitmap = nullptr;
    HGDIOBJ previous = nullptr;
    BITMAPINFO info{};
    Canvas()
    {
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = kW;
        info.bmiHeader.biHeight = -kH;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        void* bits = nullptr;
        bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        previous = SelectObject(dc, bitmap);
        std::fill_n(static_cast<uint32_t*>(bits), kW * kH, kUntouched);
    }
    ~Canvas()
    {
        SelectObject(dc, previous);
        DeleteObject(bitmap);
        DeleteDC(dc);
    }
    std::vector<uint32_t> pixels()
    {
        std::vector<uint32_t> out(kW * kH);
        BITMAPINFO query = info;
        SelectObject(dc, previous); // GetDIBits wants the bitmap out of any DC
        EXPECT_EQ(GetDIBits(dc, bitmap, 0, kH, out.data(), &query, DIB_RGB_COLORS), kH);
        SelectObject(dc, bitmap);
        for (uint32_t& p : out)
            p &= 0xFFFFFF;
        return out;
    }
};

TEST(SimWindow, DisplayPixelsDrawsTheSourceRectangleAtTheDestinationAndNothingElse)
{
    struct Case {
        const char* what;
        int32_t mode;
        bool packed;
        TMVRect bounds, src; // bounds' size is always 5 x 4
        int32_t dstRow, dstCol;
    };
    const Case cases[] = {
        {"planar RGB where the dialog puts it", TMModeRGBColor, false, {10, 20, 14, 25}, {10, 20, 14, 25}, 10, 20},
        {"planar RGB, part, elsewhere", TMModeRGBColor, false, {0, 0, 4, 5}, {1, 2, 3, 5}, 30, 40},
        {"interleaved RGB", TMModeRGBColor, true, {-7, 3, -3, 8}, {-7, 3, -3, 8}, 0, 0},
        {"grey", TMModeGrayScale, false, {0, 0, 4, 5}, {0, 1, 4, 4}, 43, 59},
        {"clipped by the device", TMModeRGBColor, false, {0, 0, 4, 5}, {0, 0, 4, 5}, 46, 62},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Canvas canvas;
        TestPixelMap source(5, 4, c.mode == TMModeGrayScale ? 1 : 3, c.mode, c.packed, c.bounds.top, c.bounds.left);
        ASSERT_EQ(tmsim::GdiDisplayPixels(&source.map, &c.src, c.dstRow, c.dstCol, canvas.dc), TMNoErr);
        const std::vector<uint32_t> shown = canvas.pixels();
        int wrong = 0;
        for (int32_t row = 0; row < kH; ++row)
            for (int32_t col = 0; col < kW; ++col) {
                // The map pixel that lands here, if any.
                const int32_t x = col - c.dstCol + c.src.left - c.bounds.left;
                const int32_t y = row - c.dstRow + c.src.top - c.bounds.top;
                const bool inside = col - c.dstCol >= 0 && col - c.dstCol < c.src.right - c.src.left &&
                                    row - c.dstRow >= 0 && row - c.dstRow < c.src.bottom - c.src.top;
                const uint32_t expected = inside ? TestColour(c.mode, x, y) : kUntouched;
                wrong += shown[static_cast<size_t>(row * kW + col)] != expected ? 1 : 0;
            }
        EXPECT_EQ(wrong, 0);
    }
}

TEST(SimWindow, DisplayPixelsRefusesWithoutTouchingTheDevice)
{
    TestPixelMap source(5, 4, 3, TMModeRGBColor, false, 0, 0);
    TMPixelMap& map = source.map;
    Canvas canvas;
    const TMVRect src = map.bounds, outside{0, 0, 5, 5};
    EXPECT_EQ(tmsim::GdiDisplayPixels(&map, &src, 0, 0, nullptr), TMFilterBadParameters);
    EXPECT_EQ(tmsim::GdiDisplayPixels(nullptr, &src, 0, 0, canvas.dc), TMFilterBadParameters);
    EXPECT_EQ(tmsim::GdiDisplayPixels(&map, &outside, 0, 0, canvas.dc), TMFilterBadParameters);
    map.planeBytes = 4; // planes overlapping
    EXPECT_EQ(tmsim::GdiDisplayPixels(&map, &src, 0, 0, canvas.dc), TMFilterBadParameters);
    map.planeBytes = 20;
    map.imageMode = TMModeIndexedColor;
    EXPECT_EQ(tmsim::GdiDisplayPixels(&map, &src, 0, 0, canvas.dc), TMFilterBadMode);
    const std::vector<uint32_t> shown = canvas.pixels();
    EXPECT_EQ(std::count(shown.begin(), shown.end(), kUntouched), kW * kH);
}

// A stand-in plug-in: notes the owner window of every call and draws in Start
// through the record's displayPixels, as a dialog paints.
std::vector<intptr_t> gWindows;
std::function<void(TMFilterRecord&)> gOnStart;

void probeEntry(int16_t selector, void* record, intptr_t*, int16_t* result)
{
    *result = TMNoErr;
    const TMPlatformData* platform =
        selector == TMSelectorAbout
            ? static_cast<TMAboutRecord*>(record)->platformData
            : static_cast<const TMPlatformData*>(static_cast<TMFilterRecord*>(record)->platformData);
    gWindows.push_back(platform ? platform->hwnd : -1);
    if (selector == TMSelectorStart && gOnStart)
        gOnStart(*static_cast<TMFilterRecord*>(record));
}

TEST(SimWindow, TheMainWindowOwnsThePluginsCallsAndShowsTheTestPattern)
{
    const HWND window = tmsim::CreateMainWindow("tmhost test");
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(IsWindowVisible(window));

    TestPixelMap source(5, 4, 3, TMModeRGBColor, false, 0, 0);
    Canvas canvas;
    TMOSErr drawn = -1;
    gWindows.clear();
    gOnStart = [&](TMFilterRecord& r) { drawn = r.displayPixels(&source.map, &source.map.bounds, 0, 0, canvas.dc); };
    float pixel[3] = {};
    tmsim::Document doc;
    doc.source = doc.destination = pixel;
    doc.width = doc.height = 1;
    doc.rowBytes = sizeof pixel;
    {
        tmsim::Host host(probeEntry, doc, tmsim::WindowOptions(window));
        EXPECT_EQ(host.run().result, TMNoErr);
        EXPECT_EQ(host.about(), TMNoErr);
    }
    gOnStart = nullptr;
    const auto expected = reinterpret_cast<intptr_t>(window);
    EXPECT_EQ(gWindows, (std::vector<intptr_t>{expected, expected, expected, expected, expected}));
    EXPECT_EQ(drawn, TMNoErr);
    EXPECT_EQ(canvas.pixels()[kW + 2], TestColour(TMModeRGBColor, 2, 1));

    // The pattern, drawn at (-16, -16) so that the canvas shows its top-left corner:
    // the white bar to x 63, the yellow one from 64; then the grey ramp from row 104
    // (column x shows x / 2) and the gap below it from row 152.
    Canvas pattern;
    ASSERT_EQ(tmsim::PaintTestPattern(pattern.dc, -16, -16), TMNoErr);
    const std::vector<uint32_t> shown = pattern.pixels();
    EXPECT_EQ(shown[static_cast<size_t>(10 * kW + 47)], 0xFFFFFFu);
    EXPECT_EQ(shown[static_cast<size_t>(10 * kW + 48)], 0xFFFF00u);
    Canvas ramp;
    ASSERT_EQ(tmsim::PaintTestPattern(ramp.dc, 0, -110), TMNoErr);
    const std::vector<uint32_t> grey = ramp.pixels();
    EXPECT_EQ(grey[static_cast<size_t>(0 * kW + 0)], 0x000000u);
    EXPECT_EQ(grey[static_cast<size_t>(0 * kW + 63)], 31u * 0x010101u);
    EXPECT_EQ(grey[static_cast<size_t>(41 * kW + 10)], 5u * 0x010101u);
    EXPECT_EQ(grey[static_cast<size_t>(42 * kW + 10)], kUntouched);

    DestroyWindow(window);
    MSG quit; // the window's quit message must not end a later test's message loop
    PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
}

} // namespace
