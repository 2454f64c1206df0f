#include <string>
#include <vector>

#include "platform/io/io_fixture.h"
#include "platform/io/sender_test_util.h"
#include "platform/io/test_stack.h"

namespace platform::testing {
namespace {

constexpr VirtualTime kBusLatency = kMillisecond;
constexpr LONGLONG kFiveSeconds = -50'000'000;  // relative, in 100-ns units

class Cancel : public IoTest {
  protected:
    ~Cancel() override { scheduler_.Shutdown(); }

    CallLog log_;
};

// The USB layer's synchronous request with a time-out: a bus that never answers,
// a wait that times out, a cancel that the bus's cancel routine completes, and the
// second wait that then returns at once.
TEST_F(Cancel, ATimedOutRequestIsCancelledThroughTheBusCancelRoutine) {
    TestBus bus(scheduler_, kNever);
    RunOk([&] {
        IRP* irp = IoAllocateIrp(static_cast<CHAR>(bus.device()->StackSize + 1), FALSE);
        ASSERT_NE(irp, nullptr);
        TestSender sender(bus.device(), log_);
        EXPECT_EQ(Nt(sender.Send(irp, nullptr)), Nt(STATUS_PENDING));
        LARGE_INTEGER timeout;
        timeout.QuadPart = kFiveSeconds;
        EXPECT_EQ(Nt(KeWaitForSingleObject(&sender.done, Executive, KernelMode, FALSE, &timeout)),
                  Nt(STATUS_TIMEOUT));
        EXPECT_EQ(bus.Queued(), 1u);
        EXPECT_EQ(IoCancelIrp(irp), TRUE);
        EXPECT_EQ(Nt(KeWaitForSingleObject(&sender.done, Executive, KernelMode, FALSE, nullptr)),
                  Nt(STATUS_SUCCESS));
        EXPECT_EQ(Nt(irp->IoStatus.Status), Nt(STATUS_CANCELLED));
        EXPECT_EQ(irp->Cancel, TRUE);
        EXPECT_EQ(scheduler_.Now(), 5 * kSecond);
        IoFreeIrp(irp);
    });
    EXPECT_EQ(bus.Queued(), 0u);
    // The routine ran under the cancel spin lock, and returned to the canceller's level.
    EXPECT_EQ(bus.cancels, (std::vector<std::pair<KIRQL, KIRQL>>{{DISPATCH_LEVEL, PASSIVE_LEVEL}}));
    EXPECT_EQ(log_, (CallLog{"sender (no device) at PASSIVE_LEVEL, pending"}));
}

// Once the bus has taken the request out of reach (its cancel routine cleared), a
// cancel only sets the flag: the request completes when the bus says, as it says.
TEST_F(Cancel, ACancelAfterTheCancelRoutineWasClearedChangesNothingButTheFlag) {
    TestBus bus(scheduler_, kBusLatency);
    bus.cancellable = false;
    RunOk([&] {
        IRP* irp = IoAllocateIrp(bus.device()->StackSize, FALSE);
        ASSERT_NE(irp, nullptr);
        TestSender sender(bus.device(), log_);
        EXPECT_EQ(Nt(sender.Send(irp, nullptr)), Nt(STATUS_PENDING));
        EXPECT_EQ(IoCancelIrp(irp), FALSE);
        EXPECT_EQ(sender.completions, 0);
        EXPECT_EQ(Nt(KeWaitForSingleObject(&sender.done, Executive, KernelMode, FALSE, nullptr)),
                  Nt(STATUS_SUCCESS));
        EXPECT_EQ(Nt(sender.lastStatus), Nt(STATUS_SUCCESS));
        EXPECT_EQ(scheduler_.Now(), kBusLatency);
        EXPECT_EQ(irp->Cancel, TRUE);
        IoFreeIrp(irp);
    });
    EXPECT_TRUE(bus.cancels.empty());
}

// A request cancelled before it reaches the bus finds no routine to call; the bus
// sees the flag as it queues the request and completes it cancelled at once.
TEST_F(Cancel, ARequestCancelledBeforeItIsQueuedIsCompletedCancelledOnArrival) {
    TestBus bus(scheduler_, kBusLatency);
    RunOk([&] {
        IRP* irp = IoAllocateIrp(bus.device()->StackSize, FALSE);
        ASSERT_NE(irp, nullptr);
        EXPECT_EQ(IoCancelIrp(irp), FALSE);
        TestSender sender(bus.device(), log_);
        EXPECT_EQ(Nt(sender.Send(irp, nullptr)), Nt(STATUS_CANCELLED));
        EXPECT_EQ(Nt(sender.lastStatus), Nt(STATUS_CANCELLED));
        EXPECT_EQ(scheduler_.Now(), 0);
        IoFreeIrp(irp);
    });
    EXPECT_EQ(bus.Queued(), 0u);
}

}  // namespace
}  // namespace platform::testing
