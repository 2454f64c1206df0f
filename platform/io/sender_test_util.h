// The driver at the top of the I/O tests' stacks: it allocates its IRP, sends it down
// and keeps it through a completion routine returning STATUS_MORE_PROCESSING_REQUIRED,
// as a function driver does with its USB requests. Test-only.
#pragma once

#include "platform/io/test_stack.h"

namespace platform::testing {

class TestSender {
  public:
    TestSender(DEVICE_OBJECT* target, CallLog& log) : target_(target), log_(log) {
        KeInitializeEvent(&done, NotificationEvent, FALSE);
    }

    // Fills the next location as an internal USB request carrying `urb`, with this
    // sender's completion routine, and sends it.
    NTSTATUS Send(IRP* irp, PVOID urb) {
        urb_ = urb;
        IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = urb;
        IoSetCompletionRoutine(irp, Completion, this, TRUE, TRUE, TRUE);
        return IoCallDriver(target_, irp);
    }

    KEVENT done;  // set at each completion that is not resubmitted
    int completions = 0;
    NTSTATUS lastStatus = STATUS_PENDING;
    // Completions to answer by reusing the IRP and sending it again at once.
    int resubmissions = 0;

  private:
    static NTSTATUS Completion(DEVICE_OBJECT* device, IRP* irp, PVOID context) {
        TestSender& sender = *static_cast<TestSender*>(context);
        ++sender.completions;
        sender.lastStatus = irp->IoStatus.Status;
        sender.log_.push_back(
            std::string("sender") + (device == nullptr ? " (no device)" : " (?)") + " at " +
            IrqlName(KeGetCurrentIrql()) + (irp->PendingReturned ? ", pending" : ""));
        if (sender.resubmissions > 0) {
            --sender.resubmissions;
            IoReuseIrp(irp, STATUS_SUCCESS);
            (void)sender.Send(irp, sender.urb_);
        } else {
            KeSetEvent(&sender.done, IO_NO_INCREMENT, FALSE);
        }
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    DEVICE_OBJECT* target_;
    CallLog& log_;
    PVOID urb_ = nullptr;
};

}  // namespace platform::testing
