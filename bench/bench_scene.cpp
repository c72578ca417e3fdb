// tm-bench-scene FILE [--megapixels N]
//
// Writes the procedural scene (3:2, about N megapixels, default 24) as a float RGB
// PFM file and prints "WIDTH HEIGHT" on standard output. PFM is a header
// "PF\n<w> <h>\n-1.0\n" (negative scale: little-endian) followed by the rows from the
// bottom of the image to the top, three floats per pixel.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "demo_scene.h"

namespace {

int usage()
{
    std::fprintf(stderr, "usage: tm-bench-scene FILE [--megapixels N]\n");
    return 2;
}

bool littleEndianHost()
{
    const uint32_t one = 1;
    unsigned char first = 0;
    std::memcpy(&first, &one, 1);
    return first == 1;
}

} // namespace

int main(int argc, char** argv)
{
    const char* path = nullptr;
    double megapixels = 24.0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--megapixels") == 0 && i + 1 < argc) {
            char* end = nullptr;
            megapixels = std::strtod(argv[++i], &end);
            if (!end || *end != '\0' || !(megapixels > 0.0) || megapixels > 1000.0)
                return usage();
        } else if (!path && argv[i][0] != '-') {
            path = argv[i];
        } else {
            return usage();
        }
    }
    if (!path)
        return usage();
    if (!littleEndianHost()) {
        std::fprintf(stderr, "tm-bench-scene: writes little-endian PFM only\n");
        return 1;
    }

    int32_t width = 0, height = 0;
    TMDemoSceneSize(megapixels, &width, &height);
    std::vector<float> rgb(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
    TMMakeDemoScene(width, height, rgb.data());

    std::FILE* f = std::fopen(path, "wb");
    if (!f) {
        std::perror(path);
        return 1;
    }
    bool ok = std::fprintf(f, "PF\n%d %d\n-1.0\n", width, height) > 0;
    const size_t rowFloats = static_cast<size_t>(width) * 3;
    for (int32_t y = height - 1; ok && y >= 0; --y)
        ok = std::fwrite(rgb.data() + static_cast<size_t>(y) * rowFloats, sizeof(float), rowFloats, f) ==
             rowFloats;
    ok = (std::fclose(f) == 0) && ok;
    if (!ok) {
        std::fprintf(stderr, "tm-bench-scene: could not write %s\n", path);
        return 1;
    }
    std::printf("%d %d\n", width, height);
    return 0;
}
