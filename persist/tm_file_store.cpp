// The settings store as one text file, one value a line:
//
//   NAME TYPE SIZE HEX
//
// TYPE is "text", "binary", "dword" or another registry type number, SIZE the byte
// count and HEX the bytes, two lower-case digits each. A line that does not parse
// (a file cut short, an edit gone wrong) is a missing value; so is a whole file that
// cannot be read or is implausibly large.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tm_replace_file.h"
#include "tm_settings_store.h"

namespace {

// The store holds a few hundred bytes; anything beyond these is not ours to parse.
constexpr size_t kMaxFileSize = 1 << 20;
constexpr uint32_t kMaxValueSize = 1 << 16;

const char kHeader[] = "# Kestrimond Tone Mapping, last-used settings: NAME TYPE SIZE HEX, one value a line\n";

struct TypeName {
    uint32_t type;
    const char* name;
};
const TypeName kTypeNames[] = {{TMValueText, "text"}, {TMValueBinary, "binary"}, {TMValueDword, "dword"}};

bool validName(const char* name)
{
    if (!name || !*name)
        return false;
    for (const char* c = name; *c; ++c)
        if (static_cast<unsigned char>(*c) <= ' ' || *c == 0x7f)
            return false;
    return true;
}

// A decimal number of at most `limit`, the whole of `text`.
bool parseCount(const std::string& text, uint64_t limit, uint64_t* out)
{
    if (text.empty() || text.size() > 10)
        return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + uint64_t(c - '0');
    }
    if (v > limit)
        return false;
    *out = v;
    return true;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// One line without its LF, or false when it is no value.
bool parseLine(const std::string& line, std::string* name, TMStoredValue* value)
{
    std::string fields[4];
    size_t count = 0, start = 0;
    while (start <= line.size()) {
        const size_t space = line.find(' ', start);
        const size_t end = space == std::string::npos ? line.size() : space;
        if (count == 4)
            return false;
        fields[count++] = line.substr(start, end - start);
        start = end + 1;
    }
    if (count < 3 || fields[0].empty())
        return false;
    uint64_t type = 0, size = 0;
    bool typed = false;
    for (const TypeName& t : kTypeNames)
        if (fields[1] == t.name) {
            type = t.type;
            typed = true;
        }
    if (!typed && !parseCount(fields[1], UINT32_MAX, &type))
        return false;
    if (!parseCount(fields[2], kMaxValueSize, &size) || fields[3].size() != 2 * size || (size == 0) != (count == 3))
        return false;
    value->type = static_cast<uint32_t>(type);
    value->bytes.resize(static_cast<size_t>(size));
    for (size_t i = 0; i < size; ++i) {
        const int hi = hexDigit(fields[3][2 * i]), lo = hexDigit(fields[3][2 * i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        value->bytes[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    *name = fields[0];
    return validName(name->c_str());
}

// The whole file, or an errno value: ENOENT when it does not exist, EFBIG when it is
// too large to be the store.
int readFile(const std::string& path, std::string* text)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    struct stat st {};
    int error = 0;
    if (fstat(fd, &st) != 0)
        error = errno;
    else if (!S_ISREG(st.st_mode))
        error = EISDIR;
    else if (static_cast<uint64_t>(st.st_size) > kMaxFileSize)
        error = EFBIG;
    char chunk[4096];
    while (error == 0) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            error = errno;
        if (n <= 0)
            break;
        if (text->size() + static_cast<size_t>(n) > kMaxFileSize)
            error = EFBIG;
        else
            text->append(chunk, static_cast<size_t>(n));
    }
    close(fd);
    return error;
}

// Creates the folders leading to `path` (mode 0700, as the user's own configuration).
int makeFolders(const std::string& path)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string folder = path.substr(0, slash);
        if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
            return errno;
    }
    return 0;
}

} // namespace

int TMFileSettingsStore::open(bool forWriting)
{
    values_.clear();
    open_ = writing_ = changed_ = false;
    if (path_.empty())
        return ENOENT;
    std::string text;
    const int error = readFile(path_, &text);
    // Writing starts afresh over a missing or damaged store, never over one that
    // exists but cannot be read: its values would be lost.
    if (error != 0 && !(forWriting && (error == ENOENT || error == EFBIG)))
        return error;
    if (error == 0) {
        size_t start = 0;
        for (size_t lf = text.find('\n'); lf != std::string::npos; start = lf + 1, lf = text.find('\n', start)) {
            const std::string line = text.substr(start, lf - start);
            std::string name;
            TMStoredValue value;
            if (line.empty() || line[0] == '#' || !parseLine(line, &name, &value))
                continue;
            bool replaced = false;
            for (auto& v : values_)
                if (v.first == name) {
                    v.second = std::move(value);
                    replaced = true;
                }
            if (!replaced)
                values_.emplace_back(std::move(name), std::move(value));
        }
    }
    open_ = true;
    writing_ = forWriting;
    return 0;
}

bool TMFileSettingsStore::get(const char* name, TMStoredValue* value)
{
    if (!open_ || !name)
        return false;
    for (const auto& v : values_)
        if (v.first == name) {
            try {
                *value = v.second;
            } catch (const std::bad_alloc&) {
                return false;
            }
            return true;
        }
    return false;
}

int TMFileSettingsStore::set(const char* name, uint32_t type, const void* data, uint32_t size)
{
    if (!open_ || !writing_)
        return EBADF;
    if (!validName(name) || size > kMaxValueSize || (size > 0 && !data))
        return EINVAL;
    TMStoredValue value;
    value.type = type;
    value.bytes.assign(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
    changed_ = true;
    for (auto& v : values_)
        if (v.first == name) {
            v.second = std::move(value);
            return 0;
        }
    values_.emplace_back(name, std::move(value));
    return 0;
}

int TMFileSettingsStore::close()
{
    if (!open_)
        return EBADF;
    const bool write = writing_ && changed_;
    open_ = writing_ = changed_ = false;
    if (!write)
        return 0;
    static const char kHex[] = "0123456789abcdef";
    std::string text = kHeader;
    for (const auto& v : values_) {
        text += v.first;
        text += ' ';
        const char* typeName = nullptr;
        for (const TypeName& t : kTypeNames)
            if (t.type == v.second.type)
                typeName = t.name;
        text += typeName ? std::string(typeName) : std::to_string(v.second.type);
        text += ' ';
        text += std::to_string(v.second.bytes.size());
        if (!v.second.bytes.empty()) {
            text += ' ';
            for (uint8_t b : v.second.bytes) {
                text += kHex[b >> 4];
                text += kHex[b & 15];
            }
        }
        text += '\n';
    }
    if (const int error = makeFolders(path_))
        return error;
    if (!TMReplaceFile(path_.c_str(), text.data(), text.size()))
        return errno != 0 ? errno : EIO;
    return 0;
}

std::string TMUserSettingsStorePath()
{
    // Relative values are invalid by the XDG base directory rules and are ignored.
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::string base;
    if (config && config[0] == '/') {
        base = config;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || home[0] != '/') {
            const struct passwd* user = getpwuid(getuid());
            home = user ? user->pw_dir : nullptr;
        }
        if (!home || home[0] != '/')
            return std::string();
        base = std::string(home) + "/.config";
    }
    return base + "/Quarrystone/Kestrimond/ToneMappingPlugin.values";
}

std::unique_ptr<TMSettingsStore> TMUserSettingsStore()
{
    return std::unique_ptr<TMSettingsStore>(new (std::nothrow) TMFileSettingsStore(TMUserSettingsStorePath()));
}
