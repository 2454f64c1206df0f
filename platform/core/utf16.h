// UTF-16 strings, as Windows interfaces take them, and their conversion to and from
// UTF-8. Malformed input becomes U+FFFD rather than failing: these strings come from
// devices and files as often as from code.
#pragma once

#include <string>
#include <string_view>

#include "platform/core/types.h"

struct UNICODE_STRING {
    USHORT Length;         // bytes, without a terminator
    USHORT MaximumLength;  // bytes of Buffer
    WCHAR* Buffer;
};
using PUNICODE_STRING = UNICODE_STRING*;

// Points `target` at the NUL-terminated `source` (or empties it for null).
void RtlInitUnicodeString(UNICODE_STRING* target, const WCHAR* source);

namespace platform {

std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

// The UTF-16 text a UNICODE_STRING holds.
std::u16string_view View(const UNICODE_STRING& s);

}  // namespace platform
