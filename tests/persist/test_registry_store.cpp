// The last-used settings through the real registry calls (run under Wine): what the
// plug-in writes, and values of wrong types, wrong sizes, out-of-range bytes and a
// folder too long for its buffer, set here with the registry's own calls.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "tm_last_settings.h"

namespace {

const char kKey[] = "Software\\Quarrystone\\Kestrimond\\ToneMappingPlugin";

class Registry : public ::testing::Test {
protected:
    void SetUp() override { RegDeleteTreeA(HKEY_CURRENT_USER, kKey); }
    void TearDown() override { RegDeleteTreeA(HKEY_CURRENT_USER, kKey); }

    static void put(const char* name, DWORD type, const std::vector<BYTE>& bytes)
    {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExA(key, name, 0, type, bytes.empty() ? nullptr : bytes.data(),
                                 static_cast<DWORD>(bytes.size())),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }

    static bool query(const char* name, DWORD* type, std::vector<BYTE>* bytes)
    {
        DWORD size = 0;
        if (RegGetValueA(HKEY_CURRENT_USER, kKey, name, RRF_RT_ANY | RRF_NOEXPAND, type, nullptr, &size) !=
            ERROR_SUCCESS)
            return false;
        bytes->resize(size);
        return RegGetValueA(HKEY_CURRENT_USER, kKey, name, RRF_RT_ANY | RRF_NOEXPAND, type, bytes->data(), &size) ==
               ERROR_SUCCESS;
    }

    static std::vector<BYTE> binary(BYTE byte0, size_t size = 80)
    {
        std::vector<BYTE> v(size, 0);
        if (size > 0)
            v[0] = byte0;
        return v;
    }

    static TMParameters defaults()
    {
        TMParameters p{};
        applyDefaults(&p, TMSampleFloat32);
        return p;
    }
};

} // namespace

TEST_F(Registry, SavedValuesHaveTheirTypesAndSizesAndLoadBack)
{
    TMParameters p = defaults();
    EXPECT_EQ(loadLastSettings(&p), 0) << "no key yet";
    p.luminosity = 4;
    p.strength = 100;
    p.whiteClip = 777;
    p.smoothing = -2;
    p.microcontrast = 0;
    ASSERT_EQ(saveLastSettings(p), 0);

    struct Value {
        const char* name;
        DWORD type;
        DWORD size;
        DWORD content; // byte 0, or the DWORD
    };
    const Value values[] = {{"DR", REG_BINARY, 80, 14},         {"Strength", REG_BINARY, 80, 100},
                            {"ColorSaturation", REG_BINARY, 80, 46}, {"WP", REG_DWORD, 4, 777},
                            {"BP", REG_DWORD, 4, 0},            {"Smoothing", REG_BINARY, 80, 0},
                            {"Microcontrast", REG_BINARY, 80, 2},   {"Micro-smoothing", REG_BINARY, 80, 2}};
    for (const Value& v : values) {
        DWORD type = 0;
        std::vector<BYTE> bytes;
        ASSERT_TRUE(query(v.name, &type, &bytes)) << v.name;
        EXPECT_EQ(type, v.type) << v.name;
        ASSERT_EQ(bytes.size(), v.size) << v.name;
        DWORD content = bytes[0];
        if (v.type == REG_DWORD)
            std::memcpy(&content, bytes.data(), 4);
        EXPECT_EQ(content, v.content) << v.name;
    }

    TMParameters loaded = defaults();
    EXPECT_EQ(loadLastSettings(&loaded), 8);
    EXPECT_EQ(std::memcmp(&loaded, &p, sizeof p), 0);
}

TEST_F(Registry, WrongTypesSizesAndRangesAreSkippedOrClamped)
{
    ASSERT_EQ(saveLastSettings(defaults()), 0);
    put("WP", REG_BINARY, binary(5, 4));              // wrong type: skipped
    put("BP", REG_DWORD, {9, 0, 0, 0, 0, 0, 0, 0});   // a DWORD of 8 bytes: skipped
    put("ColorSaturation", REG_BINARY, {});           // empty: skipped
    put("Strength", REG_BINARY, binary(200, 70000));  // long: byte 0 read, clamped to 100
    put("DR", REG_BINARY, binary(255));               // clamped to 20
    put("Smoothing", REG_BINARY, binary(7));          // above 4: +1
    put("Microcontrast", REG_BINARY, binary(9));      // above 4: +2
    put("Micro-smoothing", REG_BINARY, binary(31));   // clamped to 30

    TMParameters p = defaults();
    p.whiteClip = 3;
    p.blackClip = 4;
    p.colorSaturation = 5;
    p.smoothing = p.microcontrast = -1;
    EXPECT_EQ(loadLastSettings(&p), 5);
    EXPECT_EQ(p.whiteClip, 3);
    EXPECT_EQ(p.blackClip, 4);
    EXPECT_EQ(p.colorSaturation, 5);
    EXPECT_EQ(p.strength, 100);
    EXPECT_EQ(p.luminosity, 20);
    EXPECT_EQ(p.smoothing, 1);
    EXPECT_EQ(p.microcontrast, 2);
    EXPECT_EQ(p.microsmoothing, 30);

    put("WP", REG_DWORD, {0xFF, 0xFF, 0xFF, 0xFF}); // negative: clamped to 0
    EXPECT_EQ(loadLastSettings(&p), 6);
    EXPECT_EQ(p.whiteClip, 0);
}

TEST_F(Registry, TheLastUsedFolder)
{
    char folder[kTMFolderSize] = "kept";
    EXPECT_EQ(loadLastFolder(folder), 0);
    ASSERT_EQ(saveLastFolder("D:\\Sets"), 0);
    DWORD type = 0;
    std::vector<BYTE> bytes;
    ASSERT_TRUE(query("LastUsedDir", &type, &bytes));
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), std::string("D:\\Sets", 8));
    EXPECT_EQ(loadLastFolder(folder), 1);
    EXPECT_STREQ(folder, "D:\\Sets");

    const std::string longest(259, 'f'), tooLong(300, 'g');
    put("LastUsedDir", REG_SZ, std::vector<BYTE>(tooLong.c_str(), tooLong.c_str() + tooLong.size() + 1));
    EXPECT_EQ(loadLastFolder(folder), 0);
    EXPECT_STREQ(folder, "D:\\Sets");
    put("LastUsedDir", REG_SZ, std::vector<BYTE>(longest.c_str(), longest.c_str() + longest.size() + 1));
    EXPECT_EQ(loadLastFolder(folder), 1);
    EXPECT_EQ(std::string(folder), longest);
    put("LastUsedDir", REG_BINARY, {'C', ':', 0});
    EXPECT_EQ(loadLastFolder(folder), 0);
}
