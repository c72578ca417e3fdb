#include "tm_netpbm.h"

#include "tm_netpbm_file.h"

namespace {

bool fail(TMFileError* error, const std::string& path, const TMNetpbmError& why)
{
    switch (why.status) {
    case TMNetpbmStatus::EightBit:
        error->exitCode = 2;
        error->message = kTM8BitRefusal;
        return false;
    case TMNetpbmStatus::Unsupported: error->exitCode = 2; break;
    default: error->exitCode = 1; break;
    }
    error->message = "cannot read input '" + path + "': " + why.message;
    return false;
}

} // namespace

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
    TMNetpbmFile source(file.get(), file.size());
    TMNetpbmHeader header;
    TMNetpbmError why;
    if (!TMNetpbmReadHeader(source, &header, &why))
        return fail(error, path, why);
    const int32_t sampleBytes = header.isFloat ? 4 : 2;
    if (!TMCheckImageMemory(path, header.width, header.height, header.channels, sampleBytes, TMMachineMemory(), error))
        return false;
    image->allocate(header.isFloat ? TMSampleType::Float32 : TMSampleType::UInt16, header.width, header.height,
                    header.channels);
    if (!TMNetpbmReadSamples(source, header, image->f32.data(), image->u16.data(), &why))
        return fail(error, path, why);
    image->meta = OIIO::ImageSpec(header.width, header.height, header.channels,
                                  header.isFloat ? OIIO::TypeDesc::FLOAT : OIIO::TypeDesc::UINT16);
    return true;
}

bool TMWriteNetpbm(TMByteSink& sink, const TMImage& image, std::string* error)
{
    TMNetpbmView view;
    view.width = image.width;
    view.height = image.height;
    view.channels = image.channels;
    if (image.type == TMSampleType::Float32)
        view.f32 = image.f32.data();
    else if (image.type == TMSampleType::UInt16)
        view.u16 = image.u16.data();
    int64_t at = 0;
    const auto write = [&](const void* data, size_t count) {
        if (!sink.write(data, count, at))
            return false;
        at += static_cast<int64_t>(count);
        return true;
    };
    if (TMNetpbmWrite(view, write, error))
        return true;
    if (error->empty())
        *error = sink.error();
    return false;
}
