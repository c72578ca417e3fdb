// The plug-in's one exported entry point, called by the host once per selector.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#define TM_EXPORT __declspec(dllexport)
#else
#define TM_EXPORT __attribute__((visibility("default")))
#endif

extern "C" TM_EXPORT void PluginMain(int16_t selector, void* record, intptr_t* data, int16_t* result);

// Channel count of an image mode (0 for modes outside the table).
int32_t TMModeChannels(int16_t mode);
