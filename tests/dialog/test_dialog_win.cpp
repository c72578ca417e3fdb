// The settings dialog and the About box with real windows (under Wine): the dialog
// opens on a document of the simulated host and is driven through messages to its
// controls, as a user's clicks and keys arrive.
#include <gtest/gtest.h>

#include <windows.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "plugin_main.h"
#include "tm_control_notes.h"
#include "tm_dialog_ids.h"
#include "tm_dialog_logic.h"
#include "tm_dialog_win32.h"
#include "tm_globals.h"
#include "tm_last_settings.h"
#include "tm_sim_host.h"
#include "tm_version.h"

namespace {

const char kKey[] = "Software\\Quarrystone\\Kestrimond\\ToneMappingPlugin";

// Runs `script` on the first dialog box this thread shows, from a timer that the
// dialog's own message loop dispatches.
std::function<void(HWND)> gScript;

BOOL CALLBACK findDialog(HWND window, LPARAM found)
{
    char name[16] = "";
    GetClassNameA(window, name, sizeof name);
    if (std::string(name) == "#32770" && IsWindowVisible(window)) {
        *reinterpret_cast<HWND*>(found) = window;
        return FALSE;
    }
    return TRUE;
}

void CALLBACK onTimer(HWND, UINT, UINT_PTR timer, DWORD)
{
    HWND dialog = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), findDialog, reinterpret_cast<LPARAM>(&dialog));
    if (!dialog)
        return;
    KillTimer(nullptr, timer);
    gScript(dialog);
}

void whenShown(std::function<void(HWND)> script)
{
    gScript = std::move(script);
    SetTimer(nullptr, 0, 50, onTimer);
}

std::string text(HWND dialog, int id)
{
    char buffer[512] = "";
    GetDlgItemTextA(dialog, id, buffer, sizeof buffer);
    return buffer;
}

void scroll(HWND dialog, int slider, int code)
{
    SendMessageA(dialog, WM_HSCROLL, MAKEWPARAM(code, 0), reinterpret_cast<LPARAM>(GetDlgItem(dialog, slider)));
}

void click(HWND dialog, int id)
{
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

} // namespace

TEST(SettingsDialog, DrivenThroughItsControls)
{
    RegDeleteTreeA(HKEY_CURRENT_USER, kKey);
    const int32_t w = 300, h = 200;
    std::vector<float> pixels(static_cast<size_t>(w) * h * 3);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<float>(0.01 + std::exp2(static_cast<double>(i % 997) / 80.0));
    tmsim::Document doc;
    doc.source = doc.destination = pixels.data();
    doc.width = w;
    doc.height = h;
    doc.rowBytes = int64_t{w} * 3 * 4;
    tmsim::Host host(PluginMain, doc);
    ASSERT_EQ(host.call(TMSelectorParameters), 0);
    ASSERT_EQ(host.call(TMSelectorPrepare), 0);
    auto* params = static_cast<TMParameters*>(host.parametersData());
    auto* globals = static_cast<TMGlobals*>(host.globalsData());
    params->showPreview = 0; // as a run that ended on the original leaves it

    int advances = 0;
    whenShown([&](HWND d) {
        // Dialog start: labels from the settings, the tone-mapped view, a blank note,
        // the 360° box for a landscape image, a first preview.
        EXPECT_EQ(text(d, TM_ID_STRENGTH + 1), "70");
        EXPECT_EQ(text(d, TM_ID_LUMINOSITY + 1), "0");
        EXPECT_EQ(text(d, TM_ID_WHITE_CLIP + 1), "0.250");
        EXPECT_EQ(text(d, TM_ID_SMOOTHING + 1), "+1");
        EXPECT_EQ(text(d, TM_ID_SHOW_ORIGINAL), "Show Original");
        EXPECT_EQ(text(d, TM_ID_NOTE_TEXT), " ");
        EXPECT_TRUE(IsWindowEnabled(GetDlgItem(d, TM_ID_IMAGE360)));
        EXPECT_EQ(IsDlgButtonChecked(d, TM_ID_SIZE_512), BST_CHECKED);
        EXPECT_GT(host.advanceCalls(), 0);

        // Line steps store and recompute; a trough click does nothing; End stores.
        advances = host.advanceCalls();
        scroll(d, TM_ID_STRENGTH, SB_LINERIGHT);
        EXPECT_EQ(params->settings.strength, 71);
        EXPECT_EQ(text(d, TM_ID_STRENGTH + 1), "71");
        EXPECT_EQ(host.advanceCalls(), advances + 1);
        scroll(d, TM_ID_STRENGTH, SB_PAGELEFT);
        EXPECT_EQ(params->settings.strength, 71);
        EXPECT_EQ(host.advanceCalls(), advances + 1);
        scroll(d, TM_ID_MICROSMOOTHING, SB_RIGHT);
        EXPECT_EQ(params->settings.microsmoothing, 30);
        EXPECT_EQ(text(d, TM_ID_MICROSMOOTHING + 1), "30");
        scroll(d, TM_ID_WHITE_CLIP, SB_LINELEFT);
        EXPECT_EQ(params->settings.whiteClip, TMClipFromSlider(14));

        // A mouse move over a control shows its note.
        SendMessageA(GetDlgItem(d, TM_ID_STRENGTH), WM_MOUSEMOVE, 0, MAKELPARAM(2, 2));
        EXPECT_EQ(text(d, TM_ID_NOTE_TEXT), TMControlNote(TM_ID_STRENGTH));

        // The original disables the setting controls; back to the preview.
        click(d, TM_ID_SHOW_ORIGINAL);
        EXPECT_EQ(text(d, TM_ID_SHOW_ORIGINAL), "Show Preview");
        EXPECT_FALSE(IsWindowEnabled(GetDlgItem(d, TM_ID_STRENGTH)));
        EXPECT_FALSE(IsWindowEnabled(GetDlgItem(d, TM_ID_SIZE_1024)));
        click(d, TM_ID_SHOW_ORIGINAL);
        EXPECT_TRUE(IsWindowEnabled(GetDlgItem(d, TM_ID_STRENGTH)));

        // A larger side grows the dialog; Default puts the settings back.
        RECT before{}, after{};
        GetWindowRect(d, &before);
        CheckRadioButton(d, TM_ID_SIZE_512, TM_ID_SIZE_1024, TM_ID_SIZE_1024);
        click(d, TM_ID_SIZE_1024);
        GetWindowRect(d, &after);
        EXPECT_EQ(after.right - after.left, before.right - before.left) << "a 300 x 200 image is shown 1:1";
        click(d, TM_ID_DEFAULT);
        EXPECT_EQ(params->settings.strength, 70);
        EXPECT_EQ(text(d, TM_ID_MICROSMOOTHING + 1), "2");
        scroll(d, TM_ID_STRENGTH, SB_LINELEFT);
        click(d, TM_ID_OK);
    });
    int16_t result = 0;
    bool ok = false;
    host.inside([&] { ok = TMRunSettingsDialog(&host.record(), params, globals, &result, nullptr); });
    EXPECT_TRUE(ok);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(host.liveBuffers(), 0) << "the preview buffers are released";
    EXPECT_EQ(params->settings.strength, 69);

    // OK stored the settings as last used.
    TMParameters last{};
    applyDefaults(&last, TMSampleFloat32);
    EXPECT_EQ(loadLastSettings(&last), 8);
    EXPECT_EQ(last.settings.strength, 69);
    RegDeleteTreeA(HKEY_CURRENT_USER, kKey);
}

TEST(AboutBox, ShowsItsTitleAndClosesOnAClick)
{
    std::string title;
    int height = 0;
    whenShown([&](HWND box) {
        title = text(box, TM_ID_ABOUT_TITLE);
        RECT r{};
        GetWindowRect(box, &r);
        height = r.bottom - r.top;
        SendMessageA(box, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(20, 20));
    });
    TMShowAboutBox(nullptr);
    EXPECT_EQ(title, "Tone Mapping Plug-In " TM_VERSION_TEXT);
    EXPECT_GT(height, 0);
}
