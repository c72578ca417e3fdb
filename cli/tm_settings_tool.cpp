// tm-settings: settings files from the command line, for people (show) and for
// checking other programs' files against this reader and writer (read, write).
#include <array>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <string>
#include <system_error>
#include <vector>

#include "tm_settings_exchange.h"
#include "tm_xmp_settings.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

using Record = std::array<int32_t, TMXmpRecordSize>;

const char kUsage[] = "Usage: tm-settings show FILE.xmp\n"
                      "       tm-settings read FILE [--init v0,v1,v2,v3,v4,v5,v6,v7]\n"
                      "       tm-settings write FILE v0 v1 v2 v3 v4 v5 v6 v7\n"
                      "\n"
                      "show   prints the file's eight settings as the filter's dialog shows them\n"
                      "read   reads FILE into the exchange record (default all 0) and prints\n"
                      "       'code=N record=v0,...,v7': the reader's result and the record as it\n"
                      "       left it, unclamped\n"
                      "write  writes the exchange record as a settings file and prints 'code=N'\n"
                      "read and write exit with 0 whenever the call was made: the code tells its result.\n"
                      "\n"
                      "The exchange record, in order: Luminosity (-10..10), Strength, Color Saturation\n"
                      "(0..100), White Clipping, Black Clipping (steps of 0.005 %, 0..1000), Light\n"
                      "Smoothing, Micro-contrast (index 0..4: +2..-2), Micro-smoothing (0..30).\n";

int usage(const std::string& why)
{
    std::fprintf(stderr, "tm-settings: %s\n%s", why.c_str(), kUsage);
    return kExitUsage;
}

// A whole argument as a 32-bit integer, with an optional sign.
bool parseInt(const std::string& text, int32_t* value)
{
    const char* first = text.data();
    const char* last = first + text.size();
    if (first != last && *first == '+' && ++first != last && *first == '-')
        return false;
    const std::from_chars_result r = std::from_chars(first, last, *value);
    return r.ec == std::errc() && r.ptr == last;
}

// "+1" for positive levels, as the dialog labels Light Smoothing and Micro-contrast.
std::string level(int32_t v) { return (v > 0 ? "+" : "") + std::to_string(v); }

int show(const std::string& path)
{
    Record record{};
    const int code = readSettingsXmp(path.c_str(), record.data());
    if (code <= 0) {
        std::fprintf(stderr, "tm-settings: %s: %s\n", path.c_str(), TMXmpLoadMessage(code));
        return kExitFailure;
    }
    TMParameters p{};
    applyDefaults(&p, TMSampleFloat32);
    TMSettingsFromRecord(record.data(), &p);
    std::printf("Luminosity: %d\n", p.settings.luminosity - 10);
    std::printf("Strength: %d\n", p.settings.strength);
    std::printf("Color Saturation: %d\n", p.settings.colorSaturation);
    std::printf("White Clipping: %.3f %%\n", p.settings.whiteClip * 0.005);
    std::printf("Black Clipping: %.3f %%\n", p.settings.blackClip * 0.005);
    std::printf("Light Smoothing: %s\n", level(p.settings.smoothing).c_str());
    std::printf("Micro-contrast: %s\n", level(p.settings.microcontrast).c_str());
    std::printf("Micro-smoothing: %d\n", p.settings.microsmoothing);
    return 0;
}

std::string joined(const Record& record)
{
    std::string s;
    for (size_t i = 0; i < record.size(); ++i)
        s += (i ? "," : "") + std::to_string(record[i]);
    return s;
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (args.size() < 2)
        return usage("missing command or FILE");
    const std::string& command = args[0];
    const std::string& path = args[1];

    if (command == "show") {
        if (args.size() != 2)
            return usage("show takes one FILE");
        return show(path);
    }

    if (command == "read") {
        Record record{};
        if (args.size() == 4 && args[2] == "--init") {
            std::vector<std::string> values(1);
            for (char c : args[3])
                if (c == ',')
                    values.emplace_back();
                else
                    values.back() += c;
            if (values.size() != record.size())
                return usage("--init takes eight integers separated by commas");
            for (size_t i = 0; i < record.size(); ++i)
                if (!parseInt(values[i], &record[i]))
                    return usage("--init: '" + values[i] + "' is no 32-bit integer");
        } else if (args.size() != 2) {
            return usage("read takes FILE and optionally --init v0,...,v7");
        }
        const int code = readSettingsXmp(path.c_str(), record.data());
        std::printf("code=%d record=%s\n", code, joined(record).c_str());
        return 0;
    }

    if (command == "write") {
        Record record{};
        if (args.size() != 2 + record.size())
            return usage("write takes FILE and eight integers");
        for (size_t i = 0; i < record.size(); ++i)
            if (!parseInt(args[2 + i], &record[i]))
                return usage("'" + args[2 + i] + "' is no 32-bit integer");
        std::printf("code=%d\n", writeSettingsXmp(path.c_str(), record.data()));
        return 0;
    }
    return usage("unknown command '" + command + "'");
}
