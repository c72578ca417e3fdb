// The store file of systems without a registry: where it lives, its atomic replace,
// and files cut short, damaged, unreadable or in folders that cannot be written.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "persist_test_support.h"
#include "tm_last_settings.h"

using persisttest::Environment;
using persisttest::readBytes;
using persisttest::TempFolder;
using persisttest::writeBytes;

namespace {

TMParameters defaults()
{
    TMParameters p{};
    applyDefaults(&p, TMSampleFloat32);
    return p;
}

TMParameters sample()
{
    TMParameters p = defaults();
    p.settings.luminosity = 17;
    p.settings.strength = 33;
    p.settings.whiteClip = 999;
    p.settings.smoothing = -1;
    return p;
}

bool same(const TMParameters& a, const TMParameters& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

} // namespace

TEST(FileStore, TheUsersStoreLivesUnderTheConfigFolder)
{
    const std::string tail = "/Quarrystone/Kestrimond/ToneMappingPlugin.values";
    const Environment home("HOME", "/home/someone");
    for (const char* config : {static_cast<const char*>(nullptr), "", "relative/config", "/somewhere"}) {
        const Environment set("XDG_CONFIG_HOME", config);
        EXPECT_EQ(TMUserSettingsStorePath(), (config && *config == '/' ? config : "/home/someone/.config") + tail);
    }

    // The operations without a store argument use it; its folders are made.
    const TempFolder dir;
    const Environment config("XDG_CONFIG_HOME", dir.path().c_str());
    ASSERT_EQ(saveLastSettings(sample()), 0);
    ASSERT_EQ(saveLastFolder("/photos/looks"), 0);
    TMParameters p = defaults();
    EXPECT_EQ(loadLastSettings(&p), 8);
    EXPECT_TRUE(same(p, sample()));
    char folder[kTMFolderSize] = "";
    EXPECT_EQ(loadLastFolder(folder), 1);
    EXPECT_STREQ(folder, "/photos/looks");
    EXPECT_TRUE(std::filesystem::is_regular_file(dir.path().string() + tail));
}

TEST(FileStore, ReplacedWholeKeepingOtherValuesAndNoTemporaryFile)
{
    const TempFolder dir;
    const std::string path = dir / "store";
    // A value the plug-in does not write (the installation's "Path") survives.
    writeBytes(path, "# comment\nPath text 4 2f6f7400\n");
    TMFileSettingsStore store(path);
    ASSERT_EQ(saveLastSettings(sample(), store), 0);
    ASSERT_EQ(saveLastFolder("/x", store), 0);
    const std::string text = readBytes(path);
    for (const char* line : {"\nPath text 4 2f6f7400\n", "\nWP dword 4 e7030000\n", "\nLastUsedDir text 3 2f7800\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
    EXPECT_EQ(dir.entries(), 1u);
}

TEST(FileStore, AFileCutShortLosesOnlyTheCutValue)
{
    const TempFolder dir;
    TMFileSettingsStore complete(dir / "full");
    ASSERT_EQ(saveLastSettings(sample(), complete), 0);
    const std::string text = readBytes(dir / "full");
    for (size_t cut = 0; cut <= text.size(); ++cut) {
        // A new file each time: rewriting one file makes some file systems flush it.
        const std::string path = dir / ("cut-" + std::to_string(cut));
        writeBytes(path, text.substr(0, cut));
        // The values whose lines are whole, LF included; the first line is a comment.
        const auto lines = std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(cut), '\n');
        TMFileSettingsStore store(path);
        TMParameters p = defaults();
        ASSERT_EQ(loadLastSettings(&p, store), std::max(static_cast<int>(lines) - 1, 0)) << "cut at " << cut;
    }
}

TEST(FileStore, DamagedUnreadableAndUnwritableStores)
{
    const TempFolder dir;
    TMParameters p = defaults();

    // Lines that are no values: sizes that do not match their bytes, bad digits.
    const std::string damaged = dir / "damaged";
    writeBytes(damaged, "DR binary 80 14\nStrength binary 1 zz\nWP dword 4 0100000000\nBP dword\n"
                        "Smoothing binary 0 \nColorSaturation 99999999999 1 05\n" +
                            std::string(1, '\0') + "\xff\n");
    TMFileSettingsStore damagedStore(damaged);
    EXPECT_EQ(loadLastSettings(&p, damagedStore), 0);
    EXPECT_TRUE(same(p, defaults()));

    // A file far larger than any store is not read; a save replaces it.
    TMFileSettingsStore huge(dir / "huge");
    writeBytes(dir / "huge", std::string(2 << 20, '\n') + "Strength binary 1 05\n");
    EXPECT_EQ(loadLastSettings(&p, huge), 0);
    EXPECT_EQ(saveLastSettings(sample(), huge), 0);
    EXPECT_EQ(loadLastSettings(&p, huge), 8);

    // A store that is a folder; a folder on the way that is a file; a folder nobody
    // may write to, root included (in /proc).
    std::filesystem::create_directory(dir / "folder");
    for (const std::string& path : {dir / "folder", dir / "damaged/below/store", std::string("/proc/self/tm/store")}) {
        TMFileSettingsStore store(path);
        EXPECT_NE(saveLastSettings(sample(), store), 0) << path;
        EXPECT_NE(saveLastFolder("/x", store), 0) << path;
        EXPECT_EQ(loadLastSettings(&p, store), 0) << path;
    }

    // A read-only store is the user's decision, and one this user cannot read would
    // lose its values: neither is replaced.
    const std::string readOnly = dir / "read-only";
    writeBytes(readOnly, "Strength binary 1 05\n");
    chmod(readOnly.c_str(), 0444);
    TMFileSettingsStore readOnlyStore(readOnly);
    EXPECT_NE(saveLastSettings(sample(), readOnlyStore), 0);
    EXPECT_EQ(readBytes(readOnly), "Strength binary 1 05\n");
    if (geteuid() != 0) {
        chmod(damaged.c_str(), 0200);
        EXPECT_NE(saveLastSettings(sample(), damagedStore), 0);
        chmod(damaged.c_str(), 0600);
        EXPECT_EQ(readBytes(damaged).compare(0, 16, "DR binary 80 14\n"), 0);
    }
}
