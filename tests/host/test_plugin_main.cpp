// The entry point's selectors one by one, called through the simulated host: the
// handles it creates and keeps, the checks of prepare, and renders with kept settings.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "plugin_main.h"
#include "scripting.h"
#include "shown_messages.h"
#include "tm_dialogs.h"
#include "tm_globals.h"
#include "tm_parameters.h"
#include "tm_sim_host.h"

namespace {

struct EntryFixture : ::testing::Test {
    static constexpr int W = 120, H = 100;

    static tmsim::Options hostOptions()
    {
        tmsim::Options o;
        o.bigDocument = false;
        o.maxSpace = 100000000;
        return o;
    }
    tmsim::Document document()
    {
        in.resize(W * H * 3);
        for (size_t i = 0; i < in.size(); ++i)
            in[i] = 0.01f + static_cast<float>((i * 37) % 101);
        out.assign(in.size(), -1.0f);
        tmsim::Document d;
        d.source = in.data();
        d.destination = out.data();
        d.width = W;
        d.height = H;
        d.rowBytes = int64_t{W} * 3 * 4;
        return d;
    }

    std::vector<float> in, out;
    tmsim::Options options = hostOptions();
    tmsim::Host host{PluginMain, document(), options};
    TMFilterRecord& record = host.record();

    void SetUp() override { TMRecordedMessages().clear(); }
    void TearDown() override
    {
        EXPECT_EQ(host.lockedHandles(), 0) << "a handle is left locked";
        EXPECT_EQ(host.liveBuffers(), 0) << "buffers left allocated";
        EXPECT_EQ(host.misuses(), 0) << "an id or handle the host never handed out was used";
    }
    int16_t call(int16_t selector) { return host.call(selector); }
    TMParameters& params() { return *static_cast<TMParameters*>(host.parametersData()); }
    TMGlobals& globals() { return *static_cast<TMGlobals*>(host.globalsData()); }
};

} // namespace

TEST_F(EntryFixture, AWholeRunRendersAndEndsTheLoop)
{
    ASSERT_EQ(call(TMSelectorParameters), TMNoErr);
    EXPECT_EQ(params().settings.strength, 70);
    EXPECT_EQ(globals().dialogPending, 1);
    ASSERT_EQ(call(TMSelectorPrepare), TMNoErr);
    EXPECT_EQ(record.maxSpace, 0x8000F);
    EXPECT_EQ(globals().width, W);
    ASSERT_EQ(call(TMSelectorStart), TMNoErr);
    EXPECT_EQ(globals().dialogPending, 0);
    for (float v : out)
        ASSERT_TRUE(v >= 0.0f && v <= 1.0f);
    record.inRect = record.outRect = record.maskRect = TMRect16{1, 2, 3, 4};
    ASSERT_EQ(call(TMSelectorContinue), TMNoErr);
    EXPECT_EQ(record.inRect.bottom, 0);
    EXPECT_EQ(record.outRect.right, 0);
    EXPECT_EQ(record.maskRect.left, 0);
    EXPECT_EQ(call(TMSelectorFinish), TMNoErr);
    EXPECT_EQ(call(42), TMNoErr) << "unknown selectors do nothing";
}

TEST_F(EntryFixture, PrepareRefusesWhatTheEngineCannotProcess)
{
    record.depth = 8;
    record.imageMode = TMModeRGBColor;
    EXPECT_EQ(call(TMSelectorPrepare), TMFilterBadParameters);
    ASSERT_EQ(TMRecordedMessages().size(), 1u);
    EXPECT_EQ(TMRecordedMessages()[0].caption, "Tone Mapping plug-in requires higher bit-depth");
    EXPECT_EQ(globals().width, 0) << "size not recorded";

    record.depth = 16;
    for (int16_t mode : {TMModeGray16, TMModeCMYK64, TMModeLab48}) {
        record.imageMode = mode;
        EXPECT_EQ(call(TMSelectorPrepare), TMFilterBadParameters) << mode;
    }
    EXPECT_EQ(TMRecordedMessages().size(), 1u) << "no message for these";
    record.imageMode = TMModeRGB48;
    record.maxSpace = 1000;
    EXPECT_EQ(call(TMSelectorPrepare), TMNoErr);
    EXPECT_EQ(record.maxSpace, 1000) << "a small limit is kept";
    EXPECT_EQ(globals().sampleFormat, TMSample16);
}

TEST_F(EntryFixture, PrepareResetsAStaleRecordAndParametersAlwaysResets)
{
    ASSERT_EQ(call(TMSelectorParameters), TMNoErr);
    params().settings.strength = 5;
    ASSERT_EQ(call(TMSelectorPrepare), TMNoErr);
    EXPECT_EQ(params().settings.strength, 5) << "both handles present: unchanged";
    host.newSession();
    ASSERT_EQ(call(TMSelectorPrepare), TMNoErr);
    EXPECT_EQ(params().settings.strength, 70) << "settings without their working record are reset";
    params().settings.strength = 9;
    ASSERT_EQ(call(TMSelectorParameters), TMNoErr);
    EXPECT_EQ(params().settings.strength, 70);
}

TEST_F(EntryFixture, MissingHandlesAndFailedAllocations)
{
    EXPECT_EQ(call(TMSelectorStart), TMFilterBadParameters) << "start without handles";
    options.failHandle = 1;
    host.rearm(options);
    EXPECT_EQ(call(TMSelectorParameters), TMMemFullErr);
}

TEST_F(EntryFixture, ARepeatWithoutParametersRendersWithTheKeptSettings)
{
    ASSERT_EQ(call(TMSelectorParameters), TMNoErr);
    ASSERT_EQ(call(TMSelectorPrepare), TMNoErr);
    ASSERT_EQ(call(TMSelectorStart), TMNoErr);
    const std::vector<float> first = out;
    std::fill(out.begin(), out.end(), -1.0f);
    ASSERT_EQ(call(TMSelectorPrepare), TMNoErr);
    ASSERT_EQ(call(TMSelectorStart), TMNoErr);
    EXPECT_EQ(out, first);
}

namespace {

// A settings dialog that the user answers with `confirm`, after moving Strength to
// `strength`; it records the owner window it was given.
struct ScriptedDialog {
    static inline int runs = 0;
    static inline bool confirm = true;
    static inline int32_t strength = 0;
    static inline intptr_t owner = -1;
    static inline const TMSettings* chosen = nullptr; // when set, all settings, not just Strength
    static bool run(TMFilterRecord*, TMParameters* params, TMGlobals*, intptr_t ownerWindow)
    {
        ++runs;
        owner = ownerWindow;
        if (chosen)
            params->settings = *chosen;
        else
            params->settings.strength = strength;
        return confirm;
    }
    static inline intptr_t aboutOwner = -1;
    static void about(intptr_t ownerWindow) { aboutOwner = ownerWindow; }
};

struct DialogEntryFixture : EntryFixture {
    TMPlatformData platform{0x1234};
    void SetUp() override
    {
        EntryFixture::SetUp();
        // One process may run every test (the Windows builds do): nothing carries over.
        ScriptedDialog::runs = 0;
        ScriptedDialog::confirm = true;
        ScriptedDialog::strength = 0;
        ScriptedDialog::chosen = nullptr;
        TMDialogProcedures procedures;
        procedures.settings = ScriptedDialog::run;
        procedures.about = ScriptedDialog::about;
        TMSetDialogProcedures(procedures);
        record.platformData = &platform;
    }
    void TearDown() override
    {
        TMSetDialogProcedures(TMDialogProcedures{});
        EntryFixture::TearDown();
    }
    // One run as a host makes it when the user picks the filter (with Parameters) or
    // repeats it (without).
    int16_t run(bool asked)
    {
        std::fill(out.begin(), out.end(), -1.0f);
        if (asked && call(TMSelectorParameters) != TMNoErr)
            return -1;
        const int16_t prepared = call(TMSelectorPrepare);
        return prepared != TMNoErr ? prepared : call(TMSelectorStart);
    }
};

} // namespace

TEST_F(DialogEntryFixture, TheDialogDecidesTheRunAndCancelPutsTheSettingsBack)
{
    ScriptedDialog::confirm = true;
    ScriptedDialog::strength = 25;
    ASSERT_EQ(run(true), TMNoErr);
    EXPECT_EQ(ScriptedDialog::runs, 1);
    EXPECT_EQ(ScriptedDialog::owner, 0x1234) << "owned by the host's main window";
    EXPECT_EQ(params().settings.strength, 25);
    const std::vector<float> confirmed = out;

    // A repeat renders the confirmed settings without asking.
    ASSERT_EQ(run(false), TMNoErr);
    EXPECT_EQ(ScriptedDialog::runs, 1);
    EXPECT_EQ(out, confirmed);

    // Cancel: nothing rendered, the settings as they were before the dialog.
    ScriptedDialog::confirm = false;
    ScriptedDialog::strength = 90;
    params().settings.strength = 33;
    ASSERT_EQ(call(TMSelectorPrepare), TMNoErr);
    EXPECT_EQ(call(TMSelectorStart), TMNoErr) << "no dialog due without Parameters";
    globals().dialogPending = 1;
    std::fill(out.begin(), out.end(), -1.0f);
    EXPECT_EQ(call(TMSelectorStart), TMUserCanceledErr);
    EXPECT_EQ(ScriptedDialog::runs, 2);
    EXPECT_EQ(params().settings.strength, 33);
    EXPECT_EQ(globals().dialogPending, 0);
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](float v) { return v == -1.0f; }));
}

TEST_F(DialogEntryFixture, AboutShowsTheBoxOwnedByTheAboutRecordsWindow)
{
    TMAboutRecord about{};
    about.platformData = &platform;
    int16_t result = 7;
    PluginMain(TMSelectorAbout, &about, nullptr, &result);
    EXPECT_EQ(ScriptedDialog::aboutOwner, 0x1234);
    EXPECT_EQ(result, 7) << "About leaves the result word alone";
    about.platformData = nullptr;
    PluginMain(TMSelectorAbout, &about, nullptr, &result);
    EXPECT_EQ(ScriptedDialog::aboutOwner, 0);
}

// An action recorded with the dialog plays back silently with the same look: the
// confirmed settings go into the host's descriptor under the terminology's keys and
// types; what no key carries stays with the parameters handle.
TEST_F(DialogEntryFixture, AConfirmedDialogIsRecordedAndPlaysBackTheSameBytes)
{
    struct Case {
        const char* what;
        TMSettings settings;
        int keys;           // values recorded
        bool freshPlayback; // played back in a new session (no parameters handle)
    };
    const Case cases[] = {
        {"every setting a key carries", {14, 55, 80, 200, 3, -2, -1, 2, 0, {}}, 7, true},
        {"levels above 0 and Micro-smoothing stay in the handle", {7, 90, 20, 0, 0, 1, 2, 9, 1, {}}, 5, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        tmsim::Options recording = hostOptions();
        recording.writeProcedures = true;
        host.rearm(recording);
        host.newSession();
        ScriptedDialog::chosen = &c.settings;
        ASSERT_EQ(run(true), TMNoErr);
        const std::vector<float> confirmed = out;
        ASSERT_NE(host.recorded(), nullptr);
        const std::vector<tmsim::DescriptorItem> action = *host.recorded();
        ASSERT_EQ(static_cast<int>(action.size()), c.keys);
        for (size_t i = 0; i < action.size(); ++i) {
            EXPECT_EQ(action[i].key, TMScriptParameters[i].key);
            EXPECT_EQ(action[i].type, TMScriptParameters[i].type);
        }
        EXPECT_EQ(action[0].integer, c.settings.luminosity);
        EXPECT_EQ(action[3].integer, c.settings.whiteClip);
        if (c.keys == 7) {
            EXPECT_EQ(action[5].enumerated, TMLevelMid); // Light Smoothing -1
            EXPECT_EQ(action[6].enumerated, TMLevelLow); // Micro-contrast -2
        }
        EXPECT_EQ(record.descriptorParameters->recordInfo, TMRecordOptional);

        // Playback without the dialog: same bytes, and the action handed back.
        ScriptedDialog::chosen = nullptr;
        const int dialogs = ScriptedDialog::runs;
        tmsim::Options playback = recording;
        playback.recordDescriptor = true;
        playback.descriptor = action;
        playback.playInfo = TMDialogDontDisplay;
        host.rearm(playback);
        if (c.freshPlayback)
            host.newSession();
        ASSERT_EQ(run(c.freshPlayback), TMNoErr);
        EXPECT_EQ(ScriptedDialog::runs, dialogs);
        EXPECT_EQ(out, confirmed);
        ASSERT_NE(host.recorded(), nullptr);
        EXPECT_EQ(host.recorded()->size(), action.size());
    }
}

// Recording is a service of the host: without its write procedures, or when one of
// its writes fails, nothing (nor anything partial) is recorded and the render stands.
TEST_F(DialogEntryFixture, NoRecordingWithoutWriteProceduresOrAfterAFailedWrite)
{
    struct Case {
        const char* what;
        bool writeProcedures;
        int failPut;
    };
    for (const Case c : {Case{"no write procedures", false, 0}, Case{"third value refused", true, 3}}) {
        SCOPED_TRACE(c.what);
        tmsim::Options o = hostOptions();
        o.writeProcedures = c.writeProcedures;
        o.failPut = c.failPut;
        host.rearm(o);
        ScriptedDialog::strength = 60;
        ASSERT_EQ(run(true), TMNoErr);
        EXPECT_NE(out[0], -1.0f) << "rendered";
        EXPECT_EQ(host.recorded(), nullptr);
        EXPECT_EQ(record.descriptorParameters->descriptor, nullptr);
        EXPECT_EQ(host.liveHandles(), 2) << "the parameters and data handles, no descriptor left behind";
    }
}
