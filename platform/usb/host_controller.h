// The USB host controller with one device on its root port, as the client driver
// sees it: the lower device object that takes URBs (IRP_MJ_INTERNAL_DEVICE_CONTROL,
// IOCTL_INTERNAL_USB_SUBMIT_URB) and answers the bus-interface query.
//
// It runs a frame clock on virtual time: 1 ms frames at full speed, 125 us
// microframes at high speed. Only (micro)frames that carry work are scheduled, so
// an idle bus costs nothing. Isochronous transfers submitted ASAP follow the pipe's
// previous transfer, or start at the next frame when the pipe is idle; each packet
// is exchanged with the device in its own (micro)frame, and a transfer completes at
// DISPATCH_LEVEL at the end of its last one. Control transfers go to the device at
// the next (micro)frame; one it never answers stays pending until cancelled.
//
// Created and destroyed inside a running machine; the device outlives it.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <vector>

#include "platform/io/wdm.h"
#include "platform/kernel/ntddk.h"
#include "platform/sched/timer.h"
#include "platform/usb/bus_device.h"
#include "platform/usb/pcap_writer.h"
#include "platform/usb/urb.h"
#include "platform/usb/usbd_status.h"

namespace platform {

class UsbHostController {
  public:
    explicit UsbHostController(UsbBusDevice& device);
    ~UsbHostController();
    UsbHostController(const UsbHostController&) = delete;
    UsbHostController& operator=(const UsbHostController&) = delete;

    // The device object a function driver attaches over.
    PDEVICE_OBJECT DeviceObject() const { return device_object_; }
    UsbSpeed Speed() const { return device_.Speed(); }
    // The current 1 ms frame number.
    ULONG FrameNumber() const;

    // Writes every transfer to `out` from now on, starting with the device's
    // descriptors so readers know its interfaces. Null stops.
    void StartCapture(std::ostream* out);

    std::uint64_t TransfersCompleted() const { return completed_; }

  private:
    struct Pipe {
        UCHAR endpointAddress;
        UCHAR type;  // USB_ENDPOINT_TYPE_*
        USHORT maxPacketSize;
        std::int64_t periodTicks;   // (micro)frames between packets
        std::int64_t nextTick = 0;  // the first tick after the last queued transfer
        LIST_ENTRY queue;           // isochronous IRPs, oldest first
        UCHAR interfaceNumber;
    };
    struct ControlTransfer {
        PIRP irp;
        USB_DEFAULT_PIPE_SETUP_PACKET setup;
        std::uint8_t* buffer;
        ULONG* transferLength;  // the URB's TransferBufferLength: wLength in, bytes out
        std::int64_t dueTick;
        bool hung = false;
        std::uint64_t id;
    };

    static NTSTATUS DispatchInternal(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp);
    static void CancelControl(PDEVICE_OBJECT device, PIRP irp);
    static void CancelIsoch(PDEVICE_OBJECT device, PIRP irp);
    static UsbHostController& From(PDEVICE_OBJECT device);

    NTSTATUS Submit(PIRP irp, URB* urb);
    NTSTATUS SubmitControl(PIRP irp, const USB_DEFAULT_PIPE_SETUP_PACKET& setup, void* buffer,
                           ULONG* transferLength);
    NTSTATUS SubmitIsoch(PIRP irp, URB* urb);
    NTSTATUS SelectConfiguration(PIRP irp, URB* urb);
    NTSTATUS SelectInterface(PIRP irp, URB* urb);
    NTSTATUS AbortPipe(PIRP irp, URB* urb);
    NTSTATUS ResetPipe(PIRP irp, URB* urb);
    // Fills `info` from the configuration's interface descriptor and opens its pipes.
    bool OpenInterface(USBD_INTERFACE_INFORMATION& info);
    void ClosePipesOf(UCHAR interfaceNumber);
    Pipe* FindPipe(USBD_PIPE_HANDLE handle);

    // Ends `irp` with its URB status and the matching NTSTATUS, at DISPATCH_LEVEL.
    void Complete(PIRP irp, URB* urb, USBD_STATUS status, NTSTATUS ntStatus);
    NTSTATUS CompleteNow(PIRP irp, URB* urb, USBD_STATUS status, NTSTATUS ntStatus);
    void OnTick();
    void ExchangePacket(Pipe& pipe, PIRP irp, std::int64_t tick);
    void FinishIsoch(PIRP irp);
    void FailEverything(NTSTATUS status, USBD_STATUS usbdStatus);
    void Arm();
    std::int64_t Tick() const;
    VirtualTime TickTime(std::int64_t tick) const;
    void CaptureIsoch(PIRP irp, bool completion, USBD_STATUS status);

    UsbBusDevice& device_;
    Scheduler& scheduler_;
    DRIVER_OBJECT driver_;
    PDEVICE_OBJECT device_object_ = nullptr;
    KSPIN_LOCK lock_;
    std::vector<std::unique_ptr<Pipe>> pipes_;  // open pipes; a handle is a Pipe*
    std::vector<ControlTransfer> controls_;
    // Reused by every tick, so a streaming (micro)frame allocates nothing.
    std::vector<PIRP> finishedScratch_;
    std::vector<ControlTransfer> dueScratch_;
    std::vector<std::uint8_t> configuration_;  // the device's configuration descriptor
    Timer frameTimer_;
    std::unique_ptr<PcapWriter> capture_;
    std::uint64_t nextId_ = 1;
    std::uint64_t completed_ = 0;
    bool gone_ = false;
};

}  // namespace platform
