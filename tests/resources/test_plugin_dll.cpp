// The two built ToneMapping.8bf files, read back as a host would see them: the
// processor, the PiPL and terminology resources, the version resource, the export
// and the imported DLLs. The files come from the Windows cross builds; without them
// the tests skip, or fail when TM_REQUIRE_WINDOWS_BUILDS is on.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>

#include "pe_reader.h"
#include "resource_test_util.h"
#include "tm_resources.h"

using restest::Bytes;
using restest::firstDifference;

namespace {

struct Build {
    const char* name;  // also the test suffix
    const char* path;  // ToneMapping.8bf
    const char* make;  // how to produce it
    TMArch arch;
    uint16_t machine;  // COFF machine
    uint16_t magic;    // optional header
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
                FAIL() << b.path << " is missing: run `" << b.make
                       << "` first (TM_REQUIRE_WINDOWS_BUILDS is ON)";
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
        {"CompanyName", "Quarrystone"},       {"FileDescription", "Tone Mapping"},
        {"FileVersion", "1.0.1"},             {"InternalName", "Tone Mapping"},
        {"OriginalFilename", "Tone Mapping"}, {"ProductName", "Kestrimond Tone Mapping"},
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

TEST_P(PluginDll, ExportsTheEntryPointUndecorated)
{
    const std::vector<std::string> names = pe::exportNames(image);
    std::string listed;
    for (const std::string& n : names)
        listed += " " + n;
    const auto exported = [&](const std::string& n) {
        return std::find(names.begin(), names.end(), n) != names.end();
    };
    EXPECT_TRUE(exported("PluginMain")) << "exports:" << listed;
    for (const std::string& n : names) {
        EXPECT_NE(n, "_PluginMain");
        EXPECT_EQ(n.find('@'), std::string::npos) << "decorated export " << n;
    }

    // The host looks up exactly the name in the PiPL's code property of its processor.
    Bytes pipl;
    ASSERT_TRUE(pe::resource(image, pe::resName("PIPL"), pe::resId(16000), &pipl));
    const Bytes code = restest::propertyData(pipl, GetParam().arch == TMArch::X86 ? TMFourCCOf("wx86")
                                                                                : TMFourCCOf("8664"));
    ASSERT_FALSE(code.empty());
    const std::string entry(code.begin(), std::find(code.begin(), code.end(), 0));
    EXPECT_TRUE(exported(entry)) << entry << " is not exported; exports:" << listed;
}

TEST_P(PluginDll, ImportsOnlySystemDlls)
{
    // Hosts ship no compiler runtime (libstdc++, libgcc, libwinpthread): everything
    // else must be linked in.
    const std::vector<std::string> system = {"kernel32.dll", "user32.dll", "gdi32.dll",   "msvcrt.dll",
                                             "advapi32.dll", "shell32.dll", "comdlg32.dll", "comctl32.dll",
                                             "ole32.dll",    "oleaut32.dll", "shlwapi.dll", "uxtheme.dll"};
    const std::vector<std::string> dlls = pe::importedDlls(image);
    EXPECT_FALSE(dlls.empty());
    for (const std::string& dll : dlls) {
        const std::string l = lower(dll);
        const bool allowed =
            std::find(system.begin(), system.end(), l) != system.end() || l.rfind("api-ms-win-crt-", 0) == 0;
        EXPECT_TRUE(allowed) << GetParam().path << " imports " << dll;
    }
}

INSTANTIATE_TEST_SUITE_P(Builds, PluginDll, ::testing::ValuesIn(kBuilds),
                         [](const ::testing::TestParamInfo<Build>& info) { return std::string(info.param.name); });
