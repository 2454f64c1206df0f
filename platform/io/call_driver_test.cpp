#include <string>
#include <vector>

#include "platform/io/io_fixture.h"
#include "platform/io/sender_test_util.h"
#include "platform/io/test_stack.h"

namespace platform::testing {
namespace {

constexpr VirtualTime kBusLatency = 125 * kMicrosecond;  // one high-speed microframe

struct Urb {
    int marker = 0;
};

class CallDriver : public IoTest {
  protected:
    // Fibers still alive unwind while the bus exists.
    ~CallDriver() override { scheduler_.Shutdown(); }

    NTSTATUS Wait(KEVENT* event) {
        return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
    }

    TestBus bus_{scheduler_, kBusLatency};
    CallLog log_;
};

// The way a driver waits for an internal request: built with an event, sent, waited
// for when pending. The bus's final status, whatever it is, reaches the caller's block.
TEST_F(CallDriver, ABuiltRequestIsWaitedForAndReportsTheBusStatus) {
    for (const NTSTATUS busStatus : {STATUS_SUCCESS, STATUS_DEVICE_NOT_CONNECTED}) {
        SCOPED_TRACE(NtStatusName(busStatus));
        bus_.status = busStatus;
        bus_.information = 42;
        bus_.received.clear();
        RunOk([&] {
            const VirtualTime start = scheduler_.Now();
            Urb urb;
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            IO_STATUS_BLOCK iosb{STATUS_PENDING, 0};
            IRP* irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, bus_.device(),
                                                     nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
            ASSERT_NE(irp, nullptr);
            IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
            EXPECT_EQ(Nt(IoCallDriver(bus_.device(), irp)), Nt(STATUS_PENDING));
            EXPECT_EQ(Nt(iosb.Status), Nt(STATUS_PENDING));  // nothing is reported early
            EXPECT_EQ(Nt(Wait(&event)), Nt(STATUS_SUCCESS));
            EXPECT_EQ(Nt(iosb.Status), Nt(busStatus));
            EXPECT_EQ(iosb.Information, 42u);
            EXPECT_EQ(scheduler_.Now() - start, kBusLatency);
        });
        ASSERT_EQ(bus_.received.size(), 1u);
        const IO_STACK_LOCATION& seen = bus_.received[0];
        EXPECT_EQ(seen.MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
        EXPECT_EQ(seen.Parameters.DeviceIoControl.IoControlCode, 0x00220003u);
        EXPECT_NE(seen.Parameters.Others.Argument1, nullptr);
        EXPECT_EQ(seen.DeviceObject, bus_.device());
        // The I/O manager freed its IRP at completion.
        EXPECT_EQ(io_.LiveIrps(), 0u);
        EXPECT_EQ(kernel_.pool().Counters(kIrpPoolTag).blocksOutstanding(), 0u);
    }
}

// A major function the driver left alone reaches the I/O manager's default.
TEST_F(CallDriver, AMajorFunctionADriverDoesNotHandleIsAnInvalidDeviceRequest) {
    DRIVER_OBJECT bare;
    RunOk([&] {
        DEVICE_OBJECT* device = nullptr;
        ASSERT_EQ(Nt(IoCreateDevice(&bare, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device)),
                  Nt(STATUS_SUCCESS));
        IRP* irp = IoAllocateIrp(device->StackSize, FALSE);
        ASSERT_NE(irp, nullptr);
        TestSender sender(device, log_);
        EXPECT_EQ(Nt(sender.Send(irp, nullptr)), Nt(STATUS_INVALID_DEVICE_REQUEST));
        EXPECT_EQ(Nt(sender.lastStatus), Nt(STATUS_INVALID_DEVICE_REQUEST));
        IoFreeIrp(irp);
        IoDeleteDevice(device);
    });
}

// Three drivers: each routine runs as the request comes back up, bottom first, at
// the bus's DISPATCH_LEVEL, given the device of the driver that set it; the bus's
// pending return reaches every one of them.
TEST_F(CallDriver, CompletionRoutinesRunBottomUpAtTheCompletersIrqlWithTheirOwnDevice) {
    TestLayer function("function", bus_.device(), log_);
    TestLayer filter("filter", bus_.device(), log_);  // attaches on top of function
    EXPECT_EQ(bus_.device()->StackSize, 1);
    EXPECT_EQ(function.device()->StackSize, 2);
    EXPECT_EQ(filter.device()->StackSize, 3);
    EXPECT_EQ(filter.lower(), function.device());
    RunOk([&] {
        IRP* irp = IoAllocateIrp(filter.device()->StackSize, FALSE);
        ASSERT_NE(irp, nullptr);
        TestSender sender(filter.device(), log_);
        EXPECT_EQ(Nt(sender.Send(irp, nullptr)), Nt(STATUS_PENDING));
        EXPECT_TRUE(log_.empty());
        EXPECT_EQ(Nt(Wait(&sender.done)), Nt(STATUS_SUCCESS));
        IoFreeIrp(irp);
    });
    EXPECT_EQ(log_, (CallLog{"function (own device) at DISPATCH_LEVEL, pending",
                             "filter (own device) at DISPATCH_LEVEL, pending",
                             "sender (no device) at DISPATCH_LEVEL, pending"}));
}

// PendingReturned reaches the sender whether the drivers between pass it on in their
// routines or skip their locations; a request completed inside the dispatch routine
// is not pending anywhere.
TEST_F(CallDriver, PendingReturnedReachesTheSenderThroughRoutinesAndSkippedLocations) {
    struct Case {
        bool middleSkips;
        bool busPends;
        CallLog expected;
    };
    const Case cases[] = {
        {false,
         true,
         {"middle (own device) at DISPATCH_LEVEL, pending",
          "sender (no device) at DISPATCH_LEVEL, pending"}},
        {true, true, {"sender (no device) at DISPATCH_LEVEL, pending"}},
        {false,
         false,
         {"middle (own device) at PASSIVE_LEVEL", "sender (no device) at PASSIVE_LEVEL"}},
        {true, false, {"sender (no device) at PASSIVE_LEVEL"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.middleSkips ? "skipping" : "copying") + " middle, bus " +
                     (c.busPends ? "pends" : "completes at once"));
        CallLog log;
        TestLayer middle("middle", bus_.device(), log);
        middle.skip = c.middleSkips;
        bus_.completeAtOnce = !c.busPends;
        RunOk([&] {
            IRP* irp = IoAllocateIrp(middle.device()->StackSize, FALSE);
            ASSERT_NE(irp, nullptr);
            TestSender sender(middle.device(), log);
            const NTSTATUS sent = sender.Send(irp, nullptr);
            EXPECT_EQ(Nt(sent), Nt(c.busPends ? STATUS_PENDING : STATUS_SUCCESS));
            EXPECT_EQ(Nt(Wait(&sender.done)), Nt(STATUS_SUCCESS));
            IoFreeIrp(irp);
        });
        EXPECT_EQ(log, c.expected);
    }
}

// The streaming path's pattern: the sender's routine keeps the IRP, reuses it and
// sends it again from DISPATCH_LEVEL. A thousand rounds allocate nothing at all.
TEST_F(CallDriver, AnIrpCirculatingAThousandTimesAllocatesNothing) {
    constexpr int kRounds = 1000;
    RunOk([&] {
        IRP* irp = IoAllocateIrp(static_cast<CHAR>(bus_.device()->StackSize + 1), FALSE);
        ASSERT_NE(irp, nullptr);
        Urb urb;
        TestSender sender(bus_.device(), log_);
        sender.resubmissions = kRounds - 1;
        const TagCounters irpsBefore = kernel_.pool().Counters(kIrpPoolTag);
        const std::uint64_t allocationsBefore = kernel_.pool().TotalAllocations();
        const VirtualTime start = scheduler_.Now();
        EXPECT_EQ(Nt(sender.Send(irp, &urb)), Nt(STATUS_PENDING));
        EXPECT_EQ(Nt(Wait(&sender.done)), Nt(STATUS_SUCCESS));
        EXPECT_EQ(sender.completions, kRounds);
        EXPECT_EQ(scheduler_.Now() - start, kRounds * kBusLatency);
        EXPECT_EQ(kernel_.pool().Counters(kIrpPoolTag), irpsBefore);
        EXPECT_EQ(kernel_.pool().TotalAllocations(), allocationsBefore);
        IoFreeIrp(irp);
    });
    ASSERT_EQ(bus_.received.size(), static_cast<std::size_t>(kRounds));
    EXPECT_EQ(bus_.received.back().Parameters.Others.Argument1,
              bus_.received.front().Parameters.Others.Argument1);
}

// Which completions reach a routine, by the flags it was set with. A cancelled
// request fails (STATUS_CANCELLED), so error routines see it too; a request the bus
// completes after a cancel came too late still counts as cancelled.
TEST_F(CallDriver, CompletionRoutinesRunForTheOutcomesTheirFlagsName) {
    enum class Outcome { kStatus, kCancelQueued, kCancelTooLate };
    struct Case {
        const char* what;
        bool onSuccess, onError, onCancel;
        NTSTATUS busStatus;
        Outcome outcome;
        bool invoked;
        NTSTATUS finalStatus;
    };
    const Case cases[] = {
        {"success to success", true, false, false, STATUS_SUCCESS, Outcome::kStatus, true,
         STATUS_SUCCESS},
        {"success to error", false, true, false, STATUS_SUCCESS, Outcome::kStatus, false,
         STATUS_SUCCESS},
        {"success to cancel", false, false, true, STATUS_SUCCESS, Outcome::kStatus, false,
         STATUS_SUCCESS},
        {"error to error", false, true, false, STATUS_DEVICE_NOT_CONNECTED, Outcome::kStatus, true,
         STATUS_DEVICE_NOT_CONNECTED},
        {"error to success", true, false, false, STATUS_DEVICE_NOT_CONNECTED, Outcome::kStatus,
         false, STATUS_DEVICE_NOT_CONNECTED},
        {"error is no cancel", false, false, true, STATUS_DEVICE_NOT_CONNECTED, Outcome::kStatus,
         false, STATUS_DEVICE_NOT_CONNECTED},
        // A warning status is not a success.
        {"warning to success", true, false, false, STATUS_BUFFER_OVERFLOW, Outcome::kStatus, false,
         STATUS_BUFFER_OVERFLOW},
        {"warning to error", false, true, false, STATUS_BUFFER_OVERFLOW, Outcome::kStatus, true,
         STATUS_BUFFER_OVERFLOW},
        {"cancel to cancel", false, false, true, STATUS_SUCCESS, Outcome::kCancelQueued, true,
         STATUS_CANCELLED},
        {"cancel to error", false, true, false, STATUS_SUCCESS, Outcome::kCancelQueued, true,
         STATUS_CANCELLED},
        {"cancel to success", true, false, false, STATUS_SUCCESS, Outcome::kCancelQueued, false,
         STATUS_CANCELLED},
        {"late cancel to cancel", false, false, true, STATUS_SUCCESS, Outcome::kCancelTooLate, true,
         STATUS_SUCCESS},
        {"late cancel to error", false, true, false, STATUS_SUCCESS, Outcome::kCancelTooLate, false,
         STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CallLog log;
        TestLayer probe("probe", bus_.device(), log);
        probe.onSuccess = c.onSuccess;
        probe.onError = c.onError;
        probe.onCancel = c.onCancel;
        bus_.status = c.busStatus;
        bus_.cancellable = c.outcome != Outcome::kCancelTooLate;
        IO_STATUS_BLOCK iosb{STATUS_PENDING, 0};
        RunOk([&] {
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            IRP* irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, probe.device(),
                                                     nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
            ASSERT_NE(irp, nullptr);
            EXPECT_EQ(Nt(IoCallDriver(probe.device(), irp)), Nt(STATUS_PENDING));
            if (c.outcome != Outcome::kStatus) {
                EXPECT_EQ(IoCancelIrp(irp), c.outcome == Outcome::kCancelQueued ? TRUE : FALSE);
            }
            EXPECT_EQ(Nt(Wait(&event)), Nt(STATUS_SUCCESS));
        });
        EXPECT_EQ(Nt(iosb.Status), Nt(c.finalStatus));
        EXPECT_EQ(log.size(), c.invoked ? 1u : 0u);
    }
}

}  // namespace
}  // namespace platform::testing
