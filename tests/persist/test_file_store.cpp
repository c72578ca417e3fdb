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

using persisttest::readBytes;
using persisttest::TempFolder;
using persisttest::writeBytes;

namespace {

TMParameters sample()
{
    TMParameters p{};
    applyDefaults(&p, TMSampleFloat32);
    p.luminosity = 17;
    p.strength = 33;
    p.whiteClip = 999;
    p.smoothing = -1;
    p.microsmoothing = 29;
    return p;
}

bool sameSettings(const TMParameters& a, const TMParameters& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Sets an environment variable for the life of the object.
class Environment {
public:
    Environment(const char* name, const char* value) : name_(name)
    {
        const char* old = std::getenv(name);
        had_ = old != nullptr;
        old_ = old ? old : "";
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~Environment()
    {
        if (had_)
            setenv(name_, old_.c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char* name_;
    bool had_;
    std::string old_;
};

} // namespace

TEST(FileStore, LivesUnderTheUsersConfigFolder)
{
    const char* const tail = "/Quarrystone/Kestrimond/ToneMappingPlugin.values";
    {
        const Environment config("XDG_CONFIG_HOME", "/somewhere/config");
        EXPECT_EQ(TMUserSettingsStorePath(), std::string("/somewhere/config") + tail);
    }
    const Environment home("HOME", "/home/someone");
    for (const char* ignored : {static_cast<const char*>(nullptr), "", "relative/config"}) {
        const Environment config("XDG_CONFIG_HOME", ignored);
        EXPECT_EQ(TMUserSettingsStorePath(), std::string("/home/someone/.config") + tail);
    }

    // The user's store is that file: the operations without a store argument use it.
    const TempFolder dir;
    const Environment config("XDG_CONFIG_HOME", dir.path().c_str());
    ASSERT_EQ(saveLastSettings(sample()), 0);
    ASSERT_EQ(saveLastFolder("/photos/looks"), 0);
    TMParameters p{};
    applyDefaults(&p, TMSampleFloat32);
    EXPECT_EQ(loadLastSettings(&p), 8);
    EXPECT_TRUE(sameSettings(p, sample()));
    char folder[kTMFolderSize] = "";
    EXPECT_EQ(loadLastFolder(folder), 1);
    EXPECT_STREQ(folder, "/photos/looks");
    EXPECT_TRUE(std::filesystem::is_regular_file(dir.path() / "Quarrystone/Kestrimond/ToneMappingPlugin.values"));
}

TEST(FileStore, ReplacedWholeKeepingOtherValuesAndNoTemporaryFile)
{
    const TempFolder dir;
    const std::string path = dir / "store";
    // A value the plug-in does not write (the installation's "Path") survives a save.
    writeBytes(path, "# comment\nPath text 4 2f6f7400\n");
    TMFileSettingsStore store(path);
    ASSERT_EQ(saveLastSettings(sample(), store), 0);
    ASSERT_EQ(saveLastFolder("/x", store), 0);
    const std::string text = readBytes(path);
    EXPECT_NE(text.find("\nPath text 4 2f6f7400\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nWP dword 4 e7030000\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nLastUsedDir text 3 2f7800\n"), std::string::npos) << text;
    EXPECT_EQ(dir.entries(), 1u);

    TMStoredValue value;
    ASSERT_EQ(store.open(false), 0);
    ASSERT_TRUE(store.get("Path", &value));
    EXPECT_EQ(value.type, TMValueText);
    EXPECT_EQ(std::string(value.bytes.begin(), value.bytes.end()), std::string("/ot", 4));
    EXPECT_EQ(store.close(), 0);
}

TEST(FileStore, AFileCutShortLosesOnlyTheCutValue)
{
    const TempFolder dir;
    const std::string full = dir / "full";
    TMFileSettingsStore complete(full);
    ASSERT_EQ(saveLastSettings(sample(), complete), 0);
    const std::string text = readBytes(full);
    for (size_t cut = 0; cut <= text.size(); ++cut) {
        // A new file each time: rewriting one file makes some file systems flush it.
        const std::string path = dir / ("cut-" + std::to_string(cut));
        writeBytes(path, text.substr(0, cut));
        // The values whose lines are whole, LF included (the first line is a comment).
        const auto lines = std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(cut), '\n');
        const int whole = std::max(static_cast<int>(lines) - 1, 0);
        TMFileSettingsStore store(path);
        TMParameters p{};
        applyDefaults(&p, TMSampleFloat32);
        ASSERT_EQ(loadLastSettings(&p, store), whole) << "cut after " << cut << " bytes";
        if (cut == text.size()) {
            EXPECT_TRUE(sameSettings(p, sample()));
        }
    }
}

TEST(FileStore, DamagedUnreadableAndUnwritableStores)
{
    const TempFolder dir;
    TMParameters p{};
    applyDefaults(&p, TMSampleFloat32);
    const TMParameters before = p;

    // Lines that are no values; sizes that do not match their bytes.
    const std::string damaged = dir / "damaged";
    writeBytes(damaged, "DR binary 80 14\nStrength binary 1 zz\nWP dword 4 0100000000\nBP dword\n"
                        "Smoothing binary 0 \nColorSaturation 99999999999 1 05\n" + std::string(1, '\0') + "\xff\n");
    TMFileSettingsStore damagedStore(damaged);
    EXPECT_EQ(loadLastSettings(&p, damagedStore), 0);
    EXPECT_TRUE(sameSettings(p, before));

    // A file far larger than any store is not read, and a save replaces it.
    const std::string huge = dir / "huge";
    writeBytes(huge, std::string(2 << 20, '\n') + "Strength binary 1 05\n");
    TMFileSettingsStore hugeStore(huge);
    EXPECT_EQ(loadLastSettings(&p, hugeStore), 0);
    EXPECT_EQ(saveLastSettings(sample(), hugeStore), 0);
    EXPECT_EQ(loadLastSettings(&p, hugeStore), 8);

    // A store that is a folder; a folder on the way that is a file; a folder nobody
    // may write to (even root, in /proc).
    std::filesystem::create_directory(dir / "folder");
    for (const std::string& path : {dir / "folder", dir / "damaged/below/store", std::string("/proc/self/tm/store")}) {
        TMFileSettingsStore store(path);
        EXPECT_NE(saveLastSettings(sample(), store), 0) << path;
        EXPECT_NE(saveLastFolder("/x", store), 0) << path;
        EXPECT_EQ(loadLastSettings(&p, store), 0) << path;
    }

    // A read-only store is the user's decision: kept as it is.
    const std::string readOnly = dir / "read-only";
    writeBytes(readOnly, "Strength binary 1 05\n");
    chmod(readOnly.c_str(), 0444);
    TMFileSettingsStore readOnlyStore(readOnly);
    EXPECT_NE(saveLastSettings(sample(), readOnlyStore), 0);
    EXPECT_EQ(readBytes(readOnly), "Strength binary 1 05\n");
    EXPECT_EQ(loadLastSettings(&p, readOnlyStore), 1);
    EXPECT_EQ(p.strength, 5);

    // A store this user cannot read is not replaced either: its values would be lost.
    if (geteuid() != 0) {
        chmod(damaged.c_str(), 0200);
        EXPECT_NE(saveLastSettings(sample(), damagedStore), 0);
        chmod(damaged.c_str(), 0600);
        EXPECT_NE(readBytes(damaged).find("DR binary 80 14\n"), std::string::npos);
    }
}
