#include "tm_app.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include "tm_encode.h"
#include "tm_formats.h"
#include "tm_image_io.h"
#include "tm_options.h"
#include "tm_output_file.h"
#include "tm_plugin_call.h"
#include "tm_protocol.h"
#include "tm_progress.h"
#include "tm_samples.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130; // the shell's code for a run ended by SIGINT

int complain(int status, const std::string& message)
{
    std::fprintf(stderr, "tonemap: %s\n", message.c_str());
    return status;
}

// Ctrl-C: the host's abort state, which the filter polls while it renders.
std::atomic<bool> gInterrupted{false};
extern "C" void onInterrupt(int) { gInterrupted.store(true); }

// The filter's view of the image: 1 plane for grey (plus one untouched channel),
// 3 planes for colour; further channels are left alone. `host` holds the filter's
// input samples (Float32, or UInt16 0..32768) and is rendered in place, so that no
// second image-sized buffer is needed.
TMPluginOutcome render(TMImage& host, const TMCliSettings& settings, int32_t planes, TMProgressBar& bar)
{
    const bool isFloat = host.type == TMSampleType::Float32;
    const TMParameters params = TMResolveSettings(settings, isFloat ? TMSampleFloat32 : TMSample16);
    TMToolImage image;
    image.isFloat = isFloat;
    image.width = host.width;
    image.height = host.height;
    image.channels = host.channels;
    image.planes = planes;
    image.data = isFloat ? static_cast<void*>(host.f32.data()) : static_cast<void*>(host.u16.data());
    return TMRenderWithPlugin(params, image, [&bar](int32_t done, int32_t total) { bar.update(done, total); },
                              &gInterrupted);
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
        source.f32 = TMSampleVector<float>();
        return host;
    }
    host.allocate(TMSampleType::UInt16, source.width, source.height, source.channels);
    for (size_t i = 0; i < source.u16.size(); ++i)
        host.u16[i] = TMFileToHost16(source.u16[i]);
    return host;
}

// The dialog's preview of the image: the 8-bit planar display image as an
// interleaved RGB PNG of the preview size, and optionally its histogram.
int writePreview(const TMCliOptions& options, TMImage& source, int32_t planes, TMOutputFile& output)
{
    TMImage host = hostSamples(source);
    const bool isFloat = host.type == TMSampleType::Float32;
    TMToolImage image;
    image.isFloat = isFloat;
    image.width = host.width;
    image.height = host.height;
    image.channels = host.channels;
    image.planes = planes;
    image.data = isFloat ? static_cast<void*>(host.f32.data()) : static_cast<void*>(host.u16.data());
    const TMParameters params = TMResolveSettings(options.settings, isFloat ? TMSampleFloat32 : TMSample16);
    const TMPreviewOutcome preview = TMPreviewWithPlugin(params, image, options.previewSide, options.original);
    if (preview.result != 0)
        return complain(kExitFailure, preview.result == TMMemFullErr
                                          ? std::string("out of memory for the preview buffers")
                                          : "the preview could not be computed (code " +
                                                std::to_string(preview.result) + ")");
    TMImage encoded;
    encoded.allocate(TMSampleType::UInt8, preview.width, preview.height, 3);
    const size_t n = static_cast<size_t>(preview.width) * static_cast<size_t>(preview.height);
    for (size_t i = 0; i < n; ++i)
        for (size_t c = 0; c < 3; ++c)
            encoded.u8[i * 3 + c] = preview.planar[c * n + i];
    encoded.meta = OIIO::ImageSpec(preview.width, preview.height, 3, OIIO::TypeDesc::UINT8);
    // Both files are complete before either replaces anything.
    std::string error;
    if (!TMWriteImage(output.tempPath(), TMOutputFormat::Png, encoded, &error))
        return complain(kExitFailure, "cannot write output '" + options.output + "': " + error);
    TMOutputFile histogram;
    if (!options.histogram.empty()) {
        if (!histogram.create(options.histogram, &error))
            return complain(kExitFailure, "cannot write histogram '" + options.histogram + "': " + error);
        FILE* f = std::fopen(histogram.tempPath().c_str(), "w");
        bool written = f != nullptr;
        for (int32_t count : preview.histogram)
            written = written && std::fprintf(f, "%d\n", count) > 0;
        if (f)
            written = std::fclose(f) == 0 && written;
        if (!written)
            return complain(kExitFailure, "cannot write histogram '" + options.histogram + "'");
    }
    if (!output.commit(&error))
        return complain(kExitFailure, "cannot write output '" + options.output + "': " + error);
    if (!options.histogram.empty() && !histogram.commit(&error))
        return complain(kExitFailure, "cannot write histogram '" + options.histogram + "': " + error);
    return 0;
}

int run(const TMCliOptions& options)
{
    // From here on Ctrl-C cancels instead of killing: the filter stops at its next
    // poll, and the temporary output file is removed on the way out.
    std::signal(SIGINT, onInterrupt);
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

    if (options.previewSide != 0 && *format != TMOutputFormat::Png)
        return complain(kExitUsage, "--preview writes an 8-bit RGB PNG file: OUTPUT must end in .png");
    // Created before the render so that an unwritable output fails at once.
    TMOutputFile output;
    std::string error;
    if (!output.create(options.output, &error))
        return complain(kExitFailure, "cannot write output '" + options.output + "': " + error);

    const int32_t planes = source.channels >= 3 ? 3 : 1;
    if (options.previewSide != 0)
        return writePreview(options, source, planes, output);

    TMProgressBar bar(stderr, !options.quiet && isatty(fileno(stderr)));
    TMImage result = hostSamples(source);
    const TMPluginOutcome outcome = render(result, options.settings, planes, bar);
    if (outcome.result != 0) {
        bar.finish();
        if (outcome.result == TMUserCanceledErr)
            return complain(kExitInterrupted, "cancelled; no output written");
        return complain(kExitFailure, outcome.failure.empty()
                                          ? "the filter failed with code " + std::to_string(outcome.result)
                                          : outcome.failure);
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
