// The per-user key-value store that keeps the last-used settings: the registry key
// "Software\Quarrystone\Kestrimond\ToneMappingPlugin" of the current user on
// Windows, one file under $XDG_CONFIG_HOME elsewhere. Values are named and typed
// as registry values are, and keep their exact size.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Value types, numbered as the registry numbers them.
enum : uint32_t {
    TMValueText = 1,   // REG_SZ: text with its terminating zero
    TMValueBinary = 3, // REG_BINARY
    TMValueDword = 4,  // REG_DWORD: 4 bytes, little-endian
};

struct TMStoredValue {
    uint32_t type = 0;
    std::vector<uint8_t> bytes;
};

// One session on the store: open, gets or sets, close. Results are 0 or an error
// number of the platform (a registry error code, an errno value).
class TMSettingsStore {
public:
    virtual ~TMSettingsStore() = default;

    // Opens the key for reading, or opens it and creates what is missing for writing.
    virtual int open(bool forWriting) = 0;
    // The whole value, or false when it is missing or cannot be read.
    virtual bool get(const char* name, TMStoredValue* value) = 0;
    virtual int set(const char* name, uint32_t type, const void* data, uint32_t size) = 0;
    // Ends the session. A store that collects a session's writes makes them durable
    // here, so a write session's result is only known from close().
    virtual int close() = 0;
};

// The current user's store; nullptr only when no memory is left.
std::unique_ptr<TMSettingsStore> TMUserSettingsStore();

#ifndef _WIN32
// The store as one file (Linux and other systems without a registry). A damaged or
// unreadable file counts as missing values; writes replace the file atomically.
class TMFileSettingsStore : public TMSettingsStore {
public:
    explicit TMFileSettingsStore(std::string path) : path_(std::move(path)) {}

    int open(bool forWriting) override;
    bool get(const char* name, TMStoredValue* value) override;
    int set(const char* name, uint32_t type, const void* data, uint32_t size) override;
    int close() override;

    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::vector<std::pair<std::string, TMStoredValue>> values_; // in file order
    bool open_ = false;
    bool writing_ = false;
    bool changed_ = false;
};

// $XDG_CONFIG_HOME/Quarrystone/Kestrimond/ToneMappingPlugin.values, with
// $XDG_CONFIG_HOME defaulting to ~/.config. Empty when no home folder is known.
std::string TMUserSettingsStorePath();
#endif
