// The last-used settings over a store in memory: the values' names, types and sizes,
// the count the dialog's Previous button relies on, and every value a damaged or
// foreign store can hold (wrong types, wrong sizes, out-of-range bytes, long folders).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "persist_test_support.h"
#include "tm_last_settings.h"

using persisttest::MemoryStore;

namespace {

TMParameters defaults()
{
    TMParameters p{};
    applyDefaults(&p, TMSampleFloat32);
    return p;
}

std::vector<uint8_t> binary(uint8_t byte0, size_t size = 80)
{
    std::vector<uint8_t> v(size, 0xEE);
    if (size > 0)
        v[0] = byte0;
    return v;
}

std::vector<uint8_t> dword(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

// A store as the dialog leaves it: every value with the right type and size.
MemoryStore storeOf(const TMParameters& p)
{
    MemoryStore store;
    EXPECT_EQ(saveLastSettings(p, store), 0);
    return store;
}

} // namespace

TEST(LastSettings, SavedAsNamedTypedValuesAndLoadedBack)
{
    TMParameters p = defaults();
    p.luminosity = 0;
    p.strength = 99;
    p.colorSaturation = 100;
    p.whiteClip = 1000;
    p.blackClip = 7;
    p.smoothing = -2;
    p.microcontrast = 0;
    p.microsmoothing = 30;
    MemoryStore store = storeOf(p);

    struct Stored {
        const char* name;
        uint32_t type;
        std::vector<uint8_t> bytes;
    };
    std::vector<uint8_t> dr(80, 0), zero(80, 0);
    dr[0] = 10;
    const Stored expected[] = {
        {"DR", TMValueBinary, dr}, {"Strength", TMValueBinary, binary(99)}, {"ColorSaturation", TMValueBinary, binary(100)},
        {"WP", TMValueDword, dword(1000)}, {"BP", TMValueDword, dword(7)}, {"Smoothing", TMValueBinary, zero},
        {"Microcontrast", TMValueBinary, binary(2)}, {"Micro-smoothing", TMValueBinary, binary(30)},
    };
    ASSERT_EQ(store.values.size(), 8u);
    for (const Stored& s : expected) {
        const TMStoredValue& v = store.values[s.name];
        EXPECT_EQ(v.type, s.type) << s.name;
        std::vector<uint8_t> want = s.bytes;
        if (s.type == TMValueBinary)
            std::fill(want.begin() + 1, want.end(), 0); // bytes 1..79 are written as zeros
        EXPECT_EQ(v.bytes, want) << s.name;
    }

    TMParameters loaded = defaults();
    loaded.image360 = 1;
    EXPECT_EQ(loadLastSettings(&loaded, store), 8);
    TMParameters want = p;
    want.image360 = 1;
    EXPECT_EQ(std::memcmp(&loaded, &want, sizeof want), 0);
}

TEST(LastSettings, TheFormatsCases)
{
    TMParameters p = defaults();
    MemoryStore none;
    EXPECT_EQ(loadLastSettings(&p, none), 0) << "first use: no key";
    const TMParameters d = defaults();
    EXPECT_EQ(std::memcmp(&p, &d, sizeof p), 0);

    MemoryStore store = storeOf(d);
    store.put("Smoothing", TMValueBinary, binary(7));
    store.put("Microcontrast", TMValueBinary, binary(9));
    store.put("DR", TMValueBinary, binary(10));
    store.put("WP", TMValueBinary, binary(5, 4));
    p.smoothing = p.microcontrast = -2;
    p.whiteClip = 123;
    EXPECT_EQ(loadLastSettings(&p, store), 7);
    EXPECT_EQ(p.smoothing, 1);
    EXPECT_EQ(p.microcontrast, 2);
    EXPECT_EQ(p.luminosity, 0);
    EXPECT_EQ(p.whiteClip, 123) << "a WP of the wrong type is skipped";
}

TEST(LastSettings, EveryStoredValueIsCheckedForTypeSizeAndRange)
{
    struct Case {
        const char* what;
        const char* name;
        uint32_t type;
        std::vector<uint8_t> bytes;
        int count;               // values counted
        int32_t TMParameters::*field;
        int32_t expected;        // the field afterwards (the defaults' value when skipped)
    };
    const Case cases[] = {
        {"DR below 10", "DR", TMValueBinary, binary(3), 8, &TMParameters::luminosity, 0},
        {"DR above 30", "DR", TMValueBinary, binary(255), 8, &TMParameters::luminosity, 20},
        {"Strength above 100", "Strength", TMValueBinary, binary(200), 8, &TMParameters::strength, 100},
        {"ColorSaturation above 100", "ColorSaturation", TMValueBinary, binary(101), 8,
         &TMParameters::colorSaturation, 100},
        {"negative WP", "WP", TMValueDword, dword(0xFFFFFFFFu), 8, &TMParameters::whiteClip, 0},
        {"WP above 1000", "WP", TMValueDword, dword(5000), 8, &TMParameters::whiteClip, 1000},
        {"BP far above", "BP", TMValueDword, dword(0x7FFFFFFF), 8, &TMParameters::blackClip, 1000},
        {"Micro-smoothing above 30", "Micro-smoothing", TMValueBinary, binary(31), 8, &TMParameters::microsmoothing,
         30},
        {"an empty binary value", "Strength", TMValueBinary, {}, 7, &TMParameters::strength, 70},
        {"a one-byte binary value", "Strength", TMValueBinary, binary(12, 1), 8, &TMParameters::strength, 12},
        {"a binary value of 4096 bytes", "Strength", TMValueBinary, binary(13, 4096), 8, &TMParameters::strength, 13},
        {"a DWORD of 3 bytes", "BP", TMValueDword, {9, 0, 0}, 7, &TMParameters::blackClip, 0},
        {"a DWORD of 8 bytes", "BP", TMValueDword, {9, 0, 0, 0, 0, 0, 0, 0}, 7, &TMParameters::blackClip, 0},
        {"a DWORD where bytes belong", "Strength", TMValueDword, dword(12), 7, &TMParameters::strength, 70},
        {"text where bytes belong", "Micro-smoothing", TMValueText, {'5', 0}, 7, &TMParameters::microsmoothing, 2},
    };
    TMParameters saved = defaults();
    saved.strength = saved.blackClip = saved.microsmoothing = 5;
    for (const Case& c : cases) {
        MemoryStore store = storeOf(saved);
        store.put(c.name, c.type, c.bytes);
        TMParameters p = defaults();
        EXPECT_EQ(loadLastSettings(&p, store), c.count) << c.what;
        EXPECT_EQ(p.*c.field, c.expected) << c.what;
    }
}

TEST(LastSettings, SavingClampsAndReportsEveryFailure)
{
    TMParameters wild = defaults();
    wild.strength = 300;    // low byte 44
    wild.luminosity = -20;  // low byte of -10: 246
    wild.smoothing = 9;
    MemoryStore store = storeOf(wild);
    EXPECT_EQ(store.values["Strength"].bytes[0], 100);
    EXPECT_EQ(store.values["DR"].bytes[0], 10);
    EXPECT_EQ(store.values["Smoothing"].bytes[0], 4);

    MemoryStore closed;
    closed.failOpen = true;
    EXPECT_NE(saveLastSettings(wild, closed), 0);
    EXPECT_TRUE(closed.values.empty()) << "nothing is written without the key";

    MemoryStore failing;
    failing.failSet = "DR"; // the first write; the seven after it succeed
    EXPECT_EQ(saveLastSettings(wild, failing), 5);
    EXPECT_EQ(failing.values.size(), 7u);

    MemoryStore unflushed;
    unflushed.failClose = true;
    EXPECT_EQ(saveLastSettings(wild, unflushed), 6);
    EXPECT_FALSE(unflushed.isOpen);
}

TEST(LastFolder, KeptOnlyWhenItFitsTheBufferWithItsZero)
{
    char folder[kTMFolderSize];
    MemoryStore store;
    EXPECT_EQ(saveLastFolder("D:\\Sets", store), 0);
    const std::vector<uint8_t> written = store.values["LastUsedDir"].bytes;
    EXPECT_EQ(std::string(written.begin(), written.end()), std::string("D:\\Sets", 8)) << "text and its zero";
    EXPECT_EQ(store.values["LastUsedDir"].type, TMValueText);

    struct Case {
        const char* what;
        uint32_t type;
        std::string bytes;
        std::string expected; // "kept" when the folder must not change
    };
    const std::string fits(259, 'f'), tooLong(260, 'g');
    const Case cases[] = {
        {"259 characters and a zero", TMValueText, fits + '\0', fits},
        {"259 characters without a zero", TMValueText, fits, fits},
        {"a zero early in a long value", TMValueText, "C:\\x" + std::string(1, '\0') + tooLong, "C:\\x"},
        {"260 characters and a zero", TMValueText, tooLong + '\0', "kept"},
        {"260 characters without a zero", TMValueText, tooLong, "kept"},
        {"not text", TMValueBinary, "C:\\y" + std::string(1, '\0'), "kept"},
    };
    for (const Case& c : cases) {
        MemoryStore s;
        s.put("LastUsedDir", c.type, std::vector<uint8_t>(c.bytes.begin(), c.bytes.end()));
        std::strcpy(folder, "kept");
        EXPECT_EQ(loadLastFolder(folder, s), c.expected == "kept" ? 0 : 1) << c.what;
        EXPECT_EQ(std::string(folder), c.expected) << c.what;
    }

    std::memset(folder, 'x', sizeof folder); // no zero within the buffer
    MemoryStore untouched;
    EXPECT_NE(saveLastFolder(folder, untouched), 0);
    EXPECT_TRUE(untouched.values.empty());
    MemoryStore missing;
    std::strcpy(folder, "kept");
    EXPECT_EQ(loadLastFolder(folder, missing), 0);
    EXPECT_STREQ(folder, "kept");
}
