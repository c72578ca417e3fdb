// Helpers of the persistence tests: a private temporary folder, whole-file reads
// and writes, and a settings store in memory that can be told to fail.
#pragma once

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>

#include "tm_settings_store.h"

namespace persisttest {

class TempFolder {
public:
    TempFolder()
    {
        std::random_device random;
        path_ = std::filesystem::temp_directory_path() / ("tm-persist-" + std::to_string(random()));
        std::filesystem::create_directories(path_);
    }
    ~TempFolder()
    {
        std::error_code ignored;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    std::string operator/(const std::string& name) const { return (path_ / name).string(); }
    const std::filesystem::path& path() const { return path_; }
    size_t entries() const
    {
        const std::filesystem::directory_iterator all(path_);
        return static_cast<size_t>(std::distance(begin(all), end(all)));
    }

private:
    std::filesystem::path path_;
};

inline std::string readBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void writeBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

// The store as a map; `failOpen`, `failSet` (the name whose write fails) and
// `failClose` make the session fail where a registry or a file system can.
class MemoryStore : public TMSettingsStore {
public:
    int open(bool forWriting) override
    {
        if (failOpen || (!forWriting && !exists))
            return 2;
        exists = true;
        isOpen = true;
        ++sessions;
        return 0;
    }
    bool get(const char* name, TMStoredValue* value) override
    {
        const auto it = values.find(name);
        if (!isOpen || it == values.end())
            return false;
        *value = it->second;
        return true;
    }
    int set(const char* name, uint32_t type, const void* data, uint32_t size) override
    {
        if (!isOpen || failSet == name)
            return 5;
        const auto* bytes = static_cast<const uint8_t*>(data);
        values[name] = TMStoredValue{type, std::vector<uint8_t>(bytes, bytes + size)};
        return 0;
    }
    int close() override
    {
        isOpen = false;
        return failClose ? 6 : 0;
    }

    void put(const std::string& name, uint32_t type, std::vector<uint8_t> bytes)
    {
        exists = true;
        values[name] = TMStoredValue{type, std::move(bytes)};
    }

    std::map<std::string, TMStoredValue> values;
    bool exists = false; // the key: a read session fails without it
    bool isOpen = false;
    bool failOpen = false;
    std::string failSet;
    bool failClose = false;
    int sessions = 0;
};

} // namespace persisttest
