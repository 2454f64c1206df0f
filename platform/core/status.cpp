#include "platform/core/status.h"

#include <cstdio>

namespace platform {
namespace {

struct NamedCode {
    const char* name;
    DWORD value;
};

#define KALDRIT_NAMED(name, value) {#name, static_cast<DWORD>(value)},
constexpr NamedCode kNtStatusNames[] = {KALDRIT_NTSTATUS_LIST(KALDRIT_NAMED)};
constexpr NamedCode kHResultNames[] = {KALDRIT_HRESULT_LIST(KALDRIT_NAMED)};
constexpr NamedCode kWin32Names[] = {KALDRIT_WIN32_ERROR_LIST(KALDRIT_NAMED)};
#undef KALDRIT_NAMED

template <std::size_t N>
std::string Lookup(const NamedCode (&table)[N], DWORD value, bool hex) {
    for (const NamedCode& entry : table) {
        if (entry.value == value) return entry.name;
    }
    char text[16];
    std::snprintf(text, sizeof text, hex ? "0x%08X" : "%u", value);
    return text;
}

}  // namespace

std::string NtStatusName(NTSTATUS status) {
    return Lookup(kNtStatusNames, static_cast<DWORD>(status), true);
}
std::string HResultName(HRESULT hr) {
    return Lookup(kHResultNames, static_cast<DWORD>(hr), true);
}
std::string Win32ErrorName(DWORD error) {
    return Lookup(kWin32Names, error, false);
}

}  // namespace platform
