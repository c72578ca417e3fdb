#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "fake_host.h"
#include "tm_render_host.h"

using namespace fakehost;

namespace {

// What the fake host delivers at advanceState, and what it saw.
struct Delivery {
    TMFilterRecord* record = nullptr;
    std::vector<float> in, out;
    int32_t rowFloats = 0;
    TMOSErr advanceResult = TMNoErr;
    int advances = 0;
    std::vector<int32_t> progress;
    int polls = 0, abortAtPoll = -1;
};
Delivery* delivery = nullptr;

TMOSErr advance()
{
    ++delivery->advances;
    if (delivery->advanceResult != TMNoErr)
        return delivery->advanceResult;
    delivery->record->inData = delivery->in.data();
    delivery->record->outData = delivery->out.data();
    delivery->record->inRowBytes = delivery->record->outRowBytes = delivery->rowFloats * 4;
    return TMNoErr;
}
void progress(int32_t done, int32_t) { delivery->progress.push_back(done); }
TMBoolean abortProc() { return delivery->polls++ == delivery->abortAtPoll ? 1 : 0; }

struct RenderFixture : HostFixture {
    Delivery d;
    TMGlobals globals;
    TMParameters params;
    static constexpr int W = 130, H = 100;

    void SetUp() override
    {
        HostFixture::SetUp();
        delivery = &d;
        d.record = &record;
        // Rows padded by 7 floats, three planes delivered.
        d.rowFloats = W * 3 + 7;
        d.in.assign(static_cast<size_t>(d.rowFloats) * H, 0.0f);
        d.out.assign(d.in.size(), -1.0f);
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W * 3; ++x)
                d.in[y * d.rowFloats + x] = 0.02f + 0.5f * static_cast<float>((x * 31 + y * 17) % 97);
        record.filterRect = TMRect16{0, 0, H, W};
        record.planes = 4; // RGB with transparency
        record.advanceState = advance;
        record.progressProc = progress;
        record.abortProc = abortProc;
        TMInitGlobals(&globals);
        globals.width = W;
        globals.height = H;
        globals.sampleFormat = TMSampleFloat32;
        applyDefaults(&params, TMSampleFloat32);
    }
    void TearDown() override
    {
        EXPECT_EQ(globals.lumBufferId, nullptr);
        EXPECT_EQ(globals.attenBufferId, nullptr);
        EXPECT_EQ(globals.pyramidBufferId, nullptr);
        EXPECT_EQ(globals.lumBuffer, nullptr);
        delivery = nullptr;
        HostFixture::TearDown();
    }
};

} // namespace

TEST_F(RenderFixture, RequestsTheWholeRectangleOnceAndHonoursRowBytes)
{
    ASSERT_EQ(TMRender(&record, params, &globals), TMNoErr);
    EXPECT_EQ(d.advances, 1);
    EXPECT_EQ(record.inHiPlane, 2) << "a four-plane image is requested as planes 0 to 2";
    EXPECT_EQ(record.outLoPlane, 0);
    EXPECT_EQ(record.inputRate, 0x10000);
    EXPECT_EQ(record.outRect.right, W);
    EXPECT_EQ(d.progress, (std::vector<int32_t>{0, 5, 30, 70}));
    EXPECT_EQ(globals.workWidth, W);
    for (int y = 0; y < H; ++y) {
        for (int x = 0; x < W * 3; ++x)
            ASSERT_TRUE(d.out[y * d.rowFloats + x] >= 0.0f && d.out[y * d.rowFloats + x] <= 1.0f) << y << "," << x;
        for (int x = W * 3; x < d.rowFloats; ++x)
            ASSERT_EQ(d.out[y * d.rowFloats + x], -1.0f) << "row padding untouched";
    }
}

TEST_F(RenderFixture, HostFailuresAndCancelEndCleanly)
{
    d.advanceResult = TMMemFullErr;
    EXPECT_EQ(TMRender(&record, params, &globals), TMMemFullErr) << "the host's own code";
    d.advanceResult = TMNoErr;
    for (int poll = 0; poll < 5; ++poll) {
        d.polls = 0;
        d.abortAtPoll = poll;
        EXPECT_EQ(TMRender(&record, params, &globals), TMUserCanceledErr) << poll;
    }
    d.abortAtPoll = -1;
    buffers.failLock = true;
    EXPECT_EQ(TMRender(&record, params, &globals), TMMemFullErr);
    buffers.failLock = false;
    globals.width = 99;
    EXPECT_EQ(TMRender(&record, params, &globals), TMFilterBadParameters);
}

TEST_F(RenderFixture, BigDocumentHostsGetTheirRectanglesInThe32BitRecord)
{
    TMBigDocumentStruct big{};
    big.PluginUsing32BitCoordinates = 1;
    big.filterRect32 = TMVRect{0, 0, H, W};
    record.bigDocumentData = &big;
    record.filterRect = TMRect16{0, 0, 0, 0};
    ASSERT_EQ(TMRender(&record, params, &globals), TMNoErr);
    EXPECT_EQ(big.inRect32.bottom, H);
    EXPECT_EQ(big.outRect32.right, W);
    EXPECT_EQ(record.inRect.bottom, 0) << "16-bit fields untouched";
}
