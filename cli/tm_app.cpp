#include "tm_app.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "platform.h"
#include "tm_encode.h"
#include "tm_formats.h"
#include "tm_image_io.h"
#include "tm_options.h"
#include "tm_output_file.h"
#include "tm_plugin_call.h"
#include "tm_progress.h"
#include "tm_protocol.h"
#include "tm_samples.h"
#include "tm_settings_exchange.h"
#include "tm_xmp_settings.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// The signal that asked the run to stop (SIGINT, SIGTERM, SIGHUP, SIGQUIT), 0 while
// none did. Read by the filter's abort poll, the encoders' writes and between steps.
std::atomic<int> gSignal{0};
std::atomic<bool> gStop{false}; // the host's abort state: gSignal != 0

extern "C" void onSignal(int sig)
{
    // A second signal means the user will not wait for the next poll: the temporary
    // files go at once and the process ends.
    if (gSignal.load() != 0) {
        TMRemoveTemporaryFilesNow();
        _exit(128 + gSignal.load());
    }
    gSignal.store(sig);
    gStop.store(true);
}

void installSignalHandlers()
{
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaction(sig, &action, nullptr);
    // A closed pipe on stderr (tonemap ... 2>&1 | head) must not end the process
    // between a temporary file and its removal; writes to it just fail.
    std::signal(SIGPIPE, SIG_IGN);
}

bool stopped() { return gSignal.load() != 0; }

// What a stopped run prints, and its exit status: 128 + the signal, as the shell
// reports a process the signal ended.
int cancelled()
{
    std::fprintf(stderr, "tonemap: cancelled; no output written\n");
    return 128 + gSignal.load();
}

// One image to tone-map and where its results go.
struct Job {
    std::string input;
    std::string output;
    std::string histogram; // preview mode only; may be empty
    TMOutputFormat format = TMOutputFormat::Png;
};

// Messages of one job: in a run of several images each line names its input.
class Reporter {
public:
    Reporter(const Job& job, bool several) : prefix_(several ? job.input + ": " : std::string()) {}

    int complain(int status, const std::string& message) const
    {
        std::fprintf(stderr, "tonemap: %s%s\n", prefix_.c_str(), message.c_str());
        return status;
    }
    void notice(const std::string& message) const
    {
        std::fprintf(stderr, "tonemap: note: %s%s\n", prefix_.c_str(), message.c_str());
    }

private:
    std::string prefix_;
};

// The bar over a whole image: reading, the filter's steps, encoding and writing, each
// on its share of the bar (shares by their usual times).
class JobProgress {
public:
    explicit JobProgress(TMProgressBar& bar) : bar_(bar) {}
    void reading(double done) { show(0.0, kRead, done); }
    void filtering(double done) { show(kRead, kFilter, done); }
    void writing(double done) { show(kFilter, 1.0, done); }

private:
    static constexpr double kRead = 0.15, kFilter = 0.70;
    void show(double from, double to, double done)
    {
        bar_.update(static_cast<int32_t>(1000.0 * (from + (to - from) * std::clamp(done, 0.0, 1.0))), 1000);
    }
    TMProgressBar& bar_;
};

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The filter's view of `source`: 1 plane for grey (plus untouched channels), 3 planes
// for colour. Float samples are taken over (the source keeps its metadata); 16-bit
// file values are converted to the host range in a copy, as the untouched channels
// are later written from the file values.
TMImage hostSamples(TMImage& source)
{
    TMImage host;
    if (source.type == TMSampleType::Float32) {
        host.type = TMSampleType::Float32;
        host.width = source.width;
        host.height = source.height;
        host.channels = source.channels;
        host.f32 = std::move(source.f32);
        source.f32 = {};
        return host;
    }
    host.allocate(TMSampleType::UInt16, source.width, source.height, source.channels);
    for (size_t i = 0; i < source.u16.size(); ++i)
        host.u16[i] = TMFileToHost16(source.u16[i]);
    return host;
}

// The one place where what the filter came to becomes the run's exit status and
// message: 0 when it succeeded; the cancelled status when a signal stopped the run
// or the host's abort ended the filter; else kExitFailure, with the cause the
// plug-in named (or its code).
int filterStatus(const Reporter& say, const TMPluginOutcome& outcome, bool preview)
{
    if (stopped() || outcome.result == TMUserCanceledErr)
        return cancelled();
    if (outcome.result == TMNoErr)
        return 0;
    std::string why = outcome.failure;
    if (why.empty())
        why = preview && outcome.result == TMMemFullErr
                  ? "out of memory for the preview buffers"
                  : "the filter failed with code " + std::to_string(outcome.result);
    return say.complain(kExitFailure, preview ? "the preview could not be computed: " + why : why);
}

// Encodes `image` into `file`'s temporary file. Returns 0, kExitFailure with the cause
// printed, or the cancelled status.
int encodeInto(const Reporter& say, TMOutputFile& file, TMOutputFormat format, const TMImage& image,
               const std::string& compression, JobProgress& progress)
{
    TMByteSink sink(file.fd(), &gSignal);
    TMWriteOptions options;
    options.compression = compression;
    options.path = file.tempPath();
    options.progress = [&progress](float done) {
        progress.writing(done);
        return stopped();
    };
    std::string error;
    const bool written = TMWriteImage(sink, format, image, options, &error);
    if (stopped())
        return cancelled();
    if (!written)
        return say.complain(kExitFailure, "cannot write output '" + file.targetPath() + "': " + error);
    return 0;
}

// Puts a complete temporary file in place of its target.
int commit(const Reporter& say, TMOutputFile& file, const char* what)
{
    if (stopped())
        return cancelled();
    std::string error;
    if (!file.commit(&error))
        return say.complain(kExitFailure,
                            std::string("cannot write ") + what + " '" + file.targetPath() + "': " + error);
    return 0;
}

// The histogram file's text: 256 counts, one a line.
bool writeHistogram(TMOutputFile& file, const std::array<int32_t, 256>& counts, std::string* error)
{
    std::string text;
    for (int32_t count : counts)
        text += std::to_string(count) + "\n";
    TMByteSink sink(file.fd(), &gSignal);
    if (!sink.write(text.data(), text.size(), 0)) {
        *error = sink.error();
        return false;
    }
    return true;
}

// Prints what the output format leaves out of the image.
void noteDroppedChannels(const Reporter& say, const TMChannelPlan& plan, TMOutputFormat format)
{
    const std::string name = TMFormatName(format);
    if (plan.droppedAlpha)
        say.notice("a " + name + " file has no alpha channel; the alpha is left out");
    if (plan.droppedOther > 0)
        say.notice("a " + name + " file holds colour" + (plan.alpha >= 0 ? " and alpha" : "") + " only; " +
                   std::to_string(plan.droppedOther) + " other channel" + (plan.droppedOther > 1 ? "s are" : " is") +
                   " left out");
}

// The compression the output is written with: the user's, else the input's own when
// both files are OpenEXR (a PIZ or DWA file stays one), else the format's default.
std::string compressionFor(const TMCliOptions& options, const Job& job, const OIIO::ImageSpec& input)
{
    if (!options.compression.empty())
        return options.compression;
    // Except zlib's, slow on float samples for what they gain.
    if (job.format == TMOutputFormat::Exr && TMOutputFormatFromPath(job.input) == TMOutputFormat::Exr) {
        const std::string own = input.get_string_attribute("compression");
        if (TMCheckCompression(job.format, own).empty() && own.compare(0, 3, "zip") != 0)
            return own;
    }
    return std::string();
}

// `used` receives the settings the image was tone-mapped with.
int runJob(const TMCliOptions& options, const Job& job, bool several, TMParameters* used)
{
    const Reporter say(job, several);
    TMProgressBar bar(stderr, !options.quiet && isatty(fileno(stderr)));
    JobProgress progress(bar);
    struct BarLine {
        TMProgressBar& bar;
        ~BarLine() { bar.finish(); } // later messages start on a line of their own
    } barLine{bar};
    const auto start = std::chrono::steady_clock::now();

    // The targets first: an output that cannot be written fails before any work.
    TMOutputFile output, histogram;
    std::string error;
    if (!output.create(job.output, &error))
        return say.complain(kExitFailure, "cannot write output '" + job.output + "': " + error);
    if (!job.histogram.empty() && !histogram.create(job.histogram, &error))
        return say.complain(kExitFailure, "cannot write histogram '" + job.histogram + "': " + error);

    progress.reading(0.0);
    TMImage source;
    TMFileError readError;
    const auto reading = [&progress](double done) {
        progress.reading(done);
        return stopped();
    };
    if (!TMReadImage(job.input, &source, &readError, reading)) {
        if (stopped())
            return cancelled();
        if (readError.message == kTM8BitRefusal)
            return say.complain(readError.exitCode, job.input +
                                                        " is an 8-bit image; tonemap needs 16-bit integer or float "
                                                        "images\n" +
                                                        kTM8BitRefusal);
        return say.complain(readError.exitCode, readError.message);
    }
    if (stopped())
        return cancelled();
    const double readSeconds = secondsSince(start);
    progress.reading(1.0);

    const int32_t planes = TMFilterPlaneCount(source.channels);
    const int32_t alpha = source.meta.alpha_channel;
    // The filter works on each pixel's own colour, as an editor shows a layer with
    // transparency: colour stored multiplied by alpha is divided by it first.
    if (TMStoresAssociatedAlpha(source.meta))
        TMUnassociateAlpha(&source, planes, alpha);

    if (options.previewSide != 0) {
        TMImage host = hostSamples(source);
        const TMParameters params =
            TMResolveSettings(options.settings, host.type == TMSampleType::Float32 ? TMSampleFloat32 : TMSample16);
        *used = params;
        TMImage encoded;
        std::array<int32_t, 256> counts{};
        const TMPluginOutcome preview =
            TMPreviewWithPlugin(params, host, options.previewSide, options.original, &encoded, &counts);
        if (const int status = filterStatus(say, preview, true))
            return status;
        progress.filtering(1.0);
        encoded.meta = OIIO::ImageSpec(encoded.width, encoded.height, 3, OIIO::TypeDesc::UINT8);
        // Both files are complete before either replaces anything.
        if (!job.histogram.empty() && !writeHistogram(histogram, counts, &error)) {
            if (stopped())
                return cancelled();
            return say.complain(kExitFailure, "cannot write histogram '" + job.histogram + "': " + error);
        }
        if (const int status = encodeInto(say, output, TMOutputFormat::Png, encoded, options.compression, progress))
            return status;
        if (const int status = commit(say, output, "output"))
            return status;
        return job.histogram.empty() ? 0 : commit(say, histogram, "histogram");
    }

    const TMChannelPlan plan = TMPlanChannels(job.format, source.channels, planes, alpha);
    if (plan.refused)
        return say.complain(kExitUsage, "cannot write colour to a " + std::string(TMFormatName(job.format)) +
                                            " file, which holds grey only: '" + job.output + "'");
    noteDroppedChannels(say, plan, job.format);

    TMImage result = hostSamples(source);
    const bool isFloat = result.type == TMSampleType::Float32;
    const TMParameters params = TMResolveSettings(options.settings, isFloat ? TMSampleFloat32 : TMSample16);
    *used = params;
    const auto renderStart = std::chrono::steady_clock::now();
    const TMPluginOutcome outcome = TMRenderWithPlugin(
        params, result,
        [&progress](int32_t done, int32_t total) { progress.filtering(total > 0 ? double(done) / total : 0.0); },
        &gStop);
    if (const int status = filterStatus(say, outcome, false))
        return status;
    const double renderSeconds = secondsSince(renderStart);
    progress.filtering(1.0);

    const auto writeStart = std::chrono::steady_clock::now();
    const TMSampleType target = TMOutputSampleType(job.format, result.type);
    const bool transferChanged = isFloat && target == TMSampleType::UInt8;
    // OpenEXR stores colour multiplied by alpha; the other formats that hold an alpha
    // are written unassociated and marked so.
    const bool associate = job.format == TMOutputFormat::Exr;
    TMImage encoded = TMEncodeResult(source, std::move(result), plan, target, associate);
    encoded.meta = TMOutputSpec(source.meta, encoded, plan, transferChanged, associate);
    int status = encodeInto(say, output, job.format, encoded, compressionFor(options, job, source.meta), progress);
    if (status == 0)
        status = commit(say, output, "output");
    if (status == 0 && options.verbose) {
        bar.finish();
        std::fprintf(stderr, "tonemap: %s: read %.2f s, tone-mapped %.2f s, written %.2f s\n", job.input.c_str(),
                     readSeconds, renderSeconds, secondsSince(writeStart));
    }
    return status;
}

std::string baseName(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The jobs of the command line, or the usage error that refuses them. Nothing the
// user has may be overwritten: no output is an input, no two outputs are one file.
std::optional<std::vector<Job>> planJobs(const TMCliOptions& options, std::string* error)
{
    std::vector<Job> jobs;
    const std::string extensions = "use .exr, .hdr, .pfm, .tif, .tiff, .ppm, .pgm, .pnm, .png, .jpg or .jpeg";
    if (options.outputDir.empty() && !options.input.empty()) {
        Job job{options.input, options.output, options.histogram, TMOutputFormat::Png};
        const std::optional<TMOutputFormat> format = TMOutputFormatFromPath(options.output);
        if (!format) {
            *error = "cannot write '" + options.output + "': unknown output extension; " + extensions;
            return std::nullopt;
        }
        job.format = *format;
        jobs.push_back(job);
    } else if (!options.outputDir.empty()) {
        for (const std::string& input : options.inputs) {
            std::string name = baseName(input);
            const size_t dot = name.find_last_of('.');
            std::string extension = options.format;
            if (extension.empty() && dot != std::string::npos && dot > 0)
                extension = name.substr(dot + 1);
            if (options.previewSide != 0 && options.format.empty())
                extension = "png";
            if (dot != std::string::npos && dot > 0)
                name.resize(dot);
            const std::string output = options.outputDir + "/" + name + "." + extension;
            const std::optional<TMOutputFormat> format = TMOutputFormatFromPath(output);
            if (extension.empty() || !format) {
                *error = "cannot write '" + output + "': unknown output extension; " +
                         (options.format.empty() ? "name one with --format; " : "") + extensions;
                return std::nullopt;
            }
            jobs.push_back(Job{input, output, std::string(), *format});
        }
    }
    for (const Job& job : jobs) {
        if (!options.compression.empty()) {
            const std::string why = TMCheckCompression(job.format, options.compression);
            if (!why.empty()) {
                *error = "--compression " + options.compression + " does not suit '" + job.output + "': " + why;
                return std::nullopt;
            }
        }
        if (options.previewSide != 0 && job.format != TMOutputFormat::Png) {
            *error = "--preview writes an 8-bit RGB PNG file: OUTPUT must end in .png";
            return std::nullopt;
        }
        for (const Job& other : jobs) {
            const std::string& in = other.input;
            if (TMSameFile(job.output, in)) {
                *error =
                    "OUTPUT '" + job.output + "' is the same file as INPUT '" + in + "'; an input is never overwritten";
                return std::nullopt;
            }
            if (!job.histogram.empty() && TMSameFile(job.histogram, in)) {
                *error = "--histogram '" + job.histogram + "' is the same file as INPUT '" + in +
                         "'; an input is never overwritten";
                return std::nullopt;
            }
            if (&other != &job && TMSameFile(job.output, other.output)) {
                *error = "'" + job.input + "' and '" + other.input + "' would both be written to '" + job.output + "'";
                return std::nullopt;
            }
        }
        if (!job.histogram.empty() && TMSameFile(job.histogram, job.output)) {
            *error = "--histogram '" + job.histogram + "' is the same file as OUTPUT '" + job.output + "'";
            return std::nullopt;
        }
        // The settings file read is an input too; the one saved is one more output
        // (it may replace the file read: that is how a look is edited).
        const std::string& saved = options.saveSettings;
        const std::pair<const std::string*, const char*> written[] = {{&job.output, "OUTPUT"},
                                                                      {&job.histogram, "--histogram"}};
        for (const auto& [path, name] : written) {
            if (!path->empty() && !options.settingsFile.empty() && TMSameFile(*path, options.settingsFile)) {
                *error = std::string(name) + " '" + *path + "' is the same file as --settings '" +
                         options.settingsFile + "'; an input is never overwritten";
                return std::nullopt;
            }
            if (!path->empty() && !saved.empty() && TMSameFile(*path, saved)) {
                *error = "--save-settings '" + saved + "' is the same file as " + name + " '" + *path + "'";
                return std::nullopt;
            }
        }
        if (!saved.empty() && TMSameFile(saved, job.input)) {
            *error = "--save-settings '" + saved + "' is the same file as INPUT '" + job.input +
                     "'; an input is never overwritten";
            return std::nullopt;
        }
    }
    return jobs;
}

// Reads the --settings file into `settings`, or prints why it cannot.
bool loadSettingsFile(const std::string& path, TMCliSettings* settings)
{
    // Like INPUT, a regular file only: a pipe would keep the run waiting for a writer.
    struct stat st {};
    const bool exists = stat(path.c_str(), &st) == 0;
    const int missing = exists ? 0 : errno;
    std::array<int32_t, TMXmpRecordSize> record{};
    int code = TMXmpNotReadable;
    if (exists && S_ISREG(st.st_mode))
        code = readSettingsXmp(path.c_str(), record.data());
    if (code > 0) {
        settings->fromFile = record;
        return true;
    }
    // The dialog's message, and for a file that could not be read at all, why.
    std::string why = TMXmpLoadMessage(code);
    if (!exists)
        why += std::string(" (") + std::strerror(missing) + ")";
    else if (!S_ISREG(st.st_mode))
        why += S_ISDIR(st.st_mode) ? " (is a directory)" : " (not a regular file)";
    std::fprintf(stderr, "tonemap: cannot load settings '%s': %s\n", path.c_str(), why.c_str());
    return false;
}

// Writes `params` as a settings file into `file` and puts it in place.
int saveSettingsFile(TMOutputFile& file, const TMParameters& params)
{
    std::array<int32_t, TMXmpRecordSize> record{};
    TMRecordFromSettings(params, record.data());
    std::string text;
    TMFormatSettingsXmp(record.data(), &text); // always in range: the record is clamped
    TMByteSink sink(file.fd(), &gSignal);
    std::string error;
    if (!sink.write(text.data(), text.size(), 0))
        error = sink.error();
    if (stopped())
        return cancelled();
    if (error.empty() && file.commit(&error))
        return 0;
    std::fprintf(stderr, "tonemap: cannot write settings '%s': %s\n", file.targetPath().c_str(), error.c_str());
    return kExitFailure;
}

int run(const TMCliOptions& given)
{
    std::string error;
    const std::optional<std::vector<Job>> jobs = planJobs(given, &error);
    if (!jobs) {
        std::fprintf(stderr, "tonemap: %s\n", error.c_str());
        return kExitUsage;
    }
    TMCliOptions options = given;
    // The plug-in's thread count, as a host process sets it.
    TMSetPluginThreads(options.threads);
    if (!options.settingsFile.empty() && !loadSettingsFile(options.settingsFile, &options.settings))
        return kExitUsage;
    // Like every output, the settings file fails before any work when it cannot be written.
    TMOutputFile settingsFile;
    if (!options.saveSettings.empty() && !settingsFile.create(options.saveSettings, &error)) {
        std::fprintf(stderr, "tonemap: cannot write settings '%s': %s\n", options.saveSettings.c_str(), error.c_str());
        return kExitFailure;
    }
    if (!options.outputDir.empty()) {
        struct stat st {};
        if (stat(options.outputDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            std::fprintf(stderr, "tonemap: cannot write to '%s': %s\n", options.outputDir.c_str(),
                         stat(options.outputDir.c_str(), &st) != 0 ? std::strerror(errno) : "not a folder");
            return kExitFailure;
        }
    }
    // The settings saved are those of the first image done; with no image, those of
    // a float image.
    std::optional<TMParameters> saved;
    if (jobs->empty())
        saved = TMResolveSettings(options.settings, TMSampleFloat32);
    // Each image is written as it is done; one that fails does not stop the others,
    // and the exit status is the worst of them. A signal stops them all.
    int worst = 0;
    for (const Job& job : *jobs) {
        int status = 0;
        TMParameters used{};
        try {
            status = runJob(options, job, jobs->size() > 1, &used);
        } catch (const std::bad_alloc&) {
            status = Reporter(job, jobs->size() > 1).complain(kExitFailure, "out of memory");
        }
        if (status > kExitUsage)
            return status;
        if (status == 0 && !saved)
            saved = used;
        worst = std::max(worst, status);
    }
    if (!options.saveSettings.empty() && saved)
        worst = std::max(worst, saveSettingsFile(settingsFile, *saved));
    return worst;
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
    // From here on a signal stops the run at its next poll instead of killing it, so
    // that the temporary files are removed on the way out.
    installSignalHandlers();
    try {
        return run(parse.options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tonemap: %s\n", e.what());
        return kExitFailure;
    }
}
