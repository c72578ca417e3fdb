// tm-windows: lists the visible top-level windows of the desktop it runs on, one a
// line, tab-separated: left, top, width and height of the window rectangle in
// pixels (desktop coordinates, frame included), the file name of the owning
// process's program, and the window's title. scripts/dialog-screenshots finds the
// windows of tmhost.exe with it, to cut them out of a picture of the screen.
//
//   tm-windows                      list the windows
//   tm-windows click TITLE ID       click control ID of the window titled TITLE
//                                   (BM_CLICK: a button, check box or radio button)
//   tm-windows hover TITLE ID       move the mouse over control ID (WM_MOUSEMOVE)
//   tm-windows key TITLE ID VK      press and release virtual key VK (a number) on
//                                   control ID (a slider steps with the arrows)
//
// Exit status 0, or 1 when the window or the control is not there.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void programOf(HWND window, char* name, DWORD size)
{
    name[0] = 0;
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    const HANDLE handle = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process);
    if (!handle)
        return;
    char path[MAX_PATH] = "";
    DWORD length = sizeof path;
    if (QueryFullProcessImageNameA(handle, 0, path, &length)) {
        const char* slash = std::strrchr(path, '\\');
        std::snprintf(name, size, "%s", slash ? slash + 1 : path);
    }
    CloseHandle(handle);
}

BOOL CALLBACK listWindow(HWND window, LPARAM)
{
    RECT r;
    if (!IsWindowVisible(window) || !GetWindowRect(window, &r) || r.right <= r.left || r.bottom <= r.top)
        return TRUE;
    char program[MAX_PATH], title[512] = "";
    programOf(window, program, sizeof program);
    GetWindowTextA(window, title, sizeof title);
    std::printf("%ld\t%ld\t%ld\t%ld\t%s\t%s\n", r.left, r.top, r.right - r.left, r.bottom - r.top, program, title);
    return TRUE;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 1) {
        EnumWindows(listWindow, 0);
        return 0;
    }
    const bool key = argc == 5 && std::strcmp(argv[1], "key") == 0;
    if (!key && (argc != 4 || (std::strcmp(argv[1], "click") != 0 && std::strcmp(argv[1], "hover") != 0))) {
        std::fprintf(stderr, "usage: tm-windows [click|hover TITLE ID | key TITLE ID VK]\n");
        return 2;
    }
    const HWND window = FindWindowA(nullptr, argv[2]);
    const HWND control = window ? GetDlgItem(window, std::atoi(argv[3])) : nullptr;
    if (!control) {
        std::fprintf(stderr, "tm-windows: no control %s in a window \"%s\"\n", argv[3], argv[2]);
        return 1;
    }
    if (key) {
        const WPARAM vk = static_cast<WPARAM>(std::atoi(argv[4]));
        SendMessageA(control, WM_KEYDOWN, vk, 1);
        SendMessageA(control, WM_KEYUP, vk, 0xC0000001);
    } else if (argv[1][0] == 'c')
        SendMessageA(control, BM_CLICK, 0, 0);
    else
        SendMessageA(control, WM_MOUSEMOVE, 0, MAKELPARAM(3, 3));
    return 0;
}
