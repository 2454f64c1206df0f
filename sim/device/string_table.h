// The string descriptors of a simulated device: the LANGID list (string descriptor 0)
// and the strings by (index, LANGID), as the device hands them out to GET_DESCRIPTOR.
// Built once when the device is made and read-only afterwards.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/core/types.h"

namespace sim {

class StringTable {
  public:
    // The LANGIDs string descriptor 0 lists, in this order.
    void SetLanguages(std::vector<USHORT> langIds) { languages_ = std::move(langIds); }
    const std::vector<USHORT>& Languages() const { return languages_; }

    // String `index` (not 0) in language `langId`. A descriptor's length is one byte, so
    // text beyond 126 UTF-16 code units is cut off.
    void Set(UCHAR index, USHORT langId, std::u16string_view text);

    // Exact bytes for (index, langId), malformed or not. For index 0 they replace the
    // LANGID list whatever the language asked for.
    void SetRaw(UCHAR index, USHORT langId, std::vector<std::uint8_t> bytes);

    // The descriptor the device returns, or nothing when it has none (the device would
    // stall). Index 0 is the LANGID list and ignores `langId`; a device that lists no
    // language has no strings at all.
    std::optional<std::vector<std::uint8_t>> Descriptor(UCHAR index, USHORT langId) const;

  private:
    std::vector<USHORT> languages_;
    std::map<std::pair<UCHAR, USHORT>, std::vector<std::uint8_t>> descriptors_;
};

}  // namespace sim
