#include <windows.h>

#include "tm_control_notes.h"
#include "tm_dialog_ids.h"
#include "tm_dialog_win32.h"

namespace {

// The controls with a note, in the order their procedures are installed, and the
// procedure each had before (saved anew at every dialog start: each run creates new
// controls).
constexpr int kNoted[] = {TM_ID_LUMINOSITY, TM_ID_STRENGTH,      TM_ID_WHITE_CLIP,    TM_ID_BLACK_CLIP,
                          TM_ID_SATURATION, TM_ID_SMOOTHING,     TM_ID_MICROCONTRAST, TM_ID_MICROSMOOTHING,
                          TM_ID_IMAGE360,   TM_ID_PREVIOUS,      TM_ID_DEFAULT,       TM_ID_LOAD,
                          TM_ID_SAVE,       TM_ID_SHOW_ORIGINAL, TM_ID_HELP};
constexpr int kCount = sizeof kNoted / sizeof kNoted[0];
WNDPROC previous[kCount] = {};

int indexOf(int id)
{
    for (int i = 0; i < kCount; ++i)
        if (kNoted[i] == id)
            return i;
    return -1;
}

LRESULT CALLBACK TMNoteProc(HWND control, UINT message, WPARAM wParam, LPARAM lParam)
{
    const int id = GetDlgCtrlID(control);
    const int i = indexOf(id);
    if (message == WM_MOUSEMOVE)
        SetDlgItemTextA(GetParent(control), TM_ID_NOTE_TEXT, TMControlNote(id));
    // Every message reaches the control's own procedure, so it behaves as without the note.
    return i >= 0 && previous[i] ? CallWindowProcA(previous[i], control, message, wParam, lParam)
                                 : DefWindowProcA(control, message, wParam, lParam);
}

} // namespace

void TMInstallNoteProcedures(HWND dialog)
{
    // The pointer-sized form: a 64-bit procedure address does not fit a LONG.
    for (int i = 0; i < kCount; ++i) {
        HWND control = GetDlgItem(dialog, kNoted[i]);
        previous[i] = control ? reinterpret_cast<WNDPROC>(
                                    SetWindowLongPtrA(control, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&TMNoteProc)))
                              : nullptr;
    }
}
