#include "platform/usb/usbd_status.h"

#include <cstdio>

namespace platform {
namespace {

struct NamedUsbdStatus {
    const char* name;
    ULONG value;
};

#define KALDRIT_NAMED(name, value) {#name, static_cast<ULONG>(value)},
constexpr NamedUsbdStatus kUsbdStatusNames[] = {KALDRIT_USBD_STATUS_LIST(KALDRIT_NAMED)};
#undef KALDRIT_NAMED

}  // namespace

std::string UsbdStatusName(USBD_STATUS status) {
    for (const NamedUsbdStatus& entry : kUsbdStatusNames) {
        if (entry.value == static_cast<ULONG>(status)) return entry.name;
    }
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<ULONG>(status));
    return text;
}

}  // namespace platform
