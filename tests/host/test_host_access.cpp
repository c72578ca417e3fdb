// Host access against the simulated host: rectangles in the form the host uses, and
// buffers acquired, locked and released through its buffer suite, including every
// way the suite can fail.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "host_access.h"
#include "tm_sim_host.h"

namespace {

// No plug-in runs: the tests call host access themselves, inside the host's context.
void noPlugin(int16_t, void*, intptr_t*, int16_t* result) { *result = TMNoErr; }

// A host offering the 16-bit record and the five-call buffer suite; every test leaves
// no buffer allocated and no id the host never handed out.
struct HostFixture : ::testing::Test {
    static tmsim::Options hostOptions()
    {
        tmsim::Options o;
        o.bigDocument = false;
        return o;
    }
    static tmsim::Document document(std::vector<float>& pixels)
    {
        tmsim::Document d;
        d.source = d.destination = pixels.data();
        d.width = 4;
        d.height = 2;
        d.rowBytes = 4 * 3 * 4;
        return d;
    }

    std::vector<float> pixels = std::vector<float>(4 * 2 * 3, 1.0f);
    tmsim::Options options = hostOptions();
    tmsim::Host host{noPlugin, document(pixels), options};
    TMFilterRecord& record = host.record();
    TMBigDocumentStruct big{};

    void TearDown() override
    {
        EXPECT_EQ(host.liveBuffers(), 0) << "buffers left allocated";
        EXPECT_EQ(host.misuses(), 0) << "an id the host never handed out was locked or freed";
    }
};

} // namespace

TEST_F(HostFixture, RectanglesUseTheFormTheHostUses)
{
    record.filterRect = TMRect16{10, 20, 110, 220};
    EXPECT_FALSE(TMUses32BitCoordinates(&record));
    const TMVRect r = getFilterRect(&record);
    EXPECT_EQ(r.top, 10);
    EXPECT_EQ(r.right, 220);
    setInRect(&record, r);
    setOutRect(&record, r);
    EXPECT_EQ(record.inRect.bottom, 110);
    EXPECT_EQ(record.outRect.left, 20);

    // With the 32-bit record declared in use, the 16-bit fields stay untouched.
    record.bigDocumentData = &big;
    EXPECT_FALSE(TMUses32BitCoordinates(&record)) << "present but not declared";
    big.PluginUsing32BitCoordinates = 1;
    big.filterRect32 = TMVRect{5, 6, 70000, 80000};
    const TMRect16 before = record.inRect;
    setInRect(&record, getFilterRect(&record));
    setMaskRect(&record, TMVRect{0, 0, 0, 0});
    EXPECT_EQ(big.inRect32.bottom, 70000);
    EXPECT_EQ(std::memcmp(&record.inRect, &before, sizeof before), 0);
    EXPECT_EQ(getInRect(&record).right, 80000);
}

TEST_F(HostFixture, BufferAcquiredLockedAndReleased)
{
    host.inside([&] {
        TMHostBuffer b;
        ASSERT_EQ(TMAcquireHostBuffer(&record, 4096, &b), TMNoErr);
        EXPECT_NE(b.data, nullptr);
        EXPECT_EQ(host.lastAllocationSize(), 4096);
        TMReleaseHostBuffer(&record, &b);
        EXPECT_EQ(b.id, nullptr);
        EXPECT_EQ(b.data, nullptr);
        EXPECT_EQ(host.bufferUnlocks(), 1);
        EXPECT_EQ(host.bufferFrees(), 1);
        TMReleaseHostBuffer(&record, &b); // an empty buffer: nothing happens
        EXPECT_EQ(host.bufferFrees(), 1);
    });
}

TEST_F(HostFixture, FailedAllocateIsNeverLocked)
{
    // The allocate call's result decides, even when the host scribbled an id.
    options.failAllocation = 1;
    options.garbageIdOnFailure = true;
    host.rearm(options);
    host.inside([&] {
        TMHostBuffer b;
        EXPECT_EQ(TMAcquireHostBuffer(&record, 100, &b), TMMemFullErr);
        EXPECT_EQ(host.bufferLocks(), 0);
        EXPECT_EQ(b.id, nullptr);
    });
}

TEST_F(HostFixture, FailedLockIsOnlyFreed)
{
    options.failLock = 1;
    host.rearm(options);
    host.inside([&] {
        TMHostBuffer b;
        EXPECT_EQ(TMAcquireHostBuffer(&record, 100, &b), TMMemFullErr);
        EXPECT_EQ(host.bufferFrees(), 1);
        EXPECT_EQ(host.bufferUnlocks(), 0);
        EXPECT_EQ(b.id, nullptr);
    });
}

TEST_F(HostFixture, SizesBeyondThirtyTwoBitsNeedTheWideAllocate)
{
    host.inside([&] {
        TMHostBuffer b;
        const int64_t big = int64_t{3} << 30;
        EXPECT_EQ(TMAcquireHostBuffer(&record, big, &b), TMMemFullErr) << "never a wrapped 32-bit size";
        EXPECT_EQ(host.lastAllocationSize(), 0) << "the 32-bit allocate is not called";
        options.numBufferProcs = 8;
        options.bufferLimit = int64_t{1} << 30; // nothing this large is available here
        host.rearm(options);
        EXPECT_EQ(TMAcquireHostBuffer(&record, big, &b), TMMemFullErr);
        EXPECT_EQ(host.lastAllocationSize(), big);
        record.bufferProcs = nullptr;
        EXPECT_EQ(TMAcquireHostBuffer(&record, 16, &b), TMMemFullErr) << "no buffer suite";
    });
}

TEST_F(HostFixture, EngineRendersThroughTheHostBuffers)
{
    const int W = 120, H = 100;
    std::vector<float> in(W * H * 3), out(W * H * 3);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = 0.01f + static_cast<float>((i * 7919) % 1000) * 0.05f;
    TMParameters p;
    applyDefaults(&p, TMSampleFloat32);
    const TMHostImage img{TMSampleFloat32, W, H, 3, 3, 3, in.data(), W * 12, out.data(), W * 12, 0, {0, 0, 0}, 0};
    host.inside([&] {
        EXPECT_EQ(TMRunStages(p, img, TMHostBufferAllocator(&record), TMProgressSink{}), TMResultOK);
        EXPECT_EQ(host.bufferFrees(), 3);
        options.failLock = 1;
        host.rearm(options);
        EXPECT_EQ(TMRunStages(p, img, TMHostBufferAllocator(&record), TMProgressSink{}), TMResultMemFull);
    });
}

TEST(HostAccess, RowBytesAndMissingServices)
{
    EXPECT_EQ(TMEffectiveRowBytes(1000, 100, 3, 2), 1000) << "padded rows are honoured";
    EXPECT_EQ(TMEffectiveRowBytes(300, 100, 3, 2), 600) << "under-reported rows are packed";
    TMFilterRecord record{};
    EXPECT_EQ(TMAdvanceState(&record), TMFilterBadParameters);
    EXPECT_FALSE(TMAbortRequested(&record));
    TMReportProgress(&record, 5, 100);
    EXPECT_EQ(TMNewHandle(&record, 16), nullptr);
    EXPECT_EQ(TMLockHandle(&record, nullptr), nullptr);
    EXPECT_EQ(TMFourCCOf("dynR"), 0x64796E52u);
}

namespace {

TMFilterRecord* requested = nullptr;
TMOSErr deliverPadded()
{
    static uint16_t samples[4];
    requested->inData = requested->outData = samples;
    requested->inRowBytes = 1000;       // padded rows
    requested->outRowBytes = 2 * 3 * 7; // under-reported: 7 pixels of 3 words for 40 pixels
    return TMNoErr;
}

} // namespace

// The whole-image request and what it delivers, for every plane count a host may
// report: planes 0..min(planes, 3) - 1 (3 for counts outside 1..3), the output only
// when asked for, rows by the host's row bytes or packed at the format's sample size.
TEST(HostAccess, WholeImageRequestsPlanesAndRowsForEveryPlaneCount)
{
    struct Case {
        int16_t hostPlanes;
        int32_t planes;
    };
    for (const Case c : {Case{1, 1}, Case{2, 2}, Case{3, 3}, Case{4, 3}, Case{0, 3}, Case{-1, 3}}) {
        for (const bool withOutput : {false, true}) {
            TMFilterRecord record{};
            requested = &record;
            record.advanceState = deliverPadded;
            record.planes = c.hostPlanes;
            record.filterRect = TMRect16{2, 3, 52, 43};
            record.outRect = TMRect16{0, 0, 1, 1};
            ASSERT_EQ(TMRequestWholeImage(&record, withOutput), TMNoErr);
            EXPECT_EQ(TMFilterPlanes(&record), c.planes);
            EXPECT_EQ(record.inLoPlane, 0);
            EXPECT_EQ(record.inHiPlane, c.planes - 1) << c.hostPlanes;
            EXPECT_EQ(record.outHiPlane, c.planes - 1) << c.hostPlanes;
            EXPECT_EQ(record.inRect.left, 3);
            EXPECT_EQ(record.inRect.bottom, 52);
            EXPECT_EQ(record.outRect.right, withOutput ? 43 : 1) << "the preview asks for input only";
            EXPECT_EQ(record.inputRate, 0x10000);

            const TMHostImage image = TMDeliveredImage(&record, TMSample16, 40, 50);
            EXPECT_EQ(image.planes, c.planes);
            EXPECT_EQ(image.inPixelStride, c.planes);
            EXPECT_EQ(image.inRowBytes, 1000);
            EXPECT_EQ(image.outRowBytes, 40 * c.planes * 2) << c.hostPlanes;
            EXPECT_EQ(TMDeliveredImage(&record, TMSampleFloat32, 40, 50).outRowBytes, 40 * c.planes * 4);
        }
    }
    requested = nullptr;

    TMFilterRecord record{};
    TMBigDocumentStruct big{};
    record.bigDocumentData = &big;
    TMDeclare32BitCoordinates(&record);
    big.inRect32 = big.outRect32 = big.maskRect32 = TMVRect{1, 2, 3, 4};
    record.inRect = record.outRect = record.maskRect = TMRect16{1, 2, 3, 4};
    TMEndRequests(&record);
    for (const TMVRect& r : {big.inRect32, big.outRect32, big.maskRect32})
        EXPECT_TRUE(r.top == 0 && r.left == 0 && r.bottom == 0 && r.right == 0);
    for (const TMRect16& r : {record.inRect, record.outRect, record.maskRect})
        EXPECT_TRUE(r.top == 0 && r.left == 0 && r.bottom == 0 && r.right == 0) << "both forms are emptied";
}
