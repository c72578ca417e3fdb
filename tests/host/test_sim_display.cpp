// The simulated host's displayPixels and main window: what a plug-in hands over is
// recorded exactly, a map the host cannot read safely is refused before a sample is
// touched, each mode is shown as a display expects, and the window reaches the
// plug-in in both records.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "test_pixel_maps.h"
#include "tm_sim_display.h"
#include "tm_sim_host.h"

namespace {

using tmsim::DisplayCall;
using tmsim::Host;
using tmsim::Options;

// A stand-in plug-in: notes the owner window of every call and runs `onStart` inside
// Start, where a dialog would paint.
struct Probe {
    std::vector<intptr_t> windows; // platformData's hwnd per call, About included
    std::function<void(TMFilterRecord&)> onStart;
};
Probe* gProbe = nullptr;

void probeEntry(int16_t selector, void* record, intptr_t*, int16_t* result)
{
    *result = TMNoErr;
    if (selector == TMSelectorAbout) {
        const TMPlatformData* platform = static_cast<TMAboutRecord*>(record)->platformData;
        gProbe->windows.push_back(platform ? platform->hwnd : -1);
        return;
    }
    auto& r = *static_cast<TMFilterRecord*>(record);
    const auto* platform = static_cast<const TMPlatformData*>(r.platformData);
    gProbe->windows.push_back(platform ? platform->hwnd : -1);
    if (selector == TMSelectorStart && gProbe->onStart)
        gProbe->onStart(r);
}

struct Picture {
    float samples[4 * 3] = {};
    tmsim::Document document()
    {
        tmsim::Document d;
        d.source = d.destination = samples;
        d.width = 2;
        d.height = 2;
        d.rowBytes = 2 * 3 * 4;
        return d;
    }
};

int gContext; // stands for a device context

TEST(SimDisplay, RecordsEachCallOfThePluginAndHandsTheMainWindowToBothRecords)
{
    Probe probe;
    gProbe = &probe;
    Picture picture;
    Options options;
    options.mainWindow = 0x5150;
    TestPixelMap rgb(5, 4, 3, TMModeRGBColor);
    TestPixelMap grey(3, 2, 1, TMModeGrayScale, false, 0, 0);
    std::vector<TMOSErr> returned;
    probe.onStart = [&](TMFilterRecord& r) {
        ASSERT_NE(r.displayPixels, nullptr);
        returned.push_back(r.displayPixels(&rgb.map, &rgb.map.bounds, 40, 30, &gContext));
        // Part of the map, elsewhere on the device.
        const TMVRect part{41, 32, 43, 34};
        returned.push_back(r.displayPixels(&rgb.map, &part, 7, 9, &gContext));
        returned.push_back(r.displayPixels(&grey.map, &grey.map.bounds, 0, 0, &gContext));
        rgb.map.baseAddr = nullptr;
        returned.push_back(r.displayPixels(&rgb.map, &rgb.map.bounds, 40, 30, &gContext));
    };
    Host host(probeEntry, picture.document(), options);
    EXPECT_EQ(host.run().result, TMNoErr);
    EXPECT_EQ(host.about(), TMNoErr);
    EXPECT_EQ(probe.windows, (std::vector<intptr_t>{0x5150, 0x5150, 0x5150, 0x5150, 0x5150}));

    ASSERT_EQ(host.displays().size(), 4u);
    EXPECT_EQ(returned, (std::vector<TMOSErr>{TMNoErr, TMNoErr, TMNoErr, TMFilterBadParameters}));
    const DisplayCall& whole = host.displays()[0];
    EXPECT_EQ(whole.map.version, 1);
    EXPECT_EQ(whole.map.imageMode, TMModeRGBColor);
    EXPECT_EQ(whole.planes, 3);
    EXPECT_EQ(whole.map.rowBytes, 5);
    EXPECT_EQ(whole.map.colBytes, 1);
    EXPECT_EQ(whole.map.planeBytes, 20);
    EXPECT_FALSE(whole.map.hasMat || whole.map.hasMasks);
    EXPECT_EQ(whole.dstRow, 40);
    EXPECT_EQ(whole.dstCol, 30);
    EXPECT_EQ(whole.context, &gContext);
    EXPECT_EQ(whole.pixels, rgb.bytes);

    const DisplayCall& part = host.displays()[1];
    EXPECT_EQ(part.dstRow, 7);
    EXPECT_EQ(part.dstCol, 9);
    // Rows 1..2, columns 2..3 of each plane: 100p + 10y + x.
    EXPECT_EQ(part.pixels, (std::vector<uint8_t>{12, 13, 22, 23, 112, 113, 122, 123, 212, 213, 222, 223}));
    EXPECT_EQ(host.displays()[2].pixels, grey.bytes);
    EXPECT_TRUE(host.displays()[3].pixels.empty());
    gProbe = nullptr;
}

TEST(SimDisplay, TheRecordOffersWhatTheHostHas)
{
    Picture picture;
    Options options;
    EXPECT_NE(Host(probeEntry, picture.document(), options).record().displayPixels, nullptr);
    EXPECT_EQ(
        static_cast<const TMPlatformData*>(Host(probeEntry, picture.document(), options).record().platformData)->hwnd,
        0);
    options.offerDisplayPixels = false;
    EXPECT_EQ(Host(probeEntry, picture.document(), options).record().displayPixels, nullptr);
    options.offerDisplayPixels = true;
    tmsim::DisplayProc own = [](const TMPixelMap*, const TMVRect*, int32_t, int32_t, void*) -> TMOSErr { return 7; };
    options.displayPixels = own;
    EXPECT_EQ(Host(probeEntry, picture.document(), options).record().displayPixels, own);
}

// Every map here claims more than its buffer holds, or cannot be shown: if the check
// let it through, the copy would read outside the buffer (AddressSanitizer) or the
// result would differ.
TEST(SimDisplay, RefusesMapsItCannotReadSafely)
{
    struct Case {
        const char* what;
        std::function<void(TMPixelMap&, TMVRect&)> change;
        TMOSErr expected;
    };
    const Case cases[] = {
        {"sound planar RGB", [](TMPixelMap&, TMVRect&) {}, TMNoErr},
        {"interleaved RGB", [](TMPixelMap& m, TMVRect&) { m.colBytes = 3, m.planeBytes = 1, m.rowBytes = 12; },
         TMNoErr},
        {"an empty source rectangle draws nothing", [](TMPixelMap&, TMVRect& s) { s.bottom = s.top; }, TMNoErr},
        {"grey ignores the plane step", [](TMPixelMap& m, TMVRect&) { m.imageMode = 1, m.planeBytes = 0; }, TMNoErr},
        {"null base address", [](TMPixelMap& m, TMVRect&) { m.baseAddr = nullptr; }, TMFilterBadParameters},
        {"source below the bounds", [](TMPixelMap&, TMVRect& s) { s.bottom += 1; }, TMFilterBadParameters},
        {"source left of the bounds", [](TMPixelMap&, TMVRect& s) { s.left -= 1; }, TMFilterBadParameters},
        {"reversed source", [](TMPixelMap&, TMVRect& s) { std::swap(s.left, s.right); }, TMFilterBadParameters},
        {"reversed bounds",
         [](TMPixelMap& m, TMVRect& s) { std::swap(m.bounds.top, m.bounds.bottom), s.bottom = s.top; },
         TMFilterBadParameters},
        {"zero row step", [](TMPixelMap& m, TMVRect&) { m.rowBytes = 0; }, TMFilterBadParameters},
        {"negative column step", [](TMPixelMap& m, TMVRect&) { m.colBytes = -1; }, TMFilterBadParameters},
        {"planes on top of each other", [](TMPixelMap& m, TMVRect&) { m.planeBytes = 0; }, TMFilterBadParameters},
        {"rows overlapping", [](TMPixelMap& m, TMVRect&) { m.rowBytes = 3; }, TMFilterBadParameters},
        {"planes overlapping rows", [](TMPixelMap& m, TMVRect&) { m.planeBytes = 8; }, TMFilterBadParameters},
        {"interleaved, short rows", [](TMPixelMap& m, TMVRect&) { m.colBytes = 3, m.planeBytes = 1, m.rowBytes = 11; },
         TMFilterBadParameters},
        {"a map of more than 2^40 bytes",
         [](TMPixelMap& m, TMVRect& s) {
             m.bounds = TMVRect{0, 0, 1 << 21, 1 << 20}, m.rowBytes = 1 << 20, m.planeBytes = 1 << 30;
             s = TMVRect{0, 0, 1, 1};
         },
         TMFilterBadParameters},
        {"huge bounds",
         [](TMPixelMap& m, TMVRect&) {
             m.bounds = TMVRect{INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX};
         },
         TMFilterBadParameters},
        {"indexed colour", [](TMPixelMap& m, TMVRect&) { m.imageMode = TMModeIndexedColor; }, TMFilterBadMode},
        {"a 32-bit mode number", [](TMPixelMap& m, TMVRect&) { m.imageMode = TMModeRGB96; }, TMFilterBadMode},
        {"16-bit samples", [](TMPixelMap& m, TMVRect&) { m.version = 3, m.depth = 16; }, TMFilterBadMode},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestPixelMap planar(4, 3, 3, TMModeRGBColor);
        TMVRect src = planar.map.bounds;
        c.change(planar.map, src);
        const DisplayCall call = tmsim::RecordDisplay(&planar.map, &src, 0, 0, &gContext);
        EXPECT_EQ(call.result, c.expected);
        const size_t shown = call.result == TMNoErr
                                 ? static_cast<size_t>((src.right - src.left) * (src.bottom - src.top) * call.planes)
                                 : 0;
        EXPECT_EQ(call.pixels.size(), shown);
    }
    TestPixelMap planar(4, 3, 3, TMModeRGBColor);
    tmsim::PixelMapView view;
    EXPECT_EQ(tmsim::ReadPixelMap(nullptr, &planar.map.bounds, &gContext, &view), TMFilterBadParameters);
    EXPECT_EQ(tmsim::ReadPixelMap(&planar.map, nullptr, &gContext, &view), TMFilterBadParameters);
    EXPECT_EQ(tmsim::ReadPixelMap(&planar.map, &planar.map.bounds, nullptr, &view), TMFilterBadParameters);
}

// A plug-in that states an older version may hand a record that ends where that
// version's fields end: nothing past them is read (AddressSanitizer would see it),
// and the missing fields read as their defaults.
TEST(SimDisplay, ReadsOnlyTheFieldsOfTheStatedVersion)
{
    TestPixelMap planar(2, 2, 3, TMModeRGBColor);
    TMPixelMask mask{};
    planar.map.mat = &mask;
    planar.map.depth = 16;
    const size_t ends[] = {offsetof(TMPixelMap, baseAddr) + sizeof(void*),
                           offsetof(TMPixelMap, maskPhaseCol) + sizeof(int32_t),
                           offsetof(TMPixelMap, colorManagementOptions) + sizeof(uint32_t)};
    for (int32_t version = 0; version < 3; ++version) {
        SCOPED_TRACE(version);
        planar.map.version = version;
        std::unique_ptr<uint8_t[]> shortRecord(new uint8_t[ends[version]]);
        std::memcpy(shortRecord.get(), &planar.map, ends[version]);
        tmsim::PixelMapView view;
        EXPECT_EQ(tmsim::ReadPixelMap(reinterpret_cast<const TMPixelMap*>(shortRecord.get()), &planar.map.bounds,
                                      &gContext, &view),
                  TMNoErr);
        EXPECT_EQ(view.hasMat, version >= 1);
        EXPECT_EQ(view.depth, 8);
    }
}

// Each mode against colours fixed outside this code: sRGB red is CIE Lab (53.24,
// 80.09, 67.20), L* 50 is sRGB grey 119, full cyan ink takes out red.
TEST(SimDisplay, ShowsEachModeAsADisplayExpects)
{
    struct Case {
        int32_t mode;
        std::vector<uint8_t> samples; // one pixel, plane by plane
        uint32_t rgb;
        int tolerance;
    };
    const Case cases[] = {
        {TMModeGrayScale, {0x80}, 0x808080, 0},           {TMModeDuotone, {0x11}, 0x111111, 0},
        {TMModeMultichannel, {0xF0}, 0xF0F0F0, 0},        {TMModeRGBColor, {10, 20, 30}, 0x0A141E, 0},
        {TMModeCMYKColor, {0, 0, 0, 0}, 0xFFFFFF, 0},     {TMModeCMYKColor, {255, 0, 0, 0}, 0x00FFFF, 0},
        {TMModeCMYKColor, {0, 255, 255, 0}, 0xFF0000, 0}, {TMModeCMYKColor, {0, 0, 0, 255}, 0x000000, 0},
        {TMModeLabColor, {255, 128, 128}, 0xFFFFFF, 0},   {TMModeLabColor, {0, 128, 128}, 0x000000, 0},
        {TMModeLabColor, {128, 128, 128}, 0x777777, 1},   {TMModeLabColor, {136, 208, 195}, 0xFF0000, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "mode " << c.mode << ", expected " << std::hex << c.rgb);
        TMPixelMap map{};
        map.version = 1;
        map.bounds = TMVRect{5, 5, 6, 6};
        map.imageMode = c.mode;
        map.rowBytes = map.colBytes = map.planeBytes = 1;
        map.baseAddr = const_cast<uint8_t*>(c.samples.data());
        tmsim::PixelMapView view;
        ASSERT_EQ(tmsim::ReadPixelMap(&map, &map.bounds, &gContext, &view), TMNoErr);
        const std::vector<uint32_t> rows = tmsim::DisplayRows(view, map.bounds);
        ASSERT_EQ(rows.size(), 1u);
        for (int shift : {16, 8, 0})
            EXPECT_NEAR(static_cast<int>(rows[0] >> shift & 0xFF), static_cast<int>(c.rgb >> shift & 0xFF),
                        c.tolerance);
        EXPECT_EQ(rows[0] >> 24, 0u);
    }
}

// Planar and interleaved maps of the same picture, placed anywhere, show the same
// source rectangle, top row first.
TEST(SimDisplay, ShowsTheSourceRectangleTopRowFirstForAnyLayout)
{
    for (bool interleaved : {false, true}) {
        SCOPED_TRACE(interleaved ? "interleaved" : "planar");
        TestPixelMap rgb(5, 4, 3, TMModeRGBColor, interleaved, -3, 100);
        const TMVRect part{-2, 101, 0, 104}; // rows 1..2, columns 1..3
        tmsim::PixelMapView view;
        ASSERT_EQ(tmsim::ReadPixelMap(&rgb.map, &part, &gContext, &view), TMNoErr);
        std::vector<uint32_t> expected;
        for (int32_t y = 1; y <= 2; ++y)
            for (int32_t x = 1; x <= 3; ++x)
                expected.push_back(TestColour(TMModeRGBColor, x, y));
        EXPECT_EQ(tmsim::DisplayRows(view, part), expected);
    }
}

} // namespace
