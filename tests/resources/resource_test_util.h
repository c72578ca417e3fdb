// Hand-written expected resource bytes: hex bytes and literal text, appended in order.
#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

namespace restest {

using Bytes = std::vector<uint8_t>;

struct Expect {
    Bytes bytes;
    Expect& operator()(std::initializer_list<uint8_t> hex)
    {
        bytes.insert(bytes.end(), hex);
        return *this;
    }
    // The characters only: length bytes, NULs and padding are written as hex.
    Expect& operator()(const char* text)
    {
        for (const char* c = text; *c; ++c)
            bytes.push_back(static_cast<uint8_t>(*c));
        return *this;
    }
};

// First differing offset, for readable failures of long byte comparisons.
inline std::string firstDifference(const Bytes& actual, const Bytes& expected)
{
    for (size_t i = 0; i < actual.size() && i < expected.size(); ++i) {
        if (actual[i] != expected[i]) {
            char text[96];
            std::snprintf(text, sizeof text, "first difference at offset %zu: 0x%02X, expected 0x%02X", i, actual[i],
                          expected[i]);
            return text;
        }
    }
    if (actual.size() != expected.size())
        return "sizes differ: " + std::to_string(actual.size()) + " bytes, expected " + std::to_string(expected.size());
    return "equal";
}

// A property's data by key, walking the stored (padded) lengths as a host does.
inline Bytes propertyData(const Bytes& pipl, uint32_t key)
{
    for (size_t at = 10; at + 16 <= pipl.size();) {
        const auto u32 = [&](size_t o) {
            return static_cast<uint32_t>(pipl[o]) | pipl[o + 1] << 8 | pipl[o + 2] << 16 |
                   static_cast<uint32_t>(pipl[o + 3]) << 24;
        };
        const uint32_t length = u32(at + 12);
        if (u32(at + 4) == key && at + 16 + length <= pipl.size())
            return Bytes(pipl.begin() + static_cast<std::ptrdiff_t>(at + 16),
                         pipl.begin() + static_cast<std::ptrdiff_t>(at + 16 + length));
        at += 16 + length;
    }
    return {};
}

} // namespace restest
