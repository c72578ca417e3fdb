// The setup program as a user runs it in silent mode, under Wine: every file in its
// folder, the installation folder recorded for the dialog's Help button (the
// installed plug-in's real dialog is asked for help, and the page the shell is asked
// to open is recorded by a stand-in for the plug-in's ShellExecuteA import), then
// the uninstaller, which must leave nothing of ours and nothing of anyone else's
// missing. A setup program that cannot write a file refuses before writing any.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "dialog_driver.h"
#include "tm_dialog_ids.h"
#include "tm_sim_host.h"

namespace {

const char kSettingsKey[] = "Software\\Quarrystone\\Kestrimond\\ToneMappingPlugin";
const char kUninstallKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\KestrimondToneMapping";

std::string windowsPath(std::string path)
{
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
}

bool exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool sameBytes(const std::string& a, const std::string& b)
{
    std::ifstream first(a, std::ios::binary), second(b, std::ios::binary);
    return first && second &&
           std::string(std::istreambuf_iterator<char>(first), {}) ==
               std::string(std::istreambuf_iterator<char>(second), {});
}

// The value names of the plug-in's key, sorted.
std::vector<std::string> settingsValues()
{
    std::vector<std::string> names;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return names;
    char name[256];
    for (DWORD i = 0, size = sizeof name;
         RegEnumValueA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
         ++i, size = sizeof name)
        names.push_back(name);
    RegCloseKey(key);
    std::sort(names.begin(), names.end());
    return names;
}

// The files below `folder`, relative to it, sub-folders included.
void filesBelow(const std::string& folder, const std::string& prefix, std::vector<std::string>& out)
{
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        const std::string name = found.cFileName;
        if (name == "." || name == "..")
            continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            filesBelow(folder + "\\" + name, prefix + name + "\\", out);
        else
            out.push_back(prefix + name);
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

// The text value, or "<none>".
std::string registryText(const char* key, const char* name)
{
    char value[1024];
    DWORD size = sizeof value;
    if (RegGetValueA(HKEY_CURRENT_USER, key, name, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS)
        return "<none>";
    return value;
}

// Whether a process of the job is still at work: any but the system's own, which
// the first windowing call of a session may start inside the job (Wine starts its
// desktop process so) and which live on.
bool jobBusy(HANDLE job)
{
    struct {
        JOBOBJECT_BASIC_PROCESS_ID_LIST list;
        ULONG_PTR more[63];
    } ids{};
    ids.list.NumberOfAssignedProcesses = 64;
    if (!QueryInformationJobObject(job, JobObjectBasicProcessIdList, &ids, sizeof ids, nullptr))
        return false;
    char system[MAX_PATH] = "";
    const UINT systemLength = GetSystemDirectoryA(system, sizeof system);
    for (DWORD i = 0; i < ids.list.NumberOfProcessIdsInList; ++i) {
        const HANDLE process =
            OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(ids.list.ProcessIdList[i]));
        if (!process)
            continue;
        char image[MAX_PATH] = "";
        DWORD length = sizeof image;
        const bool named = QueryFullProcessImageNameA(process, 0, image, &length) != FALSE;
        DWORD code = 0;
        const bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
        CloseHandle(process);
        if (running && !(named && systemLength && _strnicmp(image, system, systemLength) == 0))
            return true;
    }
    return false;
}

// Runs the command line and waits for it and every program it starts: the
// uninstaller hands its work to a copy of itself and exits at once. The exit status
// of the first process, or -1. Prints how long it took.
int runToTheEnd(std::string commandLine)
{
    const ULONGLONG start = GetTickCount64();
    const HANDLE job = CreateJobObjectA(nullptr, nullptr);
    if (!job)
        return -1;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr, &startup,
                        &process)) {
        CloseHandle(job);
        return -1;
    }
    AssignProcessToJobObject(job, process.hProcess);
    ResumeThread(process.hThread);
    WaitForSingleObject(process.hProcess, 60000);
    DWORD status = static_cast<DWORD>(-1);
    GetExitCodeProcess(process.hProcess, &status);
    for (int waited = 0; waited < 60000 && jobBusy(job); waited += 20)
        Sleep(20);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(job);
    std::printf("%s: %llu ms\n", commandLine.c_str(), static_cast<unsigned long long>(GetTickCount64() - start));
    return static_cast<int>(status);
}

// The stand-in for ShellExecuteA: records the file and reports success, as the shell
// does when a browser opens the page.
std::vector<std::string> opened;
HINSTANCE WINAPI recordOpen(HWND, LPCSTR, LPCSTR file, LPCSTR, LPCSTR, INT)
{
    opened.push_back(file ? file : "<null>");
    return reinterpret_cast<HINSTANCE>(42);
}

// Points the module's import of shell32!ShellExecuteA at the stand-in; false when
// the module imports no such function.
bool replaceShellExecute(HMODULE module)
{
    auto* base = reinterpret_cast<BYTE*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!imports.VirtualAddress)
        return false;
    for (auto* library = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); library->Name;
         ++library) {
        if (_stricmp(reinterpret_cast<const char*>(base + library->Name), "shell32.dll") != 0)
            continue;
        auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + library->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + library->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), "ShellExecuteA") != 0)
                continue;
            DWORD was = 0;
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &was);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(&recordOpen);
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, was, &was);
            return true;
        }
    }
    return false;
}

// The settings dialog clicks Help, then Cancel; message boxes are recorded and
// answered.
std::vector<std::string> messages;
HHOOK hook = nullptr;

VOID CALLBACK askForHelp(HWND dialog, UINT, UINT_PTR timer, DWORD)
{
    if (!IsWindowVisible(dialog))
        return;
    KillTimer(dialog, timer);
    click(dialog, TM_ID_HELP);
    click(dialog, TM_ID_CANCEL);
}

LRESULT CALLBACK afterWindowProcedure(int code, WPARAM wParam, LPARAM lParam)
{
    const auto* call = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
    if (code == HC_ACTION && call->message == WM_INITDIALOG) {
        const std::string caption = textOf(call->hwnd);
        if (caption.rfind("Tone Mapping ", 0) == 0) {
            SetTimer(call->hwnd, 1, 10, askForHelp);
        } else if (caption == "Error") {
            messages.push_back(textOf(GetDlgItem(call->hwnd, 0xFFFF)));
            PostMessageA(call->hwnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        }
    }
    return CallNextHookEx(hook, code, wParam, lParam);
}

// What the installed plug-in's Help button asks the shell to open.
std::vector<std::string> helpOpenedBy(const std::string& plugin)
{
    opened.clear();
    messages.clear();
    const HMODULE module = LoadLibraryA(plugin.c_str());
    EXPECT_NE(module, nullptr) << plugin;
    if (!module)
        return {};
    EXPECT_TRUE(replaceShellExecute(module)) << "the plug-in does not import ShellExecuteA";
    const auto entry =
        reinterpret_cast<tmsim::EntryPoint>(reinterpret_cast<void*>(GetProcAddress(module, "PluginMain")));
    std::vector<float> pixels(size_t{64} * 48 * 3, 0.5f);
    tmsim::Document document;
    document.source = document.destination = pixels.data();
    document.width = 64;
    document.height = 48;
    document.rowBytes = int64_t{64} * 3 * 4;
    hook = SetWindowsHookExA(WH_CALLWNDPROCRET, afterWindowProcedure, nullptr, GetCurrentThreadId());
    {
        tmsim::Host host(entry, document);
        EXPECT_EQ(host.run(true).result, TMUserCanceledErr);
    }
    UnhookWindowsHookEx(hook);
    EXPECT_EQ(messages, std::vector<std::string>{});
    FreeLibrary(module);
    return opened;
}

struct Installer : ::testing::Test {
    std::string root, plugins64, plugins32;
    void SetUp() override
    {
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        // Spaces on purpose: /D= takes the rest of the command line unquoted.
        root = std::string(temp) + "tm setup test " + std::to_string(GetCurrentProcessId());
        plugins64 = root + "\\64-bit plug-ins";
        plugins32 = root + "\\32-bit plug-ins";
        CreateDirectoryA(root.c_str(), nullptr);
        RegDeleteTreeA(HKEY_CURRENT_USER, kSettingsKey);
        RegDeleteTreeA(HKEY_CURRENT_USER, kUninstallKey);
    }
    void TearDown() override
    {
        // Whatever a failed test left; the prefix is shared with the other tests.
        std::vector<std::string> left;
        filesBelow(root, "", left);
        for (const std::string& file : left)
            DeleteFileA((root + "\\" + file).c_str());
        for (const char* folder :
             {"\\64-bit plug-ins\\ToneMappingHelp_files", "\\64-bit plug-ins", "\\32-bit plug-ins", ""})
            RemoveDirectoryA((root + folder).c_str());
        RegDeleteTreeA(HKEY_CURRENT_USER, kSettingsKey);
        RegDeleteTreeA(HKEY_CURRENT_USER, kUninstallKey);
    }
    int install() const
    {
        return runToTheEnd("\"" + windowsPath(TM_TEST_SETUP) + "\" /S /PLUGINS32=\"" + plugins32 +
                           "\" /D=" + plugins64);
    }
};

} // namespace

TEST_F(Installer, InstallsWhereChosenOpensItsHelpAndUninstallsOnlyItsOwn)
{
    // Another filter in the same folder, and last-used settings from an earlier run.
    CreateDirectoryA(plugins64.c_str(), nullptr);
    const std::string other = plugins64 + "\\Other Filter.8bf";
    std::ofstream(other, std::ios::binary) << "someone else's";
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const DWORD earlier = 55;
    RegSetValueExA(key, "earlier run", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&earlier), sizeof earlier);
    RegCloseKey(key);

    ASSERT_EQ(install(), 0);

    // Every file where it belongs, byte for byte.
    const std::string help = windowsPath(TM_TEST_HELP_DIR);
    std::vector<std::string> page;
    filesBelow(help, "", page);
    std::vector<std::string> expected = {"ToneMapping.8bf", "ToneMappingUninstall.exe",
                                         other.substr(plugins64.size() + 1)};
    for (const std::string& file : page)
        if (file == "ToneMappingHelp.html" || file.rfind("ToneMappingHelp_files\\", 0) == 0) {
            expected.push_back(file);
            EXPECT_TRUE(sameBytes(plugins64 + "\\" + file, help + "\\" + file)) << file;
        }
    std::vector<std::string> installed;
    filesBelow(plugins64, "", installed);
    std::sort(expected.begin(), expected.end());
    std::sort(installed.begin(), installed.end());
    EXPECT_EQ(installed, expected);
    EXPECT_TRUE(sameBytes(plugins64 + "\\ToneMapping.8bf", windowsPath(TM_TEST_PLUGIN64)));
    std::vector<std::string> installed32;
    filesBelow(plugins32, "", installed32);
    EXPECT_EQ(installed32, std::vector<std::string>{"ToneMapping.8bf"});
    EXPECT_TRUE(sameBytes(plugins32 + "\\ToneMapping.8bf", windowsPath(TM_TEST_PLUGIN32)));

    // The folder for the Help button, without a trailing backslash; the removal entry.
    EXPECT_EQ(registryText(kSettingsKey, "Path"), plugins64);
    EXPECT_EQ(registryText(kUninstallKey, "Publisher"), "Quarrystone");
    EXPECT_EQ(registryText(kUninstallKey, "DisplayName"), "Kestrimond Tone Mapping");
    EXPECT_EQ(registryText(kUninstallKey, "UninstallString"), "\"" + plugins64 + "\\ToneMappingUninstall.exe\"");

    // The installed plug-in's Help button opens the installed page.
    EXPECT_EQ(helpOpenedBy(plugins64 + "\\ToneMapping.8bf"),
              std::vector<std::string>{plugins64 + "\\ToneMappingHelp.html"});

    // Silent removal through the recorded command: ours gone, the rest kept (the
    // dialog has stored its last-used settings beside "Path" by now).
    std::vector<std::string> lastUsed = settingsValues();
    lastUsed.erase(std::remove(lastUsed.begin(), lastUsed.end(), "Path"), lastUsed.end());
    ASSERT_GT(lastUsed.size(), 1u);
    ASSERT_EQ(runToTheEnd(registryText(kUninstallKey, "QuietUninstallString")), 0);
    std::vector<std::string> left;
    filesBelow(root, "", left);
    EXPECT_EQ(left, std::vector<std::string>{"64-bit plug-ins\\Other Filter.8bf"});
    EXPECT_FALSE(exists(plugins32)) << "its folder was left empty, and is removed";
    EXPECT_EQ(settingsValues(), lastUsed);
    DWORD kept = 0, size = sizeof kept;
    EXPECT_EQ(RegGetValueA(HKEY_CURRENT_USER, kSettingsKey, "earlier run", RRF_RT_REG_DWORD, nullptr, &kept, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(kept, earlier);
    HKEY entry = nullptr;
    EXPECT_NE(RegOpenKeyExA(HKEY_CURRENT_USER, kUninstallKey, 0, KEY_READ, &entry), ERROR_SUCCESS);
}

TEST_F(Installer, RefusesBeforeWritingAnythingWhenAFileCannotBeWritten)
{
    // The last file it would write is held open, as a running program holds its own.
    CreateDirectoryA(plugins64.c_str(), nullptr);
    const std::string held = plugins64 + "\\ToneMappingUninstall.exe";
    const HANDLE holder = CreateFileA(held.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);

    EXPECT_EQ(install(), 2);
    CloseHandle(holder);

    std::vector<std::string> left;
    filesBelow(root, "", left);
    EXPECT_EQ(left, std::vector<std::string>{"64-bit plug-ins\\ToneMappingUninstall.exe"});
    EXPECT_FALSE(exists(plugins64 + "\\ToneMappingHelp_files")) << "a folder the checks made is removed";
    EXPECT_FALSE(exists(plugins32));
    EXPECT_EQ(registryText(kSettingsKey, "Path"), "<none>");
    HKEY entry = nullptr;
    EXPECT_NE(RegOpenKeyExA(HKEY_CURRENT_USER, kUninstallKey, 0, KEY_READ, &entry), ERROR_SUCCESS);
}
