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

#include <sys/stat.h>

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
        // The single whitespace after the last header token is consumed here, as
        // the formats require; a '#' right after a token starts a comment.
        if (c == '#')
            std::ungetc(c, f_);
        return !out->empty();
    }

    bool unsignedValue(uint64_t max, uint64_t* value)
    {
        std::string t;
        if (!token(&t))
            return false;
        uint64_t v = 0;
        for (char ch : t) {
            if (ch < '0' || ch > '9')
                return false;
            v = v * 10 + static_cast<uint64_t>(ch - '0');
            if (v > max)
                return false;
        }
        *value = v;
        return true;
    }

private:
    int skipSpace()
    {
        int c = std::fgetc(f_);
        while (c != EOF) {
            if (c == '#') {
                while (c != EOF && c != '\n')
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

int64_t remainingBytes(FILE* f)
{
    struct stat st {};
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode))
        return -1; // unknown (pipe, device): rely on short reads instead
    const long pos = std::ftell(f);
    return pos < 0 ? -1 : static_cast<int64_t>(st.st_size) - pos;
}

bool readAsciiSamples(HeaderReader& header, uint32_t maxval, TMImage* image)
{
    for (uint16_t& s : image->u16) {
        uint64_t v = 0;
        if (!header.unsignedValue(maxval, &v))
            return false;
        s = static_cast<uint16_t>(v);
    }
    return true;
}

bool readBinarySamples(FILE* f, uint32_t maxval, TMImage* image)
{
    std::vector<uint8_t> row(static_cast<size_t>(image->width) * image->channels * 2);
    uint16_t* out = image->u16.data();
    for (int32_t y = 0; y < image->height; ++y) {
        if (std::fread(row.data(), 1, row.size(), f) != row.size())
            return false;
        for (size_t i = 0; i < row.size(); i += 2) {
            const uint32_t v = uint32_t{row[i]} << 8 | row[i + 1]; // big-endian
            if (v > maxval)
                return false;
            *out++ = static_cast<uint16_t>(v);
        }
    }
    return true;
}

bool readPfm(FILE* f, bool littleEndian, TMImage* image)
{
    const size_t rowSamples = static_cast<size_t>(image->width) * image->channels;
    std::vector<uint8_t> row(rowSamples * 4);
    const bool swap = littleEndian != hostIsLittleEndian();
    // Rows are stored bottom to top.
    for (int32_t y = image->height - 1; y >= 0; --y) {
        if (std::fread(row.data(), 1, row.size(), f) != row.size())
            return false;
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
    return true;
}

} // namespace

bool TMLooksLikeNetpbm(const std::string& path)
{
    FilePtr f(std::fopen(path.c_str(), "rb"));
    if (!f)
        return false;
    unsigned char magic[3] = {};
    if (std::fread(magic, 1, 3, f.get()) != 3)
        return false;
    return magic[0] == 'P' && std::strchr("123456Ff", magic[1]) && magic[1] != 0 && std::isspace(magic[2]);
}

bool TMReadNetpbm(const std::string& path, TMImage* image, TMFileError* error)
{
    FilePtr f(std::fopen(path.c_str(), "rb"));
    if (!f)
        return fail(error, path, std::strerror(errno));
    HeaderReader header(f.get());
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
    if (!isFloat && kind != '2' && kind != '3' && kind != '5' && kind != '6')
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

    // Refuse sizes the file cannot hold before allocating for them.
    // Sides below 2^31 keep the sample count below 2^64; past 2^56 samples no
    // machine holds the image, and the byte count below cannot overflow.
    const uint64_t samples = width * height * static_cast<uint64_t>(channels);
    if (samples > (uint64_t{1} << 56))
        return fail(error, path, "image too large");
    // ASCII samples take at least one digit and one separator, the last one a digit.
    const uint64_t minBytes = isFloat ? samples * 4 : (kind == '5' || kind == '6') ? samples * 2 : 2 * samples - 1;
    const int64_t left = remainingBytes(f.get());
    if (left >= 0 && static_cast<uint64_t>(left) < minBytes)
        return fail(error, path, "file is truncated");

    image->allocate(isFloat ? TMSampleType::Float32 : TMSampleType::UInt16, static_cast<int32_t>(width),
                    static_cast<int32_t>(height), channels);
    bool ok;
    if (isFloat)
        ok = readPfm(f.get(), littleEndian, image);
    else if (kind == '5' || kind == '6')
        ok = readBinarySamples(f.get(), static_cast<uint32_t>(maxval), image);
    else
        ok = readAsciiSamples(header, static_cast<uint32_t>(maxval), image);
    if (!ok)
        return fail(error, path, "file is truncated or has samples above maxval");

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
