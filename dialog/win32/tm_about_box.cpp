#include <windows.h>

#include "tm_dialog_ids.h"
#include "tm_dialog_win32.h"
#include "tm_preview_pane.h"

namespace {

// The button row the template reserves at its bottom, in dialog units: the box is
// shown without it.
constexpr int kButtonRowUnits = 15;

HFONT titleFont = nullptr;

void place(HWND box)
{
    RECT shape;
    GetWindowRect(box, &shape);
    RECT row{0, 0, 0, kButtonRowUnits};
    MapDialogRect(box, &row);
    const int width = shape.right - shape.left;
    const int height = shape.bottom - shape.top - row.bottom;

    HWND parent = GetParent(box);
    if (!parent)
        parent = GetDesktopWindow();
    RECT area;
    GetClientRect(parent, &area);
    POINT origin{0, 0};
    ClientToScreen(parent, &origin);
    const TMPaneRect parentRect{origin.x, origin.y, origin.x + area.right, origin.y + area.bottom};
    const bool systemMenu = (GetWindowLongA(box, GWL_STYLE) & WS_SYSMENU) != 0;
    const TMPanePoint at = TMAboutBoxOrigin(parentRect, width, height, GetSystemMetrics(SM_CXSCREEN),
                                            GetSystemMetrics(SM_CYSCREEN), GetSystemMetrics(SM_CXSIZE), systemMenu);
    SetWindowPos(box, nullptr, at.x, at.y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR CALLBACK aboutProc(HWND box, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        titleFont = CreateFontA(14, 0, 0, 0, FW_BOLD, 0, 0, 0, 0, 0, 0, 0, 0, "Verdana");
        SendDlgItemMessageA(box, TM_ID_ABOUT_TITLE, WM_SETFONT, reinterpret_cast<WPARAM>(titleFont), TRUE);
        place(box);
        return TRUE;
    case WM_LBUTTONDOWN: EndDialog(box, IDOK); return TRUE;
    case WM_CHAR:
        if (wParam == VK_RETURN || wParam == VK_ESCAPE)
            EndDialog(box, IDOK);
        return TRUE;
    case WM_COMMAND:
        // The dialog manager turns Enter and Escape into these.
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)
            EndDialog(box, IDOK);
        return TRUE;
    case WM_DESTROY:
        if (titleFont)
            DeleteObject(titleFont);
        titleFont = nullptr;
        return FALSE;
    default: return FALSE;
    }
}

} // namespace

void TMShowAboutBox(intptr_t owner)
{
    DialogBoxParamA(TMModule(), MAKEINTRESOURCEA(TM_ABOUT_DIALOG_ID), reinterpret_cast<HWND>(owner), aboutProc, 0);
}
