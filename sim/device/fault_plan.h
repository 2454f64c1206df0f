// Faults a test arms on the simulated device: control requests that stall or are never
// answered, an unplug now or at a set time, and isochronous packets damaged on the wire.
// Everything is deterministic: damage follows a seeded generator, one draw per packet,
// so the same seed damages the same packets of the same run.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/sched/virtual_time.h"
#include "platform/usb/usb_descriptors.h"

namespace sim {

// Which control requests a fault hits: every field left empty matches anything.
struct RequestMatch {
    std::optional<UCHAR> bmRequestType;
    std::optional<UCHAR> bRequest;
    std::optional<USHORT> wValue;
    std::optional<USHORT> wIndex;

    bool Matches(const USB_DEFAULT_PIPE_SETUP_PACKET& setup) const;
};

enum class RequestFault { kNone, kStall, kNoAnswer };

class FaultPlan {
  public:
    void StallRequest(const RequestMatch& match) {
        rules_.push_back({match, RequestFault::kStall});
    }
    void IgnoreRequest(const RequestMatch& match) {
        rules_.push_back({match, RequestFault::kNoAnswer});
    }
    void ClearRequestFaults() { rules_.clear(); }
    // The fault of the first rule that matches.
    RequestFault ForRequest(const USB_DEFAULT_PIPE_SETUP_PACKET& setup) const;

    // The device is unplugged from `time` on (kNever: plugged in).
    void DisconnectAt(platform::VirtualTime time) { disconnectAt_ = time; }
    bool Connected(platform::VirtualTime now) const { return now < disconnectAt_; }

    // Damages `partsPerMillion` of the isochronous packets on `endpointAddress` (all
    // isochronous endpoints when none), drawn from `seed`.
    void DamagePackets(std::uint32_t partsPerMillion, std::uint64_t seed,
                       std::optional<UCHAR> endpointAddress = std::nullopt);
    // Draws for one packet on `endpointAddress`: whether it is damaged.
    bool DamageNext(UCHAR endpointAddress);
    std::uint64_t PacketsDamaged() const { return packetsDamaged_; }

  private:
    struct Rule {
        RequestMatch match;
        RequestFault fault;
    };
    std::vector<Rule> rules_;
    platform::VirtualTime disconnectAt_ = platform::kNever;
    std::uint32_t damagePpm_ = 0;
    std::optional<UCHAR> damageEndpoint_;
    std::uint64_t randomState_ = 0;
    std::uint64_t packetsDamaged_ = 0;
};

}  // namespace sim
