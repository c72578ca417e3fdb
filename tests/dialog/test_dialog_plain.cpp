// The settings dialog's decisions that need no window: the file buttons (through a
// scripted file chooser and an in-memory store), the help page, the preview pane's
// pixel map and histogram, the fallback bitmap and the About box's place.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>

#include "tm_preview_pane.h"
#include "tm_settings_files.h"
#include "tm_xmp_settings.h"

namespace {

// A store that keeps its values in memory and can refuse every write.
class MemoryStore : public TMSettingsStore {
public:
    std::map<std::string, TMStoredValue> values;
    bool refuseWrites = false;
    int open(bool) override { return 0; }
    bool get(const char* name, TMStoredValue* value) override
    {
        const auto it = values.find(name);
        if (it == values.end())
            return false;
        *value = it->second;
        return true;
    }
    int set(const char* name, uint32_t type, const void* data, uint32_t size) override
    {
        if (refuseWrites)
            return 5;
        TMStoredValue& v = values[name];
        v.type = type;
        v.bytes.assign(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
        return 0;
    }
    int close() override { return 0; }
    std::string text(const char* name) const
    {
        const auto it = values.find(name);
        return it == values.end() ? "(none)" : std::string(reinterpret_cast<const char*>(it->second.bytes.data()));
    }
};

// A file chooser that answers `choice` and remembers the folder it was offered.
struct Chooser {
    std::string choice;
    std::string offered = "(not asked)";
    TMFileChooser fn()
    {
        return [this](const char* initial) {
            offered = initial ? initial : "(none)";
            return choice;
        };
    }
};

struct DialogFiles : ::testing::Test {
    std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                ("tm-dialog-files-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    void SetUp() override { std::filesystem::create_directories(dir); }
    void TearDown() override { std::filesystem::remove_all(dir); }
};

} // namespace

TEST_F(DialogFiles, LoadAndSaveRoundTripAndRememberTheFolder)
{
    TMParameters p{};
    applyDefaults(&p, TMSampleFloat32);
    p.settings.luminosity = 3;
    p.settings.smoothing = -2;
    p.settings.microcontrast = 2;
    p.settings.whiteClip = 777;
    char folder[kTMFolderSize] = "C:\\x"; // 4 characters: not offered
    MemoryStore store;
    const std::string file = (dir / "look.xmp").string();
    Chooser save{file};
    ASSERT_GT(TMSaveSettingsFile(save.fn(), p, folder, store), 0);
    EXPECT_EQ(save.offered, "(none)");

    int32_t record[TMXmpRecordSize] = {};
    ASSERT_GT(readSettingsXmp(file.c_str(), record), 0);
    EXPECT_EQ(record[TMXmpLuminosity], -7);
    EXPECT_EQ(record[TMXmpSmoothing], 4);
    EXPECT_EQ(record[TMXmpMicrocontrast], 0);

    TMParameters q{};
    applyDefaults(&q, TMSample16);
    Chooser load{file};
    std::strcpy(folder, "D:\\looks");
    ASSERT_GT(TMLoadSettingsFile(load.fn(), &q, folder, store), 0);
    EXPECT_EQ(load.offered, "D:\\looks");
    EXPECT_EQ(q.settings.luminosity, 3);
    EXPECT_EQ(q.settings.smoothing, -2);
    EXPECT_EQ(q.settings.whiteClip, 777);
}

TEST_F(DialogFiles, CancelFailuresAndFoldersChangeNothingTheyShouldNot)
{
    TMParameters p{};
    applyDefaults(&p, TMSampleFloat32);
    const TMParameters before = p;
    char folder[kTMFolderSize] = "E:\\kept";
    MemoryStore store;

    Chooser cancel{""};
    EXPECT_EQ(TMLoadSettingsFile(cancel.fn(), &p, folder, store), 0);
    EXPECT_EQ(TMSaveSettingsFile(cancel.fn(), p, folder, store), 0);
    EXPECT_STREQ(folder, "E:\\kept") << "a cancelled choice keeps the folder";
    EXPECT_TRUE(store.values.empty());

    // A file without the settings: -10, the settings untouched, the folder taken.
    // A backslash in the name stands for the Windows separator the folder is cut at.
    const std::string other = (dir / "sub\\other.xmp").string();
    std::FILE* f = std::fopen(other.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("<x:xmpmeta>\n</x:xmpmeta>\n", f);
    std::fclose(f);
    Chooser wrong{other};
    EXPECT_EQ(TMLoadSettingsFile(wrong.fn(), &p, folder, store), -10);
    EXPECT_EQ(std::memcmp(&p, &before, sizeof p), 0);
    EXPECT_EQ(std::string(folder), (dir / "sub").string());
    EXPECT_EQ(store.text("LastUsedDir"), folder);

    // A missing file is another error; a registry that refuses writes stops nothing.
    store.refuseWrites = true;
    Chooser missing{(dir / "missing.xmp").string()};
    const int r = TMLoadSettingsFile(missing.fn(), &p, folder, store);
    EXPECT_LT(r, 0);
    EXPECT_NE(r, -10);
    EXPECT_STREQ(TMLoadFailureMessage(-10), "XMP file does not contain Tone Mapping settings.");
    EXPECT_STREQ(TMLoadFailureMessage(r), "Error found when loading XMP file.");
    EXPECT_EQ(TMLoadFailureMessage(0), nullptr);
    EXPECT_EQ(TMLoadFailureMessage(3), nullptr);

    // Folders: before the last backslash; none without one; a folder too long for the
    // buffer leaves the old one rather than a cut one.
    EXPECT_EQ(TMFolderOfFile("C:\\a\\b.xmp"), "C:\\a");
    EXPECT_EQ(TMFolderOfFile("b.xmp"), "");
    store.refuseWrites = false;
    std::strcpy(folder, "G:\\old");
    Chooser deep{std::string(300, 'd') + "\\x.xmp"};
    TMLoadSettingsFile(deep.fn(), &p, folder, store);
    EXPECT_STREQ(folder, "G:\\old");
    EXPECT_EQ(TMInitialFolder("C:\\ab"), std::string("C:\\ab"));
    EXPECT_EQ(TMInitialFolder("C:\\a"), nullptr);
}

TEST(DialogHelp, ThePageComesFromTheInstallationFolder)
{
    MemoryStore store;
    EXPECT_EQ(TMHelpPath(store), "\\ToneMappingHelp.html");
    const char folder[] = "C:\\Program Files\\Tone Mapping";
    store.set("Path", TMValueDword, folder, sizeof folder);
    EXPECT_EQ(TMHelpPath(store), "\\ToneMappingHelp.html") << "not text: ignored";
    store.set("Path", TMValueText, folder, sizeof folder);
    EXPECT_EQ(TMHelpPath(store), "C:\\Program Files\\Tone Mapping\\ToneMappingHelp.html");
    EXPECT_EQ(TMHelpMissingMessage("\\ToneMappingHelp.html"),
              "Could not find Help file at: \\ToneMappingHelp.html\n\nThis may happen if you have moved the Help "
              "file to another location after installation.\n\nPlease reinstall the Tone Mapping plugin to recover "
              "the Help file.");
}

TEST(PreviewPane, PixelMapHistogramBitmapAndAboutPlacement)
{
    const struct {
        int16_t document;
        int32_t drawn;
    } modes[] = {{TMModeGray16, TMModeGrayScale},     {TMModeGray32, TMModeGrayScale},
                 {TMModeRGB48, TMModeRGBColor},       {TMModeRGB96, TMModeRGBColor},
                 {TMModeLab48, TMModeLabColor},       {TMModeCMYK64, TMModeCMYKColor},
                 {TMModeDeepMultichannel, TMModeMultichannel}, {TMModeDuotone16, TMModeDuotone},
                 {TMModeRGBColor, TMModeRGBColor}};
    for (const auto& m : modes)
        EXPECT_EQ(TMPixelMapMode(m.document), m.drawn) << m.document;

    uint8_t image[3 * 4 * 2];
    for (int i = 0; i < 24; ++i)
        image[i] = static_cast<uint8_t>(10 * i);
    const TMPixelMap map = TMPreviewPixelMap(image, 4, 2, TMModeRGB96, 30, 20);
    EXPECT_EQ(map.version, 1);
    EXPECT_EQ(map.bounds.top, 20);
    EXPECT_EQ(map.bounds.left, 30);
    EXPECT_EQ(map.bounds.bottom, 22);
    EXPECT_EQ(map.bounds.right, 34);
    EXPECT_EQ(map.rowBytes, 4);
    EXPECT_EQ(map.colBytes, 1);
    EXPECT_EQ(map.planeBytes, 8);
    EXPECT_EQ(map.baseAddr, image);
    EXPECT_EQ(map.mat, nullptr);
    EXPECT_EQ(map.masks, nullptr);

    // Histogram: base line, then bin i at x0 + trunc(i xs), height trunc(count ys).
    int32_t counts[256] = {};
    TMPaneRect frame{10, 100, 110, 151}; // 100 wide, 51 high
    auto lines = TMHistogramLines(counts, frame);
    ASSERT_EQ(lines.size(), 257u);
    EXPECT_EQ(lines[0].x0, 10);
    EXPECT_EQ(lines[0].x1, 110);
    EXPECT_EQ(lines[0].y0, 151);
    for (size_t i = 1; i < lines.size(); ++i)
        ASSERT_EQ(lines[i].y1, 151) << "all counts 0: no height";
    counts[0] = 1000;
    counts[255] = 500;
    counts[128] = 1;
    lines = TMHistogramLines(counts, frame);
    EXPECT_EQ(lines[1].y1, 151 - 50) << "the largest count spans height - 1";
    EXPECT_EQ(lines[256].y1, 151 - 25);
    EXPECT_EQ(lines[256].x0, 10 + static_cast<int32_t>(255.0f * (99.0f / 256.0f)));
    EXPECT_EQ(lines[129].y1, 151) << "1 of 1000 in 50 pixels truncates to 0";

    // Fallback bitmap: blue, green, red per pixel, rows padded to 4 bytes; one plane is grey.
    std::vector<uint8_t> rows;
    ASSERT_EQ(TMPreviewBitmapRows(image, 4, 2, 3, &rows), 12);
    EXPECT_EQ(rows[0], image[16]);
    EXPECT_EQ(rows[1], image[8]);
    EXPECT_EQ(rows[2], image[0]);
    EXPECT_EQ(rows[12 + 3 * 3 + 2], image[7]);
    ASSERT_EQ(TMPreviewBitmapRows(image, 3, 1, 1, &rows), 12);
    EXPECT_EQ(rows[3], image[1]);
    EXPECT_EQ(rows[4], image[1]);
    EXPECT_EQ(rows[9], 0) << "padding";

    // About box: centred less the caption button, a third down, kept on the screen.
    const TMPaneRect parent{100, 50, 900, 650};
    TMPanePoint at = TMAboutBoxOrigin(parent, 300, 300, 1920, 1080, 30, true);
    EXPECT_EQ(at.x, 100 + 250 - 30);
    EXPECT_EQ(at.y, 50 + 100);
    at = TMAboutBoxOrigin(parent, 300, 300, 1920, 1080, 30, false);
    EXPECT_EQ(at.x, 100 + 250 - 20);
    at = TMAboutBoxOrigin(TMPaneRect{1800, 1000, 1900, 1050}, 300, 300, 1920, 1080, 30, true);
    EXPECT_EQ(at.x, 1620);
    EXPECT_EQ(at.y, 780);
    at = TMAboutBoxOrigin(TMPaneRect{0, 0, 100, 100}, 3000, 3000, 1920, 1080, 30, true);
    EXPECT_EQ(at.x, 0);
    EXPECT_EQ(at.y, 0);
}
