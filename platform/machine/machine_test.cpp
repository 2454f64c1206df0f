#include "platform/machine/machine.h"

#include <gtest/gtest.h>

#include "platform/kernel/ntddk.h"

namespace platform {
namespace {

TEST(Machine, RunsKernelCodeAndKeepsItsOwnTrace) {
    Machine machine;
    const RunOutcome outcome = machine.Run([] {
        EXPECT_EQ(Machine::Current()->Now(), 0);
        LARGE_INTEGER delay{.QuadPart = -250 * kMillisecond};
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        DbgPrint("awake");
    });
    ASSERT_TRUE(outcome.Ok()) << outcome;
    EXPECT_EQ(machine.Now(), 250 * kMillisecond);
    ASSERT_EQ(machine.trace().Lines().size(), 1u);
    EXPECT_EQ(machine.trace().Lines()[0], "[0.2500000 s main] awake");
    EXPECT_EQ(Machine::Current(), nullptr) << "current only while it runs";
}

TEST(Machine, AdvanceRunsWhatIsDueAndLetsIdleTimePass) {
    Machine machine;
    int ticks = 0;
    machine.Spawn("ticker", [&] {
        for (;;) {
            LARGE_INTEGER delay{.QuadPart = -kSecond};
            KeDelayExecutionThread(KernelMode, FALSE, &delay);
            ++ticks;
        }
    });
    ASSERT_TRUE(machine.Advance(3 * kSecond + 1).Ok());
    EXPECT_EQ(ticks, 3);
    ASSERT_TRUE(machine.Advance(2 * kSecond).Ok());
    EXPECT_EQ(ticks, 5);
    EXPECT_EQ(machine.Now(), 5 * kSecond + 1);

    Machine idle;
    ASSERT_TRUE(idle.Advance(kSecond).Ok());
    EXPECT_EQ(idle.Now(), kSecond);
}

TEST(Machine, FibersLeftRunningUnwindThroughTheKernelAtShutdown) {
    bool released = false;
    {
        Machine machine;
        static KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        machine.Spawn("holder", [&] {
            struct Cleanup {
                bool& flag;
                ~Cleanup() {
                    // Destructors may still call the kernel while the machine shuts down.
                    ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 4, PoolTag("Test")));
                    flag = true;
                }
            } cleanup{released};
            KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
        });
        ASSERT_TRUE(machine.Advance(kMillisecond).Ok());
    }
    EXPECT_TRUE(released);
}

TEST(Machine, AVerifierViolationEndsTheRunWithItsReport) {
    Machine machine;
    const RunOutcome outcome = machine.Run(
        [] {
            KIRQL old = KeRaiseIrqlToDpcLevel();
            LARGE_INTEGER delay{.QuadPart = -1};
            KeDelayExecutionThread(KernelMode, FALSE, &delay);
            KeLowerIrql(old);
        },
        "culprit");
    EXPECT_EQ(outcome.end, RunEnd::kFault);
    EXPECT_NE(outcome.report.find("wait at DISPATCH_LEVEL"), std::string::npos) << outcome;
    EXPECT_NE(outcome.report.find("in fiber 'culprit'"), std::string::npos) << outcome;
    EXPECT_EQ(machine.kernel().LastViolation(), Violation::kWaitAtDispatch);
}

}  // namespace
}  // namespace platform
