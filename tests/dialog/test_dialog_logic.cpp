// The settings dialog's decisions without a window: slider scales and labels, what a
// scroll request and each button do to the settings, and the control lists the
// Win32 side applies.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "persist_test_support.h"
#include "tm_dialog_logic.h"
#include "tm_last_settings.h"
#include "tm_settings_store.h"
#include "tm_xmp_settings.h"

namespace {

TMParameters fresh(int32_t sampleFormat = TMSampleFloat32)
{
    TMParameters p{};
    applyDefaults(&p, sampleFormat);
    return p;
}

// An update list as text, one entry per line, so a failure shows the whole order.
std::string listed(const std::vector<TMControlUpdate>& updates)
{
    std::string out;
    for (const TMControlUpdate& u : updates) {
        out += std::to_string(u.controlId);
        if (u.kind == TMControlUpdate::SliderRange)
            out += " range 0.." + std::to_string(u.maximum) + " at " + std::to_string(u.position);
        else if (u.kind == TMControlUpdate::SliderPosition)
            out += " at " + std::to_string(u.position);
        else
            out += " \"" + u.text + "\"";
        out += "\n";
    }
    return out;
}

} // namespace

TEST(DialogScale, ClipSliderExamplesAndLimits)
{
    // Position -> stored value -> label, and stored value -> position.
    const struct {
        int32_t position, value;
        const char* label;
    } forward[] = {
        {0, 0, "0.000"},
        {1, 1, "0.005"},
        {10, 26, "0.130"},
        {25, 112, "0.560"},
        {50, 334, "1.670"},
        {75, 635, "3.175"},
        {100, 1000, "5.000"},
        // Outside the slider: the nearer end, never the power of a negative number.
        {-7, 0, "0.000"},
        {250, 1000, "5.000"},
    };
    for (const auto& c : forward) {
        EXPECT_EQ(TMClipFromSlider(c.position), c.value) << c.position;
        EXPECT_EQ(TMLabelText(TMSlider::WhiteClip, TMClipFromSlider(c.position)), c.label) << c.position;
    }
    const struct {
        int32_t value, position;
    } back[] = {{50, 15}, {26, 9}, {1000, 100}, {0, 0}, {-3, 0}, {5000, 100}};
    for (const auto& c : back)
        EXPECT_EQ(TMSliderFromClip(c.value), c.position) << c.value;
    // Every slider position comes back to itself or a neighbour, and the scale rises.
    for (int32_t p = 0; p <= 100; ++p) {
        EXPECT_NEAR(TMSliderFromClip(TMClipFromSlider(p)), p, 1) << p;
        if (p > 0) {
            EXPECT_GT(TMClipFromSlider(p), TMClipFromSlider(p - 1)) << p;
        }
    }
}

TEST(DialogScale, LabelsAndPositionsOfEverySetting)
{
    const struct {
        TMSlider slider;
        int32_t value, position;
        const char* label;
    } cases[] = {
        {TMSlider::Luminosity, 10, 10, "0"},       {TMSlider::Luminosity, 0, 0, "-10"},
        {TMSlider::Luminosity, 20, 20, "10"},      {TMSlider::Strength, 70, 70, "70"},
        {TMSlider::ColorSaturation, 46, 46, "46"}, {TMSlider::Smoothing, 1, 3, "+1"},
        {TMSlider::Smoothing, 0, 2, "0"},          {TMSlider::Smoothing, -2, 0, "-2"},
        {TMSlider::Microcontrast, 2, 4, "+2"},     {TMSlider::Microcontrast, -1, 1, "-1"},
        {TMSlider::Microsmoothing, 2, 2, "2"},     {TMSlider::BlackClip, 50, 15, "0.250"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(TMSliderOf(c.slider).controlId);
        EXPECT_EQ(TMPositionFromValue(c.slider, c.value), c.position);
        EXPECT_EQ(TMLabelText(c.slider, c.value), c.label);
        if (c.slider != TMSlider::BlackClip) { // the clip scale is not an exact inverse
            EXPECT_EQ(TMValueFromPosition(c.slider, c.position), c.value);
        }
    }
}

TEST(DialogScroll, RequestsMoveStoreAndRecomputeAsTheirCodeSays)
{
    struct Case {
        const char* what;
        TMSlider slider;
        int32_t code, position, track, maximum;
        bool move;
        int32_t to;
        const char* label;
        bool store;
        int32_t value, level;
    };
    const Case cases[] = {
        {"line right", TMSlider::Strength, TMScrollLineRight, 70, 0, 100, true, 71, "71", true, 71, 1},
        {"line right at the end", TMSlider::Strength, TMScrollLineRight, 100, 0, 100, true, 100, "100", true, 100, 1},
        {"line left at 0", TMSlider::Luminosity, TMScrollLineLeft, 0, 0, 20, true, 0, "-10", true, 0, 1},
        {"trough click", TMSlider::Strength, TMScrollPageLeft, 70, 0, 100, false, 0, "", false, 0, 0},
        {"trough click right", TMSlider::Strength, TMScrollPageRight, 70, 0, 100, false, 0, "", false, 0, 0},
        {"drag", TMSlider::Strength, TMScrollThumbTrack, 70, 30, 100, true, 30, "30", false, 30, 1},
        {"release", TMSlider::Strength, TMScrollThumbPosition, 70, 30, 100, true, 30, "30", true, 30, 1},
        {"end of scroll", TMSlider::Strength, TMScrollEnd, 70, 0, 100, false, 0, "", false, 0, 0},
        {"unknown code", TMSlider::Strength, 42, 70, 0, 100, false, 0, "", false, 0, 0},
        {"Home", TMSlider::Microsmoothing, TMScrollLeft, 9, 0, 30, true, 0, "0", true, 0, 2},
        {"End", TMSlider::Smoothing, TMScrollRight, 1, 0, 4, true, 4, "+2", true, 2, 2},
        {"smoothing step", TMSlider::Smoothing, TMScrollLineRight, 2, 0, 4, true, 3, "+1", true, 1, 2},
        {"white clip release", TMSlider::WhiteClip, TMScrollThumbPosition, 15, 50, 100, true, 50, "1.670", true, 334,
         0},
        {"saturation step", TMSlider::ColorSaturation, TMScrollLineLeft, 46, 0, 100, true, 45, "45", true, 45, 0},
        // A track position or a current position outside the range stores nothing.
        {"negative track", TMSlider::WhiteClip, TMScrollThumbPosition, 15, -3, 100, false, 0, "", false, 0, 0},
        {"track past the end", TMSlider::Luminosity, TMScrollThumbPosition, 5, 21, 20, false, 0, "", false, 0, 0},
        {"position outside", TMSlider::Strength, TMScrollLineLeft, 101, 0, 100, false, 0, "", false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const TMScrollOutcome out = TMScrollRequest(c.slider, c.code, c.position, c.track, c.maximum);
        EXPECT_EQ(out.move, c.move);
        EXPECT_EQ(out.store, c.store);
        if (c.move) {
            EXPECT_EQ(out.position, c.to);
            EXPECT_EQ(out.label, c.label);
        }
        TMParameters p = fresh();
        p.previewLevel = 7;
        const TMParameters before = p;
        TMStoreSlider(&p, c.slider, out);
        if (c.store) {
            EXPECT_EQ(TMSettingValue(p.settings, c.slider), c.value);
            EXPECT_EQ(p.previewLevel, c.level);
        } else {
            EXPECT_EQ(std::memcmp(&p, &before, sizeof p), 0) << "a request that stores nothing changed the record";
        }
    }
}

TEST(DialogControls, StartAndRefreshListsInTheirOrder)
{
    TMParameters p = fresh();
    p.settings.luminosity = 3;
    p.settings.whiteClip = 50;
    p.settings.smoothing = -1;
    EXPECT_EQ(listed(TMInitialControls(p.settings)),
              "100 range 0..20 at 3\n110 range 0..100 at 70\n120 range 0..100 at 46\n150 range 0..4 at 1\n"
              "160 range 0..4 at 4\n170 range 0..30 at 2\n130 range 0..100 at 15\n140 range 0..100 at 0\n"
              "101 \"-7\"\n111 \"70\"\n121 \"46\"\n151 \"-1\"\n161 \"+2\"\n171 \"2\"\n131 \"0.250\"\n"
              "141 \"0.000\"\n");
    const std::string all = "100 at 3\n101 \"-7\"\n110 at 70\n111 \"70\"\n120 at 46\n121 \"46\"\n130 at 15\n"
                            "131 \"0.250\"\n140 at 0\n141 \"0.000\"\n150 at 1\n151 \"-1\"\n160 at 4\n161 \"+2\"\n"
                            "170 at 2\n171 \"2\"\n";
    EXPECT_EQ(listed(TMRefreshControls(p.settings, 100)), all);
    EXPECT_EQ(listed(TMRefreshControls(p.settings, 3)), all.substr(0, all.find("130 at")));
    EXPECT_TRUE(TMRefreshControls(p.settings, 0).empty());
}

TEST(DialogButtons, DefaultPreviousAndDialogStart)
{
    for (const int32_t format : {TMSampleFloat32, TMSample16}) {
        TMParameters p = fresh(format);
        p.settings.strength = 5;
        p.settings.image360 = 1;
        p.showPreview = 0;
        p.previewLevel = 0;
        const std::vector<TMControlUpdate> updates = TMDefaultButton(&p, format);
        EXPECT_EQ(p.settings.strength, format == TMSampleFloat32 ? 70 : 40);
        EXPECT_EQ(p.settings.image360, 0);
        EXPECT_EQ(p.previewLevel, 2);
        EXPECT_EQ(p.showPreview, 0) << "Default leaves the preview bookkeeping";
        EXPECT_EQ(listed(updates), listed(TMRefreshControls(p.settings, 100)));
    }

    // Previous with a store that lacks Strength: every control shows the record's
    // value afterwards, also those after the missing one.
    persisttest::TempFolder folder;
    TMFileSettingsStore store(folder / "values");
    TMParameters last = fresh();
    last.settings.luminosity = 4;
    last.settings.microsmoothing = 17;
    ASSERT_EQ(saveLastSettings(last, store), 0);
    ASSERT_EQ(store.open(false), 0);
    TMFileSettingsStore rewritten(folder / "partial");
    ASSERT_EQ(rewritten.open(true), 0);
    for (const char* name : {"DR", "ColorSaturation", "WP", "BP", "Smoothing", "Microcontrast", "Micro-smoothing"}) {
        TMStoredValue v;
        ASSERT_TRUE(store.get(name, &v)) << name;
        ASSERT_EQ(rewritten.set(name, v.type, v.bytes.data(), static_cast<uint32_t>(v.bytes.size())), 0);
    }
    ASSERT_EQ(rewritten.close(), 0);
    store.close();
    TMParameters p = fresh();
    p.settings.strength = 33;
    p.settings.microsmoothing = 0;
    p.previewLevel = 0;
    const std::vector<TMControlUpdate> updates = TMPreviousButton(&p, rewritten);
    EXPECT_EQ(p.settings.luminosity, 4);
    EXPECT_EQ(p.settings.strength, 33);
    EXPECT_EQ(p.settings.microsmoothing, 17);
    EXPECT_EQ(p.previewLevel, 2);
    EXPECT_EQ(listed(updates), listed(TMRefreshControls(p.settings, 100)));

    // A run that ended on the original starts with the tone-mapped view again.
    p.showPreview = 0;
    p.restorePreview = 1;
    p.originalStale768 = 0;
    p.forcePreviewRecompute = 1;
    TMBeginDialogRun(&p);
    EXPECT_STREQ(TMShowOriginalText(p), "Show Original");
    TMParameters expected = fresh();
    expected.settings = p.settings;
    EXPECT_EQ(std::memcmp(&p, &expected, sizeof p), 0);
}

TEST(DialogButtons, SettingsFilesLoadSaveAndFolders)
{
    persisttest::TempFolder folder;
    const std::string path = folder / "look.xmp";
    const struct {
        int32_t listSmoothing, smoothing;
    } loads[] = {{1, 1}, {4, -2}, {0, 2}};
    for (const auto& c : loads) {
        int32_t record[TMXmpRecordSize] = {-3, 55, 60, 100, 20, c.listSmoothing, 0, 9};
        ASSERT_EQ(writeSettingsXmp(path.c_str(), record), 1);
        TMParameters p = fresh();
        p.settings.image360 = 1;
        std::vector<TMControlUpdate> updates;
        EXPECT_GT(TMReadSettingsFile(path.c_str(), &p, &updates), 0);
        EXPECT_EQ(p.settings.smoothing, c.smoothing);
        EXPECT_EQ(p.settings.luminosity, 7);
        EXPECT_EQ(p.settings.microcontrast, 2);
        EXPECT_EQ(p.settings.image360, 1) << "not part of the file";
        EXPECT_EQ(p.previewLevel, 2);
        EXPECT_EQ(listed(updates), listed(TMRefreshControls(p.settings, 100)));
    }
    // Failed loads change nothing and name their cause.
    const std::string foreign = folder / "foreign.xmp";
    persisttest::writeBytes(foreign, "<x:xmpmeta>\n<rdf:Description/>\n</x:xmpmeta>\n");
    const struct {
        std::string file;
        const char* message;
    } failures[] = {
        {foreign, "XMP file does not contain Tone Mapping settings."},
        {folder / "missing.xmp", "Error found when loading XMP file."},
    };
    for (const auto& f : failures) {
        TMParameters p = fresh();
        const TMParameters before = p;
        std::vector<TMControlUpdate> updates;
        const int r = TMReadSettingsFile(f.file.c_str(), &p, &updates);
        ASSERT_LT(r, 0) << f.file;
        EXPECT_STREQ(TMLoadFailureMessage(r), f.message);
        EXPECT_EQ(std::memcmp(&p, &before, sizeof p), 0);
        EXPECT_TRUE(updates.empty());
    }
    EXPECT_EQ(TMLoadFailureMessage(0), nullptr) << "a cancelled file dialog shows nothing";

    // Save: Luminosity 3 is -7 in the file, Micro-contrast +2 is word 0.
    TMParameters p = fresh();
    p.settings.luminosity = 3;
    ASSERT_EQ(TMWriteSettingsFile(path.c_str(), p), 1);
    int32_t back[TMXmpRecordSize] = {};
    ASSERT_GT(readSettingsXmp(path.c_str(), back), 0);
    EXPECT_EQ(back[TMXmpLuminosity], -7);
    EXPECT_EQ(back[TMXmpMicrocontrast], 0);

    char kept[kTMFolderSize] = "C:\\old";
    EXPECT_TRUE(TMFolderOfPath("C:\\Looks\\warm.xmp", kept));
    EXPECT_STREQ(kept, "C:\\Looks");
    EXPECT_FALSE(TMFolderOfPath("warm.xmp", kept));
    EXPECT_STREQ(kept, "C:\\Looks");
    const std::string longPath = std::string(300, 'a') + "\\x.xmp";
    EXPECT_FALSE(TMFolderOfPath(longPath.c_str(), kept)) << "a folder that does not fit is not kept";
    EXPECT_FALSE(TMOffersFolder("C:\\a"));
    EXPECT_TRUE(TMOffersFolder("C:\\ab"));
}

TEST(DialogButtons, ToggleSidesAndHelp)
{
    TMParameters p = fresh();
    EXPECT_STREQ(TMToggleOriginal(&p), "Show Preview");
    EXPECT_EQ(p.showPreview, 0);
    EXPECT_EQ(p.restorePreview, 0);
    EXPECT_STREQ(TMToggleOriginal(&p), "Show Original");
    EXPECT_EQ(p.showPreview, 1);
    EXPECT_EQ(p.restorePreview, 1) << "back to the preview restores the saved image";
    EXPECT_TRUE(TMToggleImage360(&p));
    EXPECT_FALSE(TMToggleImage360(&p));

    EXPECT_EQ(TMPreviewSideOfButtons(false, false), 512);
    EXPECT_EQ(TMPreviewSideOfButtons(true, false), 768);
    EXPECT_EQ(TMPreviewSideOfButtons(false, true), 1024);
    p.previewLevel = 0;
    TMPreviewSideChosen(&p);
    EXPECT_EQ(p.previewLevel, 2);

    EXPECT_EQ(TMHelpFilePath(nullptr), "\\ToneMappingHelp.html");
    EXPECT_EQ(TMHelpFilePath("C:\\Tools\\TM"), "C:\\Tools\\TM\\ToneMappingHelp.html");
    EXPECT_EQ(TMHelpMissingMessage("\\ToneMappingHelp.html"),
              "Could not find Help file at: \\ToneMappingHelp.html\n\nThis may happen if you have moved the Help "
              "file to another location after installation.\n\nPlease reinstall the Tone Mapping plugin to recover "
              "the Help file.");
}

TEST(DialogPane, PixelMapModesAndHistogramLines)
{
    // Deep modes are shown as their 8-bit counterparts; others pass unchanged.
    const int32_t modes[][2] = {{10, 1}, {17, 1}, {11, 3}, {16, 3}, {12, 9},
                                {13, 4}, {14, 7}, {15, 8}, {3, 3},  {99, 99}};
    for (const auto& m : modes)
        EXPECT_EQ(TMPixelMapMode(m[0]), m[1]) << m[0];

    // Frame 10..267 x 20..121: 256 bins over 256 pixels, 100 pixels of height.
    int32_t counts[256] = {};
    const std::vector<TMLine> empty = TMHistogramLines(counts, 10, 20, 267, 121);
    ASSERT_EQ(empty.size(), 1u) << "no counts: the base line alone";
    EXPECT_EQ((std::vector<int32_t>{empty[0].x0, empty[0].y0, empty[0].x1, empty[0].y1}),
              (std::vector<int32_t>{10, 121, 267, 121}));
    counts[0] = 50;
    counts[128] = 200; // the largest reaches the top
    counts[255] = 3;
    const std::vector<TMLine> lines = TMHistogramLines(counts, 10, 20, 267, 121);
    ASSERT_EQ(lines.size(), 4u);
    const int32_t expected[][4] = {{10, 121, 10, 96}, {138, 121, 138, 21}, {265, 121, 265, 120}};
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ((std::vector<int32_t>{lines[i + 1].x0, lines[i + 1].y0, lines[i + 1].x1, lines[i + 1].y1}),
                  (std::vector<int32_t>(expected[i], expected[i] + 4)))
            << "bin line " << i;
}
