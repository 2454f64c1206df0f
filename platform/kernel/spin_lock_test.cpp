#include <string>
#include <vector>

#include "platform/kernel/kernel_fixture.h"

namespace platform::testing {
namespace {

using SpinLock = KernelTest;

TEST_F(SpinLock, RaisesToDispatchAndRestoresTheCallersLevel) {
    RunOk([&] {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL old = 99;
        KeAcquireSpinLock(&lock, &old);
        EXPECT_EQ(old, PASSIVE_LEVEL);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        KeReleaseSpinLock(&lock, old);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

        old = KeAcquireSpinLockRaiseToDpc(&lock);
        KSPIN_LOCK inner;
        KeInitializeSpinLock(&inner);
        KeAcquireSpinLockAtDpcLevel(&inner);  // nested, already at DISPATCH_LEVEL
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        KeReleaseSpinLockFromDpcLevel(&inner);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        KeReleaseSpinLock(&lock, old);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    });
}

TEST_F(SpinLock, AContenderSpinsUntilTheHolderReleases) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    std::vector<std::string> log;
    scheduler_.Spawn("holder", [&] {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        log.push_back("holder has it");
        // Another processor runs meanwhile.
        scheduler_.Yield();
        scheduler_.Yield();
        log.push_back("holder releases");
        KeReleaseSpinLock(&lock, old);
    });
    RunOk([&] {
        KIRQL old;
        log.push_back("contender tries");
        KeAcquireSpinLock(&lock, &old);
        log.push_back("contender has it");
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        EXPECT_EQ(lock.holder, scheduler_.CurrentFiber());
        KeReleaseSpinLock(&lock, old);
    });
    EXPECT_EQ(log, (std::vector<std::string>{"holder has it", "contender tries", "holder releases",
                                             "contender has it"}));
}

TEST_F(SpinLock, LocksTakenInOppositeOrderDeadlockWithBothHoldersNamed) {
    KSPIN_LOCK first, second;
    KeInitializeSpinLock(&first);
    KeInitializeSpinLock(&second);
    first.SetDebugName("first");
    second.SetDebugName("second");
    auto lockBoth = [&](KSPIN_LOCK* a, KSPIN_LOCK* b) {
        KIRQL old;
        KeAcquireSpinLock(a, &old);
        scheduler_.Yield();  // the other processor takes its first lock meanwhile
        KeAcquireSpinLockAtDpcLevel(b);
        ADD_FAILURE() << "took both locks";
    };
    scheduler_.Spawn("other", [&] { lockBoth(&second, &first); });
    const RunOutcome outcome = Run([&] { lockBoth(&first, &second); });
    EXPECT_EQ(outcome.end, RunEnd::kDeadlock);
    EXPECT_NE(outcome.report.find("fiber 'other': spinning for spin lock held by 'main' 'first'"),
              std::string::npos)
        << outcome;
    EXPECT_NE(outcome.report.find("fiber 'main': spinning for spin lock held by 'other' 'second'"),
              std::string::npos)
        << outcome;
}

TEST_F(SpinLock, StressedContentionKeepsMutualExclusion) {
    // Many fibers increment a counter non-atomically under the lock, with the stress
    // mode switching at every chance it gets; any lapse of exclusion loses counts.
    for (std::uint64_t seed = 1; seed <= 20; ++seed) {
        SchedulerOptions options;
        options.stressSeed = seed;
        Scheduler scheduler(options);
        Kernel kernel(scheduler);
        Kernel::Scope scope(kernel);
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        int counter = 0;
        bool inside = false;
        for (int f = 0; f < 4; ++f) {
            scheduler.Spawn("worker" + std::to_string(f), [&] {
                for (int i = 0; i < 50; ++i) {
                    KIRQL old;
                    KeAcquireSpinLock(&lock, &old);
                    EXPECT_FALSE(inside) << "two holders at once";
                    inside = true;
                    const int seen = counter;
                    scheduler.MaybePreempt();
                    counter = seen + 1;
                    inside = false;
                    KeReleaseSpinLock(&lock, old);
                }
            });
        }
        const RunOutcome outcome = scheduler.Run(nullptr);
        ASSERT_TRUE(outcome.Ok()) << outcome;
        EXPECT_EQ(counter, 200) << "stress seed " << seed;
    }
}

}  // namespace
}  // namespace platform::testing
