#include "tm_output_file.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tm_fd.h"

namespace {

std::string errnoText() { return std::strerror(errno); }

// Folder part of a path, "." when it has none.
std::string folderOf(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string extensionOf(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return std::string();
    return path.substr(dot);
}

std::string baseNameOf(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

mode_t newFileMode()
{
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// The longest file name the folder takes (255 on the usual file systems).
size_t nameMax(const std::string& folder)
{
    const long n = pathconf(folder.c_str(), _PC_NAME_MAX);
    return n > 0 ? static_cast<size_t>(n) : 255;
}

// `text` cut to at most `bytes` bytes, never inside a UTF-8 sequence.
std::string cutUtf8(const std::string& text, size_t bytes)
{
    if (text.size() <= bytes)
        return text;
    size_t n = bytes;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80)
        --n;
    return text.substr(0, n);
}

// The temporary files a fatal signal must remove: fixed storage, so that a signal
// handler can walk it with no allocation. An entry is in use while `used` is 1.
constexpr int kTempSlots = 8;
char gTempPaths[kTempSlots][PATH_MAX];
volatile sig_atomic_t gTempUsed[kTempSlots];

int registerTemp(const std::string& path)
{
    if (path.size() >= PATH_MAX)
        return -1;
    for (int i = 0; i < kTempSlots; ++i)
        if (!gTempUsed[i]) {
            std::memcpy(gTempPaths[i], path.c_str(), path.size() + 1);
            gTempUsed[i] = 1;
            return i;
        }
    return -1;
}

void unregisterTemp(int slot)
{
    if (slot >= 0)
        gTempUsed[slot] = 0;
}

// Where a path leads for writing: a symbolic link's target (resolved against the
// link's folder), then the real folder and the base name. Empty when the folder
// does not exist.
std::string resolvedTarget(const std::string& path)
{
    std::string p = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            break;
        std::vector<char> link(PATH_MAX + 1);
        const ssize_t n = readlink(p.c_str(), link.data(), PATH_MAX);
        if (n <= 0)
            break;
        const std::string to(link.data(), static_cast<size_t>(n));
        p = to[0] == '/' ? to : folderOf(p) + "/" + to;
    }
    char real[PATH_MAX];
    if (!realpath(folderOf(p).c_str(), real))
        return std::string();
    return std::string(real) + "/" + baseNameOf(p);
}

} // namespace

bool TMByteSink::fail(const std::string& why)
{
    if (error_.empty())
        error_ = why;
    return false;
}

bool TMByteSink::write(const void* data, size_t n, int64_t offset)
{
    if (!error_.empty())
        return false;
    if (cancel_ && cancel_->load())
        return fail("cancelled");
    if (offset < 0)
        return fail("invalid file offset");
    const auto* p = static_cast<const char*>(data);
    int64_t at = offset;
    size_t left = n;
    while (left > 0) {
        size_t chunk = left;
        if (capacity_ >= 0) {
            if (at >= capacity_)
                return fail(std::strerror(ENOSPC));
            chunk = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(left), capacity_ - at));
        }
        const ssize_t w = pwrite(fd_, p, chunk, static_cast<off_t>(at));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return fail(w < 0 ? errnoText() : std::string(std::strerror(ENOSPC)));
        p += w;
        at += w;
        left -= static_cast<size_t>(w);
    }
    end_ = std::max(end_, at);
    return true;
}

size_t TMByteSink::read(void* data, size_t n, int64_t offset) const { return TMReadAt(fd_, data, n, offset); }

TMOutputFile::~TMOutputFile() { discard(); }

bool TMOutputFile::create(const std::string& target, std::string* error)
{
    discard();
    target_ = target;
    struct stat st {};
    if (lstat(target.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        // Replace what the link points to, not the link; a dangling link is replaced.
        char resolved[PATH_MAX];
        if (realpath(target.c_str(), resolved))
            target_ = resolved;
    }
    mode_t mode = newFileMode();
    if (stat(target_.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            *error = "is a directory";
            return false;
        }
        if (!S_ISREG(st.st_mode)) {
            *error = "not a regular file";
            return false;
        }
        // A file nobody may write to (or this user may not) is protected: renaming
        // over it would bypass that.
        if ((st.st_mode & 0222) == 0) {
            *error = "the file is read-only";
            return false;
        }
        if (access(target_.c_str(), W_OK) != 0) {
            *error = errnoText();
            return false;
        }
        mode = st.st_mode & 07777;
    }

    // ".NAME.tmp-XXXXXX.EXT", with NAME shortened where the whole would be longer
    // than the folder allows: any legal output name gets a temporary name.
    const std::string folder = folderOf(target_);
    const std::string ext = extensionOf(target_);
    std::string base = baseNameOf(target_);
    base = base.substr(0, base.size() - ext.size());
    const std::string fixed = ".tmp-XXXXXX" + ext;
    const size_t limit = nameMax(folder);
    if (1 + fixed.size() > limit) {
        *error = "file name too long";
        return false;
    }
    base = cutUtf8(base, limit - 1 - fixed.size());
    const std::string name = (folder == "/" ? "" : folder) + "/." + base + fixed;
    std::vector<char> buffer(name.begin(), name.end());
    buffer.push_back('\0');
    const int fd = mkstemps(buffer.data(), static_cast<int>(ext.size()));
    if (fd < 0) {
        *error = errnoText();
        return false;
    }
    fd_ = fd;
    temp_ = buffer.data();
    slot_ = registerTemp(temp_);
    if (fchmod(fd_, mode) != 0) {
        *error = errnoText();
        discard();
        return false;
    }
    return true;
}

bool TMOutputFile::commit(std::string* error)
{
    if (fd_ < 0) {
        *error = "no output file was created";
        return false;
    }
    // Write errors the file system reports late (delayed allocation, NFS) come back
    // here, at the flush or the close.
    int failure = fsync(fd_) == 0 ? 0 : errno;
    if (close(fd_) != 0 && failure == 0)
        failure = errno;
    fd_ = -1;
    if (failure != 0) {
        *error = std::strerror(failure);
        discard();
        return false;
    }
    if (rename(temp_.c_str(), target_.c_str()) != 0) {
        *error = errnoText();
        discard();
        return false;
    }
    unregisterTemp(slot_);
    slot_ = -1;
    temp_.clear();
    // Make the rename itself durable; failure here leaves a complete file anyway.
    const int dir = open(folderOf(target_).c_str(), O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return true;
}

void TMOutputFile::discard()
{
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    if (!temp_.empty()) {
        unlink(temp_.c_str());
        temp_.clear();
    }
    unregisterTemp(slot_);
    slot_ = -1;
}

void TMRemoveTemporaryFilesNow()
{
    for (int i = 0; i < kTempSlots; ++i)
        if (gTempUsed[i])
            unlink(gTempPaths[i]);
}

bool TMSameFile(const std::string& a, const std::string& b)
{
    if (a == b)
        return true;
    struct stat sa {
    }, sb{};
    const bool aExists = stat(a.c_str(), &sa) == 0;
    const bool bExists = stat(b.c_str(), &sb) == 0;
    if (aExists && bExists)
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    if (aExists != bExists)
        return false;
    const std::string ra = resolvedTarget(a);
    return !ra.empty() && ra == resolvedTarget(b);
}
