#include "platform/usb/pcap_writer.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <vector>

#include "platform/usb/urb.h"

namespace platform {
namespace {

// usbmon's status values: Linux errno numbers, negated.
constexpr LONG kEinprogress = -115;  // a submission
constexpr LONG kEnoent = -2;         // cancelled
constexpr LONG kEpipe = -32;         // stalled
constexpr LONG kEproto = -71;        // a bus error without a closer match
constexpr LONG kEilseq = -84;        // CRC error
constexpr LONG kEoverflow = -75;     // babble or overrun
constexpr LONG kEcomm = -70;         // buffer overrun on the controller's side
constexpr LONG kEnosr = -63;         // buffer underrun on the controller's side
constexpr LONG kEtime = -62;         // no answer
constexpr LONG kEremoteio = -121;    // short transfer not allowed
constexpr LONG kEshutdown = -108;    // device gone
constexpr LONG kExdev = -18;         // isochronous packet not transferred
constexpr LONG kEnomem = -12;
constexpr LONG kEinval = -22;

// Linux URB transfer_flags that usbmon reports.
constexpr ULONG kUrbShortNotOk = 0x0001;
constexpr ULONG kUrbIsoAsap = 0x0002;
constexpr ULONG kUrbDirIn = 0x0200;

// What usbmon puts in flag_setup and flag_data.
constexpr char kPresent = '\0';
constexpr char kSetupAbsent = '-';
constexpr char kDataToCome = '<';  // device-to-host data arrives with the completion
constexpr char kDataGone = '>';    // host-to-device data went with the submission

ULONG UsbmonFlags(ULONG usbdFlags) {
    ULONG flags = 0;
    if (usbdFlags & USBD_TRANSFER_DIRECTION_IN) {
        flags |= kUrbDirIn;
        if (!(usbdFlags & USBD_SHORT_TRANSFER_OK)) flags |= kUrbShortNotOk;
    }
    if (usbdFlags & USBD_START_ISO_TRANSFER_ASAP) flags |= kUrbIsoAsap;
    return flags;
}

class Bytes {
  public:
    void U8(std::uint8_t v) { bytes_.push_back(v); }
    void U16(std::uint16_t v) { Put(v); }
    void U32(std::uint32_t v) { Put(v); }
    void S32(std::int32_t v) { Put(v); }
    void U64(std::uint64_t v) { Put(v); }
    void S64(std::int64_t v) { Put(v); }
    void Append(std::span<const std::uint8_t> data) {
        bytes_.insert(bytes_.end(), data.begin(), data.end());
    }
    const std::vector<std::uint8_t>& Get() const { return bytes_; }

  private:
    // The host is little-endian (usb_descriptors.h insists), as the file is.
    template <typename T>
    void Put(T v) {
        std::uint8_t raw[sizeof(T)];
        std::memcpy(raw, &v, sizeof(T));
        bytes_.insert(bytes_.end(), raw, raw + sizeof(T));
    }
    std::vector<std::uint8_t> bytes_;
};

void WriteBytes(std::ostream& out, const Bytes& bytes) {
    out.write(reinterpret_cast<const char*>(bytes.Get().data()),
              static_cast<std::streamsize>(bytes.Get().size()));
}

}  // namespace

LONG UsbmonStatus(USBD_STATUS status) {
    if (USBD_SUCCESS(status)) return USBD_PENDING(status) ? kEinprogress : 0;
    switch (status) {
        case USBD_STATUS_CANCELED:
            return kEnoent;
        case USBD_STATUS_STALL_PID:
        case USBD_STATUS_ENDPOINT_HALTED:
            return kEpipe;
        case USBD_STATUS_CRC:
            return kEilseq;
        case USBD_STATUS_DATA_OVERRUN:
        case USBD_STATUS_BABBLE_DETECTED:
            return kEoverflow;
        case USBD_STATUS_BUFFER_OVERRUN:
            return kEcomm;
        case USBD_STATUS_BUFFER_UNDERRUN:
            return kEnosr;
        case USBD_STATUS_DEV_NOT_RESPONDING:
        case USBD_STATUS_TIMEOUT:
            return kEtime;
        case USBD_STATUS_DATA_UNDERRUN:
        case USBD_STATUS_ERROR_SHORT_TRANSFER:
            return kEremoteio;
        case USBD_STATUS_DEVICE_GONE:
            return kEshutdown;
        case USBD_STATUS_ISOCH_REQUEST_FAILED:
        case USBD_STATUS_NOT_ACCESSED:
        case USBD_STATUS_ISO_NOT_ACCESSED_BY_HW:
        case USBD_STATUS_ISO_NA_LATE_USBPORT:
        case USBD_STATUS_ISO_NOT_ACCESSED_LATE:
            return kExdev;
        case USBD_STATUS_NO_MEMORY:
        case USBD_STATUS_INSUFFICIENT_RESOURCES:
            return kEnomem;
        case USBD_STATUS_INVALID_URB_FUNCTION:
        case USBD_STATUS_INVALID_PARAMETER:
        case USBD_STATUS_INVALID_PIPE_HANDLE:
            return kEinval;
        default:
            return kEproto;
    }
}

// One usbmon event, before it is laid out.
struct PcapWriter::Event {
    ULONG64 id = 0;
    char type = 'S';
    UsbmonTransferType transferType = UsbmonTransferType::kControl;
    UCHAR endpoint = 0;
    CaptureDevice device;
    VirtualTime time = 0;
    LONG status = 0;
    ULONG urbLength = 0;
    const USB_DEFAULT_PIPE_SETUP_PACKET* setup = nullptr;  // control submissions
    char flagData = kPresent;
    LONG interval = 0;
    ULONG startFrame = 0;
    ULONG flags = 0;
    ULONG errorCount = 0;
    std::span<const CapturedIsoPacket> packets;  // isochronous only
    LONG packetStatus = 0;                       // submissions: what every packet shows
    bool usePacketStatus = false;
    std::span<const std::uint8_t> data;
};

PcapWriter::PcapWriter(std::ostream& out, ULONG snapLength)
    : out_(out), snapLength_(std::max<ULONG>(snapLength, kUsbmonHeaderBytes)) {
    Bytes header;
    header.U32(kPcapMagic);
    header.U16(kPcapVersionMajor);
    header.U16(kPcapVersionMinor);
    header.S32(0);  // time zone: UTC
    header.U32(0);  // timestamp accuracy
    header.U32(snapLength_);
    header.U32(kLinktypeUsbLinuxMmapped);
    WriteBytes(out_, header);
}

void PcapWriter::Write(const Event& event) {
    // Descriptors first, then data, each cut to what the snap length leaves.
    const std::size_t room = snapLength_ - kUsbmonHeaderBytes;
    const std::size_t descriptors =
        std::min(event.packets.size(), room / kUsbmonIsoDescriptorBytes);
    const std::size_t dataRoom = room - descriptors * kUsbmonIsoDescriptorBytes;
    const std::size_t captured =
        event.flagData == kPresent ? std::min(event.data.size(), dataRoom) : 0;
    const std::size_t wholeLength = kUsbmonHeaderBytes +
                                    event.packets.size() * kUsbmonIsoDescriptorBytes +
                                    (event.flagData == kPresent ? event.data.size() : 0);
    const std::size_t capturedLength =
        kUsbmonHeaderBytes + descriptors * kUsbmonIsoDescriptorBytes + captured;

    const VirtualTime time = std::max<VirtualTime>(event.time, 0);
    const std::int64_t seconds = time / kSecond;
    const std::int32_t micros = static_cast<std::int32_t>((time % kSecond) / kMicrosecond);

    Bytes r;
    r.U32(static_cast<std::uint32_t>(seconds));
    r.U32(static_cast<std::uint32_t>(micros));
    r.U32(static_cast<std::uint32_t>(capturedLength));
    r.U32(static_cast<std::uint32_t>(wholeLength));

    r.U64(event.id);
    r.U8(static_cast<std::uint8_t>(event.type));
    r.U8(static_cast<std::uint8_t>(event.transferType));
    r.U8(event.endpoint);
    r.U8(event.device.address);
    r.U16(event.device.busNumber);
    r.U8(static_cast<std::uint8_t>(event.setup != nullptr ? kPresent : kSetupAbsent));
    r.U8(static_cast<std::uint8_t>(event.flagData));
    r.S64(seconds);
    r.S32(micros);
    r.S32(event.status);
    r.U32(event.urbLength);
    r.U32(static_cast<std::uint32_t>(captured));
    if (event.transferType == UsbmonTransferType::kIsochronous) {
        r.S32(static_cast<std::int32_t>(event.errorCount));
        r.S32(static_cast<std::int32_t>(event.packets.size()));
    } else if (event.setup != nullptr) {
        r.U8(event.setup->bmRequestType);
        r.U8(event.setup->bRequest);
        r.U16(event.setup->wValue);
        r.U16(event.setup->wIndex);
        r.U16(event.setup->wLength);
    } else {
        r.U64(0);
    }
    r.S32(event.interval);
    r.S32(static_cast<std::int32_t>(event.startFrame));
    r.U32(event.flags);
    r.U32(static_cast<std::uint32_t>(descriptors));
    assert(r.Get().size() == 16 + kUsbmonHeaderBytes);

    for (std::size_t i = 0; i < descriptors; ++i) {
        const CapturedIsoPacket& packet = event.packets[i];
        r.S32(event.usePacketStatus ? event.packetStatus : UsbmonStatus(packet.status));
        r.U32(packet.offset);
        r.U32(packet.length);
        r.U32(0);
    }
    r.Append(event.data.first(captured));

    WriteBytes(out_, r);
    ++records_;
}

void PcapWriter::ControlSubmit(ULONG64 id, CaptureDevice device, VirtualTime time,
                               const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                               std::span<const std::uint8_t> outData) {
    const bool in = (setup.bmRequestType & USB_ENDPOINT_DIRECTION_MASK) != 0;
    Write({.id = id,
           .type = 'S',
           .transferType = UsbmonTransferType::kControl,
           .endpoint = static_cast<UCHAR>(in ? USB_ENDPOINT_DIRECTION_MASK : 0),
           .device = device,
           .time = time,
           .status = kEinprogress,
           .urbLength = setup.wLength,
           .setup = &setup,
           .flagData = in ? kDataToCome : kPresent,
           .flags = in ? kUrbDirIn : 0,
           .data = in ? std::span<const std::uint8_t>() : outData});
}

void PcapWriter::ControlComplete(ULONG64 id, CaptureDevice device, VirtualTime time,
                                 const USB_DEFAULT_PIPE_SETUP_PACKET& setup, USBD_STATUS status,
                                 ULONG actualLength, std::span<const std::uint8_t> inData) {
    const bool in = (setup.bmRequestType & USB_ENDPOINT_DIRECTION_MASK) != 0;
    Write({.id = id,
           .type = 'C',
           .transferType = UsbmonTransferType::kControl,
           .endpoint = static_cast<UCHAR>(in ? USB_ENDPOINT_DIRECTION_MASK : 0),
           .device = device,
           .time = time,
           .status = UsbmonStatus(status),
           .urbLength = actualLength,
           .flagData = in ? kPresent : kDataGone,
           .flags = in ? kUrbDirIn : 0,
           .data = in ? inData : std::span<const std::uint8_t>()});
}

void PcapWriter::IsoSubmit(ULONG64 id, CaptureDevice device, VirtualTime time,
                           const CapturedIsoTransfer& transfer,
                           std::span<const std::uint8_t> buffer) {
    const bool in = USB_ENDPOINT_DIRECTION_IN(transfer.endpointAddress);
    Write({.id = id,
           .type = 'S',
           .transferType = UsbmonTransferType::kIsochronous,
           .endpoint = transfer.endpointAddress,
           .device = device,
           .time = time,
           .status = kEinprogress,
           .urbLength = transfer.transferBufferLength,
           .flagData = in ? kDataToCome : kPresent,
           .interval = transfer.interval,
           .startFrame = transfer.startFrame,
           .flags = UsbmonFlags(transfer.transferFlags),
           .packets = transfer.packets,
           // Nothing has been transferred yet: every packet reads "not accessed".
           .packetStatus = kExdev,
           .usePacketStatus = true,
           .data = in ? std::span<const std::uint8_t>() : buffer});
}

void PcapWriter::IsoComplete(ULONG64 id, CaptureDevice device, VirtualTime time, USBD_STATUS status,
                             const CapturedIsoTransfer& transfer,
                             std::span<const std::uint8_t> buffer) {
    const bool in = USB_ENDPOINT_DIRECTION_IN(transfer.endpointAddress);
    Write({.id = id,
           .type = 'C',
           .transferType = UsbmonTransferType::kIsochronous,
           .endpoint = transfer.endpointAddress,
           .device = device,
           .time = time,
           .status = UsbmonStatus(status),
           .urbLength = transfer.transferBufferLength,
           .flagData = in ? kPresent : kDataGone,
           .interval = transfer.interval,
           .startFrame = transfer.startFrame,
           .flags = UsbmonFlags(transfer.transferFlags),
           .errorCount = transfer.errorCount,
           .packets = transfer.packets,
           .data = in ? buffer : std::span<const std::uint8_t>()});
}

void PcapWriter::InterruptSubmit(ULONG64 id, CaptureDevice device, UCHAR endpointAddress,
                                 VirtualTime time, LONG interval, ULONG length,
                                 std::span<const std::uint8_t> data) {
    const bool in = USB_ENDPOINT_DIRECTION_IN(endpointAddress);
    Write({.id = id,
           .type = 'S',
           .transferType = UsbmonTransferType::kInterrupt,
           .endpoint = endpointAddress,
           .device = device,
           .time = time,
           .status = kEinprogress,
           .urbLength = length,
           .flagData = in ? kDataToCome : kPresent,
           .interval = interval,
           .flags = in ? kUrbDirIn : 0,
           .data = in ? std::span<const std::uint8_t>() : data});
}

void PcapWriter::InterruptComplete(ULONG64 id, CaptureDevice device, UCHAR endpointAddress,
                                   VirtualTime time, LONG interval, USBD_STATUS status,
                                   ULONG length, std::span<const std::uint8_t> data) {
    const bool in = USB_ENDPOINT_DIRECTION_IN(endpointAddress);
    Write({.id = id,
           .type = 'C',
           .transferType = UsbmonTransferType::kInterrupt,
           .endpoint = endpointAddress,
           .device = device,
           .time = time,
           .status = UsbmonStatus(status),
           .urbLength = length,
           .flagData = in ? kPresent : kDataGone,
           .interval = interval,
           .flags = in ? kUrbDirIn : 0,
           .data = in ? data : std::span<const std::uint8_t>()});
}

}  // namespace platform
