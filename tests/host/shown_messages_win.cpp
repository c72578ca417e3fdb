// Windows side of shown_messages.h: a hook on the test thread's window procedures
// sees every dialog as it finishes WM_INITDIALOG, when a message box has its caption
// and text; it records them and posts the OK button's command, which ends the box.
#include "shown_messages.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>

namespace {

HHOOK hook = nullptr;

std::string windowText(HWND window)
{
    char text[1024] = "";
    GetWindowTextA(window, text, sizeof text);
    return text;
}

LRESULT CALLBACK afterWindowProcedure(int code, WPARAM wParam, LPARAM lParam)
{
    const auto* call = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
    char className[16] = "";
    if (code == HC_ACTION && call->message == WM_INITDIALOG && GetClassNameA(call->hwnd, className, sizeof className) &&
        std::strcmp(className, "#32770") == 0) {
        // The message text is the static control with id 0xFFFF (-1) of the dialog.
        const HWND textControl = GetDlgItem(call->hwnd, 0xFFFF);
        TMRecordedMessages().push_back({windowText(call->hwnd), textControl ? windowText(textControl) : ""});
        PostMessageA(call->hwnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    }
    return CallNextHookEx(hook, code, wParam, lParam);
}

// Installed before the first test, on the thread that runs them all.
struct MessageBoxWatch : ::testing::Environment {
    void SetUp() override
    {
        hook = SetWindowsHookExA(WH_CALLWNDPROCRET, afterWindowProcedure, nullptr, GetCurrentThreadId());
        ASSERT_NE(hook, nullptr) << "no hook, so a message box would wait for a user; error " << GetLastError();
    }
    void TearDown() override
    {
        if (hook)
            UnhookWindowsHookEx(hook);
        hook = nullptr;
    }
};

[[maybe_unused]] ::testing::Environment* const watch = ::testing::AddGlobalTestEnvironment(new MessageBoxWatch);

} // namespace

std::vector<TMRecordedMessage>& TMRecordedMessages()
{
    static std::vector<TMRecordedMessage> messages;
    return messages;
}
