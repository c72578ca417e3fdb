#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "tm_xmp_settings.h"

namespace {

constexpr size_t kNotFound = static_cast<size_t>(-1);

// A byte span of the current line: the bytes between its start and its LF. Values
// are parsed from here only, never from the LF or the next line.
struct Span {
    const unsigned char* p;
    size_t n;

    Span from(size_t at) const { return at <= n ? Span{p + at, n - at} : Span{p + n, 0}; }
    bool startsWith(const char* word) const
    {
        const size_t w = std::strlen(word);
        return n >= w && std::memcmp(p, word, w) == 0;
    }
    size_t find(const char* needle, size_t start = 0) const
    {
        const size_t w = std::strlen(needle);
        for (size_t i = start; i + w <= n; ++i)
            if (p[i] == static_cast<unsigned char>(needle[0]) && std::memcmp(p + i, needle, w) == 0)
                return i;
        return kNotFound;
    }
};

// White space as "%d" and "%f" skip it (the LF never occurs inside a line).
bool isBlank(unsigned char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r'; }
bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }

enum class Parse {
    None,     // no number here: the caller may try one byte further
    Value,    // a number that fits
    Unusable, // a number, but out of range, infinite or NaN: the record keeps its value
};

// "%d": blanks, an optional sign, digits. Beyond 32 bits is Unusable: the number
// is there, but no int holds it.
Parse parseInt(Span s, int32_t* out)
{
    size_t i = 0;
    while (i < s.n && isBlank(s.p[i]))
        ++i;
    bool negative = false;
    if (i < s.n && (s.p[i] == '+' || s.p[i] == '-'))
        negative = s.p[i++] == '-';
    if (i >= s.n || !isDigit(s.p[i]))
        return Parse::None;
    const int64_t limit = negative ? int64_t(INT32_MAX) + 1 : int64_t(INT32_MAX);
    int64_t v = 0;
    bool tooBig = false;
    for (; i < s.n && isDigit(s.p[i]); ++i) {
        v = v * 10 + (s.p[i] - '0');
        if (v > limit) {
            tooBig = true;
            v = limit; // keeps the product below overflow while the digits run on
        }
    }
    if (tooBig)
        return Parse::Unusable;
    *out = static_cast<int32_t>(negative ? -v : v);
    return Parse::Value;
}

// Whether a float out of range overflowed (rather than underflowed): asked of the
// same text parsed as a double; beyond a double's range as well, the sign of the
// written exponent decides, since a line of at most 254 digits moves the point too
// little to outweigh an exponent that leaves a double's range.
bool overflowed(const char* first, const char* last, std::chars_format format)
{
    double d = 0.0;
    const std::from_chars_result r = std::from_chars(first, last, d, format);
    if (r.ec == std::errc())
        return std::fabs(d) > 1.0;
    const char mark = format == std::chars_format::hex ? 'p' : 'e';
    for (const char* c = first; c + 1 < r.ptr; ++c)
        if ((*c | 0x20) == mark)
            return c[1] != '-';
    return true;
}

// "%f" in single precision, as strtof reads it: blanks, an optional sign, then a
// decimal or hexadecimal number, "inf", "infinity" or "nan". A number too small for
// a float reads as 0; one too large as infinity.
Parse parseFloat(Span s, float* out)
{
    size_t i = 0;
    while (i < s.n && isBlank(s.p[i]))
        ++i;
    bool negative = false;
    if (i < s.n && (s.p[i] == '+' || s.p[i] == '-'))
        negative = s.p[i++] == '-';
    const char* first = reinterpret_cast<const char*>(s.p + i);
    const char* last = reinterpret_cast<const char*>(s.p + s.n);
    // from_chars takes neither a sign nor a "0x" prefix; strtof reads "0x" without
    // hexadecimal digits after it as the number 0.
    std::chars_format format = std::chars_format::general;
    const auto isHex = [last](const char* c) {
        return c < last && (isDigit(static_cast<unsigned char>(*c)) || ((*c | 0x20) >= 'a' && (*c | 0x20) <= 'f'));
    };
    if (last - first > 2 && first[0] == '0' && (first[1] | 0x20) == 'x' &&
        (isHex(first + 2) || (first[2] == '.' && isHex(first + 3)))) {
        first += 2;
        format = std::chars_format::hex;
    }
    if (first < last && (*first == '+' || *first == '-'))
        return Parse::None; // a second sign
    float v = 0.0f;
    const std::from_chars_result r = std::from_chars(first, last, v, format);
    if (r.ec == std::errc::invalid_argument)
        return Parse::None;
    if (r.ec == std::errc::result_out_of_range)
        v = overflowed(first, r.ptr, format) ? HUGE_VALF : 0.0f;
    *out = negative ? -v : v;
    return Parse::Value;
}

// Clip percent to steps of 0.005 %: the nearest integer to 200 x the number (halves
// away from zero), exact in double precision. Unusable for NaN, infinities and
// results beyond 32 bits.
Parse clipSteps(float percent, int32_t* out)
{
    if (!std::isfinite(percent))
        return Parse::Unusable;
    const double steps = std::round(static_cast<double>(percent) * 200.0);
    if (steps < double(INT32_MIN) || steps > double(INT32_MAX))
        return Parse::Unusable;
    *out = static_cast<int32_t>(steps);
    return Parse::Value;
}

// Index words, compared as prefixes of the text right after the tag, in this order.
struct Word {
    const char* text;
    int32_t index;
};
const Word kSmoothingWords[] = {{"Very High", 0}, {"High", 1}, {"Medium", 2}, {"Low", 3}, {"Very Low", 4}};
// "Very High" is no Micro-contrast word: it leaves the value as it was.
const Word kMicrocontrastWords[] = {{"High", 0},   {"Medium Low", 2}, {"Medium High", 1},
                                    {"Medium", 1}, {"Low", 3},        {"Very Low", 4}};

template <size_t N>
void matchWord(Span s, const Word (&words)[N], int32_t* value)
{
    for (const Word& w : words)
        if (s.startsWith(w.text)) {
            *value = w.index;
            return;
        }
}

// Method names after "<kvrz:Method>": 1 is this filter's family, 2 methods it refuses.
struct Method {
    const char* name;
    int id;
};
const Method kMethods[] = {
    {"Zezazave Zorodedo", 1}, {"Vozozo Rideduzede", 2}, {"Zirudaz Iraverir", 1}, {"Dore Diredozuze", 2}};

const char* const kIntegerTags[] = {"<kvrz:Luminosity>", "<kvrz:Strength>", "<kvrz:ColorSaturation>"};

} // namespace

TMXmpScanner::TMXmpScanner(const int32_t record[TMXmpRecordSize]) { std::memcpy(record_, record, sizeof record_); }

bool TMXmpScanner::feed(const unsigned char* data, size_t size)
{
    while (size > 0 && !ended_) {
        const void* lf = std::memchr(data, '\n', size);
        const size_t take = lf ? static_cast<size_t>(static_cast<const unsigned char*>(lf) - data) : size;
        if (!lineTooLong_) {
            if (lineSize_ + take <= kLineCapacity) {
                std::memcpy(line_ + lineSize_, data, take);
                lineSize_ += take;
            } else {
                lineTooLong_ = true;
            }
        }
        const size_t used = lf ? take + 1 : take;
        consumed_ += used;
        data += used;
        size -= used;
        if (lf)
            endLine();
    }
    return !ended_;
}

int TMXmpScanner::finish()
{
    // The last line counts like any other, with or without its LF.
    if (!ended_ && (lineSize_ > 0 || lineTooLong_))
        endLine();
    ended_ = true;
    if (result_ != 0)
        return result_;
    if (!namespaceSeen_)
        return TMXmpNoSettings;
    return consumed_ > uint64_t(INT32_MAX) ? INT32_MAX : static_cast<int>(consumed_);
}

void TMXmpScanner::endLine()
{
    if (lineTooLong_)
        ended_ = true;
    else
        examine(line_, lineSize_);
    lineSize_ = 0;
    lineTooLong_ = false;
}

void TMXmpScanner::examine(const unsigned char* bytes, size_t size)
{
    const Span line{bytes, size};
    if (!namespaceSeen_) {
        // Readers match the prefix declaration, whatever the URI.
        namespaceSeen_ = line.find("xmlns:kvrz=") != kNotFound;
        return;
    }
    const bool lastLine = line.find("</rdf:") != kNotFound;

    static const char kMethodTag[] = "<kvrz:Method>";
    for (size_t at = line.find(kMethodTag); at != kNotFound; at = line.find(kMethodTag, at + 1)) {
        const Span name = line.from(at + sizeof kMethodTag - 1);
        for (const Method& m : kMethods)
            if (name.startsWith(m.name)) {
                method_ = m.id;
                break;
            }
        if (method_ != 1) {
            result_ = TMXmpOtherMethod;
            ended_ = true;
            return;
        }
    }
    parseElements(bytes, size);
    if (lastLine)
        ended_ = true;
}

void TMXmpScanner::parseElements(const unsigned char* bytes, size_t size)
{
    const Span line{bytes, size};
    // The value after the first occurrence of `tag`, or nothing.
    const auto after = [&line](const char* tag, Span* value) {
        const size_t at = line.find(tag);
        if (at == kNotFound)
            return false;
        *value = line.from(at + std::strlen(tag));
        return true;
    };
    // "%d", or failing that one byte further. A number too long for 32 bits ends the
    // attempt: its tail is no number of the file's.
    const auto readInt = [](Span value, int32_t* into) {
        int32_t v = 0;
        Parse p = parseInt(value, &v);
        if (p == Parse::None && value.n > 0)
            p = parseInt(value.from(1), &v);
        if (p == Parse::Value)
            *into = v;
    };

    Span value{};
    for (int e = 0; e < TMXmpRecordSize; ++e) {
        if (found_[e])
            continue;
        switch (e) {
        case TMXmpLuminosity:
        case TMXmpStrength:
        case TMXmpColorSaturation:
            if (!after(kIntegerTags[e], &value))
                continue;
            readInt(value, &record_[e]);
            break;
        case TMXmpMicrosmoothing:
            if (!after("<kvrz:NoiseSmoothing>", &value) && !after("<kvrz:Microsmoothing>", &value))
                continue;
            readInt(value, &record_[e]);
            break;
        case TMXmpWhiteClip:
        case TMXmpBlackClip: {
            if (!after(e == TMXmpWhiteClip ? "<kvrz:WhiteClip>" : "<kvrz:BlackClip>", &value))
                continue;
            float percent = 0.0f;
            Parse p = parseFloat(value, &percent);
            if (p == Parse::None && value.n > 0)
                p = parseFloat(value.from(1), &percent);
            if (p == Parse::None)
                break; // found: later lines are not consulted
            int32_t steps = 0;
            if (clipSteps(percent, &steps) == Parse::Value)
                record_[e] = steps;
            // A clip read stays open: a later line with the element replaces it.
            continue;
        }
        case TMXmpSmoothing:
            if (!after("<kvrz:Smoothing>", &value))
                continue;
            matchWord(value, kSmoothingWords, &record_[e]);
            break;
        case TMXmpMicrocontrast:
            if (!after("<kvrz:Microcontrast>", &value))
                continue;
            matchWord(value, kMicrocontrastWords, &record_[e]);
            break;
        }
        found_[e] = true;
    }
}

int TMReadSettingsXmpBytes(const void* data, size_t size, int32_t record[TMXmpRecordSize])
{
    TMXmpScanner scan(record);
    scan.feed(static_cast<const unsigned char*>(data), size);
    const int result = scan.finish();
    if (result > 0 || result == TMXmpOtherMethod)
        std::memcpy(record, scan.record(), sizeof(int32_t) * TMXmpRecordSize);
    return result;
}

int readSettingsXmp(const char* path, int32_t record[TMXmpRecordSize])
{
    if (!path || !record)
        return TMXmpNotReadable;
    std::FILE* file = std::fopen(path, "rb");
    if (!file)
        return TMXmpNotReadable;
    // The size is taken once: a file that grows meanwhile is read to its old end, so
    // the scan ends however the file changes.
    long size = -1;
    if (std::fseek(file, 0, SEEK_END) == 0)
        size = std::ftell(file);
    if (size < 0 || std::fseek(file, 0, SEEK_SET) != 0) {
        std::fclose(file);
        return TMXmpNotReadable;
    }
    TMXmpScanner scan(record);
    unsigned char chunk[4096];
    unsigned long left = static_cast<unsigned long>(size);
    while (left > 0) {
        const size_t want = left < sizeof chunk ? static_cast<size_t>(left) : sizeof chunk;
        if (std::fread(chunk, 1, want, file) != want) {
            std::fclose(file);
            return TMXmpShortRead;
        }
        left -= want;
        if (!scan.feed(chunk, want))
            break;
    }
    std::fclose(file);
    const int result = scan.finish();
    if (result > 0 || result == TMXmpOtherMethod)
        std::memcpy(record, scan.record(), sizeof(int32_t) * TMXmpRecordSize);
    return result;
}
