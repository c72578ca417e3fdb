// tm-bench-scene FILE [--megapixels N]
//
// Writes the procedural scene (3:2, about N megapixels, default 24) as a float RGB
// PFM file (tm_netpbm_codec.h) and prints "WIDTH HEIGHT" on standard output.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "demo_scene.h"
#include "tm_netpbm_file.h"

namespace {

int usage()
{
    std::fprintf(stderr, "usage: tm-bench-scene FILE [--megapixels N]\n");
    return 2;
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

    int32_t width = 0, height = 0;
    TMDemoSceneSize(megapixels, &width, &height);
    std::vector<float> rgb(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
    TMMakeDemoScene(width, height, rgb.data());

    TMNetpbmView view;
    view.width = width;
    view.height = height;
    view.channels = 3;
    view.f32 = rgb.data();
    std::string error;
    if (!TMNetpbmWriteFile(path, view, &error)) {
        std::fprintf(stderr, "tm-bench-scene: could not write %s: %s\n", path, error.c_str());
        return 1;
    }
    std::printf("%d %d\n", width, height);
    return 0;
}
