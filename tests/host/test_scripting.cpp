// Recorded settings read through the simulated host's descriptor suite: values,
// enumerations, the consumed descriptor, unknown keys and failed or converted reads.
#include <gtest/gtest.h>

#include <vector>

#include "scripting.h"
#include "tm_sim_host.h"

namespace {

// No plug-in runs: the tests call the scripting code themselves, inside the host's context.
void noPlugin(int16_t, void*, intptr_t*, int16_t* result) { *result = TMNoErr; }

constexpr TMFourCC kInteger = TMFourCCOf("long");
constexpr TMFourCC kLevel = TMFourCCOf(TM_ENUM_LEVEL);

tmsim::DescriptorItem integer(TMFourCC key, int32_t value, TMOSErr readResult = TMNoErr)
{
    return {key, kInteger, value, 0, readResult};
}
tmsim::DescriptorItem level(TMFourCC key, TMFourCC code) { return {key, kLevel, 0, code, TMNoErr}; }

struct ScriptingFixture : ::testing::Test {
    static tmsim::Document document(std::vector<float>& pixels)
    {
        tmsim::Document d;
        d.source = d.destination = pixels.data();
        d.width = 2;
        d.height = 1;
        d.rowBytes = 2 * 3 * 4;
        return d;
    }

    std::vector<float> pixels = std::vector<float>(2 * 3, 1.0f);
    tmsim::Host host{noPlugin, document(pixels)};
    TMFilterRecord& record = host.record();
    TMGlobals globals{};
    TMParameters params{};

    void SetUp() override
    {
        TMInitGlobals(&globals);
        applyDefaults(&params, TMSampleFloat32);
    }
    void TearDown() override { EXPECT_EQ(host.misuses(), 0) << "a handle or token the host never handed out"; }

    // Hands over a recorded descriptor with `items`, as at the next Start.
    void recordSettings(std::vector<tmsim::DescriptorItem> items, int16_t playInfo = TMDialogDisplay)
    {
        tmsim::Options o;
        o.recordDescriptor = true;
        o.descriptor = std::move(items);
        o.playInfo = playInfo;
        host.rearm(o);
    }
    int16_t read(bool* show)
    {
        int16_t result = TMNoErr;
        host.inside([&] { result = readScriptParameters(&record, globals, &params, show); });
        return result;
    }
};

} // namespace

TEST_F(ScriptingFixture, NoDescriptorFollowsThePendingDialog)
{
    tmsim::Options noSuite;
    noSuite.descriptorSuite = false;
    host.rearm(noSuite);
    bool show = false;
    const TMParameters before = params;
    EXPECT_EQ(read(&show), TMNoErr);
    EXPECT_TRUE(show);
    EXPECT_EQ(params.settings.strength, before.settings.strength);
    globals.dialogPending = 0;
    EXPECT_EQ(read(&show), TMNoErr);
    EXPECT_FALSE(show);
    EXPECT_EQ(read(nullptr), TMErrMissingParameter);
}

TEST_F(ScriptingFixture, RecordedValuesAreReadAndTheDescriptorConsumed)
{
    // The host marks each key it returns in the plug-in's list, the first one too.
    const std::vector<tmsim::DescriptorItem> items = {
        integer(TMKeyLuminosity, 4), integer(TMKeyStrength, 55), integer(TMKeyWhiteClip, 200),
        level(TMKeySmoothing, TMFourCCOf("int2")), level(TMKeyMicrocontrast, TMFourCCOf("int0"))};
    recordSettings(items, TMDialogDontDisplay);
    bool show = true;
    EXPECT_EQ(read(&show), TMNoErr);
    EXPECT_FALSE(show) << "playInfo 0 renders silently even with a dialog pending";
    EXPECT_EQ(params.settings.strength, 55);
    EXPECT_EQ(params.settings.whiteClip, 200);
    EXPECT_EQ(params.settings.smoothing, -2);
    EXPECT_EQ(params.settings.microcontrast, 0);
    EXPECT_FALSE(host.descriptorPending()) << "the descriptor is disposed";
    EXPECT_EQ(record.descriptorParameters->descriptor, nullptr);
    // The list the host reads up to its terminating 0.
    const std::vector<TMFourCC> expectedKeys = {TMKeyLuminosity, TMKeyStrength,  TMKeySaturation,   TMKeyWhiteClip,
                                                TMKeyBlackClip,  TMKeySmoothing, TMKeyMicrocontrast};
    EXPECT_EQ(host.keysOffered(), expectedKeys);

    // A second open gets a fresh key list although the host wrote into the first.
    recordSettings(items, TMDialogDisplay);
    EXPECT_EQ(read(&show), TMNoErr);
    EXPECT_TRUE(show);
    ASSERT_FALSE(host.keysOffered().empty());
    EXPECT_EQ(host.keysOffered()[0], TMKeyLuminosity);
}

TEST_F(ScriptingFixture, UnknownKeyStopsTheReadingAndFailedReadsKeepTheField)
{
    recordSettings({integer(TMKeyStrength, 12), integer(TMFourCCOf("zzzz"), 1), integer(TMKeyBlackClip, 300)});
    bool show = true;
    EXPECT_EQ(read(&show), TMReadErr);
    EXPECT_EQ(params.settings.strength, 12);
    EXPECT_EQ(params.settings.blackClip, 0) << "keys after the unknown one are not read";

    applyDefaults(&params, TMSampleFloat32);
    recordSettings({integer(TMKeyLuminosity, 3, TMParamErr)});
    EXPECT_EQ(read(&show), TMParamErr);
    EXPECT_EQ(params.settings.luminosity, 10);

    // A converted value (+2) is a valid value.
    recordSettings({integer(TMKeyLuminosity, 3, TMCoercedParamErr)});
    EXPECT_EQ(read(&show), TMNoErr);
    EXPECT_EQ(params.settings.luminosity, 3);
}
