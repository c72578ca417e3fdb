// The plug-in's own PiPL and terminology resources, built from tm_plugin_info.h.
#pragma once

#include <cstdint>
#include <vector>

#include "tm_resource_bytes.h"

// The code property of the PiPL names the entry point for one processor: a host
// reads only the property of its own kind, so each DLL carries the one it is.
enum class TMArch {
    X86, // 32-bit Windows: 'wx86'
    X64, // 64-bit Windows: '8664'
};

std::vector<TMPiPLProperty> TMPluginProperties(TMArch arch);
std::vector<uint8_t> TMPluginPiPL(TMArch arch);

TMAete TMPluginTerminology();
std::vector<uint8_t> TMPluginAete();
