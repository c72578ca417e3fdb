// Command-line parsing of tonemap: ranges in the dialog's units, both value forms,
// negative values, malformed input, operands, and the resolved settings record.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tm_options.h"

namespace {

TMCliParse parse(std::vector<std::string> args) { return TMParseCommandLine(args); }

TMCliParse parseOption(const std::string& option, const std::string& value, bool equalsForm)
{
    if (equalsForm)
        return parse({"in.exr", option + "=" + value, "out.exr"});
    return parse({"in.exr", option, value, "out.exr"});
}

struct IntegerOption {
    const char* name;
    int32_t min, max;
    std::function<std::optional<int32_t>(const TMCliSettings&)> field;
};

const IntegerOption kIntegerOptions[] = {
    {"--luminosity", -10, 10, [](const TMCliSettings& s) { return s.luminosity; }},
    {"--strength", 0, 100, [](const TMCliSettings& s) { return s.strength; }},
    {"--saturation", 0, 100, [](const TMCliSettings& s) { return s.saturation; }},
    {"--light-smoothing", -2, 2, [](const TMCliSettings& s) { return s.lightSmoothing; }},
    {"--micro-contrast", -2, 2, [](const TMCliSettings& s) { return s.microContrast; }},
    {"--micro-smoothing", 0, 30, [](const TMCliSettings& s) { return s.microSmoothing; }},
};

} // namespace

TEST(CliOptions, OperandsAloneLeaveEverySettingUnset)
{
    const TMCliParse r = parse({"in.exr", "out.png"});
    ASSERT_EQ(r.action, TMCliAction::Run) << r.error;
    EXPECT_EQ(r.options.input, "in.exr");
    EXPECT_EQ(r.options.output, "out.png");
    EXPECT_FALSE(r.options.quiet);
    const TMCliSettings& s = r.options.settings;
    EXPECT_FALSE(s.luminosity || s.strength || s.saturation || s.whiteClipSteps || s.blackClipSteps ||
                 s.lightSmoothing || s.microContrast || s.microSmoothing);
    EXPECT_FALSE(s.image360);
}

TEST(CliOptions, IntegerOptionsAcceptBothEndsInBothForms)
{
    for (const IntegerOption& o : kIntegerOptions) {
        for (bool equalsForm : {false, true}) {
            for (int32_t v : {o.min, o.max}) {
                const TMCliParse r = parseOption(o.name, std::to_string(v), equalsForm);
                ASSERT_EQ(r.action, TMCliAction::Run) << o.name << " " << v << ": " << r.error;
                EXPECT_EQ(o.field(r.options.settings), v) << o.name;
            }
        }
    }
}

TEST(CliOptions, IntegerOptionsRefuseValuesJustOutsideTheRangeNamingOptionAndRange)
{
    for (const IntegerOption& o : kIntegerOptions) {
        for (int32_t v : {o.min - 1, o.max + 1}) {
            const TMCliParse r = parseOption(o.name, std::to_string(v), false);
            ASSERT_EQ(r.action, TMCliAction::UsageError) << o.name << " " << v;
            EXPECT_NE(r.error.find(o.name), std::string::npos) << r.error;
            const std::string range = "from " + std::to_string(o.min) + " to " + std::to_string(o.max);
            EXPECT_NE(r.error.find(range), std::string::npos) << r.error;
        }
    }
}

TEST(CliOptions, MalformedIntegersAreRefused)
{
    for (const char* bad : {"", "abc", "3x", " 3", "3 ", "2.5", "1e1", "+-3", "--3", "0x10", "99999999999999999999"}) {
        const TMCliParse r = parseOption("--strength", bad, true);
        EXPECT_EQ(r.action, TMCliAction::UsageError) << "'" << bad << "'";
        EXPECT_NE(r.error.find("--strength"), std::string::npos) << r.error;
    }
    EXPECT_EQ(parseOption("--strength", "+7", false).options.settings.strength, 7);
}

TEST(CliOptions, NegativeValuesWorkAsSeparateArguments)
{
    const TMCliParse r =
        parse({"--luminosity", "-3", "in.exr", "--light-smoothing", "-2", "out.exr", "--micro-contrast", "-1"});
    ASSERT_EQ(r.action, TMCliAction::Run) << r.error;
    EXPECT_EQ(r.options.settings.luminosity, -3);
    EXPECT_EQ(r.options.settings.lightSmoothing, -2);
    EXPECT_EQ(r.options.settings.microContrast, -1);
    EXPECT_EQ(r.options.input, "in.exr");
    EXPECT_EQ(r.options.output, "out.exr");
}

TEST(CliOptions, ClipOptionsTakePercentOnTheStepGrid)
{
    const std::pair<const char*, int32_t> cases[] = {
        {"0", 0},     {"5", 1000},    {"5.000", 1000}, {"0.25", 50}, {"0.005", 1},
        {"0.015", 3}, {"4.995", 999}, {"2.5e-2", 5},   {"+1", 200},  {"0.0050000000001", 1},
    };
    for (const char* option : {"--white-clip", "--black-clip"}) {
        for (const auto& [text, steps] : cases) {
            for (bool equalsForm : {false, true}) {
                const TMCliParse r = parseOption(option, text, equalsForm);
                ASSERT_EQ(r.action, TMCliAction::Run) << option << " " << text << ": " << r.error;
                const TMCliSettings& s = r.options.settings;
                EXPECT_EQ(std::string(option) == "--white-clip" ? s.whiteClipSteps : s.blackClipSteps, steps)
                    << option << " " << text;
            }
        }
    }
}

TEST(CliOptions, ClipOptionsRefuseOffStepOutOfRangeAndMalformedValues)
{
    for (const char* option : {"--white-clip", "--black-clip"}) {
        for (const char* bad : {"0.0025", "0.001", "1.2345", "0.00501", "5.005", "-0.005", "6", "abc", "nan", "inf",
                                "-inf", "0x1p-3", "", "1,5", "0.25%"}) {
            const TMCliParse r = parseOption(option, bad, false);
            EXPECT_EQ(r.action, TMCliAction::UsageError) << option << " '" << bad << "'";
            EXPECT_NE(r.error.find(option), std::string::npos) << r.error;
            EXPECT_NE(r.error.find("0 to 5"), std::string::npos) << r.error;
        }
    }
}

TEST(CliOptions, FlagsAndTheirMisuse)
{
    TMCliParse r = parse({"--quiet", "in.exr", "out.exr", "--360"});
    ASSERT_EQ(r.action, TMCliAction::Run) << r.error;
    EXPECT_TRUE(r.options.quiet);
    EXPECT_TRUE(r.options.settings.image360);

    EXPECT_EQ(parse({"in.exr", "out.exr", "--360=1"}).action, TMCliAction::UsageError);
    EXPECT_EQ(parse({"in.exr", "out.exr", "--quiet=yes"}).action, TMCliAction::UsageError);
}

TEST(CliOptions, UsageErrors)
{
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"in.exr"},
        {"in.exr", "out.exr", "extra.exr"},
        {"in.exr", "out.exr", "--bogus"},
        {"in.exr", "out.exr", "-x"},
        {"in.exr", "out.exr", "--strengthh=3"},
        {"in.exr", "out.exr", "--strength"}, // value missing at the end
        {"in.exr", "out.exr", "--Strength", "3"},
    };
    for (const auto& args : cases) {
        const TMCliParse r = parse(args);
        EXPECT_EQ(r.action, TMCliAction::UsageError) << ::testing::PrintToString(args);
        EXPECT_FALSE(r.error.empty());
    }
    EXPECT_NE(parse({"in.exr", "out.exr", "--strength"}).error.find("needs a value"), std::string::npos);
}

TEST(CliOptions, DoubleDashEndsOptionsAndLoneDashIsAnOperand)
{
    TMCliParse r = parse({"--strength", "5", "--", "-in.exr", "--out.exr"});
    ASSERT_EQ(r.action, TMCliAction::Run) << r.error;
    EXPECT_EQ(r.options.input, "-in.exr");
    EXPECT_EQ(r.options.output, "--out.exr");
    r = parse({"-", "out.exr"});
    ASSERT_EQ(r.action, TMCliAction::Run) << r.error;
    EXPECT_EQ(r.options.input, "-");
}

TEST(CliOptions, HelpAndVersionNeedNoOperands)
{
    EXPECT_EQ(parse({"--help"}).action, TMCliAction::Help);
    EXPECT_EQ(parse({"in.exr", "-h"}).action, TMCliAction::Help);
    EXPECT_EQ(parse({"--version"}).action, TMCliAction::Version);
    EXPECT_STREQ(kTMVersionText, "tonemap 1.0.1");
}

TEST(CliOptions, HelpListsEveryOptionWithItsRange)
{
    const std::string help = TMUsageText();
    for (const char* item : {"--luminosity -10..10", "--strength 0..100", "--saturation 0..100", "--white-clip 0..5",
                             "--black-clip 0..5", "--light-smoothing -2..2", "--micro-contrast -2..2",
                             "--micro-smoothing 0..30", "--360", "--threads N", "--quiet", "--help", "--version"})
        EXPECT_NE(help.find(item), std::string::npos) << item;
}

TEST(CliOptions, TheLastOfARepeatedOptionWins)
{
    EXPECT_EQ(parse({"--strength", "10", "in.exr", "out.exr", "--strength=20"}).options.settings.strength, 20);
}

TEST(CliSettings, GivenOptionsAreStoredInTheRecordsUnits)
{
    const TMCliParse r = parse({"in.exr", "out.exr", "--luminosity", "-10", "--strength", "0", "--saturation=100",
                                "--white-clip", "5", "--black-clip", "0.015", "--light-smoothing", "-2",
                                "--micro-contrast", "-2", "--micro-smoothing", "30", "--360"});
    ASSERT_EQ(r.action, TMCliAction::Run) << r.error;
    const TMParameters p = TMResolveSettings(r.options.settings, TMSample16);
    EXPECT_EQ(p.settings.luminosity, 0);
    EXPECT_EQ(p.settings.strength, 0); // given: not replaced by the 16-bit default
    EXPECT_EQ(p.settings.colorSaturation, 100);
    EXPECT_EQ(p.settings.whiteClip, 1000);
    EXPECT_EQ(p.settings.blackClip, 3);
    EXPECT_EQ(p.settings.smoothing, -2);
    EXPECT_EQ(p.settings.microcontrast, -2);
    EXPECT_EQ(p.settings.microsmoothing, 30);
    EXPECT_EQ(p.settings.image360, 1);
    EXPECT_EQ(
        TMResolveSettings(parse({"a", "b", "--luminosity=10"}).options.settings, TMSampleFloat32).settings.luminosity,
        20);
}

TEST(CliOptions, PreviewOptions)
{
    for (const std::string side : {"512", "768", "1024"}) {
        const TMCliParse r = parse({"in.exr", "--preview", side, "--original", "--histogram=h.txt", "out.png"});
        ASSERT_EQ(r.action, TMCliAction::Run) << r.error;
        EXPECT_EQ(r.options.previewSide, std::stoi(side));
        EXPECT_TRUE(r.options.original);
        EXPECT_EQ(r.options.histogram, "h.txt");
    }
    EXPECT_EQ(parse({"in.exr", "out.png"}).options.previewSide, 0) << "rendering is the default";
    for (const std::vector<std::string>& args : {std::vector<std::string>{"in.exr", "--preview", "500", "out.png"},
                                                 {"in.exr", "--preview=1k", "out.png"},
                                                 {"in.exr", "out.png", "--preview"},
                                                 {"in.exr", "--original", "out.png"},
                                                 {"in.exr", "--histogram", "h.txt", "out.png"},
                                                 {"in.exr", "--histogram=", "--preview=512", "out.png"},
                                                 {"in.exr", "--original=1", "--preview=512", "out.png"}}) {
        const TMCliParse r = parse(args);
        EXPECT_EQ(r.action, TMCliAction::UsageError) << ::testing::PrintToString(args);
        EXPECT_FALSE(r.error.empty());
    }
}

TEST(CliOptions, ThreadCount)
{
    EXPECT_EQ(parse({"in.exr", "out.exr"}).options.threads, 0) << "every core by default";
    struct Case {
        std::vector<std::string> args;
        int32_t threads; // -1: a usage error naming the option
    };
    const Case cases[] = {
        {{"--threads", "1"}, 1},      {{"--threads=3"}, 3},        {{"--threads", "1024"}, 1024},
        {{"--threads", "0"}, 0},      {{"--threads", "1025"}, -1}, {{"--threads=-1"}, -1},
        {{"--threads", "2x"}, -1},    {{"--threads="}, -1},        {{"--threads", " 2"}, -1},
        {{"--threads", "99999"}, -1},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"in.exr", "out.exr"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const TMCliParse r = parse(args);
        if (c.threads < 0) {
            EXPECT_EQ(r.action, TMCliAction::UsageError) << ::testing::PrintToString(c.args);
            EXPECT_NE(r.error.find("--threads"), std::string::npos) << r.error;
        } else {
            ASSERT_EQ(r.action, TMCliAction::Run) << r.error;
            EXPECT_EQ(r.options.threads, c.threads);
        }
    }
    EXPECT_EQ(parse({"in.exr", "out.exr", "--threads"}).action, TMCliAction::UsageError);
}

TEST(CliOptions, SettingsFilesAndSavingWithoutAnImage)
{
    TMCliParse r = parse({"--save-settings", "look.xmp", "--strength", "85"});
    ASSERT_EQ(r.action, TMCliAction::Run) << r.error;
    EXPECT_EQ(r.options.saveSettings, "look.xmp");
    EXPECT_TRUE(r.options.input.empty() && r.options.output.empty());
    r = parse({"in.exr", "--settings=a.xmp", "out.exr", "--save-settings", "b.xmp"});
    ASSERT_EQ(r.action, TMCliAction::Run) << r.error;
    EXPECT_EQ(r.options.settingsFile, "a.xmp");
    EXPECT_EQ(r.options.saveSettings, "b.xmp");
    EXPECT_FALSE(r.options.settings.fromFile) << "read by the run, not by parsing";

    for (const std::vector<std::string>& args : {std::vector<std::string>{"--settings", "a.xmp"},
                                                 {"--save-settings=", "in.exr", "out.exr"},
                                                 {"--save-settings", "s.xmp", "--preview", "512"},
                                                 {"--save-settings", "s.xmp", "--compression", "zip"},
                                                 {"--save-settings", "s.xmp", "--format", "png"},
                                                 {"--save-settings", "s.xmp", "in.exr"},
                                                 {"in.exr", "out.exr", "--settings"}}) {
        r = parse(args);
        EXPECT_EQ(r.action, TMCliAction::UsageError) << ::testing::PrintToString(args);
        EXPECT_FALSE(r.error.empty());
    }
}

TEST(CliSettings, TheFilesRecordLiesBetweenDefaultsAndOptions)
{
    TMCliParse r = parse({"in.exr", "out.exr", "--strength", "20", "--360"});
    ASSERT_EQ(r.action, TMCliAction::Run) << r.error;
    r.options.settings.fromFile = std::array<int32_t, 8>{-4, 85, 60, 250, 3, 3, 2, 9};
    TMParameters p = TMResolveSettings(r.options.settings, TMSample16);
    EXPECT_EQ(p.settings.luminosity, 6);
    EXPECT_EQ(p.settings.strength, 20) << "the option overrides the file";
    EXPECT_EQ(p.settings.colorSaturation, 60);
    EXPECT_EQ(p.settings.whiteClip, 250);
    EXPECT_EQ(p.settings.blackClip, 3);
    EXPECT_EQ(p.settings.smoothing, -1);
    EXPECT_EQ(p.settings.microcontrast, 0);
    EXPECT_EQ(p.settings.microsmoothing, 9);
    EXPECT_EQ(p.settings.image360, 1);

    TMCliSettings wild;
    wild.fromFile = std::array<int32_t, 8>{99, -5, 500, -1, 100000, 9, -9, 31};
    p = TMResolveSettings(wild, TMSampleFloat32);
    EXPECT_EQ(p.settings.luminosity, 20);
    EXPECT_EQ(p.settings.strength, 0);
    EXPECT_EQ(p.settings.colorSaturation, 100);
    EXPECT_EQ(p.settings.whiteClip, 0);
    EXPECT_EQ(p.settings.blackClip, 1000);
    EXPECT_EQ(p.settings.smoothing, -2);
    EXPECT_EQ(p.settings.microcontrast, 2);
    EXPECT_EQ(p.settings.microsmoothing, 30);
}
