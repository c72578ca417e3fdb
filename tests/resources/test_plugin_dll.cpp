// The two built ToneMapping.8bf files, read back as a host would see them: the
// processor, the PiPL and terminology resources, the version resource, the dialog
// templates, the export and the imported DLLs. The files come from the Windows cross builds; without them
// the tests skip, or fail when TM_REQUIRE_WINDOWS_BUILDS is on.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "pe_reader.h"
#include "resource_test_util.h"
#include "tm_resources.h"

using restest::Bytes;
using restest::firstDifference;

namespace {

struct Build {
    const char* name; // also the test suffix
    const char* path; // ToneMapping.8bf
    const char* make; // how to produce it
    TMArch arch;
    uint16_t machine; // COFF machine
    uint16_t magic;   // optional header
};

const Build kBuilds[] = {
    {"Win32", TM_WIN32_DLL, "make build-win32", TMArch::X86, 0x014C, 0x10B},
    {"Win64", TM_WIN64_DLL, "make build-win64", TMArch::X64, 0x8664, 0x20B},
};

// Test names and messages show the build's name, not its bytes.
void PrintTo(const Build& b, std::ostream* os) { *os << b.name; }

constexpr uint16_t kRtVersion = 16;

std::string lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

class PluginDll : public ::testing::TestWithParam<Build> {
protected:
    void SetUp() override
    {
        const Build& b = GetParam();
        if (!std::ifstream(b.path).good()) {
            if (TM_REQUIRE_WINDOWS_BUILDS)
                FAIL() << b.path << " is missing: run `" << b.make << "` first (TM_REQUIRE_WINDOWS_BUILDS is ON)";
            GTEST_SKIP() << b.path << " not built (" << b.make << ")";
        }
        std::string error;
        ASSERT_TRUE(pe::load(b.path, &image, &error)) << error;
    }

    Bytes resource(const pe::ResName& type, const pe::ResName& name)
    {
        Bytes data;
        EXPECT_TRUE(pe::resource(image, type, name, &data)) << "resource not found";
        return data;
    }

    pe::Image image;
};

} // namespace

TEST_P(PluginDll, IsADllForItsProcessor)
{
    EXPECT_EQ(image.machine, GetParam().machine);
    EXPECT_EQ(image.magic, GetParam().magic);
    EXPECT_NE(image.characteristics & 0x2000, 0) << "not marked as a DLL";
}

TEST_P(PluginDll, PiPLAndTerminologyAreTheBuiltBytes)
{
    // One PiPL resource: hosts make a menu entry of each.
    const std::vector<pe::ResName> pipls = pe::resourceNames(image, pe::resName("PIPL"));
    ASSERT_EQ(pipls.size(), 1u);
    EXPECT_TRUE(pipls[0].isId && pipls[0].id == 16000);

    const Bytes pipl = resource(pe::resName("PIPL"), pe::resId(16000));
    const Bytes expectedPipl = TMPluginPiPL(GetParam().arch);
    EXPECT_EQ(pipl, expectedPipl) << firstDifference(pipl, expectedPipl);

    // The id that 'hstm' names.
    const Bytes aete = resource(pe::resName("AETE"), pe::resId(16000));
    const Bytes expectedAete = TMPluginAete();
    EXPECT_EQ(aete, expectedAete) << firstDifference(aete, expectedAete);
}

TEST_P(PluginDll, VersionResource)
{
    const Bytes data = resource(pe::resId(kRtVersion), pe::resId(1));
    pe::VersionNode root;
    std::string error;
    ASSERT_TRUE(pe::parseVersion(data, &root, &error)) << error;
    EXPECT_EQ(root.key, "VS_VERSION_INFO");

    // The fixed record: signature, file and product version 1.0.0.0, DLL for 32-bit
    // Windows (the system's code for both processors).
    ASSERT_EQ(root.binary.size(), 52u);
    const auto field = [&](size_t index) {
        const uint8_t* p = &root.binary[4 * index];
        return static_cast<uint32_t>(p[0]) | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
    };
    EXPECT_EQ(field(0), 0xFEEF04BDu);
    EXPECT_EQ(field(2), 0x00010000u) << "file version 1.0";
    EXPECT_EQ(field(3), 0x00000000u) << "file version .0.0";
    EXPECT_EQ(field(4), 0x00010000u) << "product version 1.0";
    EXPECT_EQ(field(5), 0x00000000u) << "product version .0.0";
    EXPECT_EQ(field(7), 0u) << "file flags";
    EXPECT_EQ(field(8), 0x00040004u) << "VOS_NT_WINDOWS32";
    EXPECT_EQ(field(9), 2u) << "VFT_DLL";

    const pe::VersionNode* strings = pe::child(root, "StringFileInfo");
    ASSERT_NE(strings, nullptr);
    const pe::VersionNode* table = pe::child(*strings, "040904B0"); // US English, UTF-16
    ASSERT_NE(table, nullptr);
    const std::pair<const char*, const char*> expected[] = {
        {"CompanyName", "Quarrystone"},
        {"FileDescription", "Tone Mapping"},
        {"FileVersion", "1.0.1"},
        {"InternalName", "Tone Mapping"},
        {"OriginalFilename", "Tone Mapping"},
        {"ProductName", "Kestrimond Tone Mapping"},
        {"ProductVersion", "1.0.1"},
    };
    for (const auto& [key, value] : expected) {
        const pe::VersionNode* s = pe::child(*table, key);
        ASSERT_NE(s, nullptr) << key;
        EXPECT_TRUE(s->isText) << key;
        EXPECT_EQ(s->text, value) << key;
    }

    const pe::VersionNode* vars = pe::child(root, "VarFileInfo");
    ASSERT_NE(vars, nullptr);
    const pe::VersionNode* translation = pe::child(*vars, "Translation");
    ASSERT_NE(translation, nullptr);
    EXPECT_EQ(translation->binary, (Bytes{0x09, 0x04, 0xB0, 0x04}));
}

namespace {

constexpr uint16_t kRtDialog = 5;

// Styles as the dialog manager numbers them.
enum : uint32_t {
    kPopup = 0x80000000,
    kChild = 0x40000000,
    kVisible = 0x10000000,
    kDisabled = 0x08000000,
    kCaption = 0x00C00000,
    kBorder = 0x00800000,
    kSysMenu = 0x00080000,
    kTabStop = 0x00010000,
    kModalFrame = 0x80,
    kSetFont = 0x40,
    kPush = 0x0,
    kDefPush = 0x1,
    kAutoCheck = 0x3,
    kGroupBox = 0x7,
    kAutoRadio = 0x9,
    kButtonNotify = 0x4000,
    kLeft = 0x0,
    kCenter = 0x1,
    kRight = 0x2,
    kStaticNotify = 0x100,
    kSunken = 0x1000,
    kHorizontal = 0x0,
};
// Class ordinals of the system's controls.
enum : uint16_t { kButton = 0x80, kStatic = 0x82, kScrollBar = 0x84 };
constexpr uint32_t kShown = kChild | kVisible;

struct Item {
    int32_t id;
    uint16_t windowClass;
    const char16_t* text;
    int16_t x, y, cx, cy;
    uint32_t style;
};

// The settings dialog, in template order (dialog units).
const Item kSettingsItems[] = {
    {1, kButton, u"OK", 366, 4, 47, 14, kShown | kTabStop | kDefPush},
    {2, kButton, u"Cancel", 367, 22, 46, 14, kShown | kTabStop | kPush},
    {110, kScrollBar, u"", 12, 16, 100, 10, kShown | kHorizontal},
    {120, kScrollBar, u"", 12, 49, 100, 10, kShown | kHorizontal},
    {121, kStatic, u"100", 82, 38, 18, 11, kShown | kSunken | kRight},
    {111, kStatic, u"100", 81, 4, 19, 11, kShown | kSunken | kRight},
    {100, kScrollBar, u"", 12, 116, 100, 10, kShown | kHorizontal},
    {101, kStatic, u"-10", 82, 104, 19, 11, kShown | kSunken | kRight},
    {130, kScrollBar, u"", 14, 263, 100, 10, kShown | kHorizontal},
    {140, kScrollBar, u"", 15, 289, 100, 10, kShown | kHorizontal},
    {131, kStatic, u"0.01", 76, 252, 23, 11, kShown | kSunken | kLeft},
    {141, kStatic, u"0.01", 77, 277, 23, 11, kShown | kSunken | kLeft},
    {132, kStatic, u"White Clipping", 15, 253, 54, 10, kShown | kStaticNotify},
    {550, kButton, u"Note", 11, 350, 106, 70, kShown | kGroupBox},
    {500, kStatic, u"", 15, 364, 99, 53, kShown | kLeft},
    {112, kStatic, u"Strength", 12, 4, 62, 8, kShown | kStaticNotify},
    {5, kStatic, u"Static", 122, 44, 299, 329, kChild | kDisabled | kLeft},
    {400, kStatic, u"", 14, 196, 99, 52, kChild | kLeft},
    {152, kStatic, u"Light Smoothing", 12, 76, 53, 12, kShown | kStaticNotify},
    {162, kStatic, u"Micro-contrast", 14, 142, 49, 9, kShown | kStaticNotify},
    {102, kStatic, u"Luminosity", 13, 106, 62, 8, kShown | kStaticNotify},
    {122, kStatic, u"Color Saturation", 12, 38, 64, 12, kShown | kStaticNotify},
    {-1, kStatic, u"%", 102, 277, 8, 8, kShown | kLeft},
    {-1, kStatic, u"%", 100, 252, 8, 10, kShown | kLeft},
    {142, kStatic, u"Black Clipping", 15, 279, 57, 8, kShown | kStaticNotify},
    {300, kButton, u"360\u00B0 Image", 299, 28, 54, 8, kShown | kDisabled | kTabStop | kButtonNotify | kAutoCheck},
    {3, kButton, u"Previous", 18, 310, 43, 14, kShown | kTabStop | kPush},
    {4, kButton, u"?", 132, 15, 17, 17, kShown | kPush},
    {201, kButton, u"512", 246, 12, 23, 10, kShown | kAutoRadio},
    {202, kButton, u"768", 246, 22, 27, 10, kShown | kAutoRadio},
    {203, kButton, u"1024", 246, 31, 29, 10, kShown | kAutoRadio},
    {210, kButton, u"Show Original", 165, 15, 62, 16, kShown | kTabStop | kPush},
    {310, kButton, u"Default", 18, 329, 43, 14, kShown | kTabStop | kPush},
    {320, kButton, u"Load...", 65, 310, 43, 14, kShown | kTabStop | kPush},
    {330, kButton, u"Save...", 65, 329, 43, 14, kShown | kTabStop | kPush},
    {150, kScrollBar, u"", 60, 87, 51, 10, kShown | kHorizontal},
    {160, kScrollBar, u"", 60, 151, 52, 10, kShown | kHorizontal},
    {151, kStatic, u"+1", 83, 75, 19, 11, kShown | kSunken | kRight},
    {170, kScrollBar, u"", 14, 180, 98, 10, kShown | kHorizontal},
    {172, kStatic, u"Micro-smoothing", 15, 169, 63, 9, kShown | kStaticNotify},
    {161, kStatic, u"+2", 83, 139, 18, 11, kShown | kSunken | kRight},
    {171, kStatic, u"2", 84, 169, 19, 11, kShown | kSunken | kRight},
};

const Item kAboutItems[] = {
    {1001, kStatic, nullptr /* the title, with the version */, 0, 7, 198, 13, kShown | kCenter},
    {1002, kStatic,
     u"The Tone Mapping Plug-In reveals details in highlights and shadows in 32-bit High Dynamic Range images.  ", 15,
     28, 175, 26, kShown | kLeft},
    {1003, kStatic,
     u"The resulting image shows the whole dynamic range available in the original HDR image and is ready for "
     u"display on standard monitors and prints.",
     14, 63, 176, 31, kShown | kLeft},
    {1004, kStatic,
     u"The Tone Mapping plug-in can also be applied to images in 16-bit mode, such as images resulting from RAW "
     u"conversion.",
     14, 97, 177, 28, kShown | kLeft},
};

std::u16string utf16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

std::string shown(const std::u16string& s)
{
    std::string out;
    for (char16_t c : s) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else {
            char hex[12];
            std::snprintf(hex, sizeof hex, "\\u%04X", static_cast<unsigned>(c));
            out += hex;
        }
    }
    return out;
}

void expectItems(const pe::Dialog& dialog, const Item* expected, size_t count, const std::u16string& title)
{
    ASSERT_EQ(dialog.items.size(), count);
    for (size_t i = 0; i < count; ++i) {
        const pe::DialogItem& got = dialog.items[i];
        const Item& want = expected[i];
        SCOPED_TRACE("item " + std::to_string(i) + ", id " + std::to_string(want.id));
        EXPECT_EQ(got.id, want.id);
        EXPECT_TRUE(got.windowClass.isOrdinal) << "class given by name: " << shown(got.windowClass.text);
        EXPECT_EQ(got.windowClass.ordinal, want.windowClass);
        EXPECT_FALSE(got.title.isOrdinal);
        const std::u16string text = want.text ? std::u16string(want.text) : title;
        EXPECT_EQ(got.title.text, text) << shown(got.title.text);
        EXPECT_EQ((std::array<int16_t, 4>{got.x, got.y, got.cx, got.cy}),
                  (std::array<int16_t, 4>{want.x, want.y, want.cx, want.cy}));
        EXPECT_EQ(got.style, want.style) << std::hex << "style 0x" << got.style << ", expected 0x" << want.style;
        EXPECT_EQ(got.exStyle, 0u);
        EXPECT_EQ(got.extraBytes, 0u);
    }
}

} // namespace

TEST_P(PluginDll, SettingsDialogTemplate)
{
    const Bytes data = resource(pe::resId(kRtDialog), pe::resName("TM_DIALOG3"));
    pe::Dialog dialog;
    std::string error;
    ASSERT_TRUE(pe::parseDialogEx(data, &dialog, &error)) << error;
    // A modal frame with a caption and no system menu, hence no close box.
    EXPECT_EQ(dialog.style, kPopup | kCaption | kModalFrame | kSetFont);
    EXPECT_EQ(dialog.style & kSysMenu, 0u);
    EXPECT_EQ((std::array<int16_t, 4>{dialog.x, dialog.y, dialog.cx, dialog.cy}),
              (std::array<int16_t, 4>{0, 0, 427, 425}));
    EXPECT_EQ(dialog.title, utf16("Tone Mapping 1.1.2")) << shown(dialog.title);
    EXPECT_TRUE(dialog.hasFont);
    EXPECT_EQ(dialog.typeface, u"Verdana");
    EXPECT_EQ(dialog.pointSize, 8);
    EXPECT_EQ(dialog.weight, 400);
    EXPECT_EQ(dialog.italic, 0);
    expectItems(dialog, kSettingsItems, std::size(kSettingsItems), u"");
}

TEST_P(PluginDll, AboutBoxTemplate)
{
    const Bytes data = resource(pe::resId(kRtDialog), pe::resId(16000));
    pe::Dialog dialog;
    std::string error;
    ASSERT_TRUE(pe::parseDialogEx(data, &dialog, &error)) << error;
    // A border and a system menu, no caption text and no buttons.
    EXPECT_EQ(dialog.style, kPopup | kBorder | kSysMenu | kSetFont);
    EXPECT_EQ((std::array<int16_t, 2>{dialog.cx, dialog.cy}), (std::array<int16_t, 2>{200, 207}));
    EXPECT_EQ(dialog.title, u"");
    EXPECT_EQ(dialog.typeface, u"Verdana");
    EXPECT_EQ(dialog.pointSize, 8);
    expectItems(dialog, kAboutItems, std::size(kAboutItems), utf16("Tone Mapping Plug-In 1.1.2"));

    // Exactly the two dialogs: a host-visible resource left over from a draft would
    // ship too.
    const std::vector<pe::ResName> names = pe::resourceNames(image, pe::resId(kRtDialog));
    EXPECT_EQ(names.size(), 2u);
}

TEST_P(PluginDll, ExportsTheEntryPointUndecorated)
{
    const std::vector<std::string> names = pe::exportNames(image);
    std::string listed;
    for (const std::string& n : names)
        listed += " " + n;
    const auto exported = [&](const std::string& n) { return std::find(names.begin(), names.end(), n) != names.end(); };
    EXPECT_TRUE(exported("PluginMain")) << "exports:" << listed;
    EXPECT_TRUE(exported("TMProc")) << "the dialog procedure; exports:" << listed;
    for (const std::string& n : names) {
        EXPECT_NE(n, "_PluginMain");
        EXPECT_EQ(n.find('@'), std::string::npos) << "decorated export " << n;
    }

    // The host looks up exactly the name in the PiPL's code property of its processor.
    Bytes pipl;
    ASSERT_TRUE(pe::resource(image, pe::resName("PIPL"), pe::resId(16000), &pipl));
    const Bytes code =
        restest::propertyData(pipl, GetParam().arch == TMArch::X86 ? TMFourCCOf("wx86") : TMFourCCOf("8664"));
    ASSERT_FALSE(code.empty());
    const std::string entry(code.begin(), std::find(code.begin(), code.end(), 0));
    EXPECT_TRUE(exported(entry)) << entry << " is not exported; exports:" << listed;
}

TEST_P(PluginDll, ImportsOnlySystemDlls)
{
    // Hosts ship no compiler runtime (libstdc++, libgcc, libwinpthread): everything
    // else must be linked in.
    const std::vector<std::string> system = {"kernel32.dll", "user32.dll",   "gdi32.dll",    "msvcrt.dll",
                                             "advapi32.dll", "shell32.dll",  "comdlg32.dll", "comctl32.dll",
                                             "ole32.dll",    "oleaut32.dll", "shlwapi.dll",  "uxtheme.dll"};
    const std::vector<std::string> dlls = pe::importedDlls(image);
    EXPECT_FALSE(dlls.empty());
    for (const std::string& dll : dlls) {
        const std::string l = lower(dll);
        const bool allowed =
            std::find(system.begin(), system.end(), l) != system.end() || l.rfind("api-ms-win-crt-", 0) == 0;
        EXPECT_TRUE(allowed) << GetParam().path << " imports " << dll;
        // The common file dialogs are loaded when first used: a host process that
        // never opens them does not load comdlg32 for the plug-in.
        EXPECT_NE(l, "comdlg32.dll");
    }
}

INSTANTIATE_TEST_SUITE_P(Builds, PluginDll, ::testing::ValuesIn(kBuilds),
                         [](const ::testing::TestParamInfo<Build>& info) { return std::string(info.param.name); });
