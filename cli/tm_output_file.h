// Writing an output file so that the target path only ever holds a complete file:
// the data goes to a hidden temporary file in the target's folder (same extension)
// and is renamed over the target once written and flushed to disk.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

// Where an encoder's bytes go: an open file, written at explicit offsets. The first
// failure is kept and every later write fails too, so that an encoder which ignores
// a write's result cannot hide a full disk: the caller asks ok() at the end.
class TMByteSink {
public:
    // `cancel` (may be null): while it is non-zero every write fails with "cancelled".
    // `capacity`: bytes the file may grow to before writes fail as on a full disk
    // (a stand-in for a full file system in tests; negative: no limit).
    TMByteSink(int fd, const std::atomic<int>* cancel = nullptr, int64_t capacity = -1)
        : fd_(fd), cancel_(cancel), capacity_(capacity)
    {
    }

    // Writes all `n` bytes at `offset`, or fails.
    bool write(const void* data, size_t n, int64_t offset);
    // Reads back up to `n` bytes at `offset` (some encoders re-read what they wrote).
    size_t read(void* data, size_t n, int64_t offset) const;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    int64_t size() const { return end_; } // one past the last byte written

private:
    bool fail(const std::string& why);

    int fd_;
    const std::atomic<int>* cancel_;
    int64_t capacity_;
    int64_t end_ = 0;
    std::string error_;
};

class TMOutputFile {
public:
    TMOutputFile() = default;
    TMOutputFile(const TMOutputFile&) = delete;
    TMOutputFile& operator=(const TMOutputFile&) = delete;
    ~TMOutputFile(); // removes the temporary file unless committed

    // Creates the temporary file next to `target` (the file a symbolic link at
    // `target` points to, when it exists). It gets the permissions of the file it
    // replaces, or the usual ones for a new file. Fails for a folder, a special file
    // and a read-only file: what the user protected is not replaced.
    bool create(const std::string& target, std::string* error);

    const std::string& tempPath() const { return temp_; }
    const std::string& targetPath() const { return target_; }
    int fd() const { return fd_; } // the temporary file, open for writing

    // Flushes the temporary file to disk and renames it over the target.
    bool commit(std::string* error);

    // Removes the temporary file now (also done by the destructor).
    void discard();

private:
    std::string target_;
    std::string temp_;
    int fd_ = -1;
    int slot_ = -1; // entry in the list of temporary files a fatal signal removes
};

// Removes every temporary file not yet committed or discarded. Only async-signal-safe
// calls: for a signal handler that ends the process at once.
void TMRemoveTemporaryFilesNow();

// True when both paths name the same file: the same inode (hard links, symbolic
// links, different spellings of one path) or, for files that do not exist yet, the
// same place once the folder and a dangling link are resolved.
bool TMSameFile(const std::string& a, const std::string& b);
