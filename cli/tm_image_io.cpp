#include "tm_image_io.h"

#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>

#include <sys/stat.h>

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

} // namespace

bool TMReadImage(const std::string& path, TMImage* image, TMFileError* error)
{
    const std::string where = "cannot read input '" + path + "': ";
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return fail(error, 1, where + std::strerror(errno));
    if (S_ISDIR(st.st_mode))
        return fail(error, 1, where + "is a directory");
    if (TMLooksLikeNetpbm(path))
        return TMReadNetpbm(path, image, error);

    // Ask for alpha as stored: the colour channels must be the file's values, and
    // untouched channels must come out exactly as they went in.
    OIIO::ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);
    std::unique_ptr<OIIO::ImageInput> in = OIIO::ImageInput::open(path, &config);
    if (!in)
        return fail(error, 1, where + trimmed(OIIO::geterror()));
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

    const bool isFloat = sampleClass == SampleClass::Float;
    image->allocate(isFloat ? TMSampleType::Float32 : TMSampleType::UInt16, header.width, header.height,
                    header.nchannels);
    void* data = isFloat ? static_cast<void*>(image->f32.data()) : static_cast<void*>(image->u16.data());
    if (!in->read_image(0, 0, 0, header.nchannels, isFloat ? OIIO::TypeDesc::FLOAT : OIIO::TypeDesc::UINT16,
                        data))
        return fail(error, 1, where + trimmed(in->geterror()));
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
