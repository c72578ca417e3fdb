// The settings dialog and the About box of the built plug-in, in real windows under
// Wine, driven as a user drives them: keys and mouse clicks to the sliders, clicks on
// the buttons, the mouse over the controls. A hook on the test thread sees each
// dialog as it opens; the settings dialog then runs the test's steps from a timer
// inside its own modal loop, message boxes and the file dialogs are answered.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dialog_driver.h"
#include "tm_control_notes.h"
#include "tm_dialog_ids.h"
#include "tm_globals.h"
#include "tm_parameters.h"
#include "tm_sim_host.h"
#include "tm_xmp_settings.h"

namespace {

using Steps = std::function<void(HWND)>;

struct Watch {
    Steps steps;                       // run once the settings dialog is up
    std::vector<std::string> messages; // message boxes answered with OK
    std::string fileToChoose;          // the file dialogs' answer ("" cancels)
    int fileDialogs = 0;
    std::string aboutTitle; // the About box as it opened
    RECT aboutRect{};
    HWND aboutOwner = nullptr;
    COLORREF aboutCorner = CLR_INVALID; // a pixel of the box's background as painted
    COLORREF faceColour = CLR_INVALID;
    bool aboutByKey = false; // close the About box with Enter, not a click
} watch;
HHOOK hook = nullptr;

VOID CALLBACK runSteps(HWND dialog, UINT, UINT_PTR timer, DWORD)
{
    // The dialog manager shows a modal dialog once its loop first has nothing to do.
    if (!IsWindowVisible(dialog))
        return;
    KillTimer(dialog, timer);
    Steps steps = std::move(watch.steps);
    watch.steps = nullptr;
    if (steps)
        steps(dialog);
}

// Once the About box shows: what it painted, then a click inside it.
VOID CALLBACK lookAtAbout(HWND box, UINT, UINT_PTR timer, DWORD)
{
    if (!IsWindowVisible(box))
        return;
    KillTimer(box, timer);
    UpdateWindow(box);
    HDC dc = GetDC(box);
    watch.aboutCorner = GetPixel(dc, 3, 3);
    ReleaseDC(box, dc);
    watch.faceColour = GetSysColor(COLOR_3DFACE);
    if (watch.aboutByKey)
        PostMessageA(box, WM_KEYDOWN, VK_RETURN, 1);
    else
        PostMessageA(box, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(20, 20));
}

LRESULT CALLBACK afterWindowProcedure(int code, WPARAM wParam, LPARAM lParam)
{
    const auto* call = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
    if (code == HC_ACTION && call->message == WM_INITDIALOG) {
        HWND d = call->hwnd;
        const std::string caption = textOf(d);
        if (caption == "Tone Mapping 1.1.2") {
            SetTimer(d, 1, 10, runSteps);
        } else if (caption == "Error") {
            watch.messages.push_back(textOf(GetDlgItem(d, 0xFFFF)));
            PostMessageA(d, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        } else if (GetDlgItem(d, 0x47C) || GetDlgItem(d, 0x480)) {
            // A common file dialog: its file name box (a combo box in the explorer
            // style, an edit box in the old one).
            ++watch.fileDialogs;
            if (watch.fileToChoose.empty()) {
                PostMessageA(d, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
            } else {
                SetDlgItemTextA(d, GetDlgItem(d, 0x47C) ? 0x47C : 0x480, watch.fileToChoose.c_str());
                PostMessageA(d, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
            }
        } else if (GetDlgItem(d, TM_ID_ABOUT_TITLE)) {
            watch.aboutTitle = textOf(GetDlgItem(d, TM_ID_ABOUT_TITLE));
            GetWindowRect(d, &watch.aboutRect);
            watch.aboutOwner = GetWindow(d, GW_OWNER);
            SetTimer(d, 1, 10, lookAtAbout);
        }
    }
    return CallNextHookEx(hook, code, wParam, lParam);
}

struct HookEnvironment : ::testing::Environment {
    void SetUp() override
    {
        hook = SetWindowsHookExA(WH_CALLWNDPROCRET, afterWindowProcedure, nullptr, GetCurrentThreadId());
        ASSERT_NE(hook, nullptr) << "no hook: a dialog would wait for a user";
    }
    void TearDown() override
    {
        if (hook)
            UnhookWindowsHookEx(hook);
    }
};
[[maybe_unused]] ::testing::Environment* const environment = ::testing::AddGlobalTestEnvironment(new HookEnvironment);

// --- the plug-in in a host -------------------------------------------------------------

struct DialogRun : ::testing::Test {
    static constexpr int W = 1200, H = 800;
    HMODULE module = nullptr;
    tmsim::EntryPoint entry = nullptr;
    std::vector<float> in, out;
    std::unique_ptr<tmsim::Host> host;
    tmsim::Options options;

    void SetUp() override
    {
        module = LoadLibraryA(TM_PLUGIN_PATH);
        ASSERT_NE(module, nullptr) << TM_PLUGIN_PATH << ": error " << GetLastError();
        entry = reinterpret_cast<tmsim::EntryPoint>(reinterpret_cast<void*>(GetProcAddress(module, "PluginMain")));
        ASSERT_NE(entry, nullptr);
        in.resize(size_t{W} * H * 3);
        // A ramp across the image with a fine pattern on it: gradients everywhere.
        for (size_t i = 0; i < in.size(); ++i) {
            const size_t pixel = i / 3, x = pixel % W, y = pixel / W, c = i % 3;
            in[i] =
                0.01f + 40.0f * static_cast<float>((x * 7 + y * 3 + c * 50) % 257) / 257.0f * static_cast<float>(x) / W;
        }
        out.assign(in.size(), -1.0f);
        tmsim::Document d;
        d.source = in.data();
        d.destination = out.data();
        d.width = W;
        d.height = H;
        d.rowBytes = int64_t{W} * 3 * 4;
        options.writeProcedures = true; // a host that records actions
        host = std::make_unique<tmsim::Host>(entry, d, options);
        watch = Watch{};
        // Every test starts without last-used settings: the prefix is shared.
        RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Quarrystone\\Kestrimond\\ToneMappingPlugin");
    }
    void TearDown() override
    {
        host.reset();
        if (module)
            FreeLibrary(module);
    }
    TMParameters& params() { return *static_cast<TMParameters*>(host->parametersData()); }
    const TMGlobals& globals() { return *static_cast<const TMGlobals*>(host->globalsData()); }
    // The preview frame's top-left corner in the dialog's client coordinates.
    static POINT frameOrigin(HWND d)
    {
        RECT r;
        GetWindowRect(GetDlgItem(d, TM_ID_PREVIEW_FRAME), &r);
        POINT p{r.left, r.top};
        ScreenToClient(d, &p);
        return p;
    }
    // A run the user asked for (Parameters first): the dialog opens and `steps` run in it.
    int16_t runDialog(Steps steps)
    {
        watch.steps = std::move(steps);
        std::fill(out.begin(), out.end(), -1.0f);
        return host->run(true).result;
    }
};

} // namespace

TEST_F(DialogRun, SlidersButtonsAndNotesAsAUserMovesThem)
{
    int previews = 0;
    auto previewsSince = [&](int before) { return host->advanceCalls() - before; };
    const int16_t result = runDialog([&](HWND d) {
        // Start: the stored defaults on the sliders and labels, one blank note, the
        // 360° box enabled for a landscape image, the tone-mapped view.
        EXPECT_EQ(label(d, TM_ID_STRENGTH), "70");
        EXPECT_EQ(label(d, TM_ID_LUMINOSITY), "0");
        EXPECT_EQ(label(d, TM_ID_WHITE_CLIP), "0.250");
        EXPECT_EQ(position(d, TM_ID_WHITE_CLIP), 15);
        EXPECT_EQ(label(d, TM_ID_SMOOTHING), "+1");
        EXPECT_EQ(textOf(GetDlgItem(d, TM_ID_NOTE_TEXT)), " ");
        EXPECT_TRUE(enabled(d, TM_ID_IMAGE360));
        EXPECT_EQ(textOf(GetDlgItem(d, TM_ID_SHOW_ORIGINAL)), "Show Original");

        // The first preview, painted by the host from the planar buffer at the frame.
        UpdateWindow(d);
        ASSERT_FALSE(host->displays().empty());
        const tmsim::DisplayCall& shown = host->displays().back();
        const POINT at = frameOrigin(d);
        EXPECT_EQ(shown.result, TMNoErr);
        EXPECT_EQ(shown.map.imageMode, TMModeRGBColor);
        EXPECT_EQ(shown.map.bounds.left, at.x);
        EXPECT_EQ(shown.map.bounds.top, at.y);
        EXPECT_EQ(shown.map.bounds.right - at.x, 512);
        EXPECT_EQ(shown.map.bounds.bottom - at.y, 512 * H / W);
        EXPECT_EQ(shown.dstCol, at.x);
        EXPECT_EQ(shown.dstRow, at.y);
        ASSERT_EQ(shown.pixels.size(), size_t{3} * 512 * (512 * H / W));
        EXPECT_EQ(0, std::memcmp(shown.pixels.data(), globals().previewBuffer, shown.pixels.size()));

        // A line step stores and recomputes; at the end of the range too.
        int before = host->advanceCalls();
        key(d, TM_ID_STRENGTH, VK_RIGHT);
        EXPECT_EQ(params().settings.strength, 71);
        EXPECT_EQ(label(d, TM_ID_STRENGTH), "71");
        EXPECT_EQ(previewsSince(before), 1);
        key(d, TM_ID_MICROSMOOTHING, VK_END);
        EXPECT_EQ(params().settings.microsmoothing, 30) << "End stores";
        before = host->advanceCalls();
        key(d, TM_ID_MICROSMOOTHING, VK_RIGHT);
        EXPECT_EQ(params().settings.microsmoothing, 30);
        EXPECT_EQ(previewsSince(before), 1) << "a step at the end still recomputes";

        // A drag moves the label only; the release stores and computes one preview.
        before = host->advanceCalls();
        drag(d, TM_ID_STRENGTH, 71, 30, 100);
        EXPECT_NEAR(params().settings.strength, 30, 2);
        EXPECT_EQ(label(d, TM_ID_STRENGTH), std::to_string(params().settings.strength));
        EXPECT_EQ(previewsSince(before), 1);

        // A click in the trough changes and computes nothing.
        const int strength = params().settings.strength;
        before = host->advanceCalls();
        trough(d, TM_ID_STRENGTH);
        EXPECT_EQ(params().settings.strength, strength);
        EXPECT_EQ(previewsSince(before), 0);

        // Light Smoothing shows signed values; Home stores its end.
        key(d, TM_ID_SMOOTHING, VK_HOME);
        EXPECT_EQ(label(d, TM_ID_SMOOTHING), "-2");
        EXPECT_EQ(params().settings.smoothing, -2);

        // The note of the control under the mouse, kept after the mouse leaves.
        SendMessageA(GetDlgItem(d, TM_ID_STRENGTH), WM_MOUSEMOVE, 0, MAKELPARAM(3, 3));
        EXPECT_EQ(textOf(GetDlgItem(d, TM_ID_NOTE_TEXT)), TMControlNote(TM_ID_STRENGTH));
        SendMessageA(GetDlgItem(d, TM_ID_OK), WM_MOUSEMOVE, 0, MAKELPARAM(3, 3));
        EXPECT_EQ(textOf(GetDlgItem(d, TM_ID_NOTE_TEXT)), TMControlNote(TM_ID_STRENGTH));

        // The original: the setting controls disabled, the toggle renamed; and back.
        click(d, TM_ID_SHOW_ORIGINAL);
        EXPECT_EQ(textOf(GetDlgItem(d, TM_ID_SHOW_ORIGINAL)), "Show Preview");
        EXPECT_FALSE(enabled(d, TM_ID_STRENGTH));
        EXPECT_FALSE(enabled(d, TM_ID_SIZE_1024));
        EXPECT_TRUE(enabled(d, TM_ID_OK));
        click(d, TM_ID_SHOW_ORIGINAL);
        EXPECT_TRUE(enabled(d, TM_ID_STRENGTH));

        // 1024 grows the dialog, 512 shrinks it back to its size at start.
        const SIZE atStart = sizeOf(d);
        CheckRadioButton(d, TM_ID_SIZE_512, TM_ID_SIZE_1024, TM_ID_SIZE_1024);
        click(d, TM_ID_SIZE_1024);
        const SIZE grown = sizeOf(d);
        EXPECT_GT(grown.cx, atStart.cx);
        EXPECT_EQ(sizeOf(GetDlgItem(d, TM_ID_PREVIEW_FRAME)).cx, 1024);
        CheckRadioButton(d, TM_ID_SIZE_512, TM_ID_SIZE_1024, TM_ID_SIZE_512);
        click(d, TM_ID_SIZE_512);
        EXPECT_EQ(sizeOf(d).cx, atStart.cx);
        EXPECT_EQ(sizeOf(d).cy, atStart.cy);

        // Default: Strength 70 for a float image, 360° off.
        click(d, TM_ID_DEFAULT);
        EXPECT_EQ(params().settings.strength, 70);
        EXPECT_EQ(label(d, TM_ID_SMOOTHING), "+1");

        // Help without an installation folder: the message names the bare page.
        click(d, TM_ID_HELP);
        // Load... cancelled: nothing; a file without settings: its message.
        watch.fileToChoose.clear();
        click(d, TM_ID_LOAD);
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        const std::string other = std::string(temp) + "tm-no-settings.xmp";
        if (std::FILE* f = std::fopen(other.c_str(), "wb")) {
            std::fputs("<x:xmpmeta>\n</x:xmpmeta>\n", f);
            std::fclose(f);
        }
        watch.fileToChoose = other;
        click(d, TM_ID_LOAD);
        std::remove(other.c_str());

        // Save... through the real save dialog: the file holds the dialog's settings.
        const std::string saved = std::string(temp) + "tm-look.xmp";
        std::remove(saved.c_str());
        watch.fileToChoose = saved;
        click(d, TM_ID_SAVE);
        int32_t record[TMXmpRecordSize] = {};
        EXPECT_GT(readSettingsXmp(saved.c_str(), record), 0) << saved;
        EXPECT_EQ(record[TMXmpStrength], params().settings.strength);
        std::remove(saved.c_str());

        // The 360° switch follows its box and asks for no preview.
        const int beforeSwitch = host->advanceCalls();
        click(d, TM_ID_IMAGE360);
        EXPECT_EQ(IsDlgButtonChecked(d, TM_ID_IMAGE360), BST_CHECKED);
        EXPECT_EQ(params().settings.image360, 1);
        click(d, TM_ID_IMAGE360);
        EXPECT_EQ(params().settings.image360, 0);
        EXPECT_EQ(host->advanceCalls(), beforeSwitch);
        key(d, TM_ID_STRENGTH, VK_LEFT);
        previews = host->advanceCalls();
        click(d, TM_ID_OK);
    });
    ASSERT_EQ(result, TMNoErr);
    EXPECT_GT(previews, 0);
    EXPECT_EQ(params().settings.strength, 69);
    ASSERT_EQ(watch.messages.size(), 2u);
    EXPECT_EQ(watch.messages[0].rfind("Could not find Help file at: \\ToneMappingHelp.html\n", 0), 0u)
        << watch.messages[0];
    EXPECT_EQ(watch.messages[1], "XMP file does not contain Tone Mapping settings.");
    EXPECT_EQ(watch.fileDialogs, 3);

    // The render used the dialog's settings: a silent repeat renders the same bytes.
    const std::vector<float> confirmed = out;
    EXPECT_NE(confirmed[0], -1.0f);
    std::fill(out.begin(), out.end(), -1.0f);
    ASSERT_EQ(host->run(false).result, TMNoErr);
    EXPECT_EQ(out, confirmed);

    // The confirmed settings were recorded through the DLL's descriptor calls: the
    // action played back without the dialog, in a new session, renders the same bytes.
    ASSERT_NE(host->recorded(), nullptr);
    const std::vector<tmsim::DescriptorItem> action = *host->recorded();
    ASSERT_EQ(action.size(), 5u) << "Light Smoothing +1 and Micro-contrast +2 have no code of their own";
    EXPECT_EQ(action[1].integer, 69);
    tmsim::Options playback = options;
    playback.recordDescriptor = true;
    playback.descriptor = action;
    playback.playInfo = TMDialogDontDisplay;
    host->rearm(playback);
    host->newSession();
    std::fill(out.begin(), out.end(), -1.0f);
    ASSERT_EQ(host->run(true).result, TMNoErr);
    EXPECT_EQ(out, confirmed);
}

TEST_F(DialogRun, CancelPutsTheSettingsBackButKeepsThemAsTheLastUsed)
{
    ASSERT_EQ(runDialog([](HWND d) { click(d, TM_ID_OK); }), TMNoErr);
    const int kept = params().settings.strength;
    const int16_t result = runDialog([](HWND d) {
        key(d, TM_ID_STRENGTH, VK_HOME);
        click(d, TM_ID_CANCEL);
    });
    EXPECT_EQ(result, TMUserCanceledErr);
    EXPECT_EQ(params().settings.strength, kept);
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](float v) { return v == -1.0f; })) << "nothing rendered";
    // The next dialog starts from the cancelled settings; Previous returns to them.
    runDialog([](HWND d) {
        EXPECT_EQ(label(d, TM_ID_STRENGTH), "0");
        click(d, TM_ID_DEFAULT);
        click(d, TM_ID_PREVIOUS);
        EXPECT_EQ(label(d, TM_ID_STRENGTH), "0");
        click(d, TM_ID_CANCEL);
    });
}

// The keys the dialog manager turns into Cancel and OK, on a portrait image, where
// the 360° box stays disabled.
TEST_F(DialogRun, EscapeCancelsEnterConfirmsAndPortraitImagesHaveNo360)
{
    std::vector<float> portrait(size_t{800} * 1200 * 3, 0.5f);
    for (size_t i = 0; i < portrait.size(); i += 7)
        portrait[i] = 4.0f;
    tmsim::Document doc;
    doc.source = doc.destination = portrait.data();
    doc.width = 800;
    doc.height = 1200;
    doc.rowBytes = int64_t{800} * 3 * 4;
    host = std::make_unique<tmsim::Host>(entry, doc, options);
    watch.steps = [](HWND d) {
        EXPECT_FALSE(enabled(d, TM_ID_IMAGE360));
        PostMessageA(GetFocus(), WM_KEYDOWN, VK_ESCAPE, 1);
    };
    EXPECT_EQ(host->run(true).result, TMUserCanceledErr);
    watch.steps = [](HWND) { PostMessageA(GetFocus(), WM_KEYDOWN, VK_RETURN, 1); };
    EXPECT_EQ(host->run(true).result, TMNoErr);
}

// A host that draws no pixel maps: the dialog draws the preview itself.
struct DialogWithoutHostDrawing : DialogRun {
    void SetUp() override
    {
        options.offerDisplayPixels = false;
        DialogRun::SetUp();
    }
};

TEST_F(DialogWithoutHostDrawing, ThePreviewIsDrawnWithGdi)
{
    runDialog([&](HWND d) {
        UpdateWindow(d);
        const POINT at = frameOrigin(d);
        const TMGlobals& g = globals();
        const int plane = g.previewWidth * g.previewHeight;
        HDC dc = GetDC(d);
        for (const POINT p : {POINT{0, 0}, POINT{100, 50}, POINT{g.previewWidth - 1, g.previewHeight - 1}}) {
            const int i = p.y * g.previewWidth + p.x;
            const COLORREF expected =
                RGB(g.previewBuffer[i], g.previewBuffer[plane + i], g.previewBuffer[2 * plane + i]);
            EXPECT_EQ(GetPixel(dc, at.x + p.x, at.y + p.y), expected) << p.x << "," << p.y;
        }
        ReleaseDC(d, dc);
        click(d, TM_ID_CANCEL);
    });
    EXPECT_TRUE(host->displays().empty());
}

TEST_F(DialogRun, AboutBoxOpensOverItsOwnerAndClosesOnAClick)
{
    // The host's main window owns the box.
    HWND owner = CreateWindowA("STATIC", "owner", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 600, 400, nullptr, nullptr,
                               nullptr, nullptr);
    UpdateWindow(owner);
    options.mainWindow = reinterpret_cast<intptr_t>(owner);
    tmsim::Document doc;
    float pixel[3] = {};
    doc.source = doc.destination = pixel;
    doc.width = doc.height = 1;
    doc.rowBytes = sizeof pixel;
    host = std::make_unique<tmsim::Host>(entry, doc, options);
    EXPECT_EQ(host->about(), TMNoErr);
    EXPECT_EQ(watch.aboutOwner, owner);
    EXPECT_EQ(watch.aboutTitle, "Tone Mapping Plug-In 1.1.2");
    EXPECT_GT(watch.aboutRect.right - watch.aboutRect.left, 0);
    EXPECT_EQ(watch.aboutCorner, watch.faceColour) << "the box paints its background";
    watch.aboutTitle.clear();
    watch.aboutByKey = true;
    EXPECT_EQ(host->about(), TMNoErr) << "Enter closes it";
    EXPECT_EQ(watch.aboutTitle, "Tone Mapping Plug-In 1.1.2");
    DestroyWindow(owner);
}
