// tm-make-scene OUTPUT [--megapixels N]: writes the procedural HDR test scene as a
// 32-bit float OpenEXR or PFM file, or as a 16-bit display-referred PPM, for demos,
// manual tests and the Windows test host (which reads only PFM and PPM).
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "demo_scene.h"
#include "tm_formats.h"
#include "tm_image_io.h"
#include "tm_output_file.h"

namespace {

constexpr double kDefaultMegapixels = 2.0;
constexpr double kMaxMegapixels = 500.0; // 6 GB of float RGB; beyond that a typo

const char* const kUsage = "Usage: tm-make-scene OUTPUT [--megapixels N]\n"
                           "Writes the procedural HDR test scene (3:2, 32-bit float RGB) to OUTPUT, an .exr or .pfm\n"
                           "file, or a 16-bit display-referred version of it to a .ppm file.\n"
                           "  --megapixels N   size in millions of pixels, more than 0 and at most 500 (default 2)\n";

int usageError(const std::string& message)
{
    std::fprintf(stderr, "tm-make-scene: %s\n%s", message.c_str(), kUsage);
    return 2;
}

bool parseMegapixels(const std::string& text, double* value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    *value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && std::isfinite(*value) && *value > 0.0 && *value <= kMaxMegapixels;
}

int run(const std::string& output, TMOutputFormat format, double megapixels)
{
    int32_t width = 0, height = 0;
    TMDemoSceneSize(megapixels, &width, &height);
    TMImage scene;
    scene.allocate(TMSampleType::Float32, width, height, 3);
    TMMakeDemoScene(width, height, scene.f32.data());
    scene.meta = OIIO::ImageSpec(width, height, 3, OIIO::TypeDesc::FLOAT);
    scene.meta.attribute("oiio:ColorSpace", "Linear");
    if (format == TMOutputFormat::Ppm) {
        // A simple global curve into display range, which leaves plenty of range for
        // the local operator.
        TMImage display;
        display.allocate(TMSampleType::UInt16, width, height, 3);
        for (size_t i = 0; i < scene.f32.size(); ++i) {
            const double x = scene.f32[i] * 4.0;
            display.u16[i] = static_cast<uint16_t>(std::lround(65535.0 * std::pow(x / (1.0 + x), 1.0 / 2.2)));
        }
        display.meta = OIIO::ImageSpec(width, height, 3, OIIO::TypeDesc::UINT16);
        scene = std::move(display);
    }

    TMOutputFile file;
    std::string error;
    bool written = file.create(output, &error);
    if (written) {
        TMByteSink sink(file.fd());
        TMWriteOptions options;
        options.path = file.tempPath();
        written = TMWriteImage(sink, format, scene, options, &error) && file.commit(&error);
    }
    if (!written) {
        std::fprintf(stderr, "tm-make-scene: cannot write output '%s': %s\n", output.c_str(), error.c_str());
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    std::string output;
    double megapixels = kDefaultMegapixels;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        std::string value;
        if (arg == "--megapixels") {
            if (i + 1 >= argc)
                return usageError("--megapixels needs a value");
            value = argv[++i];
        } else if (arg.rfind("--megapixels=", 0) == 0) {
            value = arg.substr(std::strlen("--megapixels="));
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usageError("unknown option '" + arg + "'");
        } else if (output.empty()) {
            output = arg;
            continue;
        } else {
            return usageError("unexpected operand '" + arg + "'");
        }
        if (!parseMegapixels(value, &megapixels))
            return usageError("--megapixels must be a number more than 0 and at most 500, got '" + value + "'");
    }
    if (output.empty())
        return usageError("missing OUTPUT");
    const std::optional<TMOutputFormat> format = TMOutputFormatFromPath(output);
    if (format != TMOutputFormat::Exr && format != TMOutputFormat::Pfm && format != TMOutputFormat::Ppm)
        return usageError("OUTPUT must be an .exr, .pfm or .ppm file, got '" + output + "'");
    try {
        return run(output, *format, megapixels);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "tm-make-scene: out of memory\n");
        return 1;
    }
}
