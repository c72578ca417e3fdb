// TMProc, the settings dialog's procedure, with the preview pane's Win32 steps. Every
// decision is made by the plain functions of dialog/ (tm_dialog_logic.h); this file
// moves their results to the controls and back.
#include <windows.h>

#include <string>
#include <vector>

#include "host_access.h"
#include "tm_dialog_ids.h"
#include "tm_dialog_logic.h"
#include "tm_dialog_win32.h"
#include "tm_last_settings.h"
#include "tm_preview_host.h"

namespace {

void applyUpdates(HWND dialog, const std::vector<TMControlUpdate>& updates)
{
    for (const TMControlUpdate& u : updates) {
        if (u.kind == TMControlUpdate::Text) {
            SetDlgItemTextA(dialog, u.controlId, u.text.c_str());
            continue;
        }
        SCROLLINFO si{};
        si.cbSize = sizeof si;
        si.fMask = u.kind == TMControlUpdate::SliderRange ? SIF_RANGE | SIF_POS : SIF_POS;
        si.nMin = 0;
        si.nMax = u.maximum;
        si.nPos = u.position;
        SetScrollInfo(GetDlgItem(dialog, u.controlId), SB_CTL, &si, TRUE);
    }
}

// A control's window rectangle in the dialog's client coordinates.
RECT clientRectOf(HWND dialog, int id)
{
    RECT r{};
    GetWindowRect(GetDlgItem(dialog, id), &r);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

void TMUpdatePreview(HWND dialog)
{
    TMDialogRun& run = TMCurrentDialogRun();
    if (run.result != 0)
        return;
    run.result = TMRenderPreview(run.record, run.params, run.globals, &run.view);
    // The preview's area, at least the preview's size, without erasing; the
    // histogram's, erased.
    RECT frame;
    GetWindowRect(GetDlgItem(dialog, TM_ID_PREVIEW_FRAME), &frame);
    if (frame.right - frame.left < run.globals->previewWidth)
        frame.right = frame.left + run.globals->previewWidth;
    if (frame.bottom - frame.top < run.globals->previewHeight)
        frame.bottom = frame.top + run.globals->previewHeight;
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&frame), 2);
    InvalidateRect(dialog, &frame, FALSE);
    const RECT histogram = clientRectOf(dialog, TM_ID_HISTOGRAM_FRAME);
    InvalidateRect(dialog, &histogram, TRUE);
}

// After a change of side: the dialog grows to leave 10 pixels right of and below the
// preview, or shrinks back, never below its size at start; the frame takes the
// preview's size.
void TMFitDialogToPreview(HWND dialog)
{
    const TMDialogRun& run = TMCurrentDialogRun();
    int w = run.startWidth, h = run.startHeight;
    RECT d, p;
    GetWindowRect(dialog, &d);
    HWND frame = GetDlgItem(dialog, TM_ID_PREVIEW_FRAME);
    GetWindowRect(frame, &p);
    const int pw = run.globals->previewWidth, ph = run.globals->previewHeight;
    if ((p.left - d.left) + pw > w)
        w = (p.left - d.left) + pw + 10;
    if ((p.top - d.top) + ph > h)
        h = (p.top - d.top) + ph + 10;
    SetWindowPos(dialog, nullptr, 0, 0, w, h, SWP_NOMOVE | SWP_NOZORDER);
    SetWindowPos(frame, nullptr, 0, 0, pw, ph, SWP_NOMOVE | SWP_NOZORDER);
}

void TMEnableSettingControls(HWND dialog, bool enable)
{
    for (const int32_t id : kTMSettingControls)
        EnableWindow(GetDlgItem(dialog, id), enable);
}

void start(HWND dialog)
{
    TMDialogRun& run = TMCurrentDialogRun();
    TMParameters* params = run.params;
    // The tone-mapped view first, whatever the last run ended with (the toggle's text,
    // the enabled controls and the picture then agree).
    TMBeginDialogRun(params);
    run.result = TMSetPreviewSize(run.record, run.globals, 512);
    TMAcquirePreviewBuffers(run.record, run.globals);
    RECT size;
    GetWindowRect(dialog, &size);
    run.startWidth = size.right - size.left;
    run.startHeight = size.bottom - size.top;
    loadLastSettings(params);
    applyUpdates(dialog, TMInitialControls(params->settings));
    run.helpFont = CreateFontA(16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, "Verdana");
    run.noteFont = CreateFontA(12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, "Verdana");
    SendDlgItemMessageA(dialog, TM_ID_HELP, WM_SETFONT, reinterpret_cast<WPARAM>(run.helpFont), TRUE);
    SendDlgItemMessageA(dialog, TM_ID_NOTE_TEXT, WM_SETFONT, reinterpret_cast<WPARAM>(run.noteFont), TRUE);
    SetDlgItemTextA(dialog, TM_ID_NOTE_TEXT, " ");
    EnableWindow(GetDlgItem(dialog, TM_ID_IMAGE360), run.globals->width > run.globals->height);
    CheckDlgButton(dialog, TM_ID_IMAGE360, params->settings.image360 ? BST_CHECKED : BST_UNCHECKED);
    TMInstallNoteProcedures(dialog);
    CheckRadioButton(dialog, TM_ID_SIZE_512, TM_ID_SIZE_1024, TM_ID_SIZE_512);
    loadLastFolder(TMLastFolder());
    if (run.globals->sampleFormat == TMSampleFloat32 && run.result == 0)
        run.result = TMMeasureInputMinima(run.record, run.globals);
    SetDlgItemTextA(dialog, TM_ID_SHOW_ORIGINAL, TMShowOriginalText(*params));
    TMUpdatePreview(dialog);
}

void finish(HWND dialog, int id)
{
    TMDialogRun& run = TMCurrentDialogRun();
    TMReleasePreviewBuffers(run.record, run.globals);
    saveLastSettings(*run.params);
    if (run.helpFont)
        DeleteObject(run.helpFont);
    if (run.noteFont)
        DeleteObject(run.noteFont);
    run.helpFont = run.noteFont = nullptr;
    EndDialog(dialog, id);
}

void scroll(HWND dialog, WPARAM wParam, LPARAM lParam)
{
    HWND bar = reinterpret_cast<HWND>(lParam);
    const TMSliderInfo* info = bar ? TMSliderWithControl(GetDlgCtrlID(bar)) : nullptr;
    if (!info)
        return;
    SCROLLINFO si{};
    si.cbSize = sizeof si;
    si.fMask = SIF_RANGE | SIF_PAGE | SIF_POS | SIF_TRACKPOS;
    if (!GetScrollInfo(bar, SB_CTL, &si))
        return;
    const TMScrollOutcome outcome = TMScrollRequest(info->slider, LOWORD(wParam), si.nPos, si.nTrackPos, si.nMax);
    if (outcome.move) {
        SCROLLINFO moved{};
        moved.cbSize = sizeof moved;
        moved.fMask = SIF_POS;
        moved.nPos = outcome.position;
        SetScrollInfo(bar, SB_CTL, &moved, TRUE);
        SetDlgItemTextA(dialog, info->controlId + TM_ID_LABEL_OFFSET, outcome.label.c_str());
    }
    if (outcome.store) {
        TMStoreSlider(TMCurrentDialogRun().params, info->slider, outcome);
        TMUpdatePreview(dialog);
    }
}

void message(HWND dialog, const char* text) { MessageBoxA(dialog, text, "Error", MB_OK); }

// WM_COMMAND; true when the procedure answers TRUE.
bool command(HWND dialog, int id, int notification)
{
    TMDialogRun& run = TMCurrentDialogRun();
    TMParameters* params = run.params;
    if (id == TM_ID_SHOW_ORIGINAL) { // on any notification
        SetDlgItemTextA(dialog, id, TMToggleOriginal(params));
        TMEnableSettingControls(dialog, params->showPreview == 1);
        TMUpdatePreview(dialog);
        return false;
    }
    if (notification != BN_CLICKED)
        return false;
    switch (id) {
    case TM_ID_OK:
    case TM_ID_CANCEL: finish(dialog, id); return true;
    case TM_ID_PREVIOUS: {
        const auto store = TMUserSettingsStore();
        if (store) {
            applyUpdates(dialog, TMPreviousButton(params, *store));
            TMUpdatePreview(dialog);
        }
        return false;
    }
    case TM_ID_HELP: TMShowHelp(dialog); return true;
    case TM_ID_SIZE_512:
    case TM_ID_SIZE_768:
    case TM_ID_SIZE_1024: {
        const int32_t side = TMPreviewSideOfButtons(IsDlgButtonChecked(dialog, TM_ID_SIZE_768) == BST_CHECKED,
                                                    IsDlgButtonChecked(dialog, TM_ID_SIZE_1024) == BST_CHECKED);
        const int16_t sized = TMSetPreviewSize(run.record, run.globals, side);
        if (sized != 0)
            run.result = sized;
        TMPreviewSideChosen(params);
        TMUpdatePreview(dialog);
        TMFitDialogToPreview(dialog);
        return false;
    }
    case TM_ID_IMAGE360:
        CheckDlgButton(dialog, id, TMToggleImage360(params) ? BST_CHECKED : BST_UNCHECKED);
        return false;
    case TM_ID_DEFAULT:
        applyUpdates(dialog, TMDefaultButton(params, run.globals->sampleFormat));
        CheckDlgButton(dialog, TM_ID_IMAGE360, BST_UNCHECKED);
        TMUpdatePreview(dialog);
        return false;
    case TM_ID_LOAD: {
        std::vector<TMControlUpdate> updates;
        const int r = TMLoadSettingsFile(dialog, &updates);
        if (r > 0) {
            applyUpdates(dialog, updates);
            TMUpdatePreview(dialog);
        } else if (const char* text = TMLoadFailureMessage(r)) {
            message(dialog, text);
        }
        return false;
    }
    case TM_ID_SAVE: TMSaveSettingsFile(dialog); return false;
    default: return false;
    }
}

} // namespace

extern "C" INT_PTR CALLBACK TMProc(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg) {
    case WM_INITDIALOG: start(dialog); return TRUE;
    case WM_HSCROLL: scroll(dialog, wParam, lParam); return FALSE;
    case WM_COMMAND: return command(dialog, LOWORD(wParam), HIWORD(wParam)) ? TRUE : FALSE;
    case WM_PAINT:
        if (TMCurrentDialogRun().result == 0 && GetUpdateRect(dialog, nullptr, FALSE))
            TMPaintPreview(dialog);
        return FALSE;
    default: return FALSE;
    }
}
