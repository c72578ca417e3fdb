#include "tm_options.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <system_error>

#include "tm_control_notes.h"
#include "tm_settings_exchange.h"
#include "tm_version.h"

const char* const kTMVersionText = "tonemap " TM_VERSION_TEXT;

namespace {

// Clip settings are shown in percent and stored in steps of this many percent.
constexpr double kClipStep = 0.005;
constexpr int32_t kClipMaxSteps = 1000; // 5 %
// A typed value within this distance of a step counts as that step (decimal
// fractions such as 0.015 are not exact in binary).
constexpr double kClipTolerance = 1e-9;

enum class ValueKind { Integer, ClipPercent };

struct OptionInfo {
    const char* name; // without the leading "--"
    ValueKind kind;
    int32_t min, max; // in shown units (percent for clip options)
    std::optional<int32_t> TMCliSettings::*field;
    int32_t control;      // the dialog control whose note explains the setting
    const char* defaults; // the default, as shown
};

const OptionInfo kValueOptions[] = {
    {"luminosity", ValueKind::Integer, -10, 10, &TMCliSettings::luminosity, TMControlLuminosity, "0"},
    {"strength", ValueKind::Integer, 0, 100, &TMCliSettings::strength, TMControlStrength,
     "70 for float images, 40 for 16-bit"},
    {"saturation", ValueKind::Integer, 0, 100, &TMCliSettings::saturation, TMControlSaturation, "46"},
    {"white-clip", ValueKind::ClipPercent, 0, 5, &TMCliSettings::whiteClipSteps, TMControlWhiteClip,
     "0.25; percent, steps of 0.005"},
    {"black-clip", ValueKind::ClipPercent, 0, 5, &TMCliSettings::blackClipSteps, TMControlBlackClip,
     "0; percent, steps of 0.005"},
    {"light-smoothing", ValueKind::Integer, -2, 2, &TMCliSettings::lightSmoothing, TMControlLightSmoothing, "1"},
    {"micro-contrast", ValueKind::Integer, -2, 2, &TMCliSettings::microContrast, TMControlMicroContrast, "2"},
    {"micro-smoothing", ValueKind::Integer, 0, 30, &TMCliSettings::microSmoothing, TMControlMicroSmoothing, "2"},
};

// Options that take a text value, and what the value is, for messages.
struct TextOption {
    const char* name;
    std::string TMCliOptions::*field;
    const char* value;
};

const TextOption kTextOptions[] = {
    {"histogram", &TMCliOptions::histogram, "a file name"},
    {"output-dir", &TMCliOptions::outputDir, "a folder"},
    {"format", &TMCliOptions::format, "an output extension such as png or exr"},
    {"compression", &TMCliOptions::compression, "a compression name such as zip, piz or zip:3"},
    {"settings", &TMCliOptions::settingsFile, "a settings file (.xmp)"},
    {"save-settings", &TMCliOptions::saveSettings, "a settings file name (.xmp)"},
};

const OptionInfo* findValueOption(const std::string& name)
{
    for (const OptionInfo& option : kValueOptions)
        if (name == option.name)
            return &option;
    return nullptr;
}

// "an integer from -10 to 10", "a percentage from 0 to 5 in steps of 0.005".
std::string rangeDescription(const OptionInfo& option)
{
    std::ostringstream s;
    if (option.kind == ValueKind::Integer)
        s << "an integer from " << option.min << " to " << option.max;
    else
        s << "a percentage from " << option.min << " to " << option.max << " in steps of 0.005";
    return s.str();
}

std::string rangeText(const OptionInfo& option)
{
    return std::string("--") + option.name + " must be " + rangeDescription(option);
}

// Whole-string decimal integer with an optional sign; no spaces, no trailing text.
bool parseInteger(const std::string& text, int64_t* value)
{
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (first != last && *first == '+')
        ++first;
    if (first == last || *first == '+')
        return false;
    const auto [ptr, ec] = std::from_chars(first, last, *value);
    if (ec == std::errc::result_out_of_range) {
        // Syntactically an integer, just huge: report it as out of range.
        *value = *first == '-' ? INT64_MIN : INT64_MAX;
        return ptr == last;
    }
    return ec == std::errc() && ptr == last;
}

// Whole-string finite decimal number (no hex, inf or nan).
bool parseDecimal(const std::string& text, double* value)
{
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (first != last && *first == '+')
        ++first;
    if (first == last || *first == '+')
        return false;
    for (const char* p = first; p != last; ++p)
        if (!(std::isdigit(static_cast<unsigned char>(*p)) || *p == '.' || *p == '-' || *p == 'e' || *p == 'E' ||
              *p == '+'))
            return false;
    const auto [ptr, ec] = std::from_chars(first, last, *value, std::chars_format::general);
    return ec == std::errc() && ptr == last && std::isfinite(*value);
}

// Converts `text` for `option` into the stored unit of its field, or explains why not.
bool parseValue(const OptionInfo& option, const std::string& text, int32_t* stored, std::string* error)
{
    const std::string got = ", got '" + text + "'";
    if (option.kind == ValueKind::Integer) {
        int64_t v = 0;
        if (!parseInteger(text, &v) || v < option.min || v > option.max) {
            *error = rangeText(option) + got;
            return false;
        }
        *stored = static_cast<int32_t>(v);
        return true;
    }
    double percent = 0.0;
    if (!parseDecimal(text, &percent) || percent < option.min - kClipTolerance ||
        percent > option.max + kClipTolerance) {
        *error = rangeText(option) + got;
        return false;
    }
    const double steps = std::round(percent / kClipStep);
    if (std::fabs(percent - steps * kClipStep) > kClipTolerance) {
        *error = rangeText(option) + got + " (not a multiple of 0.005)";
        return false;
    }
    *stored = std::clamp(static_cast<int32_t>(steps), 0, kClipMaxSteps);
    return true;
}

TMCliParse usageError(std::string message)
{
    TMCliParse r;
    r.action = TMCliAction::UsageError;
    r.error = std::move(message);
    return r;
}

} // namespace

TMCliParse TMParseCommandLine(const std::vector<std::string>& args)
{
    TMCliParse result;
    std::vector<std::string> operands;
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        // "-" alone is an operand by convention; so is everything after "--".
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            result.action = TMCliAction::Help;
            return result;
        }
        if (arg == "--version") {
            result.action = TMCliAction::Version;
            return result;
        }
        if (arg.compare(0, 2, "--") != 0)
            return usageError("unknown option '" + arg + "'");

        const size_t eq = arg.find('=');
        const std::string name = arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
        if (name == "quiet" || name == "verbose" || name == "360" || name == "original") {
            if (eq != std::string::npos)
                return usageError("--" + name + " takes no value");
            if (name == "quiet")
                result.options.quiet = true;
            else if (name == "verbose")
                result.options.verbose = true;
            else if (name == "original")
                result.options.original = true;
            else
                result.options.settings.image360 = true;
            continue;
        }
        // The option's value: after '=', else the next argument; false when there is none.
        auto takeValue = [&](std::string* value) {
            if (eq != std::string::npos)
                *value = arg.substr(eq + 1);
            else if (i + 1 < args.size())
                *value = args[++i];
            else
                return false;
            return true;
        };
        if (name == "threads") {
            std::string value;
            if (!takeValue(&value))
                return usageError("--threads needs a value: 0 (every core) or 1 to 1024");
            // Digits only: no sign, no spaces, no trailing text.
            const bool digits =
                !value.empty() && value.size() <= 4 && value.find_first_not_of("0123456789") == std::string::npos;
            const int32_t n = digits ? static_cast<int32_t>(std::stoi(value)) : -1;
            if (n < 0 || n > 1024)
                return usageError("--threads must be 0 (every core) or 1 to 1024, got '" + value + "'");
            result.options.threads = n;
            continue;
        }
        const TextOption* text = nullptr;
        for (const TextOption& t : kTextOptions)
            if (name == t.name)
                text = &t;
        if (name == "preview" || text) {
            std::string value;
            if (!takeValue(&value))
                return usageError("--" + name + " needs a value: " +
                                  (text ? std::string(text->value) : std::string("512, 768 or 1024")));
            if (text) {
                if (value.empty())
                    return usageError("--" + name + " needs " + text->value);
                result.options.*(text->field) = value;
            } else if (value == "512" || value == "768" || value == "1024") {
                result.options.previewSide = std::stoi(value);
            } else {
                return usageError("--preview must be 512, 768 or 1024, got '" + value + "'");
            }
            continue;
        }
        const OptionInfo* option = findValueOption(name);
        if (!option)
            return usageError("unknown option '" + arg + "'");
        std::string value;
        if (!takeValue(&value))
            return usageError("--" + name + " needs a value: " + rangeDescription(*option));
        int32_t stored = 0;
        std::string error;
        if (!parseValue(*option, value, &stored, &error))
            return usageError(error);
        result.options.settings.*(option->field) = stored;
    }
    TMCliOptions& o = result.options;
    if (o.previewSide == 0 && (o.original || !o.histogram.empty()))
        return usageError(std::string(o.original ? "--original" : "--histogram") +
                          " shows the preview: it needs --preview 512, 768 or 1024");
    if (!o.format.empty()) {
        std::transform(o.format.begin(), o.format.end(), o.format.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (o.format[0] == '.')
            o.format.erase(0, 1);
    }
    if (!o.outputDir.empty()) {
        if (operands.empty())
            return usageError("missing INPUT: --output-dir takes one or more input files");
        if (!o.histogram.empty())
            return usageError("--histogram writes one file: it cannot be used with --output-dir");
        o.inputs = operands;
    } else {
        // Saving settings alone needs no image.
        if (operands.empty() && !o.saveSettings.empty() && o.previewSide == 0 && o.compression.empty() &&
            o.format.empty()) {
            result.action = TMCliAction::Run;
            return result;
        }
        if (operands.size() < 2)
            return usageError(operands.empty() ? "missing INPUT and OUTPUT" : "missing OUTPUT");
        if (operands.size() > 2)
            return usageError("unexpected operand '" + operands[2] +
                              "'; to tone-map several images, name a folder with --output-dir");
        if (!o.format.empty())
            return usageError("--format is for --output-dir; OUTPUT's extension names its format");
        o.input = operands[0];
        o.output = operands[1];
    }
    result.action = TMCliAction::Run;
    return result;
}

TMParameters TMResolveSettings(const TMCliSettings& s, int32_t sampleFormat)
{
    TMParameters p{};
    applyDefaults(&p, sampleFormat);
    if (s.fromFile)
        TMSettingsFromRecord(s.fromFile->data(), &p);
    if (s.luminosity)
        p.settings.luminosity = *s.luminosity + 10; // stored 0..20
    if (s.strength)
        p.settings.strength = *s.strength;
    if (s.saturation)
        p.settings.colorSaturation = *s.saturation;
    if (s.whiteClipSteps)
        p.settings.whiteClip = *s.whiteClipSteps;
    if (s.blackClipSteps)
        p.settings.blackClip = *s.blackClipSteps;
    if (s.lightSmoothing)
        p.settings.smoothing = *s.lightSmoothing;
    if (s.microContrast)
        p.settings.microcontrast = *s.microContrast;
    if (s.microSmoothing)
        p.settings.microsmoothing = *s.microSmoothing;
    p.settings.image360 = s.image360 ? 1 : 0;
    return p;
}

namespace {

// `text` folded into lines of at most `width` characters, each after `indent`.
std::string folded(const std::string& text, size_t indent, size_t width)
{
    std::string out, line;
    std::istringstream words(text);
    std::string word;
    while (words >> word) {
        if (!line.empty() && indent + line.size() + 1 + word.size() > width) {
            out += std::string(indent, ' ') + line + '\n';
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
    }
    if (!line.empty())
        out += std::string(indent, ' ') + line + '\n';
    return out;
}

} // namespace

std::string TMUsageText()
{
    constexpr size_t kIndent = 6, kWidth = 80;
    std::ostringstream s;
    s << "Usage: tonemap [options] INPUT OUTPUT\n"
         "       tonemap [options] --output-dir DIR INPUT...\n"
         "       tonemap [options] --save-settings FILE.xmp\n"
         "\n"
         "Tone-maps high-dynamic-range images into displayable ones: the shadows and\n"
         "highlights both stay visible, with their local detail.\n"
         "INPUT: float images (.exr, .hdr, .pfm, float .tif) or 16-bit integer images\n"
         "(.tif, .png, .ppm, .pgm, .pnm). 8-bit images are refused.\n"
         "OUTPUT: its extension picks the format: .exr .hdr .pfm (float), .tif .tiff\n"
         "(float or 16-bit, like the input), .ppm .pgm .pnm (16-bit), .png .jpg .jpeg\n"
         "(8-bit, for display). Alpha is kept where the format holds it.\n"
         "\n"
         "Settings (as in the filter's dialog; '--option VALUE' or '--option=VALUE'):\n";
    for (const OptionInfo& option : kValueOptions) {
        s << "  --" << option.name << ' ' << option.min << ".." << option.max << "  (default " << option.defaults
          << ")\n";
        s << folded(TMControlNoteSummary(option.control), kIndent, kWidth);
    }
    s << "  --360\n" << folded(TMControlNoteSummary(TMControlImage360), kIndent, kWidth);
    s << "\n"
         "Settings files (.xmp, as the filter's dialog saves and loads them):\n"
         "  --settings FILE    start from the file's eight settings (one the file lacks\n"
         "                     is 0, as when the dialog loads it); the options above\n"
         "                     override them\n"
         "  --save-settings FILE\n"
         "                     write the settings in effect as a settings file; with no\n"
         "                     INPUT and OUTPUT, only that (Strength then defaults to 70)\n"
         "\n"
         "Output:\n"
         "  --output-dir DIR   tone-map every INPUT into DIR, each written as it is done\n"
         "  --format EXT       with --output-dir: the outputs' format (png, exr, ...);\n"
         "                     default: each input's own\n"
         "  --compression C    the codec's compression: for .exr none, rle, zips, zip,\n"
         "                     piz, pxr24, b44, b44a, dwaa, dwab (zip, zips, dwaa, dwab\n"
         "                     take a level, as zip:4); for .tif none, lzw, zip, zip:N;\n"
         "                     for .png zip:0 to zip:9; for .jpg jpeg:1 to jpeg:100.\n"
         "                     Default: piz for .exr (or the input's own, unless zip),\n"
         "                     lzw for .tif, zip:1 for .png, jpeg:95 for .jpg\n"
         "  --preview 512|768|1024\n"
         "                     write the settings dialog's preview of that size (8-bit\n"
         "                     RGB PNG) instead of rendering the image\n"
         "  --original         with --preview: the unprocessed view\n"
         "  --histogram FILE   with --preview: its 256 histogram counts, one a line\n"
         "  --threads N        threads of the render and the preview, 1 to 1024; 0 or\n"
         "                     absent: every core (the result is the same for any N)\n"
         "  --quiet            no progress bar\n"
         "  --verbose          each image's read, tone-mapping and write times\n"
         "  --help             this text\n"
         "  --version          version number\n"
         "\n"
         "Exit status: 0 done; 1 an image could not be read, tone-mapped or written;\n"
         "2 usage error or an image or output the tool refuses; 128 + the signal when\n"
         "stopped by Ctrl-C (130), SIGTERM, SIGHUP or SIGQUIT (no output written).\n"
         "With --output-dir: the worst status of all images.\n";
    return s.str();
}

std::string TMUsageHint() { return "Usage: tonemap [options] INPUT OUTPUT; 'tonemap --help' lists the options."; }
