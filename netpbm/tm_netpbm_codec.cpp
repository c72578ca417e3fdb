#include "tm_netpbm_codec.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

constexpr size_t kChunkBytes = size_t{64} << 10;
constexpr size_t kMaxToken = 32; // characters; longer header tokens and samples are refused

bool hostIsLittleEndian()
{
    const uint16_t probe = 1;
    uint8_t first = 0;
    std::memcpy(&first, &probe, 1);
    return first == 1;
}

// The C locale's white space, whatever locale the process runs in.
bool isSpace(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

bool fail(TMNetpbmError* error, TMNetpbmStatus status, std::string message)
{
    error->status = status;
    error->message = std::move(message);
    return false;
}

std::string plural(uint64_t n, const char* word) { return std::to_string(n) + " " + word + (n == 1 ? "" : "s"); }

// Buffered forward reading of a source, one byte at a time, from a given offset.
class ByteReader {
public:
    ByteReader(TMNetpbmSource& source, int64_t at) : source_(source), end_(source.size()), start_(at) {}

    // The next byte, not consumed; -1 at the end of the data or after a read failure.
    int peek()
    {
        if (next_ == count_ && !fill())
            return -1;
        return buffer_[next_];
    }
    void skip() { ++next_; }
    int64_t position() const { return start_ + static_cast<int64_t>(next_); }
    const std::string& failure() const { return failure_; }

    // Skips whitespace and comments ('#' to the end of the line); returns the next
    // byte, not consumed, or -1.
    int skipSpace()
    {
        int c = peek();
        while (c >= 0) {
            if (c == '#') {
                while (c >= 0 && c != '\n' && c != '\r') {
                    skip();
                    c = peek();
                }
            } else if (!isSpace(c)) {
                return c;
            } else {
                skip();
                c = peek();
            }
        }
        return c;
    }

    // Reads one token of at most kMaxToken characters; false at the end of the data
    // or when it is longer (then `out` holds its first kMaxToken). The byte that ends
    // the token is not consumed, so that after the header's last token the position
    // is where the raster's separator begins.
    bool token(std::string* out)
    {
        out->clear();
        int c = skipSpace();
        while (c >= 0 && !isSpace(c) && c != '#') {
            if (out->size() >= kMaxToken)
                return false;
            out->push_back(static_cast<char>(c));
            skip();
            c = peek();
        }
        return !out->empty();
    }

private:
    bool fill()
    {
        start_ += static_cast<int64_t>(count_);
        next_ = count_ = 0;
        if (start_ >= end_ || !failure_.empty())
            return false;
        if (buffer_.empty())
            buffer_.resize(kChunkBytes);
        const size_t want = static_cast<size_t>(std::min<int64_t>(end_ - start_, static_cast<int64_t>(kChunkBytes)));
        count_ = source_.read(start_, buffer_.data(), want, &failure_);
        return count_ > 0;
    }

    TMNetpbmSource& source_;
    int64_t end_;
    int64_t start_; // source offset of buffer_[0]
    std::vector<uint8_t> buffer_;
    size_t next_ = 0, count_ = 0;
    std::string failure_;
};

bool parseUnsigned(const std::string& t, uint64_t max, uint64_t* value)
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

bool unsignedToken(ByteReader& r, uint64_t max, uint64_t* value)
{
    std::string t;
    return r.token(&t) && parseUnsigned(t, max, value);
}

// True when the `count` bytes from the reader's position are whitespace and comments
// that end before the last of them: what may separate the header from a binary raster.
bool blankSeparator(ByteReader& r, int64_t count)
{
    if (count <= 0)
        return false;
    bool inComment = false;
    for (int64_t i = 0; i < count; ++i) {
        const int c = r.peek();
        if (c < 0)
            return false;
        r.skip();
        if (inComment)
            inComment = c != '\n' && c != '\r';
        else if (c == '#')
            inComment = true;
        else if (!isSpace(c))
            return false;
    }
    return !inComment;
}

bool readFailed(const ByteReader& r, TMNetpbmError* error)
{
    return !r.failure().empty() && !fail(error, TMNetpbmStatus::ReadError, r.failure());
}

// Reads `count` bytes at `offset` whole, or fails with why.
bool readExactly(TMNetpbmSource& source, int64_t offset, void* buffer, size_t count, TMNetpbmError* error)
{
    std::string why;
    if (source.read(offset, buffer, count, &why) == count)
        return true;
    if (why.empty())
        return fail(error, TMNetpbmStatus::Truncated, "truncated: the file shrank while it was read");
    return fail(error, TMNetpbmStatus::ReadError, why);
}

bool readFloatRows(TMNetpbmSource& source, const TMNetpbmHeader& h, float* out, TMNetpbmError* error)
{
    const size_t rowSamples = static_cast<size_t>(h.width) * static_cast<size_t>(h.channels);
    const bool swap = h.littleEndian != hostIsLittleEndian();
    int64_t at = h.rasterOffset;
    // Rows are stored bottom to top; each is read straight into its place.
    for (int32_t y = h.height - 1; y >= 0; --y) {
        float* row = out + static_cast<size_t>(y) * rowSamples;
        if (!readExactly(source, at, row, rowSamples * 4, error))
            return false;
        at += static_cast<int64_t>(rowSamples * 4);
        if (swap)
            for (size_t i = 0; i < rowSamples; ++i) {
                uint8_t b[4];
                std::memcpy(b, &row[i], 4);
                std::swap(b[0], b[3]);
                std::swap(b[1], b[2]);
                std::memcpy(&row[i], b, 4);
            }
    }
    return true;
}

bool exceedsMaxval(const TMNetpbmHeader& h, TMNetpbmError* error)
{
    return fail(error, TMNetpbmStatus::BadSample, "a sample exceeds maxval " + std::to_string(h.maxval));
}

// Big-endian 16-bit samples, read into their place and converted there.
bool readBinaryRows(TMNetpbmSource& source, const TMNetpbmHeader& h, uint16_t* out, TMNetpbmError* error)
{
    const size_t rowSamples = static_cast<size_t>(h.width) * static_cast<size_t>(h.channels);
    int64_t at = h.rasterOffset;
    for (int32_t y = 0; y < h.height; ++y) {
        uint16_t* row = out + static_cast<size_t>(y) * rowSamples;
        if (!readExactly(source, at, row, rowSamples * 2, error))
            return false;
        at += static_cast<int64_t>(rowSamples * 2);
        for (size_t i = 0; i < rowSamples; ++i) {
            uint8_t b[2];
            std::memcpy(b, &row[i], 2);
            const uint32_t v = uint32_t{b[0]} << 8 | b[1];
            if (v > h.maxval)
                return exceedsMaxval(h, error);
            row[i] = static_cast<uint16_t>(v);
        }
    }
    return true;
}

bool readTextSamples(TMNetpbmSource& source, const TMNetpbmHeader& h, uint16_t* out, TMNetpbmError* error)
{
    ByteReader r(source, h.headerEnd);
    const uint64_t count = h.sampleCount();
    for (uint64_t done = 0; done < count; ++done) {
        std::string t;
        if (!r.token(&t)) {
            if (readFailed(r, error))
                return false;
            if (t.empty())
                return fail(error, TMNetpbmStatus::Truncated,
                            "truncated: " + std::to_string(done) + " of the " + std::to_string(count) +
                                " samples the header declares");
            return fail(error, TMNetpbmStatus::BadSample, "bad sample '" + t + "...'");
        }
        uint64_t v = 0;
        if (!parseUnsigned(t, 65535, &v))
            return fail(error, TMNetpbmStatus::BadSample, "bad sample '" + t + "'");
        if (v > h.maxval)
            return exceedsMaxval(h, error);
        out[done] = static_cast<uint16_t>(v);
    }
    if (r.skipSpace() >= 0)
        return fail(error, TMNetpbmStatus::Mismatch,
                    "the raster does not match the header: more than the " + std::to_string(count) +
                        " samples it declares");
    return !readFailed(r, error);
}

} // namespace

size_t TMNetpbmMemory::read(int64_t offset, void* buffer, size_t count, std::string*)
{
    if (offset < 0 || static_cast<uint64_t>(offset) >= size_)
        return 0;
    const size_t n = std::min(count, size_ - static_cast<size_t>(offset));
    std::memcpy(buffer, data_ + offset, n);
    return n;
}

bool TMNetpbmMagic(const unsigned char* start, size_t count)
{
    return count >= 3 && start[0] == 'P' && start[1] != 0 && std::strchr("123456Ff", start[1]) && isSpace(start[2]);
}

bool TMNetpbmReadHeader(TMNetpbmSource& source, TMNetpbmHeader* header, TMNetpbmError* error)
{
    *error = TMNetpbmError{};
    TMNetpbmHeader h;
    ByteReader r(source, 0);
    std::string magic;
    const bool gotMagic = r.token(&magic);
    if (readFailed(r, error))
        return false;
    if (!gotMagic || magic.size() != 2 || magic[0] != 'P')
        return fail(error, TMNetpbmStatus::NotNetpbm, "not a Netpbm file");
    h.kind = magic[1];
    if (h.kind == '1' || h.kind == '4')
        return fail(error, TMNetpbmStatus::EightBit, "a bitmap: not a 16-bit or float image");
    h.isFloat = h.kind == 'F' || h.kind == 'f';
    h.isText = h.kind == '2' || h.kind == '3';
    if (!h.isFloat && !h.isText && h.kind != '5' && h.kind != '6')
        return fail(error, TMNetpbmStatus::Unsupported, "unsupported Netpbm variant '" + magic + "'");
    h.channels = (h.kind == '3' || h.kind == '6' || h.kind == 'F') ? 3 : 1;

    uint64_t width = 0, height = 0;
    constexpr uint64_t kMaxSide = std::numeric_limits<int32_t>::max();
    const bool sized = unsignedToken(r, kMaxSide, &width) && unsignedToken(r, kMaxSide, &height);
    if (readFailed(r, error))
        return false;
    if (!sized || width == 0 || height == 0)
        return fail(error, TMNetpbmStatus::BadHeader, "bad Netpbm header (width and height)");
    h.width = static_cast<int32_t>(width);
    h.height = static_cast<int32_t>(height);

    if (h.isFloat) {
        std::string scale;
        const bool gotScale = r.token(&scale);
        if (readFailed(r, error))
            return false;
        char* end = nullptr;
        const double s = gotScale ? std::strtod(scale.c_str(), &end) : 0.0;
        if (!gotScale || end != scale.c_str() + scale.size() || !(s != 0.0) || !std::isfinite(s))
            return fail(error, TMNetpbmStatus::BadHeader, "bad PFM header (scale)");
        h.littleEndian = s < 0.0;
    } else {
        uint64_t maxval = 0;
        const bool gotMaxval = unsignedToken(r, 65535, &maxval);
        if (readFailed(r, error))
            return false;
        if (!gotMaxval || maxval == 0)
            return fail(error, TMNetpbmStatus::BadHeader, "bad Netpbm header (maxval must be 1..65535)");
        if (maxval <= 255)
            return fail(error, TMNetpbmStatus::EightBit,
                        "maxval " + std::to_string(maxval) + ": an 8-bit image, not a 16-bit or float one");
        h.maxval = static_cast<uint32_t>(maxval);
    }

    // The source's size decides, before anything is allocated: a binary raster is
    // exactly the last samples x bytes bytes, and what lies between it and the
    // header's last token must be whitespace and comments (a CR LF, a comment line);
    // text samples take at least a separator and a digit each.
    h.headerEnd = r.position();
    const int64_t after = source.size() - h.headerEnd;
    const uint64_t samples = h.sampleCount(); // sides < 2^31: no overflow
    const std::string raster = std::to_string(width) + " x " + std::to_string(height) + " pixels x " +
                               plural(static_cast<uint64_t>(h.channels), "channel") + " of " +
                               (h.isFloat  ? "float"
                                : h.isText ? "text"
                                           : "16-bit") +
                               " samples";
    if (samples > (uint64_t{1} << 56)) // beyond any file system's largest file
        return fail(error, TMNetpbmStatus::Truncated,
                    "truncated: the header declares " + raster + ", more than a file can hold");
    const uint64_t rasterBytes = h.isText ? 2 * samples : samples * (h.isFloat ? 4 : 2);
    const uint64_t leastAfter = h.isText ? rasterBytes : rasterBytes + 1;
    const std::string tail =
        "but the file ends " + plural(static_cast<uint64_t>(std::max<int64_t>(after, 0)), "byte") + " after it";
    if (after < 0 || static_cast<uint64_t>(after) < leastAfter)
        return fail(error, TMNetpbmStatus::Truncated,
                    "truncated: the header declares " + raster + " (" + (h.isText ? "at least " : "") +
                        plural(rasterBytes, "byte") + "), " + tail);
    if (!h.isText) {
        h.rasterOffset = source.size() - static_cast<int64_t>(rasterBytes);
        const bool blank = blankSeparator(r, h.rasterOffset - h.headerEnd);
        if (readFailed(r, error))
            return false;
        if (!blank)
            return fail(error, TMNetpbmStatus::Mismatch,
                        "the raster does not match the header: it declares " + raster + " (" +
                            plural(rasterBytes, "byte") + "), " + tail);
    }
    *header = h;
    return true;
}

bool TMNetpbmReadSamples(TMNetpbmSource& source, const TMNetpbmHeader& header, float* f32, uint16_t* u16,
                         TMNetpbmError* error)
{
    *error = TMNetpbmError{};
    if (header.isFloat)
        return readFloatRows(source, header, f32, error);
    if (!(header.isText ? readTextSamples(source, header, u16, error) : readBinaryRows(source, header, u16, error)))
        return false;
    const uint64_t maxval = header.maxval;
    if (maxval != 65535) {
        const size_t n = static_cast<size_t>(header.sampleCount());
        for (size_t i = 0; i < n; ++i)
            u16[i] = static_cast<uint16_t>((uint64_t{u16[i]} * 65535u + maxval / 2) / maxval);
    }
    return true;
}

bool TMNetpbmRead(TMNetpbmSource& source, TMNetpbmPicture* picture, TMNetpbmError* error)
{
    TMNetpbmHeader header;
    if (!TMNetpbmReadHeader(source, &header, error))
        return false;
    picture->header = header;
    const size_t n = static_cast<size_t>(header.sampleCount());
    picture->f32.assign(header.isFloat ? n : 0, 0.0f);
    picture->u16.assign(header.isFloat ? 0 : n, 0);
    return TMNetpbmReadSamples(source, header, picture->f32.data(), picture->u16.data(), error);
}

bool TMNetpbmDecode(const void* data, size_t size, TMNetpbmPicture* picture, TMNetpbmError* error)
{
    TMNetpbmMemory memory(data, size);
    return TMNetpbmRead(memory, picture, error);
}

bool TMNetpbmWritable(const TMNetpbmView& image, std::string* error)
{
    if ((image.channels != 1 && image.channels != 3) || (image.f32 != nullptr) == (image.u16 != nullptr)) {
        *error = "Netpbm files hold 1 or 3 channels of 16-bit or float samples";
        return false;
    }
    if (image.width <= 0 || image.height <= 0) {
        *error = "a Netpbm file holds at least one pixel";
        return false;
    }
    return true;
}

bool TMNetpbmWrite(const TMNetpbmView& image, const TMNetpbmWriter& write, std::string* error)
{
    if (!TMNetpbmWritable(image, error))
        return false;
    const bool isFloat = image.f32 != nullptr;
    const char* magic = isFloat ? (image.channels == 3 ? "PF" : "Pf") : (image.channels == 3 ? "P6" : "P5");
    const std::string header = std::string(magic) + "\n" + std::to_string(image.width) + " " +
                               std::to_string(image.height) + "\n" + (isFloat ? "-1.0" : "65535") + "\n";
    if (!write(header.data(), header.size()))
        return false;
    const size_t rowSamples = static_cast<size_t>(image.width) * static_cast<size_t>(image.channels);
    const bool direct = isFloat && hostIsLittleEndian(); // the stored form is the memory form
    std::vector<uint8_t> row(direct ? 0 : rowSamples * (isFloat ? 4 : 2));
    for (int32_t i = 0; i < image.height; ++i) {
        if (isFloat) {
            const int32_t y = image.height - 1 - i; // bottom row first
            const float* src = image.f32 + static_cast<size_t>(y) * rowSamples;
            if (direct) {
                if (!write(src, rowSamples * 4))
                    return false;
                continue;
            }
            for (size_t k = 0; k < rowSamples; ++k) {
                uint32_t bits = 0;
                std::memcpy(&bits, &src[k], 4);
                for (int b = 0; b < 4; ++b)
                    row[k * 4 + b] = static_cast<uint8_t>(bits >> (8 * b)); // little-endian
            }
        } else {
            const uint16_t* src = image.u16 + static_cast<size_t>(i) * rowSamples;
            for (size_t k = 0; k < rowSamples; ++k) {
                row[k * 2] = static_cast<uint8_t>(src[k] >> 8); // big-endian
                row[k * 2 + 1] = static_cast<uint8_t>(src[k] & 0xff);
            }
        }
        if (!write(row.data(), row.size()))
            return false;
    }
    return true;
}
