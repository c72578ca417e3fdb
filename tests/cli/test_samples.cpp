// Sample conversions, the output format table and the progress bar.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tm_formats.h"
#include "tm_progress.h"
#include "tm_samples.h"

TEST(CliSamples, FileAndHostSixteenBitRangesMapEndToEnd)
{
    EXPECT_EQ(TMFileToHost16(0), 0);
    EXPECT_EQ(TMFileToHost16(65535), 32768);
    EXPECT_EQ(TMHostToFile16(0), 0);
    EXPECT_EQ(TMHostToFile16(32768), 65535);
    EXPECT_EQ(TMHostToFile16(16384), 32768); // (16384 * 65535 + 16384) / 32768
    EXPECT_EQ(TMFileToHost16(1), 1);         // the smallest non-zero value is not lost to black
    EXPECT_EQ(TMHostToFile16(40000), 65535); // beyond white: clamped, not wrapped
    EXPECT_EQ(TMHostToFile16(65535), 65535);
}

TEST(CliSamples, EveryHostValueSurvivesTheTripThroughTheFileRange)
{
    uint16_t previous = 0;
    for (uint32_t h = 0; h <= 32768; ++h) {
        const uint16_t v = TMHostToFile16(static_cast<uint16_t>(h));
        ASSERT_EQ(TMFileToHost16(v), h) << h;
        ASSERT_TRUE(h == 0 || v > previous) << h;
        previous = v;
    }
    uint16_t last = 0;
    for (uint32_t v = 0; v <= 65535; ++v) { // file -> host is monotonic and within range
        const uint16_t h = TMFileToHost16(static_cast<uint16_t>(v));
        ASSERT_GE(h, last);
        ASSERT_LE(h, 32768);
        last = h;
    }
}

TEST(CliSamples, DisplayConversions)
{
    EXPECT_EQ(TMHost16ToDisplay8(0), 0);
    EXPECT_EQ(TMHost16ToDisplay8(32768), 255);
    EXPECT_EQ(TMHost16ToDisplay8(16384), 128); // 127.5 rounds up
    EXPECT_EQ(TMHost16ToDisplay8(16383), 127);

    EXPECT_EQ(TMFloatToDisplay8(0.0f), 0);
    EXPECT_EQ(TMFloatToDisplay8(1.0f), 255);
    EXPECT_EQ(TMFloatToDisplay8(std::pow(0.6f, 2.2f)), 153); // 0.6 * 255 = 153
    EXPECT_EQ(TMFloatToDisplay8(-0.5f), 0);
    EXPECT_EQ(TMFloatToDisplay8(7.0f), 255);
    EXPECT_EQ(TMFloatToDisplay8(std::nanf("")), 0);

    EXPECT_EQ(TMFloatToFile16(1.0f), 65535);
    EXPECT_EQ(TMFloatToFile16(0.5f), 32768); // 32767.5 rounds up
    EXPECT_EQ(TMFloatToFile16(std::nanf("")), 0);
    EXPECT_EQ(TMFloatToFile16(2.0f), 65535);
    EXPECT_FLOAT_EQ(TMHost16ToFloat(32768), 1.0f);
    EXPECT_FLOAT_EQ(TMHost16ToFloat(8192), 0.25f);
    EXPECT_EQ(TMFile16ToFile8(65535), 255);
    EXPECT_EQ(TMFile16ToFile8(32896), 128); // 128 * 257
}

TEST(CliFormats, ExtensionsPickFormatsCaseInsensitively)
{
    EXPECT_EQ(TMOutputFormatFromPath("a.exr"), TMOutputFormat::Exr);
    EXPECT_EQ(TMOutputFormatFromPath("dir.x/A.EXR"), TMOutputFormat::Exr);
    EXPECT_EQ(TMOutputFormatFromPath("a.hdr"), TMOutputFormat::Hdr);
    EXPECT_EQ(TMOutputFormatFromPath("a.pfm"), TMOutputFormat::Pfm);
    EXPECT_EQ(TMOutputFormatFromPath("a.tif"), TMOutputFormat::Tiff);
    EXPECT_EQ(TMOutputFormatFromPath("a.TIFF"), TMOutputFormat::Tiff);
    EXPECT_EQ(TMOutputFormatFromPath("a.ppm"), TMOutputFormat::Ppm);
    EXPECT_EQ(TMOutputFormatFromPath("a.pgm"), TMOutputFormat::Pgm);
    EXPECT_EQ(TMOutputFormatFromPath("a.pnm"), TMOutputFormat::Pnm);
    EXPECT_EQ(TMOutputFormatFromPath("a.png"), TMOutputFormat::Png);
    EXPECT_EQ(TMOutputFormatFromPath("a.jpg"), TMOutputFormat::Jpeg);
    EXPECT_EQ(TMOutputFormatFromPath("a.Jpeg"), TMOutputFormat::Jpeg);
    for (const char* unknown : {"a.bmp", "a", "a.exr.bak", "dir.exr/file", "a.", ".exrx"})
        EXPECT_FALSE(TMOutputFormatFromPath(unknown).has_value()) << unknown;
}

// What each format keeps of colour, alpha and further channels, and what it leaves
// out: a grey result repeated where only RGB fits, alpha only where it has a place.
TEST(CliFormats, ChannelPlansFollowWhatEachFormatHolds)
{
    using F = TMOutputFormat;
    struct Case {
        F format;
        int32_t channels, planes, alpha;
        std::vector<int32_t> from;
        int32_t colour, alphaOut;
        bool droppedAlpha;
        int32_t droppedOther;
    };
    const Case cases[] = {
        {F::Exr, 5, 3, 3, {0, 1, 2, 3, 4}, 3, 3, false, 0}, // RGBA + depth: all kept
        {F::Tiff, 2, 1, 1, {0, 1}, 1, 1, false, 0},
        {F::Png, 5, 3, 3, {0, 1, 2, 3}, 3, 3, false, 1}, // depth left out
        {F::Png, 4, 3, -1, {0, 1, 2}, 3, -1, false, 1},  // a fourth channel that is no alpha
        {F::Png, 2, 1, 1, {0, 1}, 1, 1, false, 0},
        {F::Jpeg, 4, 3, 3, {0, 1, 2}, 3, -1, true, 0},
        {F::Jpeg, 2, 1, 1, {0}, 1, -1, true, 0},
        {F::Hdr, 1, 1, -1, {0, 0, 0}, 3, -1, false, 0}, // grey repeated as RGB
        {F::Ppm, 2, 1, 1, {0, 0, 0}, 3, -1, true, 0},
        {F::Pfm, 4, 3, 3, {0, 1, 2}, 3, -1, true, 0},
        {F::Pnm, 1, 1, -1, {0}, 1, -1, false, 0},
        {F::Pgm, 2, 1, 1, {0}, 1, -1, true, 0},
    };
    for (const Case& c : cases) {
        const TMChannelPlan plan = TMPlanChannels(c.format, c.channels, c.planes, c.alpha);
        const std::string what = std::string(TMFormatName(c.format)) + " " + std::to_string(c.channels);
        EXPECT_FALSE(plan.refused) << what;
        EXPECT_EQ(plan.from, c.from) << what;
        EXPECT_EQ(plan.colour, c.colour) << what;
        EXPECT_EQ(plan.alpha, c.alphaOut) << what;
        EXPECT_EQ(plan.droppedAlpha, c.droppedAlpha) << what;
        EXPECT_EQ(plan.droppedOther, c.droppedOther) << what;
    }
    EXPECT_TRUE(TMPlanChannels(F::Pgm, 3, 3, -1).refused) << "colour into a grey-only format";
}

namespace {

std::string captureProgress(bool enabled, const std::function<void(TMProgressBar&)>& body)
{
    FILE* f = std::tmpfile();
    if (!f)
        return "<no tmpfile>";
    {
        TMProgressBar bar(f, enabled);
        body(bar);
    }
    std::string text;
    std::rewind(f);
    for (int c = std::fgetc(f); c != EOF; c = std::fgetc(f))
        text.push_back(static_cast<char>(c));
    std::fclose(f);
    return text;
}

} // namespace

TEST(CliProgress, DrawsEachEnginePointOnceAndEndsTheLine)
{
    const std::string text = captureProgress(true, [](TMProgressBar& bar) {
        const TMProgressSink sink = bar.sink();
        for (int32_t done : {0, 5, 5, 30, 70})
            sink.report(sink.context, done, 100);
        EXPECT_EQ(sink.cancelled, nullptr);
        bar.update(100, 100);
        bar.finish();
        bar.finish(); // a second finish adds nothing
    });
    size_t draws = 0;
    for (char c : text)
        draws += c == '\r';
    EXPECT_EQ(draws, 5u) << text; // 0, 5, 30, 70, 100: the repeated 5 is not redrawn
    for (const char* pct : {"  0%", "  5%", " 30%", " 70%", "100%"})
        EXPECT_NE(text.find(pct), std::string::npos) << pct;
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find('\n'), text.size() - 1);
}

TEST(CliProgress, ADisabledBarWritesNothing)
{
    EXPECT_EQ(captureProgress(false,
                              [](TMProgressBar& bar) {
                                  bar.update(30, 100);
                                  bar.update(100, 100);
                                  bar.finish();
                              }),
              "");
}

// The table must give TMFloatToDisplay8's byte for every float: checked on a sweep
// of the whole bit-pattern range and on the 129 floats around each step of the
// byte, where the power puts it ((k - 1/2) / 255)^2.2.
TEST(CliSamples, TheDisplayTableGivesTheFunctionsByteForEveryFloat)
{
    const TMDisplay8Table table;
    size_t wrong = 0;
    for (uint64_t bits = 0; bits <= 0xFFFFFFFFu; bits += 997) {
        float x;
        const auto b = static_cast<uint32_t>(bits);
        std::memcpy(&x, &b, sizeof x);
        wrong += table(x) != TMFloatToDisplay8(x);
    }
    for (int k = 1; k < 256; ++k) {
        float x = static_cast<float>(std::pow((k - 0.5) / 255.0, 2.2));
        for (int i = 0; i < 64; ++i)
            x = std::nextafter(x, 0.0f);
        for (int i = 0; i < 129; ++i, x = std::nextafter(x, 2.0f))
            wrong += table(x) != TMFloatToDisplay8(x);
    }
    EXPECT_EQ(wrong, 0u);
}
