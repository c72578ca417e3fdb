// The general PiPL and terminology writers against the protocol's worked examples
// (transcribed byte for byte) and against values that do not fit their fields.
#include <gtest/gtest.h>

#include "resource_test_util.h"
#include "tm_resource_bytes.h"

using restest::Expect;
using restest::firstDifference;

TEST(PiPLBytes, WorkedExampleOfSixProperties)
{
    const std::vector<TMPiPLProperty> properties = {
        {TMFourCCOf("kind"), TMPiPLCode(TMFourCCOf("8BFM"))},
        {TMFourCCOf("vers"), TMPiPLInt32s({0x00040000})},
        {TMFourCCOf("catg"), TMPiPLPascal("Demo")},
        {TMFourCCOf("name"), TMPiPLPascal("Demo...")},
        {TMFourCCOf("wx86"), TMPiPLCString("PluginMain")},
        {TMFourCCOf("mode"), TMPiPLModes({TMModeRGBColor, TMModeRGB48, TMModeRGB96})},
    };
    Expect e;
    e({0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00});
    e({0x4D, 0x49, 0x42, 0x38, 0x64, 0x6E, 0x69, 0x6B, 0x00, 0x00,
       0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x4D, 0x46, 0x42, 0x38});
    e({0x4D, 0x49, 0x42, 0x38, 0x73, 0x72, 0x65, 0x76, 0x00, 0x00,
       0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00});
    // Five bytes of data padded to eight, and the padded length stored.
    e({0x4D, 0x49, 0x42, 0x38, 0x67, 0x74, 0x61, 0x63, 0x00, 0x00, 0x00, 0x00,
       0x08, 0x00, 0x00, 0x00, 0x04, 0x44, 0x65, 0x6D, 0x6F, 0x00, 0x00, 0x00});
    e({0x4D, 0x49, 0x42, 0x38, 0x65, 0x6D, 0x61, 0x6E, 0x00, 0x00, 0x00, 0x00,
       0x08, 0x00, 0x00, 0x00, 0x07, 0x44, 0x65, 0x6D, 0x6F, 0x2E, 0x2E, 0x2E});
    e({0x4D, 0x49, 0x42, 0x38, 0x36, 0x38, 0x78, 0x77, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x00,
       0x00, 0x00, 0x50, 0x6C, 0x75, 0x67, 0x69, 0x6E, 0x4D, 0x61, 0x69, 0x6E, 0x00, 0x00});
    e({0x4D, 0x49, 0x42, 0x38, 0x65, 0x64, 0x6F, 0x6D, 0x00, 0x00,
       0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x10, 0x10, 0x80, 0x00});
    const std::vector<uint8_t> bytes = TMPiPLBytes(properties);
    ASSERT_EQ(e.bytes.size(), 146u);
    EXPECT_EQ(bytes, e.bytes) << firstDifference(bytes, e.bytes);
}

TEST(PiPLBytes, ModeBitsCountFromTheFirstByteMostSignificantBit)
{
    // How hosts test the first sixteen modes: the first two bytes, big-endian, hold
    // 0x8000 >> mode.
    for (int mode = 0; mode < 16; ++mode) {
        const TMResBytes m = TMPiPLModes({mode});
        ASSERT_TRUE(m.ok);
        ASSERT_EQ(m.bytes.size(), 4u);
        EXPECT_EQ(m.bytes[0] << 8 | m.bytes[1], 0x8000 >> mode) << "mode " << mode;
        EXPECT_EQ(m.bytes[2] | m.bytes[3], 0) << "mode " << mode;
    }
    EXPECT_EQ(TMPiPLModes({TMModeRGB96}).bytes, (std::vector<uint8_t>{0x00, 0x00, 0x80, 0x00}));
    EXPECT_EQ(TMPiPLModes({TMModeGray32}).bytes, (std::vector<uint8_t>{0x00, 0x00, 0x40, 0x00}));
}

TEST(PiPLBytes, ValuesThatDoNotFitGiveNoResource)
{
    const std::string longest(255, 'a');
    const std::vector<uint8_t> fits = TMPiPLBytes({{TMFourCCOf("name"), TMPiPLPascal(longest)}});
    ASSERT_EQ(fits.size(), 10u + 16u + 256u);
    EXPECT_EQ(fits[26], 0xFF);

    const auto fails = [](TMResBytes data) {
        return TMPiPLBytes({{TMFourCCOf("kind"), TMPiPLCode(TMFourCCOf("8BFM"))}, {TMFourCCOf("test"), data}});
    };
    EXPECT_TRUE(fails(TMPiPLPascal(longest + "a")).empty());
    EXPECT_TRUE(fails(TMPiPLCString(std::string("Plugin\0Main", 11))).empty());
    EXPECT_TRUE(fails(TMPiPLModes({TMModeRGBColor, 32})).empty());
    EXPECT_TRUE(fails(TMPiPLModes({-1})).empty());
    EXPECT_TRUE(fails(TMPiPLFilterCases(std::vector<TMFilterCaseInfo>(6, {4, 4, 0, 0}))).empty());
    EXPECT_FALSE(fails(TMPiPLFilterCases(std::vector<TMFilterCaseInfo>(7, {4, 4, 0, 0}))).empty());
}

namespace {

// The terminology of the protocol's worked example: two parameters, one enumeration.
TMAete demoTerminology()
{
    TMAeteEvent event = {"Demo",
                         "",
                         TMFourCCOf("dmoS"),
                         TMFourCCOf("dmoE"),
                         TMFourCCOf("null"),
                         "",
                         0x0000,
                         TMFourCCOf("#ImR"),
                         "",
                         0xB000,
                         {{"amount", TMFourCCOf("Amnt"), TMFourCCOf("long"), "", 0x0000},
                          {"mode", TMFourCCOf("Mode"), TMFourCCOf("dmoM"), "", 0x2000}}};
    TMAeteEnumeration modes = {TMFourCCOf("dmoM"),
                               {{"soft", TMFourCCOf("dmo0"), ""}, {"hard", TMFourCCOf("dmo1"), ""}}};
    TMAeteSuite suite = {"Demo", "", TMFourCCOf("dmoS"), 1, 1, {event}, {modes}};
    return {1, 0, 0, 0, {suite}};
}

} // namespace

TEST(AeteBytes, WorkedExampleOfTwoParametersAndAnEnumeration)
{
    Expect e;
    e({0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00});
    e({0x04, 0x44, 0x65, 0x6D, 0x6F, 0x00, 0x53, 0x6F, 0x6D, 0x64, 0x01, 0x00, 0x01, 0x00, 0x01, 0x00});
    e({0x04, 0x44, 0x65, 0x6D, 0x6F, 0x00, 0x53, 0x6F, 0x6D, 0x64, 0x45, 0x6F, 0x6D, 0x64});
    e({0x6C, 0x6C, 0x75, 0x6E, 0x00, 0x00, 0x00});
    e({0x52, 0x6D, 0x49, 0x23, 0x00, 0x00, 0xB0});
    e({0x02, 0x00});
    e({0x06, 0x61, 0x6D, 0x6F, 0x75, 0x6E, 0x74, 0x74, 0x6E, 0x6D, 0x41, 0x67, 0x6E, 0x6F, 0x6C, 0x00, 0x00, 0x00});
    e({0x04, 0x6D, 0x6F, 0x64, 0x65, 0x65, 0x64, 0x6F, 0x4D, 0x4D, 0x6F, 0x6D, 0x64, 0x00, 0x00, 0x20});
    e({0x00, 0x00, 0x00, 0x00, 0x01, 0x00});
    e({0x4D, 0x6F, 0x6D, 0x64, 0x02, 0x00});
    e({0x04, 0x73, 0x6F, 0x66, 0x74, 0x30, 0x6F, 0x6D, 0x64, 0x00,
       0x04, 0x68, 0x61, 0x72, 0x64, 0x31, 0x6F, 0x6D, 0x64, 0x00});
    const std::vector<uint8_t> bytes = TMAeteBytes(demoTerminology());
    ASSERT_EQ(e.bytes.size(), 122u);
    EXPECT_EQ(bytes, e.bytes) << firstDifference(bytes, e.bytes);
}

TEST(AeteBytes, AnOverlongStringAnywhereGivesNoResource)
{
    const std::string tooLong(256, 'a');
    TMAete a = demoTerminology();
    ASSERT_FALSE(TMAeteBytes(a).empty());
    a.suites[0].events[0].parameters[1].description = tooLong;
    EXPECT_TRUE(TMAeteBytes(a).empty());
    a = demoTerminology();
    a.suites[0].enumerations[0].items[1].name = tooLong;
    EXPECT_TRUE(TMAeteBytes(a).empty());
    a = demoTerminology();
    a.suites[0].events[0].directDescription = tooLong;
    EXPECT_TRUE(TMAeteBytes(a).empty());
}
