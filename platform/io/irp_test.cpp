#include "platform/io/io_fixture.h"
#include "platform/io/test_stack.h"

namespace platform::testing {
namespace {

using Irp = IoTest;

// Pool failure on the IRP tag reaches every way of getting an IRP, one allocation
// at a time: the one armed fails, the next succeeds again.
TEST_F(Irp, AllocationFailsWithNullWhenPoolFailsTheIrpTag) {
    TestBus bus(scheduler_, kMillisecond);
    RunOk([&] {
        kernel_.pool().FailTag(kIrpPoolTag, /*skip=*/1, /*times=*/2);
        IRP* first = IoAllocateIrp(2, FALSE);
        EXPECT_NE(first, nullptr);
        EXPECT_EQ(IoAllocateIrp(2, FALSE), nullptr);
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb;
        EXPECT_EQ(IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, bus.device(),
                                                nullptr, 0, nullptr, 0, TRUE, &event, &iosb),
                  nullptr);
        IRP* again = IoAllocateIrp(2, FALSE);
        EXPECT_NE(again, nullptr);
        EXPECT_EQ(kernel_.pool().Counters(kIrpPoolTag).failures, 2u);
        EXPECT_EQ(io_.LiveIrps(), 2u);
        IoFreeIrp(first);
        IoFreeIrp(again);
    });
    EXPECT_EQ(kernel_.pool().Counters(kIrpPoolTag).blocksOutstanding(), 0u);
}

// IoReuseIrp makes a used IRP as new: no location current, every location empty,
// the status given; the IRP's size and block stay.
TEST_F(Irp, ReuseMakesACompletedIrpAsNewWithTheGivenStatus) {
    RunOk([&] {
        IRP* irp = IoAllocateIrp(3, FALSE);
        ASSERT_NE(irp, nullptr);
        EXPECT_EQ(irp->CurrentLocation, 4);
        IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetCompletionRoutine(
            irp, [](DEVICE_OBJECT*, IRP*, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; },
            nullptr, TRUE, TRUE, TRUE);
        IoSetNextIrpStackLocation(irp);
        irp->Cancel = TRUE;
        irp->IoStatus = {STATUS_CANCELLED, 7};
        const USHORT size = irp->Size;

        IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(Nt(irp->IoStatus.Status), Nt(STATUS_NOT_SUPPORTED));
        EXPECT_EQ(irp->IoStatus.Information, 0u);
        EXPECT_EQ(irp->Cancel, FALSE);
        EXPECT_EQ(irp->Size, size);
        EXPECT_EQ(irp->StackCount, 3);
        EXPECT_EQ(irp->CurrentLocation, 4);
        EXPECT_EQ(IoGetNextIrpStackLocation(irp), next);
        EXPECT_EQ(next->CompletionRoutine, nullptr);
        EXPECT_EQ(next->Control, 0);
        EXPECT_EQ(next->MajorFunction, 0);
        IoFreeIrp(irp);
    });
}

using DeviceObject = IoTest;

// A device's extension is its driver's, zeroed; the device joins its driver's list.
// Pool failure on the device tag fails creation with the status drivers expect.
TEST_F(DeviceObject, CreationGivesAZeroedExtensionOrFailsWithInsufficientResources) {
    DRIVER_OBJECT driver;
    RunOk([&] {
        DEVICE_OBJECT* device = nullptr;
        ASSERT_EQ(Nt(IoCreateDevice(&driver, 100, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device)),
                  Nt(STATUS_SUCCESS));
        const auto* extension = static_cast<const UCHAR*>(device->DeviceExtension);
        for (int i = 0; i < 100; ++i) ASSERT_EQ(extension[i], 0) << i;
        EXPECT_EQ(reinterpret_cast<ULONG_PTR>(extension) % 16, 0u);
        EXPECT_EQ(driver.DeviceObject, device);
        EXPECT_EQ(device->StackSize, 1);

        kernel_.pool().FailTag(kDeviceObjectPoolTag, 0, 1);
        DEVICE_OBJECT* second = device;
        EXPECT_EQ(Nt(IoCreateDevice(&driver, 8, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &second)),
                  Nt(STATUS_INSUFFICIENT_RESOURCES));
        EXPECT_EQ(second, nullptr);

        IoDeleteDevice(device);
        EXPECT_EQ(driver.DeviceObject, nullptr);
    });
    EXPECT_EQ(kernel_.pool().Counters(kDeviceObjectPoolTag).blocksOutstanding(), 0u);
}

}  // namespace
}  // namespace platform::testing
