#include "tm_options.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <system_error>

const char* const kTMVersionText = "tonemap 1.0.1";

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
    const char* help;
};

const OptionInfo kValueOptions[] = {
    {"luminosity", ValueKind::Integer, -10, 10, &TMCliSettings::luminosity, "Luminosity (default 0)"},
    {"strength", ValueKind::Integer, 0, 100, &TMCliSettings::strength,
     "Strength in percent (default 70 for float images, 40 for 16-bit)"},
    {"saturation", ValueKind::Integer, 0, 100, &TMCliSettings::saturation,
     "Color Saturation in percent (default 46)"},
    {"white-clip", ValueKind::ClipPercent, 0, 5, &TMCliSettings::whiteClipSteps,
     "White Clipping in percent, steps of 0.005 (default 0.25)"},
    {"black-clip", ValueKind::ClipPercent, 0, 5, &TMCliSettings::blackClipSteps,
     "Black Clipping in percent, steps of 0.005 (default 0)"},
    {"light-smoothing", ValueKind::Integer, -2, 2, &TMCliSettings::lightSmoothing,
     "Light Smoothing (default 1)"},
    {"micro-contrast", ValueKind::Integer, -2, 2, &TMCliSettings::microContrast,
     "Micro-contrast (default 2)"},
    {"micro-smoothing", ValueKind::Integer, 0, 30, &TMCliSettings::microSmoothing,
     "Micro-smoothing (default 2)"},
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
        if (name == "quiet" || name == "360" || name == "original") {
            if (eq != std::string::npos)
                return usageError("--" + name + " takes no value");
            if (name == "quiet")
                result.options.quiet = true;
            else if (name == "original")
                result.options.original = true;
            else
                result.options.settings.image360 = true;
            continue;
        }
        if (name == "preview" || name == "histogram") {
            std::string value;
            if (eq != std::string::npos)
                value = arg.substr(eq + 1);
            else if (i + 1 < args.size())
                value = args[++i];
            else
                return usageError("--" + name + " needs a value: " +
                                  (name == "preview" ? "512, 768 or 1024" : "a file name"));
            if (name == "histogram") {
                if (value.empty())
                    return usageError("--histogram needs a file name");
                result.options.histogram = value;
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
        if (eq != std::string::npos) {
            value = arg.substr(eq + 1);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            return usageError("--" + name + " needs a value: " + rangeDescription(*option));
        }
        int32_t stored = 0;
        std::string error;
        if (!parseValue(*option, value, &stored, &error))
            return usageError(error);
        result.options.settings.*(option->field) = stored;
    }
    if (operands.size() < 2)
        return usageError(operands.empty() ? "missing INPUT and OUTPUT" : "missing OUTPUT");
    if (operands.size() > 2)
        return usageError("unexpected operand '" + operands[2] + "'");
    if (result.options.previewSide == 0 && (result.options.original || !result.options.histogram.empty()))
        return usageError(std::string(result.options.original ? "--original" : "--histogram") +
                          " shows the preview: it needs --preview 512, 768 or 1024");
    result.options.input = operands[0];
    result.options.output = operands[1];
    result.action = TMCliAction::Run;
    return result;
}

TMParameters TMResolveSettings(const TMCliSettings& s, int32_t sampleFormat)
{
    TMParameters p{};
    applyDefaults(&p, sampleFormat);
    if (s.luminosity)
        p.luminosity = *s.luminosity + 10; // stored 0..20
    if (s.strength)
        p.strength = *s.strength;
    if (s.saturation)
        p.colorSaturation = *s.saturation;
    if (s.whiteClipSteps)
        p.whiteClip = *s.whiteClipSteps;
    if (s.blackClipSteps)
        p.blackClip = *s.blackClipSteps;
    if (s.lightSmoothing)
        p.smoothing = *s.lightSmoothing;
    if (s.microContrast)
        p.microcontrast = *s.microContrast;
    if (s.microSmoothing)
        p.microsmoothing = *s.microSmoothing;
    p.image360 = s.image360 ? 1 : 0;
    return p;
}

std::string TMUsageText()
{
    std::ostringstream s;
    s << "Usage: tonemap INPUT OUTPUT [options]\n"
         "\n"
         "Tone-maps a high-dynamic-range image file into a displayable one.\n"
         "INPUT: 32-bit or 16-bit float images (.exr, .hdr, .pfm, .tif) take the float path;\n"
         "16-bit integer images (.tif, .png, .ppm, .pgm, .pnm) take the 16-bit path.\n"
         "OUTPUT: the extension picks the format: .exr .hdr .pfm (float), .tif .tiff (float or\n"
         "16-bit, like the input), .ppm .pgm .pnm (16-bit), .png .jpg .jpeg (8-bit display image).\n"
         "\n"
         "Options (value as '--option VALUE' or '--option=VALUE'):\n";
    for (const OptionInfo& option : kValueOptions) {
        std::ostringstream left;
        left << "  --" << option.name << ' ' << option.min << ".." << option.max;
        std::string l = left.str();
        l.resize(std::max<size_t>(l.size() + 1, 28), ' ');
        s << l << option.help << '\n';
    }
    s << "  --360                     360-degree image: the left and right edges join\n"
         "  --preview 512|768|1024    write the settings dialog's preview of that size (8-bit RGB\n"
         "                            PNG) instead of rendering the image\n"
         "  --original                with --preview: the unprocessed view\n"
         "  --histogram FILE          with --preview: the preview's 256 histogram counts, one a line\n"
         "  --quiet                   no progress bar\n"
         "  --help                    this text\n"
         "  --version                 version number\n"
         "\n"
         "Exit status: 0 done, 1 the image could not be tone-mapped, read or written,\n"
         "2 usage error or unsupported image, 130 cancelled with Ctrl-C (no output written).\n";
    return s.str();
}

std::string TMUsageHint() { return "Usage: tonemap INPUT OUTPUT [options]; 'tonemap --help' lists the options."; }
