#include <windows.h>

#include <algorithm>
#include <vector>

#include "host_access.h"
#include "tm_dialog_ids.h"
#include "tm_dialog_logic.h"
#include "tm_dialog_win32.h"
#include "tm_preview_pane.h"

namespace {

// A control's window rectangle in the dialog's client coordinates.
RECT clientRectOf(HWND dialog, int id)
{
    RECT r{};
    GetWindowRect(GetDlgItem(dialog, id), &r);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

// For hosts that draw no pixel maps: the preview as a 24-bit bitmap, drawn by GDI.
void drawWithGdi(HDC dc, const uint8_t* image, int32_t width, int32_t height, int32_t planes, int left, int top)
{
    std::vector<uint8_t> rows;
    TMPreviewBitmapRows(image, width, height, planes, &rows);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height; // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    SetDIBitsToDevice(dc, left, top, static_cast<DWORD>(width), static_cast<DWORD>(height), 0, 0, 0,
                      static_cast<UINT>(height), rows.data(), &info, DIB_RGB_COLORS);
}

} // namespace

void TMPaintPreview(HWND dialog)
{
    TMDialogRun& run = TMCurrentDialogRun();
    const TMGlobals& g = *run.globals;
    const RECT frame = clientRectOf(dialog, TM_ID_PREVIEW_FRAME);
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(dialog, &paint);
    if (!dc) {
        EndPaint(dialog, &paint);
        return;
    }
    if (g.previewBuffer) {
        const TMPixelMap map = TMPreviewPixelMap(g.previewBuffer, g.previewWidth, g.previewHeight,
                                                 TMHostImageMode(run.record), frame.left, frame.top);
        if (TMHostDisplaysPixels(run.record))
            TMDisplayPixels(run.record, map, map.bounds, frame.top, frame.left, dc);
        else
            drawWithGdi(dc, g.previewBuffer, g.previewWidth, g.previewHeight, std::min(TMFilterPlanes(run.record), 3),
                        frame.left, frame.top);
    }
    if (g.histograms) {
        const RECT h = clientRectOf(dialog, TM_ID_HISTOGRAM_FRAME);
        for (const TMLine& line : TMHistogramLines(g.histograms, h.left, h.top, h.right, h.bottom)) {
            MoveToEx(dc, line.x0, line.y0, nullptr);
            LineTo(dc, line.x1, line.y1);
        }
    }
    EndPaint(dialog, &paint);
}
