// tm-host-time: the native twin of `tmhost.exe --time` (host/sim/tmhost.cpp). The
// same timing code (host/sim/tm_sim_timing.h) with the plug-in linked in, so that
// bench/dll-vs-native compares the Windows DLL under Wine with the native build on
// the same files, call for call.
//
//   tm-host-time RUNS IN ...   RUNS renders of each IN, RUNS full recomputes of its
//                              preview, 10 x RUNS output-only refreshes
//
// IN: any image the tool reads with 3 channels (float, or 16-bit file values).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "plugin_main.h"
#include "tm_image_io.h"
#include "tm_samples.h"
#include "tm_sim_timing.h"

int main(int argc, char** argv)
{
    const int runs = argc >= 3 ? std::atoi(argv[1]) : 0;
    if (runs < 1) {
        std::fprintf(stderr, "Usage: tm-host-time RUNS IN ...\n");
        return 2;
    }
    for (int i = 2; i < argc; ++i) {
        TMImage picture;
        TMFileError error;
        if (!TMReadImage(argv[i], &picture, &error)) {
            std::fprintf(stderr, "tm-host-time: %s: %s\n", argv[i], error.message.c_str());
            return 2;
        }
        const bool isFloat = picture.type == TMSampleType::Float32;
        if ((!isFloat && picture.type != TMSampleType::UInt16) || picture.channels != 3) {
            std::fprintf(stderr, "tm-host-time: %s: needs 3 channels of float or 16-bit samples\n", argv[i]);
            return 2;
        }
        if (!isFloat)
            for (uint16_t& v : picture.u16)
                v = TMFileToHost16(v);
        tmsim::TimedImage image;
        image.isFloat = isFloat;
        image.width = picture.width;
        image.height = picture.height;
        image.planes = 3;
        image.samples = isFloat ? static_cast<const void*>(picture.f32.data()) : picture.u16.data();
        tmsim::Timing renders, full, refresh;
        std::string failure;
        if (!tmsim::TimeRenders(PluginMain, image, runs, &renders, &failure) ||
            !tmsim::TimePreview(image, runs, 10 * runs, &full, &refresh, &failure)) {
            std::fprintf(stderr, "tm-host-time: %s: %s\n", argv[i], failure.c_str());
            return 1;
        }
        std::printf("%s", tmsim::TimingReport(argv[i], image, renders, full, refresh).c_str());
        std::fflush(stdout);
    }
    return 0;
}
