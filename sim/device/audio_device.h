// The simulated device as the host controller sees it: one USB audio device on the far
// end of the wire, answering control transfers on endpoint 0 and exchanging
// isochronous packets frame by frame.
//
// It is made from a bus speed, its crystal's error in ppm and its descriptors (the
// default device's, or a variant a test builds). From the descriptors it learns its
// interfaces, alternate settings, endpoints, sample formats and AudioControl entities,
// so a variant changes its behaviour with it. Its firmware:
//   - answers the standard requests (descriptors, configuration, interfaces, status,
//     endpoint halt) through one dispatch whose default is a stall;
//   - answers the audio class requests of its entities (AudioControls) and the
//     sampling-frequency control of its data endpoints, which is where it takes its
//     streaming rate from;
//   - runs a DAC behind the playback data endpoint with explicit feedback (or, in the
//     rate-endpoint variant, takes the host's rate packets), and an ADC behind the
//     capture data endpoint, both on one clock: the rate * (1 + ppm / 1e6);
//   - obeys the faults a test arms in Faults().
//
// Single-threaded and deterministic: time is only what the caller passes as `now`, and
// the converters catch up to it at each call.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/usb/bus_device.h"
#include "sim/device/audio_controls.h"
#include "sim/device/capture_adc.h"
#include "sim/device/configuration_index.h"
#include "sim/device/default_device.h"
#include "sim/device/descriptor_builder.h"
#include "sim/device/fault_plan.h"
#include "sim/device/playback_dac.h"
#include "sim/device/signal_source.h"

namespace sim {

struct AudioDeviceOptions {
    platform::UsbSpeed speed = platform::UsbSpeed::kHigh;
    std::int32_t driftPpm = 0;  // the device clock against the bus's
    USHORT productId = default_device::kProductId;
    default_device::PlaybackSync sync = default_device::PlaybackSync::kFeedbackIn;
    // Replaces the default device's descriptors (productId and sync then do nothing).
    std::optional<DeviceDescriptors> descriptors;
    // The rates the clock offers; the default device's list for the speed when empty.
    std::vector<ULONG> ratesHz;
    SignalSpec captureSignal;
    // How many played frames are kept as bytes (for a WAV file or a byte comparison);
    // the digest covers all of them. 0 for long runs.
    std::size_t keptPlayedFrames = std::size_t{1} << 20;
};

class AudioDevice : public platform::UsbBusDevice {
  public:
    AudioDevice(platform::UsbSpeed speed, std::int32_t driftPpm,
                USHORT productId = default_device::kProductId);
    explicit AudioDevice(AudioDeviceOptions options);
    AudioDevice(const AudioDevice&) = delete;
    AudioDevice& operator=(const AudioDevice&) = delete;

    // platform::UsbBusDevice
    platform::UsbSpeed Speed() const override { return speed_; }
    bool IsConnected(platform::VirtualTime now) const override { return faults_.Connected(now); }
    platform::ControlReply Control(const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                                   std::span<const std::uint8_t> outData,
                                   platform::VirtualTime now) override;
    platform::IsoOutcome IsoOut(std::uint8_t endpointAddress, std::span<const std::uint8_t> packet,
                                platform::VirtualTime now) override;
    platform::IsoInResult IsoIn(std::uint8_t endpointAddress, std::span<std::uint8_t> buffer,
                                platform::VirtualTime now) override;

    // Fault injection.
    FaultPlan& Faults() { return faults_; }
    void Disconnect(platform::VirtualTime now) { faults_.DisconnectAt(now); }

    // State, for tests.
    UCHAR Address() const { return address_; }
    UCHAR Configuration() const { return configuration_; }
    // The alternate setting of `interfaceNumber` (0 also when unconfigured).
    UCHAR AlternateSetting(UCHAR interfaceNumber) const;
    ULONG SampleRateHz() const { return controls_.SampleRateHz(); }
    const AudioControls& Controls() const { return controls_; }
    const PlaybackDac& Dac() const { return dac_; }
    const CaptureAdc& Adc() const { return adc_; }
    // Catches the DAC up to `now` (what it would have played by then).
    void AdvanceTo(platform::VirtualTime now) { dac_.Advance(now); }
    // The latest rate received on an OUT synchronisation endpoint, Q16.16 frames per
    // packet interval, and how many such packets came.
    std::uint32_t HostRateQ16() const { return hostRateQ16_; }
    std::uint64_t HostRatePackets() const { return hostRatePackets_; }
    // Packets sent to or asked from an endpoint no selected alternate setting has.
    std::uint64_t PacketsToInactiveEndpoints() const { return inactivePackets_; }

    // The kept played frames as a WAV file; false when nothing was played or the file
    // cannot be written.
    [[nodiscard]] bool WritePlayedWav(const std::string& path) const;

  private:
    // Builds from options whose defaults are already filled in.
    AudioDevice(AudioDeviceOptions options, int);

    // What an endpoint of a selected alternate setting does.
    enum class Role { kNone, kPlaybackData, kFeedback, kHostRate, kCaptureData };
    struct ActiveEndpoint {
        Role role = Role::kNone;
        const EndpointFacts* facts = nullptr;
    };

    platform::ControlReply Standard(const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                                    std::span<const std::uint8_t> outData,
                                    platform::VirtualTime now);
    platform::ControlReply GetDescriptor(const USB_DEFAULT_PIPE_SETUP_PACKET& setup) const;
    platform::ControlReply Endpoint(const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                                    std::span<const std::uint8_t> outData,
                                    platform::VirtualTime now);
    void SelectAlternate(UCHAR interfaceNumber, UCHAR alternateSetting, platform::VirtualTime now);
    void StartStreams(const AlternateFacts& alternate, platform::VirtualTime now);
    void RestartStreamsAtNewRate(platform::VirtualTime now);
    void Deconfigure();
    ActiveEndpoint FindActive(UCHAR endpointAddress) const;

    platform::UsbSpeed speed_;
    std::int32_t driftPpm_;
    DeviceDescriptors descriptors_;
    ConfigurationIndex index_;
    AudioControls controls_;
    SignalSpec captureSignal_;
    FaultPlan faults_;

    UCHAR address_ = 0;
    UCHAR configuration_ = 0;
    std::map<UCHAR, UCHAR> alternates_;       // interface -> selected alternate setting
    std::optional<UCHAR> playbackInterface_;  // the interface the DAC streams on
    std::optional<UCHAR> captureInterface_;
    PlaybackDac dac_;
    CaptureAdc adc_;
    std::uint32_t hostRateQ16_ = 0;
    std::uint64_t hostRatePackets_ = 0;
    std::uint64_t inactivePackets_ = 0;
};

}  // namespace sim
