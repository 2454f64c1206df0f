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

// With a paged block live, each raise to DISPATCH_LEVEL and each lower also changes
// the protection of paged pool: that is what the verifier's guard costs.
void SpinLockPairs(benchmark::State& state, bool pagedBlockLive) {
    platform::Machine machine;
    const platform::RunOutcome outcome = machine.Run([&] {
        void* paged =
            pagedBlockLive ? ExAllocatePoolWithTag(PagedPool, 64, PoolTag("Bnch")) : nullptr;
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        for (auto _ : state) {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            KeReleaseSpinLock(&lock, old);
        }
        if (paged != nullptr) ExFreePool(paged);
    });
    if (!outcome.Ok()) state.SkipWithError(outcome.report.c_str());
}

void BM_SpinLockPair(benchmark::State& state) {
    SpinLockPairs(state, false);
}
BENCHMARK(BM_SpinLockPair);

void BM_SpinLockPairWithPagedPoolGuarded(benchmark::State& state) {
    SpinLockPairs(state, true);
}
BENCHMARK(BM_SpinLockPairWithPagedPoolGuarded);

}  // namespace

BENCHMARK_MAIN();
