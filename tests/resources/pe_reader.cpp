#include "pe_reader.h"

#include <cctype>
#include <fstream>
#include <iterator>

namespace pe {

namespace {

bool rd16(const Bytes& b, size_t off, uint16_t* v)
{
    if (off > b.size() || b.size() - off < 2)
        return false;
    *v = static_cast<uint16_t>(b[off] | b[off + 1] << 8);
    return true;
}

bool rd32(const Bytes& b, size_t off, uint32_t* v)
{
    if (off > b.size() || b.size() - off < 4)
        return false;
    *v = static_cast<uint32_t>(b[off]) | static_cast<uint32_t>(b[off + 1]) << 8 |
         static_cast<uint32_t>(b[off + 2]) << 16 | static_cast<uint32_t>(b[off + 3]) << 24;
    return true;
}

// File offset of a relative virtual address, if it lies in a section's file data.
bool fileOffset(const Image& image, uint32_t rva, size_t* off)
{
    for (const Section& s : image.sections) {
        if (rva >= s.virtualAddress && rva - s.virtualAddress < s.rawSize) {
            *off = static_cast<size_t>(s.rawOffset) + (rva - s.virtualAddress);
            return *off < image.file.size();
        }
    }
    return false;
}

// A NUL-terminated ASCII string at an RVA ("" when out of range).
std::string stringAt(const Image& image, uint32_t rva)
{
    size_t off = 0;
    std::string s;
    if (!fileOffset(image, rva, &off))
        return s;
    while (off < image.file.size() && image.file[off] != 0)
        s.push_back(static_cast<char>(image.file[off++]));
    return s;
}

std::string lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// UTF-16 code units as ASCII; anything else becomes '?', which no expected text holds.
std::string ascii(const Bytes& b, size_t off, size_t units)
{
    std::string s;
    for (size_t i = 0; i < units; ++i) {
        uint16_t u = 0;
        if (!rd16(b, off + 2 * i, &u))
            break;
        s.push_back(u < 0x80 ? static_cast<char>(u) : '?');
    }
    return s;
}

// One entry of a resource directory: its name and where it leads (relative to the
// start of the resource tree; the high bit marks a subdirectory).
struct DirEntry {
    ResName name;
    uint32_t target;
};

bool readDirectory(const Image& image, uint32_t dirOffset, std::vector<DirEntry>* entries)
{
    const uint32_t rootRva = image.dirRva[2];
    size_t root = 0;
    if (rootRva == 0 || !fileOffset(image, rootRva, &root))
        return false;
    const Bytes& b = image.file;
    uint16_t named = 0, ids = 0;
    if (!rd16(b, root + dirOffset + 12, &named) || !rd16(b, root + dirOffset + 14, &ids))
        return false;
    for (uint32_t i = 0; i < static_cast<uint32_t>(named) + ids; ++i) {
        const size_t e = root + dirOffset + 16 + 8 * static_cast<size_t>(i);
        uint32_t nameField = 0, target = 0;
        if (!rd32(b, e, &nameField) || !rd32(b, e + 4, &target))
            return false;
        DirEntry entry{resId(0), target};
        if (nameField & 0x80000000u) {
            const size_t s = root + (nameField & 0x7fffffffu);
            uint16_t length = 0;
            if (!rd16(b, s, &length))
                return false;
            entry.name = resName(ascii(b, s + 2, length));
        } else {
            entry.name = resId(static_cast<uint16_t>(nameField));
        }
        entries->push_back(entry);
    }
    return true;
}

bool sameName(const ResName& a, const ResName& b)
{
    return a.isId == b.isId && (a.isId ? a.id == b.id : lower(a.name) == lower(b.name));
}

bool findSubdirectory(const Image& image, uint32_t dirOffset, const ResName& name, uint32_t* sub)
{
    std::vector<DirEntry> entries;
    if (!readDirectory(image, dirOffset, &entries))
        return false;
    for (const DirEntry& e : entries) {
        if (sameName(e.name, name) && (e.target & 0x80000000u)) {
            *sub = e.target & 0x7fffffffu;
            return true;
        }
    }
    return false;
}

size_t align4(size_t v) { return (v + 3) & ~static_cast<size_t>(3); }

bool parseNode(const Bytes& b, size_t off, size_t end, VersionNode* node, size_t* next)
{
    uint16_t length = 0, valueLength = 0, type = 0;
    if (!rd16(b, off, &length) || !rd16(b, off + 2, &valueLength) || !rd16(b, off + 4, &type) || length < 6 ||
        off + length > end)
        return false;
    const size_t nodeEnd = off + length;
    size_t p = off + 6;
    size_t keyUnits = 0;
    for (uint16_t u = 1; p + 2 * keyUnits < nodeEnd; ++keyUnits) {
        rd16(b, p + 2 * keyUnits, &u);
        if (u == 0)
            break;
    }
    node->key = ascii(b, p, keyUnits);
    p = align4(p + 2 * (keyUnits + 1));
    node->isText = type == 1;
    // Text values count UTF-16 units (with the NUL), binary values bytes.
    const size_t valueBytes = node->isText ? 2 * static_cast<size_t>(valueLength) : valueLength;
    if (p + valueBytes > nodeEnd)
        return false;
    if (node->isText) {
        node->text = ascii(b, p, valueLength);
        while (!node->text.empty() && node->text.back() == '\0')
            node->text.pop_back();
    } else {
        node->binary.assign(b.begin() + static_cast<std::ptrdiff_t>(p),
                            b.begin() + static_cast<std::ptrdiff_t>(p + valueBytes));
    }
    p = align4(p + valueBytes);
    while (p < nodeEnd) {
        VersionNode c;
        size_t after = 0;
        if (!parseNode(b, p, nodeEnd, &c, &after))
            return false;
        node->children.push_back(c);
        p = align4(after);
    }
    *next = nodeEnd;
    return true;
}

} // namespace

bool load(const std::string& path, Image* image, std::string* error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot open " + path;
        return false;
    }
    image->file.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    const Bytes& b = image->file;
    uint32_t peOffset = 0, signature = 0;
    if (b.size() < 64 || b[0] != 'M' || b[1] != 'Z' || !rd32(b, 0x3C, &peOffset) || !rd32(b, peOffset, &signature) ||
        signature != 0x00004550u) {
        *error = path + " is not a PE file";
        return false;
    }
    const size_t coff = peOffset + 4;
    uint16_t sectionCount = 0, optionalSize = 0;
    if (!rd16(b, coff, &image->machine) || !rd16(b, coff + 2, &sectionCount) || !rd16(b, coff + 16, &optionalSize) ||
        !rd16(b, coff + 18, &image->characteristics)) {
        *error = path + ": COFF header cut short";
        return false;
    }
    const size_t optional = coff + 20;
    if (!rd16(b, optional, &image->magic) || (image->magic != 0x10B && image->magic != 0x20B)) {
        *error = path + ": unknown optional header";
        return false;
    }
    // The data directories follow the fixed part, which is 16 bytes longer in PE32+.
    const size_t countAt = optional + (image->magic == 0x20B ? 108 : 92);
    uint32_t dirCount = 0;
    if (!rd32(b, countAt, &dirCount)) {
        *error = path + ": optional header cut short";
        return false;
    }
    for (uint32_t i = 0; i < dirCount && i < 16; ++i) {
        if (!rd32(b, countAt + 4 + 8 * i, &image->dirRva[i]) || !rd32(b, countAt + 8 + 8 * i, &image->dirSize[i])) {
            *error = path + ": data directories cut short";
            return false;
        }
    }
    const size_t table = optional + optionalSize;
    for (uint16_t i = 0; i < sectionCount; ++i) {
        const size_t s = table + 40 * static_cast<size_t>(i);
        Section sec{};
        if (!rd32(b, s + 8, &sec.virtualSize) || !rd32(b, s + 12, &sec.virtualAddress) ||
            !rd32(b, s + 16, &sec.rawSize) || !rd32(b, s + 20, &sec.rawOffset)) {
            *error = path + ": section table cut short";
            return false;
        }
        image->sections.push_back(sec);
    }
    return true;
}

std::vector<ResName> resourceNames(const Image& image, const ResName& type)
{
    std::vector<ResName> names;
    uint32_t typeDir = 0;
    std::vector<DirEntry> entries;
    if (findSubdirectory(image, 0, type, &typeDir) && readDirectory(image, typeDir, &entries))
        for (const DirEntry& e : entries)
            names.push_back(e.name);
    return names;
}

bool resource(const Image& image, const ResName& type, const ResName& name, Bytes* data)
{
    uint32_t typeDir = 0, nameDir = 0;
    std::vector<DirEntry> languages;
    if (!findSubdirectory(image, 0, type, &typeDir) || !findSubdirectory(image, typeDir, name, &nameDir) ||
        !readDirectory(image, nameDir, &languages) || languages.empty() || (languages[0].target & 0x80000000u))
        return false;
    size_t root = 0, entry = 0, at = 0;
    uint32_t dataRva = 0, size = 0;
    if (!fileOffset(image, image.dirRva[2], &root))
        return false;
    entry = root + languages[0].target;
    if (!rd32(image.file, entry, &dataRva) || !rd32(image.file, entry + 4, &size) || !fileOffset(image, dataRva, &at) ||
        size > image.file.size() - at)
        return false;
    data->assign(image.file.begin() + static_cast<std::ptrdiff_t>(at),
                 image.file.begin() + static_cast<std::ptrdiff_t>(at + size));
    return true;
}

std::vector<std::string> exportNames(const Image& image)
{
    std::vector<std::string> names;
    size_t dir = 0;
    uint32_t count = 0, namesRva = 0;
    if (image.dirRva[0] == 0 || !fileOffset(image, image.dirRva[0], &dir) || !rd32(image.file, dir + 24, &count) ||
        !rd32(image.file, dir + 32, &namesRva))
        return names;
    size_t table = 0;
    if (!fileOffset(image, namesRva, &table))
        return names;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t rva = 0;
        if (!rd32(image.file, table + 4 * static_cast<size_t>(i), &rva))
            break;
        names.push_back(stringAt(image, rva));
    }
    return names;
}

std::vector<std::string> importedDlls(const Image& image)
{
    std::vector<std::string> dlls;
    size_t dir = 0;
    if (image.dirRva[1] == 0 || !fileOffset(image, image.dirRva[1], &dir))
        return dlls;
    // Descriptors of 20 bytes; the name's RVA is at 12; an all-zero one ends the list.
    for (size_t d = dir;; d += 20) {
        uint32_t lookup = 0, nameRva = 0, thunks = 0;
        if (!rd32(image.file, d, &lookup) || !rd32(image.file, d + 12, &nameRva) ||
            !rd32(image.file, d + 16, &thunks) || (lookup == 0 && nameRva == 0 && thunks == 0))
            break;
        dlls.push_back(stringAt(image, nameRva));
    }
    return dlls;
}

bool parseVersion(const Bytes& data, VersionNode* root, std::string* error)
{
    size_t next = 0;
    if (!parseNode(data, 0, data.size(), root, &next)) {
        *error = "malformed version resource";
        return false;
    }
    return true;
}

const VersionNode* child(const VersionNode& node, const std::string& key)
{
    for (const VersionNode& c : node.children)
        if (c.key == key)
            return &c;
    return nullptr;
}

namespace {

// Reads sequentially through a template; the first read past the end sets `ok`
// false and every later read returns zeros, so a parse checks once at the end.
struct Cursor {
    const Bytes& b;
    size_t at;
    bool ok = true;

    uint16_t u16()
    {
        uint16_t v = 0;
        ok = ok && rd16(b, at, &v);
        at += 2;
        return v;
    }
    uint32_t u32()
    {
        uint32_t v = 0;
        ok = ok && rd32(b, at, &v);
        at += 4;
        return v;
    }
    uint8_t u8()
    {
        ok = ok && at < b.size();
        const uint8_t v = ok ? b[at] : 0;
        ++at;
        return v;
    }
    std::u16string text()
    {
        std::u16string s;
        for (uint16_t c = u16(); ok && c != 0; c = u16())
            s.push_back(static_cast<char16_t>(c));
        return s;
    }
    SzOrOrd szOrOrd()
    {
        SzOrOrd v;
        const uint16_t first = u16();
        if (first == 0xFFFF) {
            v.isOrdinal = true;
            v.ordinal = u16();
        } else if (first != 0) {
            v.text.push_back(static_cast<char16_t>(first));
            v.text += text();
        }
        return v;
    }
    void alignTo4() { at = (at + 3) & ~size_t{3}; }
};

} // namespace

bool parseDialogEx(const Bytes& data, Dialog* d, std::string* error)
{
    Cursor c{data, 0};
    const uint16_t version = c.u16(), signature = c.u16();
    if (!c.ok || version != 1 || signature != 0xFFFF) {
        *error = "not an extended dialog template";
        return false;
    }
    d->helpId = c.u32();
    d->exStyle = c.u32();
    d->style = c.u32();
    const uint16_t count = c.u16();
    d->x = static_cast<int16_t>(c.u16());
    d->y = static_cast<int16_t>(c.u16());
    d->cx = static_cast<int16_t>(c.u16());
    d->cy = static_cast<int16_t>(c.u16());
    d->menu = c.szOrOrd();
    d->windowClass = c.szOrOrd();
    d->title = c.text();
    d->hasFont = (d->style & 0x40) != 0; // DS_SETFONT, also part of DS_SHELLFONT
    if (d->hasFont) {
        d->pointSize = c.u16();
        d->weight = c.u16();
        d->italic = c.u8();
        d->charset = c.u8();
        d->typeface = c.text();
    }
    d->items.clear();
    for (uint16_t i = 0; i < count && c.ok; ++i) {
        c.alignTo4();
        DialogItem item;
        item.helpId = c.u32();
        item.exStyle = c.u32();
        item.style = c.u32();
        item.x = static_cast<int16_t>(c.u16());
        item.y = static_cast<int16_t>(c.u16());
        item.cx = static_cast<int16_t>(c.u16());
        item.cy = static_cast<int16_t>(c.u16());
        item.id = static_cast<int32_t>(c.u32());
        item.windowClass = c.szOrOrd();
        item.title = c.szOrOrd();
        item.extraBytes = c.u16();
        c.at += item.extraBytes;
        d->items.push_back(item);
    }
    if (!c.ok || c.at > data.size()) {
        *error = "dialog template ends early";
        return false;
    }
    return true;
}

} // namespace pe
