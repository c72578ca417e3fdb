#include "tm_input_file.h"

#include "tm_fd.h"

#include <cerrno>
#include <cstring>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* fileKind(mode_t mode)
{
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "of an unknown kind";
}

uint64_t saturatingMultiply(uint64_t a, uint64_t b)
{
    if (a != 0 && b > std::numeric_limits<uint64_t>::max() / a)
        return std::numeric_limits<uint64_t>::max();
    return a * b;
}

std::string gibibytes(uint64_t bytes)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.1f GiB", static_cast<double>(bytes) / (1024.0 * 1024.0 * 1024.0));
    return text;
}

} // namespace

TMInputFile::~TMInputFile()
{
    if (file_)
        std::fclose(file_);
}

bool TMInputFile::open(const std::string& path, TMFileError* error)
{
    int fd = -1;
    auto fail = [&](int exitCode, const std::string& why) {
        if (fd >= 0)
            ::close(fd);
        error->exitCode = exitCode;
        error->message = "cannot read input '" + path + "': " + why;
        return false;
    };
    // O_NONBLOCK: opening a FIFO must not wait for a writer before it can be refused.
    fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return fail(1, std::strerror(errno));
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return fail(1, std::strerror(errno));
    if (S_ISDIR(st.st_mode))
        return fail(1, "is a directory");
    if (!S_ISREG(st.st_mode))
        return fail(2, std::string("not a regular file (") + fileKind(st.st_mode) + ")");
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return fail(1, std::strerror(errno));
    file_ = fdopen(fd, "rb");
    if (!file_)
        return fail(1, std::strerror(errno));
    path_ = path;
    size_ = static_cast<int64_t>(st.st_size);
    return true;
}

size_t TMInputFile::peek(void* buffer, size_t count) const { return TMReadAt(fileno(file_), buffer, count, 0); }

uint64_t TMMachineMemory()
{
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0)
        return 0;
    return saturatingMultiply(static_cast<uint64_t>(pages), static_cast<uint64_t>(pageSize));
}

uint64_t TMImageMemory(int64_t width, int64_t height, int64_t channels, int64_t sampleBytes)
{
    const uint64_t pixels = saturatingMultiply(static_cast<uint64_t>(width), static_cast<uint64_t>(height));
    const uint64_t perPixel =
        static_cast<uint64_t>(channels) * static_cast<uint64_t>(sampleBytes) + kTMRenderBytesPerPixel;
    return saturatingMultiply(pixels, perPixel);
}

bool TMCheckImageMemory(const std::string& path, int64_t width, int64_t height, int64_t channels, int64_t sampleBytes,
                        uint64_t machineMemory, TMFileError* error)
{
    const uint64_t need = TMImageMemory(width, height, channels, sampleBytes);
    if (machineMemory == 0 || need <= machineMemory)
        return true;
    error->exitCode = 2;
    error->message = "cannot tone-map '" + path + "': its " + std::to_string(width) + " x " + std::to_string(height) +
                     " pixels need " + gibibytes(need) + " of memory, more than this machine has (" +
                     gibibytes(machineMemory) + ")";
    return false;
}
