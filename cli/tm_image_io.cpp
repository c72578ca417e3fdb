#include "tm_image_io.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>

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
    {"none", 1},     {"rle", 64},   {"zips", 1032}, {"zip", 1032},  {"pxr24", 1032 * 4 / 3},
    {"piz", 454},    {"b44", 11},   {"b44a", 11},   {"dwaa", 64 * 1032}, {"dwab", 64 * 1032},
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
                std::string* why)
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
            const bool ok = tiled ? in.read_tiles(0, 0, header.x + x, header.x + xEnd, header.y + y, header.y + yEnd,
                                                  header.z, header.z + 1, 0, header.nchannels, type, out, pixelBytes,
                                                  rowBytes)
                            : nativeRows ? in.read_native_scanline(0, 0, header.y + y, header.z, out)
                                         : in.read_scanlines(0, 0, header.y + y, header.y + yEnd, header.z, 0,
                                                             header.nchannels, type, out, pixelBytes, rowBytes);
            if (!ok || in.has_error()) {
                const std::string rows = yEnd - y == 1
                                             ? "row " + std::to_string(y)
                                             : "rows " + std::to_string(y) + " to " + std::to_string(yEnd - 1);
                *why = "pixel data ends early or is damaged in " + rows + ": " + firstLine(in.geterror());
                return false;
            }
        }
    }
    return true;
}

} // namespace

bool TMReadImage(const std::string& path, TMImage* image, TMFileError* error)
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
    if (!readPixels(*in, header, isFloat ? OIIO::TypeDesc::FLOAT : OIIO::TypeDesc::UINT16, data, &why)) {
        image->allocate(image->type, 0, 0, 0);
        return fail(error, 1, where + why);
    }
    in->close();
    image->meta = header;
    return true;
}

bool TMWriteImage(const std::string& path, TMOutputFormat format, const TMImage& image, std::string* error)
{
    if (TMFormatIsNetpbm(format))
        return TMWriteNetpbm(path, image, error);

    std::unique_ptr<OIIO::ImageOutput> out = OIIO::ImageOutput::create(TMFormatWriterName(format));
    if (!out) {
        *error = trimmed(OIIO::geterror());
        return false;
    }
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
    if (!out->open(path, header) || !out->write_image(type, data)) {
        *error = trimmed(out->geterror());
        out->close();
        return false;
    }
    if (!out->close()) {
        *error = trimmed(out->geterror());
        return false;
    }
    return true;
}
