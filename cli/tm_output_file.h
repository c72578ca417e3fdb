// Writing an output file so that the target path only ever holds a complete file:
// the data goes to a hidden temporary file in the target's folder (same extension)
// and is renamed over the target once written and flushed to disk.
#pragma once

#include <string>

class TMOutputFile {
public:
    TMOutputFile() = default;
    TMOutputFile(const TMOutputFile&) = delete;
    TMOutputFile& operator=(const TMOutputFile&) = delete;
    ~TMOutputFile(); // removes the temporary file unless committed

    // Creates the temporary file next to `target` (the file a symbolic link at
    // `target` points to, when it exists). It gets the permissions of the file it
    // replaces, or the usual ones for a new file.
    bool create(const std::string& target, std::string* error);

    const std::string& tempPath() const { return temp_; }
    const std::string& targetPath() const { return target_; }

    // Flushes the temporary file to disk and renames it over the target.
    bool commit(std::string* error);

    // Removes the temporary file now (also done by the destructor).
    void discard();

private:
    std::string target_;
    std::string temp_;
    int fd_ = -1; // kept open for the flush; the codecs write through the path
};

// True when both paths name the same file: the same text, or the same inode
// (hard links, symbolic links, different spellings of one path).
bool TMSameFile(const std::string& a, const std::string& b);
