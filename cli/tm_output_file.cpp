#include "tm_output_file.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

} // namespace

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
        mode = st.st_mode & 07777;
    }

    const std::string ext = extensionOf(target_);
    std::string base = baseNameOf(target_);
    base = base.substr(0, base.size() - ext.size());
    std::string folder = folderOf(target_);
    std::string name = (folder == "/" ? "" : folder) + "/." + base + ".tmp-XXXXXX" + ext;
    std::vector<char> buffer(name.begin(), name.end());
    buffer.push_back('\0');
    const int fd = mkstemps(buffer.data(), static_cast<int>(ext.size()));
    if (fd < 0) {
        *error = errnoText();
        return false;
    }
    fd_ = fd;
    temp_ = buffer.data();
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
    if (fsync(fd_) != 0 || close(fd_) != 0) {
        fd_ = -1;
        *error = errnoText();
        discard();
        return false;
    }
    fd_ = -1;
    if (rename(temp_.c_str(), target_.c_str()) != 0) {
        *error = errnoText();
        discard();
        return false;
    }
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
}

bool TMSameFile(const std::string& a, const std::string& b)
{
    if (a == b)
        return true;
    struct stat sa {}, sb {};
    if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0)
        return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}
