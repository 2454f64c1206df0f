// The device stack the I/O tests send requests down: a bus at the bottom that holds
// requests and completes them later, as a USB host controller does, and pass-through
// drivers above it that log their completion routines. Test-only.
#pragma once

#include <string>
#include <vector>

#include "platform/io/wdm.h"
#include "platform/sched/scheduler.h"
#include "platform/sched/timer.h"

namespace platform::testing {

using CallLog = std::vector<std::string>;

// The lowest device: every request it gets is marked pending and queued with a
// cancel routine; a timer completes the oldest `latency` after it arrived, at
// DISPATCH_LEVEL, with `status` and `information`. The cancel routine completes a
// queued request with STATUS_CANCELLED.
class TestBus {
  public:
    TestBus(Scheduler& scheduler, VirtualTime latency)
        : latency_(latency), timer_(scheduler, "bus completion", [this] { OnTimer(); }) {
        name_ = u"bus";
        RtlInitUnicodeString(&driver_.DriverName, name_.c_str());
        for (PDRIVER_DISPATCH& entry : driver_.MajorFunction) entry = Dispatch;
        KeInitializeSpinLock(&lock_);
        InitializeListHead(&queue_);
        const NTSTATUS status = IoCreateDevice(&driver_, sizeof(TestBus*), nullptr, FILE_DEVICE_USB,
                                               0, FALSE, &device_);
        EXPECT_EQ(Nt(status), Nt(STATUS_SUCCESS));
        *static_cast<TestBus**>(device_->DeviceExtension) = this;
        device_->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    ~TestBus() { IoDeleteDevice(device_); }
    TestBus(const TestBus&) = delete;
    TestBus& operator=(const TestBus&) = delete;

    DEVICE_OBJECT* device() const { return device_; }
    DRIVER_OBJECT& driver() { return driver_; }

    NTSTATUS status = STATUS_SUCCESS;  // what queued requests complete with
    ULONG_PTR information = 0;
    // False: a request goes onto the wire at once, out of reach of IoCancelIrp.
    bool cancellable = true;
    // True: requests complete inside the dispatch routine, without pending.
    bool completeAtOnce = false;
    // What arrived: the stack location each request had here.
    std::vector<IO_STACK_LOCATION> received;
    // Cancel routines run: the IRQL each ran at and the IRQL it must return to.
    std::vector<std::pair<KIRQL, KIRQL>> cancels;

    std::size_t Queued() const {
        std::size_t count = 0;
        for (const LIST_ENTRY* entry = queue_.Flink; entry != &queue_; entry = entry->Flink) {
            ++count;
        }
        return count;
    }

  private:
    static TestBus& Of(DEVICE_OBJECT* device) {
        return **static_cast<TestBus**>(device->DeviceExtension);
    }
    // When a queued request is due, kept in the context the IRP gives its holder.
    static VirtualTime DueOf(const IRP* irp) {
        return static_cast<VirtualTime>(
            reinterpret_cast<ULONG_PTR>(irp->Tail.Overlay.DriverContext[0]));
    }
    static void SetDue(IRP* irp, VirtualTime due) {
        static_assert(sizeof(VirtualTime) <= sizeof(PVOID));
        irp->Tail.Overlay.DriverContext[0] = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(due));
    }
    static IRP* IrpOf(LIST_ENTRY* entry) {
        return CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    }

    static NTSTATUS Dispatch(DEVICE_OBJECT* device, IRP* irp) {
        TestBus& bus = Of(device);
        bus.received.push_back(*IoGetCurrentIrpStackLocation(irp));
        if (bus.completeAtOnce) {
            irp->IoStatus.Status = bus.status;
            irp->IoStatus.Information = bus.information;
            const NTSTATUS status = bus.status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
        }
        KIRQL irql;
        KeAcquireSpinLock(&bus.lock_, &irql);
        if (bus.cancellable) {
            IoSetCancelRoutine(irp, Cancel);
            // Cancelled before it got here: IoCancelIrp found no routine to call.
            if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
                KeReleaseSpinLock(&bus.lock_, irql);
                irp->IoStatus.Status = STATUS_CANCELLED;
                irp->IoStatus.Information = 0;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
                return STATUS_CANCELLED;
            }
        }
        IoMarkIrpPending(irp);
        const Scheduler& scheduler = *Scheduler::Current();
        SetDue(irp, bus.latency_ == kNever ? kNever : scheduler.Now() + bus.latency_);
        InsertTailList(&bus.queue_, &irp->Tail.Overlay.ListEntry);
        if (!bus.timer_.IsArmed() && bus.latency_ != kNever) bus.timer_.Start(DueOf(irp));
        KeReleaseSpinLock(&bus.lock_, irql);
        return STATUS_PENDING;
    }

    static void Cancel(DEVICE_OBJECT* device, IRP* irp) {
        TestBus& bus = Of(device);
        bus.cancels.emplace_back(KeGetCurrentIrql(), irp->CancelIrql);
        IoReleaseCancelSpinLock(irp->CancelIrql);
        KIRQL irql;
        KeAcquireSpinLock(&bus.lock_, &irql);
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        KeReleaseSpinLock(&bus.lock_, irql);
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }

    // The host controller's completion work: at DISPATCH_LEVEL, as on the machine.
    void OnTimer() {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        const VirtualTime now = Scheduler::Current()->Now();
        KeAcquireSpinLockAtDpcLevel(&lock_);
        while (!IsListEmpty(&queue_) && DueOf(IrpOf(queue_.Flink)) <= now) {
            IRP* irp = IrpOf(RemoveHeadList(&queue_));
            // A cancel routine running meanwhile unlinks it again: harmless.
            InitializeListHead(&irp->Tail.Overlay.ListEntry);
            if (cancellable && IoSetCancelRoutine(irp, nullptr) == nullptr) continue;
            KeReleaseSpinLockFromDpcLevel(&lock_);
            irp->IoStatus.Status = status;
            irp->IoStatus.Information = information;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            KeAcquireSpinLockAtDpcLevel(&lock_);
        }
        if (!IsListEmpty(&queue_)) timer_.Start(DueOf(IrpOf(queue_.Flink)));
        KeReleaseSpinLockFromDpcLevel(&lock_);
        KeLowerIrql(old);
    }

    std::u16string name_;
    VirtualTime latency_;
    Timer timer_;
    DRIVER_OBJECT driver_;
    DEVICE_OBJECT* device_ = nullptr;
    KSPIN_LOCK lock_;
    LIST_ENTRY queue_;
};

// A driver attached on top of a stack. It passes every request down: with a
// completion routine (invoked as the flags say) that logs its call and lets the walk
// go on, or, with `skip`, giving the driver below its own location unchanged.
class TestLayer {
  public:
    TestLayer(std::string name, DEVICE_OBJECT* below, CallLog& log)
        : name_(std::move(name)), log_(log) {
        driverName_ = std::u16string(name_.begin(), name_.end());
        RtlInitUnicodeString(&driver_.DriverName, driverName_.c_str());
        for (PDRIVER_DISPATCH& entry : driver_.MajorFunction) entry = Dispatch;
        const NTSTATUS status = IoCreateDevice(&driver_, sizeof(TestLayer*), nullptr,
                                               FILE_DEVICE_UNKNOWN, 0, FALSE, &device_);
        EXPECT_EQ(Nt(status), Nt(STATUS_SUCCESS));
        *static_cast<TestLayer**>(device_->DeviceExtension) = this;
        lower_ = IoAttachDeviceToDeviceStack(device_, below);
        device_->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    ~TestLayer() {
        IoDetachDevice(lower_);
        IoDeleteDevice(device_);
    }
    TestLayer(const TestLayer&) = delete;
    TestLayer& operator=(const TestLayer&) = delete;

    DEVICE_OBJECT* device() const { return device_; }
    DEVICE_OBJECT* lower() const { return lower_; }

    bool skip = false;
    bool onSuccess = true, onError = true, onCancel = true;

  private:
    static TestLayer& Of(DEVICE_OBJECT* device) {
        return **static_cast<TestLayer**>(device->DeviceExtension);
    }

    static NTSTATUS Dispatch(DEVICE_OBJECT* device, IRP* irp) {
        TestLayer& layer = Of(device);
        if (layer.skip) {
            IoSkipCurrentIrpStackLocation(irp);
        } else {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, Completion, &layer, layer.onSuccess, layer.onError,
                                   layer.onCancel);
        }
        return IoCallDriver(layer.lower_, irp);
    }

    static NTSTATUS Completion(DEVICE_OBJECT* device, IRP* irp, PVOID context) {
        TestLayer& layer = *static_cast<TestLayer*>(context);
        layer.log_.push_back(layer.name_ + (device == layer.device_ ? " (own device)" : " (?)") +
                             " at " + IrqlName(KeGetCurrentIrql()) +
                             (irp->PendingReturned ? ", pending" : ""));
        if (irp->PendingReturned) IoMarkIrpPending(irp);
        return STATUS_CONTINUE_COMPLETION;
    }

    std::string name_;
    std::u16string driverName_;
    CallLog& log_;
    DRIVER_OBJECT driver_;
    DEVICE_OBJECT* device_ = nullptr;
    DEVICE_OBJECT* lower_ = nullptr;
};

}  // namespace platform::testing
