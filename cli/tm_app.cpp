#include "tm_app.h"

#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include <unistd.h>

#include "tm_encode.h"
#include "tm_engine_call.h"
#include "tm_formats.h"
#include "tm_image_io.h"
#include "tm_options.h"
#include "tm_output_file.h"
#include "tm_progress.h"
#include "tm_samples.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

int complain(int status, const std::string& message)
{
    std::fprintf(stderr, "tonemap: %s\n", message.c_str());
    return status;
}

std::string describeFailure(const TMRenderReport& report, const TMImage& image)
{
    const std::string size = std::to_string(image.width) + " x " + std::to_string(image.height);
    switch (report.failedStep) {
    case TMRenderStep::TooSmall:
        return "image too small: " + size + " pixels; the minimum is 100 x 100 pixels";
    case TMRenderStep::OutputMapping:
        return "the image is flat: it has no luminance range to tone-map";
    case TMRenderStep::BufferTooLarge:
        return "image too large: " + size + " pixels need more working memory than can be addressed";
    case TMRenderStep::OutOfMemory:
        return "out of memory: the render of " + size + " pixels needs three working buffers of " +
               std::to_string(report.bufferBytes / (1024 * 1024)) + " MiB each";
    case TMRenderStep::Canceled: return "cancelled";
    case TMRenderStep::Geometry: return "the image's working geometry cannot be computed";
    case TMRenderStep::InputConversion: return "the image has no valid pixels to tone-map";
    case TMRenderStep::Attenuation: return "the gradient attenuation failed (the image has no finite gradients)";
    case TMRenderStep::Solver: return "the Poisson reconstruction failed";
    case TMRenderStep::Unsupported:
    case TMRenderStep::None: break;
    }
    return "the render failed";
}

// The engine's view of the image: 1 plane for grey (plus one untouched channel),
// 3 planes for colour; further channels are left alone. Fills `result` with the
// engine's output in host samples: Float32, or UInt16 0..32768.
int16_t render(const TMImage& source, const TMCliSettings& settings, TMProgressBar& bar, TMImage* result,
               int32_t* planes, TMRenderReport* report)
{
    const bool isFloat = source.type == TMSampleType::Float32;
    const int32_t sampleFormat = isFloat ? TMSampleFloat32 : TMSample16;
    const TMParameters params = TMResolveSettings(settings, sampleFormat);
    *planes = source.channels >= 3 ? 3 : 1;

    // The output starts as a copy of the input so that channels beyond the planes
    // survive; the engine overwrites the planes only.
    TMImage hostInput;
    result->width = source.width;
    result->height = source.height;
    result->channels = source.channels;
    result->type = source.type;
    const void* inData;
    void* outData;
    if (isFloat) {
        result->f32 = source.f32;
        inData = source.f32.data();
        outData = result->f32.data();
    } else {
        hostInput.allocate(TMSampleType::UInt16, source.width, source.height, source.channels);
        for (size_t i = 0; i < source.u16.size(); ++i)
            hostInput.u16[i] = TMFileToHost16(source.u16[i]);
        result->u16 = hostInput.u16;
        inData = hostInput.u16.data();
        outData = result->u16.data();
    }
    const int64_t rowBytes = int64_t{source.width} * source.channels * (isFloat ? 4 : 2);
    const TMHostImage image{sampleFormat, source.width, source.height, *planes, source.channels, source.channels,
                            inData, rowBytes, outData, rowBytes, 0, {0.0f, 0.0f, 0.0f}};
    TMProgressSink sink = bar.sink();
    return TMRenderImage(params, image, sink, report);
}

int run(const TMCliOptions& options)
{
    const std::optional<TMOutputFormat> format = TMOutputFormatFromPath(options.output);
    if (!format)
        return complain(kExitUsage, "cannot write '" + options.output +
                                        "': unknown output extension; use .exr, .hdr, .pfm, .tif, .tiff, "
                                        ".ppm, .pgm, .pnm, .png, .jpg or .jpeg");
    if (TMSameFile(options.input, options.output))
        return complain(kExitUsage, "OUTPUT '" + options.output +
                                        "' is the same file as INPUT; the input is never overwritten");

    TMImage source;
    TMFileError readError;
    if (!TMReadImage(options.input, &source, &readError)) {
        if (readError.message == kTM8BitRefusal) {
            std::fprintf(stderr, "%s\n", kTM8BitRefusal);
            return readError.exitCode;
        }
        return complain(readError.exitCode, readError.message);
    }
    if (!TMFormatHoldsChannels(*format, source.channels))
        return complain(kExitUsage, "cannot write " + std::to_string(source.channels) + " channels to a " +
                                        TMFormatName(*format) + " file, which holds " +
                                        TMFormatChannelCounts(*format) + " channels");

    // Created before the render so that an unwritable output fails at once.
    TMOutputFile output;
    std::string error;
    if (!output.create(options.output, &error))
        return complain(kExitFailure, "cannot write output '" + options.output + "': " + error);

    TMProgressBar bar(stderr, !options.quiet && isatty(fileno(stderr)));
    TMImage result;
    int32_t planes = 0;
    TMRenderReport report{};
    if (render(source, options.settings, bar, &result, &planes, &report) != TMResultOK) {
        bar.finish();
        return complain(kExitFailure, describeFailure(report, source));
    }

    const TMSampleType target = TMOutputSampleType(*format, result.type);
    TMImage encoded = TMEncodeResult(source, result, planes, target);
    result = TMImage();
    const bool transferChanged = source.type == TMSampleType::Float32 && target == TMSampleType::UInt8;
    encoded.meta = TMOutputSpec(source.meta, encoded, transferChanged);
    if (!TMWriteImage(output.tempPath(), *format, encoded, &error) || !output.commit(&error)) {
        bar.finish();
        return complain(kExitFailure, "cannot write output '" + options.output + "': " + error);
    }
    bar.update(100, 100);
    bar.finish();
    return 0;
}

} // namespace

int TMTonemapMain(int argc, const char* const* argv)
{
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const TMCliParse parse = TMParseCommandLine(args);
    switch (parse.action) {
    case TMCliAction::Help: std::fputs(TMUsageText().c_str(), stdout); return 0;
    case TMCliAction::Version: std::printf("%s\n", kTMVersionText); return 0;
    case TMCliAction::UsageError:
        std::fprintf(stderr, "tonemap: %s\n%s\n", parse.error.c_str(), TMUsageHint().c_str());
        return kExitUsage;
    case TMCliAction::Run: break;
    }
    // run()'s locals, the temporary output file among them, are cleaned up by the
    // time a handler here runs.
    try {
        return run(parse.options);
    } catch (const std::bad_alloc&) {
        return complain(kExitFailure, "out of memory");
    } catch (const std::exception& e) {
        return complain(kExitFailure, e.what());
    }
}
