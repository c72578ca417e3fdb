// tm-windows: lists the visible top-level windows of the desktop it runs on, one a
// line, tab-separated: left, top, width and height of the window rectangle in
// pixels (desktop coordinates, frame included), the file name of the owning
// process's program, and the window's title. scripts/dialog-screenshots finds the
// windows of tmhost.exe with it, to cut them out of a picture of the screen.
#include <windows.h>

#include <cstdio>
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

int main()
{
    EnumWindows(listWindow, 0);
    return 0;
}
