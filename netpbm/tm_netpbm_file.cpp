#include "tm_netpbm_file.h"

#include <cerrno>
#include <cstring>
#include <memory>

namespace {

struct FileCloser {
    void operator()(FILE* f) const
    {
        if (f)
            std::fclose(f);
    }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

int seekTo(FILE* f, int64_t offset, int whence)
{
#if defined(_WIN32)
    return _fseeki64(f, offset, whence);
#else
    return fseeko(f, static_cast<off_t>(offset), whence);
#endif
}

int64_t tell(FILE* f)
{
#if defined(_WIN32)
    return _ftelli64(f);
#else
    return static_cast<int64_t>(ftello(f));
#endif
}

} // namespace

size_t TMNetpbmFile::read(int64_t offset, void* buffer, size_t count, std::string* error)
{
    // Reads are mostly consecutive: the stream seeks only when they are not.
    if (offset != position_ && seekTo(file_, offset, SEEK_SET) != 0) {
        position_ = -1;
        *error = std::strerror(errno);
        return 0;
    }
    const size_t n = std::fread(buffer, 1, count, file_);
    position_ = offset + static_cast<int64_t>(n);
    if (n < count && std::ferror(file_)) {
        *error = std::strerror(errno);
        position_ = -1;
    }
    return n;
}

bool TMNetpbmReadFile(const std::string& path, TMNetpbmPicture* picture, TMNetpbmError* error)
{
    FilePtr f(std::fopen(path.c_str(), "rb"));
    int64_t size = -1;
    if (f && seekTo(f.get(), 0, SEEK_END) == 0)
        size = tell(f.get());
    if (size < 0) {
        error->status = TMNetpbmStatus::ReadError;
        error->message = std::strerror(errno);
        return false;
    }
    TMNetpbmFile file(f.get(), size);
    return TMNetpbmRead(file, picture, error);
}

bool TMNetpbmWriteFile(const std::string& path, const TMNetpbmView& image, std::string* error)
{
    if (!TMNetpbmWritable(image, error))
        return false; // the file is left as it was
    FilePtr f(std::fopen(path.c_str(), "wb"));
    if (!f) {
        *error = std::strerror(errno);
        return false;
    }
    int writeErrno = 0;
    const auto write = [&](const void* data, size_t count) {
        if (std::fwrite(data, 1, count, f.get()) == count)
            return true;
        writeErrno = errno;
        return false;
    };
    // A file that was not written whole is removed: no reader takes a part for the image.
    if (!TMNetpbmWrite(image, write, error)) {
        if (error->empty())
            *error = std::strerror(writeErrno ? writeErrno : EIO);
        f.reset();
        std::remove(path.c_str());
        return false;
    }
    if (std::fclose(f.release()) != 0) {
        *error = std::strerror(errno);
        std::remove(path.c_str());
        return false;
    }
    return true;
}
