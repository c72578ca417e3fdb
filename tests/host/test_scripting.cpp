#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "scripting.h"

namespace {

// A recorded descriptor: keys with integer or enumerated values, played back in order.
struct Recorded {
    std::vector<std::pair<TMFourCC, int32_t>> items;
    size_t next = 0;
    TMOSErr integerResult = TMNoErr;
    TMOSErr closeResult = TMNoErr;
    bool disposed = false;
    TMFourCC offeredKeys[8] = {};
};
Recorded* recorded = nullptr;
int token = 0;

TMReadDescriptor openRead(TMHandle, TMFourCC* keys)
{
    for (int i = 0; i < 8; ++i) {
        recorded->offeredKeys[i] = keys[i];
        keys[i] = 0xffffffffu; // hosts write into the list
    }
    return &token;
}
TMOSErr closeRead(TMReadDescriptor) { return recorded->closeResult; }
TMBoolean getKey(TMReadDescriptor, TMFourCC* key, TMFourCC* type, int32_t* flags)
{
    if (recorded->next >= recorded->items.size())
        return 0;
    *key = recorded->items[recorded->next].first;
    *type = 0;
    *flags = 0;
    return 1;
}
TMOSErr getInteger(TMReadDescriptor, int32_t* value)
{
    *value = recorded->items[recorded->next++].second;
    return recorded->integerResult;
}
TMOSErr getEnumerated(TMReadDescriptor, TMFourCC* value)
{
    *value = static_cast<TMFourCC>(recorded->items[recorded->next++].second);
    return TMNoErr;
}
void disposeHandle(TMHandle) { recorded->disposed = true; }

struct ScriptingFixture : ::testing::Test {
    Recorded rec;
    TMReadDescriptorProcs read{};
    TMDescriptorParameters dp{};
    TMHandleProcs handles{};
    TMFilterRecord record{};
    TMGlobals globals{};
    TMParameters params{};
    int descriptorBlock = 0;

    void SetUp() override
    {
        recorded = &rec;
        read.numReadDescriptorProcs = 18;
        read.openReadDescriptorProc = openRead;
        read.closeReadDescriptorProc = closeRead;
        read.getKeyProc = getKey;
        read.getIntegerProc = getInteger;
        read.getEnumeratedProc = getEnumerated;
        dp.readDescriptorProcs = &read;
        dp.descriptor = &descriptorBlock;
        handles.numHandleProcs = 8;
        handles.disposeProc = disposeHandle;
        record.handleProcs = &handles;
        record.descriptorParameters = &dp;
        TMInitGlobals(&globals);
        applyDefaults(&params, TMSampleFloat32);
    }
    void TearDown() override { recorded = nullptr; }
};

} // namespace

TEST_F(ScriptingFixture, NoDescriptorFollowsThePendingDialog)
{
    record.descriptorParameters = nullptr;
    bool show = false;
    const TMParameters before = params;
    EXPECT_EQ(readScriptParameters(&record, globals, &params, &show), TMNoErr);
    EXPECT_TRUE(show);
    EXPECT_EQ(params.settings.strength, before.settings.strength);
    globals.dialogPending = 0;
    EXPECT_EQ(readScriptParameters(&record, globals, &params, &show), TMNoErr);
    EXPECT_FALSE(show);
    EXPECT_EQ(readScriptParameters(&record, globals, &params, nullptr), TMErrMissingParameter);
}

TEST_F(ScriptingFixture, RecordedValuesAreReadAndTheDescriptorConsumed)
{
    rec.items = {{TMKeyStrength, 55}, {TMKeyWhiteClip, 200}, {TMKeySmoothing, static_cast<int32_t>(TMFourCCOf("int2"))},
                 {TMKeyMicrocontrast, static_cast<int32_t>(TMFourCCOf("int0"))}};
    dp.playInfo = TMDialogDontDisplay;
    bool show = true;
    EXPECT_EQ(readScriptParameters(&record, globals, &params, &show), TMNoErr);
    EXPECT_FALSE(show) << "playInfo 0 renders silently even with a dialog pending";
    EXPECT_EQ(params.settings.strength, 55);
    EXPECT_EQ(params.settings.whiteClip, 200);
    EXPECT_EQ(params.settings.smoothing, -2);
    EXPECT_EQ(params.settings.microcontrast, 0);
    EXPECT_TRUE(rec.disposed);
    EXPECT_EQ(dp.descriptor, nullptr);
    const TMFourCC expectedKeys[8] = {TMKeyLuminosity, TMKeyStrength, TMKeySaturation, TMKeyWhiteClip,
                                      TMKeyBlackClip, TMKeySmoothing, TMKeyMicrocontrast, 0};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(rec.offeredKeys[i], expectedKeys[i]) << i;

    // A second open gets a fresh key list although the host wrote into the first.
    dp.descriptor = &descriptorBlock;
    rec.next = 0;
    dp.playInfo = TMDialogDisplay;
    EXPECT_EQ(readScriptParameters(&record, globals, &params, &show), TMNoErr);
    EXPECT_TRUE(show);
    EXPECT_EQ(rec.offeredKeys[0], TMKeyLuminosity);
}

TEST_F(ScriptingFixture, UnknownKeyStopsTheReadingAndFailedReadsKeepTheField)
{
    rec.items = {{TMKeyStrength, 12}, {TMFourCCOf("zzzz"), 1}, {TMKeyBlackClip, 300}};
    bool show = true;
    EXPECT_EQ(readScriptParameters(&record, globals, &params, &show), TMReadErr);
    EXPECT_EQ(params.settings.strength, 12);
    EXPECT_EQ(params.settings.blackClip, 0) << "keys after the unknown one are not read";

    applyDefaults(&params, TMSampleFloat32);
    dp.descriptor = &descriptorBlock;
    rec.items = {{TMKeyLuminosity, 3}};
    rec.next = 0;
    rec.integerResult = TMParamErr;
    EXPECT_EQ(readScriptParameters(&record, globals, &params, &show), TMParamErr);
    EXPECT_EQ(params.settings.luminosity, 10);

    // A converted value (+2) is a valid value.
    dp.descriptor = &descriptorBlock;
    rec.next = 0;
    rec.integerResult = TMCoercedParamErr;
    EXPECT_EQ(readScriptParameters(&record, globals, &params, &show), TMNoErr);
    EXPECT_EQ(params.settings.luminosity, 3);
}
