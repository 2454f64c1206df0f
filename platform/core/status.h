// Status codes: NTSTATUS for kernel code, HRESULT and Win32 error codes for user code,
// each with its Windows value and a name for readable messages and test failures.
#pragma once

#include <ostream>
#include <string>

#include "platform/core/types.h"

using NTSTATUS = LONG;
using HRESULT = LONG;

constexpr bool NT_SUCCESS(NTSTATUS status) {
    return status >= 0;
}
constexpr bool SUCCEEDED(HRESULT hr) {
    return hr >= 0;
}
constexpr bool FAILED(HRESULT hr) {
    return hr < 0;
}

// X(name, value) lists; the tables give both the constants and their names.
#define KALDRIT_NTSTATUS_LIST(X)                     \
    X(STATUS_SUCCESS, 0x00000000)                    \
    X(STATUS_WAIT_0, 0x00000000)                     \
    X(STATUS_WAIT_1, 0x00000001)                     \
    X(STATUS_WAIT_2, 0x00000002)                     \
    X(STATUS_WAIT_3, 0x00000003)                     \
    X(STATUS_WAIT_63, 0x0000003F)                    \
    X(STATUS_ABANDONED_WAIT_0, 0x00000080)           \
    X(STATUS_USER_APC, 0x000000C0)                   \
    X(STATUS_ALERTED, 0x00000101)                    \
    X(STATUS_TIMEOUT, 0x00000102)                    \
    X(STATUS_PENDING, 0x00000103)                    \
    X(STATUS_REPARSE, 0x00000104)                    \
    X(STATUS_MORE_ENTRIES, 0x00000105)               \
    X(STATUS_BUFFER_OVERFLOW, 0x80000005)            \
    X(STATUS_NO_MORE_ENTRIES, 0x8000001A)            \
    X(STATUS_UNSUCCESSFUL, 0xC0000001)               \
    X(STATUS_NOT_IMPLEMENTED, 0xC0000002)            \
    X(STATUS_INVALID_HANDLE, 0xC0000008)             \
    X(STATUS_INVALID_PARAMETER, 0xC000000D)          \
    X(STATUS_NO_SUCH_DEVICE, 0xC000000E)             \
    X(STATUS_INVALID_DEVICE_REQUEST, 0xC0000010)     \
    X(STATUS_MORE_PROCESSING_REQUIRED, 0xC0000016)   \
    X(STATUS_NO_MEMORY, 0xC0000017)                  \
    X(STATUS_ACCESS_DENIED, 0xC0000022)              \
    X(STATUS_BUFFER_TOO_SMALL, 0xC0000023)           \
    X(STATUS_OBJECT_TYPE_MISMATCH, 0xC0000024)       \
    X(STATUS_OBJECT_NAME_NOT_FOUND, 0xC0000034)      \
    X(STATUS_OBJECT_NAME_COLLISION, 0xC0000035)      \
    X(STATUS_MUTANT_NOT_OWNED, 0xC0000046)           \
    X(STATUS_INSUFFICIENT_RESOURCES, 0xC000009A)     \
    X(STATUS_DEVICE_NOT_READY, 0xC00000A3)           \
    X(STATUS_IO_TIMEOUT, 0xC00000B5)                 \
    X(STATUS_NOT_SUPPORTED, 0xC00000BB)              \
    X(STATUS_INTERNAL_ERROR, 0xC00000E5)             \
    X(STATUS_CANCELLED, 0xC0000120)                  \
    X(STATUS_DEVICE_DOES_NOT_EXIST, 0xC00000C0)      \
    X(STATUS_DEVICE_DATA_ERROR, 0xC000009C)          \
    X(STATUS_DEVICE_NOT_CONNECTED, 0xC000009D)       \
    X(STATUS_DEVICE_CONFIGURATION_ERROR, 0xC0000182) \
    X(STATUS_NOT_FOUND, 0xC0000225)                  \
    X(STATUS_NO_MATCH, 0xC0000272)                   \
    X(STATUS_DEVICE_REMOVED, 0xC00002B6)             \
    X(STATUS_INVALID_BUFFER_SIZE, 0xC0000206)        \
    X(STATUS_NOINTERFACE, 0xC00002B9)

#define KALDRIT_HRESULT_LIST(X)              \
    X(S_OK, 0x00000000)                      \
    X(S_FALSE, 0x00000001)                   \
    X(E_NOTIMPL, 0x80004001)                 \
    X(E_NOINTERFACE, 0x80004002)             \
    X(E_POINTER, 0x80004003)                 \
    X(E_ABORT, 0x80004004)                   \
    X(E_FAIL, 0x80004005)                    \
    X(E_UNEXPECTED, 0x8000FFFF)              \
    X(E_ACCESSDENIED, 0x80070005)            \
    X(E_HANDLE, 0x80070006)                  \
    X(E_OUTOFMEMORY, 0x8007000E)             \
    X(E_INVALIDARG, 0x80070057)              \
    X(CLASS_E_NOAGGREGATION, 0x80040110)     \
    X(CLASS_E_CLASSNOTAVAILABLE, 0x80040111) \
    X(REGDB_E_CLASSNOTREG, 0x80040154)       \
    X(SELFREG_E_CLASS, 0x80040201)

#define KALDRIT_WIN32_ERROR_LIST(X)        \
    X(ERROR_SUCCESS, 0)                    \
    X(ERROR_INVALID_FUNCTION, 1)           \
    X(ERROR_FILE_NOT_FOUND, 2)             \
    X(ERROR_PATH_NOT_FOUND, 3)             \
    X(ERROR_ACCESS_DENIED, 5)              \
    X(ERROR_INVALID_HANDLE, 6)             \
    X(ERROR_NOT_ENOUGH_MEMORY, 8)          \
    X(ERROR_INVALID_DATA, 13)              \
    X(ERROR_OUTOFMEMORY, 14)               \
    X(ERROR_NOT_READY, 21)                 \
    X(ERROR_GEN_FAILURE, 31)               \
    X(ERROR_NOT_SUPPORTED, 50)             \
    X(ERROR_FILE_EXISTS, 80)               \
    X(ERROR_INVALID_PARAMETER, 87)         \
    X(ERROR_BUFFER_OVERFLOW, 111)          \
    X(ERROR_INSUFFICIENT_BUFFER, 122)      \
    X(ERROR_ALREADY_EXISTS, 183)           \
    X(ERROR_MORE_DATA, 234)                \
    X(ERROR_WAIT_TIMEOUT, 258)             \
    X(ERROR_NO_MORE_ITEMS, 259)            \
    X(ERROR_OPERATION_ABORTED, 995)        \
    X(ERROR_IO_INCOMPLETE, 996)            \
    X(ERROR_IO_PENDING, 997)               \
    X(ERROR_SERVICE_ALREADY_RUNNING, 1056) \
    X(ERROR_SERVICE_DOES_NOT_EXIST, 1060)  \
    X(ERROR_SERVICE_EXISTS, 1073)          \
    X(ERROR_DEVICE_NOT_CONNECTED, 1167)    \
    X(ERROR_NO_SYSTEM_RESOURCES, 1450)

#define KALDRIT_DEFINE_STATUS(name, value) inline constexpr LONG name = static_cast<LONG>(value);
KALDRIT_NTSTATUS_LIST(KALDRIT_DEFINE_STATUS)
KALDRIT_HRESULT_LIST(KALDRIT_DEFINE_STATUS)
#undef KALDRIT_DEFINE_STATUS

#define KALDRIT_DEFINE_ERROR(name, value) inline constexpr DWORD name = value;
KALDRIT_WIN32_ERROR_LIST(KALDRIT_DEFINE_ERROR)
#undef KALDRIT_DEFINE_ERROR

inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_ABANDONED_0 = 0x80;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

constexpr HRESULT HRESULT_FROM_WIN32(DWORD error) {
    return error == 0 ? S_OK : static_cast<HRESULT>((error & 0x0000FFFF) | 0x80070000u);
}

namespace platform {

// "STATUS_TIMEOUT", or the hex value when the code has no name here. Where several
// names share a value (STATUS_SUCCESS, STATUS_WAIT_0) the first listed is given.
std::string NtStatusName(NTSTATUS status);
std::string HResultName(HRESULT hr);
std::string Win32ErrorName(DWORD error);

// Wraps a status for gtest and stream output: `EXPECT_EQ(Nt(s), Nt(STATUS_TIMEOUT))`
// prints names instead of numbers when it fails.
struct Nt {
    NTSTATUS value;
    friend bool operator==(Nt, Nt) = default;
    friend std::ostream& operator<<(std::ostream& os, Nt s) { return os << NtStatusName(s.value); }
};
struct Hr {
    HRESULT value;
    friend bool operator==(Hr, Hr) = default;
    friend std::ostream& operator<<(std::ostream& os, Hr h) { return os << HResultName(h.value); }
};

}  // namespace platform
