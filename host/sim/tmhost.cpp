// tmhost: a Windows filter host for a built plug-in, the simulated host compiled for
// Windows. It loads the module with LoadLibrary, finds its filter entries with the
// resource functions (every 'PIPL' resource is one entry), takes the entry point
// that the entry's code property names for this processor, and runs the filter
// through it: on files with the default settings, replayed as a recorded action (no
// dialog), or in front of a person, as a host runs a filter picked from its menu.
//
//   tmhost PLUGIN                     list the module's filter entries
//   tmhost PLUGIN IN OUT [IN OUT ...] render each IN to OUT
//   tmhost PLUGIN --dialog IN OUT     run the filter on IN with its dialog due (the
//                                     Parameters call comes first and no settings
//                                     are replayed); the dialog decides: OK renders
//                                     with its settings and writes OUT, Cancel
//                                     writes nothing
//   tmhost PLUGIN --about             the About selector
//   tmhost --window                   show the main window and its test pattern
//                                     until the window is closed
//   tmhost --time RUNS PLUGIN IN ...  time RUNS renders of each IN, RUNS full
//                                     recomputes of its preview and 10 x RUNS
//                                     output-only refreshes (tm_sim_timing.h);
//                                     nothing is written
//   tmhost --threads N ...            any of the above with the plug-in's renders
//                                     and previews on N threads (1..1024; 0 every
//                                     core), passed to it in TM_THREADS
//
// --dialog, --about and --window open the host's main window (tm_sim_window.h): the
// owner of the plug-in's dialogs, handed over in the platform data; displayPixels
// draws with GDI. IN and OUT: PFM (float, 1 or 3 channels) or 16-bit PGM/PPM, as
// the shared Netpbm codec reads and writes them (tm_netpbm_codec.h). Exit status:
// 0 done, 1 a render failed, 2 the module, its resources, a file or the window could
// not be used, 3 the user cancelled (nothing written).
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tm_netpbm_file.h"
#include "tm_parameters.h"
#include "tm_protocol.h"
#include "tm_samples.h"
#include "tm_sim_run.h"
#include "tm_sim_timing.h"
#include "tm_sim_window.h"

namespace {

enum ExitStatus { kDone = 0, kFailed = 1, kUnusable = 2, kCanceled = 3 };

constexpr char kUsage[] = "Usage: tmhost PLUGIN [IN OUT ...]\n"
                          "       tmhost PLUGIN --dialog IN OUT\n"
                          "       tmhost PLUGIN --about\n"
                          "       tmhost --window\n"
                          "       tmhost --time RUNS PLUGIN IN ...\n";

// The code property for this processor: 32-bit x86 or x64.
#if defined(_WIN64)
constexpr TMFourCC kCodeKey = TMFourCCOf("8664");
#else
constexpr TMFourCC kCodeKey = TMFourCCOf("wx86");
#endif

uint32_t le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t{p[3]} << 24); }
uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

struct FilterEntry {
    int id = 0;
    std::string name, category, entryPoint;
    bool isFilter = false;
    uint32_t version = 0;
};

// Properties follow a 10-byte header (reserved 1, list version 0, count); each is
// vendor, key, id, length and the data padded to four bytes.
bool parsePiPL(const uint8_t* data, size_t size, FilterEntry* entry, std::string* error)
{
    if (size < 10 || le16(data) != 1 || le32(data + 2) != 0) {
        *error = "not a property list";
        return false;
    }
    const uint32_t count = le32(data + 6);
    size_t at = 10;
    for (uint32_t i = 0; i < count; ++i) {
        if (at + 16 > size) {
            *error = "property " + std::to_string(i) + " runs past the resource";
            return false;
        }
        const uint32_t key = le32(data + at + 4), length = le32(data + at + 12);
        const uint8_t* value = data + at + 16;
        if (length > size - at - 16) {
            *error = "property " + std::to_string(i) + " runs past the resource";
            return false;
        }
        auto pascalText = [&] {
            return std::string(reinterpret_cast<const char*>(value + 1), std::min<size_t>(value[0], length - 1));
        };
        auto cString = [&] {
            return std::string(reinterpret_cast<const char*>(value),
                               strnlen(reinterpret_cast<const char*>(value), length));
        };
        if (key == TMFourCCOf("kind") && length >= 4)
            entry->isFilter = le32(value) == TMFourCCOf("8BFM");
        else if (key == TMFourCCOf("name") && length >= 1)
            entry->name = pascalText();
        else if (key == TMFourCCOf("catg") && length >= 1)
            entry->category = pascalText();
        else if (key == TMFourCCOf("vers") && length >= 4)
            entry->version = le32(value);
        else if (key == kCodeKey)
            entry->entryPoint = cString();
        at += 16 + ((length + 3u) & ~size_t{3});
    }
    return true;
}

BOOL CALLBACK collectName(HMODULE, LPCSTR, LPSTR name, LONG_PTR ids)
{
    if (IS_INTRESOURCE(name))
        reinterpret_cast<std::vector<int>*>(ids)->push_back(static_cast<int>(reinterpret_cast<uintptr_t>(name)));
    return TRUE;
}

bool findFilterEntries(HMODULE module, std::vector<FilterEntry>* entries, std::string* error)
{
    std::vector<int> ids;
    if (!EnumResourceNamesA(module, "PIPL", collectName, reinterpret_cast<LONG_PTR>(&ids)) || ids.empty()) {
        *error = "the module has no PIPL resource";
        return false;
    }
    for (int id : ids) {
        HRSRC info = FindResourceA(module, MAKEINTRESOURCEA(id), "PIPL");
        HGLOBAL loaded = info ? LoadResource(module, info) : nullptr;
        const void* bytes = loaded ? LockResource(loaded) : nullptr;
        if (!bytes) {
            *error = "PIPL " + std::to_string(id) + " cannot be loaded";
            return false;
        }
        FilterEntry entry;
        entry.id = id;
        if (!parsePiPL(static_cast<const uint8_t*>(bytes), SizeofResource(module, info), &entry, error)) {
            *error = "PIPL " + std::to_string(id) + ": " + *error;
            return false;
        }
        entries->push_back(entry);
    }
    return true;
}

// The picture as the host's document, rendered in place: 16-bit file values are
// turned into the host's range 0..32768 here and back by fromHost.
tmsim::Document toHost(TMNetpbmPicture* p)
{
    const TMNetpbmHeader& h = p->header;
    if (!h.isFloat)
        for (uint16_t& v : p->u16)
            v = TMFileToHost16(v);
    tmsim::Document doc;
    doc.source = doc.destination = h.isFloat ? static_cast<void*>(p->f32.data()) : static_cast<void*>(p->u16.data());
    doc.width = h.width;
    doc.height = h.height;
    doc.planes = h.channels;
    doc.rowBytes = int64_t{h.width} * h.channels * (h.isFloat ? 4 : 2);
    doc.depth = h.isFloat ? 32 : 16;
    doc.imageMode = h.isFloat ? TMModeRGB96 : TMModeRGB48;
    return doc;
}

void fromHost(TMNetpbmPicture* p)
{
    if (!p->header.isFloat)
        for (uint16_t& v : p->u16)
            v = TMHostToFile16(v);
}

// Renders `p` in place through the entry point with the default settings.
tmsim::Outcome render(tmsim::EntryPoint entry, TMNetpbmPicture* p)
{
    const tmsim::Document doc = toHost(p);
    TMParameters params{};
    applyDefaults(&params, p->header.isFloat ? TMSampleFloat32 : TMSample16);
    const tmsim::Outcome outcome = tmsim::RunWithSettings(entry, doc, params);
    fromHost(p);
    return outcome;
}

TMNetpbmView viewOf(const TMNetpbmPicture& p)
{
    TMNetpbmView view;
    view.width = p.header.width;
    view.height = p.header.height;
    view.channels = p.header.channels;
    if (p.header.isFloat)
        view.f32 = p.f32.data();
    else
        view.u16 = p.u16.data();
    return view;
}

// The module's first filter entry with a code property for this processor, after
// listing every entry; null (with the reason printed) when there is none.
tmsim::EntryPoint loadEntry(const char* path, HMODULE* module)
{
    *module = LoadLibraryA(path);
    if (!*module) {
        std::fprintf(stderr, "tmhost: cannot load %s (error %lu)\n", path, GetLastError());
        return nullptr;
    }
    std::vector<FilterEntry> entries;
    std::string error;
    if (!findFilterEntries(*module, &entries, &error)) {
        std::fprintf(stderr, "tmhost: %s: %s\n", path, error.c_str());
        return nullptr;
    }
    tmsim::EntryPoint entry = nullptr;
    for (const FilterEntry& e : entries) {
        std::printf("entry %d: kind %s, version %u.%u, category \"%s\", name \"%s\", code \"%s\"\n", e.id,
                    e.isFilter ? "filter" : "other", e.version >> 16, e.version & 0xFFFF, e.category.c_str(),
                    e.name.c_str(), e.entryPoint.c_str());
        if (!entry && e.isFilter && !e.entryPoint.empty())
            entry = reinterpret_cast<tmsim::EntryPoint>(
                reinterpret_cast<void*>(GetProcAddress(*module, e.entryPoint.c_str())));
    }
    if (!entry)
        std::fprintf(stderr, "tmhost: no filter entry with a code property for this processor is exported\n");
    return entry;
}

// The timing mode: each file's renders and preview, reported as the native build's
// twin (bench/tm_host_time.cpp) reports them.
int timeFiles(int runs, tmsim::EntryPoint entry, char** files, int count)
{
    for (int i = 0; i < count; ++i) {
        TMNetpbmPicture picture;
        TMNetpbmError readError;
        if (!TMNetpbmReadFile(files[i], &picture, &readError)) {
            std::fprintf(stderr, "tmhost: cannot read %s: %s\n", files[i], readError.message.c_str());
            return 2;
        }
        const TMNetpbmHeader& h = picture.header;
        if (!h.isFloat)
            for (uint16_t& v : picture.u16)
                v = TMFileToHost16(v);
        tmsim::TimedImage image;
        image.isFloat = h.isFloat;
        image.width = h.width;
        image.height = h.height;
        image.planes = h.channels;
        image.samples = h.isFloat ? static_cast<const void*>(picture.f32.data()) : picture.u16.data();
        std::string error;
        tmsim::Timing renders, full, refresh;
        if (!tmsim::TimeRenders(entry, image, runs, &renders, &error) ||
            !tmsim::TimePreview(image, runs, 10 * runs, &full, &refresh, &error)) {
            std::fprintf(stderr, "tmhost: %s: %s\n", files[i], error.c_str());
            return 1;
        }
        std::printf("%s", tmsim::TimingReport(files[i], image, renders, full, refresh).c_str());
        std::fflush(stdout);
    }
    return 0;
}

bool readPicture(const char* path, TMNetpbmPicture* picture)
{
    TMNetpbmError error;
    if (TMNetpbmReadFile(path, picture, &error))
        return true;
    std::fprintf(stderr, "tmhost: cannot read %s: %s\n", path, error.message.c_str());
    return false;
}

HWND openMainWindow(const std::string& title)
{
    const HWND window = tmsim::CreateMainWindow(title.c_str());
    if (!window)
        std::fprintf(stderr, "tmhost: cannot create the main window (error %lu)\n", GetLastError());
    return window;
}

// The filter as a person picks it from a host's menu: Parameters, Prepare, Start
// with the dialog due, the continue loop and Finish, owned by the main window.
int runWithDialog(const char* plugin, const char* in, const char* out)
{
    HMODULE module = nullptr;
    const tmsim::EntryPoint entry = loadEntry(plugin, &module);
    TMNetpbmPicture picture;
    if (!entry || !readPicture(in, &picture))
        return kUnusable;
    const std::string title = std::string("tmhost - ") + in;
    const HWND window = openMainWindow(title);
    if (!window)
        return kUnusable;
    tmsim::Options options = tmsim::WindowOptions(window);
    options.onProgress = [&](int32_t done, int32_t total) {
        if (total <= 0 || done < 0 || done > total)
            return; // the host counts it as a misuse; nothing to show
        const std::string text = title + " - rendering " + std::to_string(100LL * done / total) + " %";
        SetWindowTextA(window, text.c_str());
    };
    int16_t result = TMNoErr;
    std::string failure;
    {
        tmsim::Host host(entry, toHost(&picture), options);
        result = host.run(true).result;
        if (result != TMNoErr)
            failure = tmsim::FailureText(host);
    }
    DestroyWindow(window);
    FreeLibrary(module);
    if (result == TMUserCanceledErr) {
        std::printf("%s: cancelled, nothing written\n", in);
        return kCanceled;
    }
    if (result != TMNoErr) {
        std::fprintf(stderr, "tmhost: %s: the filter returned %d: %s\n", in, result, failure.c_str());
        return kFailed;
    }
    fromHost(&picture);
    std::string error;
    if (!TMNetpbmWriteFile(out, viewOf(picture), &error)) {
        std::fprintf(stderr, "tmhost: cannot write %s: %s\n", out, error.c_str());
        return kUnusable;
    }
    std::printf("%s -> %s\n", in, out);
    return kDone;
}

int runAbout(const char* plugin)
{
    HMODULE module = nullptr;
    const tmsim::EntryPoint entry = loadEntry(plugin, &module);
    if (!entry)
        return kUnusable;
    const HWND window = openMainWindow(std::string("tmhost - ") + plugin);
    if (!window)
        return kUnusable;
    // A small main window for the box to reach past: Wine's X11 driver without a
    // window manager leaves black a window that lies wholly inside its owner (a plain
    // MessageBox too), though it paints it; the box itself is the same either way.
    SetWindowPos(window, nullptr, 0, 0, 320, 200, SWP_NOMOVE | SWP_NOZORDER);
    // The About selector takes no image; the host's record still needs a document.
    float pixel[3] = {};
    tmsim::Document doc;
    doc.source = doc.destination = pixel;
    doc.width = doc.height = 1;
    doc.rowBytes = sizeof pixel;
    int16_t result = TMNoErr;
    {
        tmsim::Host host(entry, doc, tmsim::WindowOptions(window));
        result = host.about();
    }
    DestroyWindow(window);
    FreeLibrary(module);
    if (result != TMNoErr) {
        std::fprintf(stderr, "tmhost: About returned %d\n", result);
        return kFailed;
    }
    std::printf("about: done\n");
    return kDone;
}

int showWindow()
{
    if (!openMainWindow("tmhost - test pattern"))
        return kUnusable;
    std::printf("tmhost: the main window shows the test pattern; close it to end\n");
    std::fflush(stdout);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return kDone;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 3 && std::strcmp(argv[1], "--threads") == 0) {
        const std::string count = argv[2];
        const bool digits =
            !count.empty() && count.size() <= 4 && count.find_first_not_of("0123456789") == std::string::npos;
        const int n = digits ? std::atoi(count.c_str()) : -1;
        if (n < 0 || n > 1024) {
            std::fprintf(stderr, "tmhost: --threads must be 0 (every core) or 1 to 1024, got '%s'\n", argv[2]);
            return kUnusable;
        }
        // 0: the plug-in's default, every core.
        SetEnvironmentVariableA("TM_THREADS", n > 0 ? count.c_str() : nullptr);
        argv[2] = argv[0];
        argv += 2;
        argc -= 2;
    }
    if (argc == 2 && std::strcmp(argv[1], "--window") == 0)
        return showWindow();
    if (argc == 3 && std::strcmp(argv[2], "--about") == 0)
        return runAbout(argv[1]);
    if (argc == 5 && std::strcmp(argv[2], "--dialog") == 0)
        return runWithDialog(argv[1], argv[3], argv[4]);
    if (argc >= 5 && std::strcmp(argv[1], "--time") == 0) {
        const int runs = std::atoi(argv[2]);
        if (runs < 1) {
            std::fprintf(stderr, "tmhost: --time needs a number of runs, got '%s'\n", argv[2]);
            return 2;
        }
        HMODULE module = nullptr;
        const tmsim::EntryPoint entry = loadEntry(argv[3], &module);
        if (!entry)
            return 2;
        const int status = timeFiles(runs, entry, argv + 4, argc - 4);
        FreeLibrary(module);
        return status;
    }
    if (argc < 2 || argc % 2 != 0) {
        std::fputs(kUsage, stderr);
        return kUnusable;
    }
    HMODULE module = nullptr;
    const tmsim::EntryPoint entry = loadEntry(argv[1], &module);
    if (!entry)
        return 2;
    int status = 0;
    std::string error;
    for (int i = 2; i + 1 < argc; i += 2) {
        TMNetpbmPicture picture;
        TMNetpbmError readError;
        if (!TMNetpbmReadFile(argv[i], &picture, &readError)) {
            std::fprintf(stderr, "tmhost: cannot read %s: %s\n", argv[i], readError.message.c_str());
            return 2;
        }
        const tmsim::Outcome outcome = render(entry, &picture);
        if (outcome.result != 0) {
            std::fprintf(stderr, "tmhost: %s: the filter returned %d: %s\n", argv[i], outcome.result,
                         outcome.failure.c_str());
            status = 1;
            continue;
        }
        if (!TMNetpbmWriteFile(argv[i + 1], viewOf(picture), &error)) {
            std::fprintf(stderr, "tmhost: cannot write %s: %s\n", argv[i + 1], error.c_str());
            return 2;
        }
        std::printf("%s -> %s\n", argv[i], argv[i + 1]);
    }
    FreeLibrary(module);
    return status;
}
