// The settings store in the registry: one key of the current user.
#include <windows.h>

#include <new>

#include "tm_settings_store.h"

namespace {

const char kKey[] = "Software\\Quarrystone\\Kestrimond\\ToneMappingPlugin";

class RegistryStore : public TMSettingsStore {
public:
    ~RegistryStore() override { close(); }

    int open(bool forWriting) override
    {
        close();
        const LONG r = forWriting ? RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                                    &key_, nullptr)
                                  : RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &key_);
        if (r != ERROR_SUCCESS)
            key_ = nullptr;
        return static_cast<int>(r);
    }

    bool get(const char* name, TMStoredValue* value) override
    {
        if (!key_)
            return false;
        // The value may change between asking its size and reading it: ask again.
        for (int attempt = 0; attempt < 3; ++attempt) {
            DWORD type = 0, size = 0;
            if (RegQueryValueExA(key_, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
                return false;
            try {
                value->bytes.resize(size);
            } catch (const std::bad_alloc&) {
                return false;
            }
            DWORD got = size;
            const LONG r = RegQueryValueExA(key_, name, nullptr, &type, size ? value->bytes.data() : nullptr, &got);
            if (r == ERROR_MORE_DATA)
                continue;
            if (r != ERROR_SUCCESS || got > size)
                return false;
            value->bytes.resize(got);
            value->type = type;
            return true;
        }
        return false;
    }

    int set(const char* name, uint32_t type, const void* data, uint32_t size) override
    {
        if (!key_)
            return ERROR_INVALID_HANDLE;
        return static_cast<int>(RegSetValueExA(key_, name, 0, type, static_cast<const BYTE*>(data), size));
    }

    int close() override
    {
        if (!key_)
            return 0;
        const LONG r = RegCloseKey(key_);
        key_ = nullptr;
        return static_cast<int>(r);
    }

private:
    HKEY key_ = nullptr;
};

} // namespace

std::unique_ptr<TMSettingsStore> TMUserSettingsStore()
{
    return std::unique_ptr<TMSettingsStore>(new (std::nothrow) RegistryStore());
}
