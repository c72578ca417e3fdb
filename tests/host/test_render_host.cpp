// The final render's host side against the simulated host: one request for the
// whole rectangle, the delivered row layout honoured, host failures and cancelling.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "tm_render_host.h"
#include "tm_sim_host.h"

namespace {

// No plug-in runs: the tests call TMRender themselves, inside the host's context.
void noPlugin(int16_t, void*, intptr_t*, int16_t* result) { *result = TMNoErr; }

struct RenderFixture : ::testing::Test {
    static constexpr int W = 130, H = 100;
    static constexpr float kAlpha = 0.75f;

    // RGB with transparency; the host copies three planes into rows padded by 7 floats.
    static tmsim::Options hostOptions()
    {
        tmsim::Options o;
        o.bigDocument = false;
        o.rowPadding = 7 * 4;
        return o;
    }
    static tmsim::Document document(std::vector<float>& pixels)
    {
        pixels.resize(static_cast<size_t>(W) * H * 4);
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W * 3; ++x)
                pixels[(static_cast<size_t>(y) * W + x / 3) * 4 + x % 3] =
                    0.02f + 0.5f * static_cast<float>((x * 31 + y * 17) % 97);
        for (size_t i = 3; i < pixels.size(); i += 4)
            pixels[i] = kAlpha;
        tmsim::Document d;
        d.source = d.destination = pixels.data();
        d.width = W;
        d.height = H;
        d.planes = 4;
        d.rowBytes = int64_t{W} * 4 * 4;
        return d;
    }

    std::vector<float> pixels;
    tmsim::Options options = hostOptions();
    tmsim::Host host{noPlugin, document(pixels), options};
    TMFilterRecord& record = host.record();
    TMGlobals globals;
    TMParameters params;

    void SetUp() override
    {
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
        EXPECT_EQ(host.liveBuffers(), 0) << "buffers left allocated";
        EXPECT_EQ(host.misuses(), 0) << "an id the host never handed out was locked or freed";
    }
    int16_t render()
    {
        int16_t result = TMNoErr;
        host.inside([&] { result = TMRender(&record, params, &globals); });
        return result;
    }
    std::vector<int32_t> progress() const
    {
        std::vector<int32_t> done;
        for (const auto& [d, total] : host.progress())
            done.push_back(d);
        return done;
    }
};

} // namespace

TEST_F(RenderFixture, RequestsTheWholeRectangleOnceAndHonoursRowBytes)
{
    ASSERT_EQ(render(), TMNoErr);
    EXPECT_EQ(host.advanceCalls(), 1);
    EXPECT_EQ(record.inHiPlane, 2) << "a four-plane image is requested as planes 0 to 2";
    EXPECT_EQ(record.outLoPlane, 0);
    EXPECT_EQ(record.inputRate, 0x10000);
    EXPECT_EQ(record.outRect.right, W);
    EXPECT_EQ(progress(), (std::vector<int32_t>{0, 5, 30, 70}));
    EXPECT_EQ(globals.workWidth, W);
    for (size_t i = 0; i < pixels.size(); ++i) {
        if (i % 4 == 3)
            ASSERT_EQ(pixels[i], kAlpha) << "transparency untouched";
        else
            ASSERT_TRUE(pixels[i] >= 0.0f && pixels[i] <= 1.0f) << i / 4 / W << "," << i / 4 % W;
    }
    EXPECT_EQ(host.paddingWrites(), 0) << "row padding untouched";
}

TEST_F(RenderFixture, HostFailuresAndCancelEndCleanly)
{
    tmsim::Options o = options;
    o.advanceResult = TMMemFullErr;
    host.rearm(o);
    EXPECT_EQ(render(), TMMemFullErr) << "the host's own code";
    for (int poll = 1; poll <= 5; ++poll) {
        o = options;
        o.abortAtPoll = poll;
        host.rearm(o);
        EXPECT_EQ(render(), TMUserCanceledErr) << poll;
    }
    o = options;
    o.failLock = 1;
    host.rearm(o);
    EXPECT_EQ(render(), TMMemFullErr);
    host.rearm(options);
    globals.width = 99;
    EXPECT_EQ(render(), TMFilterBadParameters);
}

TEST_F(RenderFixture, BigDocumentHostsGetTheirRectanglesInThe32BitRecord)
{
    options.bigDocument = true;
    host.rearm(options);
    TMBigDocumentStruct& big = *record.bigDocumentData;
    big.PluginUsing32BitCoordinates = 1;
    ASSERT_EQ(big.filterRect32.bottom, H);
    record.filterRect = TMRect16{0, 0, 0, 0};
    ASSERT_EQ(render(), TMNoErr);
    EXPECT_EQ(big.inRect32.bottom, H);
    EXPECT_EQ(big.outRect32.right, W);
    EXPECT_EQ(record.inRect.bottom, 0) << "16-bit fields untouched";
}
