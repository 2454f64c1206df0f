#include "sim/device/fault_plan.h"

namespace sim {

bool RequestMatch::Matches(const USB_DEFAULT_PIPE_SETUP_PACKET& setup) const {
    return (!bmRequestType || *bmRequestType == setup.bmRequestType) &&
           (!bRequest || *bRequest == setup.bRequest) && (!wValue || *wValue == setup.wValue) &&
           (!wIndex || *wIndex == setup.wIndex);
}

RequestFault FaultPlan::ForRequest(const USB_DEFAULT_PIPE_SETUP_PACKET& setup) const {
    for (const Rule& rule : rules_)
        if (rule.match.Matches(setup)) return rule.fault;
    return RequestFault::kNone;
}

void FaultPlan::DamagePackets(std::uint32_t partsPerMillion, std::uint64_t seed,
                              std::optional<UCHAR> endpointAddress) {
    damagePpm_ = partsPerMillion;
    damageEndpoint_ = endpointAddress;
    randomState_ = seed;
}

bool FaultPlan::DamageNext(UCHAR endpointAddress) {
    if (damagePpm_ == 0 || (damageEndpoint_ && *damageEndpoint_ != endpointAddress)) return false;
    // splitmix64: one step per packet.
    randomState_ += 0x9E3779B97F4A7C15ull;
    std::uint64_t z = randomState_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    const bool damaged = z % 1'000'000 < damagePpm_;
    if (damaged) ++packetsDamaged_;
    return damaged;
}

}  // namespace sim
