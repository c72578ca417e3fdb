#include "tm_image_io.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <OpenImageIO/filesystem.h>

#include "tm_input_file.h"
#include "tm_netpbm.h"

namespace {

enum class SampleClass { Float, UInt16, Low, Other };

SampleClass classify(OIIO::TypeDesc t)
{
    switch (t.basetype) {
    case OIIO::TypeDesc::HALF:
    case OIIO::TypeDesc::FLOAT:
    case OIIO::TypeDesc::DOUBLE: return SampleClass::Float;
    case OIIO::TypeDesc::UINT16: return SampleClass::UInt16;
    case OIIO::TypeDesc::UINT8: return SampleClass::Low;
    default: return SampleClass::Other;
    }
}

// One class for the whole image; mixed per-channel types give Other unless all
// of them are float types.
SampleClass classify(const OIIO::ImageSpec& header)
{
    if (header.channelformats.empty())
        return classify(header.format);
    const SampleClass first = classify(header.channelformats.front());
    for (const OIIO::TypeDesc& t : header.channelformats)
        if (classify(t) != first)
            return SampleClass::Other;
    return first;
}

std::string typeName(const OIIO::ImageSpec& header)
{
    if (!header.channelformats.empty()) {
        std::string names;
        for (const OIIO::TypeDesc& t : header.channelformats)
            names += (names.empty() ? "" : ",") + std::string(t.c_str());
        return "mixed (" + names + ")";
    }
    return header.format.c_str();
}

bool fail(TMFileError* error, int exitCode, std::string message)
{
    error->exitCode = exitCode;
    error->message = std::move(message);
    return false;
}

// The image library's message, without its trailing newline.
std::string trimmed(std::string s)
{
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s.empty() ? std::string("unknown error") : s;
}

// The first line of a library message (a failed read may log one per strip),
// without a dangling separator.
std::string firstLine(const std::string& s)
{
    std::string line = s.substr(0, s.find('\n'));
    while (!line.empty() && (line.back() == ' ' || line.back() == ':'))
        line.pop_back();
    return line.empty() ? std::string("unknown error") : line;
}

uint64_t saturatingMultiply(uint64_t a, uint64_t b)
{
    if (a != 0 && b > std::numeric_limits<uint64_t>::max() / a)
        return std::numeric_limits<uint64_t>::max();
    return a * b;
}

uint64_t ceilDivide(uint64_t a, uint64_t b) { return a / b + (a % b != 0); }

// How many bytes of decoded samples a codec can make of one stored byte, at most.
// Each bound is the codec's best case, so that no valid file is ever refused:

// OpenEXR. Raw chunks hold the samples as they are. RLE turns 2 bytes into a run of
// at most 128. zlib's deflate emits a 258-byte match for no less than 2 bits: 1032
// to 1. PXR24 stores a float in 24 bits before deflating. PIZ Huffman-codes 16-bit
// values, one code of at least 1 bit each, or a run of at most 255 repeats for an
// escape code and 8 bits: 255 * 16 / 9 < 454. B44A stores a flat 4 x 4 block of
// halves (32 bytes) in 3. DWA run-length codes (64 to 1) and then deflates.
struct ExrBound {
    const char* compression; // the image library's name for it
    uint64_t ratio;
};
constexpr ExrBound kExrBounds[] = {
    {"none", 1},  {"rle", 64}, {"zips", 1032}, {"zip", 1032},       {"pxr24", 1032 * 4 / 3},
    {"piz", 454}, {"b44", 11}, {"b44a", 11},   {"dwaa", 64 * 1032}, {"dwab", 64 * 1032},
};

// TIFF, by compression number. PackBits repeats a byte at most 128 times for 2
// bytes. An LZW code of at least 9 bits stands for a string of at most 4096 bytes:
// 4096 * 8 / 9 < 3641. Deflate as above; PixarLog deflates 16-bit codes of float
// samples. LZMA's range coder spends at least 0.022 bits on each of the 14 decisions
// of a 273-byte repeat match: 273 * 8 / 0.308 < 7100. A zstd RLE block makes 128 KiB
// of 4 bytes. Other codecs have no bound here (JPEG and the bilevel ones only hold
// 8-bit and lower images, which are refused before this).
struct TiffBound {
    int code;
    uint64_t ratio;
};
constexpr TiffBound kTiffBounds[] = {
    {1, 1}, {32773, 64}, {5, 3641}, {8, 1032}, {32946, 1032}, {32909, 2064}, {34925, 7100}, {50000, 32768},
};

// The fewest bytes a file of `format` can hold the declared image in, 0 when the
// format or its codec has no known bound. `codec` is set to the codec's name for
// messages.
uint64_t leastFileBytes(const OIIO::ImageSpec& header, const std::string& format, std::string* codec)
{
    const uint64_t width = static_cast<uint64_t>(header.width);
    const uint64_t height = static_cast<uint64_t>(header.height);
    const uint64_t channels = static_cast<uint64_t>(header.nchannels);
    const int storedBits = header.get_int_attribute("oiio:BitsPerSample", static_cast<int>(header.format.size() * 8));
    const uint64_t bits = static_cast<uint64_t>(storedBits);
    const uint64_t packedRow = ceilDivide(saturatingMultiply(width * channels, bits), 8);
    if (format == "openexr") {
        std::string compression(header.get_string_attribute("compression"));
        compression = compression.substr(0, compression.find(':')); // "dwaa:45": codec and level
        uint64_t ratio = 0;
        for (const ExrBound& b : kExrBounds)
            if (compression == b.compression)
                ratio = b.ratio;
        *codec = compression == "none" ? "uncompressed" : compression + "-compressed";
        const uint64_t raw = saturatingMultiply(width * height, header.pixel_bytes(true));
        return ratio == 0 ? 0 : ceilDivide(raw, ratio);
    }
    if (format == "tiff") {
        const int code = header.get_int_attribute("tiff:Compression", 0);
        uint64_t ratio = 0;
        for (const TiffBound& b : kTiffBounds)
            if (code == b.code)
                ratio = b.ratio;
        *codec = code == 1 ? "uncompressed" : std::string(header.get_string_attribute("compression")) + "-compressed";
        return ratio == 0 ? 0 : ceilDivide(saturatingMultiply(packedRow, height), ratio);
    }
    if (format == "png") {
        // Every row starts with a filter-type byte; the rows are deflated together.
        *codec = "deflate-compressed";
        return ceilDivide(saturatingMultiply(packedRow + 1, height), 1032);
    }
    if (format == "hdr") {
        // 4 bytes per pixel, flat; or, for widths of 8 to 32767, a 4-byte row header
        // and the row's 4 byte planes in runs of at most 127 bytes, 2 bytes each.
        *codec = "run-length encoded";
        const uint64_t row = width >= 8 && width <= 32767 ? 4 + 4 * 2 * ceilDivide(width, 127) : 4 * width;
        return saturatingMultiply(row, height);
    }
    return 0;
}

// Reads the pixels in bands of at most 256 rows (a multiple of every OpenEXR
// chunk height) and 32 MiB, so that a failure stops the read at once, checking the
// library's error state after each band: the TIFF reader here logs a damaged or
// missing strip, fills it with zeros and reports success. Its multi-strip and
// multi-tile fast paths drop decoding errors altogether, so TIFF files are read one
// scanline or one tile per call.
bool readPixels(OIIO::ImageInput& in, const OIIO::ImageSpec& header, OIIO::TypeDesc type, void* data,
                const std::function<bool(double)>& progress, std::string* why)
{
    constexpr int64_t kBandBytes = int64_t{32} << 20;
    constexpr int64_t kBandRows = 256;
    const bool tiff = std::strcmp(in.format_name(), "tiff") == 0;
    const int64_t pixelBytes = int64_t{header.nchannels} * static_cast<int64_t>(type.size());
    const int64_t rowBytes = pixelBytes * header.width;
    const int32_t tileWidth = header.tile_width, tileHeight = header.tile_height;
    const bool tiled = tileWidth > 0 && tileHeight > 0;
    int32_t bandRows = static_cast<int32_t>(std::clamp<int64_t>(kBandBytes / rowBytes, 1, kBandRows));
    if (tiled)
        bandRows = tiff ? tileHeight : std::max(1, bandRows / tileHeight) * tileHeight;
    else if (tiff)
        bandRows = 1;
    const int32_t stepX = tiled && tiff ? tileWidth : header.width;
    // A TIFF scanline already in the wanted type goes straight into place: the
    // converting call sets up a 64 MiB buffer each time.
    const bool nativeRows = tiff && !tiled && header.channelformats.empty() && header.format == type;
    (void)in.geterror(); // what opening logged does not concern the pixels
    for (int32_t y = 0; y < header.height; y += bandRows) {
        const int32_t yEnd = std::min(header.height, y + bandRows);
        for (int32_t x = 0; x < header.width; x += stepX) {
            const int32_t xEnd = std::min(header.width, x + stepX);
            char* out = static_cast<char*>(data) + y * rowBytes + x * pixelBytes;
            const bool ok =
                tiled ? in.read_tiles(0, 0, header.x + x, header.x + xEnd, header.y + y, header.y + yEnd, header.z,
                                      header.z + 1, 0, header.nchannels, type, out, pixelBytes, rowBytes)
                : nativeRows ? in.read_native_scanline(0, 0, header.y + y, header.z, out)
                             : in.read_scanlines(0, 0, header.y + y, header.y + yEnd, header.z, 0, header.nchannels,
                                                 type, out, pixelBytes, rowBytes);
            if (!ok || in.has_error()) {
                const std::string rows = yEnd - y == 1
                                             ? "row " + std::to_string(y)
                                             : "rows " + std::to_string(y) + " to " + std::to_string(yEnd - 1);
                *why = "pixel data ends early or is damaged in " + rows + ": " + firstLine(in.geterror());
                return false;
            }
        }
        if (progress && progress(static_cast<double>(yEnd) / header.height)) {
            *why = "cancelled";
            return false;
        }
    }
    return true;
}

} // namespace

bool TMReadImage(const std::string& path, TMImage* image, TMFileError* error,
                 const std::function<bool(double)>& progress)
{
    const std::string where = "cannot read input '" + path + "': ";
    // Opened once: the Netpbm reader reads this descriptor; the image library opens
    // the path again only now that it is known to be a regular file.
    TMInputFile file;
    if (!file.open(path, error))
        return false;
    unsigned char magic[3] = {};
    if (TMNetpbmMagic(magic, file.peek(magic, sizeof magic)))
        return TMReadNetpbm(file, image, error);

    // Ask for alpha as stored: the colour channels must be the file's values, and
    // untouched channels must come out exactly as they went in.
    OIIO::ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);
    std::unique_ptr<OIIO::ImageInput> in = OIIO::ImageInput::open(path, &config);
    if (!in)
        return fail(error, 1, where + trimmed(OIIO::geterror()));
    const std::string format = in->format_name();
    if (format == "null")
        return fail(error, 1, where + "its name selects a reader that makes pixels up instead of reading the file");
    const OIIO::ImageSpec header = in->spec(); // subimage 0, miplevel 0
    if (header.deep)
        return fail(error, 2, "cannot tone-map '" + path + "': deep images are not supported");
    if (header.depth > 1)
        return fail(error, 2, "cannot tone-map '" + path + "': volume images are not supported");
    if (header.width <= 0 || header.height <= 0 || header.nchannels <= 0)
        return fail(error, 1, where + "the image has no pixels");

    const SampleClass sampleClass = classify(header);
    if (sampleClass == SampleClass::Low)
        return fail(error, 2, kTM8BitRefusal);
    if (sampleClass == SampleClass::Other)
        return fail(error, 2,
                    "cannot tone-map '" + path + "': its samples are " + typeName(header) +
                        "; the tool reads float images (32-bit, half or double) and 16-bit unsigned "
                        "integer images");

    // Nothing image-sized exists yet: refuse what the file cannot hold, then what
    // the machine cannot.
    std::string codec;
    const uint64_t least = leastFileBytes(header, format, &codec);
    if (least > static_cast<uint64_t>(file.size()))
        return fail(error, 1,
                    where + "truncated: the header declares " + std::to_string(header.width) + " x " +
                        std::to_string(header.height) + " pixels x " + std::to_string(header.nchannels) +
                        (header.nchannels == 1 ? " channel" : " channels") + " (at least " + std::to_string(least) +
                        " bytes as " + codec + " data), but the file has " + std::to_string(file.size()) + " bytes");
    const bool isFloat = sampleClass == SampleClass::Float;
    if (!TMCheckImageMemory(path, header.width, header.height, header.nchannels, isFloat ? 4 : 2, TMMachineMemory(),
                            error))
        return false;

    image->allocate(isFloat ? TMSampleType::Float32 : TMSampleType::UInt16, header.width, header.height,
                    header.nchannels);
    void* data = isFloat ? static_cast<void*>(image->f32.data()) : static_cast<void*>(image->u16.data());
    std::string why;
    if (!readPixels(*in, header, isFloat ? OIIO::TypeDesc::FLOAT : OIIO::TypeDesc::UINT16, data, progress, &why)) {
        image->allocate(image->type, 0, 0, 0);
        return fail(error, 1, where + why);
    }
    in->close();
    image->meta = header;
    return true;
}

namespace {

// The image library's codecs write through this: each byte goes to the sink, which
// keeps the first failure.
class SinkProxy final : public OIIO::Filesystem::IOProxy {
public:
    explicit SinkProxy(TMByteSink& sink) : IOProxy("", Write), sink_(sink) {}
    const char* proxytype() const override { return "tonemap-sink"; }
    size_t write(const void* buf, size_t n) override
    {
        const size_t w = pwrite(buf, n, m_pos);
        m_pos += static_cast<int64_t>(w);
        return w;
    }
    size_t pwrite(const void* buf, size_t n, int64_t offset) override { return sink_.write(buf, n, offset) ? n : 0; }
    size_t read(void* buf, size_t n) override
    {
        const size_t r = pread(buf, n, m_pos);
        m_pos += static_cast<int64_t>(r);
        return r;
    }
    size_t pread(void* buf, size_t n, int64_t offset) override { return sink_.read(buf, n, offset); }
    size_t size() const override { return static_cast<size_t>(sink_.size()); }

private:
    TMByteSink& sink_;
};

struct Progress {
    const TMWriteOptions& options;
    bool stopped = false;
};

bool encoderProgress(void* context, float done)
{
    auto* p = static_cast<Progress*>(context);
    p->stopped = p->stopped || (p->options.progress && p->options.progress(done));
    return p->stopped;
}

// The image in bands of rows, with progress after each band: the library's own loop
// writes 64-MB chunks, too coarse for a bar, and a stop could wait for a whole chunk.
bool writeRows(OIIO::ImageOutput& out, const OIIO::ImageSpec& header, OIIO::TypeDesc type, const void* data,
               Progress& progress)
{
    const int64_t rowBytes = int64_t{header.width} * header.nchannels * static_cast<int64_t>(type.size());
    const int band = static_cast<int>(
        std::clamp<int64_t>((int64_t{16} << 20) / std::max<int64_t>(rowBytes, 1), 1, std::max(header.height, 1)));
    encoderProgress(&progress, 0.0f);
    for (int y = 0; y < header.height && !progress.stopped; y += band) {
        const int end = std::min(header.height, y + band);
        const auto* rows = static_cast<const char*>(data) + static_cast<int64_t>(y) * rowBytes;
        if (!out.write_scanlines(y + header.y, end + header.y, 0, type, rows))
            return false;
        encoderProgress(&progress, static_cast<float>(end) / static_cast<float>(header.height));
    }
    return !progress.stopped;
}

// Runs `work` with standard error sent nowhere: a codec stopped halfway complains
// about the unfinished file on its own, which is no news to a user who stopped it.
template <typename Work>
auto withoutStderr(Work work)
{
    std::fflush(stderr);
    const int saved = dup(STDERR_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    if (saved >= 0 && null >= 0)
        dup2(null, STDERR_FILENO);
    if (null >= 0)
        close(null);
    auto result = work();
    if (saved >= 0) {
        dup2(saved, STDERR_FILENO);
        close(saved);
    }
    return result;
}

// True when the file at `path` opens as an image of `header`'s size and channels.
bool completeOnDisk(const std::string& path, const OIIO::ImageSpec& header)
{
    std::unique_ptr<OIIO::ImageInput> in = OIIO::ImageInput::open(path);
    if (!in) {
        OIIO::geterror(); // clears the library's message for this thread
        return false;
    }
    const OIIO::ImageSpec& got = in->spec();
    return got.width == header.width && got.height == header.height && got.nchannels == header.nchannels;
}

// True when the file system holding `path` has no room left for a user.
bool diskFull(const std::string& path)
{
    struct statvfs fs {};
    return statvfs(path.c_str(), &fs) == 0 && fs.f_bavail == 0;
}

} // namespace

std::string TMDefaultCompression(TMOutputFormat format)
{
    // Measured on 24-MP tone-mapped results (2 cores): zlib gains a tenth on float
    // samples for twelve times the time of PIZ's fifth; PNG's level 1 with the sub and
    // up filters writes six times as fast as level 6 for files about a third larger.
    switch (format) {
    case TMOutputFormat::Exr: return "piz";
    case TMOutputFormat::Tiff: return "lzw";
    case TMOutputFormat::Png: return "zip:1";
    case TMOutputFormat::Jpeg: return "jpeg:95";
    default: return std::string();
    }
}

namespace {

// "name" or "name:level" with `level` a whole number in lo..hi.
bool nameWithLevel(const std::string& text, const std::string& name, int lo, int hi, bool levelOptional)
{
    if (text == name)
        return levelOptional;
    if (text.compare(0, name.size() + 1, name + ":") != 0)
        return false;
    const std::string level = text.substr(name.size() + 1);
    if (level.empty() || level.size() > 3 || level.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const int n = std::stoi(level);
    return n >= lo && n <= hi;
}

} // namespace

std::string TMCheckCompression(TMOutputFormat format, const std::string& c)
{
    const std::string name = TMFormatName(format);
    switch (format) {
    case TMOutputFormat::Exr:
        for (const char* plain : {"none", "rle", "piz", "pxr24", "b44", "b44a"})
            if (c == plain)
                return std::string();
        if (nameWithLevel(c, "zip", 1, 9, true) || nameWithLevel(c, "zips", 1, 9, true) ||
            nameWithLevel(c, "dwaa", 1, 999, true) || nameWithLevel(c, "dwab", 1, 999, true))
            return std::string();
        return "an OpenEXR file takes none, rle, zips, zip, piz, pxr24, b44, b44a, dwaa or dwab";
    case TMOutputFormat::Tiff:
        if (c == "none" || c == "lzw" || c == "packbits" || nameWithLevel(c, "zip", 1, 9, true))
            return std::string();
        return "a TIFF file takes none, lzw, packbits or zip (zip:1 to zip:9)";
    case TMOutputFormat::Png:
        return nameWithLevel(c, "zip", 0, 9, false) ? std::string() : "a PNG file takes zip:0 to zip:9";
    case TMOutputFormat::Jpeg:
        return nameWithLevel(c, "jpeg", 1, 100, false) ? std::string() : "a JPEG file takes jpeg:1 to jpeg:100";
    default: return "a " + name + " file has no compression to choose";
    }
}

bool TMWriteImage(TMByteSink& sink, TMOutputFormat format, const TMImage& image, const TMWriteOptions& options,
                  std::string* error)
{
    auto failed = [&](std::string cause) {
        // A failed write is the cause; the codec's own words come after it, if any.
        *error = sink.ok() ? trimmed(std::move(cause)) : sink.error();
        return false;
    };
    if (TMFormatIsNetpbm(format)) {
        std::string why;
        if (!TMWriteNetpbm(sink, image, &why))
            return failed(why);
        return sink.ok() ? true : failed(sink.error());
    }

    std::unique_ptr<OIIO::ImageOutput> out = OIIO::ImageOutput::create(TMFormatWriterName(format));
    if (!out)
        return failed(OIIO::geterror());
    OIIO::ImageSpec header = image.meta;
    OIIO::TypeDesc type = OIIO::TypeDesc::FLOAT;
    const void* data = image.f32.data();
    if (image.type == TMSampleType::UInt16) {
        type = OIIO::TypeDesc::UINT16;
        data = image.u16.data();
    } else if (image.type == TMSampleType::UInt8) {
        type = OIIO::TypeDesc::UINT8;
        data = image.u8.data();
    }
    // The samples decide the stored type: never a narrower one (no half floats).
    header.width = image.width;
    header.height = image.height;
    header.nchannels = image.channels;
    header.set_format(type);
    header.channelformats.clear();
    header.tile_width = header.tile_height = 0;
    header.tile_depth = 1;
    const std::string compression = options.compression.empty() ? TMDefaultCompression(format) : options.compression;
    if (format == TMOutputFormat::Png) {
        // The level as zlib's; the sub and up filters, tried per row, cost far less
        // than trying all five and lose little on photographs.
        const bool valid = TMCheckCompression(format, compression).empty();
        header.attribute("png:compressionLevel", valid ? compression.back() - '0' : 1);
        header.attribute("png:filter", 0x10 | 0x20);
    } else if (!compression.empty()) {
        header.attribute("compression", compression);
    }

    // libtiff reads back the directories it wrote, which it can do only in a file of
    // its own: TIFF is written by name. It reports a failed write of pixels but not of
    // the directory it writes when the file is closed, so that file is opened again
    // and its header checked.
    const bool byName = format == TMOutputFormat::Tiff;
    if (byName && options.path.empty())
        return failed("a TIFF file is written by name, and none was given");
    SinkProxy proxy(sink);
    if (!byName && !out->set_ioproxy(&proxy))
        return failed("the " + std::string(TMFormatName(format)) + " writer cannot write through the tool");
    Progress progress{options};
    const bool written = out->open(byName ? options.path : std::string("output"), header) &&
                         writeRows(*out, header, type, data, progress);
    std::string codecError = written ? std::string() : out->geterror();
    const bool closed = progress.stopped ? withoutStderr([&] { return out->close(); }) : out->close();
    if (progress.stopped) {
        *error = "cancelled";
        return false;
    }
    // Written by name, the file system says more than the codec about a failed write.
    if (byName && (!written || !closed) && diskFull(options.path))
        return failed(std::strerror(ENOSPC));
    if (!written)
        return failed(codecError.empty() && !sink.ok() ? sink.error() : codecError);
    if (!closed)
        return failed(out->geterror());
    if (!sink.ok())
        return failed(sink.error());
    if (byName && !completeOnDisk(options.path, header))
        return failed(std::strerror(diskFull(options.path) ? ENOSPC : EIO));
    return true;
}
