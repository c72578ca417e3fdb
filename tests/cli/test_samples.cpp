// Sample conversions, the output format table and the progress bar.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

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

TEST(CliFormats, ChannelCountsEachFormatHolds)
{
    for (int c : {1, 2, 3, 4, 7}) {
        EXPECT_TRUE(TMFormatHoldsChannels(TMOutputFormat::Exr, c));
        EXPECT_TRUE(TMFormatHoldsChannels(TMOutputFormat::Tiff, c));
        EXPECT_EQ(TMFormatHoldsChannels(TMOutputFormat::Hdr, c), c == 3) << c;
        EXPECT_EQ(TMFormatHoldsChannels(TMOutputFormat::Ppm, c), c == 3) << c;
        EXPECT_EQ(TMFormatHoldsChannels(TMOutputFormat::Pgm, c), c == 1) << c;
        EXPECT_EQ(TMFormatHoldsChannels(TMOutputFormat::Pnm, c), c == 1 || c == 3) << c;
        EXPECT_EQ(TMFormatHoldsChannels(TMOutputFormat::Pfm, c), c == 1 || c == 3) << c;
        EXPECT_EQ(TMFormatHoldsChannels(TMOutputFormat::Jpeg, c), c == 1 || c == 3) << c;
        EXPECT_EQ(TMFormatHoldsChannels(TMOutputFormat::Png, c), c <= 4) << c;
    }
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
    EXPECT_EQ(captureProgress(false, [](TMProgressBar& bar) {
                  bar.update(30, 100);
                  bar.update(100, 100);
                  bar.finish();
              }),
              "");
}
