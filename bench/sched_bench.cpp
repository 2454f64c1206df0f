// The cost of the simulation's two commonest operations: a switch between fibers,
// and an uncontended spin-lock acquire and release (the streaming path's lock).
#include <benchmark/benchmark.h>

#include "platform/kernel/ntddk.h"
#include "platform/machine/machine.h"

namespace {

// Two fibers yield to each other: every iteration is two fiber switches, each
// going through the scheduler as every real switch does.
void BM_FiberSwitch(benchmark::State& state) {
    platform::Machine machine;
    bool done = false;
    machine.Spawn("partner", [&] {
        while (!done) machine.scheduler().Yield();
    });
    const platform::RunOutcome outcome = machine.Run([&] {
        for (auto _ : state) machine.scheduler().Yield();
        done = true;
    });
    if (!outcome.Ok()) state.SkipWithError(outcome.report.c_str());
    state.SetItemsProcessed(2 * state.iterations());
    state.SetLabel("items = fiber switches");
}
BENCHMARK(BM_FiberSwitch);

void BM_SpinLockPair(benchmark::State& state) {
    platform::Machine machine;
    const platform::RunOutcome outcome = machine.Run([&] {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        for (auto _ : state) {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            KeReleaseSpinLock(&lock, old);
        }
    });
    if (!outcome.Ok()) state.SkipWithError(outcome.report.c_str());
}
BENCHMARK(BM_SpinLockPair);

// The same while a paged block is live: each raise to DISPATCH_LEVEL and each lower
// now changes the protection of paged pool, which is what the verifier's guard costs.
void BM_SpinLockPairWithPagedPoolGuarded(benchmark::State& state) {
    platform::Machine machine;
    const platform::RunOutcome outcome = machine.Run([&] {
        void* paged = ExAllocatePoolWithTag(PagedPool, 64, PoolTag("Bnch"));
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        for (auto _ : state) {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            KeReleaseSpinLock(&lock, old);
        }
        ExFreePool(paged);
    });
    if (!outcome.Ok()) state.SkipWithError(outcome.report.c_str());
}
BENCHMARK(BM_SpinLockPairWithPagedPoolGuarded);

}  // namespace

BENCHMARK_MAIN();
