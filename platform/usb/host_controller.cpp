#include "platform/usb/host_controller.h"

#include <algorithm>
#include <cstring>

#include "platform/kernel/kernel.h"
#include "platform/usb/bus_interface.h"

namespace platform {
namespace {

// The IRP's driver context while the controller holds it: the URB, and for an
// isochronous transfer its first tick and transfer id.
enum ContextSlot { kUrb = 0, kStartTick = 1, kTransferId = 2 };

URB* UrbOf(PIRP irp) {
    return static_cast<URB*>(irp->Tail.Overlay.DriverContext[kUrb]);
}
std::int64_t StartTickOf(PIRP irp) {
    return reinterpret_cast<std::intptr_t>(irp->Tail.Overlay.DriverContext[kStartTick]);
}

// Everything the controller touches of a pipe's transfer, from its URB.
struct IsoView {
    _URB_ISOCH_TRANSFER& t;
    std::uint8_t* buffer() const { return static_cast<std::uint8_t*>(t.TransferBuffer); }
    // Room for packet i: up to the next packet's offset, or the end of the buffer.
    ULONG Room(ULONG i) const {
        const ULONG end =
            i + 1 < t.NumberOfPackets ? t.IsoPacket[i + 1].Offset : t.TransferBufferLength;
        return end > t.IsoPacket[i].Offset ? end - t.IsoPacket[i].Offset : 0;
    }
};

UCHAR Recipient(USHORT function) {
    switch (function) {
        case URB_FUNCTION_CLASS_INTERFACE:
        case URB_FUNCTION_VENDOR_INTERFACE:
            return BMREQUEST_TO_INTERFACE;
        case URB_FUNCTION_CLASS_ENDPOINT:
        case URB_FUNCTION_VENDOR_ENDPOINT:
            return BMREQUEST_TO_ENDPOINT;
        case URB_FUNCTION_CLASS_OTHER:
        case URB_FUNCTION_VENDOR_OTHER:
            return BMREQUEST_TO_OTHER;
        default:
            return BMREQUEST_TO_DEVICE;
    }
}

NTSTATUS QueryBusTime(PVOID context, ULONG* frame) {
    *frame = static_cast<UsbHostController*>(context)->FrameNumber();
    return STATUS_SUCCESS;
}
BOOLEAN IsDeviceHighSpeed(PVOID context) {
    return static_cast<UsbHostController*>(context)->Speed() == UsbSpeed::kHigh;
}
void GetUsbdiVersion(PVOID, PUSBD_VERSION_INFORMATION info, ULONG* capabilities) {
    if (info != nullptr) *info = {0x600, 0x200};
    if (capabilities != nullptr) *capabilities = 0;
}
void NoReference(PVOID) {}

}  // namespace

UsbHostController::UsbHostController(UsbBusDevice& device)
    : device_(device),
      scheduler_(Kernel::Current().scheduler()),
      frameTimer_(scheduler_, "usb frame clock", [this] { OnTick(); }) {
    KeInitializeSpinLock(&lock_);
    driver_.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &DispatchInternal;
    driver_.MajorFunction[IRP_MJ_PNP] = &DispatchPnp;
    const NTSTATUS status = IoCreateDevice(&driver_, sizeof(UsbHostController*), nullptr,
                                           FILE_DEVICE_UNKNOWN, 0, FALSE, &device_object_);
    if (!NT_SUCCESS(status)) {
        Kernel::Current().scheduler().Fault("the USB host controller could not create its device");
    }
    *static_cast<UsbHostController**>(device_object_->DeviceExtension) = this;
    device_object_->Flags &= ~DO_DEVICE_INITIALIZING;
}

UsbHostController::~UsbHostController() {
    frameTimer_.Cancel();
    FailEverything(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
    IoDeleteDevice(device_object_);
}

UsbHostController& UsbHostController::From(PDEVICE_OBJECT device) {
    return **static_cast<UsbHostController**>(device->DeviceExtension);
}

std::int64_t UsbHostController::Tick() const {
    return scheduler_.Now() / FrameDuration(device_.Speed());
}
VirtualTime UsbHostController::TickTime(std::int64_t tick) const {
    return tick * FrameDuration(device_.Speed());
}
ULONG UsbHostController::FrameNumber() const {
    return static_cast<ULONG>(scheduler_.Now() / kMillisecond);
}

// --- dispatch ---

NTSTATUS UsbHostController::DispatchInternal(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
        irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return From(device).Submit(irp, static_cast<URB*>(stack->Parameters.Others.Argument1));
}

NTSTATUS UsbHostController::DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    if (stack->MinorFunction == IRP_MN_QUERY_INTERFACE &&
        *stack->Parameters.QueryInterface.InterfaceType == USB_BUS_INTERFACE_USBDI_GUID &&
        stack->Parameters.QueryInterface.Version <= USB_BUSIF_USBDI_VERSION_1) {
        const USHORT version = stack->Parameters.QueryInterface.Version;
        const USHORT size = version == USB_BUSIF_USBDI_VERSION_1
                                ? sizeof(USB_BUS_INTERFACE_USBDI_V1)
                                : sizeof(USB_BUS_INTERFACE_USBDI_V0);
        if (stack->Parameters.QueryInterface.Size < size) {
            status = STATUS_BUFFER_TOO_SMALL;
        } else {
            auto* table = reinterpret_cast<USB_BUS_INTERFACE_USBDI_V1*>(
                stack->Parameters.QueryInterface.Interface);
            table->Size = size;
            table->Version = version;
            table->BusContext = &From(device);
            table->InterfaceReference = &NoReference;
            table->InterfaceDereference = &NoReference;
            table->GetUSBDIVersion = &GetUsbdiVersion;
            table->QueryBusTime = &QueryBusTime;
            table->SubmitIsoOutUrb = nullptr;
            table->QueryBusInformation = nullptr;
            if (version == USB_BUSIF_USBDI_VERSION_1) table->IsDeviceHighSpeed = &IsDeviceHighSpeed;
            status = STATUS_SUCCESS;
        }
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS UsbHostController::Submit(PIRP irp, URB* urb) {
    irp->Tail.Overlay.DriverContext[kUrb] = urb;
    if (gone_ || !device_.IsConnected(scheduler_.Now())) {
        gone_ = true;
        return CompleteNow(irp, urb, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
    }
    switch (urb->UrbHeader.Function) {
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
            auto& r = urb->UrbControlDescriptorRequest;
            const USB_DEFAULT_PIPE_SETUP_PACKET setup = {
                UsbRequestType(BMREQUEST_DEVICE_TO_HOST, BMREQUEST_STANDARD, BMREQUEST_TO_DEVICE),
                USB_REQUEST_GET_DESCRIPTOR, static_cast<USHORT>(r.DescriptorType << 8 | r.Index),
                r.LanguageId, static_cast<USHORT>(r.TransferBufferLength)};
            return SubmitControl(irp, setup, r.TransferBuffer, &r.TransferBufferLength);
        }
        case URB_FUNCTION_CLASS_DEVICE:
        case URB_FUNCTION_CLASS_INTERFACE:
        case URB_FUNCTION_CLASS_ENDPOINT:
        case URB_FUNCTION_CLASS_OTHER:
        case URB_FUNCTION_VENDOR_DEVICE:
        case URB_FUNCTION_VENDOR_INTERFACE:
        case URB_FUNCTION_VENDOR_ENDPOINT:
        case URB_FUNCTION_VENDOR_OTHER: {
            auto& r = urb->UrbControlVendorClassRequest;
            const USHORT f = urb->UrbHeader.Function;
            const bool vendor = f == URB_FUNCTION_VENDOR_DEVICE ||
                                f == URB_FUNCTION_VENDOR_INTERFACE ||
                                f == URB_FUNCTION_VENDOR_ENDPOINT || f == URB_FUNCTION_VENDOR_OTHER;
            const UCHAR direction = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN)
                                        ? BMREQUEST_DEVICE_TO_HOST
                                        : BMREQUEST_HOST_TO_DEVICE;
            const USB_DEFAULT_PIPE_SETUP_PACKET setup = {
                static_cast<UCHAR>(UsbRequestType(direction,
                                                  vendor ? BMREQUEST_VENDOR : BMREQUEST_CLASS,
                                                  Recipient(f)) |
                                   ((r.RequestTypeReservedBits & 0x7) << 2)),
                r.Request, r.Value, r.Index, static_cast<USHORT>(r.TransferBufferLength)};
            return SubmitControl(irp, setup, r.TransferBuffer, &r.TransferBufferLength);
        }
        case URB_FUNCTION_SELECT_CONFIGURATION:
            return SelectConfiguration(irp, urb);
        case URB_FUNCTION_SELECT_INTERFACE:
            return SelectInterface(irp, urb);
        case URB_FUNCTION_ISOCH_TRANSFER:
            return SubmitIsoch(irp, urb);
        case URB_FUNCTION_ABORT_PIPE:
            return AbortPipe(irp, urb);
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
            return ResetPipe(irp, urb);
        case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
            urb->UrbGetCurrentFrameNumber.FrameNumber = FrameNumber();
            return CompleteNow(irp, urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
        default:
            return CompleteNow(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION,
                               STATUS_INVALID_PARAMETER);
    }
}

// --- control transfers ---

NTSTATUS UsbHostController::SubmitControl(PIRP irp, const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                                          void* buffer, ULONG* transferLength) {
    IoMarkIrpPending(irp);
    KIRQL old;
    KeAcquireSpinLock(&lock_, &old);
    const std::uint64_t id = nextId_++;
    controls_.push_back(
        {irp, setup, static_cast<std::uint8_t*>(buffer), transferLength, Tick() + 1, false, id});
    IoSetCancelRoutine(irp, &CancelControl);
    KeReleaseSpinLock(&lock_, old);
    if (capture_) {
        const bool out = (setup.bmRequestType & 0x80) == 0;
        capture_->ControlSubmit(
            id, {}, scheduler_.Now(), setup,
            out ? std::span<const std::uint8_t>(static_cast<std::uint8_t*>(buffer),
                                                buffer ? setup.wLength : 0)
                : std::span<const std::uint8_t>());
    }
    Arm();
    return STATUS_PENDING;
}

void UsbHostController::CancelControl(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    UsbHostController& hc = From(device);
    KIRQL old;
    KeAcquireSpinLock(&hc.lock_, &old);
    auto it = std::find_if(hc.controls_.begin(), hc.controls_.end(),
                           [irp](const ControlTransfer& c) { return c.irp == irp; });
    const bool found = it != hc.controls_.end();
    if (found) hc.controls_.erase(it);
    KeReleaseSpinLock(&hc.lock_, old);
    if (found) hc.Complete(irp, UrbOf(irp), USBD_STATUS_CANCELED, STATUS_CANCELLED);
}

// --- configuration ---

bool UsbHostController::OpenInterface(USBD_INTERFACE_INFORMATION& info) {
    // The configuration came from the device; walk it with bounds.
    const std::size_t total = configuration_.size();
    std::size_t offset = 0;
    const USB_INTERFACE_DESCRIPTOR* found = nullptr;
    std::size_t endpointsFrom = 0;
    while (offset + 2 <= total) {
        const UCHAR length = configuration_[offset];
        if (length < 2 || offset + length > total) break;
        if (configuration_[offset + 1] == USB_INTERFACE_DESCRIPTOR_TYPE &&
            length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            if (found != nullptr) break;
            const auto* d =
                reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(&configuration_[offset]);
            if (d->bInterfaceNumber == info.InterfaceNumber &&
                d->bAlternateSetting == info.AlternateSetting) {
                found = d;
                endpointsFrom = offset + length;
            }
        }
        offset += length;
    }
    if (found == nullptr) return false;
    info.Class = found->bInterfaceClass;
    info.SubClass = found->bInterfaceSubClass;
    info.Protocol = found->bInterfaceProtocol;
    info.InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(
        static_cast<ULONG_PTR>(info.InterfaceNumber << 8 | info.AlternateSetting | 0x10000));
    const ULONG room = info.Length >= GET_USBD_INTERFACE_SIZE(0)
                           ? static_cast<ULONG>((info.Length - GET_USBD_INTERFACE_SIZE(0)) /
                                                sizeof(USBD_PIPE_INFORMATION))
                           : 0;
    ULONG pipes = 0;
    for (offset = endpointsFrom; offset + 2 <= total;) {
        const UCHAR length = configuration_[offset];
        const UCHAR type = configuration_[offset + 1];
        if (length < 2 || offset + length > total || type == USB_INTERFACE_DESCRIPTOR_TYPE) break;
        if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && length >= 7 && pipes < room &&
            pipes < found->bNumEndpoints) {
            const auto* e =
                reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(&configuration_[offset]);
            auto pipe = std::make_unique<Pipe>();
            pipe->endpointAddress = e->bEndpointAddress;
            pipe->type = e->bmAttributes & USB_ENDPOINT_TYPE_MASK;
            pipe->maxPacketSize = e->wMaxPacketSize;
            const int exponent = std::clamp<int>(e->bInterval, 1, 16) - 1;
            pipe->periodTicks =
                pipe->type == USB_ENDPOINT_TYPE_ISOCHRONOUS ? (std::int64_t{1} << exponent) : 1;
            pipe->interfaceNumber = info.InterfaceNumber;
            InitializeListHead(&pipe->queue);
            USBD_PIPE_INFORMATION& p = info.Pipes[pipes++];
            p.MaximumPacketSize = e->wMaxPacketSize;
            p.EndpointAddress = e->bEndpointAddress;
            p.Interval = e->bInterval;
            p.PipeType = static_cast<USBD_PIPE_TYPE>(pipe->type);
            p.PipeHandle = pipe.get();
            if (p.MaximumTransferSize == 0)
                p.MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            pipes_.push_back(std::move(pipe));
        }
        offset += length;
    }
    info.NumberOfPipes = pipes;
    return true;
}

void UsbHostController::ClosePipesOf(UCHAR interfaceNumber) {
    for (auto& pipe : pipes_) {
        if (pipe->interfaceNumber != interfaceNumber) continue;
        while (!IsListEmpty(&pipe->queue)) {
            PIRP irp = CONTAINING_RECORD(RemoveHeadList(&pipe->queue), IRP, Tail.Overlay.ListEntry);
            IoSetCancelRoutine(irp, nullptr);
            Complete(irp, UrbOf(irp), USBD_STATUS_CANCELED, STATUS_CANCELLED);
        }
    }
    std::erase_if(
        pipes_, [interfaceNumber](const auto& p) { return p->interfaceNumber == interfaceNumber; });
}

NTSTATUS UsbHostController::SelectConfiguration(PIRP irp, URB* urb) {
    auto& r = urb->UrbSelectConfiguration;
    for (UCHAR n = 0; n < 32; ++n) ClosePipesOf(n);
    if (r.ConfigurationDescriptor == nullptr) {
        configuration_.clear();
        const USB_DEFAULT_PIPE_SETUP_PACKET setup = {0x00, USB_REQUEST_SET_CONFIGURATION, 0, 0, 0};
        static ULONG none = 0;
        return SubmitControl(irp, setup, nullptr, &none);
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(r.ConfigurationDescriptor);
    configuration_.assign(bytes, bytes + r.ConfigurationDescriptor->wTotalLength);
    r.ConfigurationHandle = this;
    // One interface information block after another, each Length bytes, up to the URB's end.
    auto* cursor = reinterpret_cast<std::uint8_t*>(&r.Interface);
    const auto* end = reinterpret_cast<std::uint8_t*>(urb) + urb->UrbHeader.Length;
    while (cursor + GET_USBD_INTERFACE_SIZE(0) <= end) {
        auto& info = *reinterpret_cast<USBD_INTERFACE_INFORMATION*>(cursor);
        if (info.Length < GET_USBD_INTERFACE_SIZE(0) || cursor + info.Length > end) break;
        if (!OpenInterface(info)) {
            return CompleteNow(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        }
        cursor += info.Length;
    }
    const USB_DEFAULT_PIPE_SETUP_PACKET setup = {
        0x00, USB_REQUEST_SET_CONFIGURATION, r.ConfigurationDescriptor->bConfigurationValue, 0, 0};
    static ULONG none = 0;
    return SubmitControl(irp, setup, nullptr, &none);
}

NTSTATUS UsbHostController::SelectInterface(PIRP irp, URB* urb) {
    auto& info = urb->UrbSelectInterface.Interface;
    ClosePipesOf(info.InterfaceNumber);
    if (!OpenInterface(info)) {
        return CompleteNow(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    }
    const USB_DEFAULT_PIPE_SETUP_PACKET setup = {
        UsbRequestType(BMREQUEST_HOST_TO_DEVICE, BMREQUEST_STANDARD, BMREQUEST_TO_INTERFACE),
        USB_REQUEST_SET_INTERFACE, info.AlternateSetting, info.InterfaceNumber, 0};
    static ULONG none = 0;
    return SubmitControl(irp, setup, nullptr, &none);
}

UsbHostController::Pipe* UsbHostController::FindPipe(USBD_PIPE_HANDLE handle) {
    for (auto& pipe : pipes_) {
        if (pipe.get() == handle) return pipe.get();
    }
    return nullptr;
}

NTSTATUS UsbHostController::AbortPipe(PIRP irp, URB* urb) {
    Pipe* pipe = FindPipe(urb->UrbPipeRequest.PipeHandle);
    if (pipe == nullptr) {
        return CompleteNow(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
    }
    KIRQL old;
    KeAcquireSpinLock(&lock_, &old);
    LIST_ENTRY aborted;
    InitializeListHead(&aborted);
    while (!IsListEmpty(&pipe->queue)) InsertTailList(&aborted, RemoveHeadList(&pipe->queue));
    pipe->nextTick = 0;
    KeReleaseSpinLock(&lock_, old);
    while (!IsListEmpty(&aborted)) {
        PIRP queued = CONTAINING_RECORD(RemoveHeadList(&aborted), IRP, Tail.Overlay.ListEntry);
        IoSetCancelRoutine(queued, nullptr);
        Complete(queued, UrbOf(queued), USBD_STATUS_CANCELED, STATUS_CANCELLED);
    }
    return CompleteNow(irp, urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
}

NTSTATUS UsbHostController::ResetPipe(PIRP irp, URB* urb) {
    Pipe* pipe = FindPipe(urb->UrbPipeRequest.PipeHandle);
    if (pipe == nullptr) {
        return CompleteNow(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
    }
    pipe->nextTick = 0;
    const USB_DEFAULT_PIPE_SETUP_PACKET setup = {
        UsbRequestType(BMREQUEST_HOST_TO_DEVICE, BMREQUEST_STANDARD, BMREQUEST_TO_ENDPOINT),
        USB_REQUEST_CLEAR_FEATURE, 0 /* ENDPOINT_HALT */, pipe->endpointAddress, 0};
    static ULONG none = 0;
    return SubmitControl(irp, setup, nullptr, &none);
}

// --- isochronous transfers ---

NTSTATUS UsbHostController::SubmitIsoch(PIRP irp, URB* urb) {
    auto& t = urb->UrbIsochronousTransfer;
    Pipe* pipe = FindPipe(t.PipeHandle);
    if (pipe == nullptr || pipe->type != USB_ENDPOINT_TYPE_ISOCHRONOUS) {
        return CompleteNow(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
    }
    if (t.NumberOfPackets == 0 || t.NumberOfPackets > 1024 ||
        urb->UrbHeader.Length < offsetof(_URB_ISOCH_TRANSFER, IsoPacket) +
                                    t.NumberOfPackets * sizeof(USBD_ISO_PACKET_DESCRIPTOR)) {
        return CompleteNow(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    }
    IoMarkIrpPending(irp);
    KIRQL old;
    KeAcquireSpinLock(&lock_, &old);
    // ASAP: after the pipe's last transfer, or at the next frame when it is idle.
    const std::int64_t ticksPerFrame = kMillisecond / FrameDuration(device_.Speed());
    const std::int64_t nextFrameTick = (Tick() / ticksPerFrame + 1) * ticksPerFrame;
    const std::int64_t start = std::max(pipe->nextTick, nextFrameTick);
    pipe->nextTick = start + static_cast<std::int64_t>(t.NumberOfPackets) * pipe->periodTicks;
    t.StartFrame = static_cast<ULONG>(start / ticksPerFrame);
    t.ErrorCount = 0;
    for (ULONG i = 0; i < t.NumberOfPackets; ++i) {
        t.IsoPacket[i].Status = USBD_STATUS_ISO_NOT_ACCESSED_BY_HW;
        if (pipe->endpointAddress & 0x80) t.IsoPacket[i].Length = 0;
    }
    irp->Tail.Overlay.DriverContext[kStartTick] =
        reinterpret_cast<PVOID>(static_cast<std::intptr_t>(start));
    irp->Tail.Overlay.DriverContext[kTransferId] =
        reinterpret_cast<PVOID>(static_cast<std::uintptr_t>(nextId_++));
    irp->Tail.Overlay.DriverContext[3] = pipe;
    InsertTailList(&pipe->queue, &irp->Tail.Overlay.ListEntry);
    IoSetCancelRoutine(irp, &CancelIsoch);
    KeReleaseSpinLock(&lock_, old);
    CaptureIsoch(irp, false, USBD_STATUS_PENDING);
    Arm();
    return STATUS_PENDING;
}

void UsbHostController::CancelIsoch(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    UsbHostController& hc = From(device);
    KIRQL old;
    KeAcquireSpinLock(&hc.lock_, &old);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&hc.lock_, old);
    hc.Complete(irp, UrbOf(irp), USBD_STATUS_CANCELED, STATUS_CANCELLED);
}

void UsbHostController::ExchangePacket(Pipe& pipe, PIRP irp, std::int64_t tick) {
    auto& t = UrbOf(irp)->UrbIsochronousTransfer;
    const std::int64_t since = tick - StartTickOf(irp);
    if (since < 0 || since % pipe.periodTicks != 0) return;
    const ULONG i = static_cast<ULONG>(since / pipe.periodTicks);
    if (i >= t.NumberOfPackets) return;
    IsoView view{t};
    USBD_ISO_PACKET_DESCRIPTOR& packet = t.IsoPacket[i];
    const VirtualTime now = TickTime(tick);
    const ULONG room = std::min<ULONG>(view.Room(i), pipe.maxPacketSize);
    bool ok;
    if (pipe.endpointAddress & 0x80) {
        const IsoInResult result =
            device_.IsoIn(pipe.endpointAddress, {view.buffer() + packet.Offset, room}, now);
        ok = result.outcome == IsoOutcome::kOk;
        packet.Length = ok ? static_cast<ULONG>(std::min<std::size_t>(result.bytes, room)) : 0;
    } else {
        const ULONG length = view.Room(i);
        ok = length <= pipe.maxPacketSize &&
             device_.IsoOut(pipe.endpointAddress, {view.buffer() + packet.Offset, length}, now) ==
                 IsoOutcome::kOk;
    }
    packet.Status = ok ? USBD_STATUS_SUCCESS : USBD_STATUS_CRC;
    if (!ok) ++t.ErrorCount;
}

void UsbHostController::FinishIsoch(PIRP irp) {
    URB* urb = UrbOf(irp);
    auto& t = urb->UrbIsochronousTransfer;
    const bool allFailed = t.ErrorCount == t.NumberOfPackets;
    CaptureIsoch(irp, true, allFailed ? USBD_STATUS_ISOCH_REQUEST_FAILED : USBD_STATUS_SUCCESS);
    Complete(irp, urb, allFailed ? USBD_STATUS_ISOCH_REQUEST_FAILED : USBD_STATUS_SUCCESS,
             allFailed ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS);
}

// --- the frame clock ---

void UsbHostController::OnTick() {
    const std::int64_t tick = Tick();
    const VirtualTime now = scheduler_.Now();
    if (!device_.IsConnected(now)) {
        gone_ = true;
        FailEverything(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
        return;
    }
    // Transfers whose last (micro)frame has passed complete first; their completion
    // routines may queue the next ones.
    std::vector<PIRP>& done = finishedScratch_;
    done.clear();
    KIRQL old;
    KeAcquireSpinLock(&lock_, &old);
    for (auto& pipe : pipes_) {
        while (!IsListEmpty(&pipe->queue)) {
            PIRP irp = CONTAINING_RECORD(pipe->queue.Flink, IRP, Tail.Overlay.ListEntry);
            const auto& t = UrbOf(irp)->UrbIsochronousTransfer;
            if (StartTickOf(irp) +
                    static_cast<std::int64_t>(t.NumberOfPackets) * pipe->periodTicks >
                tick)
                break;
            RemoveHeadList(&pipe->queue);
            done.push_back(irp);
        }
    }
    KeReleaseSpinLock(&lock_, old);
    for (PIRP irp : done) {
        if (IoSetCancelRoutine(irp, nullptr) == nullptr) continue;  // being cancelled
        FinishIsoch(irp);
    }
    // Control transfers due now.
    std::vector<ControlTransfer>& due = dueScratch_;
    due.clear();
    KeAcquireSpinLock(&lock_, &old);
    for (auto it = controls_.begin(); it != controls_.end();) {
        if (!it->hung && it->dueTick <= tick) {
            due.push_back(*it);
            it = controls_.erase(it);
        } else {
            ++it;
        }
    }
    KeReleaseSpinLock(&lock_, old);
    for (ControlTransfer& c : due) {
        const bool in = (c.setup.bmRequestType & 0x80) != 0;
        const std::span<const std::uint8_t> outData =
            in || c.buffer == nullptr ? std::span<const std::uint8_t>()
                                      : std::span<const std::uint8_t>(c.buffer, c.setup.wLength);
        const ControlReply reply = device_.Control(c.setup, outData, now);
        if (reply.outcome == ControlOutcome::kNoAnswer) {
            c.hung = true;
            KeAcquireSpinLock(&lock_, &old);
            controls_.push_back(c);
            KeReleaseSpinLock(&lock_, old);
            continue;
        }
        if (IoSetCancelRoutine(c.irp, nullptr) == nullptr) continue;
        USBD_STATUS status = USBD_STATUS_SUCCESS;
        ULONG moved = 0;
        if (reply.outcome == ControlOutcome::kStall) {
            status = USBD_STATUS_STALL_PID;
        } else if (in) {
            moved = static_cast<ULONG>(std::min<std::size_t>(reply.data.size(), c.setup.wLength));
            if (c.buffer != nullptr && moved > 0) std::memcpy(c.buffer, reply.data.data(), moved);
        } else {
            moved = c.setup.wLength;
        }
        *c.transferLength = moved;
        if (capture_) {
            capture_->ControlComplete(c.id, {}, now, c.setup, status, moved,
                                      in ? std::span<const std::uint8_t>(c.buffer, moved)
                                         : std::span<const std::uint8_t>());
        }
        Complete(c.irp, UrbOf(c.irp), status,
                 USBD_SUCCESS(status) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
    }
    // This (micro)frame's packets, pipe by pipe.
    for (auto& pipe : pipes_) {
        for (LIST_ENTRY* e = pipe->queue.Flink; e != &pipe->queue; e = e->Flink) {
            PIRP irp = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
            if (StartTickOf(irp) > tick) break;
            ExchangePacket(*pipe, irp, tick);
        }
    }
    Arm();
}

void UsbHostController::Arm() {
    const std::int64_t tick = Tick();
    std::int64_t next = INT64_MAX;
    for (auto& pipe : pipes_) {
        if (IsListEmpty(&pipe->queue)) continue;
        PIRP irp = CONTAINING_RECORD(pipe->queue.Flink, IRP, Tail.Overlay.ListEntry);
        const std::int64_t start = StartTickOf(irp);
        const auto packets =
            static_cast<std::int64_t>(UrbOf(irp)->UrbIsochronousTransfer.NumberOfPackets);
        // The next packet of the head transfer, or its end.
        std::int64_t candidate = start;
        if (tick >= start) {
            const std::int64_t index = (tick - start) / pipe->periodTicks + 1;
            candidate = start + std::min(index, packets) * pipe->periodTicks;
        }
        next = std::min(next, candidate);
    }
    const std::int64_t ticksPerFrame = kMillisecond / FrameDuration(device_.Speed());
    for (const ControlTransfer& c : controls_) {
        // A request the device does not answer waits for its cancel; the bus still
        // looks each frame for the device having gone, which fails it.
        next = std::min(next, c.hung ? (tick / ticksPerFrame + 1) * ticksPerFrame
                                     : std::max(c.dueTick, tick + 1));
    }
    if (next == INT64_MAX) {
        frameTimer_.Cancel();
        return;
    }
    if (next <= tick) next = tick + 1;
    const VirtualTime due = TickTime(next);
    if (!frameTimer_.IsArmed() || frameTimer_.Due() != due) frameTimer_.Start(due);
}

// --- completion ---

void UsbHostController::Complete(PIRP irp, URB* urb, USBD_STATUS status, NTSTATUS ntStatus) {
    urb->UrbHeader.Status = status;
    irp->IoStatus.Status = ntStatus;
    irp->IoStatus.Information = 0;
    ++completed_;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    KeLowerIrql(old);
}

NTSTATUS UsbHostController::CompleteNow(PIRP irp, URB* urb, USBD_STATUS status, NTSTATUS ntStatus) {
    Complete(irp, urb, status, ntStatus);
    return ntStatus;
}

void UsbHostController::FailEverything(NTSTATUS status, USBD_STATUS usbdStatus) {
    std::vector<PIRP> failed;
    KIRQL old;
    KeAcquireSpinLock(&lock_, &old);
    for (auto& pipe : pipes_) {
        while (!IsListEmpty(&pipe->queue)) {
            failed.push_back(
                CONTAINING_RECORD(RemoveHeadList(&pipe->queue), IRP, Tail.Overlay.ListEntry));
        }
    }
    for (const ControlTransfer& c : controls_) failed.push_back(c.irp);
    controls_.clear();
    KeReleaseSpinLock(&lock_, old);
    for (PIRP irp : failed) {
        if (IoSetCancelRoutine(irp, nullptr) == nullptr) continue;
        Complete(irp, UrbOf(irp), usbdStatus, status);
    }
}

// --- capture ---

void UsbHostController::StartCapture(std::ostream* out) {
    if (out == nullptr) {
        capture_.reset();
        return;
    }
    capture_ = std::make_unique<PcapWriter>(*out);
    // Readers learn what the interfaces are only from the descriptors, so a capture
    // begins with them, read afresh from the device.
    const VirtualTime now = scheduler_.Now();
    for (UCHAR type : {USB_DEVICE_DESCRIPTOR_TYPE, USB_CONFIGURATION_DESCRIPTOR_TYPE}) {
        USB_DEFAULT_PIPE_SETUP_PACKET setup = {
            UsbRequestType(BMREQUEST_DEVICE_TO_HOST, BMREQUEST_STANDARD, BMREQUEST_TO_DEVICE),
            USB_REQUEST_GET_DESCRIPTOR, static_cast<USHORT>(type << 8), 0, 0xFFFF};
        if (type == USB_DEVICE_DESCRIPTOR_TYPE) setup.wLength = sizeof(USB_DEVICE_DESCRIPTOR);
        const ControlReply reply = device_.Control(setup, {}, now);
        if (reply.outcome != ControlOutcome::kAck) continue;
        const std::uint64_t id = nextId_++;
        capture_->ControlSubmit(id, {}, now, setup, {});
        capture_->ControlComplete(id, {}, now, setup, USBD_STATUS_SUCCESS,
                                  static_cast<ULONG>(reply.data.size()), reply.data);
    }
}

void UsbHostController::CaptureIsoch(PIRP irp, bool completion, USBD_STATUS status) {
    if (!capture_) return;
    auto& t = UrbOf(irp)->UrbIsochronousTransfer;
    auto* pipe = static_cast<Pipe*>(irp->Tail.Overlay.DriverContext[3]);
    std::vector<CapturedIsoPacket> packets(t.NumberOfPackets);
    ULONG moved = 0;
    for (ULONG i = 0; i < t.NumberOfPackets; ++i) {
        const bool in = (pipe->endpointAddress & 0x80) != 0;
        const ULONG length =
            in ? (completion ? t.IsoPacket[i].Length : IsoView{t}.Room(i)) : IsoView{t}.Room(i);
        packets[i] = {t.IsoPacket[i].Offset, length,
                      completion ? t.IsoPacket[i].Status : USBD_STATUS_SUCCESS};
        moved += length;
    }
    CapturedIsoTransfer transfer{pipe->endpointAddress,
                                 t.TransferFlags,
                                 static_cast<LONG>(pipe->periodTicks),
                                 t.StartFrame,
                                 completion ? moved : t.TransferBufferLength,
                                 t.ErrorCount,
                                 packets};
    const auto id = reinterpret_cast<std::uintptr_t>(irp->Tail.Overlay.DriverContext[kTransferId]);
    const std::span<const std::uint8_t> buffer(static_cast<std::uint8_t*>(t.TransferBuffer),
                                               t.TransferBufferLength);
    if (completion) {
        capture_->IsoComplete(id, {}, scheduler_.Now(), status, transfer, buffer);
    } else {
        capture_->IsoSubmit(id, {}, scheduler_.Now(), transfer, buffer);
    }
}

}  // namespace platform
