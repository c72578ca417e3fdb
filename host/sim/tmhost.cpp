// tmhost: a Windows filter host for a built plug-in, the simulated host compiled for
// Windows. It loads the module with LoadLibrary, finds its filter entries with the
// resource functions (every 'PIPL' resource is one entry), takes the entry point
// that the entry's code property names for this processor, and renders images
// through it with the default settings, replayed as a recorded action (no dialog).
//
//   tmhost PLUGIN                     list the module's filter entries
//   tmhost PLUGIN IN OUT [IN OUT ...] render each IN to OUT
//   tmhost --time RUNS PLUGIN IN ...  time RUNS renders of each IN, RUNS full
//                                     recomputes of its preview and 10 x RUNS
//                                     output-only refreshes (tm_sim_timing.h);
//                                     nothing is written
//
// IN and OUT: PFM (float, 1 or 3 channels, either byte order; written
// little-endian) or binary PGM/PPM with maxval 65535. Exit status: 0 done, 1 a
// render failed, 2 the module, its resources or a file could not be used.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tm_parameters.h"
#include "tm_protocol.h"
#include "tm_samples.h"
#include "tm_sim_run.h"
#include "tm_sim_timing.h"

namespace {

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
        auto pascalText = [&] { return std::string(reinterpret_cast<const char*>(value + 1), std::min<size_t>(value[0], length - 1)); };
        auto cString = [&] { return std::string(reinterpret_cast<const char*>(value), strnlen(reinterpret_cast<const char*>(value), length)); };
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

// --- Image files ---------------------------------------------------------------------

struct Picture {
    int32_t width = 0, height = 0, channels = 0;
    bool isFloat = true;
    std::vector<float> f32;      // rows top to bottom
    std::vector<uint16_t> u16;   // file values 0..65535
};

bool readHeaderFields(std::istream& in, std::string* magic, std::vector<std::string>* fields, int count)
{
    in >> *magic;
    for (int i = 0; i < count; ++i) {
        std::string f;
        if (!(in >> f))
            return false;
        fields->push_back(f);
    }
    in.get(); // the single white-space character before the samples
    return static_cast<bool>(in);
}

bool readPicture(const std::string& path, Picture* p, std::string* error)
{
    std::ifstream in(path, std::ios::binary);
    std::string magic;
    std::vector<std::string> f;
    if (!in || !readHeaderFields(in, &magic, &f, 3)) {
        *error = "cannot read " + path;
        return false;
    }
    p->width = std::atoi(f[0].c_str());
    p->height = std::atoi(f[1].c_str());
    if (p->width <= 0 || p->height <= 0 || p->width > 100000 || p->height > 100000) {
        *error = path + ": bad size";
        return false;
    }
    const size_t pixels = static_cast<size_t>(p->width) * p->height;
    if (magic == "PF" || magic == "Pf") {
        p->channels = magic == "PF" ? 3 : 1;
        p->isFloat = true;
        const bool little = std::atof(f[2].c_str()) < 0.0;
        std::vector<uint8_t> raw(pixels * p->channels * 4);
        in.read(reinterpret_cast<char*>(raw.data()), static_cast<std::streamsize>(raw.size()));
        if (!in) {
            *error = path + ": truncated";
            return false;
        }
        p->f32.resize(pixels * p->channels);
        const size_t row = static_cast<size_t>(p->width) * p->channels;
        for (int32_t y = 0; y < p->height; ++y) // stored bottom to top
            for (size_t i = 0; i < row; ++i) {
                const uint8_t* b = &raw[(static_cast<size_t>(p->height - 1 - y) * row + i) * 4];
                const uint32_t bits = little ? le32(b) : (uint32_t{b[0]} << 24 | b[1] << 16 | b[2] << 8 | b[3]);
                std::memcpy(&p->f32[y * row + i], &bits, 4);
            }
        return true;
    }
    if ((magic == "P6" || magic == "P5") && f[2] == "65535") {
        p->channels = magic == "P6" ? 3 : 1;
        p->isFloat = false;
        std::vector<uint8_t> raw(pixels * p->channels * 2);
        in.read(reinterpret_cast<char*>(raw.data()), static_cast<std::streamsize>(raw.size()));
        if (!in) {
            *error = path + ": truncated";
            return false;
        }
        p->u16.resize(pixels * p->channels);
        for (size_t i = 0; i < p->u16.size(); ++i)
            p->u16[i] = static_cast<uint16_t>(raw[2 * i] << 8 | raw[2 * i + 1]);
        return true;
    }
    *error = path + ": not a PFM or a 16-bit PGM/PPM file";
    return false;
}

bool writePicture(const std::string& path, const Picture& p, std::string* error)
{
    std::ofstream out(path, std::ios::binary);
    const size_t row = static_cast<size_t>(p.width) * p.channels;
    if (p.isFloat) {
        out << (p.channels == 3 ? "PF" : "Pf") << '\n' << p.width << ' ' << p.height << "\n-1\n";
        for (int32_t y = p.height - 1; y >= 0; --y)
            out.write(reinterpret_cast<const char*>(&p.f32[y * row]), static_cast<std::streamsize>(row * 4));
    } else {
        out << (p.channels == 3 ? "P6" : "P5") << '\n' << p.width << ' ' << p.height << "\n65535\n";
        std::vector<uint8_t> raw(p.u16.size() * 2);
        for (size_t i = 0; i < p.u16.size(); ++i) {
            raw[2 * i] = static_cast<uint8_t>(p.u16[i] >> 8);
            raw[2 * i + 1] = static_cast<uint8_t>(p.u16[i]);
        }
        out.write(reinterpret_cast<const char*>(raw.data()), static_cast<std::streamsize>(raw.size()));
    }
    out.close();
    if (!out) {
        *error = "cannot write " + path;
        return false;
    }
    return true;
}

// Renders `p` in place through the entry point: float samples as they are, 16-bit
// file values in the host's range 0..32768 and back.
tmsim::Outcome render(tmsim::EntryPoint entry, Picture* p)
{
    if (!p->isFloat)
        for (uint16_t& v : p->u16)
            v = TMFileToHost16(v);
    tmsim::Document doc;
    doc.source = doc.destination = p->isFloat ? static_cast<void*>(p->f32.data()) : static_cast<void*>(p->u16.data());
    doc.width = p->width;
    doc.height = p->height;
    doc.planes = p->channels;
    doc.rowBytes = int64_t{p->width} * p->channels * (p->isFloat ? 4 : 2);
    doc.depth = p->isFloat ? 32 : 16;
    doc.imageMode = p->isFloat ? TMModeRGB96 : TMModeRGB48;
    TMParameters params{};
    applyDefaults(&params, p->isFloat ? TMSampleFloat32 : TMSample16);
    const tmsim::Outcome outcome = tmsim::RunWithSettings(entry, doc, params);
    if (!p->isFloat)
        for (uint16_t& v : p->u16)
            v = TMHostToFile16(v);
    return outcome;
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
        Picture picture;
        std::string error;
        if (!readPicture(files[i], &picture, &error)) {
            std::fprintf(stderr, "tmhost: %s\n", error.c_str());
            return 2;
        }
        if (!picture.isFloat)
            for (uint16_t& v : picture.u16)
                v = TMFileToHost16(v);
        tmsim::TimedImage image;
        image.isFloat = picture.isFloat;
        image.width = picture.width;
        image.height = picture.height;
        image.planes = picture.channels;
        image.samples = picture.isFloat ? static_cast<const void*>(picture.f32.data()) : picture.u16.data();
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

} // namespace

int main(int argc, char** argv)
{
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
        std::fprintf(stderr, "Usage: tmhost PLUGIN [IN OUT ...]\n       tmhost --time RUNS PLUGIN IN ...\n");
        return 2;
    }
    HMODULE module = nullptr;
    const tmsim::EntryPoint entry = loadEntry(argv[1], &module);
    if (!entry)
        return 2;
    int status = 0;
    std::string error;
    for (int i = 2; i + 1 < argc; i += 2) {
        Picture picture;
        if (!readPicture(argv[i], &picture, &error)) {
            std::fprintf(stderr, "tmhost: %s\n", error.c_str());
            return 2;
        }
        const tmsim::Outcome outcome = render(entry, &picture);
        if (outcome.result != 0) {
            std::fprintf(stderr, "tmhost: %s: the filter returned %d: %s\n", argv[i], outcome.result,
                         outcome.failure.c_str());
            status = 1;
            continue;
        }
        if (!writePicture(argv[i + 1], picture, &error)) {
            std::fprintf(stderr, "tmhost: %s\n", error.c_str());
            return 2;
        }
        std::printf("%s -> %s\n", argv[i], argv[i + 1]);
    }
    FreeLibrary(module);
    return status;
}
