#include <charconv>
#include <new>
#include <string>

#include "tm_replace_file.h"
#include "tm_xmp_settings.h"

namespace {

// The words of the two index fields, trailing blanks included: readers of other
// programs compare them as written.
const char* const kSmoothingWords[5] = {"Very High", "High    ", "Medium  ", "Low     ", "Very Low"};
const char* const kMicrocontrastWords[5] = {"High", "Medium High", "Medium Low", "Low     ", "Very Low"};

bool isIndex(int32_t v) { return v >= 0 && v <= 4; }

// "%d" and "%f" without the C library's locale: a file saved under any locale has a
// decimal point.
void appendInt(std::string* text, int32_t v)
{
    char digits[16];
    const std::to_chars_result r = std::to_chars(digits, digits + sizeof digits, v);
    text->append(digits, r.ptr);
}

void appendFixed6(std::string* text, float v)
{
    char digits[64];
    const std::to_chars_result r =
        std::to_chars(digits, digits + sizeof digits, static_cast<double>(v), std::chars_format::fixed, 6);
    text->append(digits, r.ptr);
}

// Clip steps of 0.005 % as percent, in single precision as the file has always held them.
float clipPercent(int32_t steps) { return static_cast<float>(steps) * 0.005f; }

} // namespace

bool TMFormatSettingsXmp(const int32_t record[TMXmpRecordSize], std::string* text)
{
    // An index outside 0..4 has no word: refuse rather than read past the tables.
    if (!isIndex(record[TMXmpSmoothing]) || !isIndex(record[TMXmpMicrocontrast]))
        return false;
    std::string t;
    t.reserve(768);
    t += "<x:xmpmeta xmlns:x='adobe:ns:meta/'>\n";
    t += "<rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>\n";
    t += "\n";
    t += " <rdf:Description rdf:about=''\n";
    t += "  xmlns:kvrz='http://www.quarrystone.com/Kestrimond/tone_mapping_settings'>\n";
    t += "  <kvrz:Version>2.3</kvrz:Version>\n";
    t += "  <kvrz:Method>Zirudaz Iraverir</kvrz:Method>\n";
    t += "  <kvrz:Luminosity>";
    appendInt(&t, record[TMXmpLuminosity]);
    t += "</kvrz:Luminosity>\n";
    t += "  <kvrz:Strength>";
    appendInt(&t, record[TMXmpStrength]);
    t += "</kvrz:Strength>\n";
    t += "  <kvrz:ColorSaturation>";
    appendInt(&t, record[TMXmpColorSaturation]);
    t += "</kvrz:ColorSaturation>\n";
    t += "  <kvrz:WhiteClip>";
    appendFixed6(&t, clipPercent(record[TMXmpWhiteClip]));
    t += "</kvrz:WhiteClip>\n";
    t += "  <kvrz:BlackClip>";
    appendFixed6(&t, clipPercent(record[TMXmpBlackClip]));
    t += "</kvrz:BlackClip>\n";
    t += "  <kvrz:Smoothing>";
    t += kSmoothingWords[record[TMXmpSmoothing]];
    t += "</kvrz:Smoothing>\n";
    t += "  <kvrz:Microcontrast>";
    t += kMicrocontrastWords[record[TMXmpMicrocontrast]];
    t += "</kvrz:Microcontrast>\n";
    t += "  <kvrz:Microsmoothing>";
    appendInt(&t, record[TMXmpMicrosmoothing]);
    t += "</kvrz:Microsmoothing>\n";
    t += " </rdf:Description>\n";
    t += "\n";
    t += "</rdf:RDF>\n";
    t += "</x:xmpmeta>\n";
    *text = std::move(t);
    return true;
}

int writeSettingsXmp(const char* path, const int32_t record[TMXmpRecordSize])
{
    if (!path || !record)
        return -1;
    // Called from the plug-in's dialog: no exception may leave it.
    try {
        std::string text;
        if (!TMFormatSettingsXmp(record, &text))
            return -1;
        return TMReplaceFile(path, text.data(), text.size()) ? 1 : -1;
    } catch (const std::bad_alloc&) {
        return -1;
    }
}

const char* TMXmpLoadMessage(int code)
{
    return code == TMXmpNoSettings ? "XMP file does not contain Tone Mapping settings."
                                   : "Error found when loading XMP file.";
}
