#include "tm_last_settings.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

#include "tm_settings_exchange.h"

namespace {

// Binary values are 80 bytes of which only byte 0 means anything: the setting plus
// an offset that makes it non-negative.
constexpr uint32_t kBinarySize = 80;

enum class Kind { Byte, Dword };

constexpr int32_t kClamp = INT32_MIN;

struct Entry {
    const char* name;
    Kind kind;
    int32_t TMSettings::*field;
    int32_t offset;   // stored = field + offset (the registry's bytes are unsigned)
    int32_t min, max; // the field's range
    int32_t aboveMax; // the field for a stored value above the range; kClamp: max
};

// In the order the dialog refreshes them after its Previous button: the count that
// loadLastSettings returns tells it how many to refresh.
const Entry kEntries[] = {
    {"DR", Kind::Byte, &TMSettings::luminosity, 10, 0, 20, kClamp},
    {"Strength", Kind::Byte, &TMSettings::strength, 0, 0, 100, kClamp},
    {"ColorSaturation", Kind::Byte, &TMSettings::colorSaturation, 0, 0, 100, kClamp},
    {"WP", Kind::Dword, &TMSettings::whiteClip, 0, 0, 1000, kClamp},
    {"BP", Kind::Dword, &TMSettings::blackClip, 0, 0, 1000, kClamp},
    {"Smoothing", Kind::Byte, &TMSettings::smoothing, 2, -2, 2, 1},
    {"Microcontrast", Kind::Byte, &TMSettings::microcontrast, 2, -2, 2, 2},
    {"Micro-smoothing", Kind::Byte, &TMSettings::microsmoothing, 0, 0, 30, kClamp},
};

const char kFolderValue[] = "LastUsedDir";

// One session on the store, closed whatever happens to it.
class Session {
public:
    Session(TMSettingsStore& store, bool forWriting) : store_(store), opened_(store.open(forWriting)) {}
    ~Session()
    {
        if (opened_ == 0 && !closed_)
            store_.close();
    }
    int opened() const { return opened_; } // 0 when the store is open
    int close()
    {
        closed_ = true;
        return store_.close();
    }

private:
    TMSettingsStore& store_;
    int opened_;
    bool closed_ = false;
};

} // namespace

int saveLastSettings(const TMParameters& params, TMSettingsStore& store)
{
    Session session(store, true);
    if (session.opened() != 0)
        return session.opened();
    TMParameters p = params;
    TMClampSettings(&p.settings);
    int result = 0;
    for (const Entry& e : kEntries) {
        const int32_t v = p.settings.*e.field + e.offset;
        int r;
        if (e.kind == Kind::Dword) {
            const uint8_t bytes[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
            r = store.set(e.name, TMValueDword, bytes, sizeof bytes);
        } else {
            uint8_t bytes[kBinarySize] = {};
            bytes[0] = static_cast<uint8_t>(v);
            r = store.set(e.name, TMValueBinary, bytes, sizeof bytes);
        }
        if (result == 0)
            result = r;
    }
    const int closed = session.close();
    return result != 0 ? result : closed;
}

int loadLastSettings(TMParameters* params, TMSettingsStore& store)
{
    Session session(store, false);
    if (session.opened() != 0)
        return 0;
    int count = 0;
    TMStoredValue value;
    for (const Entry& e : kEntries) {
        if (!store.get(e.name, &value))
            continue;
        int32_t v;
        if (e.kind == Kind::Dword) {
            if (value.type != TMValueDword || value.bytes.size() != 4)
                continue;
            const uint8_t* b = value.bytes.data();
            v = static_cast<int32_t>(uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 |
                                     uint32_t(b[3]) << 24);
        } else {
            // Any length from 1 byte carries byte 0; an empty value carries nothing.
            if (value.type != TMValueBinary || value.bytes.empty())
                continue;
            v = int32_t(value.bytes[0]) - e.offset;
        }
        if (v > e.max && e.aboveMax != kClamp)
            v = e.aboveMax;
        params->settings.*e.field = std::min(std::max(v, e.min), e.max);
        ++count;
    }
    return count;
}

int loadLastFolder(char* folder, TMSettingsStore& store)
{
    Session session(store, false);
    TMStoredValue value;
    if (session.opened() != 0 || !store.get(kFolderValue, &value) || value.type != TMValueText)
        return 0;
    // The text ends at its first zero, or with the value when it has none.
    const auto end = std::find(value.bytes.begin(), value.bytes.end(), uint8_t(0));
    const size_t length = static_cast<size_t>(end - value.bytes.begin());
    if (length + 1 > kTMFolderSize)
        return 0;
    std::memcpy(folder, value.bytes.data(), length);
    folder[length] = '\0';
    return 1;
}

int saveLastFolder(const char* folder, TMSettingsStore& store)
{
    const void* zero = std::memchr(folder, '\0', kTMFolderSize);
    if (!zero)
        return -1;
    const uint32_t size = static_cast<uint32_t>(static_cast<const char*>(zero) - folder) + 1;
    Session session(store, true);
    if (session.opened() != 0)
        return session.opened();
    const int result = store.set(kFolderValue, TMValueText, folder, size);
    const int closed = session.close();
    return result != 0 ? result : closed;
}

namespace {

// The user's store for one call. The plug-in calls these from its dialog, where no
// exception may escape: no memory counts as a store that cannot be opened.
template <typename Call>
int onUserStore(int noStore, Call call)
{
    try {
        const std::unique_ptr<TMSettingsStore> store = TMUserSettingsStore();
        return store ? call(*store) : noStore;
    } catch (const std::bad_alloc&) {
        return noStore;
    }
}

} // namespace

int saveLastSettings(const TMParameters& params)
{
    return onUserStore(-1, [&](TMSettingsStore& s) { return saveLastSettings(params, s); });
}

int loadLastSettings(TMParameters* params)
{
    return onUserStore(0, [&](TMSettingsStore& s) { return loadLastSettings(params, s); });
}

int loadLastFolder(char* folder)
{
    return onUserStore(0, [&](TMSettingsStore& s) { return loadLastFolder(folder, s); });
}

int saveLastFolder(const char* folder)
{
    return onUserStore(-1, [&](TMSettingsStore& s) { return saveLastFolder(folder, s); });
}
