// Test-only: walks a configuration descriptor and lists every way it is malformed.
//
// Written from the descriptor rules independently of the builder, so that a test of the
// builder's output checks it against the rules rather than against the builder's own
// assumptions. It never trusts a length: every step is bounded by wTotalLength and the
// bytes given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/core/types.h"

namespace sim::testing {

// One descriptor of the configuration (the configuration header excluded).
struct WalkedDescriptor {
    std::size_t offset = 0;               // from the start of the configuration
    std::span<const std::uint8_t> bytes;  // exactly bLength bytes
    int interfaceNumber = -1;             // of the interface descriptor it follows
    int alternateSetting = -1;

    UCHAR Type() const { return bytes[1]; }
    // Byte 2: the subtype of a class-specific descriptor; 0 when there is none.
    UCHAR Subtype() const { return bytes.size() > 2 ? bytes[2] : 0; }
    UCHAR Byte(std::size_t i) const { return i < bytes.size() ? bytes[i] : 0; }
    USHORT Word(std::size_t i) const { return static_cast<USHORT>(Byte(i) | (Byte(i + 1) << 8)); }
    ULONG Dword(std::size_t i) const { return Word(i) | (static_cast<ULONG>(Word(i + 2)) << 16); }
};

struct ConfigurationWalk {
    std::vector<WalkedDescriptor> descriptors;  // in wire order, up to the first fault
    std::vector<std::string> problems;          // empty when the configuration is well formed
};

// Checks the chain of lengths against wTotalLength, the standard descriptors' lengths and
// counts, interface and alternate-setting numbering, interface associations, and for
// audio functions the AudioControl block's length, the entities' lengths and references,
// and the streaming interfaces' terminal links.
ConfigurationWalk WalkConfiguration(std::span<const std::uint8_t> configuration);

}  // namespace sim::testing
