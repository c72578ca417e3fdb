// Settings files: the writer's exact bytes, the reader's scan with its codes and
// limits, values that must never come from elsewhere or overflow, the save that
// must not destroy the file it replaces, and the conversions to TMParameters.
#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstring>
#include <string>
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

struct Read {
    int code;
    Record record;
};

Read readText(const std::string& text, Record record = kMarked)
{
    const int code = TMReadSettingsXmpBytes(text.data(), text.size(), record.data());
    return {code, record};
}

// A file that declares the settings namespace, then `body`.
std::string withNamespace(const std::string& body)
{
    return "<x:xmpmeta xmlns:x='adobe:ns:meta/'>\n <rdf:Description\n  xmlns:kvrz='http://example.com/x'>\n" + body;
}

std::string formatted(const Record& record)
{
    std::string text;
    EXPECT_TRUE(TMFormatSettingsXmp(record.data(), &text));
    return text;
}

const char* const kDefaultFile =
    "<x:xmpmeta xmlns:x='adobe:ns:meta/'>\n"
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
    "</x:xmpmeta>\n";

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
    Record record{};
    TMRecordFromSettings(defaults(), record.data());
    ASSERT_EQ(writeSettingsXmp((dir / "ToneMappingSettings.xmp").c_str(), record.data()), 1);
    const std::string bytes = readBytes(dir / "ToneMappingSettings.xmp");
    EXPECT_EQ(bytes, kDefaultFile);

    Record loaded{};
    // Scanned up to the first line that closes an RDF element, its LF included.
    const std::string closing = " </rdf:Description>\n";
    EXPECT_EQ(readSettingsXmp((dir / "ToneMappingSettings.xmp").c_str(), loaded.data()),
              int(bytes.find(closing) + closing.size()));
    TMParameters p{};
    applyDefaults(&p, TMSample16);
    TMSettingsFromRecord(loaded.data(), &p);
    const TMParameters d = defaults();
    EXPECT_EQ(std::memcmp(&p, &d, sizeof p), 0);
}

TEST(XmpWriter, EveryIndexWritesItsWordAndReadsBack)
{
    const char* const smoothing[] = {"Very High", "High    ", "Medium  ", "Low     ", "Very Low"};
    const char* const microcontrast[] = {"High", "Medium High", "Medium Low", "Low     ", "Very Low"};
    for (int32_t i = 0; i < 5; ++i) {
        Record record{};
        record[TMXmpSmoothing] = i;
        record[TMXmpMicrocontrast] = 4 - i;
        const std::string text = formatted(record);
        EXPECT_NE(text.find(std::string("<kvrz:Smoothing>") + smoothing[i] + "</kvrz:Smoothing>\n"), std::string::npos);
        EXPECT_NE(text.find(std::string("<kvrz:Microcontrast>") + microcontrast[4 - i] + "</kvrz:Microcontrast>\n"),
                  std::string::npos);
        const Read r = readText(text);
        EXPECT_GT(r.code, 0);
        EXPECT_EQ(r.record, record) << "index " << i;
    }
}

TEST(XmpWriter, AnIndexOutsideTheWordTablesIsRefusedAndNothingWritten)
{
    const TempFolder dir;
    const std::string existing = dir / "existing.xmp", fresh = dir / "fresh.xmp";
    writeBytes(existing, "what the user had");
    for (int field : {TMXmpSmoothing, TMXmpMicrocontrast})
        for (int32_t bad : {-1, 5, INT_MIN, INT_MAX}) {
            Record record{};
            record[field] = bad;
            std::string text = "untouched";
            EXPECT_FALSE(TMFormatSettingsXmp(record.data(), &text));
            EXPECT_EQ(text, "untouched");
            EXPECT_EQ(writeSettingsXmp(existing.c_str(), record.data()), -1) << field << " " << bad;
            EXPECT_EQ(writeSettingsXmp(fresh.c_str(), record.data()), -1);
        }
    EXPECT_EQ(readBytes(existing), "what the user had");
    EXPECT_EQ(dir.entries(), 1u) << "no new or temporary file";
}

TEST(XmpWriter, AFailedSaveKeepsTheFileThatWasThere)
{
    const TempFolder dir;
    const std::string path = dir / "look.xmp";
    const Record record{1, 2, 3, 4, 5, 1, 1, 6};

    // A read-only file and a folder are not replaced.
    writeBytes(path, "previous look");
    std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::group_read);
    EXPECT_EQ(writeSettingsXmp(path.c_str(), record.data()), -1);
    std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_EQ(readBytes(path), "previous look");
    std::filesystem::create_directory(dir / "folder.xmp");
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
    EXPECT_EQ(readBytes(path), "previous look");
#endif
    EXPECT_EQ(dir.entries(), 2u) << "the file and the folder; no temporary file left";

    ASSERT_EQ(writeSettingsXmp(path.c_str(), record.data()), 1);
    EXPECT_EQ(readBytes(path), formatted(record));
}

TEST(XmpRoundTrip, EveryClipValueSurvivesSaveAndLoad)
{
    for (int32_t k = 0; k <= 1000; ++k) {
        const Record record = {0, 70, 46, k, 1000 - k, 1, 0, 2};
        const Read r = readText(formatted(record), Record{});
        ASSERT_GT(r.code, 0);
        ASSERT_EQ(r.record[TMXmpWhiteClip], k);
        ASSERT_EQ(r.record[TMXmpBlackClip], 1000 - k);
    }
}

TEST(XmpRoundTrip, TheEndsOfEveryRangeSurviveAFile)
{
    const TempFolder dir;
    const std::string path = dir / "ends.xmp";
    for (const Record& record : {Record{-10, 0, 0, 0, 0, 0, 0, 0}, Record{10, 100, 100, 1000, 1000, 4, 4, 30},
                                 Record{INT_MIN, INT_MAX, -1, -1000, 7, 2, 3, INT_MAX}}) {
        ASSERT_EQ(writeSettingsXmp(path.c_str(), record.data()), 1);
        Record loaded = kMarked;
        EXPECT_GT(readSettingsXmp(path.c_str(), loaded.data()), 0);
        EXPECT_EQ(loaded, record);
    }
}

TEST(XmpReader, TheFormatsCases)
{
    const std::string pad255(255 - std::strlen("xmlns:kvrz='u'>\n"), ' ');
    struct Case {
        const char* what;
        std::string text;
        int code; // 1: any positive count
        Record expected;
    };
    const Record m = kMarked;
    const Case cases[] = {
        {"no namespace", "<x:xmpmeta>\n<kvrz:Strength>5</kvrz:Strength>\n</x:xmpmeta>\n", TMXmpNoSettings, m},
        {"a refused method", withNamespace("<kvrz:Method>Dore Diredozuze</kvrz:Method>\n"), TMXmpOtherMethod, m},
        {"the other refused method", withNamespace("<kvrz:Method>Vozozo Rideduzede</kvrz:Method>\n"),
         TMXmpOtherMethod, m},
        {"an unknown method first", withNamespace("<kvrz:Method>Other</kvrz:Method>\n"), TMXmpOtherMethod, m},
        {"an unknown method after this family's",
         withNamespace("<kvrz:Method>Zezazave Zorodedo</kvrz:Method>\n<kvrz:Method>Other</kvrz:Method>\n"), 1, m},
        {"values before a refused method are set",
         withNamespace("<kvrz:Strength>9</kvrz:Strength>\n<kvrz:Method>Dore Diredozuze</kvrz:Method>\n"),
         TMXmpOtherMethod, {11, 9, 33, 44, 55, 3, 3, 66}},
        {"only Strength", withNamespace("<kvrz:Strength>55</kvrz:Strength>\n"), 1, {11, 55, 33, 44, 55, 3, 3, 66}},
        {"a 255-byte namespace line", pad255 + "xmlns:kvrz='u'>\n<kvrz:Strength>1\n", 1, {11, 1, 33, 44, 55, 3, 3, 66}},
        {"a 256-byte namespace line", " " + pad255 + "xmlns:kvrz='u'>\n<kvrz:Strength>1\n", TMXmpNoSettings, m},
        {"a 256-byte line before the namespace", std::string(255, '#') + "\nxmlns:kvrz='u'>\n", TMXmpNoSettings, m},
        {"a 256-byte line ends the settings", withNamespace(std::string(255, '#') + "\n<kvrz:Strength>1\n"), 1, m},
        {"elements on the namespace line are not read", "xmlns:kvrz='u'><kvrz:Strength>1\n", 1, m},
        {"Very High is no Micro-contrast word", withNamespace("<kvrz:Microcontrast>Very High<\n"), 1, m},
        {"words by prefix",
         withNamespace("<kvrz:Smoothing>Medium</kvrz:Smoothing>\n<kvrz:Microcontrast>Medium</kvrz:Microcontrast>\n"), 1,
         {11, 22, 33, 44, 55, 2, 1, 66}},
        {"Medium Low and Very Low", withNamespace("<kvrz:Microcontrast>Medium Low\n<kvrz:Smoothing>Very Low\n"), 1,
         {11, 22, 33, 44, 55, 4, 2, 66}},
        {"an unknown word sets the found flag",
         withNamespace("<kvrz:Smoothing>Huge\n<kvrz:Smoothing>Low\n<kvrz:Microcontrast>Very Low\n"), 1,
         {11, 22, 33, 44, 55, 3, 4, 66}},
        {"</rdf: ends the scan after its line",
         withNamespace("<kvrz:Luminosity>-4</kvrz:Luminosity></rdf:Description>\n<kvrz:Strength>1\n"), 1,
         {-4, 22, 33, 44, 55, 3, 3, 66}},
        {"the first integer wins, the last clip",
         withNamespace("<kvrz:Strength>1\n<kvrz:Strength>2\n<kvrz:WhiteClip>0.1\n<kvrz:WhiteClip>0.2\n"), 1,
         {11, 1, 33, 40, 55, 3, 3, 66}},
        {"an unreadable clip ends its search",
         withNamespace("<kvrz:BlackClip>none\n<kvrz:BlackClip>0.2\n"), 1, m},
        {"NoiseSmoothing is Microsmoothing", withNamespace("<kvrz:NoiseSmoothing>9</kvrz:NoiseSmoothing>\n"), 1,
         {11, 22, 33, 44, 55, 3, 3, 9}},
        {"one byte further", withNamespace("<kvrz:Strength>x75\n<kvrz:WhiteClip>=1.5\n<kvrz:Luminosity>xx5\n"), 1,
         {11, 75, 33, 300, 55, 3, 3, 66}},
        {"blanks and signs", withNamespace("<kvrz:Luminosity> \t-7<\n<kvrz:Strength>+8\n<kvrz:BlackClip> -0.5\n"), 1,
         {-7, 8, 33, 44, -100, 3, 3, 66}},
        {"halves of a step round away from zero", withNamespace("<kvrz:WhiteClip>0.0625\n<kvrz:BlackClip>-0.0625\n"),
         1, {11, 22, 33, 13, -13, 3, 3, 66}},
    };
    for (const Case& c : cases) {
        const Read r = readText(c.text);
        if (c.code == 1)
            EXPECT_GT(r.code, 0) << c.what;
        else
            EXPECT_EQ(r.code, c.code) << c.what;
        EXPECT_EQ(r.record, c.expected) << c.what;
    }
}

TEST(XmpReader, AValueNeverComesFromTheNextLine)
{
    // The line's LF and the next line's first byte are no part of the value.
    for (const char* body : {"<kvrz:Strength>\n75\n", "<kvrz:Strength>\n\n", "<kvrz:WhiteClip>\n0.5\n",
                             "<kvrz:Luminosity>-\n3\n", "<kvrz:Smoothing>\nLow\n"}) {
        const Read r = readText(withNamespace(body));
        EXPECT_GT(r.code, 0) << body;
        EXPECT_EQ(r.record, kMarked) << body;
    }
}

TEST(XmpReader, TheLastLineIsReadWithOrWithoutItsLF)
{
    const std::string strength = "<kvrz:Strength>55</kvrz:Strength>";
    for (const std::string& text : {withNamespace(strength), withNamespace(strength + "\n")}) {
        const Read r = readText(text);
        EXPECT_EQ(r.code, int(text.size()));
        EXPECT_EQ(r.record[TMXmpStrength], 55);
    }
    for (const std::string& text : {std::string("xmlns:kvrz='u'>"), std::string("xmlns:kvrz='u'>\n")}) {
        const Read r = readText(text);
        EXPECT_EQ(r.code, int(text.size())) << "the namespace line, last";
        EXPECT_EQ(r.record, kMarked);
    }
    EXPECT_EQ(readText("").code, TMXmpNoSettings);
    EXPECT_EQ(readText(std::string(300, 'x') + "xmlns:kvrz=").code, TMXmpNoSettings) << "a long last line";
}

TEST(XmpReader, NumbersBeyondTheirTypeLeaveTheValue)
{
    struct Case {
        const char* tag;
        const char* text;
        int index;
        int32_t expected;
    };
    const Case cases[] = {
        {"<kvrz:Strength>", "2147483647", TMXmpStrength, INT32_MAX},
        {"<kvrz:Strength>", "-2147483648", TMXmpStrength, INT32_MIN},
        {"<kvrz:Strength>", "000000000000000000042", TMXmpStrength, 42},
        {"<kvrz:Strength>", "2147483648", TMXmpStrength, 22},
        {"<kvrz:Strength>", "-2147483649", TMXmpStrength, 22},
        {"<kvrz:Strength>", "21474836470", TMXmpStrength, 22}, // its tail would fit
        {"<kvrz:Microsmoothing>", "99999999999999999999999999", TMXmpMicrosmoothing, 66},
        {"<kvrz:WhiteClip>", "nan", TMXmpWhiteClip, 44},
        {"<kvrz:WhiteClip>", "-inf", TMXmpWhiteClip, 44},
        {"<kvrz:WhiteClip>", "Infinity", TMXmpWhiteClip, 44},
        {"<kvrz:WhiteClip>", "1e39", TMXmpWhiteClip, 44},   // beyond a float
        {"<kvrz:WhiteClip>", "1e300", TMXmpWhiteClip, 44},
        {"<kvrz:WhiteClip>", "3e38", TMXmpWhiteClip, 44},   // a float, but not x 200 in an int
        {"<kvrz:WhiteClip>", "91000000", TMXmpWhiteClip, 44}, // its tail would fit
        {"<kvrz:WhiteClip>", "10737418", TMXmpWhiteClip, 2147483600},
        {"<kvrz:WhiteClip>", "-10737418", TMXmpWhiteClip, -2147483600},
        {"<kvrz:WhiteClip>", "1e-50", TMXmpWhiteClip, 0},
        {"<kvrz:WhiteClip>", "0x1p-2", TMXmpWhiteClip, 50},
        {"<kvrz:WhiteClip>", "0x", TMXmpWhiteClip, 0},
    };
    for (const Case& c : cases) {
        const Read r = readText(withNamespace(std::string(c.tag) + c.text + "\n"));
        EXPECT_GT(r.code, 0);
        Record expected = kMarked;
        expected[c.index] = c.expected;
        EXPECT_EQ(r.record, expected) << c.tag << c.text;
    }
}

TEST(XmpReader, HowTheInputIsSplitChangesNothing)
{
    std::string text = formatted({-3, 81, 12, 777, 5, 4, 2, 17});
    text.insert(text.find("  <kvrz:Strength>"), "<!-- " + std::string(200, '-') + " -->\n");
    const Read whole = readText(text);
    ASSERT_GT(whole.code, 0);
    for (size_t piece = 1; piece <= text.size(); ++piece) {
        TMXmpScanner scan(kMarked.data());
        for (size_t at = 0; at < text.size(); at += piece)
            scan.feed(reinterpret_cast<const unsigned char*>(text.data()) + at, std::min(piece, text.size() - at));
        ASSERT_EQ(scan.finish(), whole.code) << "pieces of " << piece;
        ASSERT_EQ(std::memcmp(scan.record(), whole.record.data(), sizeof whole.record), 0) << "pieces of " << piece;
    }

    // The file reader's chunks: settings behind 10,000 lines of comments.
    const TempFolder dir;
    std::string big;
    for (int i = 0; i < 10000; ++i)
        big += "<!-- line " + std::to_string(i) + " -->\n";
    big = withNamespace(big + "<kvrz:Strength>\t12\n<kvrz:BlackClip>0.125</kvrz:BlackClip>");
    writeBytes(dir / "big.xmp", big);
    Record fromFile = kMarked;
    EXPECT_EQ(readSettingsXmp((dir / "big.xmp").c_str(), fromFile.data()), int(big.size()));
    EXPECT_EQ(fromFile, readText(big).record);
    EXPECT_EQ(fromFile[TMXmpBlackClip], 25);
}

TEST(XmpReader, FilesThatCannotBeReadLeaveTheRecord)
{
    const TempFolder dir;
    Record record = kMarked;
    EXPECT_EQ(readSettingsXmp((dir / "missing.xmp").c_str(), record.data()), TMXmpNotReadable);
    EXPECT_EQ(record, kMarked);
    const int code = readSettingsXmp(dir.path().string().c_str(), record.data());
    EXPECT_TRUE(code == TMXmpNotReadable || code == TMXmpShortRead) << code;
    EXPECT_EQ(record, kMarked);
    EXPECT_STREQ(TMXmpLoadMessage(TMXmpNoSettings), "XMP file does not contain Tone Mapping settings.");
    for (int other : {TMXmpNotReadable, TMXmpShortRead, TMXmpOtherMethod})
        EXPECT_STREQ(TMXmpLoadMessage(other), "Error found when loading XMP file.");
}

TEST(SettingsExchange, ConvertsAsTheDialogShowsAndClampsBothWays)
{
    TMParameters p = defaults();
    p.luminosity = 3;
    p.microcontrast = 2;
    Record record{};
    TMRecordFromSettings(p, record.data());
    EXPECT_EQ(record[TMXmpLuminosity], -7);
    EXPECT_EQ(record[TMXmpMicrocontrast], 0);
    EXPECT_EQ(record[TMXmpSmoothing], 1);

    record[TMXmpSmoothing] = 1;
    TMSettingsFromRecord(record.data(), &p);
    EXPECT_EQ(p.smoothing, 1);
    record[TMXmpSmoothing] = 4;
    TMSettingsFromRecord(record.data(), &p);
    EXPECT_EQ(p.smoothing, -2);

    // Any int reaches TMParameters inside the settings' ranges; image360 and the
    // preview bookkeeping are not the file's.
    const TMParameters before = defaults();
    for (int32_t v : {INT_MIN, -11, 5, 31, 101, 1001, INT_MAX}) {
        TMParameters q = before;
        q.image360 = 1;
        const Record any = {v, v, v, v, v, v, v, v};
        TMSettingsFromRecord(any.data(), &q);
        EXPECT_EQ(q.luminosity, std::min(std::max(v, -10), 10) + 10) << v;
        EXPECT_EQ(q.strength, std::min(std::max(v, 0), 100)) << v;
        EXPECT_EQ(q.colorSaturation, std::min(std::max(v, 0), 100)) << v;
        EXPECT_EQ(q.whiteClip, std::min(std::max(v, 0), 1000)) << v;
        EXPECT_EQ(q.blackClip, q.whiteClip) << v;
        EXPECT_EQ(q.smoothing, 2 - std::min(std::max(v, 0), 4)) << v;
        EXPECT_EQ(q.microcontrast, q.smoothing) << v;
        EXPECT_EQ(q.microsmoothing, std::min(std::max(v, 0), 30)) << v;
        EXPECT_EQ(q.image360, 1);
        EXPECT_EQ(q.previewLevel, before.previewLevel);

        // Settings outside their ranges (scripting stores them unchecked) still save.
        TMParameters wild = before;
        wild.luminosity = wild.strength = wild.smoothing = wild.microcontrast = wild.whiteClip = v;
        Record saved{};
        TMRecordFromSettings(wild, saved.data());
        std::string text;
        EXPECT_TRUE(TMFormatSettingsXmp(saved.data(), &text)) << v;
        EXPECT_EQ(saved[TMXmpLuminosity], std::min(std::max(v, 0), 20) - 10);
        EXPECT_EQ(saved[TMXmpSmoothing], 2 - std::min(std::max(v, -2), 2));
    }
}
