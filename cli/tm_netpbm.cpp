#include "tm_netpbm.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>


namespace {

struct FileCloser {
    void operator()(FILE* f) const
    {
        if (f)
            std::fclose(f);
    }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

bool hostIsLittleEndian()
{
    const uint16_t probe = 1;
    uint8_t first = 0;
    std::memcpy(&first, &probe, 1);
    return first == 1;
}

// Header tokenizer: whitespace-separated tokens, '#' comments to the end of line.
class HeaderReader {
public:
    explicit HeaderReader(FILE* f) : f_(f) {}

    // Reads one token of at most 32 characters; false at end of file or when longer.
    // The character that ends the token is left unread, so that the position after
    // the last header token is where the raster's separator begins.
    bool token(std::string* out)
    {
        out->clear();
        int c = skipSpace();
        while (c != EOF && !std::isspace(c) && c != '#') {
            if (out->size() >= 32)
                return false;
            out->push_back(static_cast<char>(c));
            c = std::fgetc(f_);
        }
        if (c != EOF)
            std::ungetc(c, f_);
        return !out->empty();
    }

    bool unsignedValue(uint64_t max, uint64_t* value)
    {
        std::string t;
        return token(&t) && parseUnsigned(t, max, value);
    }

    // True when only whitespace and comments are left before end of file.
    bool onlySpaceLeft() { return skipSpace() == EOF; }

    static bool parseUnsigned(const std::string& t, uint64_t max, uint64_t* value)
    {
        uint64_t v = 0;
        for (char ch : t) {
            if (ch < '0' || ch > '9')
                return false;
            v = v * 10 + static_cast<uint64_t>(ch - '0');
            if (v > max)
                return false;
        }
        *value = v;
        return !t.empty();
    }

private:
    int skipSpace()
    {
        int c = std::fgetc(f_);
        while (c != EOF) {
            if (c == '#') {
                while (c != EOF && c != '\n' && c != '\r')
                    c = std::fgetc(f_);
            } else if (!std::isspace(c)) {
                return c;
            }
            c = std::fgetc(f_);
        }
        return c;
    }
    FILE* f_;
};

bool fail(TMFileError* error, const std::string& path, const std::string& why, int exitCode = 1)
{
    error->exitCode = exitCode;
    error->message = "cannot read input '" + path + "': " + why;
    return false;
}

// The `count` bytes from the read position are whitespace and comments that
// end before the last of them: what may separate the header from the raster.
bool blankSeparator(FILE* f, int64_t count)
{
    if (count <= 0)
        return false;
    bool inComment = false;
    for (int64_t i = 0; i < count; ++i) {
        const int c = std::fgetc(f);
        if (c == EOF)
            return false;
        if (inComment)
            inComment = c != '\n' && c != '\r';
        else if (c == '#')
            inComment = true;
        else if (!std::isspace(c))
            return false;
    }
    return !inComment;
}

// Reads the ASCII samples; an empty string or why they could not be read.
std::string readAsciiSamples(HeaderReader& header, uint32_t maxval, TMImage* image)
{
    size_t done = 0;
    for (uint16_t& s : image->u16) {
        std::string t;
        if (!header.token(&t))
            return t.empty() ? "truncated: " + std::to_string(done) + " of the " +
                                   std::to_string(image->u16.size()) + " samples the header declares"
                             : "bad sample '" + t.substr(0, 32) + "...'";
        uint64_t v = 0;
        if (!HeaderReader::parseUnsigned(t, 65535, &v))
            return "bad sample '" + t + "'";
        if (v > maxval)
            return "a sample exceeds maxval " + std::to_string(maxval);
        s = static_cast<uint16_t>(v);
        ++done;
    }
    if (!header.onlySpaceLeft())
        return "the raster does not match the header: more than the " + std::to_string(image->u16.size()) +
               " samples it declares";
    return std::string();
}

// Reads the big-endian binary samples; an empty string or why they could not be read.
std::string readBinarySamples(FILE* f, uint32_t maxval, TMImage* image)
{
    std::vector<uint8_t> row(static_cast<size_t>(image->width) * image->channels * 2);
    uint16_t* out = image->u16.data();
    for (int32_t y = 0; y < image->height; ++y) {
        if (std::fread(row.data(), 1, row.size(), f) != row.size())
            return std::ferror(f) ? std::strerror(errno) : "truncated: the file shrank while it was read";
        for (size_t i = 0; i < row.size(); i += 2) {
            const uint32_t v = uint32_t{row[i]} << 8 | row[i + 1];
            if (v > maxval)
                return "a sample exceeds maxval " + std::to_string(maxval);
            *out++ = static_cast<uint16_t>(v);
        }
    }
    return std::string();
}

std::string readPfm(FILE* f, bool littleEndian, TMImage* image)
{
    const size_t rowSamples = static_cast<size_t>(image->width) * image->channels;
    std::vector<uint8_t> row(rowSamples * 4);
    const bool swap = littleEndian != hostIsLittleEndian();
    // Rows are stored bottom to top.
    for (int32_t y = image->height - 1; y >= 0; --y) {
        if (std::fread(row.data(), 1, row.size(), f) != row.size())
            return std::ferror(f) ? std::strerror(errno) : "truncated: the file shrank while it was read";
        float* out = image->f32.data() + static_cast<size_t>(y) * rowSamples;
        for (size_t i = 0; i < rowSamples; ++i) {
            uint8_t b[4];
            std::memcpy(b, &row[i * 4], 4);
            if (swap) {
                std::swap(b[0], b[3]);
                std::swap(b[1], b[2]);
            }
            std::memcpy(&out[i], b, 4);
        }
    }
    return std::string();
}

std::string plural(uint64_t n, const char* word) { return std::to_string(n) + " " + word + (n == 1 ? "" : "s"); }

} // namespace

bool TMNetpbmMagic(const unsigned char* start, size_t count)
{
    return count >= 3 && start[0] == 'P' && start[1] != 0 && std::strchr("123456Ff", start[1]) &&
           std::isspace(start[2]);
}

bool TMLooksLikeNetpbm(const std::string& path)
{
    TMInputFile file;
    TMFileError ignored;
    unsigned char magic[3] = {};
    return file.open(path, &ignored) && TMNetpbmMagic(magic, file.peek(magic, 3));
}

bool TMReadNetpbm(const std::string& path, TMImage* image, TMFileError* error)
{
    TMInputFile file;
    return file.open(path, error) && TMReadNetpbm(file, image, error);
}

bool TMReadNetpbm(const TMInputFile& file, TMImage* image, TMFileError* error)
{
    const std::string& path = file.path();
    FILE* f = file.get();
    if (std::fseek(f, 0, SEEK_SET) != 0)
        return fail(error, path, std::strerror(errno));
    HeaderReader header(f);
    std::string magic;
    if (!header.token(&magic) || magic.size() != 2 || magic[0] != 'P')
        return fail(error, path, "not a Netpbm file");
    const char kind = magic[1];
    if (kind == '1' || kind == '4') {
        error->exitCode = 2;
        error->message = kTM8BitRefusal;
        return false;
    }
    const bool isFloat = kind == 'F' || kind == 'f';
    const bool isAscii = kind == '2' || kind == '3';
    if (!isFloat && !isAscii && kind != '5' && kind != '6')
        return fail(error, path, "unsupported Netpbm variant '" + magic + "'", 2);
    const int32_t channels = (kind == '3' || kind == '6' || kind == 'F') ? 3 : 1;

    uint64_t width = 0, height = 0;
    constexpr uint64_t kMaxSide = std::numeric_limits<int32_t>::max();
    if (!header.unsignedValue(kMaxSide, &width) || !header.unsignedValue(kMaxSide, &height) || width == 0 ||
        height == 0)
        return fail(error, path, "bad Netpbm header (width and height)");

    uint64_t maxval = 0;
    bool littleEndian = false;
    if (isFloat) {
        std::string scale;
        char* end = nullptr;
        if (!header.token(&scale))
            return fail(error, path, "bad PFM header (scale)");
        const double s = std::strtod(scale.c_str(), &end);
        if (end != scale.c_str() + scale.size() || !(s != 0.0) || !std::isfinite(s))
            return fail(error, path, "bad PFM header (scale)");
        littleEndian = s < 0.0;
    } else {
        if (!header.unsignedValue(65535, &maxval) || maxval == 0)
            return fail(error, path, "bad Netpbm header (maxval must be 1..65535)");
        if (maxval <= 255) {
            error->exitCode = 2;
            error->message = kTM8BitRefusal;
            return false;
        }
    }

    // The file's size decides, before anything is allocated: a binary raster is
    // exactly the file's last samples * bytes bytes, and what lies between it and
    // the header's last token must be whitespace and comments (a CR LF, a comment
    // line); ASCII samples take at least a separator and a digit each.
    const long headerEnd = std::ftell(f);
    if (headerEnd < 0)
        return fail(error, path, std::strerror(errno));
    const int64_t after = file.size() - headerEnd;
    const uint64_t samples = width * height * static_cast<uint64_t>(channels); // sides < 2^31: no overflow
    const std::string raster = std::to_string(width) + " x " + std::to_string(height) + " pixels x " +
                               plural(static_cast<uint64_t>(channels), "channel") + " of " +
                               (isFloat ? "float" : isAscii ? "text" : "16-bit") + " samples";
    if (samples > (uint64_t{1} << 56)) // beyond any file system's largest file
        return fail(error, path, "truncated: the header declares " + raster + ", more than a file can hold");
    const uint64_t rasterBytes = isAscii ? 2 * samples : samples * (isFloat ? 4 : 2);
    const uint64_t leastAfter = isAscii ? rasterBytes : rasterBytes + 1;
    const std::string tail =
        "but the file ends " + plural(static_cast<uint64_t>(std::max<int64_t>(after, 0)), "byte") + " after it";
    if (after < 0 || static_cast<uint64_t>(after) < leastAfter)
        return fail(error, path,
                    "truncated: the header declares " + raster + " (" + (isAscii ? "at least " : "") +
                        plural(rasterBytes, "byte") + "), " + tail);
    if (!isAscii && !blankSeparator(f, after - static_cast<int64_t>(rasterBytes)))
        return fail(error, path,
                    "the raster does not match the header: it declares " + raster + " (" +
                        plural(rasterBytes, "byte") + "), " + tail);

    if (!TMCheckImageMemory(path, static_cast<int64_t>(width), static_cast<int64_t>(height), channels,
                            isFloat ? 4 : 2, TMMachineMemory(), error))
        return false;
    image->allocate(isFloat ? TMSampleType::Float32 : TMSampleType::UInt16, static_cast<int32_t>(width),
                    static_cast<int32_t>(height), channels);
    const std::string why = isFloat  ? readPfm(f, littleEndian, image)
                            : isAscii ? readAsciiSamples(header, static_cast<uint32_t>(maxval), image)
                                      : readBinarySamples(f, static_cast<uint32_t>(maxval), image);
    if (!why.empty())
        return fail(error, path, why);

    if (maxval != 0 && maxval != 65535)
        for (uint16_t& s : image->u16)
            s = static_cast<uint16_t>((uint64_t{s} * 65535u + maxval / 2) / maxval);

    image->meta = OIIO::ImageSpec(image->width, image->height, channels,
                                  isFloat ? OIIO::TypeDesc::FLOAT : OIIO::TypeDesc::UINT16);
    return true;
}

bool TMWriteNetpbm(TMByteSink& sink, const TMImage& image, std::string* error)
{
    const bool isFloat = image.type == TMSampleType::Float32;
    if ((image.channels != 1 && image.channels != 3) || (!isFloat && image.type != TMSampleType::UInt16)) {
        *error = "Netpbm files hold 1 or 3 channels of 16-bit or float samples";
        return false;
    }
    const char* magic = isFloat ? (image.channels == 3 ? "PF" : "Pf") : (image.channels == 3 ? "P6" : "P5");
    const std::string header = std::string(magic) + "\n" + std::to_string(image.width) + " " +
                               std::to_string(image.height) + "\n" + (isFloat ? "-1.0" : "65535") + "\n";
    int64_t at = 0;
    if (!sink.write(header.data(), header.size(), at)) {
        *error = sink.error();
        return false;
    }
    at += static_cast<int64_t>(header.size());
    const size_t rowSamples = static_cast<size_t>(image.width) * image.channels;
    std::vector<uint8_t> row(rowSamples * (isFloat ? 4 : 2));
    for (int32_t i = 0; i < image.height; ++i) {
        if (isFloat) {
            const int32_t y = image.height - 1 - i; // bottom row first
            const float* src = image.f32.data() + static_cast<size_t>(y) * rowSamples;
            for (size_t k = 0; k < rowSamples; ++k) {
                uint32_t bits = 0;
                std::memcpy(&bits, &src[k], 4);
                for (int b = 0; b < 4; ++b)
                    row[k * 4 + b] = static_cast<uint8_t>(bits >> (8 * b)); // little-endian
            }
        } else {
            const uint16_t* src = image.u16.data() + static_cast<size_t>(i) * rowSamples;
            for (size_t k = 0; k < rowSamples; ++k) {
                row[k * 2] = static_cast<uint8_t>(src[k] >> 8); // big-endian
                row[k * 2 + 1] = static_cast<uint8_t>(src[k] & 0xff);
            }
        }
        if (!sink.write(row.data(), row.size(), at)) {
            *error = sink.error();
            return false;
        }
        at += static_cast<int64_t>(row.size());
    }
    return true;
}
