// Settings files through the built tools: tonemap --settings and --save-settings
// (the file as a starting point, options over it, the settings saved with and
// without an image, failures that write nothing, files that must not be
// overwritten), and tm-settings show, read and write.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "cli_test_support.h"

using namespace tmtest;

namespace {

const std::string kTonemap = TM_TONEMAP_EXE;
const std::string kSettingsTool = TM_SETTINGS_EXE;
constexpr int W = 120, H = 100;

std::string fileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// A settings file as another program may have written it: the namespace line, then
// one element a line.
std::string settingsText(const std::vector<std::string>& elements)
{
    std::string text = "<x:xmpmeta xmlns:x='adobe:ns:meta/'>\n <rdf:Description rdf:about=''\n"
                       "  xmlns:kvrz='http://example.org/Kestrimond/tone_mapping_settings'>\n";
    for (const std::string& e : elements)
        text += "  " + e + "\n";
    return text + " </rdf:Description>\n</x:xmpmeta>\n";
}

class SettingsFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::vector<float> px = sceneFloat(W, H);
        writeImage(dir / "in.exr", W, H, 3, OIIO::TypeDesc::FLOAT, OIIO::TypeDesc::FLOAT, px.data());
        const std::vector<uint16_t> px16 = scene16(W, H);
        writeImage(dir / "in.tif", W, H, 3, OIIO::TypeDesc::UINT16, OIIO::TypeDesc::UINT16, px16.data());
    }

    RunResult tonemap(const std::vector<std::string>& args) { return run(kTonemap, args); }

    // The pixels tonemap makes of `input` with `options`.
    std::vector<unsigned char> render(const std::string& input, std::vector<std::string> options)
    {
        const std::string out = dir / ("out-" + std::to_string(++renders) + ".exr");
        options.insert(options.begin(), {input, out});
        const RunResult r = tonemap(options);
        EXPECT_EQ(r.status, 0) << r.err;
        return readImage(out).bytes;
    }

    // Expects `status` with `text` in the message and the folder holding `files`.
    void expectFailure(const std::vector<std::string>& args, int status, const std::string& text,
                       const std::vector<std::string>& files)
    {
        const RunResult r = tonemap(args);
        EXPECT_EQ(r.status, status) << r.err;
        EXPECT_NE(r.err.find(text), std::string::npos) << "stderr: " << r.err;
        EXPECT_EQ(dir.list(), files) << ::testing::PrintToString(args);
    }

    TempDir dir;
    int renders = 0;
};

} // namespace

TEST_F(SettingsFiles, TheFileIsTheStartingPointAndOptionsOverrideIt)
{
    writeText(dir / "look.xmp",
              settingsText({"<kvrz:Method>Zirudaz Iraverir</kvrz:Method>", "<kvrz:Luminosity>-4</kvrz:Luminosity>",
                            "<kvrz:Strength>85</kvrz:Strength>", "<kvrz:ColorSaturation>60</kvrz:ColorSaturation>",
                            "<kvrz:WhiteClip>1.250000</kvrz:WhiteClip>", "<kvrz:BlackClip>0.015000</kvrz:BlackClip>",
                            "<kvrz:Smoothing>Low     </kvrz:Smoothing>",
                            "<kvrz:Microcontrast>Medium Low</kvrz:Microcontrast>",
                            "<kvrz:Microsmoothing>9</kvrz:Microsmoothing>"}));
    const std::vector<std::string> asOptions = {
        "--luminosity", "-4",    "--strength",        "85", "--saturation",     "60", "--white-clip",      "1.25",
        "--black-clip", "0.015", "--light-smoothing", "-1", "--micro-contrast", "0",  "--micro-smoothing", "9"};
    const std::string in = dir / "in.exr", look = dir / "look.xmp";
    EXPECT_EQ(render(in, {"--settings", look}), render(in, asOptions));
    std::vector<std::string> overridden = asOptions;
    overridden[3] = "20";
    EXPECT_EQ(render(in, {"--strength", "20", "--settings", look}), render(in, overridden));

    // As the dialog loads it: a setting the file lacks is 0 (Strength here), whatever
    // the image's default; values beyond the ranges are clamped.
    writeText(dir / "partial.xmp", settingsText({"<kvrz:Luminosity>99</kvrz:Luminosity>"}));
    EXPECT_EQ(render(in, {"--settings", dir / "partial.xmp"}),
              render(in, {"--luminosity", "10", "--strength", "0", "--saturation", "0", "--white-clip", "0",
                          "--light-smoothing", "2", "--micro-contrast", "2", "--micro-smoothing", "0"}));
}

TEST_F(SettingsFiles, SavedSettingsAreThoseInEffect)
{
    // Without an image: a float image's defaults, the file's values and the options.
    RunResult r = tonemap({"--save-settings", dir / "look.xmp", "--strength", "85", "--micro-contrast=-1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    const std::string look = fileBytes(dir / "look.xmp");
    for (const char* line :
         {"  <kvrz:Luminosity>0</kvrz:Luminosity>\n", "  <kvrz:Strength>85</kvrz:Strength>\n",
          "  <kvrz:WhiteClip>0.250000</kvrz:WhiteClip>\n", "  <kvrz:Microcontrast>Low     </kvrz:Microcontrast>\n"})
        EXPECT_NE(look.find(line), std::string::npos) << line << look;

    // Loaded, edited and saved over itself.
    ASSERT_EQ(
        tonemap({"--settings", dir / "look.xmp", "--luminosity", "7", "--save-settings", dir / "look.xmp"}).status, 0);
    EXPECT_NE(fileBytes(dir / "look.xmp").find("  <kvrz:Luminosity>7</kvrz:Luminosity>\n  <kvrz:Strength>85<"),
              std::string::npos);

    // With an image: the settings it was tone-mapped with, so the file reproduces
    // the render, 16-bit default Strength included.
    const std::string in16 = dir / "in.tif";
    r = tonemap({in16, dir / "a.tif", "--saturation", "70", "--save-settings", dir / "used.xmp"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(fileBytes(dir / "used.xmp").find("  <kvrz:Strength>40</kvrz:Strength>\n"), std::string::npos);
    ASSERT_EQ(tonemap({in16, dir / "b.tif", "--settings", dir / "used.xmp"}).status, 0);
    EXPECT_EQ(readImage(dir / "a.tif").bytes, readImage(dir / "b.tif").bytes);
}

TEST_F(SettingsFiles, RefusalsComeBeforeAnythingIsWritten)
{
    writeText(dir / "look.xmp", "<x:xmpmeta>\n<kvrz:Strength>50</kvrz:Strength>\n</x:xmpmeta>\n");
    const std::string look = fileBytes(dir / "look.xmp"), in = dir / "in.exr", out = dir / "out.exr";
    const std::vector<std::string> files = {"in.exr", "in.tif", "look.xmp"};
    // Files that do not load, with the dialog's messages.
    expectFailure({in, out, "--settings", dir / "look.xmp", "--save-settings", dir / "s.xmp"}, 2,
                  "cannot load settings '" + dir / "look.xmp" + "': XMP file does not contain Tone Mapping settings.",
                  files);
    expectFailure({in, out, "--settings", dir / "missing.xmp"}, 2,
                  "'" + dir / "missing.xmp" + "': Error found when loading XMP file. (No such file or directory)",
                  files);
    // Files the user has, and a settings file that cannot be written.
    expectFailure({in, out, "--save-settings", in}, 2, "--save-settings '" + in + "' is the same file as INPUT", files);
    expectFailure({in, out, "--save-settings", dir / "./out.exr"}, 2, "is the same file as OUTPUT", files);
    const std::vector<std::string> preview = {in, dir / "p.png", "--preview", "512", "--histogram"};
    std::vector<std::string> args = preview;
    args.insert(args.end(), {dir / "look.xmp", "--settings", dir / "look.xmp"});
    expectFailure(args, 2, "is the same file as --settings", files);
    args = preview;
    args.insert(args.end(), {dir / "h.txt", "--save-settings", dir / "h.txt"});
    expectFailure(args, 2, "is the same file as --histogram", files);
    expectFailure({"--output-dir", dir / "sub", in, dir / "in.tif", "--save-settings", dir / "in.tif"}, 2,
                  "is the same file as INPUT", files);
    expectFailure({in, out, "--save-settings", dir / "no-such-folder/s.xmp"}, 1, "cannot write settings", files);
    EXPECT_EQ(fileBytes(dir / "look.xmp"), look);

    // A pipe would keep the run waiting for a writer.
    ASSERT_EQ(mkfifo((dir / "pipe.xmp").c_str(), 0600), 0);
    const RunResult r = run(kTonemap, {in, out, "--settings", dir / "pipe.xmp"}, {}, 60);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("Error found when loading XMP file. (not a regular file)"), std::string::npos) << r.err;
}

TEST_F(SettingsFiles, SettingsToolShowsReadsAndWrites)
{
    const std::string path = dir / "t.xmp";
    RunResult r = run(kSettingsTool, {"write", path, "-3", "81", "12", "777", "5", "4", "2", "17"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "code=1\n");
    r = run(kSettingsTool, {"read", path, "--init", "1,2,3,4,5,6,7,8"});
    EXPECT_EQ(r.out, "code=" + std::to_string(fileBytes(path).find(" </rdf:Description>\n") + 20) +
                         " record=-3,81,12,777,5,4,2,17\n");
    r = run(kSettingsTool, {"show", path});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Luminosity: -3\nStrength: 81\nColor Saturation: 12\nWhite Clipping: 3.885 %\n"
                     "Black Clipping: 0.025 %\nLight Smoothing: -2\nMicro-contrast: 0\nMicro-smoothing: 17\n");

    // The record as the reader leaves it, unclamped; an index without a word is refused.
    EXPECT_EQ(run(kSettingsTool, {"read", dir / "missing", "--init", "9,9,9,9,9,9,9,-9"}).out,
              "code=-1 record=9,9,9,9,9,9,9,-9\n");
    writeText(path, settingsText({"<kvrz:Strength>-7", "<kvrz:WhiteClip>nan"}));
    EXPECT_NE(run(kSettingsTool, {"read", path}).out.find(" record=0,-7,0,0,0,0,0,0\n"), std::string::npos);
    EXPECT_EQ(run(kSettingsTool, {"write", path, "0", "0", "0", "0", "0", "5", "0", "0"}).out, "code=-1\n");
    r = run(kSettingsTool, {"show", dir / "missing"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Error found when loading XMP file."), std::string::npos);
    for (const std::vector<std::string>& args : {std::vector<std::string>{"read", path, "--init", "1,2,3"},
                                                 {"write", path, "1"},
                                                 {"frob", path},
                                                 {"write", path, "0", "0", "0", "0", "0", "0", "0", "2147483648"}})
        EXPECT_EQ(run(kSettingsTool, args).status, 2) << ::testing::PrintToString(args);
}
