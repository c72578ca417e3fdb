// Settings files: the writer's exact bytes, the reader's scan with its codes and
// limits, values that must never come from elsewhere or overflow, the save that
// must not destroy the file it replaces, and the conversions to TMParameters.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <csignal>
#include <sys/resource.h>
#endif

#include "persist_test_support.h"
#include "tm_settings_exchange.h"
#include "tm_xmp_settings.h"

using persisttest::readBytes;
using persisttest::TempFolder;
using persisttest::writeBytes;

namespace {

using Record = std::array<int32_t, TMXmpRecordSize>;

// Initial values that no file below sets by accident.
const Record kMarked = {11, 22, 33, 44, 55, 3, 3, 66};

std::pair<int, Record> readText(const std::string& text, Record record = kMarked)
{
    const int code = TMReadSettingsXmpBytes(text.data(), text.size(), record.data());
    return {code, record};
}

// A file that declares the settings namespace (115 bytes), then `body`.
std::string ns(const std::string& body)
{
    return "<x:xmpmeta xmlns:x='adobe:ns:meta/'>\n <rdf:Description\n  xmlns:kvrz='http://example.com/x'>\n" + body;
}

std::string formatted(const Record& record)
{
    std::string text;
    EXPECT_TRUE(TMFormatSettingsXmp(record.data(), &text));
    return text;
}

TMParameters defaults()
{
    TMParameters p{};
    applyDefaults(&p, TMSampleFloat32);
    return p;
}

} // namespace

TEST(XmpWriter, DefaultSettingsGiveTheFormatsBytesAndLoadBackExactly)
{
    const TempFolder dir;
    const std::string path = dir / "ToneMappingSettings.xmp";
    Record record{};
    TMRecordFromSettings(defaults(), record.data());
    ASSERT_EQ(writeSettingsXmp(path.c_str(), record.data()), 1);
    const std::string bytes = readBytes(path);
    EXPECT_EQ(bytes, "<x:xmpmeta xmlns:x='adobe:ns:meta/'>\n"
                     "<rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>\n"
                     "\n"
                     " <rdf:Description rdf:about=''\n"
                     "  xmlns:kvrz='http://www.quarrystone.com/Kestrimond/tone_mapping_settings'>\n"
                     "  <kvrz:Version>2.3</kvrz:Version>\n"
                     "  <kvrz:Method>Zirudaz Iraverir</kvrz:Method>\n"
                     "  <kvrz:Luminosity>0</kvrz:Luminosity>\n"
                     "  <kvrz:Strength>70</kvrz:Strength>\n"
                     "  <kvrz:ColorSaturation>46</kvrz:ColorSaturation>\n"
                     "  <kvrz:WhiteClip>0.250000</kvrz:WhiteClip>\n"
                     "  <kvrz:BlackClip>0.000000</kvrz:BlackClip>\n"
                     "  <kvrz:Smoothing>High    </kvrz:Smoothing>\n"
                     "  <kvrz:Microcontrast>High</kvrz:Microcontrast>\n"
                     "  <kvrz:Microsmoothing>2</kvrz:Microsmoothing>\n"
                     " </rdf:Description>\n"
                     "\n"
                     "</rdf:RDF>\n"
                     "</x:xmpmeta>\n");

    Record loaded{};
    // Scanned up to the first line that closes an RDF element, its LF included.
    const std::string closing = " </rdf:Description>\n";
    EXPECT_EQ(readSettingsXmp(path.c_str(), loaded.data()), int(bytes.find(closing) + closing.size()));
    TMParameters p{};
    applyDefaults(&p, TMSample16);
    TMSettingsFromRecord(loaded.data(), &p);
    const TMParameters d = defaults();
    EXPECT_EQ(std::memcmp(&p, &d, sizeof p), 0);
}

TEST(XmpWriter, EveryWordAndEveryClipValueSurviveSaveAndLoad)
{
    const char* const smoothing[] = {"Very High", "High    ", "Medium  ", "Low     ", "Very Low"};
    const char* const microcontrast[] = {"High", "Medium High", "Medium Low", "Low     ", "Very Low"};
    for (int32_t k = 0; k <= 1000; ++k) {
        const Record record = {k % 21 - 10, 70, 46, k, 1000 - k, k % 5, 4 - k % 5, 2};
        const std::string text = formatted(record);
        if (k < 5) {
            EXPECT_NE(text.find(std::string("<kvrz:Smoothing>") + smoothing[k] + "</"), std::string::npos);
            EXPECT_NE(text.find(std::string("<kvrz:Microcontrast>") + microcontrast[4 - k] + "</"), std::string::npos);
        }
        const auto [code, loaded] = readText(text, Record{});
        ASSERT_GT(code, 0);
        ASSERT_EQ(loaded, record) << k;
    }
}

TEST(XmpWriter, NothingIsWrittenForABadIndexAndAFailedSaveKeepsTheFile)
{
    const TempFolder dir;
    const std::string path = dir / "look.xmp";
    writeBytes(path, "previous look");
    for (int field : {TMXmpSmoothing, TMXmpMicrocontrast})
        for (int32_t bad : {-1, 5, INT_MIN, INT_MAX}) {
            Record record{};
            record[field] = bad;
            std::string text = "untouched";
            EXPECT_FALSE(TMFormatSettingsXmp(record.data(), &text));
            EXPECT_EQ(text, "untouched");
            EXPECT_EQ(writeSettingsXmp(path.c_str(), record.data()), -1) << field << " " << bad;
            EXPECT_EQ(writeSettingsXmp((dir / "new.xmp").c_str(), record.data()), -1);
        }

    // A read-only file, a folder and a missing folder are not written to.
    const Record record{1, 2, 3, 4, 5, 1, 1, 6};
    namespace fs = std::filesystem;
    fs::permissions(path, fs::perms::owner_read | fs::perms::group_read);
    EXPECT_EQ(writeSettingsXmp(path.c_str(), record.data()), -1);
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
    fs::create_directory(dir / "folder.xmp");
    EXPECT_EQ(writeSettingsXmp((dir / "folder.xmp").c_str(), record.data()), -1);
    EXPECT_EQ(writeSettingsXmp((dir / "missing/look.xmp").c_str(), record.data()), -1);
#ifndef _WIN32
    // A write that fails part way, as on a full disk: files may not grow beyond 64 bytes.
    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = 64;
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const int code = writeSettingsXmp(path.c_str(), record.data());
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(code, -1);
#endif
    EXPECT_EQ(readBytes(path), "previous look");
    EXPECT_EQ(dir.entries(), 2u) << "the file and the folder; no new or temporary file";
    ASSERT_EQ(writeSettingsXmp(path.c_str(), record.data()), 1);
    EXPECT_EQ(readBytes(path), formatted(record));
}

TEST(XmpReader, CodesAndValues)
{
    const std::string pad(239, ' '), strength = "<kvrz:Strength>55</kvrz:Strength>";
    struct Case {
        const char* what;
        std::string text;
        int code;                                 // 1: any positive count
        std::vector<std::pair<int, int32_t>> set; // the record's changes from kMarked
    };
    const Case cases[] = {
        {"no namespace", "<x:xmpmeta>\n<kvrz:Strength>5\n", TMXmpNoSettings, {}},
        {"a refused method", ns("<kvrz:Method>Dore Diredozuze</kvrz:Method>\n"), TMXmpOtherMethod, {}},
        {"the other refused one", ns("<kvrz:Method>Vozozo Rideduzede\n"), TMXmpOtherMethod, {}},
        {"an unknown method first", ns("<kvrz:Method>Other\n"), TMXmpOtherMethod, {}},
        {"an unknown one after the family's", ns("<kvrz:Method>Zezazave Zorodedo\n<kvrz:Method>Other\n"), 1, {}},
        {"values before a refused method",
         ns("<kvrz:Strength>9\n<kvrz:Method>Dore Diredozuze\n"),
         TMXmpOtherMethod,
         {{1, 9}}},
        {"only Strength", ns(strength + "\n"), 1, {{1, 55}}},
        {"a 255-byte namespace line", pad + "xmlns:kvrz='u'>\n<kvrz:Strength>1\n", 1, {{1, 1}}},
        {"a 256-byte namespace line", " " + pad + "xmlns:kvrz='u'>\n<kvrz:Strength>1\n", TMXmpNoSettings, {}},
        {"a 256-byte line ends the settings", ns(std::string(255, '#') + "\n<kvrz:Strength>1\n"), 1, {}},
        {"the namespace line's own elements", "xmlns:kvrz='u'><kvrz:Strength>1\n", 1, {}},
        {"Very High is no Micro-contrast word", ns("<kvrz:Microcontrast>Very High<\n"), 1, {}},
        {"words by prefix", ns("<kvrz:Smoothing>Medium<\n<kvrz:Microcontrast>Medium<\n"), 1, {{5, 2}, {6, 1}}},
        {"Medium Low, Very Low", ns("<kvrz:Microcontrast>Medium Low\n<kvrz:Smoothing>Very Low\n"), 1, {{5, 4}, {6, 2}}},
        {"an unknown word ends the search", ns("<kvrz:Smoothing>Huge\n<kvrz:Smoothing>Low\n"), 1, {}},
        {"</rdf: ends the scan after its line", ns("<kvrz:Luminosity>-4</rdf:x>\n<kvrz:Strength>1\n"), 1, {{0, -4}}},
        {"the first integer, the last clip",
         ns("<kvrz:Strength>1\n<kvrz:Strength>2\n<kvrz:WhiteClip>0.1\n"
            "<kvrz:WhiteClip>0.2\n"),
         1,
         {{1, 1}, {3, 40}}},
        {"an unreadable clip ends its search", ns("<kvrz:BlackClip>none\n<kvrz:BlackClip>0.2\n"), 1, {}},
        {"NoiseSmoothing", ns("<kvrz:NoiseSmoothing>9</kvrz:NoiseSmoothing>\n"), 1, {{7, 9}}},
        {"one byte further",
         ns("<kvrz:Strength>x75\n<kvrz:WhiteClip>=1.5\n<kvrz:Luminosity>xx5\n"),
         1,
         {{1, 75}, {3, 300}}},
        {"blanks and signs",
         ns("<kvrz:Luminosity> \t-7<\n<kvrz:Strength>+8\n<kvrz:BlackClip> -0.5\n"),
         1,
         {{0, -7}, {1, 8}, {4, -100}}},
        {"halves of a step away from zero",
         ns("<kvrz:WhiteClip>0.0625\n<kvrz:BlackClip>-0.0625\n"),
         1,
         {{3, 13}, {4, -13}}},
        // Never from the next line: not its LF, not its first byte.
        {"a number on the next line", ns("<kvrz:Strength>\n75\n<kvrz:WhiteClip>\n0.5\n"), 1, {}},
        {"a sign, its digits on the next line", ns("<kvrz:Luminosity>-\n3\n"), 1, {}},
        {"a word on the next line", ns("<kvrz:Smoothing>\nLow\n"), 1, {}},
        // The last line counts, with or without its LF.
        {"the last line without LF", ns(strength), int(ns(strength).size()), {{1, 55}}},
        {"the last line with LF", ns(strength + "\n"), int(ns(strength).size() + 1), {{1, 55}}},
        {"the namespace line last", "xmlns:kvrz='u'>", 15, {}},
        {"a long last line", std::string(300, 'x') + "xmlns:kvrz=", TMXmpNoSettings, {}},
        {"nothing", "", TMXmpNoSettings, {}},
        // Numbers beyond their type leave the value; so does the tail of one.
        {"32-bit ends",
         ns("<kvrz:Strength>2147483647\n<kvrz:Luminosity>-2147483648\n<kvrz:Microsmoothing>000042\n"),
         1,
         {{0, INT32_MIN}, {1, INT32_MAX}, {7, 42}}},
        {"integers beyond 32 bits",
         ns("<kvrz:Strength>2147483648\n<kvrz:Luminosity>-2147483649\n"
            "<kvrz:ColorSaturation>21474836470\n<kvrz:Microsmoothing>99999999999999999999\n"),
         1,
         {}},
        {"NaN and infinities", ns("<kvrz:WhiteClip>nan\n<kvrz:BlackClip>-inf\n"), 1, {}},
        {"beyond a float", ns("<kvrz:WhiteClip>1e39\n<kvrz:BlackClip>1e300\n"), 1, {}},
        {"beyond 32 bits x 200", ns("<kvrz:WhiteClip>3e38\n<kvrz:BlackClip>91000000\n"), 1, {}},
        {"just within",
         ns("<kvrz:WhiteClip>10737418\n<kvrz:BlackClip>-10737418\n"),
         1,
         {{3, 2147483600}, {4, -2147483600}}},
        {"tiny and hexadecimal", ns("<kvrz:WhiteClip>1e-50\n<kvrz:BlackClip>0x1p-2\n"), 1, {{3, 0}, {4, 50}}},
    };
    for (const Case& c : cases) {
        const auto [code, record] = readText(c.text);
        if (c.code == 1)
            EXPECT_GT(code, 0) << c.what;
        else
            EXPECT_EQ(code, c.code) << c.what;
        Record expected = kMarked;
        for (const auto& [index, value] : c.set)
            expected[index] = value;
        EXPECT_EQ(record, expected) << c.what;
    }
}

TEST(XmpReader, HowTheInputIsSplitChangesNothing)
{
    std::string text = formatted({-3, 81, 12, 777, 5, 4, 2, 17});
    text.insert(text.find("  <kvrz:Strength>"), "<!-- " + std::string(200, '-') + " -->\n");
    const auto [code, record] = readText(text);
    for (size_t piece = 1; piece <= text.size(); ++piece) {
        TMXmpScanner scan(kMarked.data());
        for (size_t at = 0; at < text.size(); at += piece)
            scan.feed(reinterpret_cast<const unsigned char*>(text.data()) + at, std::min(piece, text.size() - at));
        ASSERT_EQ(scan.finish(), code) << "pieces of " << piece;
        ASSERT_EQ(std::memcmp(scan.record(), record.data(), sizeof record), 0) << "pieces of " << piece;
    }

    // The file reader's chunks: settings behind 10,000 lines of comments.
    const TempFolder dir;
    std::string big;
    for (int i = 0; i < 10000; ++i)
        big += "<!-- line " + std::to_string(i) + " -->\n";
    big = ns(big + "<kvrz:Strength>\t12\n<kvrz:BlackClip>0.125</kvrz:BlackClip>");
    writeBytes(dir / "big.xmp", big);
    Record fromFile = kMarked;
    EXPECT_EQ(readSettingsXmp((dir / "big.xmp").c_str(), fromFile.data()), int(big.size()));
    EXPECT_EQ(fromFile, (Record{11, 12, 33, 44, 25, 3, 3, 66}));

    // Files that cannot be read leave the record.
    EXPECT_EQ(readSettingsXmp((dir / "missing.xmp").c_str(), fromFile.data()), TMXmpNotReadable);
    const int folder = readSettingsXmp(dir.path().string().c_str(), fromFile.data());
    EXPECT_TRUE(folder == TMXmpNotReadable || folder == TMXmpShortRead) << folder;
    EXPECT_EQ(fromFile, (Record{11, 12, 33, 44, 25, 3, 3, 66}));
    EXPECT_STREQ(TMXmpLoadMessage(TMXmpNoSettings), "XMP file does not contain Tone Mapping settings.");
    for (int other : {TMXmpNotReadable, TMXmpShortRead, TMXmpOtherMethod})
        EXPECT_STREQ(TMXmpLoadMessage(other), "Error found when loading XMP file.");
}

TEST(SettingsExchange, ConvertsAsTheDialogShowsAndClampsBothWays)
{
    TMParameters p = defaults();
    p.settings.luminosity = 3;
    Record record{};
    TMRecordFromSettings(p, record.data());
    EXPECT_EQ(record, (Record{-7, 70, 46, 50, 0, 1, 0, 2}));

    // Any int reaches TMParameters inside the settings' ranges (image360 and the
    // preview bookkeeping are not the file's); settings outside their ranges, which
    // scripting stores unchecked, are saved clamped, so the save succeeds.
    const auto clamp = [](int32_t v, int32_t lo, int32_t hi) { return std::min(std::max(v, lo), hi); };
    for (int32_t v : {INT_MIN, -11, 1, 4, 31, 101, 1001, INT_MAX}) {
        TMParameters q = defaults();
        q.settings.image360 = 1;
        const Record any = {v, v, v, v, v, v, v, v};
        TMSettingsFromRecord(any.data(), &q);
        TMParameters want = defaults();
        want.settings.image360 = 1;
        want.settings.luminosity = clamp(v, -10, 10) + 10;
        want.settings.strength = want.settings.colorSaturation = clamp(v, 0, 100);
        want.settings.whiteClip = want.settings.blackClip = clamp(v, 0, 1000);
        want.settings.smoothing = want.settings.microcontrast = 2 - clamp(v, 0, 4);
        want.settings.microsmoothing = clamp(v, 0, 30);
        EXPECT_EQ(std::memcmp(&q, &want, sizeof q), 0) << v;

        q.settings.luminosity = q.settings.smoothing = q.settings.microcontrast = v;
        TMRecordFromSettings(q, record.data());
        EXPECT_EQ(record[TMXmpLuminosity], clamp(v, 0, 20) - 10);
        EXPECT_EQ(record[TMXmpSmoothing], 2 - clamp(v, -2, 2));
        EXPECT_FALSE(formatted(record).empty()) << v;
    }
}
