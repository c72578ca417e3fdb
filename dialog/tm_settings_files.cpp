#include "tm_settings_files.h"

#include <cstring>

#include "tm_settings_exchange.h"
#include "tm_xmp_settings.h"

const char* TMInitialFolder(const char* lastFolder)
{
    return lastFolder && std::strlen(lastFolder) > 4 ? lastFolder : nullptr;
}

std::string TMFolderOfFile(const std::string& path)
{
    const size_t slash = path.rfind('\\');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

namespace {

// The chosen file's folder becomes the last-used one. A folder that does not fit the
// buffer is not cut short (that would name another folder): the old one stays.
void rememberFolder(const std::string& chosen, char lastFolder[kTMFolderSize], TMSettingsStore& store)
{
    const std::string folder = TMFolderOfFile(chosen);
    if (folder.size() >= kTMFolderSize)
        return;
    std::memcpy(lastFolder, folder.c_str(), folder.size() + 1);
    saveLastFolder(lastFolder, store);
}

} // namespace

int TMLoadSettingsFile(const TMFileChooser& choose, TMParameters* params, char lastFolder[kTMFolderSize],
                       TMSettingsStore& store)
{
    const std::string chosen = choose(TMInitialFolder(lastFolder));
    if (chosen.empty())
        return 0;
    rememberFolder(chosen, lastFolder, store);
    int32_t record[TMXmpRecordSize] = {};
    const int read = readSettingsXmp(chosen.c_str(), record);
    if (read > 0)
        TMSettingsFromRecord(record, params);
    return read;
}

int TMSaveSettingsFile(const TMFileChooser& choose, const TMParameters& params, char lastFolder[kTMFolderSize],
                       TMSettingsStore& store)
{
    const std::string chosen = choose(TMInitialFolder(lastFolder));
    if (chosen.empty())
        return 0;
    rememberFolder(chosen, lastFolder, store);
    int32_t record[TMXmpRecordSize] = {};
    TMRecordFromSettings(params, record);
    return writeSettingsXmp(chosen.c_str(), record);
}

const char* TMLoadFailureMessage(int result)
{
    if (result >= 0)
        return nullptr;
    return result == -10 ? "XMP file does not contain Tone Mapping settings." : "Error found when loading XMP file.";
}

std::string TMHelpPath(TMSettingsStore& store)
{
    std::string folder;
    if (store.open(false) == 0) {
        TMStoredValue value;
        if (store.get("Path", &value) && value.type == TMValueText) {
            folder.assign(value.bytes.begin(), value.bytes.end());
            folder.resize(std::strlen(folder.c_str())); // up to the text's zero
        }
        store.close();
    }
    return folder + "\\ToneMappingHelp.html";
}

std::string TMHelpMissingMessage(const std::string& helpPath)
{
    return "Could not find Help file at: " + helpPath +
           "\n\nThis may happen if you have moved the Help file to another location after installation.\n\n"
           "Please reinstall the Tone Mapping plugin to recover the Help file.";
}
