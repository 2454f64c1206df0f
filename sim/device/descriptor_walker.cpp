#include "sim/device/descriptor_walker.h"

#include <algorithm>
#include <map>
#include <set>
#include <sstream>

#include "platform/usb/usb_audio.h"
#include "platform/usb/usb_descriptors.h"

namespace sim::testing {
namespace {

using namespace usb_audio;

bool IsClockEntity(UCHAR subtype) {
    return subtype == CLOCK_SOURCE || subtype == CLOCK_SELECTOR || subtype == CLOCK_MULTIPLIER;
}

class Walker {
  public:
    explicit Walker(std::span<const std::uint8_t> configuration) : config_(configuration) {}

    ConfigurationWalk Run() {
        if (ChainLengths()) {
            CheckStandardDescriptors();
            CheckInterfaceNumbering();
            CheckAssociations();
            CheckAudioControl();
            CheckStreaming();
        }
        return std::move(walk_);
    }

  private:
    template <typename... Parts>
    void Problem(const Parts&... parts) {
        std::ostringstream text;
        (text << ... << parts);
        walk_.problems.push_back(text.str());
    }

    const std::vector<WalkedDescriptor>& All() const { return walk_.descriptors; }

    // The descriptors after index `i` up to the next interface descriptor.
    std::span<const WalkedDescriptor> FollowingInInterface(std::size_t i) const {
        std::size_t end = i + 1;
        while (end < All().size() && All()[end].Type() != USB_INTERFACE_DESCRIPTOR_TYPE) ++end;
        return std::span(All()).subspan(i + 1, end - i - 1);
    }

    // Splits the configuration into descriptors. False when even the header is unusable.
    bool ChainLengths() {
        if (config_.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
            Problem("configuration of ", config_.size(), " bytes is shorter than its header");
            return false;
        }
        if (config_[0] != sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
            config_[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE)
            Problem("configuration header has bLength ", int(config_[0]), " and type ",
                    int(config_[1]));
        const std::size_t total = config_[2] | (config_[3] << 8);
        if (total != config_.size())
            Problem("wTotalLength ", total, " but the configuration has ", config_.size(),
                    " bytes");
        const std::size_t end = std::min(total, config_.size());

        int interfaceNumber = -1;
        int alternateSetting = -1;
        std::size_t offset = sizeof(USB_CONFIGURATION_DESCRIPTOR);
        while (offset < end) {
            const std::size_t length = config_[offset];
            if (length < 2) {
                Problem("bLength ", length, " at offset ", offset);
                break;
            }
            if (offset + length > end) {
                Problem("descriptor at offset ", offset, " with bLength ", length,
                        " overruns wTotalLength ", end);
                break;
            }
            WalkedDescriptor d;
            d.offset = offset;
            d.bytes = config_.subspan(offset, length);
            if (d.Type() == USB_INTERFACE_DESCRIPTOR_TYPE && length >= 4) {
                interfaceNumber = d.Byte(2);
                alternateSetting = d.Byte(3);
            }
            d.interfaceNumber = interfaceNumber;
            d.alternateSetting = alternateSetting;
            walk_.descriptors.push_back(d);
            offset += length;
        }
        return true;
    }

    void CheckStandardDescriptors() {
        for (std::size_t i = 0; i < All().size(); ++i) {
            const WalkedDescriptor& d = All()[i];
            const std::size_t length = d.bytes.size();
            switch (d.Type()) {
                case USB_DEVICE_DESCRIPTOR_TYPE:
                case USB_CONFIGURATION_DESCRIPTOR_TYPE:
                    Problem("descriptor of type ", int(d.Type()), " inside the configuration",
                            " at offset ", d.offset);
                    break;
                case USB_INTERFACE_DESCRIPTOR_TYPE:
                    if (length != sizeof(USB_INTERFACE_DESCRIPTOR)) {
                        Problem("interface descriptor at offset ", d.offset, " has bLength ",
                                length);
                        break;
                    }
                    CheckEndpointCount(i);
                    break;
                case USB_ENDPOINT_DESCRIPTOR_TYPE:
                    if (length != sizeof(USB_ENDPOINT_DESCRIPTOR) &&
                        length != sizeof(USB_AUDIO_ENDPOINT_DESCRIPTOR))
                        Problem("endpoint descriptor at offset ", d.offset, " has bLength ",
                                length);
                    if (d.interfaceNumber < 0)
                        Problem("endpoint descriptor at offset ", d.offset,
                                " comes before any interface");
                    break;
                case USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE:
                    if (length != sizeof(USB_INTERFACE_ASSOCIATION_DESCRIPTOR))
                        Problem("interface association at offset ", d.offset, " has bLength ",
                                length);
                    break;
                default:
                    break;
            }
        }
    }

    void CheckEndpointCount(std::size_t i) {
        const WalkedDescriptor& d = All()[i];
        const auto following = FollowingInInterface(i);
        const auto endpoints = std::count_if(following.begin(), following.end(), [](auto& e) {
            return e.Type() == USB_ENDPOINT_DESCRIPTOR_TYPE;
        });
        if (endpoints != d.Byte(4))
            Problem("interface ", d.interfaceNumber, " alt ", d.alternateSetting,
                    ": bNumEndpoints ", int(d.Byte(4)), " but ", endpoints,
                    " endpoint descriptors follow");
    }

    // Interfaces counted by number; each number's alternate settings run 0, 1, 2, ...
    void CheckInterfaceNumbering() {
        std::map<int, int> lastAlternate;
        for (const WalkedDescriptor& d : All()) {
            if (d.Type() != USB_INTERFACE_DESCRIPTOR_TYPE || d.bytes.size() < 4) continue;
            const auto seen = lastAlternate.find(d.interfaceNumber);
            const int expected = seen == lastAlternate.end() ? 0 : seen->second + 1;
            if (d.alternateSetting != expected)
                Problem("interface ", d.interfaceNumber, ": alternate setting ", d.alternateSetting,
                        " where ", expected, " was due");
            lastAlternate[d.interfaceNumber] = d.alternateSetting;
        }
        if (lastAlternate.size() != config_[4])
            Problem("bNumInterfaces ", int(config_[4]), " but ", lastAlternate.size(),
                    " interfaces are described");
    }

    void CheckAssociations() {
        std::set<int> interfaces;
        for (const WalkedDescriptor& d : All())
            if (d.Type() == USB_INTERFACE_DESCRIPTOR_TYPE) interfaces.insert(d.interfaceNumber);
        for (std::size_t i = 0; i < All().size(); ++i) {
            const WalkedDescriptor& d = All()[i];
            if (d.Type() != USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE) continue;
            const int first = d.Byte(2);
            const int count = d.Byte(3);
            const bool nextIsFirst =
                i + 1 < All().size() && All()[i + 1].Type() == USB_INTERFACE_DESCRIPTOR_TYPE &&
                All()[i + 1].interfaceNumber == first && All()[i + 1].alternateSetting == 0;
            if (!nextIsFirst)
                Problem("interface association at offset ", d.offset,
                        " is not followed by its first interface ", first);
            if (count == 0)
                Problem("interface association at offset ", d.offset, " covers no interface");
            for (int n = first; n < first + count; ++n)
                if (!interfaces.contains(n))
                    Problem("interface association names interface ", n,
                            ", which is not described");
        }
    }

    void CheckAudioControl() {
        for (std::size_t i = 0; i < All().size(); ++i) {
            const WalkedDescriptor& d = All()[i];
            if (d.Type() == USB_INTERFACE_DESCRIPTOR_TYPE && d.alternateSetting == 0 &&
                d.Byte(5) == USB_DEVICE_CLASS_AUDIO && d.Byte(6) == AUDIOCONTROL)
                CheckControlBlock(i + 1);
        }
    }

    // The class-specific block starting at index `h`, which must be the header.
    void CheckControlBlock(std::size_t h) {
        if (h >= All().size() || All()[h].Type() != CS_INTERFACE || All()[h].Subtype() != HEADER ||
            All()[h].bytes.size() != sizeof(AC_HEADER_DESCRIPTOR)) {
            Problem("AudioControl interface without a header after it");
            return;
        }
        const WalkedDescriptor& header = All()[h];
        std::size_t end = h + 1;
        std::size_t blockBytes = header.bytes.size();
        while (end < All().size() && All()[end].Type() == CS_INTERFACE)
            blockBytes += All()[end++].bytes.size();
        if (header.Word(6) != blockBytes)
            Problem("AudioControl header wTotalLength ", header.Word(6),
                    " but the class-specific block has ", blockBytes, " bytes");

        std::map<UCHAR, const WalkedDescriptor*> entities;
        for (std::size_t i = h + 1; i < end; ++i) {
            const WalkedDescriptor& e = All()[i];
            if (!EntityLengthFits(e))
                Problem("entity at offset ", e.offset, " (subtype ", int(e.Subtype()),
                        ") has bLength ", e.bytes.size());
            const UCHAR id = e.Byte(3);
            if (id == 0)
                Problem("entity at offset ", e.offset, " has ID 0");
            else if (!entities.emplace(id, &e).second)
                Problem("entity ID ", int(id), " is used twice");
        }
        for (const auto& [id, e] : entities) CheckReferences(*e, entities);
        for (const auto& [id, e] : entities) {
            const bool terminal = e->Subtype() == INPUT_TERMINAL || e->Subtype() == OUTPUT_TERMINAL;
            if (terminal && e->Word(4) == USB_STREAMING) streamingTerminals_.insert(id);
        }
    }

    static bool EntityLengthFits(const WalkedDescriptor& e) {
        const std::size_t length = e.bytes.size();
        switch (e.Subtype()) {
            case INPUT_TERMINAL:
                return length == sizeof(INPUT_TERMINAL_DESCRIPTOR);
            case OUTPUT_TERMINAL:
                return length == sizeof(OUTPUT_TERMINAL_DESCRIPTOR);
            case CLOCK_SOURCE:
                return length == sizeof(CLOCK_SOURCE_DESCRIPTOR);
            case SELECTOR_UNIT:
                return length >= 7 && length == 7u + e.Byte(4);
            case FEATURE_UNIT:
                // A master channel at least, 4 bytes of controls per channel.
                return length >= 6 + FEATURE_UNIT_CONTROLS_BYTES_PER_CHANNEL &&
                       (length - 6) % FEATURE_UNIT_CONTROLS_BYTES_PER_CHANNEL == 0;
            default:
                return length >= 4;
        }
    }

    void CheckReferences(const WalkedDescriptor& e,
                         const std::map<UCHAR, const WalkedDescriptor*>& entities) {
        auto source = [&](UCHAR id) {
            const auto found = entities.find(id);
            if (found == entities.end())
                Problem("entity ", int(e.Byte(3)), ": source ", int(id), " does not exist");
            else if (IsClockEntity(found->second->Subtype()))
                Problem("entity ", int(e.Byte(3)), ": source ", int(id), " is a clock");
        };
        auto clock = [&](UCHAR id) {
            const auto found = entities.find(id);
            if (found == entities.end() || !IsClockEntity(found->second->Subtype()))
                Problem("entity ", int(e.Byte(3)), ": clock ", int(id), " is not a clock entity");
        };
        switch (e.Subtype()) {
            case INPUT_TERMINAL:
                clock(e.Byte(offsetof(INPUT_TERMINAL_DESCRIPTOR, bCSourceID)));
                break;
            case OUTPUT_TERMINAL:
                source(e.Byte(offsetof(OUTPUT_TERMINAL_DESCRIPTOR, bSourceID)));
                clock(e.Byte(offsetof(OUTPUT_TERMINAL_DESCRIPTOR, bCSourceID)));
                break;
            case FEATURE_UNIT:
                source(e.Byte(offsetof(FEATURE_UNIT_DESCRIPTOR_HEAD, bSourceID)));
                break;
            case SELECTOR_UNIT:
                for (std::size_t pin = 0; pin < e.Byte(4) && 5 + pin < e.bytes.size(); ++pin)
                    source(e.Byte(5 + pin));
                break;
            default:
                break;
        }
    }

    void CheckStreaming() {
        for (std::size_t i = 0; i < All().size(); ++i) {
            const WalkedDescriptor& d = All()[i];
            if (d.Type() == USB_INTERFACE_DESCRIPTOR_TYPE && d.Byte(5) == USB_DEVICE_CLASS_AUDIO &&
                d.Byte(6) == AUDIOSTREAMING)
                CheckStreamingSetting(d, FollowingInInterface(i));
        }
    }

    void CheckStreamingSetting(const WalkedDescriptor& d,
                               std::span<const WalkedDescriptor> following) {
        const bool hasEndpoints = d.Byte(4) != 0;
        if (d.alternateSetting == 0 && hasEndpoints)
            Problem("streaming interface ", d.interfaceNumber,
                    ": alternate setting 0 has endpoints");
        for (std::size_t k = 0; k < following.size(); ++k) {
            if (following[k].Type() == CS_ENDPOINT &&
                (k == 0 || following[k - 1].Type() != USB_ENDPOINT_DESCRIPTOR_TYPE))
                Problem("class-specific endpoint descriptor at offset ", following[k].offset,
                        " does not follow an endpoint");
        }
        const bool classSpecific = std::any_of(following.begin(), following.end(),
                                               [](auto& e) { return e.Type() == CS_INTERFACE; });
        if (!classSpecific && !hasEndpoints) return;
        const auto where = [&] {
            return "streaming interface " + std::to_string(d.interfaceNumber) + " alt " +
                   std::to_string(d.alternateSetting);
        };
        if (following.empty() || following[0].Type() != CS_INTERFACE ||
            following[0].Subtype() != AS_GENERAL ||
            following[0].bytes.size() != sizeof(AS_GENERAL_DESCRIPTOR)) {
            Problem(where(), ": no AS_GENERAL descriptor after the interface");
            return;
        }
        const UCHAR link = following[0].Byte(offsetof(AS_GENERAL_DESCRIPTOR, bTerminalLink));
        if (!streamingTerminals_.contains(link))
            Problem(where(), ": bTerminalLink ", int(link), " names no USB streaming terminal");
        if (following.size() < 2 || following[1].Type() != CS_INTERFACE ||
            following[1].Subtype() != FORMAT_TYPE) {
            Problem(where(), ": no format type descriptor after AS_GENERAL");
            return;
        }
        const WalkedDescriptor& format = following[1];
        if (format.Byte(3) == FORMAT_TYPE_I) {
            const UCHAR subslot = format.Byte(4);
            const UCHAR bits = format.Byte(5);
            if (format.bytes.size() != sizeof(FORMAT_TYPE_I_DESCRIPTOR) || subslot < 1 ||
                subslot > 4 || bits > 8 * subslot)
                Problem(where(), ": format type I with bLength ", format.bytes.size(),
                        ", bSubslotSize ", int(subslot), ", bBitResolution ", int(bits));
        }
    }

    std::span<const std::uint8_t> config_;
    ConfigurationWalk walk_;
    std::set<UCHAR> streamingTerminals_;
};

}  // namespace

ConfigurationWalk WalkConfiguration(std::span<const std::uint8_t> configuration) {
    return Walker(configuration).Run();
}

}  // namespace sim::testing
