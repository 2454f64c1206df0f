#include "sim/device/audio_controls.h"

#include <algorithm>
#include <optional>

#include "platform/usb/usb_audio.h"

namespace sim {
namespace {

using namespace usb_audio;
using platform::ControlOutcome;
using platform::ControlReply;

constexpr UCHAR kDirectionIn = 0x80;
constexpr std::int32_t kVolumeSilence = -0x8000;  // 0x8000 on the wire

// How a feature-unit control travels and what it may hold.
struct ControlShape {
    unsigned bytes = 0;  // 0: not offered
    bool ranged = false;
    std::int32_t minimum = 0;
    std::int32_t maximum = 1;
    std::int32_t resolution = 1;
    std::int32_t initial = 0;
};

constexpr std::int32_t kDb256 = 256;  // 1/256 dB units per dB
constexpr std::int32_t kDb4 = 4;      // 1/4 dB units per dB

ControlShape ShapeOf(UCHAR selector) {
    switch (selector) {
        case FU_MUTE_CONTROL:
        case FU_AUTOMATIC_GAIN_CONTROL:
        case FU_BASS_BOOST_CONTROL:
        case FU_LOUDNESS_CONTROL:
        case FU_PHASE_INVERTER_CONTROL:
            return {.bytes = 1};
        case FU_VOLUME_CONTROL:
            return {2, true, -127 * kDb256, 0, kDb256 / 2, 0};
        case FU_BASS_CONTROL:
        case FU_MID_CONTROL:
        case FU_TREBLE_CONTROL:
            return {1, true, -12 * kDb4, 12 * kDb4, 1, 0};
        case FU_DELAY_CONTROL:
            return {4, true, 0, 100 * 64, 1, 0};
        case FU_INPUT_GAIN_CONTROL:
            return {2, true, 0, 40 * kDb256, kDb256, 0};
        case FU_INPUT_GAIN_PAD_CONTROL:
            return {2, true, -20 * kDb256, 0, kDb256, 0};
        default:
            return {};
    }
}

// Two bits per control: 0b01 readable, 0b11 also writable.
UCHAR Access(ULONG bmControls, UCHAR selector) {
    return static_cast<UCHAR>((bmControls >> (2 * (selector - 1))) & 0x3);
}

ControlReply Stall() {
    return {ControlOutcome::kStall, {}};
}

// The reply to a read: `value` in `bytes` little-endian bytes, cut to wLength.
void AppendLittleEndian(std::vector<std::uint8_t>& out, std::int64_t value, unsigned bytes) {
    for (unsigned i = 0; i < bytes; ++i)
        out.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> (8 * i)));
}

ControlReply Read(std::vector<std::uint8_t> data, USHORT wLength) {
    if (data.size() > wLength) data.resize(wLength);
    return {ControlOutcome::kAck, std::move(data)};
}

ControlReply ReadValue(std::int64_t value, unsigned bytes, USHORT wLength) {
    std::vector<std::uint8_t> data;
    AppendLittleEndian(data, value, bytes);
    return Read(std::move(data), wLength);
}

// A written value of `bytes` little-endian bytes, sign-extended when `isSigned`; none
// when the data stage is too short.
std::optional<std::int32_t> Written(std::span<const std::uint8_t> data, unsigned bytes,
                                    bool isSigned) {
    if (data.size() < bytes) return std::nullopt;
    std::uint32_t raw = 0;
    for (unsigned i = 0; i < bytes; ++i) raw |= static_cast<std::uint32_t>(data[i]) << (8 * i);
    if (isSigned && bytes < 4 && (raw & (1u << (8 * bytes - 1))) != 0) raw |= ~0u << (8 * bytes);
    return static_cast<std::int32_t>(raw);
}

bool IsRead(const USB_DEFAULT_PIPE_SETUP_PACKET& setup) {
    return (setup.bmRequestType & kDirectionIn) != 0;
}

// CUR in either generation: read as 0x01 or 0x81, written as 0x01.
bool IsCurrent(const USB_DEFAULT_PIPE_SETUP_PACKET& setup) {
    return IsRead(setup) ? (setup.bRequest == CUR || setup.bRequest == GET_CUR)
                         : setup.bRequest == SET_CUR;
}

}  // namespace

AudioControls::AudioControls(const ConfigurationIndex& index, std::vector<ULONG> ratesHz)
    : interfaceNumber_(index.controlInterface.value_or(0)),
      hasControlInterface_(index.controlInterface.has_value()),
      featureUnits_(index.featureUnits),
      selectorUnits_(index.selectorUnits),
      clockSources_(index.clockSources),
      ratesHz_(std::move(ratesHz)),
      sampleRateHz_(ratesHz_.empty() ? 0 : ratesHz_.front()) {
    for (const FeatureUnitFacts& unit : featureUnits_) {
        for (std::size_t channel = 0; channel < unit.bmaControls.size(); ++channel) {
            for (UCHAR selector = 1; selector <= 16; ++selector) {
                const ControlShape shape = ShapeOf(selector);
                if (shape.bytes == 0 || Access(unit.bmaControls[channel], selector) == 0) continue;
                features_[{unit.id, selector, static_cast<UCHAR>(channel)}] = {
                    shape.initial, shape.minimum, shape.maximum, shape.resolution};
            }
        }
    }
    for (const SelectorUnitFacts& unit : selectorUnits_) selectorInputs_[unit.id] = 1;
}

bool AudioControls::SupportsRate(ULONG rateHz) const {
    return std::find(ratesHz_.begin(), ratesHz_.end(), rateHz) != ratesHz_.end();
}

std::int32_t AudioControls::FeatureValue(UCHAR unitId, UCHAR selector, UCHAR channel) const {
    const auto found = features_.find({unitId, selector, channel});
    return found == features_.end() ? 0 : found->second.current;
}

UCHAR AudioControls::SelectorInput(UCHAR unitId) const {
    const auto found = selectorInputs_.find(unitId);
    return found == selectorInputs_.end() ? 0 : found->second;
}

ControlReply AudioControls::Handle(const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                                   std::span<const std::uint8_t> outData) {
    const auto interfaceNumber = static_cast<UCHAR>(setup.wIndex & 0xFF);
    const auto entityId = static_cast<UCHAR>(setup.wIndex >> 8);
    if (!hasControlInterface_ || interfaceNumber != interfaceNumber_ || entityId == 0)
        return Stall();
    for (const FeatureUnitFacts& unit : featureUnits_)
        if (unit.id == entityId) return FeatureUnit(unit, setup, outData);
    for (const SelectorUnitFacts& unit : selectorUnits_)
        if (unit.id == entityId) return SelectorUnit(unit, setup, outData);
    for (const ClockSourceFacts& unit : clockSources_)
        if (unit.id == entityId) return ClockSource(unit, setup, outData);
    return Stall();
}

ControlReply AudioControls::FeatureUnit(const FeatureUnitFacts& unit,
                                        const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                                        std::span<const std::uint8_t> outData) {
    const auto selector = static_cast<UCHAR>(setup.wValue >> 8);
    const auto channel = static_cast<UCHAR>(setup.wValue & 0xFF);
    const auto found = features_.find({unit.id, selector, channel});
    if (found == features_.end()) return Stall();  // not declared for this channel, or not offered
    Value& value = found->second;
    const ControlShape shape = ShapeOf(selector);
    if (!IsRead(setup)) {
        if (!IsCurrent(setup) ||
            Access(unit.bmaControls[channel], selector) != CONTROL_PROGRAMMABLE)
            return Stall();
        const std::optional<std::int32_t> written = Written(outData, shape.bytes, shape.ranged);
        if (!written) return Stall();
        if (!shape.ranged)
            value.current = *written != 0 ? 1 : 0;
        else if (selector == FU_VOLUME_CONTROL && *written == kVolumeSilence)
            value.current = kVolumeSilence;
        else
            value.current = std::clamp(*written, value.minimum, value.maximum);
        return {ControlOutcome::kAck, {}};
    }
    if (IsCurrent(setup)) return ReadValue(value.current, shape.bytes, setup.wLength);
    if (!shape.ranged) return Stall();
    switch (setup.bRequest) {
        case GET_MIN:
            return ReadValue(value.minimum, shape.bytes, setup.wLength);
        case GET_MAX:
            return ReadValue(value.maximum, shape.bytes, setup.wLength);
        case GET_RES:
            return ReadValue(value.resolution, shape.bytes, setup.wLength);
        case RANGE: {
            // One subrange: wNumSubRanges, then MIN, MAX, RES at the control's width.
            std::vector<std::uint8_t> data;
            AppendLittleEndian(data, 1, 2);
            AppendLittleEndian(data, value.minimum, shape.bytes);
            AppendLittleEndian(data, value.maximum, shape.bytes);
            AppendLittleEndian(data, value.resolution, shape.bytes);
            return Read(std::move(data), setup.wLength);
        }
        default:
            return Stall();
    }
}

ControlReply AudioControls::SelectorUnit(const SelectorUnitFacts& unit,
                                         const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                                         std::span<const std::uint8_t> outData) {
    // The selector control is 0x0100; hosts of the older generation address the unit
    // with wValue 0, which names the same (only) control.
    const bool selectorControl =
        setup.wValue == 0 || setup.wValue == (USHORT{SU_SELECTOR_CONTROL} << 8);
    const UCHAR access = Access(unit.bmControls, SU_SELECTOR_CONTROL);
    if (!selectorControl || access == 0 || !IsCurrent(setup)) return Stall();
    if (IsRead(setup)) return ReadValue(selectorInputs_[unit.id], 1, setup.wLength);
    if (access != CONTROL_PROGRAMMABLE || outData.empty() || outData[0] < 1 ||
        outData[0] > unit.inputPins)
        return Stall();
    selectorInputs_[unit.id] = outData[0];
    return {ControlOutcome::kAck, {}};
}

ControlReply AudioControls::ClockSource(const ClockSourceFacts& unit,
                                        const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                                        std::span<const std::uint8_t> outData) {
    const auto selector = static_cast<UCHAR>(setup.wValue >> 8);
    const auto channel = static_cast<UCHAR>(setup.wValue & 0xFF);
    if (channel != 0 || selector == 0 || selector > CS_CLOCK_VALID_CONTROL) return Stall();
    const UCHAR access = Access(unit.bmControls, selector);
    if (access == 0) return Stall();
    if (selector == CS_CLOCK_VALID_CONTROL) {
        // The internal clock is always valid.
        if (!IsRead(setup) || !IsCurrent(setup)) return Stall();
        return ReadValue(1, 1, setup.wLength);
    }
    if (IsRead(setup) && IsCurrent(setup)) return ReadValue(sampleRateHz_, 4, setup.wLength);
    if (IsRead(setup) && setup.bRequest == RANGE) {
        // Every rate a discrete subrange: (rate, rate, 0).
        std::vector<std::uint8_t> data;
        AppendLittleEndian(data, static_cast<std::int64_t>(ratesHz_.size()), 2);
        for (ULONG rate : ratesHz_) {
            AppendLittleEndian(data, rate, 4);
            AppendLittleEndian(data, rate, 4);
            AppendLittleEndian(data, 0, 4);
        }
        return Read(std::move(data), setup.wLength);
    }
    if (IsRead(setup) || !IsCurrent(setup) || access != CONTROL_PROGRAMMABLE) return Stall();
    const std::optional<std::int32_t> rate = Written(outData, 4, false);
    if (!rate || !SupportsRate(static_cast<ULONG>(*rate))) return Stall();
    sampleRateHz_ = static_cast<ULONG>(*rate);
    return {ControlOutcome::kAck, {}};
}

}  // namespace sim
