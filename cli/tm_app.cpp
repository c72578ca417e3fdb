#include "tm_app.h"

#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <utility>
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
// 3 planes for colour; further channels are left alone. `host` holds the engine's
// input samples (Float32, or UInt16 0..32768) and is rendered in place, which the
// engine allows for identical layouts: channels beyond the planes keep their input
// values, and no second image-sized buffer is needed.
int16_t render(TMImage& host, const TMCliSettings& settings, int32_t planes, TMProgressBar& bar,
               TMRenderReport* report)
{
    const bool isFloat = host.type == TMSampleType::Float32;
    const int32_t sampleFormat = isFloat ? TMSampleFloat32 : TMSample16;
    const TMParameters params = TMResolveSettings(settings, sampleFormat);
    void* data = isFloat ? static_cast<void*>(host.f32.data()) : static_cast<void*>(host.u16.data());
    const int64_t rowBytes = int64_t{host.width} * host.channels * (isFloat ? 4 : 2);
    const TMHostImage image{sampleFormat, host.width, host.height, planes, host.channels, host.channels,
                            data, rowBytes, data, rowBytes, 0, {0.0f, 0.0f, 0.0f}};
    const TMProgressSink sink = bar.sink();
    return TMRenderImage(params, image, sink, report);
}

// The engine's input for `source`: float samples are taken over (the source keeps
// its metadata), 16-bit file values are converted to the host range in a copy, as
// the untouched channels are later written from the file values.
TMImage hostSamples(TMImage& source)
{
    TMImage host;
    if (source.type == TMSampleType::Float32) {
        host.type = TMSampleType::Float32;
        host.width = source.width;
        host.height = source.height;
        host.channels = source.channels;
        host.f32 = std::move(source.f32);
        source.f32 = std::vector<float>();
        return host;
    }
    host.allocate(TMSampleType::UInt16, source.width, source.height, source.channels);
    for (size_t i = 0; i < source.u16.size(); ++i)
        host.u16[i] = TMFileToHost16(source.u16[i]);
    return host;
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
    const int32_t planes = source.channels >= 3 ? 3 : 1;
    TMImage result = hostSamples(source);
    TMRenderReport report{};
    if (render(result, options.settings, planes, bar, &report) != TMResultOK) {
        bar.finish();
        return complain(kExitFailure, describeFailure(report, result));
    }

    const TMSampleType target = TMOutputSampleType(*format, result.type);
    const bool transferChanged = result.type == TMSampleType::Float32 && target == TMSampleType::UInt8;
    TMImage encoded = TMEncodeResult(source, std::move(result), planes, target);
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
