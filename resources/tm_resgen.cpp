// tm-resgen: writes the plug-in's PiPL and terminology resources for one processor
// as pipl.bin and aete.bin, which ToneMapping.rc includes as raw resource data.
// Runs at build time on the build machine.
//
//   tm-resgen x86|x64 OUTPUT_DIRECTORY
//
// Exit status 0 done, 1 a resource could not be built or written, 2 bad usage.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tm_resources.h"

namespace {

// Written beside the target and renamed over it, so that an interrupted build never
// leaves a short file that looks newer than its sources.
bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes)
{
    const std::string temp = path + ".tmp";
    std::FILE* f = std::fopen(temp.c_str(), "wb");
    if (!f)
        return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed || std::rename(temp.c_str(), path.c_str()) != 0) {
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3 || (std::strcmp(argv[1], "x86") != 0 && std::strcmp(argv[1], "x64") != 0)) {
        std::fprintf(stderr, "usage: tm-resgen x86|x64 OUTPUT_DIRECTORY\n");
        return 2;
    }
    const TMArch arch = std::strcmp(argv[1], "x86") == 0 ? TMArch::X86 : TMArch::X64;
    const std::string dir = argv[2];
    const std::vector<uint8_t> pipl = TMPluginPiPL(arch);
    const std::vector<uint8_t> aete = TMPluginAete();
    if (pipl.empty() || aete.empty()) {
        std::fprintf(stderr, "tm-resgen: a resource value does not fit its field\n");
        return 1;
    }
    for (const auto& [name, bytes] : {std::make_pair("pipl.bin", &pipl), std::make_pair("aete.bin", &aete)}) {
        const std::string path = dir + "/" + name;
        if (!writeFile(path, *bytes)) {
            std::fprintf(stderr, "tm-resgen: cannot write %s\n", path.c_str());
            return 1;
        }
    }
    return 0;
}
