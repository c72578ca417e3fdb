#include "platform.h"

#if defined(_WIN32)
#include <windows.h>

void TMShowMessage(const char* caption, const char* text) { MessageBoxA(nullptr, text, caption, MB_OK); }

#else

std::vector<TMRecordedMessage>& TMRecordedMessages()
{
    static std::vector<TMRecordedMessage> messages;
    return messages;
}

void TMShowMessage(const char* caption, const char* text) { TMRecordedMessages().push_back({caption, text}); }

#endif
