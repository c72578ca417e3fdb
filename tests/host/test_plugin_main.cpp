#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "fake_host.h"
#include "plugin_main.h"
#include "shown_messages.h"
#include "tm_globals.h"

using namespace fakehost;

namespace {

// Handles with lock counts; allocation can be refused.
struct FakeHandles {
    std::map<void*, int> locks; // handle -> lock depth
    bool failNew = false;
    int news = 0;
};
FakeHandles* handles = nullptr;

TMHandle newHandle(int32_t size)
{
    if (handles->failNew)
        return nullptr;
    ++handles->news;
    void* p = std::calloc(1, static_cast<size_t>(size));
    handles->locks[p] = 0;
    return p;
}
void* lockHandle(TMHandle h, TMBoolean)
{
    ++handles->locks[h];
    return h;
}
void unlockHandle(TMHandle h) { --handles->locks[h]; }
void disposeHandle(TMHandle h)
{
    handles->locks.erase(h);
    std::free(h);
}

std::vector<float>* input = nullptr;
std::vector<float>* output = nullptr;
TMFilterRecord* current = nullptr;
TMOSErr advance()
{
    current->inData = input->data();
    current->outData = output->data();
    current->inRowBytes = current->outRowBytes = 0; // under-reported: packed rows
    return TMNoErr;
}

struct EntryFixture : HostFixture {
    FakeHandles fh;
    TMHandleProcs hp{};
    intptr_t data = 0;
    int16_t result = 0;
    std::vector<float> in, out;
    static constexpr int W = 120, H = 100;

    void SetUp() override
    {
        HostFixture::SetUp();
        handles = &fh;
        hp.numHandleProcs = 8;
        hp.newProc = newHandle;
        hp.lockProc = lockHandle;
        hp.unlockProc = unlockHandle;
        hp.disposeProc = disposeHandle;
        record.handleProcs = &hp;
        record.filterRect = TMRect16{0, 0, H, W};
        record.planes = 3;
        record.imageMode = TMModeRGB96;
        record.depth = 32;
        record.maxSpace = 100000000;
        record.advanceState = advance;
        in.resize(W * H * 3);
        for (size_t i = 0; i < in.size(); ++i)
            in[i] = 0.01f + static_cast<float>((i * 37) % 101);
        out.assign(in.size(), -1.0f);
        input = &in;
        output = &out;
        current = &record;
        TMRecordedMessages().clear();
    }
    void TearDown() override
    {
        for (auto& [h, depth] : fh.locks)
            EXPECT_EQ(depth, 0) << "a handle is left locked";
        if (record.parameters)
            disposeHandle(record.parameters);
        if (data)
            disposeHandle(reinterpret_cast<TMHandle>(data));
        handles = nullptr;
        HostFixture::TearDown();
    }
    int16_t call(int16_t selector)
    {
        result = 0;
        PluginMain(selector, &record, &data, &result);
        return result;
    }
    TMParameters& params() { return *static_cast<TMParameters*>(record.parameters); }
    TMGlobals& globals() { return *reinterpret_cast<TMGlobals*>(data); }
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
    disposeHandle(reinterpret_cast<TMHandle>(data));
    data = 0;
    ASSERT_EQ(call(TMSelectorPrepare), TMNoErr);
    EXPECT_EQ(params().settings.strength, 70) << "settings without their working record are reset";
    params().settings.strength = 9;
    ASSERT_EQ(call(TMSelectorParameters), TMNoErr);
    EXPECT_EQ(params().settings.strength, 70);
}

TEST_F(EntryFixture, MissingHandlesAndFailedAllocations)
{
    EXPECT_EQ(call(TMSelectorStart), TMFilterBadParameters) << "start without handles";
    fh.failNew = true;
    EXPECT_EQ(call(TMSelectorParameters), TMMemFullErr);
    fh.failNew = false;
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
