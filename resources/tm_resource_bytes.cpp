#include "tm_resource_bytes.h"

namespace {

constexpr TMFourCC kVendor = TMFourCCOf("8BIM");

// Counts are signed 16-bit on the wire.
void putCount(TMResBytes& out, size_t n)
{
    if (n > 0x7fff)
        out.ok = false;
    TMPutU16(out, static_cast<uint16_t>(n));
}

void padTo4(std::vector<uint8_t>& bytes)
{
    while (bytes.size() % 4 != 0)
        bytes.push_back(0);
}

} // namespace

void TMPutU8(TMResBytes& out, uint8_t v) { out.bytes.push_back(v); }

void TMPutU16(TMResBytes& out, uint16_t v)
{
    out.bytes.push_back(static_cast<uint8_t>(v));
    out.bytes.push_back(static_cast<uint8_t>(v >> 8));
}

void TMPutU32(TMResBytes& out, uint32_t v)
{
    for (int shift = 0; shift < 32; shift += 8)
        out.bytes.push_back(static_cast<uint8_t>(v >> shift));
}

void TMPutFourCC(TMResBytes& out, TMFourCC code) { TMPutU32(out, code); }

void TMPutPascal(TMResBytes& out, const std::string& s)
{
    if (s.size() > 255) {
        out.ok = false;
        return;
    }
    out.bytes.push_back(static_cast<uint8_t>(s.size()));
    out.bytes.insert(out.bytes.end(), s.begin(), s.end());
}

void TMPutCString(TMResBytes& out, const std::string& s)
{
    // An embedded NUL would end the string early for every reader.
    if (s.find('\0') != std::string::npos)
        out.ok = false;
    out.bytes.insert(out.bytes.end(), s.begin(), s.end());
    out.bytes.push_back(0);
}

// --- PiPL ---------------------------------------------------------------------

std::vector<uint8_t> TMPiPLBytes(const std::vector<TMPiPLProperty>& properties)
{
    TMResBytes out;
    TMPutU16(out, 1);
    TMPutU32(out, 0);
    TMPutU32(out, static_cast<uint32_t>(properties.size()));
    for (const TMPiPLProperty& p : properties) {
        if (!p.data.ok)
            return {};
        std::vector<uint8_t> data = p.data.bytes;
        padTo4(data);
        TMPutFourCC(out, kVendor);
        TMPutFourCC(out, p.key);
        TMPutU32(out, 0);
        TMPutU32(out, static_cast<uint32_t>(data.size()));
        out.bytes.insert(out.bytes.end(), data.begin(), data.end());
    }
    return out.bytes;
}

TMResBytes TMPiPLCode(TMFourCC value)
{
    TMResBytes out;
    TMPutFourCC(out, value);
    return out;
}

TMResBytes TMPiPLInt32s(const std::vector<int32_t>& values)
{
    TMResBytes out;
    for (int32_t v : values)
        TMPutU32(out, static_cast<uint32_t>(v));
    return out;
}

TMResBytes TMPiPLPascal(const std::string& s)
{
    TMResBytes out;
    TMPutPascal(out, s);
    return out;
}

TMResBytes TMPiPLCString(const std::string& s)
{
    TMResBytes out;
    TMPutCString(out, s);
    return out;
}

TMResBytes TMPiPLModes(const std::vector<int>& modes)
{
    TMResBytes out;
    out.bytes.assign(4, 0);
    for (int mode : modes) {
        if (mode < 0 || mode > 31) {
            out.ok = false;
            continue;
        }
        out.bytes[mode / 8] |= static_cast<uint8_t>(0x80u >> (mode % 8));
    }
    return out;
}

TMResBytes TMPiPLFilterCases(const std::vector<TMFilterCaseInfo>& cases)
{
    TMResBytes out;
    out.ok = cases.size() == 7;
    for (const TMFilterCaseInfo& c : cases) {
        TMPutU8(out, c.inputHandling);
        TMPutU8(out, c.outputHandling);
        TMPutU8(out, c.flags1);
        TMPutU8(out, c.flags2);
    }
    return out;
}

TMResBytes TMPiPLTerminology(const TMTerminologyLink& link)
{
    TMResBytes out;
    TMPutU32(out, static_cast<uint32_t>(link.version));
    TMPutFourCC(out, link.classId);
    TMPutFourCC(out, link.eventId);
    TMPutU16(out, static_cast<uint16_t>(link.terminologyId));
    TMPutCString(out, link.scope);
    return out;
}

// --- AETE ---------------------------------------------------------------------

std::vector<uint8_t> TMAeteBytes(const TMAete& aete)
{
    TMResBytes out;
    TMPutU16(out, 1);
    TMPutU8(out, aete.majorVersion);
    TMPutU8(out, aete.minorVersion);
    TMPutU16(out, static_cast<uint16_t>(aete.language));
    TMPutU16(out, static_cast<uint16_t>(aete.script));
    putCount(out, aete.suites.size());
    for (const TMAeteSuite& suite : aete.suites) {
        TMPutPascal(out, suite.name);
        TMPutPascal(out, suite.description);
        TMPutFourCC(out, suite.id);
        TMPutU16(out, static_cast<uint16_t>(suite.level));
        TMPutU16(out, static_cast<uint16_t>(suite.version));
        putCount(out, suite.events.size());
        for (const TMAeteEvent& e : suite.events) {
            TMPutPascal(out, e.name);
            TMPutPascal(out, e.description);
            TMPutFourCC(out, e.eventClass);
            TMPutFourCC(out, e.eventId);
            TMPutFourCC(out, e.replyType);
            TMPutPascal(out, e.replyDescription);
            TMPutU16(out, e.replyFlags);
            TMPutFourCC(out, e.directType);
            TMPutPascal(out, e.directDescription);
            TMPutU16(out, e.directFlags);
            putCount(out, e.parameters.size());
            for (const TMAeteParameter& p : e.parameters) {
                TMPutPascal(out, p.name);
                TMPutFourCC(out, p.key);
                TMPutFourCC(out, p.type);
                TMPutPascal(out, p.description);
                TMPutU16(out, p.flags);
            }
        }
        putCount(out, 0); // classes
        putCount(out, 0); // comparison operators
        putCount(out, suite.enumerations.size());
        for (const TMAeteEnumeration& en : suite.enumerations) {
            TMPutFourCC(out, en.type);
            putCount(out, en.items.size());
            for (const TMAeteEnumItem& item : en.items) {
                TMPutPascal(out, item.name);
                TMPutFourCC(out, item.code);
                TMPutPascal(out, item.description);
            }
        }
    }
    if (!out.ok)
        return {};
    return out.bytes;
}
