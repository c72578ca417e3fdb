// The entry point's selectors one by one, called through the simulated host: the
// handles it creates and keeps, the checks of prepare, and renders with kept settings.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "plugin_main.h"
#include "shown_messages.h"
#include "tm_globals.h"
#include "tm_parameters.h"
#include "tm_sim_host.h"
#include "tm_sim_run.h"

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

// A settings dialog that answers at once (the real one needs a window system):
// how often each dialog ran, over which owner, and what it does to the settings
// and the result word before it answers.
struct InstantDialogs {
    static inline int runs = 0, abouts = 0;
    static inline bool confirm = true;
    static inline int16_t previewFailure = TMNoErr;
    static bool settings(TMFilterRecord*, TMParameters* params, TMGlobals*, int16_t* result, intptr_t)
    {
        ++runs;
        params->settings.strength = 5;
        *result = previewFailure;
        return confirm;
    }
    static void about(intptr_t) { ++abouts; }
    InstantDialogs() { TMInstallDialogs(TMDialogs{settings, about}); }
    ~InstantDialogs() { TMInstallDialogs(TMDialogs{}); }
};

} // namespace

TEST_F(EntryFixture, StartRunsTheDialogWhenDueAndACancelRestoresTheSettings)
{
    InstantDialogs dialogs;
    struct Case {
        const char* what;
        bool parameters, confirm;
        int16_t previewFailure;
        int runs;
        int16_t result;
        int32_t strength;
        bool rendered;
    };
    const Case cases[] = {
        {"OK", true, true, TMNoErr, 1, TMNoErr, 5, true},
        {"OK after a failed preview", true, true, TMMemFullErr, 1, TMNoErr, 5, true},
        {"Cancel", true, false, TMNoErr, 1, TMUserCanceledErr, 70, false},
        {"a repeat: no dialog is due", false, false, TMNoErr, 0, TMNoErr, 70, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        InstantDialogs::runs = 0;
        InstantDialogs::confirm = c.confirm;
        InstantDialogs::previewFailure = c.previewFailure;
        if (c.parameters) {
            ASSERT_EQ(call(TMSelectorParameters), TMNoErr);
        } else {
            params().settings.strength = 70;
        }
        ASSERT_EQ(call(TMSelectorPrepare), TMNoErr);
        std::fill(out.begin(), out.end(), -1.0f);
        EXPECT_EQ(call(TMSelectorStart), c.result);
        EXPECT_EQ(InstantDialogs::runs, c.runs);
        EXPECT_EQ(params().settings.strength, c.strength);
        EXPECT_EQ(out[0] != -1.0f, c.rendered);
        EXPECT_EQ(globals().dialogPending, 0);
    }

    // A played-back action that suppresses the dialog renders at once, even right
    // after a Parameters call.
    InstantDialogs::runs = 0;
    TMParameters stored{};
    applyDefaults(&stored, TMSampleFloat32);
    EXPECT_EQ(tmsim::RunWithSettings(PluginMain, document(), stored).result, TMNoErr);
    EXPECT_EQ(InstantDialogs::runs, 0);

    EXPECT_EQ(host.about(), TMNoErr);
    EXPECT_EQ(InstantDialogs::abouts, 1);
}
