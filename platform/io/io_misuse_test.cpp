#include <functional>
#include <string>

#include "platform/io/io_fixture.h"
#include "platform/io/sender_test_util.h"
#include "platform/io/test_stack.h"

namespace platform::testing {
namespace {

// The stack each misuse runs on: the bus, a pass-through driver on it, and a rogue
// driver whose dispatch routine each case writes.
struct Stack {
    TestBus& bus;
    TestLayer& middle;
    DRIVER_OBJECT& rogue;
    DEVICE_OBJECT* rogueDevice;
    CallLog& log;
};

struct MisuseCase {
    const char* name;
    Violation violation;
    const char* fragment;  // of the report
    void (*body)(Stack&);

    friend void PrintTo(const MisuseCase& c, std::ostream* os) { *os << c.name; }
};

// Sends a fresh IRP of `stackSize` to `device`, without a completion routine.
IRP* SendFresh(DEVICE_OBJECT* device, CHAR stackSize) {
    IRP* irp = IoAllocateIrp(stackSize, FALSE);
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    (void)IoCallDriver(device, irp);
    return irp;
}

const MisuseCase kCases[] = {
    {"FreeWhilePendingBelow", Violation::kIoMisuse,
     "IoFreeIrp of an IRP still held by driver 'bus'",
     [](Stack& s) {
         IRP* irp = SendFresh(s.bus.device(), 1);
         IoFreeIrp(irp);
     }},
    {"ReuseWhilePendingBelow", Violation::kIoMisuse,
     "IoReuseIrp of an IRP still held by driver 'bus'",
     [](Stack& s) { IoReuseIrp(SendFresh(s.bus.device(), 1), STATUS_SUCCESS); }},
    {"FreeTwice", Violation::kIoMisuse, "IoFreeIrp of memory that is no live IRP",
     [](Stack&) {
         IRP* irp = IoAllocateIrp(1, FALSE);
         IoFreeIrp(irp);
         IoFreeIrp(irp);
     }},
    {"FreeABuiltRequest", Violation::kIoMisuse, "the I/O manager frees it",
     [](Stack& s) {
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, FALSE);
         IO_STATUS_BLOCK iosb;
         IoFreeIrp(IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, s.bus.device(),
                                                 nullptr, 0, nullptr, 0, TRUE, &event, &iosb));
     }},
    {"TooFewStackLocations", Violation::kIoMisuse,
     "no more IRP stack locations: IoGetNextIrpStackLocation on an IRP of 1",
     [](Stack& s) { SendFresh(s.middle.device(), 1); }},
    {"CallDriverWithNoLocationLeft", Violation::kIoMisuse,
     "no more IRP stack locations: IoCallDriver to a device of stack size 1 on an IRP of 1",
     [](Stack& s) {
         IRP* irp = IoAllocateIrp(1, FALSE);
         IoSetNextIrpStackLocation(irp);  // the allocator claims the only location
         (void)IoCallDriver(s.bus.device(), irp);
     }},
    {"CompletedTwice", Violation::kIoMisuse, "completed twice?",
     [](Stack& s) {
         s.rogue.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [](DEVICE_OBJECT*, IRP* irp) {
             irp->IoStatus.Status = STATUS_SUCCESS;
             IoCompleteRequest(irp, IO_NO_INCREMENT);
             IoCompleteRequest(irp, IO_NO_INCREMENT);
             return STATUS_SUCCESS;
         };
         TestSender sender(s.rogueDevice, s.log);
         (void)sender.Send(IoAllocateIrp(1, FALSE), nullptr);
     }},
    {"CompletedWithStatusPending", Violation::kIoMisuse, "with STATUS_PENDING",
     [](Stack& s) {
         s.rogue.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [](DEVICE_OBJECT*, IRP* irp) {
             irp->IoStatus.Status = STATUS_PENDING;
             IoCompleteRequest(irp, IO_NO_INCREMENT);
             return STATUS_PENDING;
         };
         SendFresh(s.rogueDevice, 1);
     }},
    {"CompletedWithItsCancelRoutineSet", Violation::kIoMisuse, "cancel routine is still set",
     [](Stack& s) {
         s.rogue.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [](DEVICE_OBJECT*, IRP* irp) {
             IoSetCancelRoutine(irp, [](DEVICE_OBJECT*, IRP*) {});
             irp->IoStatus.Status = STATUS_SUCCESS;
             IoCompleteRequest(irp, IO_NO_INCREMENT);
             return STATUS_SUCCESS;
         };
         SendFresh(s.rogueDevice, 1);
     }},
    {"CancelRoutineKeepsTheCancelSpinLock", Violation::kIoMisuse,
     "a cancel routine returned holding the cancel spin lock",
     [](Stack& s) {
         s.rogue.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [](DEVICE_OBJECT*, IRP* irp) {
             IoSetCancelRoutine(irp, [](DEVICE_OBJECT*, IRP*) {});
             IoMarkIrpPending(irp);
             return STATUS_PENDING;
         };
         IoCancelIrp(SendFresh(s.rogueDevice, 1));
     }},
    // The allocator's routine lets the walk go on past the top: nobody keeps the IRP.
    {"AllocatedIrpCompletedPastItsTop", Violation::kIoMisuse, "reached its top",
     [](Stack& s) {
         IRP* irp = IoAllocateIrp(1, FALSE);
         IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
         IoSetCompletionRoutine(
             irp, [](DEVICE_OBJECT*, IRP*, PVOID) { return STATUS_CONTINUE_COMPLETION; }, nullptr,
             TRUE, TRUE, TRUE);
         (void)IoCallDriver(s.bus.device(), irp);
         KEVENT never;
         KeInitializeEvent(&never, NotificationEvent, FALSE);
         KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
     }},
    {"CompletionRoutineLeavesItsIrqlRaised", Violation::kIrqlMisuse,
     "a completion routine returned at DISPATCH_LEVEL, called at PASSIVE_LEVEL",
     [](Stack& s) {
         s.bus.completeAtOnce = true;
         IRP* irp = IoAllocateIrp(1, FALSE);
         IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
         IoSetCompletionRoutine(
             irp,
             [](DEVICE_OBJECT*, IRP*, PVOID) {
                 KIRQL old;
                 KeRaiseIrql(DISPATCH_LEVEL, &old);
                 return STATUS_MORE_PROCESSING_REQUIRED;
             },
             nullptr, TRUE, TRUE, TRUE);
         (void)IoCallDriver(s.bus.device(), irp);
     }},
    {"CallDriverAboveDispatchLevel", Violation::kIrqlMisuse, "IoCallDriver at HIGH_LEVEL",
     [](Stack& s) {
         IRP* irp = IoAllocateIrp(1, FALSE);
         KIRQL old;
         KeRaiseIrql(HIGH_LEVEL, &old);
         (void)IoCallDriver(s.bus.device(), irp);
     }},
    {"DeleteADeviceOthersAreAttachedTo", Violation::kIoMisuse,
     "IoDeleteDevice of a device another device is still attached to",
     [](Stack& s) { IoDeleteDevice(s.bus.device()); }},
};

class IoMisuse : public IoTest, public ::testing::WithParamInterface<MisuseCase> {
  protected:
    IoMisuse() {
        EXPECT_EQ(
            Nt(IoCreateDevice(&rogue_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &rogueDevice_)),
            Nt(STATUS_SUCCESS));
    }
    ~IoMisuse() override {
        scheduler_.Shutdown();
        IoDeleteDevice(rogueDevice_);
    }

    TestBus bus_{scheduler_, kMillisecond};
    CallLog log_;
    TestLayer middle_{"middle", bus_.device(), log_};
    DRIVER_OBJECT rogue_;
    DEVICE_OBJECT* rogueDevice_ = nullptr;
};

TEST_P(IoMisuse, IsAVerifierFault) {
    const MisuseCase& c = GetParam();
    Stack stack{bus_, middle_, rogue_, rogueDevice_, log_};
    ExpectViolation(c.violation, c.fragment, [&] { c.body(stack); });
}

INSTANTIATE_TEST_SUITE_P(Cases, IoMisuse, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<MisuseCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace platform::testing
