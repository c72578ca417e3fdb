// The preview's host side through the simulated host: the geometry of each side,
// the buffer set acquired as one unit, the plane minima, and a redraw equal to the
// engine's preview sequence on the delivered image.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "plugin_main.h"
#include "tm_globals.h"
#include "tm_parameters.h"
#include "tm_preview_host.h"
#include "tm_sim_host.h"
#include "tm_sim_run.h"

namespace {

using tmsim::Document;
using tmsim::Host;

struct Doc {
    std::vector<float> pixels;
    Document doc;
    Doc(int32_t w, int32_t h, int32_t planes = 3)
    {
        pixels.resize(static_cast<size_t>(w) * h * planes);
        for (size_t i = 0; i < pixels.size(); ++i)
            pixels[i] = static_cast<float>(std::exp2(8.0 * static_cast<double>(i % (w * planes)) / (w * planes) - 3.0) +
                                           0.01 * static_cast<double>(i % 7));
        doc.source = doc.destination = pixels.data();
        doc.width = w;
        doc.height = h;
        doc.planes = planes;
        doc.rowBytes = int64_t{w} * planes * 4;
    }
};

// A host after the parameters and prepare calls, as the dialog finds it.
struct Prepared {
    Host host;
    Prepared(const Document& d, tmsim::Options o = {}) : host(PluginMain, d, o)
    {
        EXPECT_EQ(host.call(TMSelectorParameters), 0);
        EXPECT_EQ(host.call(TMSelectorPrepare), 0);
    }
    TMGlobals& g() { return *static_cast<TMGlobals*>(host.globalsData()); }
    TMParameters& p() { return *static_cast<TMParameters*>(host.parametersData()); }
    TMFilterRecord* r() { return &host.record(); }
};

} // namespace

TEST(PreviewHost, SizesFollowTheLongerSideAndNeverEnlarge)
{
    struct Case {
        int32_t w, h, side, pw, ph;
        float scale;
    };
    for (const Case c : {Case{2000, 1000, 512, 512, 256, 3.90625f}, Case{1000, 2000, 768, 384, 768, 2000.0f / 768},
                         Case{1500, 1500, 1024, 1024, 1024, 1500.0f / 1024}, Case{300, 200, 512, 300, 200, 1.0f},
                         Case{3000, 2000, 1024, 1024, 682, 3000.0f / 1024},
                         // Whole-number quotients that a floating-point a x (H / W) misses.
                         Case{300, 126, 512, 300, 126, 1.0f}, Case{126, 300, 768, 126, 300, 1.0f},
                         Case{101, 62, 1024, 101, 62, 1.0f}, Case{3000, 2000, 768, 768, 512, 3000.0f / 768}}) {
        Doc d(c.w, c.h);
        Prepared pre(d.doc);
        pre.r()->inputPadding = 0;
        ASSERT_EQ(TMSetPreviewSize(pre.r(), &pre.g(), c.side), 0);
        EXPECT_EQ(pre.g().previewWidth, c.pw) << c.w << "x" << c.h << " at " << c.side;
        EXPECT_EQ(pre.g().previewHeight, c.ph) << c.w << "x" << c.h << " at " << c.side;
        EXPECT_EQ(pre.g().previewScale, c.scale);
        EXPECT_EQ(pre.g().previewCacheOffset, TMPreviewCacheOffset(c.side, 3));
        EXPECT_EQ(pre.r()->inputRate, 0x10000);
        EXPECT_EQ(pre.r()->inputPadding, 255);
    }
    // An empty filter rectangle keeps the geometry; an unknown side is refused.
    Doc d(200, 150);
    Prepared pre(d.doc);
    pre.host.record().bigDocumentData->filterRect32.right = 0;
    const int32_t before = pre.g().previewWidth;
    EXPECT_EQ(TMSetPreviewSize(pre.r(), &pre.g(), 512), TMFilterBadParameters);
    EXPECT_EQ(pre.g().previewWidth, before);
    EXPECT_EQ(TMSetPreviewSize(pre.r(), &pre.g(), 600), TMFilterBadParameters);
}

TEST(PreviewHost, TheBufferSetIsAcquiredWholeOrNotAtAll)
{
    Doc d(200, 150);
    {
        Prepared pre(d.doc);
        pre.host.inside([&] {
            ASSERT_EQ(TMAcquirePreviewBuffers(pre.r(), &pre.g()), 0);
            EXPECT_EQ(pre.host.liveBuffers(), 6);
            EXPECT_EQ(pre.host.liveBufferBytes(), TMPreviewImageBytes(3) + TMPreviewCacheBytes(3) +
                                                      TMPreviewHistogramBytes + 3 * TMPreviewWorkBytes);
            EXPECT_NE(pre.g().previewBuffer, nullptr);
            EXPECT_NE(pre.g().pyramidBuffer, nullptr);
            TMReleasePreviewBuffers(pre.r(), &pre.g());
            EXPECT_EQ(pre.host.liveBuffers(), 0);
            EXPECT_EQ(pre.g().previewBufferId, nullptr);
            EXPECT_EQ(pre.g().lumBuffer, nullptr);
            TMReleasePreviewBuffers(pre.r(), &pre.g()); // releasing nothing is harmless
            EXPECT_EQ(pre.host.misuses(), 0);
        });
    }
    for (int n = 1; n <= 12; ++n) {
        tmsim::Options o;
        (n <= 6 ? o.failAllocation : o.failLock) = n <= 6 ? n : n - 6;
        Prepared pre(d.doc, o);
        pre.host.inside([&] { EXPECT_EQ(TMAcquirePreviewBuffers(pre.r(), &pre.g()), TMMemFullErr) << n; });
        EXPECT_EQ(pre.host.liveBuffers(), 0) << "failure " << n << " left buffers";
        EXPECT_EQ(pre.host.misuses(), 0);
        const TMGlobals& g = pre.g();
        for (const void* slot : {static_cast<const void*>(g.previewBuffer), static_cast<const void*>(g.sourceCache),
                                 static_cast<const void*>(g.histograms), static_cast<const void*>(g.lumBuffer),
                                 static_cast<const void*>(g.attenBuffer), static_cast<const void*>(g.pyramidBuffer)})
            EXPECT_EQ(slot, nullptr) << n;
    }
}

TEST(PreviewHost, PlaneMinimaOfFirstMiddleAndLastPlane)
{
    for (int32_t planes : {1, 3, 4}) {
        Doc d(120, 110, planes);
        d.pixels[5 * planes] = -2.5f; // first plane
        if (planes >= 3) {
            d.pixels[77 * planes + 1] = -0.75f;  // middle plane
            d.pixels[999 * planes + 2] = -1.25f; // last plane read
        }
        if (planes == 4)
            d.pixels[3] = -100.0f;               // a fourth plane is not read
        d.pixels[1234 * planes] = std::nanf(""); // ignored
        tmsim::Options o;
        o.rowPadding = 20;
        Prepared pre(d.doc, o);
        pre.host.inside([&] { ASSERT_EQ(TMMeasureInputMinima(pre.r(), &pre.g()), 0); });
        const float* m = pre.g().planeMin;
        if (planes == 1) {
            EXPECT_EQ(m[0], -2.5f);
            EXPECT_EQ(m[1], -2.5f);
            EXPECT_EQ(m[2], -2.5f);
        } else {
            EXPECT_EQ(m[0], -2.5f) << planes;
            EXPECT_EQ(m[1], -0.75f) << planes;
            EXPECT_EQ(m[2], -1.25f) << planes;
        }
        EXPECT_EQ(pre.host.refusedRequests(), 0);
    }
}

TEST(PreviewHost, ARedrawIsTheEnginesPreviewOfTheDeliveredImage)
{
    Doc d(400, 300);
    tmsim::Options o;
    o.rowPadding = 8;
    Prepared pre(d.doc, o);
    pre.host.inside([&] {
        ASSERT_EQ(TMSetPreviewSize(pre.r(), &pre.g(), 512), 0);
        TMPreviewView view{};
        EXPECT_EQ(TMRenderPreview(pre.r(), &pre.p(), &pre.g(), &view), TMMemFullErr) << "no buffers yet";
        ASSERT_EQ(TMAcquirePreviewBuffers(pre.r(), &pre.g()), 0);
        pre.p().previewLevel = 2;
        ASSERT_EQ(TMRenderPreview(pre.r(), &pre.p(), &pre.g(), &view), 0);
        const int32_t pw = pre.g().previewWidth, ph = pre.g().previewHeight;
        ASSERT_EQ(pw, 400);
        const std::vector<uint8_t> shown(pre.g().previewBuffer, pre.g().previewBuffer + 3 * pw * ph);

        // The same sequence on the document's packed pixels, with fresh buffers.
        std::vector<float> a(TMPreviewWorkBytes / 4), b(a.size()), c(a.size());
        std::vector<uint8_t> image(TMPreviewImageBytes(3)), cache(TMPreviewCacheBytes(3));
        std::vector<int32_t> histograms(3 * 256);
        TMParameters params = pre.p();
        params.previewLevel = 2;
        TMPreviewSource src{TMSampleFloat32, 400, 300, TMSampleLayout{3, 3, 400 * 12}, d.pixels.data(), 0};
        TMPreviewView fresh{pw, ph, pre.g().previewCacheOffset};
        ASSERT_EQ(
            TMRunPreview(&params, src,
                         TMPreviewBuffers{a.data(), b.data(), c.data(), image.data(), cache.data(), histograms.data()},
                         &fresh),
            TMResultOK);
        EXPECT_EQ(std::memcmp(shown.data(), image.data(), shown.size()), 0);
        EXPECT_EQ(std::memcmp(pre.g().histograms, histograms.data(), 256 * 4), 0);
        TMReleasePreviewBuffers(pre.r(), &pre.g());
        EXPECT_EQ(pre.host.liveBuffers(), 0);
    });
}

TEST(PreviewHost, AFailedRedrawNamesItsCauseInTheRendersWords)
{
    // An image with nothing to tone-map: the preview's error string is the one the
    // final render writes for the same document.
    Doc d(200, 150);
    std::fill(d.pixels.begin(), d.pixels.end(), 0.0f);
    Prepared pre(d.doc);
    std::string previewText;
    pre.host.inside([&] {
        ASSERT_EQ(TMSetPreviewSize(pre.r(), &pre.g(), 512), 0);
        ASSERT_EQ(TMAcquirePreviewBuffers(pre.r(), &pre.g()), 0);
        pre.p().previewLevel = 2;
        TMPreviewView view{};
        EXPECT_EQ(TMRenderPreview(pre.r(), &pre.p(), &pre.g(), &view), TMFilterBadParameters);
        const unsigned char* text = pre.host.errorString();
        previewText.assign(reinterpret_cast<const char*>(text + 1), text[0]);
        TMReleasePreviewBuffers(pre.r(), &pre.g());
    });
    TMParameters params;
    applyDefaults(&params, TMSampleFloat32);
    const tmsim::Outcome rendered = tmsim::RunWithSettings(PluginMain, d.doc, params);
    EXPECT_EQ(rendered.result, TMFilterBadParameters);
    EXPECT_NE(previewText.find("nothing to tone-map"), std::string::npos) << previewText;
    EXPECT_EQ(previewText, rendered.failure);
}
