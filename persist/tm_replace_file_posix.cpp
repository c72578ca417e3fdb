#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tm_replace_file.h"

namespace {

std::string folderOf(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseNameOf(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool writeAll(int fd, const char* p, size_t n)
{
    while (n > 0) {
        const ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

} // namespace

bool TMReplaceFile(const char* path, const void* data, size_t size)
{
    if (!path || !*path)
        return false;
    std::string target = path;
    struct stat st {};
    if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
        char resolved[PATH_MAX];
        if (realpath(path, resolved))
            target = resolved; // a dangling link is itself replaced
    }
    const mode_t mask = umask(0);
    umask(mask);
    mode_t mode = 0666 & ~mask;
    if (stat(target.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode) || (st.st_mode & 0222) == 0 || access(target.c_str(), W_OK) != 0)
            return false;
        mode = st.st_mode & 07777;
    }

    // ".NAME.tmp-XXXXXX" beside the target, NAME shortened to keep within the
    // usual 255-byte limit of a file name.
    const std::string folder = folderOf(target);
    std::string base = baseNameOf(target);
    static const char kSuffix[] = ".tmp-XXXXXX";
    const size_t room = 255 - 1 - (sizeof kSuffix - 1);
    if (base.size() > room)
        base.resize(room);
    const std::string pattern = (folder == "/" ? "" : folder) + "/." + base + kSuffix;
    std::vector<char> temp(pattern.begin(), pattern.end());
    temp.push_back('\0');
    const int fd = mkstemp(temp.data());
    if (fd < 0)
        return false;
    // Late write errors (delayed allocation, network file systems) surface at the
    // flush or the close.
    bool ok = fchmod(fd, mode) == 0 && writeAll(fd, static_cast<const char*>(data), size) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(temp.data(), target.c_str()) != 0) {
        unlink(temp.data());
        return false;
    }
    // The rename itself made durable; a failure here still leaves a complete file.
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return true;
}
