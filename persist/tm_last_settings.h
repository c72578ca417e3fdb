// The last-used settings: the eight settings with which the dialog was last closed,
// and the folder of the last settings file chosen, kept per user between runs.
#pragma once

#include <cstddef>

#include "tm_parameters.h"
#include "tm_settings_store.h"

// The last-used folder: a text of up to 259 bytes and its terminating zero.
constexpr size_t kTMFolderSize = 260;

// Writes the eight settings (clamped to their ranges). Returns 0, or the first
// failure: the key could not be opened or created (nothing is written), a write,
// or the store's close.
int saveLastSettings(const TMParameters& params, TMSettingsStore& store);

// Reads each of the eight settings that is stored with the right type and size into
// `params`, clamped to its range (a Light Smoothing or Micro-contrast byte above 4
// gives that setting's default). Returns how many were read (0..8; 0 also when the
// store is missing or unreadable).
int loadLastSettings(TMParameters* params, TMSettingsStore& store);

// Reads the last-used folder into `folder` (kTMFolderSize bytes) when it is stored
// as text that fits there with its zero. Returns 1 when it did, else 0 (the folder
// is kept).
int loadLastFolder(char* folder, TMSettingsStore& store);

// Stores `folder` (zero-terminated within kTMFolderSize bytes). Returns 0 or the failure.
int saveLastFolder(const char* folder, TMSettingsStore& store);

// The same on the current user's store.
int saveLastSettings(const TMParameters& params);
int loadLastSettings(TMParameters* params);
int loadLastFolder(char* folder);
int saveLastFolder(const char* folder);
