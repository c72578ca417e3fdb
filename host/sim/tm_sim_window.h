// The Windows host's screen: its displayPixels, which draws a pixel map on a
// device context with GDI, and its main window, the owner of the plug-in's dialogs,
// which shows a test pattern through that same displayPixels.
#pragma once

#include <windows.h>

#include <cstdint>

#include "tm_sim_host.h"

namespace tmsim {

// displayPixels for a Windows device context (`platformContext` is the HDC): the
// source rectangle of the map, checked as ReadPixelMap checks it, drawn 1:1 with
// its top-left pixel at device row `dstRow`, column `dstCol`. Masks and colour
// management options are not applied. noErr; the check's error, with nothing drawn;
// filterBadParameters when GDI refuses the drawing.
TMOSErr GdiDisplayPixels(const TMPixelMap* source, const TMVRect* srcRect, int32_t dstRow, int32_t dstCol,
                         void* platformContext);

// Size of the test pattern, in pixels.
constexpr int32_t kTestPatternWidth = 512;
constexpr int32_t kTestPatternHeight = 304;

// Draws the test pattern with its top-left corner at (left, top), one
// GdiDisplayPixels call per row of patches:
//   rows 0..95    eight colour bars from a planar RGB map: white, yellow, cyan,
//                 green, magenta, red, blue, black, 64 pixels wide each
//   rows 104..151 a grey ramp from a grey map, 0 at the left to 255 at the right
//                 (column x shows x / 2)
//   rows 160..223 an interleaved RGB map: red rising to the right, blue downwards
//   rows 232..303 a Lab map at L 70 (a from -64 to +63 left to right, b from +63
//                 to -63 downwards) beside four CMYK patches (cyan, magenta,
//                 yellow, black ink), 64 pixels wide each
// noErr or the first error of a call.
TMOSErr PaintTestPattern(HDC dc, int32_t left, int32_t top);

// Creates and shows the host's main window: a plain top-level window titled
// `title` whose client area shows the test pattern. It posts the quit message when
// it is destroyed. Null when the window cannot be made.
HWND CreateMainWindow(const char* title);

// InteractiveOptions (tm_sim_run.h) with this main window and GdiDisplayPixels.
Options WindowOptions(HWND mainWindow);

} // namespace tmsim
