// The message boxes the plug-in has shown, as the host tests see them:
// TMRecordedMessages() on every platform. Natively the plug-in's own stand-in
// (platform.cpp) records them. On Windows the real MessageBoxA runs, and
// shown_messages_win.cpp reads each message box on the test thread as it opens and
// answers it with OK, so that the system path is tested and no test waits for a user.
#pragma once

#include "platform.h"

#if defined(_WIN32)
#include <string>
#include <vector>

struct TMRecordedMessage {
    std::string caption;
    std::string text;
};
// Message boxes shown by this process since it started (or the list was cleared).
std::vector<TMRecordedMessage>& TMRecordedMessages();
#endif
