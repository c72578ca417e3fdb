// A small reader of Windows PE files (DLLs) for the tests: machine, headers, the
// resource tree, export names and imported DLLs, the version resource and extended
// dialog templates. Every
// read is bounds-checked; a malformed file gives an error text, never a crash.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pe {

using Bytes = std::vector<uint8_t>;

struct Section {
    uint32_t virtualAddress;
    uint32_t virtualSize;
    uint32_t rawOffset;
    uint32_t rawSize;
};

struct Image {
    Bytes file;
    uint16_t machine = 0;         // 0x014C i386, 0x8664 AMD64
    uint16_t characteristics = 0; // 0x2000: a DLL
    uint16_t magic = 0;           // 0x10B PE32, 0x20B PE32+
    std::vector<Section> sections;
    uint32_t dirRva[16] = {}; // data directories: 0 export, 1 import, 2 resource
    uint32_t dirSize[16] = {};
};

// Reads and checks the headers; false with a reason when the file is not a PE image.
bool load(const std::string& path, Image* image, std::string* error);

// A resource type or name: an integer id, or a string (compared case-insensitively,
// as the system's lookup does).
struct ResName {
    bool isId;
    uint16_t id;
    std::string name;
};
inline ResName resId(uint16_t id) { return {true, id, {}}; }
inline ResName resName(const std::string& name) { return {false, 0, name}; }

// The names (ids or strings) of every resource of one type.
std::vector<ResName> resourceNames(const Image& image, const ResName& type);
// The data of a resource in its first language; false when absent or out of range.
bool resource(const Image& image, const ResName& type, const ResName& name, Bytes* data);

std::vector<std::string> exportNames(const Image& image);
std::vector<std::string> importedDlls(const Image& image);

// One node of a version resource: key, value (text as ASCII without the NUL, or the
// raw bytes) and children.
struct VersionNode {
    std::string key;
    bool isText = false;
    std::string text;
    Bytes binary;
    std::vector<VersionNode> children;
};
bool parseVersion(const Bytes& data, VersionNode* root, std::string* error);
const VersionNode* child(const VersionNode& node, const std::string& key);

// An extended dialog template (DLGTEMPLATEEX and its items) as the dialog manager
// reads it. Texts stay UTF-16; a class or title given as an ordinal has `ordinal`
// set and an empty text.
struct SzOrOrd {
    bool isOrdinal = false;
    uint16_t ordinal = 0;
    std::u16string text;
};

struct DialogItem {
    uint32_t helpId = 0, exStyle = 0, style = 0;
    int16_t x = 0, y = 0, cx = 0, cy = 0;
    int32_t id = 0;
    SzOrOrd windowClass, title;
    uint16_t extraBytes = 0;
};

struct Dialog {
    uint32_t helpId = 0, exStyle = 0, style = 0;
    int16_t x = 0, y = 0, cx = 0, cy = 0;
    SzOrOrd menu, windowClass;
    std::u16string title;
    bool hasFont = false; // DS_SETFONT or DS_SHELLFONT
    uint16_t pointSize = 0, weight = 0;
    uint8_t italic = 0, charset = 0;
    std::u16string typeface;
    std::vector<DialogItem> items;
};

// False with a reason for anything but a well-formed extended template.
bool parseDialogEx(const Bytes& data, Dialog* dialog, std::string* error);

} // namespace pe
