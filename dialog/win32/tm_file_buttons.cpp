#include <windows.h>

#include <commdlg.h>
#include <shellapi.h>

#include <cstring>
#include <string>

#include "tm_dialog_logic.h"
#include "tm_dialog_win32.h"
#include "tm_last_settings.h"

namespace {

using FileDialog = BOOL(WINAPI*)(LPOPENFILENAMEA);

// The common file dialogs, loaded from comdlg32 at the first use rather than imported:
// hosts load many plug-ins, and this one should not pull the library in unused.
FileDialog fileDialog(const char* name)
{
    static HMODULE library = LoadLibraryA("comdlg32.dll");
    return library ? reinterpret_cast<FileDialog>(reinterpret_cast<void*>(GetProcAddress(library, name))) : nullptr;
}

// One file dialog (GetOpenFileNameA or GetSaveFileNameA) owned by `dialog`, offering
// the last-used folder; the chosen path, or empty when the user cancelled (or the
// library is missing). A choice makes its folder the last-used one.
std::string chooseFile(HWND dialog, const char* kind, const char* filter, const char* startName, DWORD flags)
{
    const FileDialog show = fileDialog(kind);
    if (!show)
        return std::string();
    char file[MAX_PATH] = {};
    std::strncpy(file, startName, sizeof file - 1);
    char* folder = TMLastFolder();
    OPENFILENAMEA ofn{};
    // The record's first, shorter form, which every system accepts on either target.
    ofn.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
    ofn.hwndOwner = dialog;
    ofn.lpstrFilter = filter;
    ofn.nFilterIndex = 0;
    ofn.lpstrFile = file;
    ofn.nMaxFile = sizeof file;
    ofn.lpstrInitialDir = TMOffersFolder(folder) ? folder : nullptr;
    ofn.Flags = flags;
    if (!show(&ofn))
        return std::string();
    if (TMFolderOfPath(file, folder))
        saveLastFolder(folder); // a failed write stops nothing
    return file;
}

} // namespace

char* TMLastFolder()
{
    static char folder[kTMFolderSize] = {};
    return folder;
}

int TMLoadSettingsFile(HWND dialog, std::vector<TMControlUpdate>* updates)
{
    static const char filter[] = "Tone Mapping Settings (.xmp)\0*.xmp\0";
    const std::string path =
        chooseFile(dialog, "GetOpenFileNameA", filter, "", OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY);
    return path.empty() ? 0 : TMReadSettingsFile(path.c_str(), TMCurrentDialogRun().params, updates);
}

int TMSaveSettingsFile(HWND dialog)
{
    static const char filter[] = ".xmp <Extensible Metadata Platform>\0*.xmp\0";
    const std::string path = chooseFile(dialog, "GetSaveFileNameA", filter, "ToneMappingSettings.xmp",
                                        OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY);
    return path.empty() ? 0 : TMWriteSettingsFile(path.c_str(), *TMCurrentDialogRun().params);
}

void TMShowHelp(HWND dialog)
{
    // The installation folder, when the installer recorded one as text.
    std::string folder;
    const auto store = TMUserSettingsStore();
    if (store && store->open(false) == 0) {
        TMStoredValue value;
        if (store->get("Path", &value) && value.type == TMValueText)
            folder.assign(reinterpret_cast<const char*>(value.bytes.data()),
                          strnlen(reinterpret_cast<const char*>(value.bytes.data()), value.bytes.size()));
        store->close();
    }
    const std::string page = TMHelpFilePath(folder.c_str());
    const HINSTANCE opened = ShellExecuteA(dialog, "open", page.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    if (reinterpret_cast<INT_PTR>(opened) <= 32)
        MessageBoxA(dialog, TMHelpMissingMessage(page).c_str(), "Error", MB_OK);
}
