// The few platform services the plug-in entry needs. On Windows they are the
// system's; elsewhere a recording stand-in lets every path run and be tested.
#pragma once

#include <string>
#include <vector>

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
