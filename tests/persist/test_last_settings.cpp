// The last-used settings on the current user's store (the file under a private
// XDG_CONFIG_HOME natively, the registry under Wine): the values' names, types and
// sizes, the count the dialog's Previous button relies on, and every value a damaged
// or foreign store can hold (wrong types, wrong sizes, out-of-range bytes, a long
// folder), written with the store's own calls.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "persist_test_support.h"
#include "tm_last_settings.h"

namespace {

TMParameters defaults()
{
    TMParameters p{};
    applyDefaults(&p, TMSampleFloat32);
    return p;
}

bool same(const TMParameters& a, const TMParameters& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::vector<uint8_t> binary(uint8_t byte0, size_t size = 80)
{
    std::vector<uint8_t> v(size, 0xEE); // bytes 1.. mean nothing
    if (size > 0)
        v[0] = byte0;
    return v;
}

std::vector<uint8_t> dword(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

class LastSettings : public ::testing::Test {
protected:
    void SetUp() override
    {
#ifdef _WIN32
        RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Quarrystone\\Kestrimond\\ToneMappingPlugin");
#else
        config_.emplace("XDG_CONFIG_HOME", folder_.path().string().c_str());
#endif
        store_ = TMUserSettingsStore();
        ASSERT_TRUE(store_);
    }
    void TearDown() override
    {
#ifdef _WIN32
        RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Quarrystone\\Kestrimond\\ToneMappingPlugin");
#endif
    }

    // One value as a damaged or foreign store may hold it.
    void put(const char* name, uint32_t type, const std::vector<uint8_t>& bytes)
    {
        ASSERT_EQ(store_->open(true), 0);
        EXPECT_EQ(store_->set(name, type, bytes.data(), static_cast<uint32_t>(bytes.size())), 0);
        EXPECT_EQ(store_->close(), 0);
    }
    TMStoredValue stored(const char* name)
    {
        TMStoredValue value;
        EXPECT_EQ(store_->open(false), 0);
        EXPECT_TRUE(store_->get(name, &value)) << name;
        store_->close();
        return value;
    }

    persisttest::TempFolder folder_;
    std::optional<persisttest::Environment> config_;
    std::unique_ptr<TMSettingsStore> store_;
};

// Fails where a registry or a file system can: at the open, one write, or the close.
class FailingStore : public TMSettingsStore {
public:
    int open(bool) override { return failOpen ? 2 : 0; }
    bool get(const char*, TMStoredValue*) override { return false; }
    int set(const char* name, uint32_t, const void* data, uint32_t) override
    {
        written.push_back(std::string(name) + "=" + std::to_string(*static_cast<const uint8_t*>(data)));
        return failSet == name ? 5 : 0;
    }
    int close() override { return failClose ? 6 : 0; }

    bool failOpen = false, failClose = false;
    std::string failSet;
    std::vector<std::string> written;
};

} // namespace

TEST_F(LastSettings, SavedAsNamedTypedValuesAndLoadedBack)
{
    TMParameters p = defaults();
    EXPECT_EQ(loadLastSettings(&p), 0) << "first use: no key";
    EXPECT_TRUE(same(p, defaults()));
    p.settings.luminosity = 0;
    p.settings.strength = 99;
    p.settings.whiteClip = 777;
    p.settings.smoothing = -2;
    p.settings.microsmoothing = 30;
    ASSERT_EQ(saveLastSettings(p), 0);
    const std::pair<const char*, std::vector<uint8_t>> values[] = {
        {"DR", binary(10)}, {"Strength", binary(99)}, {"ColorSaturation", binary(46)}, {"WP", dword(777)},
        {"BP", dword(0)},   {"Smoothing", binary(0)}, {"Microcontrast", binary(4)},    {"Micro-smoothing", binary(30)}};
    for (auto [name, bytes] : values) {
        const TMStoredValue v = stored(name);
        EXPECT_EQ(v.type, bytes.size() == 4 ? TMValueDword : TMValueBinary) << name;
        if (bytes.size() == 80)
            std::fill(bytes.begin() + 1, bytes.end(), 0);
        EXPECT_EQ(v.bytes, bytes) << name;
    }
    TMParameters loaded = defaults();
    loaded.settings.image360 = p.settings.image360 = 1;
    EXPECT_EQ(loadLastSettings(&loaded), 8);
    EXPECT_TRUE(same(loaded, p));
}

TEST_F(LastSettings, EveryStoredValueIsCheckedForTypeSizeAndRange)
{
    struct Case {
        const char* what;
        const char* name;
        uint32_t type;
        std::vector<uint8_t> bytes;
        int count;
        int32_t TMSettings::*field;
        int32_t expected; // the defaults' value when the stored one is skipped
    };
    const Case cases[] = {
        {"Smoothing above 4", "Smoothing", TMValueBinary, binary(7), 8, &TMSettings::smoothing, 1},
        {"Microcontrast above 4", "Microcontrast", TMValueBinary, binary(9), 8, &TMSettings::microcontrast, 2},
        {"DR 10", "DR", TMValueBinary, binary(10), 8, &TMSettings::luminosity, 0},
        {"DR below 10", "DR", TMValueBinary, binary(3), 8, &TMSettings::luminosity, 0},
        {"DR above 30", "DR", TMValueBinary, binary(255), 8, &TMSettings::luminosity, 20},
        {"Strength above 100", "Strength", TMValueBinary, binary(200), 8, &TMSettings::strength, 100},
        {"ColorSaturation above 100", "ColorSaturation", TMValueBinary, binary(101), 8, &TMSettings::colorSaturation,
         100},
        {"a negative WP", "WP", TMValueDword, dword(0xFFFFFFFFu), 8, &TMSettings::whiteClip, 0},
        {"BP above 1000", "BP", TMValueDword, dword(0x7FFFFFFF), 8, &TMSettings::blackClip, 1000},
        {"Micro-smoothing above 30", "Micro-smoothing", TMValueBinary, binary(31), 8, &TMSettings::microsmoothing, 30},
        {"WP as bytes", "WP", TMValueBinary, binary(5, 4), 7, &TMSettings::whiteClip, 50},
        {"bytes as a DWORD", "Strength", TMValueDword, dword(12), 7, &TMSettings::strength, 70},
        {"bytes as text", "Micro-smoothing", TMValueText, {'5', 0}, 7, &TMSettings::microsmoothing, 2},
        {"an empty binary value", "Strength", TMValueBinary, {}, 7, &TMSettings::strength, 70},
        {"a one-byte binary value", "Strength", TMValueBinary, binary(12, 1), 8, &TMSettings::strength, 12},
        {"4096 bytes", "Strength", TMValueBinary, binary(13, 4096), 8, &TMSettings::strength, 13},
        {"a DWORD of 3 bytes", "BP", TMValueDword, {9, 0, 0}, 7, &TMSettings::blackClip, 0},
        {"a DWORD of 8 bytes", "BP", TMValueDword, {9, 0, 0, 0, 0, 0, 0, 0}, 7, &TMSettings::blackClip, 0},
    };
    TMParameters saved = defaults();
    TMSettings& s = saved.settings;
    s.luminosity = s.strength = s.whiteClip = s.blackClip = s.microsmoothing = 5;
    saved.settings.smoothing = saved.settings.microcontrast = -1;
    for (const Case& c : cases) {
        ASSERT_EQ(saveLastSettings(saved), 0);
        put(c.name, c.type, c.bytes);
        TMParameters p = defaults();
        EXPECT_EQ(loadLastSettings(&p), c.count) << c.what;
        EXPECT_EQ(p.settings.*c.field, c.expected) << c.what;
    }
}

TEST_F(LastSettings, TheLastUsedFolderIsKeptOnlyWhenItFitsWithItsZero)
{
    ASSERT_EQ(saveLastFolder("D:\\Sets"), 0);
    const TMStoredValue written = stored("LastUsedDir");
    EXPECT_EQ(written.type, TMValueText);
    EXPECT_EQ(std::string(written.bytes.begin(), written.bytes.end()), std::string("D:\\Sets", 8));

    const std::string fits(259, 'f'), tooLong(260, 'g'), zero(1, '\0');
    const std::tuple<const char*, uint32_t, std::string, std::string> cases[] = {
        {"259 characters and a zero", TMValueText, fits + zero, fits},
        {"259 characters without a zero", TMValueText, fits, fits},
        {"a zero early in a long value", TMValueText, "C:\\x" + zero + tooLong, "C:\\x"},
        {"260 characters and a zero", TMValueText, tooLong + zero, "kept"},
        {"260 characters without a zero", TMValueText, tooLong, "kept"},
        {"not text", TMValueBinary, "C:\\y" + zero, "kept"},
    };
    char folder[kTMFolderSize];
    for (const auto& [what, type, bytes, expected] : cases) {
        put("LastUsedDir", type, std::vector<uint8_t>(bytes.begin(), bytes.end()));
        std::strcpy(folder, "kept");
        EXPECT_EQ(loadLastFolder(folder), expected == "kept" ? 0 : 1) << what;
        EXPECT_EQ(std::string(folder), expected) << what;
    }
    std::memset(folder, 'x', sizeof folder); // no zero within the buffer
    EXPECT_NE(saveLastFolder(folder), 0);
}

TEST(LastSettingsSave, ClampsAndReportsEveryFailure)
{
    TMParameters wild = defaults();
    wild.settings.strength = 300;   // low byte 44
    wild.settings.luminosity = -20; // low byte of -10: 246
    wild.settings.smoothing = 9;
    FailingStore store, closed, failing, unflushed;
    ASSERT_EQ(saveLastSettings(wild, store), 0);
    EXPECT_EQ(store.written, (std::vector<std::string>{"DR=10", "Strength=100", "ColorSaturation=46", "WP=50", "BP=0",
                                                       "Smoothing=4", "Microcontrast=4", "Micro-smoothing=2"}));
    closed.failOpen = true;
    failing.failSet = "DR"; // the first write; the seven after it succeed
    unflushed.failClose = true;
    EXPECT_NE(saveLastSettings(wild, closed), 0);
    EXPECT_TRUE(closed.written.empty()) << "nothing is written without the key";
    EXPECT_EQ(saveLastSettings(wild, failing), 5);
    EXPECT_EQ(failing.written.size(), 8u);
    EXPECT_EQ(saveLastSettings(wild, unflushed), 6);
}
