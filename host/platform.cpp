#include "platform.h"

#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

int32_t gThreads = 0; // set by TMSetPluginThreads; 0: not set

// The value of TM_THREADS, or an empty string. Windows: from kernel32, which sees
// what a host set in the process environment whatever runtime it links.
std::string threadsVariable()
{
#if defined(_WIN32)
    char value[16] = {};
    const DWORD n = GetEnvironmentVariableA("TM_THREADS", value, sizeof value);
    return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
#else
    const char* value = std::getenv("TM_THREADS");
    return value != nullptr ? std::string(value) : std::string();
#endif
}

} // namespace

void TMSetPluginThreads(int32_t threads) { gThreads = threads >= 0 && threads <= 1024 ? threads : 0; }

int32_t TMPluginThreads()
{
    if (gThreads > 0)
        return gThreads;
    const std::string text = threadsVariable();
    if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    const int32_t n = static_cast<int32_t>(std::strtol(text.c_str(), nullptr, 10));
    return n >= 1 && n <= 1024 ? n : 0;
}

#if defined(_WIN32)

void TMShowMessage(const char* caption, const char* text) { MessageBoxA(nullptr, text, caption, MB_OK); }

#else

std::vector<TMRecordedMessage>& TMRecordedMessages()
{
    static std::vector<TMRecordedMessage> messages;
    return messages;
}

void TMShowMessage(const char* caption, const char* text) { TMRecordedMessages().push_back({caption, text}); }

#endif
