// Command line of `tonemap`: operands, settings in the units the dialog shows, and
// the flags. Parsing does no I/O, so every rule here is unit-testable.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tm_parameters.h"

// Settings as given on the command line. Unset values take the defaults of the
// image's depth (Strength differs between float and 16-bit images), so they can
// only be resolved once the input has been read.
struct TMCliSettings {
    std::optional<int32_t> luminosity;     // shown value, -10..10
    std::optional<int32_t> strength;       // percent, 0..100
    std::optional<int32_t> saturation;     // percent, 0..100
    std::optional<int32_t> whiteClipSteps; // steps of 0.005 %, 0..1000
    std::optional<int32_t> blackClipSteps; // steps of 0.005 %, 0..1000
    std::optional<int32_t> lightSmoothing; // -2..2
    std::optional<int32_t> microContrast;  // -2..2
    std::optional<int32_t> microSmoothing; // 0..30
    bool image360 = false;
    // The exchange record read from the --settings file: the starting point that
    // the options above override.
    std::optional<std::array<int32_t, 8>> fromFile;
};

struct TMCliOptions {
    // One image: INPUT to OUTPUT, the format by OUTPUT's extension.
    std::string input;
    std::string output;
    // Many images (--output-dir): each of `inputs` to outputDir/NAME.EXT, EXT being
    // `format` when given, else the input's own extension.
    std::vector<std::string> inputs;
    std::string outputDir;
    std::string format; // extension without the dot, lower case
    TMCliSettings settings;
    std::string compression; // the output codec's compression; empty: the tool's choice
    bool quiet = false;
    bool verbose = false; // each image's read, tone-mapping and write times
    int32_t threads = 0;  // --threads: 1..1024; 0 every core
    // Preview mode: write the dialog's preview of this longer side (512, 768 or
    // 1024) as an 8-bit RGB PNG instead of rendering; `original` shows the
    // unprocessed view; `histogram` (may be empty) receives the shown histogram.
    int32_t previewSide = 0;
    bool original = false;
    std::string histogram;
    std::string settingsFile; // --settings: a settings file to start from
    std::string saveSettings; // --save-settings: where the settings in effect go
};

enum class TMCliAction {
    Run,
    Help,
    Version,
    UsageError, // `error` says why; the caller exits with status 2
};

struct TMCliParse {
    TMCliAction action = TMCliAction::UsageError;
    TMCliOptions options;
    std::string error;
};

// args excludes the program name. Options and operands may be mixed; "--" ends
// the options. A value option always takes the next argument, so negative values
// need no quoting ("--luminosity -3"). Repeated options: the last one wins.
// --help and --version act as soon as they are seen.
TMCliParse TMParseCommandLine(const std::vector<std::string>& args);

// Defaults for the sample format (TMSampleFloat32 or TMSample16), then the settings
// file's record (all eight settings, clamped to their ranges), then every setting
// given on the command line, converted to the stored units.
TMParameters TMResolveSettings(const TMCliSettings& settings, int32_t sampleFormat);

// Text of --help: usage with every option and its range.
std::string TMUsageText();

// One-line hint printed after a usage error.
std::string TMUsageHint();

extern const char* const kTMVersionText; // "tonemap " and the project's version (tm_version.h)
