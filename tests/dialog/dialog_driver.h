// Driving the settings dialog's controls as a user does, from code that runs on the
// dialog's own thread (a timer inside its modal loop): keys and mouse messages to the
// sliders, clicks on the buttons, and reading back what the controls show.
#pragma once

#include <windows.h>

#include <string>

#include "tm_dialog_ids.h"

inline std::string textOf(HWND window)
{
    char text[2048] = "";
    GetWindowTextA(window, text, sizeof text);
    return text;
}

inline void click(HWND dialog, int id)
{
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

// A key pressed and released on a slider (the arrows step, Home and End jump).
inline void key(HWND dialog, int id, WPARAM virtualKey)
{
    HWND bar = GetDlgItem(dialog, id);
    SendMessageA(bar, WM_KEYDOWN, virtualKey, 1);
    SendMessageA(bar, WM_KEYUP, virtualKey, 0xC0000001);
}

// The thumb dragged with the mouse to `position` and released: the control tracks
// the drag in a loop of its own, reading the posted mouse messages.
inline void drag(HWND dialog, int id, int from, int to, int maximum)
{
    HWND bar = GetDlgItem(dialog, id);
    RECT r;
    GetClientRect(bar, &r);
    const int arrow = GetSystemMetrics(SM_CXHSCROLL);
    const int thumb = GetSystemMetrics(SM_CXHTHUMB);
    const int track = r.right - 2 * arrow - thumb;
    auto xOf = [&](int p) { return arrow + thumb / 2 + track * p / maximum; };
    const int y = r.bottom / 2;
    PostMessageA(bar, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(xOf((from + to) / 2), y));
    PostMessageA(bar, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(xOf(to), y));
    PostMessageA(bar, WM_LBUTTONUP, 0, MAKELPARAM(xOf(to), y));
    SendMessageA(bar, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(xOf(from), y));
}

// A click in the trough, right of the thumb.
inline void trough(HWND dialog, int id)
{
    HWND bar = GetDlgItem(dialog, id);
    RECT r;
    GetClientRect(bar, &r);
    const int x = r.right - GetSystemMetrics(SM_CXHSCROLL) - 2;
    PostMessageA(bar, WM_LBUTTONUP, 0, MAKELPARAM(x, r.bottom / 2));
    SendMessageA(bar, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, r.bottom / 2));
}

inline int position(HWND dialog, int id) { return GetScrollPos(GetDlgItem(dialog, id), SB_CTL); }
inline std::string label(HWND dialog, int slider) { return textOf(GetDlgItem(dialog, slider + TM_ID_LABEL_OFFSET)); }
inline bool enabled(HWND dialog, int id) { return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE; }
inline SIZE sizeOf(HWND window)
{
    RECT r;
    GetWindowRect(window, &r);
    return SIZE{r.right - r.left, r.bottom - r.top};
}
