// The few platform services the plug-in entry needs. On Windows they are the
// system's; elsewhere a recording stand-in lets every path run and be tested.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Threads of a render and of a preview recompute: the count set by
// TMSetPluginThreads, else the environment variable TM_THREADS when it holds
// 1..1024 (how a test host chooses the count for a loaded plug-in), else 0: every
// core the process may use.
int32_t TMPluginThreads();
// Sets the count for this process: 1..1024, or 0 to go back to the default.
void TMSetPluginThreads(int32_t threads);

// A modal message box with an OK button and no owner window.
void TMShowMessage(const char* caption, const char* text);

#if !defined(_WIN32)
struct TMRecordedMessage {
    std::string caption;
    std::string text;
};
// Messages shown so far by this process (stand-in only).
std::vector<TMRecordedMessage>& TMRecordedMessages();
#endif
