// Byte layouts of the plug-in property list (PiPL) and the scripting terminology
// (AETE) as Windows hosts read them: little-endian integers, four-character codes
// as little-endian 32-bit integers (so 'kind' is stored 64 6E 69 6B), strings with
// one length byte and no alignment padding. These are general writers; the
// plug-in's own content is in tm_resources.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tm_protocol.h"

// Encoded bytes; ok turns false (and stays false) once a value did not fit its
// field, e.g. a string of more than 255 characters behind a length byte.
struct TMResBytes {
    std::vector<uint8_t> bytes;
    bool ok = true;
};

void TMPutU8(TMResBytes& out, uint8_t v);
void TMPutU16(TMResBytes& out, uint16_t v);
void TMPutU32(TMResBytes& out, uint32_t v);
void TMPutFourCC(TMResBytes& out, TMFourCC code);
void TMPutPascal(TMResBytes& out, const std::string& s);  // length byte, then the characters
void TMPutCString(TMResBytes& out, const std::string& s); // the characters, then NUL

// --- PiPL ---------------------------------------------------------------------

// One property: vendor '8BIM', its key, id 0, the data.
struct TMPiPLProperty {
    TMFourCC key;
    TMResBytes data;
};

// The whole resource: a 16-bit 1, list version 0, the property count, then each
// property with its data zero-padded to a multiple of 4 bytes. The stored data
// length is the padded one, the only form every host steps through correctly.
// Empty when a property's data is not ok.
std::vector<uint8_t> TMPiPLBytes(const std::vector<TMPiPLProperty>& properties);

// Property data of the common kinds.
TMResBytes TMPiPLCode(TMFourCC value);                       // 'kind'
TMResBytes TMPiPLInt32s(const std::vector<int32_t>& values); // 'vers', 'ms32'
TMResBytes TMPiPLPascal(const std::string& s);               // 'name', 'catg'
TMResBytes TMPiPLCString(const std::string& s);              // 'wx86', '8664', 'enbl'
// 'mode': 4 bytes, one bit per image mode counted from the most significant bit of
// the first byte (mode 0, Bitmap, is 0x80 of byte 0). Not ok for modes outside 0..31.
TMResBytes TMPiPLModes(const std::vector<int>& modes);

// One 'fici' entry; the property holds seven, in the protocol's filter-case order.
struct TMFilterCaseInfo {
    uint8_t inputHandling;
    uint8_t outputHandling;
    uint8_t flags1;
    uint8_t flags2;
};
TMResBytes TMPiPLFilterCases(const std::vector<TMFilterCaseInfo>& cases); // not ok unless 7

// 'hstm': the link from the PiPL to the terminology resource.
struct TMTerminologyLink {
    int32_t version;
    TMFourCC classId;
    TMFourCC eventId;
    int16_t terminologyId; // resource id of the AETE
    std::string scope;     // unique text; empty also allows external scripting
};
TMResBytes TMPiPLTerminology(const TMTerminologyLink& link);

// --- AETE ---------------------------------------------------------------------

struct TMAeteParameter {
    std::string name;
    TMFourCC key;
    TMFourCC type; // 'long', 'doub', 'bool' or an enumeration's type
    std::string description;
    uint16_t flags; // 0x8000 optional, 0x4000 list, 0x2000 enumerated
};

struct TMAeteEnumItem {
    std::string name;
    TMFourCC code;
    std::string description;
};

struct TMAeteEnumeration {
    TMFourCC type;
    std::vector<TMAeteEnumItem> items;
};

struct TMAeteEvent {
    std::string name;
    std::string description;
    TMFourCC eventClass;
    TMFourCC eventId;
    TMFourCC replyType;
    std::string replyDescription;
    uint16_t replyFlags;
    TMFourCC directType;
    std::string directDescription;
    uint16_t directFlags;
    std::vector<TMAeteParameter> parameters;
};

// A suite with its events; a filter's suite has no classes and no comparison
// operators, so only its enumerations follow the events.
struct TMAeteSuite {
    std::string name;
    std::string description;
    TMFourCC id;
    int16_t level;
    int16_t version;
    std::vector<TMAeteEvent> events;
    std::vector<TMAeteEnumeration> enumerations;
};

struct TMAete {
    uint8_t majorVersion;
    uint8_t minorVersion;
    int16_t language; // 0 English
    int16_t script;   // 0 Roman
    std::vector<TMAeteSuite> suites;
};

// The whole resource: a 16-bit 1, then the terminology record. Empty when a string
// is longer than 255 characters or a count does not fit 16 bits.
std::vector<uint8_t> TMAeteBytes(const TMAete& aete);
