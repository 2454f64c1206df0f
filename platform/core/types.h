// The basic Windows integer, pointer and handle types, with the widths Windows gives
// them (ULONG is 32 bits on every Windows, pointer-sized types follow the build).
#pragma once

#include <cstddef>
#include <cstdint>

using UCHAR = std::uint8_t;
using BYTE = std::uint8_t;
using CHAR = char;
using USHORT = std::uint16_t;
using WORD = std::uint16_t;
using SHORT = std::int16_t;
using ULONG = std::uint32_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using INT = int;
using UINT = unsigned int;
using ULONGLONG = std::uint64_t;
using LONGLONG = std::int64_t;
using ULONG64 = std::uint64_t;
using LONG64 = std::int64_t;
using ULONG_PTR = std::uintptr_t;
using LONG_PTR = std::intptr_t;
using SIZE_T = std::size_t;
using BOOLEAN = std::uint8_t;
using BOOL = int;
using WCHAR = char16_t;
using PVOID = void*;
using HANDLE = void*;

inline constexpr int TRUE = 1;
inline constexpr int FALSE = 0;

union LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
};
using PLARGE_INTEGER = LARGE_INTEGER*;

// The address of the structure of `type` whose member `field` is at `address`.
#define CONTAINING_RECORD(address, type, field) \
    (reinterpret_cast<type*>(reinterpret_cast<char*>(address) - offsetof(type, field)))
