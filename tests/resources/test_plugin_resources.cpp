// The plug-in's own PiPL and terminology, byte for byte, for both processors.
#include <gtest/gtest.h>

#include "resource_test_util.h"
#include "scripting.h"
#include "tm_plugin_info.h"
#include "tm_resources.h"

using restest::Bytes;
using restest::Expect;
using restest::firstDifference;
using restest::propertyData;

namespace {

constexpr uint8_t kVendor[] = {0x4D, 0x49, 0x42, 0x38}; // '8BIM'

// Property header: vendor, key (four bytes as stored), id 0, stored data length.
void property(Expect& e, std::initializer_list<uint8_t> key, uint8_t length)
{
    e({kVendor[0], kVendor[1], kVendor[2], kVendor[3]})(key)({0x00, 0x00, 0x00, 0x00, length, 0x00, 0x00, 0x00});
}

// The whole PiPL; only the code property's key differs between the processors.
Bytes expectedPiPL(std::initializer_list<uint8_t> codeKey)
{
    Expect e;
    e({0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00}); // ten properties
    property(e, {0x64, 0x6E, 0x69, 0x6B}, 0x04);                     // 'kind'
    e({0x4D, 0x46, 0x42, 0x38});                                     // '8BFM'
    property(e, {0x65, 0x6D, 0x61, 0x6E}, 0x10);                     // 'name', 16 bytes
    e({0x0F})("Tone Mapping...");
    property(e, {0x67, 0x74, 0x61, 0x63}, 0x0C); // 'catg', 11 + 1 pad
    e({0x0A})("Kestrimond")({0x00});
    property(e, {0x73, 0x72, 0x65, 0x76}, 0x04); // 'vers' 4.0
    e({0x00, 0x00, 0x04, 0x00});
    property(e, codeKey, 0x0C); // NUL + 1 pad
    e("PluginMain")({0x00, 0x00});
    property(e, {0x65, 0x64, 0x6F, 0x6D}, 0x04); // 'mode'
    e({0x1E, 0x50, 0x80, 0x00});
    property(e, {0x6D, 0x74, 0x73, 0x68}, 0x34); // 'hstm', 51 + 1 pad
    e({0x00, 0x00, 0x00, 0x00, 0x31, 0x6B, 0x64, 0x73, 0x31, 0x6B, 0x64, 0x73, 0x80, 0x3E});
    e("d9543b0c-3c91-11d4-97bc-00b0d0204936")({0x00, 0x00});
    property(e, {0x6C, 0x62, 0x6E, 0x65}, 0x98); // 'enbl', 151 + NUL
    e("in (PSHOP_ImageMode, RGBMode, CMYKMode, HSLMode, HSBMode, LabMode, RGB48Mode) "
      "&&PSHOP_ImageDepth == 8 ||PSHOP_ImageDepth == 16 ||PSHOP_ImageDepth == 32")({0x00});
    property(e, {0x32, 0x33, 0x73, 0x6D}, 0x08); // 'ms32'
    e({0x80, 0x84, 0x1E, 0x00, 0x80, 0x84, 0x1E, 0x00});
    property(e, {0x69, 0x63, 0x69, 0x66}, 0x1C); // 'fici'
    e({0x04, 0x04, 0x00, 0x00, 0x04, 0x04, 0x00, 0x00, 0x04, 0x04, 0x08, 0x00, 0x04, 0x04,
       0x00, 0x00, 0x04, 0x04, 0x08, 0x00, 0x04, 0x04, 0x00, 0x00, 0x04, 0x04, 0x08, 0x00});
    return e.bytes;
}

} // namespace

TEST(PluginPiPL, ThirtyTwoBitWindows)
{
    const Bytes bytes = TMPluginPiPL(TMArch::X86);
    const Bytes expected = expectedPiPL({0x36, 0x38, 0x78, 0x77}); // 'wx86'
    ASSERT_EQ(expected.size(), 462u);
    EXPECT_EQ(bytes, expected) << firstDifference(bytes, expected);
}

TEST(PluginPiPL, SixtyFourBitWindows)
{
    const Bytes bytes = TMPluginPiPL(TMArch::X64);
    const Bytes expected = expectedPiPL({0x34, 0x36, 0x36, 0x38}); // '8664'
    EXPECT_EQ(bytes, expected) << firstDifference(bytes, expected);
}

TEST(PluginPiPL, ModesIncludeTheDeepRGBModesTheEngineProcesses)
{
    // RGB, CMYK, HSL, HSB and Lab alone (1E 40 00 00) would leave the menu item
    // disabled, in hosts that go by these bits, for every image the engine can
    // process; RGB48 is 0x10 of the second byte, RGB96 0x80 of the third.
    EXPECT_EQ(propertyData(TMPluginPiPL(TMArch::X86), TMFourCCOf("mode")), (Bytes{0x1E, 0x50, 0x80, 0x00}));
    EXPECT_EQ(propertyData(TMPluginPiPL(TMArch::X64), TMFourCCOf("mode")), (Bytes{0x1E, 0x50, 0x80, 0x00}));
}

TEST(PluginAete, EventSevenParametersAndTheLevelEnumeration)
{
    Expect e;
    e({0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00}); // version 1.0, English, Roman, 1 suite
    e({0x0A})("Kestrimond")({0x1F})("Quarrystone Kestrimond plug-ins");
    e({0x31, 0x6B, 0x64, 0x73, 0x01, 0x00, 0x01, 0x00, 0x01, 0x00}); // 'sdk1', level 1, version 1, 1 event
    e({0x0C})("Tone Mapping")({0x29})("Tone Mapping of High Dynamic Range images");
    e({0x31, 0x6B, 0x64, 0x73, 0x31, 0x6B, 0x64, 0x73}); // class and id 'sdk1'
    e({0x6C, 0x6C, 0x75, 0x6E, 0x00, 0x00, 0x00});       // reply 'null', "", 0x0000
    e({0x52, 0x6D, 0x49, 0x23, 0x00, 0x00, 0xB0});       // direct '#ImR', "", 0xB000
    e({0x07, 0x00});
    e({0x02})("dr")({0x52, 0x6E, 0x79, 0x64, 0x67, 0x6E, 0x6F, 0x6C})({0x0D})("dynamic range")({0x00, 0x00});
    e({0x08})("strength")({0x74, 0x6E, 0x6D, 0x41, 0x67, 0x6E, 0x6F, 0x6C})({0x08})("strength")({0x00, 0x00});
    e({0x10})("color saturation")({0x74, 0x72, 0x74, 0x53, 0x67, 0x6E, 0x6F, 0x6C});
    e({0x10})("color saturation")({0x00, 0x00});
    e({0x0A})("white clip")({0x43, 0x74, 0x68, 0x57, 0x67, 0x6E, 0x6F, 0x6C})({0x0A})("white clip")({0x00, 0x00});
    e({0x0A})("black clip")({0x43, 0x63, 0x6C, 0x42, 0x67, 0x6E, 0x6F, 0x6C})({0x0A})("black clip")({0x00, 0x00});
    e({0x09})("smoothing")({0x68, 0x74, 0x6D, 0x53, 0x79, 0x54, 0x6E, 0x69});
    e({0x1E})("smoothing luminance variations")({0x00, 0x20});
    e({0x0D})("microcontrast")({0x43, 0x63, 0x69, 0x6D, 0x79, 0x54, 0x6E, 0x69});
    e({0x0D})("microcontrast")({0x00, 0x20});
    e({0x00, 0x00, 0x00, 0x00, 0x01, 0x00}); // no classes, no comparisons
    e({0x79, 0x54, 0x6E, 0x69, 0x03, 0x00}); // 'inTy', three values
    e({0x04})("high")({0x30, 0x74, 0x6E, 0x69})({0x04})("high");
    e({0x03})("mid")({0x31, 0x74, 0x6E, 0x69})({0x03})("mid");
    e({0x03})("low")({0x32, 0x74, 0x6E, 0x69})({0x03})("low");
    const Bytes bytes = TMPluginAete();
    ASSERT_EQ(e.bytes.size(), 444u);
    EXPECT_EQ(bytes, e.bytes) << firstDifference(bytes, e.bytes);
}

TEST(PluginVersion, TextIsTheProjectVersion)
{
    // The build's version and the resource's text must not drift apart.
    EXPECT_STREQ(TM_VERSION_TEXT, TM_PROJECT_VERSION);
}

// What the plug-in reads from and records into the host's descriptor is what its
// terminology declares: the same keys in the same order, integers as 'long', the two
// enumerated settings as the enumeration whose codes the plug-in maps.
TEST(PluginTerminology, DeclaresTheKeysAndTypesThePluginRecords)
{
    const TMAete aete = TMPluginTerminology();
    ASSERT_EQ(aete.suites.size(), 1u);
    ASSERT_EQ(aete.suites[0].events.size(), 1u);
    const std::vector<TMAeteParameter>& declared = aete.suites[0].events[0].parameters;
    ASSERT_EQ(declared.size(), static_cast<size_t>(TMScriptParameterCount));
    for (int i = 0; i < TMScriptParameterCount; ++i) {
        EXPECT_EQ(declared[i].key, TMScriptParameters[i].key) << i;
        EXPECT_EQ(declared[i].type, TMScriptParameters[i].type) << i;
        EXPECT_EQ(declared[i].flags, TMScriptParameters[i].type == TMScriptInteger ? 0x0000 : 0x2000) << i;
    }
    ASSERT_EQ(aete.suites[0].enumerations.size(), 1u);
    const TMAeteEnumeration& levels = aete.suites[0].enumerations[0];
    EXPECT_EQ(levels.type, TMScriptLevel);
    ASSERT_EQ(levels.items.size(), 3u);
    EXPECT_EQ(levels.items[0].code, TMLevelHigh);
    EXPECT_EQ(levels.items[1].code, TMLevelMid);
    EXPECT_EQ(levels.items[2].code, TMLevelLow);
}
