#include "sim/device/audio_device.h"

#include <algorithm>

#include "platform/usb/usb_audio.h"
#include "sim/device/feedback_format.h"
#include "sim/device/wav_writer.h"

namespace sim {
namespace {

using platform::ControlOutcome;
using platform::ControlReply;
using platform::IsoInResult;
using platform::IsoOutcome;

constexpr UCHAR kDirectionIn = 0x80;
constexpr USHORT kEndpointHalt = 0;  // feature selector ENDPOINT_HALT
constexpr UCHAR kMaxAddress = 127;
constexpr UCHAR kSelfPowered = 0x40;           // configuration bmAttributes bit
constexpr std::size_t kEndpointRateBytes = 3;  // endpoint sampling frequency, Hz

ControlReply Stall() {
    return {ControlOutcome::kStall, {}};
}
ControlReply Ack(std::vector<std::uint8_t> data = {}) {
    return {ControlOutcome::kAck, std::move(data)};
}
ControlReply Reply(std::vector<std::uint8_t> data, USHORT wLength) {
    if (data.size() > wLength) data.resize(wLength);
    return Ack(std::move(data));
}

UCHAR RequestType(UCHAR bmRequestType) {
    return (bmRequestType >> 5) & 0x3;
}
UCHAR Recipient(UCHAR bmRequestType) {
    return bmRequestType & 0x1F;
}

bool IsIsochronous(const EndpointFacts& endpoint) {
    return (endpoint.attributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_ISOCHRONOUS;
}
bool IsFeedbackUsage(const EndpointFacts& endpoint) {
    return (endpoint.attributes & USB_ENDPOINT_TYPE_ISOCHRONOUS_USAGE_MASK) ==
           USB_ENDPOINT_TYPE_ISOCHRONOUS_USAGE_FEEDBACK_ENDPOINT;
}
bool IsDataEndpoint(const EndpointFacts& endpoint) {
    return IsIsochronous(endpoint) && !IsFeedbackUsage(endpoint);
}

std::uint32_t PacketsPerSecond(platform::UsbSpeed speed) {
    return speed == platform::UsbSpeed::kHigh ? 8000 : 1000;
}

AudioDeviceOptions WithDefaults(AudioDeviceOptions options) {
    if (!options.descriptors)
        options.descriptors =
            default_device::Descriptors(options.speed, options.productId, options.sync);
    if (options.ratesHz.empty()) {
        const std::span<const ULONG> rates = default_device::SampleRatesHz(options.speed);
        options.ratesHz.assign(rates.begin(), rates.end());
    }
    return options;
}

}  // namespace

AudioDevice::AudioDevice(platform::UsbSpeed speed, std::int32_t driftPpm, USHORT productId)
    : AudioDevice(
          AudioDeviceOptions{.speed = speed, .driftPpm = driftPpm, .productId = productId}) {}

AudioDevice::AudioDevice(AudioDeviceOptions options)
    : AudioDevice(WithDefaults(std::move(options)), 0) {}

AudioDevice::AudioDevice(AudioDeviceOptions options, int)
    : speed_(options.speed),
      driftPpm_(options.driftPpm),
      descriptors_(std::move(*options.descriptors)),
      index_(IndexConfiguration(descriptors_.configuration)),
      controls_(index_, std::move(options.ratesHz)),
      captureSignal_(options.captureSignal),
      dac_(options.keptPlayedFrames) {}

UCHAR AudioDevice::AlternateSetting(UCHAR interfaceNumber) const {
    const auto found = alternates_.find(interfaceNumber);
    return found == alternates_.end() ? 0 : found->second;
}

ControlReply AudioDevice::Control(const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                                  std::span<const std::uint8_t> outData,
                                  platform::VirtualTime now) {
    if (!faults_.Connected(now)) return {ControlOutcome::kNoAnswer, {}};
    switch (faults_.ForRequest(setup)) {
        case RequestFault::kStall:
            return Stall();
        case RequestFault::kNoAnswer:
            return {ControlOutcome::kNoAnswer, {}};
        case RequestFault::kNone:
            break;
    }
    const UCHAR type = RequestType(setup.bmRequestType);
    const UCHAR recipient = Recipient(setup.bmRequestType);
    if (type == BMREQUEST_STANDARD) return Standard(setup, outData, now);
    if (type != BMREQUEST_CLASS || configuration_ == 0) return Stall();
    if (recipient == BMREQUEST_TO_INTERFACE) {
        const ULONG rateBefore = controls_.SampleRateHz();
        ControlReply reply = controls_.Handle(setup, outData);
        if (controls_.SampleRateHz() != rateBefore) RestartStreamsAtNewRate(now);
        return reply;
    }
    if (recipient == BMREQUEST_TO_ENDPOINT) return Endpoint(setup, outData, now);
    return Stall();
}

ControlReply AudioDevice::Standard(const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                                   std::span<const std::uint8_t> outData,
                                   platform::VirtualTime now) {
    const auto low = [](USHORT word) { return static_cast<UCHAR>(word & 0xFF); };
    switch ((setup.bmRequestType << 8) | setup.bRequest) {
        case (0x80 << 8) | USB_REQUEST_GET_DESCRIPTOR:
            return GetDescriptor(setup);
        case (0x00 << 8) | USB_REQUEST_SET_ADDRESS:
            if (setup.wValue > kMaxAddress) return Stall();
            address_ = low(setup.wValue);
            return Ack();
        case (0x00 << 8) | USB_REQUEST_SET_CONFIGURATION:
            if (setup.wValue == 0) {
                Deconfigure();
                return Ack();
            }
            if (setup.wValue != index_.configurationValue) return Stall();
            // Configuring again resets every interface to its first setting.
            Deconfigure();
            configuration_ = index_.configurationValue;
            for (const AlternateFacts& alternate : index_.alternates)
                alternates_.emplace(alternate.interfaceNumber, 0);
            return Ack();
        case (0x80 << 8) | USB_REQUEST_GET_CONFIGURATION:
            return Reply({configuration_}, setup.wLength);
        case (0x01 << 8) | USB_REQUEST_SET_INTERFACE:
            if (configuration_ == 0 || setup.wValue > 0xFF || setup.wIndex > 0xFF ||
                index_.Find(low(setup.wIndex), low(setup.wValue)) == nullptr)
                return Stall();
            SelectAlternate(low(setup.wIndex), low(setup.wValue), now);
            return Ack();
        case (0x81 << 8) | USB_REQUEST_GET_INTERFACE:
            if (configuration_ == 0 || setup.wIndex > 0xFF ||
                !index_.HasInterface(low(setup.wIndex)))
                return Stall();
            return Reply({AlternateSetting(low(setup.wIndex))}, setup.wLength);
        case (0x80 << 8) | USB_REQUEST_GET_STATUS: {
            const UCHAR selfPowered = (index_.attributes & kSelfPowered) != 0 ? 1 : 0;
            return Reply({selfPowered, 0}, setup.wLength);
        }
        case (0x81 << 8) | USB_REQUEST_GET_STATUS:
            if (configuration_ == 0 || !index_.HasInterface(low(setup.wIndex))) return Stall();
            return Reply({0, 0}, setup.wLength);
        case (0x82 << 8) | USB_REQUEST_GET_STATUS:
            // Isochronous endpoints never halt; endpoint 0 answers in any state.
            if ((setup.wIndex & 0x7F) != 0 &&
                (configuration_ == 0 || !index_.HasEndpoint(low(setup.wIndex))))
                return Stall();
            return Reply({0, 0}, setup.wLength);
        case (0x02 << 8) | USB_REQUEST_CLEAR_FEATURE:
            if (setup.wValue != kEndpointHalt ||
                ((setup.wIndex & 0x7F) != 0 &&
                 (configuration_ == 0 || !index_.HasEndpoint(low(setup.wIndex)))))
                return Stall();
            return Ack();
        default:
            return Stall();
    }
}

ControlReply AudioDevice::GetDescriptor(const USB_DEFAULT_PIPE_SETUP_PACKET& setup) const {
    const auto type = static_cast<UCHAR>(setup.wValue >> 8);
    const auto index = static_cast<UCHAR>(setup.wValue & 0xFF);
    switch (type) {
        case USB_DEVICE_DESCRIPTOR_TYPE:
            if (index != 0) return Stall();
            return Reply(descriptors_.device, setup.wLength);
        case USB_CONFIGURATION_DESCRIPTOR_TYPE:
            if (index != 0)  // one configuration
                return Stall();
            return Reply(descriptors_.configuration, setup.wLength);
        case USB_STRING_DESCRIPTOR_TYPE: {
            std::optional<std::vector<std::uint8_t>> string =
                descriptors_.strings.Descriptor(index, setup.wIndex);
            // A language the device does not list gets the string in its first one,
            // as simple firmware does that never looks at wIndex.
            const std::vector<USHORT>& languages = descriptors_.strings.Languages();
            if (!string && index != 0 && !languages.empty() &&
                std::find(languages.begin(), languages.end(), setup.wIndex) == languages.end())
                string = descriptors_.strings.Descriptor(index, languages.front());
            if (!string) return Stall();
            return Reply(std::move(*string), setup.wLength);
        }
        default:
            // Full-speed-only answers: no device qualifier, no other-speed configuration.
            return Stall();
    }
}

ControlReply AudioDevice::Endpoint(const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                                   std::span<const std::uint8_t> outData,
                                   platform::VirtualTime now) {
    // The sampling-frequency control of an isochronous data endpoint: 3 bytes, Hz.
    const auto address = static_cast<UCHAR>(setup.wIndex & 0xFF);
    bool dataEndpoint = false;
    for (const AlternateFacts& alternate : index_.alternates)
        if (const EndpointFacts* endpoint = index_.FindEndpoint(alternate, address))
            dataEndpoint = dataEndpoint || IsDataEndpoint(*endpoint);
    if (!dataEndpoint || setup.wIndex > 0xFF ||
        setup.wValue != (USHORT{usb_audio::EP_SAMPLING_FREQ_CONTROL} << 8))
        return Stall();
    if ((setup.bmRequestType & kDirectionIn) != 0) {
        if (setup.bRequest != usb_audio::GET_CUR && setup.bRequest != usb_audio::CUR)
            return Stall();
        const ULONG rate = controls_.SampleRateHz();
        return Reply({static_cast<std::uint8_t>(rate), static_cast<std::uint8_t>(rate >> 8),
                      static_cast<std::uint8_t>(rate >> 16)},
                     setup.wLength);
    }
    if (setup.bRequest != usb_audio::SET_CUR || outData.size() < kEndpointRateBytes) return Stall();
    const ULONG rate = outData[0] | (ULONG{outData[1]} << 8) | (ULONG{outData[2]} << 16);
    if (!controls_.SupportsRate(rate)) return Stall();
    if (rate != controls_.SampleRateHz()) {
        controls_.SetSampleRateHz(rate);
        RestartStreamsAtNewRate(now);
    }
    return Ack();
}

void AudioDevice::Deconfigure() {
    configuration_ = 0;
    alternates_.clear();
    dac_.Stop();
    adc_.Stop();
    playbackInterface_.reset();
    captureInterface_.reset();
}

void AudioDevice::SelectAlternate(UCHAR interfaceNumber, UCHAR alternateSetting,
                                  platform::VirtualTime now) {
    alternates_[interfaceNumber] = alternateSetting;
    if (playbackInterface_ == interfaceNumber) {
        dac_.Stop();
        playbackInterface_.reset();
    }
    if (captureInterface_ == interfaceNumber) {
        adc_.Stop();
        captureInterface_.reset();
    }
    StartStreams(*index_.Find(interfaceNumber, alternateSetting), now);
}

void AudioDevice::StartStreams(const AlternateFacts& alternate, platform::VirtualTime now) {
    if (!alternate.format) return;
    for (const EndpointFacts& endpoint : alternate.endpoints) {
        if (!IsDataEndpoint(endpoint)) continue;
        if (USB_ENDPOINT_DIRECTION_OUT(endpoint.address)) {
            dac_.Configure(*alternate.format, controls_.SampleRateHz(), driftPpm_,
                           PacketsPerSecond(speed_), now);
            playbackInterface_ = alternate.interfaceNumber;
        } else {
            adc_.Configure(*alternate.format, controls_.SampleRateHz(), driftPpm_, captureSignal_,
                           now);
            captureInterface_ = alternate.interfaceNumber;
        }
    }
}

void AudioDevice::RestartStreamsAtNewRate(platform::VirtualTime now) {
    // The converters are re-clocked: what the FIFO held at the old rate is dropped.
    for (const std::optional<UCHAR>& interfaceNumber : {playbackInterface_, captureInterface_})
        if (interfaceNumber)
            SelectAlternate(*interfaceNumber, AlternateSetting(*interfaceNumber), now);
}

AudioDevice::ActiveEndpoint AudioDevice::FindActive(UCHAR endpointAddress) const {
    for (const auto& [interfaceNumber, alternateSetting] : alternates_) {
        const AlternateFacts* alternate = index_.Find(interfaceNumber, alternateSetting);
        const EndpointFacts* endpoint =
            alternate ? index_.FindEndpoint(*alternate, endpointAddress) : nullptr;
        if (endpoint == nullptr || !IsIsochronous(*endpoint)) continue;
        const bool in = USB_ENDPOINT_DIRECTION_IN(endpointAddress);
        if (IsFeedbackUsage(*endpoint)) return {in ? Role::kFeedback : Role::kHostRate, endpoint};
        return {in ? Role::kCaptureData : Role::kPlaybackData, endpoint};
    }
    return {};
}

IsoOutcome AudioDevice::IsoOut(std::uint8_t endpointAddress, std::span<const std::uint8_t> packet,
                               platform::VirtualTime now) {
    if (!faults_.Connected(now)) return IsoOutcome::kError;
    const ActiveEndpoint active = FindActive(endpointAddress);
    if (active.role != Role::kPlaybackData && active.role != Role::kHostRate) {
        ++inactivePackets_;  // nobody listens; an OUT packet has no handshake to fail
        return IsoOutcome::kOk;
    }
    if (faults_.DamageNext(endpointAddress)) {
        dac_.Advance(now);
        return IsoOutcome::kError;
    }
    if (active.role == Role::kPlaybackData) {
        dac_.Receive(packet, now);
    } else if (packet.size() >= SyncRateBytes(speed_)) {
        hostRateQ16_ = DecodeSyncRate(speed_, packet);
        ++hostRatePackets_;
    }
    return IsoOutcome::kOk;
}

IsoInResult AudioDevice::IsoIn(std::uint8_t endpointAddress, std::span<std::uint8_t> buffer,
                               platform::VirtualTime now) {
    if (!faults_.Connected(now)) return {IsoOutcome::kError, 0};
    const ActiveEndpoint active = FindActive(endpointAddress);
    if (active.role != Role::kFeedback && active.role != Role::kCaptureData) {
        ++inactivePackets_;  // no answer from the device: the transaction fails
        return {IsoOutcome::kError, 0};
    }
    const bool damaged = faults_.DamageNext(endpointAddress);
    if (active.role == Role::kFeedback) {
        if (damaged || buffer.size() < SyncRateBytes(speed_)) {
            dac_.Advance(now);
            return {IsoOutcome::kError, 0};
        }
        EncodeSyncRate(speed_, dac_.Feedback(now), buffer);
        return {IsoOutcome::kOk, SyncRateBytes(speed_)};
    }
    const std::size_t limit = std::min<std::size_t>(buffer.size(), active.facts->maxPacketBytes);
    const std::size_t bytes = adc_.Take(buffer.first(limit), now);
    if (damaged) return {IsoOutcome::kError, 0};  // sent, but lost on the wire
    return {IsoOutcome::kOk, bytes};
}

bool AudioDevice::WritePlayedWav(const std::string& path) const {
    const StreamFormat& format = dac_.Format();
    if (dac_.KeptFrames().empty()) return false;
    return WriteWavFile(path,
                        {.channels = static_cast<std::uint16_t>(format.channels),
                         .rateHz = dac_.RateHz(),
                         .bitsPerSample = static_cast<std::uint16_t>(8 * format.subslotBytes)},
                        dac_.KeptFrames());
}

}  // namespace sim
