// GUID with the Windows layout, its text forms and comparison.
#pragma once

#include <compare>
#include <optional>
#include <string>
#include <string_view>

#include "platform/core/types.h"

struct GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];

    friend constexpr bool operator==(const GUID&, const GUID&) = default;
    friend constexpr auto operator<=>(const GUID&, const GUID&) = default;
};
using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const GUID&;
using REFCLSID = const GUID&;

inline constexpr GUID GUID_NULL = {};

constexpr bool IsEqualGUID(REFGUID a, REFGUID b) {
    return a == b;
}

namespace platform {

namespace detail {
constexpr int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace detail

// Parses "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx", with or without braces, any case.
constexpr std::optional<GUID> ParseGuid(std::string_view text) {
    if (text.size() == 38) {
        if (text.front() != '{' || text.back() != '}') return std::nullopt;
        text = text.substr(1, 36);
    }
    if (text.size() != 36) return std::nullopt;
    // Positions of the 32 hex digits; the rest must be the four dashes.
    unsigned char nibbles[32] = {};
    int n = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-') return std::nullopt;
            continue;
        }
        const int digit = detail::HexDigit(text[i]);
        if (digit < 0) return std::nullopt;
        nibbles[n++] = static_cast<unsigned char>(digit);
    }
    auto take = [&nibbles](int first, int count) {
        ULONG value = 0;
        for (int i = first; i < first + count; ++i) value = (value << 4) | nibbles[i];
        return value;
    };
    GUID guid{};
    guid.Data1 = take(0, 8);
    guid.Data2 = static_cast<USHORT>(take(8, 4));
    guid.Data3 = static_cast<USHORT>(take(12, 4));
    for (int i = 0; i < 8; ++i) guid.Data4[i] = static_cast<UCHAR>(take(16 + 2 * i, 2));
    return guid;
}

// A GUID written in code as text; fails to compile when the text is malformed.
consteval GUID GuidLiteral(std::string_view text) {
    const std::optional<GUID> guid = ParseGuid(text);
    if (!guid) throw "malformed GUID literal";
    return *guid;
}

// The braced upper-case form the registry uses: "{6994AD04-93EF-11D0-A3CC-00A0C9223196}".
std::string GuidToRegistryString(REFGUID guid);

}  // namespace platform
