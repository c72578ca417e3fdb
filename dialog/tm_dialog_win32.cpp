// The settings dialog on Windows. Every decision is the plain logic's
// (tm_dialog_logic.h); this file reads the controls, hands their state to it, and
// applies what it returns. One modal dialog runs at a time, on the host's thread.
#include "tm_dialog_win32.h"

#include <commdlg.h>
#include <shellapi.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "host_access.h"
#include "plugin_main.h"
#include "tm_control_notes.h"
#include "tm_dialog_ids.h"
#include "tm_dialog_logic.h"
#include "tm_last_settings.h"
#include "tm_preview.h"
#include "tm_preview_host.h"
#include "tm_settings_store.h"

namespace {

HINSTANCE gModule = nullptr;

// The module recorded at load, or the one holding this code (a loader that skipped
// the plug-in's DllMain).
HINSTANCE module()
{
    if (!gModule) {
        HMODULE own = nullptr;
        if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                               reinterpret_cast<LPCSTR>(&gModule), &own))
            gModule = own;
    }
    return gModule;
}

// The last-used folder of the settings files: plug-in wide, kept from one dialog
// run to the next while the plug-in stays loaded.
char gFolder[kTMFolderSize] = "";

// The controls with a note, in the order their note procedures are installed.
const int32_t kNoteControls[15] = {
    TM_ID_LUMINOSITY, TM_ID_STRENGTH, TM_ID_WHITE_CLIP, TM_ID_BLACK_CLIP, TM_ID_SATURATION,
    TM_ID_SMOOTHING,  TM_ID_MICROCONTRAST, TM_ID_MICROSMOOTHING, TM_ID_IMAGE360, TM_ID_PREVIOUS,
    TM_ID_DEFAULT,    TM_ID_LOAD,         TM_ID_SAVE,       TM_ID_SHOW_ORIGINAL, TM_ID_HELP,
};

// What one dialog run works on.
struct DialogRun {
    TMFilterRecord* record;
    TMParameters* params;
    TMGlobals* globals;
    int16_t* result;
    TMPreviewView view;
    int32_t startWidth = 0, startHeight = 0; // the dialog's window size at start, pixels
    HFONT helpFont = nullptr, noteFont = nullptr;
    WNDPROC previous[15] = {};
};

DialogRun* gRun = nullptr;

bool failed() { return *gRun->result != TMNoErr; }

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
RECT clientRect(HWND dialog, int32_t id)
{
    RECT r{};
    GetWindowRect(GetDlgItem(dialog, id), &r);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

// --- Preview pane --------------------------------------------------------------------

void updatePreview(HWND dialog)
{
    if (failed())
        return;
    *gRun->result = TMRenderPreview(gRun->record, gRun->params, gRun->globals, &gRun->view);
    const TMGlobals& g = *gRun->globals;
    RECT frame{};
    GetWindowRect(GetDlgItem(dialog, TM_ID_PREVIEW_FRAME), &frame);
    frame.right = std::max<LONG>(frame.right, frame.left + g.previewWidth);
    frame.bottom = std::max<LONG>(frame.bottom, frame.top + g.previewHeight);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&frame), 2);
    InvalidateRect(dialog, &frame, FALSE);
    const RECT histogram = clientRect(dialog, TM_ID_HISTOGRAM_FRAME);
    InvalidateRect(dialog, &histogram, TRUE);
}

void fitDialogToPreview(HWND dialog)
{
    const TMGlobals& g = *gRun->globals;
    int32_t w = gRun->startWidth, h = gRun->startHeight;
    RECT d{}, p{};
    GetWindowRect(dialog, &d);
    HWND frame = GetDlgItem(dialog, TM_ID_PREVIEW_FRAME);
    GetWindowRect(frame, &p);
    if ((p.left - d.left) + g.previewWidth > w)
        w = (p.left - d.left) + g.previewWidth + 10;
    if ((p.top - d.top) + g.previewHeight > h)
        h = (p.top - d.top) + g.previewHeight + 10;
    const UINT keep = SWP_NOMOVE | SWP_NOZORDER;
    SetWindowPos(dialog, nullptr, 0, 0, w, h, keep);
    SetWindowPos(frame, nullptr, 0, 0, g.previewWidth, g.previewHeight, keep);
}

// The preview drawn by the plug-in, for hosts without displayPixels: the planar
// bytes as a top-down 24-bit image (one plane: grey).
void drawPixelsWithGdi(HDC dc, const TMGlobals& g, int32_t planes, int32_t left, int32_t top)
{
    const int32_t w = g.previewWidth, h = g.previewHeight;
    if (w <= 0 || h <= 0 || !g.previewBuffer)
        return;
    const size_t stride = (static_cast<size_t>(w) * 3 + 3) & ~size_t{3};
    std::vector<uint8_t> rows(stride * static_cast<size_t>(h));
    const size_t plane = static_cast<size_t>(w) * h;
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) {
            const size_t at = static_cast<size_t>(y) * w + x;
            uint8_t* px = &rows[static_cast<size_t>(y) * stride + static_cast<size_t>(x) * 3];
            px[2] = g.previewBuffer[at];                                      // red
            px[1] = g.previewBuffer[planes > 1 ? plane * ((planes - 1) / 2) + at : at];
            px[0] = g.previewBuffer[plane * static_cast<size_t>(planes - 1) + at]; // blue
        }
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h; // top-down
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 24;
    bi.bmiHeader.biCompression = BI_RGB;
    SetDIBitsToDevice(dc, left, top, static_cast<DWORD>(w), static_cast<DWORD>(h), 0, 0, 0, static_cast<UINT>(h),
                      rows.data(), &bi, DIB_RGB_COLORS);
}

void paintPreview(HWND dialog)
{
    const TMGlobals& g = *gRun->globals;
    const RECT frame = clientRect(dialog, TM_ID_PREVIEW_FRAME);
    const int32_t L = frame.left, T = frame.top;
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(dialog, &ps);
    if (!dc) {
        EndPaint(dialog, &ps);
        return;
    }
    const int32_t planes = TMFilterPlanes(gRun->record);
    TMPixelMap map{};
    map.version = 1;
    map.bounds = TMVRect{T, L, T + g.previewHeight, L + g.previewWidth};
    map.imageMode = TMPixelMapMode(TMHostImageMode(gRun->record));
    map.rowBytes = g.previewWidth;
    map.colBytes = 1;
    map.planeBytes = g.previewWidth * g.previewHeight;
    map.baseAddr = g.previewBuffer;
    if (g.previewBuffer &&
        TMDisplayPixels(gRun->record, map, map.bounds, T, L, dc) == TMFilterBadParameters)
        drawPixelsWithGdi(dc, g, planes, L, T);

    if (g.histograms) {
        const RECT h = clientRect(dialog, TM_ID_HISTOGRAM_FRAME);
        for (const TMLine& line : TMHistogramLines(g.histograms, h.left, h.top, h.right, h.bottom)) {
            MoveToEx(dc, line.x0, line.y0, nullptr);
            LineTo(dc, line.x1, line.y1);
        }
    }
    EndPaint(dialog, &ps);
}

void enableSettingControls(HWND dialog, bool enable)
{
    for (const int32_t id : kTMSettingControls)
        EnableWindow(GetDlgItem(dialog, id), enable ? TRUE : FALSE);
}

// --- Notes ---------------------------------------------------------------------------

LRESULT CALLBACK TMNoteProc(HWND control, UINT message, WPARAM wParam, LPARAM lParam)
{
    const int32_t id = GetDlgCtrlID(control);
    const int32_t* at = std::find(std::begin(kNoteControls), std::end(kNoteControls), id);
    WNDPROC previous = gRun && at != std::end(kNoteControls) ? gRun->previous[at - kNoteControls] : nullptr;
    if (message == WM_MOUSEMOVE) {
        if (const char* note = TMControlNote(id))
            SetDlgItemTextA(GetParent(control), TM_ID_NOTE_TEXT, note);
    }
    return previous ? CallWindowProcA(previous, control, message, wParam, lParam)
                    : DefWindowProcA(control, message, wParam, lParam);
}

void installNotes(HWND dialog)
{
    for (size_t i = 0; i < std::size(kNoteControls); ++i) {
        HWND control = GetDlgItem(dialog, kNoteControls[i]);
        // The pointer-sized call: a procedure address does not fit 32 bits on 64-bit
        // Windows.
        gRun->previous[i] = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrA(control, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&TMNoteProc)));
    }
}

// --- Settings files and help ---------------------------------------------------------

using FileDialog = BOOL(WINAPI*)(LPOPENFILENAMEA);

// The common file dialog, loaded when first needed: the plug-in imports no comdlg32.
FileDialog fileDialog(const char* name)
{
    static HMODULE comdlg = LoadLibraryA("comdlg32.dll");
    return comdlg ? reinterpret_cast<FileDialog>(reinterpret_cast<void*>(GetProcAddress(comdlg, name))) : nullptr;
}

// Shows an open or save dialog; false when the user cancelled (or it is missing).
bool chooseFile(HWND dialog, bool save, char* path)
{
    const FileDialog show = fileDialog(save ? "GetSaveFileNameA" : "GetOpenFileNameA");
    if (!show)
        return false;
    OPENFILENAMEA ofn{};
    ofn.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
    ofn.hwndOwner = dialog;
    ofn.lpstrFilter = save ? ".xmp <Extensible Metadata Platform>\0*.xmp\0\0" : "Tone Mapping Settings (.xmp)\0*.xmp\0\0";
    ofn.nFilterIndex = 0;
    ofn.lpstrFile = path;
    ofn.nMaxFile = MAX_PATH;
    ofn.lpstrInitialDir = TMOffersFolder(gFolder) ? gFolder : nullptr;
    ofn.Flags = save ? OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY
                     : OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
    if (!show(&ofn))
        return false;
    if (TMFolderOfPath(path, gFolder))
        saveLastFolder(gFolder);
    return true;
}

int loadSettingsFile(HWND dialog, std::vector<TMControlUpdate>* updates)
{
    char path[MAX_PATH] = "";
    if (!chooseFile(dialog, false, path))
        return 0;
    return TMReadSettingsFile(path, gRun->params, updates);
}

int saveSettingsFile(HWND dialog)
{
    char path[MAX_PATH] = "ToneMappingSettings.xmp";
    if (!chooseFile(dialog, true, path))
        return 0;
    return TMWriteSettingsFile(path, *gRun->params);
}

void showHelp(HWND dialog)
{
    char folder[MAX_PATH] = "";
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Quarrystone\\Kestrimond\\ToneMappingPlugin", 0, KEY_READ,
                      &key) == ERROR_SUCCESS) {
        DWORD type = 0, size = sizeof folder - 1;
        if (RegQueryValueExA(key, "Path", nullptr, &type, reinterpret_cast<BYTE*>(folder), &size) != ERROR_SUCCESS ||
            type != REG_SZ)
            folder[0] = '\0';
        folder[sizeof folder - 1] = '\0';
        RegCloseKey(key);
    }
    const std::string path = TMHelpFilePath(folder);
    const HINSTANCE opened = ShellExecuteA(dialog, "open", path.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    if (reinterpret_cast<INT_PTR>(opened) <= 32)
        MessageBoxA(dialog, TMHelpMissingMessage(path).c_str(), "Error", MB_OK);
}

// --- The dialog procedure ------------------------------------------------------------

void initDialog(HWND dialog)
{
    DialogRun& run = *gRun;
    int16_t code = TMSetPreviewSize(run.record, run.globals, 512);
    if (code != TMNoErr)
        *run.result = code;
    TMAcquirePreviewBuffers(run.record, run.globals); // without them the preview reports memory full
    RECT window{};
    GetWindowRect(dialog, &window);
    run.startWidth = window.right - window.left;
    run.startHeight = window.bottom - window.top;
    TMBeginDialogRun(run.params);
    loadLastSettings(run.params);
    applyUpdates(dialog, TMInitialControls(run.params->settings));

    run.helpFont = CreateFontA(16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, "Verdana");
    run.noteFont = CreateFontA(12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, "Verdana");
    SendDlgItemMessageA(dialog, TM_ID_HELP, WM_SETFONT, reinterpret_cast<WPARAM>(run.helpFont), TRUE);
    SendDlgItemMessageA(dialog, TM_ID_NOTE_TEXT, WM_SETFONT, reinterpret_cast<WPARAM>(run.noteFont), TRUE);
    SetDlgItemTextA(dialog, TM_ID_NOTE_TEXT, " ");
    if (run.globals->width > run.globals->height)
        EnableWindow(GetDlgItem(dialog, TM_ID_IMAGE360), TRUE);
    CheckDlgButton(dialog, TM_ID_IMAGE360, run.params->settings.image360 ? BST_CHECKED : BST_UNCHECKED);
    installNotes(dialog);
    CheckRadioButton(dialog, TM_ID_SIZE_512, TM_ID_SIZE_1024, TM_ID_SIZE_512);
    loadLastFolder(gFolder);
    if (run.globals->sampleFormat == TMSampleFloat32 && !failed()) {
        code = TMMeasureInputMinima(run.record, run.globals);
        if (code != TMNoErr)
            *run.result = code;
    }
    updatePreview(dialog);
}

void endDialog(HWND dialog, int32_t id)
{
    DialogRun& run = *gRun;
    TMReleasePreviewBuffers(run.record, run.globals);
    saveLastSettings(*run.params);
    EndDialog(dialog, id);
}

void slider(HWND dialog, WPARAM wParam, LPARAM lParam)
{
    HWND control = reinterpret_cast<HWND>(lParam);
    if (!control)
        return;
    const TMSliderInfo* s = TMSliderWithControl(GetDlgCtrlID(control));
    if (!s)
        return;
    SCROLLINFO si{};
    si.cbSize = sizeof si;
    si.fMask = SIF_RANGE | SIF_PAGE | SIF_POS | SIF_TRACKPOS;
    if (!GetScrollInfo(control, SB_CTL, &si))
        return;
    const TMScrollOutcome out = TMScrollRequest(s->slider, LOWORD(wParam), si.nPos, si.nTrackPos, si.nMax);
    if (out.move) {
        si.fMask = SIF_POS;
        si.nPos = out.position;
        SetScrollInfo(control, SB_CTL, &si, TRUE);
        SetDlgItemTextA(dialog, s->controlId + TM_ID_LABEL_OFFSET, out.label.c_str());
    }
    if (out.store) {
        TMStoreSlider(gRun->params, s->slider, out);
        updatePreview(dialog);
    }
}

// Returns TMProc's answer for WM_COMMAND.
INT_PTR command(HWND dialog, int32_t id, int32_t notification)
{
    DialogRun& run = *gRun;
    if (id == TM_ID_SHOW_ORIGINAL) { // on any notification
        SetDlgItemTextA(dialog, id, TMToggleOriginal(run.params));
        enableSettingControls(dialog, run.params->showPreview == 1);
        updatePreview(dialog);
        return FALSE;
    }
    if (notification != BN_CLICKED)
        return FALSE;
    switch (id) {
    case TM_ID_OK:
    case TM_ID_CANCEL:
        endDialog(dialog, id);
        return TRUE;
    case TM_ID_PREVIOUS:
        if (std::unique_ptr<TMSettingsStore> store = TMUserSettingsStore()) {
            applyUpdates(dialog, TMPreviousButton(run.params, *store));
            updatePreview(dialog);
        }
        return FALSE;
    case TM_ID_HELP:
        showHelp(dialog);
        return TRUE;
    case TM_ID_SIZE_512:
    case TM_ID_SIZE_768:
    case TM_ID_SIZE_1024: {
        const int32_t side = TMPreviewSideOfButtons(IsDlgButtonChecked(dialog, TM_ID_SIZE_768) == BST_CHECKED,
                                                    IsDlgButtonChecked(dialog, TM_ID_SIZE_1024) == BST_CHECKED);
        const int16_t code = TMSetPreviewSize(run.record, run.globals, side);
        if (code != TMNoErr)
            *run.result = code;
        TMPreviewSideChosen(run.params);
        updatePreview(dialog);
        fitDialogToPreview(dialog);
        return FALSE;
    }
    case TM_ID_IMAGE360:
        CheckDlgButton(dialog, id, TMToggleImage360(run.params) ? BST_CHECKED : BST_UNCHECKED);
        return FALSE;
    case TM_ID_DEFAULT:
        applyUpdates(dialog, TMDefaultButton(run.params, run.globals->sampleFormat));
        CheckDlgButton(dialog, TM_ID_IMAGE360, BST_UNCHECKED);
        updatePreview(dialog);
        return FALSE;
    case TM_ID_LOAD: {
        std::vector<TMControlUpdate> updates;
        const int r = loadSettingsFile(dialog, &updates);
        if (r > 0) {
            applyUpdates(dialog, updates);
            updatePreview(dialog);
        } else if (const char* message = TMLoadFailureMessage(r)) {
            MessageBoxA(dialog, message, "Error", MB_OK);
        }
        return FALSE;
    }
    case TM_ID_SAVE:
        saveSettingsFile(dialog); // a failed save is not reported
        return FALSE;
    default:
        return FALSE;
    }
}

// --- About box -----------------------------------------------------------------------

INT_PTR CALLBACK aboutProc(HWND box, UINT message, WPARAM wParam, LPARAM)
{
    static HFONT title = nullptr;
    switch (message) {
    case WM_INITDIALOG: {
        title = CreateFontA(14, 0, 0, 0, FW_BOLD, 0, 0, 0, 0, 0, 0, 0, 0, "Verdana");
        SendDlgItemMessageA(box, TM_ID_ABOUT_TITLE, WM_SETFONT, reinterpret_cast<WPARAM>(title), TRUE);
        // The template keeps a 15-unit button row the box does not use.
        RECT row{0, 0, 0, 15};
        MapDialogRect(box, &row);
        RECT r{};
        GetWindowRect(box, &r);
        const int32_t w = r.right - r.left, h = r.bottom - r.top - row.bottom;
        HWND parent = GetParent(box);
        RECT p{};
        if (parent) {
            GetClientRect(parent, &p);
            MapWindowPoints(parent, nullptr, reinterpret_cast<POINT*>(&p), 2);
        } else {
            GetWindowRect(GetDesktopWindow(), &p);
        }
        int32_t s = GetSystemMetrics(SM_CXSIZE);
        if (!(GetWindowLongA(box, GWL_STYLE) & WS_SYSMENU))
            s -= s / 3;
        int32_t x = p.left + std::max<int32_t>(0, (p.right - p.left) - w) / 2 - s;
        int32_t y = p.top + std::max<int32_t>(0, (p.bottom - p.top) - h) / 3;
        const int32_t sw = GetSystemMetrics(SM_CXSCREEN), sh = GetSystemMetrics(SM_CYSCREEN);
        if (x + w > sw)
            x = std::max(0, sw - w);
        if (y + h > sh)
            y = std::max(0, sh - h);
        SetWindowPos(box, nullptr, x, y, w, h, SWP_NOZORDER);
        return TRUE;
    }
    case WM_LBUTTONDOWN:
        EndDialog(box, 0);
        return TRUE;
    case WM_CHAR:
        if (wParam == VK_RETURN || wParam == VK_ESCAPE)
            EndDialog(box, 0);
        return TRUE;
    case WM_COMMAND: // Enter and Escape, as the dialog manager turns them into commands
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)
            EndDialog(box, 0);
        return TRUE;
    case WM_DESTROY:
        if (title)
            DeleteObject(title);
        title = nullptr;
        return FALSE;
    default:
        return FALSE;
    }
}

} // namespace

void TMSetModule(HINSTANCE module) { gModule = module; }

extern "C" INT_PTR CALLBACK TMProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (!gRun)
        return FALSE;
    switch (message) {
    case WM_INITDIALOG:
        initDialog(dialog);
        return TRUE;
    case WM_HSCROLL:
        slider(dialog, wParam, lParam);
        return FALSE;
    case WM_COMMAND:
        return command(dialog, LOWORD(wParam), HIWORD(wParam));
    case WM_PAINT:
        if (!failed() && GetUpdateRect(dialog, nullptr, FALSE))
            paintPreview(dialog);
        return FALSE;
    default:
        return FALSE;
    }
}

bool TMRunSettingsDialog(TMFilterRecord* record, TMParameters* params, TMGlobals* globals, int16_t* result,
                         HWND owner)
{
    auto run = std::make_unique<DialogRun>();
    run->record = record;
    run->params = params;
    run->globals = globals;
    run->result = result;
    gRun = run.get();
    const INT_PTR ended = DialogBoxParamA(module(), TM_SETTINGS_DIALOG_NAME, owner, TMProc, 0);
    // Buffers a dialog that failed to open never released (EndDialog's path does it).
    TMReleasePreviewBuffers(record, globals);
    if (run->helpFont)
        DeleteObject(run->helpFont);
    if (run->noteFont)
        DeleteObject(run->noteFont);
    gRun = nullptr;
    return ended == TM_ID_OK;
}

void TMShowAboutBox(HWND owner) { DialogBoxParamA(module(), MAKEINTRESOURCEA(TM_ABOUT_DIALOG_ID), owner, aboutProc, 0); }

namespace {

bool runSettings(TMFilterRecord* record, TMParameters* params, TMGlobals* globals, int16_t* result, intptr_t owner)
{
    return TMRunSettingsDialog(record, params, globals, result, reinterpret_cast<HWND>(owner));
}

void showAbout(intptr_t owner) { TMShowAboutBox(reinterpret_cast<HWND>(owner)); }

} // namespace

// When the host loads the plug-in: records its module, from whose resources both
// dialogs are made, and hands the entry point its dialogs.
extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        TMSetModule(module);
        TMInstallDialogs(TMDialogs{runSettings, showAbout});
    }
    return TRUE;
}
