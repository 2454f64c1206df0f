// The AudioControl interface's firmware: the controls of the feature units, selector
// units and clock sources the configuration declares, answering the class requests
// addressed to them (bmRequestType 0x21 / 0xA1, wIndex = entity ID * 256 + interface).
//
// Both request generations are answered, since hosts mix them: CUR and RANGE (0x01,
// 0x02) and the older GET_CUR, GET_MIN, GET_MAX, GET_RES (0x81..0x84) and SET_CUR (0x01).
// A control the descriptors do not declare stalls, as does writing one declared
// read-only, a value out of its range (selector input, sampling frequency) and every
// request this firmware does not know. Values are kept per channel, so what a SET
// writes a GET reads back.
//
// Feature-unit controls, wire width and range (1/256 dB for volume and gains, 1/4 dB for
// the tone controls, 1/64 ms for delay):
//   mute, AGC, bass boost, loudness, phase inverter       1 byte, 0 or 1
//   volume          2 bytes   -127 dB .. 0 dB, step 0.5 dB; 0x8000 (silence) accepted
//   bass, mid, treble 1 byte  -12 dB .. +12 dB, step 0.25 dB
//   delay           4 bytes   0 .. 100 ms, step 1/64 ms
//   input gain      2 bytes   0 dB .. +40 dB, step 1 dB
//   input gain pad  2 bytes   -20 dB .. 0 dB, step 1 dB
// The graphic equaliser, the read-only status controls (underflow, overflow, latency)
// and SET_MIN/MAX/RES are not offered and stall: a device that fixes its ranges refuses
// to have them written.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <tuple>
#include <vector>

#include "platform/usb/bus_device.h"
#include "sim/device/configuration_index.h"

namespace sim {

class AudioControls {
  public:
    // `ratesHz` are what the clock sources offer; the first is the rate at power-up.
    AudioControls(const ConfigurationIndex& index, std::vector<ULONG> ratesHz);

    // A class request addressed to the AudioControl interface.
    platform::ControlReply Handle(const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                                  std::span<const std::uint8_t> outData);

    // The one sampling frequency every stream and clock of the device runs at.
    ULONG SampleRateHz() const { return sampleRateHz_; }
    bool SupportsRate(ULONG rateHz) const;
    void SetSampleRateHz(ULONG rateHz) { sampleRateHz_ = rateHz; }
    const std::vector<ULONG>& RatesHz() const { return ratesHz_; }

    // The current value of a feature-unit control, as a signed number in wire units.
    std::int32_t FeatureValue(UCHAR unitId, UCHAR selector, UCHAR channel) const;
    UCHAR SelectorInput(UCHAR unitId) const;

  private:
    struct Value {
        std::int32_t current = 0;
        std::int32_t minimum = 0;
        std::int32_t maximum = 0;
        std::int32_t resolution = 0;
    };

    platform::ControlReply FeatureUnit(const FeatureUnitFacts& unit,
                                       const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                                       std::span<const std::uint8_t> outData);
    platform::ControlReply SelectorUnit(const SelectorUnitFacts& unit,
                                        const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                                        std::span<const std::uint8_t> outData);
    platform::ControlReply ClockSource(const ClockSourceFacts& unit,
                                       const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                                       std::span<const std::uint8_t> outData);

    UCHAR interfaceNumber_ = 0;
    bool hasControlInterface_ = false;
    std::vector<FeatureUnitFacts> featureUnits_;
    std::vector<SelectorUnitFacts> selectorUnits_;
    std::vector<ClockSourceFacts> clockSources_;
    std::vector<ULONG> ratesHz_;
    ULONG sampleRateHz_ = 0;
    std::map<std::tuple<UCHAR, UCHAR, UCHAR>, Value> features_;  // (unit, selector, channel)
    std::map<UCHAR, UCHAR> selectorInputs_;                      // unit -> input pin, from 1
};

}  // namespace sim
