// What the dialog's Load..., Save... and help buttons decide. The Windows side shows
// the file dialogs and message boxes and opens the page; everything it chooses
// between is here, so that it is tested without a window system.
#pragma once

#include <functional>
#include <string>

#include "tm_last_settings.h"
#include "tm_parameters.h"
#include "tm_settings_store.h"

// The folder offered as the file dialogs' initial folder: the last-used folder when
// it holds more than 4 characters, else none (nullptr).
const char* TMInitialFolder(const char* lastFolder);

// The folder of a chosen file: the path before its last backslash; empty when it
// has none.
std::string TMFolderOfFile(const std::string& path);

// The file dialog: given the initial folder (or nullptr), the chosen file's path, or
// an empty text when the user cancelled.
using TMFileChooser = std::function<std::string(const char* initialFolder)>;

// Load...: asks for a file; on a choice makes its folder the last-used one (also in
// `store`; a failed write there does not stop the load), reads the settings file and,
// when the read succeeds, takes all eight settings from it. Returns 0 when the user
// cancelled, else the read's result (above 0: loaded; -10: no tone-mapping settings
// in the file; another negative value: the file could not be read).
int TMLoadSettingsFile(const TMFileChooser& choose, TMParameters* params, char lastFolder[kTMFolderSize],
                       TMSettingsStore& store);

// Save...: asks for a file (offering "ToneMappingSettings.xmp"); on a choice makes its
// folder the last-used one and writes the eight settings there. Returns 0 when the
// user cancelled, else the write's result (the dialog does not report it).
int TMSaveSettingsFile(const TMFileChooser& choose, const TMParameters& params, char lastFolder[kTMFolderSize],
                       TMSettingsStore& store);

// The message Load... shows for a result, or nullptr when it shows none (loaded or
// cancelled).
const char* TMLoadFailureMessage(int result);

// The help page: the installation folder of the store's "Path" text value (none
// when it is missing or not text) followed by "\ToneMappingHelp.html".
std::string TMHelpPath(TMSettingsStore& store);

// The message shown when the help page cannot be opened.
std::string TMHelpMissingMessage(const std::string& helpPath);

// The name Save... offers, and the file dialogs' caption for their messages.
constexpr const char* kTMSettingsFileName = "ToneMappingSettings.xmp";
constexpr const char* kTMErrorCaption = "Error";
