#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <random>
#include <vector>

#include "demo_scene.h"
#include "engine_test_util.h"
#include "tm_render.h"

namespace {

// Heap buffers that can refuse the Nth request and remember what is outstanding.
struct TestAllocator {
    int failAt = -1; // 0-based index of the request to refuse; -1 never
    int requests = 0;
    std::vector<int64_t> sizes;
    std::map<intptr_t, int64_t> live;

    static float* acquire(void* ctx, int64_t bytes, intptr_t* id)
    {
        auto* self = static_cast<TestAllocator*>(ctx);
        self->sizes.push_back(bytes);
        if (self->requests++ == self->failAt)
            return nullptr;
        void* p = std::malloc(static_cast<size_t>(bytes));
        if (!p)
            return nullptr;
        *id = reinterpret_cast<intptr_t>(p);
        self->live[*id] = bytes;
        return static_cast<float*>(p);
    }
    static void release(void* ctx, intptr_t id)
    {
        auto* self = static_cast<TestAllocator*>(ctx);
        EXPECT_EQ(self->live.count(id), 1u) << "released an id it does not hold";
        self->live.erase(id);
        std::free(reinterpret_cast<void*>(id));
    }
    TMBufferAllocator get() { return TMBufferAllocator{this, acquire, release}; }
};

struct TestProgress {
    std::vector<int32_t> reported;
    int polls = 0;
    int cancelAtPoll = -1;

    static void report(void* ctx, int32_t done, int32_t total)
    {
        EXPECT_EQ(total, 100);
        static_cast<TestProgress*>(ctx)->reported.push_back(done);
    }
    static bool cancelled(void* ctx)
    {
        auto* self = static_cast<TestProgress*>(ctx);
        return self->polls++ == self->cancelAtPoll;
    }
    TMProgressSink get() { return TMProgressSink{this, report, cancelled}; }
};

struct FloatImage {
    int32_t W, H, planes;
    std::vector<float> in, out;
    FloatImage(int32_t w, int32_t h, int32_t p = 3) : W(w), H(h), planes(p)
    {
        std::vector<float> rgb(static_cast<size_t>(w) * h * 3);
        TMMakeDemoScene(w, h, rgb.data());
        in.resize(static_cast<size_t>(w) * h * p);
        for (size_t i = 0; i < static_cast<size_t>(w) * h; ++i)
            for (int c = 0; c < p; ++c)
                in[i * p + c] = c < 3 ? rgb[i * 3 + c] : 0.75f + static_cast<float>(i % 13);
        out.assign(in.size(), -5.0f);
    }
    TMHostImage host()
    {
        const int64_t row = int64_t{W} * planes * 4;
        return TMHostImage{TMSampleFloat32, W,   H, planes,    planes, planes, in.data(), row,
                           out.data(),      row, 0, {0, 0, 0}, 0};
    }
};

struct Image16 {
    int32_t W, H;
    std::vector<uint16_t> in, out;
    Image16(int32_t w, int32_t h) : W(w), H(h)
    {
        std::vector<float> rgb(static_cast<size_t>(w) * h * 3);
        TMMakeDemoScene(w, h, rgb.data());
        in.resize(rgb.size());
        for (size_t i = 0; i < rgb.size(); ++i)
            in[i] = static_cast<uint16_t>(std::min(32768.0, 32768.0 * std::pow(rgb[i] / 200.0, 1 / 2.2)));
        out.assign(in.size(), 9);
    }
    TMHostImage host()
    {
        const int64_t row = int64_t{W} * 3 * 2;
        return TMHostImage{TMSample16, W, H, 3, 3, 3, in.data(), row, out.data(), row, 0, {0, 0, 0}, 0};
    }
};

TMParameters defaults(int32_t sampleFormat)
{
    TMParameters p;
    applyDefaults(&p, sampleFormat);
    return p;
}

int16_t render(const TMParameters& p, const TMHostImage& img, TestAllocator* alloc = nullptr,
               TestProgress* progress = nullptr, TMRenderReport* report = nullptr)
{
    TestAllocator localAlloc;
    TestProgress localProgress;
    TestAllocator& a = alloc ? *alloc : localAlloc;
    TestProgress& pr = progress ? *progress : localProgress;
    const int16_t r = TMRunStages(p, img, a.get(), pr.get(), report);
    EXPECT_TRUE(a.live.empty()) << "every working buffer is released";
    return r;
}

} // namespace

TEST(DerivedSettings, LuminosityClipsSmoothingAndPad)
{
    TMParameters p = defaults(TMSampleFloat32);
    const int expectedLevels[21] = {1, 1, 2, 2, 3, 4, 4, 5, 5, 6, 7, 7, 8, 8, 9, 10, 10, 11, 11, 12, 13};
    for (int l = 0; l <= 20; ++l) {
        p.settings.luminosity = l;
        EXPECT_EQ(TMDeriveSettings(p, 500, 3).lumLevel, expectedLevels[l]) << l;
    }
    p.settings.microsmoothing = 11;
    EXPECT_FLOAT_EQ(TMDeriveSettings(p, 500, 3).smoothingFactor, 11.0f / 15.0f);
    p.settings.microsmoothing = 12;
    EXPECT_FLOAT_EQ(TMDeriveSettings(p, 500, 3).smoothingFactor, 0.8333f);
    p.settings.microsmoothing = 0;
    EXPECT_EQ(TMDeriveSettings(p, 500, 3).smoothingFactor, 0.0f);
    p.settings.whiteClip = 0;
    p.settings.blackClip = 0;
    EXPECT_FLOAT_EQ(TMDeriveSettings(p, 500, 3).whiteClipPercent, 0.005f);
    EXPECT_EQ(TMDeriveSettings(p, 500, 3).blackClipPercent, 0.0f);
    EXPECT_EQ(TMDeriveSettings(p, 500, 3).gamma, 2.2000000476837158);
    p.settings.image360 = 1;
    EXPECT_EQ(TMDeriveSettings(p, 1001, 3).pad, 250);
    EXPECT_EQ(TMDeriveSettings(p, 1001, 4).planes, 3);
    // Scripting can deliver anything; nothing overflows.
    p.settings.whiteClip = INT32_MAX;
    p.settings.luminosity = INT32_MIN;
    EXPECT_EQ(TMDeriveSettings(p, 1001, 3).lumLevel, 1);
    EXPECT_GT(TMDeriveSettings(p, 1001, 3).whiteClipPercent, 10.0f);
}

TEST(Render, ProgressPointsAndBufferSizes)
{
    FloatImage img(150, 120);
    TestAllocator alloc;
    TestProgress progress;
    TMRenderReport report;
    ASSERT_EQ(render(defaults(TMSampleFloat32), img.host(), &alloc, &progress, &report), TMResultOK);
    EXPECT_EQ(progress.reported, (std::vector<int32_t>{0, 5, 30, 70}));
    EXPECT_EQ(progress.polls, 5);
    ASSERT_EQ(alloc.sizes.size(), 3u);
    for (int64_t s : alloc.sizes)
        EXPECT_EQ(s, report.bufferBytes);
    for (float v : img.out) {
        ASSERT_TRUE(std::isfinite(v));
        ASSERT_GE(v, 0.0f);
        ASSERT_LE(v, 1.0f);
    }
}

TEST(Render, TooSmallIsRefusedBeforeAnyBuffer)
{
    FloatImage img(99, 500);
    TestAllocator alloc;
    TMRenderReport report;
    EXPECT_EQ(render(defaults(TMSampleFloat32), img.host(), &alloc, nullptr, &report), TMResultBadParameters);
    EXPECT_EQ(report.failedStep, TMRenderStep::TooSmall);
    EXPECT_TRUE(alloc.sizes.empty());
    FloatImage ok(100, 100);
    EXPECT_EQ(render(defaults(TMSampleFloat32), ok.host()), TMResultOK);
}

TEST(Render, FlatImageFailsAndLeavesOutputUntouched)
{
    FloatImage img(120, 100);
    std::fill(img.in.begin(), img.in.end(), 0.5f);
    TMRenderReport report;
    EXPECT_EQ(render(defaults(TMSampleFloat32), img.host(), nullptr, nullptr, &report), TMResultBadParameters);
    EXPECT_EQ(report.failedStep, TMRenderStep::OutputMapping);
    for (float v : img.out)
        ASSERT_EQ(v, -5.0f);
}

TEST(Render, EveryAllocationFailureReleasesEverything)
{
    for (int failAt = 0; failAt < 3; ++failAt) {
        FloatImage img(110, 100);
        TestAllocator alloc;
        alloc.failAt = failAt;
        EXPECT_EQ(render(defaults(TMSampleFloat32), img.host(), &alloc), TMResultMemFull) << failAt;
        EXPECT_EQ(alloc.requests, failAt + 1);
        for (float v : img.out)
            ASSERT_EQ(v, -5.0f);
    }
}

TEST(Render, CancelAtEveryPollReleasesEverything)
{
    for (int poll = 0; poll < 5; ++poll) {
        FloatImage img(110, 100);
        TestAllocator alloc;
        TestProgress progress;
        progress.cancelAtPoll = poll;
        EXPECT_EQ(render(defaults(TMSampleFloat32), img.host(), &alloc, &progress), TMResultCanceled) << poll;
        if (poll < 4) {
            for (float v : img.out)
                ASSERT_EQ(v, -5.0f) << "cancel before output mapping leaves the output untouched";
        }
    }
}

TEST(Render, FourPlanesLeavePlaneFourUntouched)
{
    FloatImage img(130, 100, 4);
    img.out = img.in;
    ASSERT_EQ(render(defaults(TMSampleFloat32), img.host()), TMResultOK);
    for (size_t i = 0; i < static_cast<size_t>(img.W) * img.H; ++i) {
        ASSERT_EQ(img.out[i * 4 + 3], img.in[i * 4 + 3]);
        ASSERT_NE(img.out[i * 4 + 1], img.in[i * 4 + 1]) << "colour planes are mapped";
    }
}

TEST(Render, InPlaceOutputMatchesSeparateOutput)
{
    FloatImage a(140, 110), b(140, 110);
    ASSERT_EQ(render(defaults(TMSampleFloat32), a.host()), TMResultOK);
    TMHostImage inPlace = b.host();
    inPlace.outData = b.in.data();
    ASSERT_EQ(render(defaults(TMSampleFloat32), inPlace), TMResultOK);
    EXPECT_EQ(a.out, b.in);
}

TEST(Render, PaddedRowsGiveTheSameResult)
{
    FloatImage packed(120, 100);
    ASSERT_EQ(render(defaults(TMSampleFloat32), packed.host()), TMResultOK);
    const int64_t rowFloats = 120 * 3 + 5;
    std::vector<float> in(rowFloats * 100, 123.0f), out(rowFloats * 100, -1.0f);
    for (int y = 0; y < 100; ++y)
        std::copy_n(packed.in.begin() + y * 360, 360, in.begin() + y * rowFloats);
    TMHostImage img = packed.host();
    img.inData = in.data();
    img.outData = out.data();
    img.inRowBytes = img.outRowBytes = rowFloats * 4;
    ASSERT_EQ(render(defaults(TMSampleFloat32), img), TMResultOK);
    for (int y = 0; y < 100; ++y) {
        ASSERT_TRUE(
            std::equal(packed.out.begin() + y * 360, packed.out.begin() + (y + 1) * 360, out.begin() + y * rowFloats))
            << y;
        ASSERT_EQ(out[y * rowFloats + 360], -1.0f) << "row padding is not written";
    }
}

TEST(Render, StrengthEndsDiffer16And32)
{
    for (int32_t format : {TMSampleFloat32, TMSample16}) {
        TMParameters p = defaults(format);
        auto run = [&](int strength) {
            p.settings.strength = strength;
            if (format == TMSampleFloat32) {
                FloatImage img(120, 100);
                EXPECT_EQ(render(p, img.host()), TMResultOK);
                return std::vector<double>(img.out.begin(), img.out.end());
            }
            Image16 img(120, 100);
            EXPECT_EQ(render(p, img.host()), TMResultOK);
            for (uint16_t v : img.out)
                EXPECT_LE(v, 32768);
            return std::vector<double>(img.out.begin(), img.out.end());
        };
        const auto weak = run(0), strong = run(100), over = run(150);
        EXPECT_NE(weak, strong);
        EXPECT_EQ(strong, over) << "strength is limited to 100";
    }
}

TEST(Render, SeamOfA360ImageJoinsLikeInteriorColumns)
{
    // A panorama whose left and right edges are the same meridian: with the switch on,
    // the step between the last and first output columns is as small as between
    // neighbouring interior columns.
    const int W = 240, H = 120;
    FloatImage img(W, H);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const double a = 2 * kPi * x / W;
            const float v = static_cast<float>(0.05 + 20.0 * std::pow(0.5 + 0.5 * std::cos(a - 0.4), 8) +
                                               0.3 * (0.5 + 0.5 * std::sin(3 * a + y * 0.05)));
            for (int c = 0; c < 3; ++c)
                img.in[(y * W + x) * 3 + c] = v * (c == 0 ? 1.0f : c == 1 ? 0.9f : 0.8f);
        }
    auto columnStep = [&](const std::vector<float>& out, int x0, int x1) {
        double s = 0;
        for (int y = 0; y < H; ++y)
            s += std::fabs(std::log(out[(y * W + x0) * 3 + 1] + 1e-6) - std::log(out[(y * W + x1) * 3 + 1] + 1e-6));
        return s / H;
    };
    TMParameters p = defaults(TMSampleFloat32);
    p.settings.image360 = 1;
    ASSERT_EQ(render(p, img.host()), TMResultOK);
    double interior = 0;
    for (int x = 1; x < W; ++x)
        interior = std::max(interior, columnStep(img.out, x - 1, x));
    EXPECT_LE(columnStep(img.out, W - 1, 0), 1.5 * interior);

    // Without the switch the edges are solved independently and the seam shows.
    p.settings.image360 = 0;
    ASSERT_EQ(render(p, img.host()), TMResultOK);
    EXPECT_GT(columnStep(img.out, W - 1, 0), 0.0);
}

TEST(Render, SolverDepthIsBoundedForExtremeSmoothing)
{
    TMParameters p = defaults(TMSampleFloat32);
    p.settings.smoothing = -2;
    FloatImage square(100, 100);
    EXPECT_EQ(render(p, square.host()), TMResultOK);
    p.settings.smoothing = 2;
    FloatImage strip(6000, 100);
    EXPECT_EQ(render(p, strip.host()), TMResultOK);
    for (float v : strip.out)
        ASSERT_TRUE(std::isfinite(v));
}

TEST(Render, HugeImagesAreRefusedWithoutWrappedSizes)
{
    // The pixels are never read: the render refuses before it converts anything.
    float dummy = 0;
    TMParameters p = defaults(TMSampleFloat32);
    TestAllocator alloc;
    alloc.failAt = 0;
    TMHostImage img{TMSampleFloat32, 21000, 21000, 3, 3, 3, &dummy, 21000 * 12, &dummy, 21000 * 12, 0, {0, 0, 0}, 0};
    TMRenderReport report;
    EXPECT_EQ(render(p, img, &alloc, nullptr, &report), TMResultMemFull);
    ASSERT_EQ(alloc.sizes.size(), 1u);
    EXPECT_GT(alloc.sizes[0], int64_t{4} * 21000 * 21000) << "the full 64-bit size is requested";
    EXPECT_EQ(alloc.sizes[0], report.bufferBytes);

    TestAllocator none;
    img.width = img.height = 60000;
    img.inRowBytes = img.outRowBytes = int64_t{60000} * 12;
    EXPECT_EQ(render(p, img, &none, nullptr, &report), TMResultMemFull);
    EXPECT_EQ(report.failedStep, TMRenderStep::BufferTooLarge);
    EXPECT_TRUE(none.sizes.empty());
}

TEST(Render, NonFiniteSamplesNeverReachTheOutput)
{
    FloatImage img(120, 100);
    img.in[0] = std::numeric_limits<float>::quiet_NaN();
    img.in[3 * 500 + 1] = std::numeric_limits<float>::infinity();
    img.in[3 * 700 + 2] = -std::numeric_limits<float>::infinity();
    ASSERT_EQ(render(defaults(TMSampleFloat32), img.host()), TMResultOK);
    for (float v : img.out)
        ASSERT_TRUE(std::isfinite(v));
    EXPECT_EQ(img.out[0], 0.0f);
}

TEST(Render, RandomSizesAndSettingsRunClean)
{
    std::mt19937 rng(20261208);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (int run = 0; run < 12; ++run) {
        const int W = pick(100, 400), H = pick(100, 400);
        TMParameters p = defaults(run % 2 ? TMSample16 : TMSampleFloat32);
        p.settings.luminosity = pick(0, 20);
        p.settings.strength = pick(0, 100);
        p.settings.colorSaturation = pick(0, 100);
        p.settings.whiteClip = pick(0, 1000);
        p.settings.blackClip = pick(0, 1000);
        p.settings.microcontrast = pick(-2, 2);
        p.settings.smoothing = pick(-2, 2);
        p.settings.microsmoothing = pick(0, 30);
        p.settings.image360 = static_cast<uint8_t>(pick(0, 1));
        if (run % 2) {
            Image16 img(W, H);
            ASSERT_EQ(render(p, img.host()), TMResultOK) << W << "x" << H;
            for (uint16_t v : img.out)
                ASSERT_LE(v, 32768);
        } else {
            FloatImage img(W, H);
            ASSERT_EQ(render(p, img.host()), TMResultOK) << W << "x" << H;
            for (float v : img.out)
                ASSERT_TRUE(v >= 0.0f && v <= 1.0f) << W << "x" << H;
        }
    }
}
