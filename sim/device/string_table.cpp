#include "sim/device/string_table.h"

#include <algorithm>

#include "platform/usb/usb_descriptors.h"

namespace sim {
namespace {

// bLength is a byte: two header bytes and at most 126 UTF-16 code units.
constexpr std::size_t kMaxCodeUnits = (255 - 2) / 2;

// Descriptor 0 keeps no language of its own; every language asks for the same list.
constexpr USHORT kLanguageListKey = 0;

void AppendLittleEndian16(std::vector<std::uint8_t>& bytes, std::uint16_t value) {
    bytes.push_back(static_cast<std::uint8_t>(value & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
}

}  // namespace

void StringTable::Set(UCHAR index, USHORT langId, std::u16string_view text) {
    text = text.substr(0, std::min(text.size(), kMaxCodeUnits));
    std::vector<std::uint8_t> bytes;
    bytes.push_back(static_cast<std::uint8_t>(2 + 2 * text.size()));
    bytes.push_back(USB_STRING_DESCRIPTOR_TYPE);
    for (char16_t unit : text) AppendLittleEndian16(bytes, unit);
    descriptors_[{index, langId}] = std::move(bytes);
}

void StringTable::SetRaw(UCHAR index, USHORT langId, std::vector<std::uint8_t> bytes) {
    descriptors_[{index, index == 0 ? kLanguageListKey : langId}] = std::move(bytes);
}

std::optional<std::vector<std::uint8_t>> StringTable::Descriptor(UCHAR index, USHORT langId) const {
    const auto found = descriptors_.find({index, index == 0 ? kLanguageListKey : langId});
    if (found != descriptors_.end()) return found->second;
    if (index != 0 || languages_.empty()) return std::nullopt;
    const std::size_t count = std::min(languages_.size(), kMaxCodeUnits);
    std::vector<std::uint8_t> bytes;
    bytes.push_back(static_cast<std::uint8_t>(2 + 2 * count));
    bytes.push_back(USB_STRING_DESCRIPTOR_TYPE);
    for (std::size_t i = 0; i < count; ++i) AppendLittleEndian16(bytes, languages_[i]);
    return bytes;
}

}  // namespace sim
