// Writes what crosses the simulated USB bus as a pcap capture that Wireshark and tshark
// read: the classic pcap file format with link type LINKTYPE_USB_LINUX_MMAPPED, each
// record a 64-byte usbmon event header, the isochronous packet descriptors when there
// are any, then the captured data.
//
// The host controller calls it twice per transfer, as usbmon reports an URB: once when
// the transfer is submitted ('S') and once when it completes ('C'), both with the same
// id so a reader pairs them. Ids are the controller's own sequence numbers, not
// addresses, so the same run writes the same bytes. Times are virtual time; statuses
// are the USBD_STATUS of the transfer, written as the negative errno values usbmon
// uses. Data travels as usbmon shows it: host-to-device data with the submission,
// device-to-host data with the completion.
//
// Not thread-safe, like everything on the scheduler's one thread. The stream is the
// caller's; write failures leave it failed, which Good() reports.
#pragma once

#include <cstdint>
#include <ostream>
#include <span>

#include "platform/core/types.h"
#include "platform/sched/virtual_time.h"
#include "platform/usb/usb_descriptors.h"
#include "platform/usb/usbd_status.h"

namespace platform {

inline constexpr ULONG kPcapMagic = 0xA1B2C3D4;
inline constexpr USHORT kPcapVersionMajor = 2;
inline constexpr USHORT kPcapVersionMinor = 4;
inline constexpr ULONG kLinktypeUsbLinuxMmapped = 220;
inline constexpr std::size_t kUsbmonHeaderBytes = 64;
inline constexpr std::size_t kUsbmonIsoDescriptorBytes = 16;

// usbmon's transfer types.
enum class UsbmonTransferType : UCHAR { kIsochronous = 0, kInterrupt = 1, kControl = 2, kBulk = 3 };

// The device a transfer is addressed to.
struct CaptureDevice {
    USHORT busNumber = 1;
    UCHAR address = 1;
};

// One isochronous packet: where it sits in the transfer buffer, its length (requested
// on submission, actual on completion) and, on completion, its status.
struct CapturedIsoPacket {
    ULONG offset = 0;
    ULONG length = 0;
    USBD_STATUS status = USBD_STATUS_SUCCESS;
};

// An isochronous transfer as the capture describes it.
struct CapturedIsoTransfer {
    UCHAR endpointAddress = 0;  // bit 7 set for IN
    ULONG transferFlags = 0;    // USBD_TRANSFER_DIRECTION_IN, USBD_SHORT_TRANSFER_OK, ...
    LONG interval = 1;          // (micro)frames between packets
    ULONG startFrame = 0;
    ULONG transferBufferLength = 0;  // submission: the whole buffer; completion: bytes moved
    ULONG errorCount = 0;            // completion only
    std::span<const CapturedIsoPacket> packets;
};

// The status usbmon writes for `status`: 0, or a negative errno (-EPIPE for a stall,
// -ENOENT for a cancelled transfer, -EXDEV for an isochronous packet not transferred,
// ...); -EPROTO for any other error.
LONG UsbmonStatus(USBD_STATUS status);

class PcapWriter {
  public:
    static constexpr ULONG kDefaultSnapLength = 262144;

    // Writes the file header to `out` at once. `snapLength` bounds each record; data
    // past it is not captured (the record says how much there was). At least the
    // usbmon header must fit.
    explicit PcapWriter(std::ostream& out, ULONG snapLength = kDefaultSnapLength);
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;

    // A control transfer on endpoint 0. `outData` is the data stage of a host-to-device
    // request.
    void ControlSubmit(ULONG64 id, CaptureDevice device, VirtualTime time,
                       const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                       std::span<const std::uint8_t> outData);
    // `actualLength` is the data-stage bytes moved; `inData` what a device-to-host
    // request received.
    void ControlComplete(ULONG64 id, CaptureDevice device, VirtualTime time,
                         const USB_DEFAULT_PIPE_SETUP_PACKET& setup, USBD_STATUS status,
                         ULONG actualLength, std::span<const std::uint8_t> inData);

    // `buffer` is the transfer buffer: an OUT transfer's data on submission, an IN
    // transfer's on completion (the packets' offsets index it). It is ignored where
    // usbmon carries no data (IN submission, OUT completion).
    void IsoSubmit(ULONG64 id, CaptureDevice device, VirtualTime time,
                   const CapturedIsoTransfer& transfer, std::span<const std::uint8_t> buffer);
    void IsoComplete(ULONG64 id, CaptureDevice device, VirtualTime time, USBD_STATUS status,
                     const CapturedIsoTransfer& transfer, std::span<const std::uint8_t> buffer);

    // An interrupt transfer: `length` is the requested length on submission and the
    // bytes moved on completion; `data` as for isochronous transfers.
    void InterruptSubmit(ULONG64 id, CaptureDevice device, UCHAR endpointAddress, VirtualTime time,
                         LONG interval, ULONG length, std::span<const std::uint8_t> data);
    void InterruptComplete(ULONG64 id, CaptureDevice device, UCHAR endpointAddress,
                           VirtualTime time, LONG interval, USBD_STATUS status, ULONG length,
                           std::span<const std::uint8_t> data);

    bool Good() const { return out_.good(); }
    std::uint64_t RecordsWritten() const { return records_; }

  private:
    struct Event;
    void Write(const Event& event);

    std::ostream& out_;
    ULONG snapLength_;
    std::uint64_t records_ = 0;
};

}  // namespace platform
