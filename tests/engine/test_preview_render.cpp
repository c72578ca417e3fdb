// The preview sequence: which stages each redraw runs, the view toggle and its
// saved image, the unprocessed-preview cache, and the tone-mapped preview measured
// against the final render reduced to the preview size.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <vector>

#include "demo_scene.h"
#include "engine_test_util.h"
#include "preview_stages.h"
#include "tm_parameters.h"
#include "tm_preview.h"
#include "tm_render.h"

namespace {

// The dialog's buffers at exactly the exported sizes, so that an overrun shows up
// under the address sanitizer.
struct Dialog {
    std::vector<float> A, B, C;
    std::vector<uint8_t> image, cache;
    std::vector<int32_t> histograms;

    explicit Dialog(int32_t planes)
        : A(TMPreviewWorkBytes / 4), B(TMPreviewWorkBytes / 4), C(TMPreviewWorkBytes / 4),
          image(static_cast<size_t>(TMPreviewImageBytes(planes))),
          cache(static_cast<size_t>(TMPreviewCacheBytes(planes))), histograms(TMPreviewHistogramBytes / 4)
    {
    }
    TMPreviewBuffers buffers()
    {
        return TMPreviewBuffers{A.data(), B.data(), C.data(), image.data(), cache.data(), histograms.data()};
    }
    std::vector<uint8_t> shown(const TMPreviewView& v) const
    {
        return std::vector<uint8_t>(image.begin(), image.begin() + 3 * v.previewWidth * v.previewHeight);
    }
    std::vector<int32_t> block(int b) const
    {
        return std::vector<int32_t>(histograms.begin() + 256 * b, histograms.begin() + 256 * (b + 1));
    }
};

// A host image: float scene or its 16-bit encoding, packed.
struct Image {
    int32_t format, width, height, planes;
    std::vector<float> f;
    std::vector<uint16_t> s;

    TMPreviewSource source() const
    {
        const int32_t bytes = format == TMSampleFloat32 ? 4 : 2;
        return TMPreviewSource{format,
                               width,
                               height,
                               TMPackedLayout(width, planes, bytes),
                               format == TMSampleFloat32 ? static_cast<const void*>(f.data()) : s.data(),
                               0};
    }
};

Image scene(int32_t format, int32_t width, int32_t height)
{
    Image img{format, width, height, 3, {}, {}};
    img.f.resize(static_cast<size_t>(width) * height * 3);
    TMMakeDemoScene(width, height, img.f.data());
    if (format == TMSample16) {
        img.s.resize(img.f.size());
        for (size_t i = 0; i < img.f.size(); ++i) {
            const double x = std::clamp(static_cast<double>(img.f[i]) / 256.0, 0.0, 1.0);
            img.s[i] = static_cast<uint16_t>(std::min(std::lround(std::pow(x, 1.0 / 2.2) * 32768.0), 32768L));
        }
        img.f.clear();
    }
    return img;
}

// The preview geometry the dialog sets for a side: longer side min(side, image side).
TMPreviewView viewFor(const Image& img, int32_t side)
{
    TMPreviewView v{};
    if (img.width > img.height) {
        v.previewWidth = std::min(side, img.width);
        v.previewHeight = static_cast<int32_t>(v.previewWidth * (static_cast<double>(img.height) / img.width));
    } else {
        v.previewHeight = std::min(side, img.height);
        v.previewWidth = static_cast<int32_t>(v.previewHeight * (static_cast<double>(img.width) / img.height));
    }
    v.previewCacheOffset = TMPreviewCacheOffset(side, img.planes);
    return v;
}

// The colour terms the view keeps from its last full recompute.
TMPreviewTermsKey keptTerms(const TMPreviewView& v) { return TMPreviewKeptOf(v).terms; }

// Drops them: the next refresh maps without them.
void dropTerms(TMPreviewView* v)
{
    TMPreviewKept kept = TMPreviewKeptOf(*v);
    kept.terms = TMPreviewTermsKey{};
    TMKeepPreview(kept, v);
}

TMParameters defaults(int32_t format)
{
    TMParameters p{};
    applyDefaults(&p, format);
    p.previewLevel = 2;
    return p;
}

} // namespace

TEST(PreviewBuffers, CacheRegionsHoldTheirSideAndNeverOverlap)
{
    for (const int32_t planes : {1, 2, 3}) {
        EXPECT_GE(TMPreviewImageBytes(planes), 3 * 1024 * 1024) << "three display planes of 1024 x 1024";
        int64_t end[3], begin[3];
        const int32_t sides[3] = {1024, 768, 512};
        for (int i = 0; i < 3; ++i) {
            begin[i] = TMPreviewCacheOffset(sides[i], planes);
            end[i] = begin[i] + int64_t{3} * sides[i] * sides[i];
            EXPECT_LE(end[i], TMPreviewCacheBytes(planes));
        }
        for (int i = 0; i < 3; ++i)
            for (int j = i + 1; j < 3; ++j)
                EXPECT_TRUE(end[i] <= begin[j] || end[j] <= begin[i]) << sides[i] << " and " << sides[j];
    }
    EXPECT_EQ(TMPreviewCacheOffset(600, 3), -1);
    EXPECT_EQ(TMPreviewHistogramBytes, 3 * 256 * 4);
}

TEST(PreviewBuffers, MissingBuffersAndBadGeometryAreRefused)
{
    const Image img = scene(TMSample16, 300, 200);
    Dialog dlg(3);
    TMParameters p = defaults(TMSample16);
    TMPreviewView v = viewFor(img, 512);
    for (int missing = 0; missing < 5; ++missing) {
        TMPreviewBuffers b = dlg.buffers();
        float** floats[3] = {&b.lum, &b.atten, &b.pyramid};
        if (missing < 3)
            *floats[missing] = nullptr;
        else if (missing == 3)
            b.image = nullptr;
        else
            b.histograms = nullptr;
        EXPECT_EQ(TMRunPreview(&p, img.source(), b, &v), TMResultMemFull);
    }
    TMPreviewView big = v;
    big.previewWidth = 1025;
    EXPECT_EQ(TMRunPreview(&p, img.source(), dlg.buffers(), &big), TMResultBadParameters);
    // An image 9 pixels high has no preview.
    const Image flat = scene(TMSample16, 300, 9);
    TMPreviewView thin = viewFor(flat, 512);
    TMPreviewReport r{};
    EXPECT_EQ(TMRunPreview(&p, flat.source(), dlg.buffers(), &thin, &r), TMResultBadParameters);
    EXPECT_EQ(r.failedStep, TMRenderStep::InputConversion);
    // The original view needs the region of a known side.
    p.showPreview = 0;
    TMPreviewView odd = v;
    odd.previewCacheOffset = 12345;
    EXPECT_EQ(TMRunPreview(&p, img.source(), dlg.buffers(), &odd), TMResultBadParameters);
}

// With previewLevel 0 only the output mapping runs, on A as the last mapping left
// it; it shows what a full computation with the same settings shows, for both depths
// (the float preview keeps the statistics of the last input conversion for it).
TEST(PreviewSequence, OutputOnlyRefreshRunsNoCoreStageAndEqualsAFullRefresh)
{
    for (const int32_t format : {TMSampleFloat32, TMSample16}) {
        const Image img = scene(format, 900, 600);
        Dialog dlg(3), fresh(3);
        TMParameters p = defaults(format);
        TMPreviewView v = viewFor(img, 512);
        TMPreviewReport r{};
        ASSERT_EQ(TMRunPreview(&p, img.source(), dlg.buffers(), &v, &r), TMResultOK);
        EXPECT_TRUE(r.recomputed && r.mapped);
        EXPECT_EQ(p.previewLevel, 2) << "the preview leaves previewLevel to the dialog";

        for (const int32_t strength : {20, 100, 55}) {
            p.previewLevel = 0;
            p.settings.strength = strength;
            p.settings.colorSaturation = 30 + strength / 2;
            ASSERT_EQ(TMRunPreview(&p, img.source(), dlg.buffers(), &v, &r), TMResultOK);
            EXPECT_FALSE(r.recomputed);
            EXPECT_TRUE(r.mapped);

            TMParameters q = p;
            q.previewLevel = 2;
            TMPreviewView w = viewFor(img, 512);
            ASSERT_EQ(TMRunPreview(&q, img.source(), fresh.buffers(), &w), TMResultOK);
            const std::vector<uint8_t> a = dlg.shown(v), b = fresh.shown(w);
            int64_t differing = 0, worst = 0;
            for (size_t i = 0; i < a.size(); ++i) {
                const int64_t d = std::abs(int{a[i]} - int{b[i]});
                differing += d != 0;
                worst = std::max(worst, d);
            }
            // Renormalising a normalised buffer agrees up to float rounding.
            EXPECT_LE(worst, 1) << "format " << format << " strength " << strength;
            EXPECT_LE(differing, static_cast<int64_t>(a.size() / 1000)) << "format " << format;
        }
    }
}

TEST(PreviewSequence, OriginalIsBuiltOncePerSideAndRestoredWithoutRecomputing)
{
    const Image img = scene(TMSampleFloat32, 1200, 800);
    Dialog dlg(3);
    TMParameters p = defaults(TMSampleFloat32);
    TMPreviewView v = viewFor(img, 512);
    TMPreviewReport r{};
    ASSERT_EQ(TMRunPreview(&p, img.source(), dlg.buffers(), &v, &r), TMResultOK);
    p.previewLevel = 0;
    const std::vector<uint8_t> toneMapped = dlg.shown(v);
    const std::vector<int32_t> toneHistogram = dlg.block(0);

    // Show Original: built the first time, from the cache the second.
    p.showPreview = 0;
    ASSERT_EQ(TMRunPreview(&p, img.source(), dlg.buffers(), &v, &r), TMResultOK);
    EXPECT_TRUE(r.saved && r.built && !r.fromCache);
    EXPECT_EQ(p.previewLevel, 2);
    EXPECT_EQ(p.originalStale512, 0);
    EXPECT_EQ(p.originalStale768, 1);
    const std::vector<uint8_t> original = dlg.shown(v);
    EXPECT_NE(original, toneMapped);
    EXPECT_EQ(dlg.block(1), dlg.block(0));

    // Back to the tone-mapped view: the saved image, at once.
    p.showPreview = 1;
    p.restorePreview = 1;
    ASSERT_EQ(TMRunPreview(&p, img.source(), dlg.buffers(), &v, &r), TMResultOK);
    EXPECT_TRUE(r.restored && !r.mapped && !r.recomputed);
    EXPECT_EQ(dlg.shown(v), toneMapped);
    EXPECT_EQ(dlg.block(0), toneHistogram);
    EXPECT_EQ(p.restorePreview, 0);
    EXPECT_EQ(p.forcePreviewRecompute, 1);

    // The next redraw recomputes even for an output setting alone.
    p.previewLevel = 0;
    p.settings.strength = 90;
    ASSERT_EQ(TMRunPreview(&p, img.source(), dlg.buffers(), &v, &r), TMResultOK);
    EXPECT_TRUE(r.recomputed);
    EXPECT_EQ(p.previewLevel, 2);
    EXPECT_EQ(p.forcePreviewRecompute, 0);

    p.showPreview = 0;
    ASSERT_EQ(TMRunPreview(&p, img.source(), dlg.buffers(), &v, &r), TMResultOK);
    EXPECT_TRUE(r.fromCache && !r.built);
    EXPECT_EQ(dlg.shown(v), original);
    EXPECT_EQ(dlg.block(0), dlg.block(1));
}

TEST(PreviewSequence, CachingOneSideNeverChangesAnothersRegion)
{
    // A square image fills each side's region completely.
    const Image img = scene(TMSample16, 1100, 1100);
    Dialog dlg(3);
    TMParameters p = defaults(TMSample16);
    p.showPreview = 0;
    std::vector<std::vector<uint8_t>> cached;
    for (const int32_t side : {1024, 768, 512}) {
        TMPreviewView v = viewFor(img, side);
        ASSERT_EQ(v.previewWidth, side);
        TMPreviewReport r{};
        ASSERT_EQ(TMRunPreview(&p, img.source(), dlg.buffers(), &v, &r), TMResultOK);
        EXPECT_TRUE(r.built);
        cached.push_back(dlg.shown(v));
    }
    EXPECT_EQ(p.originalStale1024 + p.originalStale768 + p.originalStale512, 0);
    int i = 0;
    for (const int32_t side : {1024, 768, 512}) {
        TMPreviewView v = viewFor(img, side);
        TMPreviewReport r{};
        ASSERT_EQ(TMRunPreview(&p, img.source(), dlg.buffers(), &v, &r), TMResultOK);
        EXPECT_TRUE(r.fromCache);
        EXPECT_EQ(dlg.shown(v), cached[i++]) << "side " << side;
    }
}

// The unprocessed preview: 16-bit v >> 7 limited to 255, float trunc(255 v) limited
// to 0..255; 2,000 x 1,000 at 512 x 256 reads (1996, 996) for pixel (511, 255).
TEST(PreviewSequence, OriginalSampleValuesAndPositions)
{
    const int32_t W = 2000, H = 1000;
    Image s16{TMSample16, W, H, 3, {}, std::vector<uint16_t>(static_cast<size_t>(W) * H * 3, 1280)};
    Image f32{TMSampleFloat32, W, H, 3, std::vector<float>(static_cast<size_t>(W) * H * 3, 0.5f), {}};
    auto at = [&](int32_t x, int32_t y) { return (static_cast<size_t>(y) * W + x) * 3; };
    for (int32_t dy = -1; dy <= 1; ++dy)
        for (int32_t dx = -1; dx <= 1; ++dx)
            for (int ch = 0; ch < 3; ++ch) {
                s16.s[at(1996 + dx, 996 + dy) + ch] = 6400;
                f32.f[at(1996 + dx, 996 + dy) + ch] = 0.25f;
            }
    s16.s[at(1996, 996)] = 32768;
    s16.s[at(1996, 996) + 1] = 200;
    s16.s[at(1996, 996) + 2] = 0;
    f32.f[at(1996, 996)] = -0.5f;
    f32.f[at(1996, 996) + 1] = 1.5f;
    f32.f[at(1996, 996) + 2] = 0.1f;
    for (const Image* img : {&s16, &f32}) {
        Dialog dlg(3);
        TMParameters p = defaults(img->format);
        p.showPreview = 0;
        TMPreviewView v = viewFor(*img, 512);
        ASSERT_EQ(v.previewWidth, 512);
        ASSERT_EQ(v.previewHeight, 256);
        ASSERT_EQ(TMRunPreview(&p, img->source(), dlg.buffers(), &v), TMResultOK);
        const size_t idx = 255 * 512 + 511, plane = 512 * 256;
        const uint8_t expect[2][3] = {{255, 1, 0}, {0, 255, 25}};
        const int which = img == &s16 ? 0 : 1;
        for (int ch = 0; ch < 3; ++ch)
            EXPECT_EQ(dlg.image[ch * plane + idx], expect[which][ch]) << "format " << img->format << " plane " << ch;
        // Bins: the odd pixel, and the rest (10 or 127 grey).
        const int32_t oddBin = (54 * expect[which][0] + 183 * expect[which][1] + 19 * expect[which][2]) >> 8;
        EXPECT_EQ(dlg.block(0)[oddBin], 1);
        EXPECT_EQ(dlg.block(0)[which == 0 ? 10 : 127], 512 * 256 - 1);
    }
}

TEST(PreviewSequence, SinglePlaneDocumentsShowTheOnePlaneAsGrey)
{
    const int32_t W = 400, H = 300;
    Image img{TMSample16, W, H, 1, {}, std::vector<uint16_t>(static_cast<size_t>(W) * H)};
    for (int32_t i = 0; i < W * H; ++i)
        img.s[static_cast<size_t>(i)] = static_cast<uint16_t>((i * 37) % 32769);
    Dialog dlg(1);
    TMParameters p = defaults(TMSample16);
    TMPreviewView v = viewFor(img, 512);
    ASSERT_EQ(TMRunPreview(&p, img.source(), dlg.buffers(), &v), TMResultOK);
    const size_t plane = static_cast<size_t>(v.previewWidth) * v.previewHeight;
    for (size_t i = 0; i < plane; i += 97)
        ASSERT_TRUE(dlg.image[i] == dlg.image[plane + i] && dlg.image[i] == dlg.image[2 * plane + i]) << i;
    p.showPreview = 0;
    ASSERT_EQ(TMRunPreview(&p, img.source(), dlg.buffers(), &v), TMResultOK);
    EXPECT_EQ(dlg.image[1], img.s[1] >> 7);
    EXPECT_EQ(dlg.image[plane + 1], img.s[1] >> 7);
    EXPECT_EQ(dlg.image[2 * plane + 1], img.s[1] >> 7);
}

// The tone-mapped preview against the final render of the same image and settings,
// reduced to the preview size by the preview's own sampling (positions truncated)
// and converted to display bytes (float: trunc(255 v); 16-bit: trunc(v / 128.5)).
// The pipelines differ in the image they start from (the reduced one), so this
// measures the difference rather than requiring equality.
TEST(PreviewSequence, ToneMappedPreviewIsCloseToTheReducedFinalRender)
{
    for (const int32_t format : {TMSampleFloat32, TMSample16}) {
        const Image img = scene(format, 1536, 1024);
        const TMParameters p = defaults(format);
        TMParameters q = p;
        Dialog dlg(3);
        TMPreviewView v = viewFor(img, 512);
        ASSERT_EQ(TMRunPreview(&q, img.source(), dlg.buffers(), &v), TMResultOK);

        const int64_t bytes = format == TMSampleFloat32 ? 4 : 2;
        std::vector<unsigned char> out(static_cast<size_t>(int64_t{img.width} * img.height * 3 * bytes));
        TMHostImage host{};
        host.sampleFormat = format;
        host.width = img.width;
        host.height = img.height;
        host.planes = 3;
        host.inPixelStride = host.outPixelStride = 3;
        host.inData = format == TMSampleFloat32 ? static_cast<const void*>(img.f.data()) : img.s.data();
        host.inRowBytes = host.outRowBytes = int64_t{img.width} * 3 * bytes;
        host.outData = out.data();
        ASSERT_EQ(TMRunStages(p, host, TMHeapAllocator(), TMProgressSink{nullptr, nullptr, nullptr}), TMResultOK);

        const int32_t pw = v.previewWidth, ph = v.previewHeight;
        const float fx = static_cast<float>(img.width) / static_cast<float>(pw);
        const float fy = static_cast<float>(img.height) / static_cast<float>(ph);
        double sum = 0.0;
        int worst = 0;
        for (int32_t y = 0; y < ph; ++y)
            for (int32_t x = 0; x < pw; ++x) {
                const int32_t sx = std::min(static_cast<int32_t>(static_cast<float>(x) * fx), img.width - 1);
                const int32_t sy = std::min(static_cast<int32_t>(static_cast<float>(y) * fy), img.height - 1);
                const size_t s = (static_cast<size_t>(sy) * img.width + sx) * 3;
                for (int ch = 0; ch < 3; ++ch) {
                    int rendered;
                    if (format == TMSampleFloat32) {
                        float value;
                        std::memcpy(&value, out.data() + (s + ch) * 4, 4);
                        // Linear t^2.2, which the host shows as t.
                        rendered = static_cast<int>(
                            std::clamp(std::pow(static_cast<double>(value), 1.0 / 2.2) * 255.0, 0.0, 255.0));
                    } else {
                        uint16_t value;
                        std::memcpy(&value, out.data() + (s + ch) * 2, 2);
                        rendered = std::min(static_cast<int>(value / 128.5), 255);
                    }
                    const int d = std::abs(
                        rendered - int{dlg.image[static_cast<size_t>(ch) * pw * ph + static_cast<size_t>(y) * pw + x]});
                    sum += d;
                    worst = std::max(worst, d);
                }
            }
        const double mean = sum / (3.0 * pw * ph);
        std::printf("[ preview vs render ] %s %dx%d -> %dx%d: mean |diff| %.2f, max %d display levels\n",
                    format == TMSampleFloat32 ? "float" : "16-bit", img.width, img.height, pw, ph, mean, worst);
        RecordProperty(format == TMSampleFloat32 ? "meanDiff32" : "meanDiff16", std::to_string(mean));
        EXPECT_LT(mean, 12.0) << "the preview should look like the render";
    }
}

namespace {

void expectKeptTermsMatchPlain(int32_t format)
{
    const Image img = scene(format, 420, 280);
    Dialog kept(3), plain(3);
    TMPreviewView vk = viewFor(img, 512), vp = viewFor(img, 512);
    TMParameters pk = defaults(format), pp = pk;
    const TMPreviewSource src = img.source();
    struct Step {
        int32_t showPreview, restorePreview, previewLevel, strength, saturation, whiteClip, blackClip;
    };
    const Step steps[] = {
        {1, 0, 2, 70, 46, 50, 0},   {1, 0, 0, 40, 46, 50, 0},   {1, 0, 0, 100, 80, 10, 0},  {1, 0, 0, 0, 20, 200, 300},
        {1, 0, 0, 55, 100, 0, 40},  {0, 0, 0, 55, 100, 0, 40},  {1, 1, 0, 55, 100, 0, 40},  {1, 0, 0, 30, 60, 50, 0},
        {1, 0, 0, 90, 35, 120, 10}, {0, 0, 0, 90, 35, 120, 10}, {0, 0, 0, 90, 35, 120, 10}, {1, 1, 0, 90, 35, 120, 10},
        {1, 0, 0, 10, 75, 50, 0},   {1, 0, 0, 65, 75, 50, 0},
    };
    int step = 0;
    bool usedTerms = false;
    for (const Step& s : steps) {
        for (TMParameters* p : {&pk, &pp}) {
            p->showPreview = static_cast<uint8_t>(s.showPreview);
            if (s.restorePreview)
                p->restorePreview = 1;
            if (s.previewLevel)
                p->previewLevel = s.previewLevel;
            else if (s.showPreview && !s.restorePreview)
                p->previewLevel = p->forcePreviewRecompute ? p->previewLevel : 0;
            p->settings.strength = s.strength;
            p->settings.colorSaturation = s.saturation;
            p->settings.whiteClip = s.whiteClip;
            p->settings.blackClip = s.blackClip;
        }
        dropTerms(&vp);
        TMPreviewReport rk{}, rp{};
        const bool withTerms = s.showPreview == 1 && !s.restorePreview && pk.previewLevel == 0 && keptTerms(vk).valid;
        usedTerms = usedTerms || withTerms;
        ASSERT_EQ(TMRunPreview(&pk, src, kept.buffers(), &vk, &rk), TMResultOK) << "step " << step;
        ASSERT_EQ(TMRunPreview(&pp, src, plain.buffers(), &vp, &rp), TMResultOK) << "step " << step;
        EXPECT_EQ(kept.shown(vk), plain.shown(vp)) << "step " << step;
        for (int b = 0; b < 3; ++b)
            EXPECT_EQ(kept.block(b), plain.block(b)) << "step " << step << ", histogram " << b;
        EXPECT_EQ(rk.recomputed, rp.recomputed) << "step " << step;
        EXPECT_EQ(rk.mapped, rp.mapped) << "step " << step;
        EXPECT_EQ(rk.restored, rp.restored) << "step " << step;
        EXPECT_EQ(rk.saved, rp.saved) << "step " << step;
        EXPECT_EQ(pk.previewLevel, pp.previewLevel) << "step " << step;
        EXPECT_EQ(pk.forcePreviewRecompute, pp.forcePreviewRecompute) << "step " << step;
        ++step;
    }
    EXPECT_TRUE(usedTerms) << "no refresh used the kept terms";
    EXPECT_TRUE(keptTerms(vk).valid);
    EXPECT_EQ(keptTerms(vk).planes.planes, format == TMSampleFloat32 ? 4 : 5) << "16-bit keeps its raw samples too";
    // The original view keeps the saved image in A, never in B or C: the terms
    // outlive it, and the next full recompute starts by dropping them.
}

} // namespace

TEST(PreviewSequence, OutputOnlyRefreshesWithKeptColourTermsMatchThePlainPath)
{
    // Two dialogs run the same events; the second forgets the colour terms before
    // every call, so it always maps with the plain per-pixel path. Display image,
    // histograms and what each call did must agree byte for byte, through several
    // output-only refreshes with changing settings, the original view and the
    // return from it, at both sample depths.
    for (const int32_t format : {TMSampleFloat32, TMSample16}) {
        SCOPED_TRACE(format == TMSampleFloat32 ? "float samples" : "16-bit samples");
        expectKeptTermsMatchPlain(format);
    }
}

TEST(PreviewSequence, KeptColourTermsAreNotUsedForAnotherSourceOrSize)
{
    const Image img = scene(TMSampleFloat32, 420, 280);
    Dialog dlg(3);
    TMPreviewView v = viewFor(img, 512);
    TMParameters p = defaults(TMSampleFloat32);
    ASSERT_EQ(TMRunPreview(&p, img.source(), dlg.buffers(), &v), TMResultOK);
    ASSERT_TRUE(keptTerms(v).valid);
    EXPECT_EQ(keptTerms(v).previewWidth, v.previewWidth);
    EXPECT_EQ(keptTerms(v).planes.row(0, 0), dlg.B.data());
    // Another image behind the same call: the refresh maps it without the terms, as
    // a fresh dialog would.
    Image other = img;
    for (auto& x : other.f)
        x *= 0.5f;
    Dialog fresh(3);
    fresh.A = dlg.A;
    TMPreviewView vf = v;
    dropTerms(&vf);
    TMParameters pf = p;
    p.previewLevel = 0;
    pf.previewLevel = 0;
    p.settings.strength = pf.settings.strength = 20;
    ASSERT_EQ(TMRunPreview(&p, other.source(), dlg.buffers(), &v), TMResultOK);
    ASSERT_EQ(TMRunPreview(&pf, other.source(), fresh.buffers(), &vf), TMResultOK);
    EXPECT_EQ(dlg.shown(v), fresh.shown(vf));
    EXPECT_EQ(dlg.block(0), fresh.block(0));
}

TEST(PreviewSequence, SixteenBitTermsAreNotUsedWithAnotherSampleTable)
{
    // The terms hold ratios of linearised samples: a source delivered with another
    // table exponent must be mapped afresh, as a dialog without the terms would.
    const Image img = scene(TMSample16, 420, 280);
    Dialog dlg(3), fresh(3);
    TMPreviewView v = viewFor(img, 512);
    TMParameters p = defaults(TMSample16);
    ASSERT_EQ(TMRunPreview(&p, img.source(), dlg.buffers(), &v), TMResultOK);
    ASSERT_TRUE(keptTerms(v).valid);
    TMPreviewSource linear = img.source();
    linear.lutMode = 1;
    fresh.A = dlg.A;
    TMPreviewView vf = v;
    dropTerms(&vf);
    TMParameters pf = p;
    p.previewLevel = pf.previewLevel = 0;
    p.settings.colorSaturation = pf.settings.colorSaturation = 90;
    ASSERT_EQ(TMRunPreview(&p, linear, dlg.buffers(), &v), TMResultOK);
    ASSERT_EQ(TMRunPreview(&pf, linear, fresh.buffers(), &vf), TMResultOK);
    EXPECT_EQ(dlg.shown(v), fresh.shown(vf));
    EXPECT_EQ(dlg.block(0), fresh.block(0));
}

namespace {

// Two dialogs on one large preview: `kept` keeps its terms, `plain` forgets them
// before every refresh.
struct KeptAndPlain {
    Image img;
    Dialog kept{3}, plain{3};
    TMPreviewView vk, vp;
    TMParameters pk, pp;

    KeptAndPlain(int32_t format, int32_t width, int32_t height)
        : img(scene(format, width, height)), vk(viewFor(img, 1024)), vp(vk), pk(defaults(format)), pp(pk)
    {
        EXPECT_EQ(TMRunPreview(&pk, img.source(), kept.buffers(), &vk), TMResultOK);
        EXPECT_EQ(TMRunPreview(&pp, img.source(), plain.buffers(), &vp), TMResultOK);
    }
    // An output-only refresh of both with a new Strength: the same bytes and bins.
    void expectSameRefresh(int32_t strength)
    {
        pk.previewLevel = pp.previewLevel = 0;
        pk.settings.strength = pp.settings.strength = strength;
        pk.settings.colorSaturation = pp.settings.colorSaturation = 60;
        dropTerms(&vp);
        ASSERT_EQ(TMRunPreview(&pk, img.source(), kept.buffers(), &vk), TMResultOK);
        ASSERT_EQ(TMRunPreview(&pp, img.source(), plain.buffers(), &vp), TMResultOK);
        EXPECT_EQ(kept.shown(vk), plain.shown(vp)) << "strength " << strength;
        EXPECT_EQ(kept.block(0), plain.block(0)) << "strength " << strength;
    }
};

} // namespace

TEST(PreviewSequence, FourByThreePreviewsKeepTheirTermsPartlyInA)
{
    // 1024 x 768: four float planes need more than B and C, so the last rows go to A
    // after the luminance. Refreshes must still match the plain path, and showing
    // the original (which saves the image over A) must drop the terms.
    for (const int32_t format : {TMSampleFloat32, TMSample16}) {
        SCOPED_TRACE(format == TMSampleFloat32 ? "float samples" : "16-bit samples");
        KeptAndPlain d(format, 1200, 900);
        ASSERT_EQ(d.vk.previewHeight, 768);
        ASSERT_TRUE(keptTerms(d.vk).valid);
        // 16-bit: no room for the raw samples beside the three planes at this size.
        EXPECT_EQ(keptTerms(d.vk).planes.planes, format == TMSampleFloat32 ? 4 : 3);
        if (format == TMSampleFloat32) {
            const float* last = keptTerms(d.vk).planes.row(3, 767);
            EXPECT_GE(last, d.kept.A.data() + 1024 * 768);
            EXPECT_LT(last, d.kept.A.data() + d.kept.A.size());
        }
        d.expectSameRefresh(35);
        d.expectSameRefresh(90);
        d.pk.showPreview = 0;
        ASSERT_EQ(TMRunPreview(&d.pk, d.img.source(), d.kept.buffers(), &d.vk), TMResultOK);
        EXPECT_FALSE(keptTerms(d.vk).valid);
    }
}

TEST(PreviewSequence, SquareFloatPreviewsKeepTermsForTheirFirstRows)
{
    // 1024 x 1024 float: the terms of the first 770 rows fit, the other rows are
    // mapped pixel by pixel in the same refresh; together the plain path's bytes.
    KeptAndPlain d(TMSampleFloat32, 1100, 1100);
    ASSERT_EQ(d.vk.previewHeight, 1024);
    ASSERT_TRUE(keptTerms(d.vk).valid);
    EXPECT_EQ(keptTerms(d.vk).planes.ph, 770);
    d.expectSameRefresh(45);
}

namespace {

Image floatImage(std::vector<float> samples, int32_t width, int32_t height)
{
    return Image{TMSampleFloat32, width, height, 3, std::move(samples), {}};
}

// The final render of a packed float image.
int16_t renderFloat(std::vector<float> in, int32_t width, int32_t height, const TMParameters& p,
                    std::vector<float>* out, TMRenderReport* report = nullptr)
{
    out->assign(in.size(), -7.0f);
    const int64_t row = int64_t{width} * 12;
    const TMHostImage img{TMSampleFloat32, width, height, 3, 3, 3, in.data(), row, out->data(), row, 0, {0, 0, 0}, 1};
    return TMRunStages(p, img, TMHeapAllocator(), TMProgressSink{}, report);
}

// Median of green(i) over the pixels of a 128 x 128 image at least 16 away from (70, 60).
template <typename Green>
double farMedian(Green green)
{
    std::vector<double> v;
    for (int32_t y = 0; y < 128; ++y)
        for (int32_t x = 0; x < 128; ++x)
            if (std::abs(x - 70) >= 16 || std::abs(y - 60) >= 16)
                v.push_back(green(y * 128 + x));
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

} // namespace

// One pixel (70, 60) near either end of the float range in an ordinary image, or the
// whole image scaled toward them: rendered and previewed (1:1, the second strength as
// an output-only refresh with the kept colour terms) at the default Luminosity and at
// -10, where extreme steps keep most of their height. A bright pixel is white, a dark
// one never bright, and the rest of the image neither black nor clipped. Without the
// global curve (strength 100) the result does not depend on the scale; with it,
// bright images go white and dim ones look like any dim image.
TEST(PreviewSequence, ExtremeFinitePixelsAndScalesRenderAndPreview)
{
    const float kMax = 3.40282347e38f;
    const float pixels[] = {1e15f,  1e20f,    1e25f, 1e30f, 1e35f, 1e38f, 3.4e38f, kMax, 1e-38f, 1e-40f,
                            1e-42f, 1.4e-45f, 0,     0,     0,     0,     0,       0,    0};
    const float scales[] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1e-40f, 1e-38f, 1e-20f, 1e20f, 1e25f, 1e30f, 1e37f};
    const int32_t plane = 128 * 128, odd = 60 * 128 + 70;
    for (const int32_t luminosity : {10, 0}) {
        TMParameters p = defaults(TMSampleFloat32);
        p.settings.luminosity = luminosity;
        std::vector<float> ordinary[2], dim[2];
        std::vector<uint8_t> usual[2];
        for (int s = 0; s < 2; ++s) {
            p.settings.strength = s ? 100 : 70;
            ASSERT_EQ(renderFloat(wavyHdrImage(), 128, 128, p, &ordinary[s]), TMResultOK);
            ASSERT_EQ(renderFloat(wavyHdrImage(1e-10f), 128, 128, p, &dim[s]), TMResultOK);
            const Image plain = floatImage(wavyHdrImage(), 128, 128);
            Dialog dlg(3);
            TMPreviewView v = viewFor(plain, 512);
            p.previewLevel = 2;
            ASSERT_EQ(TMRunPreview(&p, plain.source(), dlg.buffers(), &v), TMResultOK);
            usual[s] = dlg.shown(v);
        }
        for (size_t c = 0; c < std::size(pixels); ++c) {
            std::vector<float> samples = wavyHdrImage(scales[c]);
            if (pixels[c] != 0)
                samples[3 * odd] = samples[3 * odd + 1] = samples[3 * odd + 2] = pixels[c];
            const Image img = floatImage(samples, 128, 128);
            Dialog dlg(3);
            TMPreviewView view = viewFor(img, 512);
            p.previewLevel = 2;
            for (int s = 0; s < 2; ++s) {
                p.settings.strength = s ? 100 : 70;
                char what[80];
                std::snprintf(what, sizeof what, "pixel %g scale %g luminosity %d strength %d", pixels[c], scales[c],
                              luminosity, p.settings.strength);
                std::vector<float> out;
                ASSERT_EQ(renderFloat(samples, 128, 128, p, &out), TMResultOK) << what;
                ASSERT_EQ(TMRunPreview(&p, img.source(), dlg.buffers(), &view), TMResultOK) << what;
                p.previewLevel = 0;
                const std::vector<uint8_t> shown = dlg.shown(view);
                const float brightest = *std::max_element(&ordinary[s][3 * odd], &ordinary[s][3 * odd + 3]);
                for (int ch = 0; ch < 3; ++ch) {
                    if (pixels[c] > 1) {
                        EXPECT_EQ(out[3 * odd + ch], 1.0f) << what;
                        EXPECT_EQ(shown[ch * plane + odd], 255) << what;
                    } else if (pixels[c] > 0) {
                        EXPECT_LE(out[3 * odd + ch], 1.25f * brightest) << what;
                        EXPECT_LE(shown[ch * plane + odd], 2 * usual[s][ch * plane + odd] + 8) << what;
                    }
                }
                if (scales[c] > 1 && s == 0) {
                    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](float x) { return x == 1.0f; })) << what;
                    EXPECT_TRUE(std::all_of(shown.begin(), shown.end(), [](uint8_t x) { return x == 255; })) << what;
                    continue;
                }
                if (scales[c] != 1) {
                    const std::vector<float>& like = s ? ordinary[s] : dim[s];
                    for (size_t i = 0; i < out.size(); ++i)
                        ASSERT_NEAR(out[i], like[i], 1e-3) << what << " sample " << i;
                    continue;
                }
                const double median = farMedian([&](int32_t i) { return out[3 * i + 1]; });
                const double shownMedian = farMedian([&](int32_t i) { return shown[plane + i]; });
                EXPECT_GE(median, 0.5 * farMedian([&](int32_t i) { return ordinary[s][3 * i + 1]; })) << what;
                EXPECT_LT(median, 0.9) << what;
                EXPECT_GE(shownMedian, 0.5 * farMedian([&](int32_t i) { return usual[s][plane + i]; })) << what;
                EXPECT_LT(shownMedian, 230) << what;
            }
        }
    }
}

// An image the float output would make black whatever the settings is refused by the
// final render and the preview alike, for the same reason, with the output untouched;
// one row of positive pixels is enough to render. All negative: lifted into valid
// input by the plane minima, it still has no pixel the output maps.
TEST(PreviewSequence, ImagesWithNothingToToneMapAreRefusedLikeTheRender)
{
    const size_t n = 120 * 100 * 3;
    const float nan = __builtin_nanf(""), inf = __builtin_inff();
    for (int kind = 0; kind < 6; ++kind)
        for (const bool positiveRow : {false, true}) {
            std::vector<float> in(n), out;
            for (size_t i = 0; i < n; ++i) {
                const float v[6] = {0.0f,
                                    -0.001f - 0.5f * (i % 97),
                                    -1.0f - (i % 3),
                                    nan,
                                    i % 4 == 0   ? nan
                                    : i % 4 == 1 ? -inf
                                                 : -0.25f * (i % 5),
                                    i % 2 ? inf : 0.0f};
                in[i] = positiveRow && i / 360 == 50 ? 0.01f * (i % 360 / 3 + 1) : v[kind];
            }
            TMParameters p = defaults(TMSampleFloat32);
            TMRenderReport rendered;
            TMPreviewReport previewed{};
            const Image img = floatImage(in, 120, 100);
            Dialog dlg(3);
            TMPreviewView v = viewFor(img, 512);
            const int16_t r = renderFloat(in, 120, 100, p, &out, &rendered);
            const int16_t q = TMRunPreview(&p, img.source(), dlg.buffers(), &v, &previewed);
            EXPECT_EQ(r, positiveRow ? TMResultOK : TMResultBadParameters) << kind;
            EXPECT_EQ(q, positiveRow ? TMResultOK : TMResultBadParameters) << kind;
            if (!positiveRow) {
                EXPECT_EQ(rendered.failedStep, TMRenderStep::NothingToMap) << kind;
                EXPECT_EQ(previewed.failedStep, TMRenderStep::NothingToMap) << kind;
                EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](float x) { return x == -7.0f; })) << kind;
            }
        }
}

namespace {

// What the final render writes for `img` with `p`, as bytes.
std::vector<unsigned char> renderBytes(const Image& img, const TMParameters& p)
{
    const int64_t bytes = img.format == TMSampleFloat32 ? 4 : 2;
    std::vector<unsigned char> out(static_cast<size_t>(int64_t{img.width} * img.height * 3 * bytes));
    const int64_t row = int64_t{img.width} * 3 * bytes;
    const void* in = img.format == TMSampleFloat32 ? static_cast<const void*>(img.f.data()) : img.s.data();
    const TMHostImage host{img.format, img.width, img.height, 3, 3, 3, in, row, out.data(), row, 0, {0, 0, 0}, 1};
    EXPECT_EQ(TMRunStages(p, host, TMHeapAllocator(), TMProgressSink{}), TMResultOK);
    return out;
}

// A full preview, then an output-only refresh: the display image and histogram of each.
std::vector<uint8_t> previewBytes(const Image& img, TMParameters p)
{
    Dialog dlg(3);
    TMPreviewView v = viewFor(img, 512);
    std::vector<uint8_t> shown;
    for (const int32_t level : {2, 0}) {
        p.previewLevel = level;
        EXPECT_EQ(TMRunPreview(&p, img.source(), dlg.buffers(), &v), TMResultOK);
        const std::vector<uint8_t> image = dlg.shown(v);
        const std::vector<int32_t> histogram = dlg.block(0);
        shown.insert(shown.end(), image.begin(), image.end());
        shown.insert(shown.end(), reinterpret_cast<const uint8_t*>(histogram.data()),
                     reinterpret_cast<const uint8_t*>(histogram.data() + histogram.size()));
    }
    return shown;
}

} // namespace

// Scripting stores settings as it receives them. Whatever the value, the render and
// the preview (full and output-only) use the value at the end of the range it lies
// beyond: one limit for both, on every path.
TEST(DerivedSettings, SettingsBeyondTheirRangeActAsTheirLimitOnEveryPath)
{
    struct Case {
        int32_t TMSettings::*field;
        int32_t beyond, limit;
    };
    // The clip percentages are limited to 10 %: White Clipping 2000 steps (without
    // the + 1 of the render, which the 16-bit preview leaves out) and Black Clipping
    // 2000 steps.
    const Case cases[] = {
        {&TMSettings::luminosity, 99, 20},
        {&TMSettings::luminosity, -7, 0},
        {&TMSettings::strength, 250, 100},
        {&TMSettings::strength, -3, 0},
        {&TMSettings::colorSaturation, 400, 100},
        {&TMSettings::colorSaturation, 5, 20},
        {&TMSettings::microcontrast, 9, 2},
        {&TMSettings::microcontrast, -9, -2},
        {&TMSettings::smoothing, 9, 2},
        {&TMSettings::smoothing, -9, -2},
        {&TMSettings::microsmoothing, 99, 30},
        {&TMSettings::microsmoothing, -4, 0},
        {&TMSettings::whiteClip, INT32_MAX, 2000},
        {&TMSettings::whiteClip, -50, -1},
        {&TMSettings::blackClip, 5000, 2000},
        {&TMSettings::blackClip, INT32_MIN, 0},
    };
    for (const int32_t format : {TMSampleFloat32, TMSample16}) {
        const Image img = scene(format, 120, 100);
        for (const Case& c : cases) {
            TMParameters beyond = defaults(format), limit = beyond;
            beyond.settings.*c.field = c.beyond;
            limit.settings.*c.field = c.limit;
            EXPECT_EQ(renderBytes(img, beyond), renderBytes(img, limit)) << format << ": " << c.beyond;
            EXPECT_EQ(previewBytes(img, beyond), previewBytes(img, limit)) << format << ": " << c.beyond;
        }
    }
}
