#include "platform/usb/host_controller.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/io/io_fixture.h"
#include "platform/usb/bus_interface.h"
#include "platform/usb/usbd_helpers.h"
#include "sim/device/audio_device.h"
#include "sim/device/default_device.h"

namespace platform::testing {
namespace {

namespace dd = sim::default_device;

// A request in flight: its IRP, the event its completion sets, and what the
// completion saw.
struct Request {
    PIRP irp = nullptr;
    KEVENT done;
    VirtualTime completedAt = -1;
    KIRQL completionIrql = 0xFF;
    NTSTATUS status = STATUS_PENDING;
};

NTSTATUS OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* request = static_cast<Request*>(context);
    request->completedAt = static_cast<VirtualTime>(KeQueryInterruptTime());
    request->completionIrql = KeGetCurrentIrql();
    request->status = irp->IoStatus.Status;
    KeSetEvent(&request->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;  // the test keeps and frees the IRP
}

void BuildDeviceDescriptorRequest(URB& urb, USB_DEVICE_DESCRIPTOR& device) {
    UsbBuildGetDescriptorRequest(&urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &device, nullptr, sizeof device,
                                 nullptr);
}

class HostControllerTest : public IoTest {
  protected:
    void Start(UsbSpeed speed) {
        device_ = std::make_unique<sim::AudioDevice>(speed, 0);
        hc_ = std::make_unique<UsbHostController>(*device_);
    }
    ~HostControllerTest() override {
        scheduler_.Shutdown();
        hc_.reset();
    }

    void Send(Request& request, URB* urb) {
        KeInitializeEvent(&request.done, NotificationEvent, FALSE);
        request.irp = IoAllocateIrp(hc_->DeviceObject()->StackSize, FALSE);
        ASSERT_NE(request.irp, nullptr);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(request.irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = urb;
        IoSetCompletionRoutine(request.irp, &OnComplete, &request, TRUE, TRUE, TRUE);
        IoCallDriver(hc_->DeviceObject(), request.irp);
    }
    NTSTATUS Wait(Request& request) {
        KeWaitForSingleObject(&request.done, Executive, KernelMode, FALSE, nullptr);
        IoFreeIrp(request.irp);
        request.irp = nullptr;
        return request.status;
    }
    NTSTATUS SendAndWait(URB* urb) {
        Request request;
        Send(request, urb);
        return Wait(request);
    }

    // Configures the device and selects `alternate` on the playback interface; gives
    // the data pipe's handle.
    USBD_PIPE_HANDLE SelectPlayback(UCHAR alternate) {
        configuration_.resize(1024);
        URB descriptor{};
        UsbBuildGetDescriptorRequest(&descriptor, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                                     USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, configuration_.data(),
                                     nullptr, static_cast<ULONG>(configuration_.size()), nullptr);
        EXPECT_EQ(Nt{SendAndWait(&descriptor)}, Nt{STATUS_SUCCESS});
        auto* config = reinterpret_cast<USB_CONFIGURATION_DESCRIPTOR*>(configuration_.data());
        USBD_INTERFACE_LIST_ENTRY list[] = {
            {USBD_ParseConfigurationDescriptorEx(
                 config, descriptor.UrbControlDescriptorRequest.TransferBufferLength, config,
                 dd::kPlaybackInterface, 0, -1, -1, -1),
             nullptr},
            {nullptr, nullptr}};
        URB* select = USBD_CreateConfigurationRequestEx(config, list);
        EXPECT_EQ(Nt{SendAndWait(select)}, Nt{STATUS_SUCCESS});
        ExFreePool(select);

        std::vector<std::uint8_t> bytes(GET_SELECT_INTERFACE_REQUEST_SIZE(2));
        URB* iface = reinterpret_cast<URB*>(bytes.data());
        iface->UrbHeader.Length = static_cast<USHORT>(bytes.size());
        iface->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
        iface->UrbSelectInterface.Interface.Length =
            static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(2));
        iface->UrbSelectInterface.Interface.InterfaceNumber = dd::kPlaybackInterface;
        iface->UrbSelectInterface.Interface.AlternateSetting = alternate;
        EXPECT_EQ(Nt{SendAndWait(iface)}, Nt{STATUS_SUCCESS});
        EXPECT_EQ(iface->UrbSelectInterface.Interface.NumberOfPipes, 2u);
        EXPECT_EQ(device_->AlternateSetting(dd::kPlaybackInterface), alternate);
        return iface->UrbSelectInterface.Interface.Pipes[0].PipeHandle;
    }

    // An isochronous OUT transfer of `packets` packets of `bytesPerPacket`.
    struct IsoTransfer {
        std::vector<std::uint8_t> urbBytes;
        std::vector<std::uint8_t> data;
        URB* urb() { return reinterpret_cast<URB*>(urbBytes.data()); }
    };
    static IsoTransfer MakeIso(USBD_PIPE_HANDLE pipe, ULONG packets, ULONG bytesPerPacket,
                               bool in = false) {
        IsoTransfer t;
        t.urbBytes.resize(GET_ISO_URB_SIZE(packets));
        t.data.resize(packets * bytesPerPacket);
        auto& u = t.urb()->UrbIsochronousTransfer;
        u.Hdr.Length = static_cast<USHORT>(t.urbBytes.size());
        u.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
        u.PipeHandle = pipe;
        u.TransferFlags = USBD_START_ISO_TRANSFER_ASAP | (in ? USBD_TRANSFER_DIRECTION_IN : 0);
        u.TransferBuffer = t.data.data();
        u.TransferBufferLength = static_cast<ULONG>(t.data.size());
        u.NumberOfPackets = packets;
        for (ULONG i = 0; i < packets; ++i) u.IsoPacket[i].Offset = i * bytesPerPacket;
        return t;
    }

    std::unique_ptr<sim::AudioDevice> device_;
    std::unique_ptr<UsbHostController> hc_;
    std::vector<std::uint8_t> configuration_;
};

TEST_F(HostControllerTest, DescriptorsAndTheBusInterface) {
    Start(UsbSpeed::kHigh);
    RunOk([&] {
        USB_DEVICE_DESCRIPTOR device{};
        URB urb{};
        BuildDeviceDescriptorRequest(urb, device);
        Request request;
        Send(request, &urb);
        EXPECT_EQ(Nt{Wait(request)}, Nt{STATUS_SUCCESS});
        EXPECT_EQ(device.idVendor, 0x2E4A);
        EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 18u);
        EXPECT_EQ(request.completionIrql, DISPATCH_LEVEL);
        EXPECT_EQ(request.completedAt, 125 * kMicrosecond) << "at the next microframe";

        USB_BUS_INTERFACE_USBDI_V1 bus{};
        PIRP irp = IoAllocateIrp(hc_->DeviceObject()->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_PNP;
        next->MinorFunction = IRP_MN_QUERY_INTERFACE;
        next->Parameters.QueryInterface.InterfaceType = &USB_BUS_INTERFACE_USBDI_GUID;
        next->Parameters.QueryInterface.Size = sizeof bus;
        next->Parameters.QueryInterface.Version = USB_BUSIF_USBDI_VERSION_1;
        next->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&bus);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        Request query;
        KeInitializeEvent(&query.done, NotificationEvent, FALSE);
        query.irp = irp;
        IoSetCompletionRoutine(irp, &OnComplete, &query, TRUE, TRUE, TRUE);
        IoCallDriver(hc_->DeviceObject(), irp);
        EXPECT_EQ(Nt{Wait(query)}, Nt{STATUS_SUCCESS});
        ASSERT_NE(bus.IsDeviceHighSpeed, nullptr);
        EXPECT_TRUE(bus.IsDeviceHighSpeed(bus.BusContext));
        LARGE_INTEGER delay{.QuadPart = -5 * kMillisecond};
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        ULONG frame = 0;
        EXPECT_EQ(bus.QueryBusTime(bus.BusContext, &frame), STATUS_SUCCESS);
        EXPECT_EQ(frame, 5u);
    });
}

struct TimingCase {
    UsbSpeed speed;
    ULONG packets;  // per 1 ms transfer
    ULONG bytes;    // per packet: 48 kHz, 16-bit stereo
};

class IsochronousTiming : public HostControllerTest,
                          public ::testing::WithParamInterface<TimingCase> {};

TEST_P(IsochronousTiming, TransfersTakeOneMillisecondAndFollowEachOther) {
    const TimingCase c = GetParam();
    Start(c.speed);
    RunOk([&] {
        USBD_PIPE_HANDLE pipe = SelectPlayback(1);
        LARGE_INTEGER delay{.QuadPart = -(3 * kMillisecond + 300 * kMicrosecond)};
        KeDelayExecutionThread(KernelMode, FALSE, &delay);  // mid-frame, idle pipe
        IsoTransfer t[3] = {MakeIso(pipe, c.packets, c.bytes), MakeIso(pipe, c.packets, c.bytes),
                            MakeIso(pipe, c.packets, c.bytes)};
        Request r[3];
        for (int i = 0; i < 3; ++i) Send(r[i], t[i].urb());
        const VirtualTime submitted = static_cast<VirtualTime>(KeQueryInterruptTime());
        for (int i = 0; i < 3; ++i) EXPECT_EQ(Nt{Wait(r[i])}, Nt{STATUS_SUCCESS});
        const VirtualTime firstFrame = (submitted / kMillisecond + 1) * kMillisecond;
        for (int i = 0; i < 3; ++i) {
            // The idle pipe starts at the next frame; each transfer ends 1 ms after it
            // starts, and the next begins where it ended.
            EXPECT_EQ(r[i].completedAt, firstFrame + (i + 1) * kMillisecond) << i;
            EXPECT_EQ(t[i].urb()->UrbIsochronousTransfer.StartFrame,
                      static_cast<ULONG>(firstFrame / kMillisecond + i));
            EXPECT_EQ(r[i].completionIrql, DISPATCH_LEVEL);
            for (ULONG p = 0; p < c.packets; ++p) {
                EXPECT_EQ(t[i].urb()->UrbIsochronousTransfer.IsoPacket[p].Status,
                          USBD_STATUS_SUCCESS);
            }
        }
    });
    EXPECT_EQ(device_->Dac().Counters().framesReceived, 3u * c.packets * c.bytes / 4);
}

INSTANTIATE_TEST_SUITE_P(BothSpeeds, IsochronousTiming,
                         ::testing::Values(TimingCase{UsbSpeed::kHigh, 8, 24},
                                           TimingCase{UsbSpeed::kFull, 1, 192}));

TEST_F(HostControllerTest, AbortCancelsEveryQueuedTransfer) {
    Start(UsbSpeed::kHigh);
    RunOk([&] {
        USBD_PIPE_HANDLE pipe = SelectPlayback(1);
        IsoTransfer t[4] = {MakeIso(pipe, 8, 24), MakeIso(pipe, 8, 24), MakeIso(pipe, 8, 24),
                            MakeIso(pipe, 8, 24)};
        Request r[4];
        for (int i = 0; i < 4; ++i) Send(r[i], t[i].urb());
        URB abort{};
        UsbBuildPipeRequest(&abort, URB_FUNCTION_ABORT_PIPE, pipe);
        EXPECT_EQ(Nt{SendAndWait(&abort)}, Nt{STATUS_SUCCESS});
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(Nt{Wait(r[i])}, Nt{STATUS_CANCELLED}) << i;
            EXPECT_EQ(t[i].urb()->UrbHeader.Status, USBD_STATUS_CANCELED);
        }
        // The pipe is idle again: a new transfer starts at the next frame.
        IsoTransfer again = MakeIso(pipe, 8, 24);
        EXPECT_EQ(Nt{SendAndWait(again.urb())}, Nt{STATUS_SUCCESS});
    });
}

TEST_F(HostControllerTest, ARequestTheDeviceNeverAnswersStaysPendingUntilCancelled) {
    Start(UsbSpeed::kHigh);
    device_->Faults().IgnoreRequest({.bRequest = USB_REQUEST_GET_DESCRIPTOR});
    RunOk([&] {
        USB_DEVICE_DESCRIPTOR device{};
        URB urb{};
        BuildDeviceDescriptorRequest(urb, device);
        Request request;
        Send(request, &urb);
        LARGE_INTEGER timeout{.QuadPart = -10 * kSecond};
        EXPECT_EQ(Nt{KeWaitForSingleObject(&request.done, Executive, KernelMode, FALSE, &timeout)},
                  Nt{STATUS_TIMEOUT});
        EXPECT_TRUE(IoCancelIrp(request.irp));
        EXPECT_EQ(Nt{Wait(request)}, Nt{STATUS_CANCELLED});
        EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);

        // One left hanging when the device goes fails then.
        Request orphan;
        Send(orphan, &urb);
        const VirtualTime gone =
            static_cast<VirtualTime>(KeQueryInterruptTime()) + 3 * kMillisecond;
        device_->Disconnect(gone);
        EXPECT_EQ(Nt{Wait(orphan)}, Nt{STATUS_DEVICE_NOT_CONNECTED});
        EXPECT_LE(orphan.completedAt, gone + kMillisecond);
    });
}

TEST_F(HostControllerTest, AStalledRequestFails) {
    Start(UsbSpeed::kFull);
    device_->Faults().StallRequest({.bRequest = USB_REQUEST_GET_DESCRIPTOR});
    RunOk([&] {
        USB_DEVICE_DESCRIPTOR device{};
        URB urb{};
        BuildDeviceDescriptorRequest(urb, device);
        EXPECT_EQ(Nt{SendAndWait(&urb)}, Nt{STATUS_UNSUCCESSFUL});
        EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
    });
}

TEST_F(HostControllerTest, DisconnectFailsWhatIsPendingAndWhatComesAfter) {
    Start(UsbSpeed::kHigh);
    RunOk([&] {
        USBD_PIPE_HANDLE pipe = SelectPlayback(2);
        const VirtualTime now = static_cast<VirtualTime>(KeQueryInterruptTime());
        device_->Disconnect(now + 2 * kMillisecond + 500 * kMicrosecond);
        IsoTransfer t[5] = {MakeIso(pipe, 8, 36), MakeIso(pipe, 8, 36), MakeIso(pipe, 8, 36),
                            MakeIso(pipe, 8, 36), MakeIso(pipe, 8, 36)};
        Request r[5];
        for (int i = 0; i < 5; ++i) Send(r[i], t[i].urb());
        int failed = 0;
        for (int i = 0; i < 5; ++i) {
            if (Wait(r[i]) == STATUS_DEVICE_NOT_CONNECTED) ++failed;
        }
        EXPECT_GE(failed, 3) << "transfers after the disconnect fail";
        EXPECT_EQ(Nt{r[4].status}, Nt{STATUS_DEVICE_NOT_CONNECTED});
        IsoTransfer late = MakeIso(pipe, 8, 36);
        EXPECT_EQ(Nt{SendAndWait(late.urb())}, Nt{STATUS_DEVICE_NOT_CONNECTED});
    });
}

std::string Shell(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r")) {
        char chunk[4096];
        while (std::size_t n = std::fread(chunk, 1, sizeof chunk, pipe)) out.append(chunk, n);
        pclose(pipe);
    }
    return out;
}

TEST_F(HostControllerTest, ACaptureStartsWithTheDescriptorsAndTsharkDecodesIt) {
    if (Shell("command -v tshark").empty()) GTEST_SKIP() << "tshark is not installed";
    const std::string path = ::testing::TempDir() + "kaldrit_host_controller.pcap";
    Start(UsbSpeed::kHigh);
    {
        std::ofstream file(path, std::ios::binary);
        RunOk([&] {
            USBD_PIPE_HANDLE pipe = SelectPlayback(1);
            hc_->StartCapture(&file);  // after enumeration: the descriptors come first anyway
            IsoTransfer t = MakeIso(pipe, 8, 24);
            for (std::size_t k = 0; k < t.data.size(); ++k)
                t.data[k] = static_cast<std::uint8_t>(k);
            EXPECT_EQ(Nt{SendAndWait(t.urb())}, Nt{STATUS_SUCCESS});
            hc_->StartCapture(nullptr);
        });
    }
    EXPECT_EQ(Shell("tshark -r " + path + " -Y _ws.malformed"), "") << "malformed frames";
    const std::string vendors = Shell("tshark -r " + path + " -T fields -e usb.idVendor");
    EXPECT_NE(vendors.find("0x2e4a"), std::string::npos) << vendors;
    const std::string iso =
        Shell("tshark -r " + path +
              " -Y 'usb.transfer_type == 0' -T fields -e usb.iso.numdesc -e usb.iso.iso_len");
    EXPECT_NE(iso.find("8\t24,24,24,24,24,24,24,24"), std::string::npos) << iso;
    std::remove(path.c_str());
}

}  // namespace
}  // namespace platform::testing
