#include "platform/kernel/kernel.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/kernel/system_thread.h"

namespace platform {
namespace {

thread_local Kernel* tCurrent = nullptr;
constexpr int kKernelSlot = 0;
constexpr ULONG kDefaultTimerResolution = 156'250;  // 15.625 ms, the clock's default
constexpr ULONG kFinestTimerResolution = 5'000;     // 0.5 ms

}  // namespace

Kernel::Kernel(Scheduler& scheduler) : scheduler_(scheduler) {
    scheduler_.SetSwitchHook([this](Fiber* fiber) { OnSwitch(fiber); });
}

Kernel::~Kernel() {
    scheduler_.SetSwitchHook(nullptr);
}

Kernel& Kernel::Current() {
    if (tCurrent == nullptr) {
        std::fprintf(stderr, "kernel routine called outside a running machine\n");
        std::abort();
    }
    return *tCurrent;
}

Kernel* Kernel::CurrentOrNull() {
    return tCurrent;
}

Kernel::Scope::Scope(Kernel& kernel) : previous_(tCurrent) {
    tCurrent = &kernel;
}
Kernel::Scope::~Scope() {
    tCurrent = previous_;
}

KernelThread& Kernel::CurrentThread() {
    Fiber* fiber = scheduler_.CurrentFiber();
    if (fiber == nullptr) return outsideFibers_;
    auto* state = static_cast<KernelThread*>(fiber->Local(kKernelSlot));
    if (state == nullptr) {
        state = &threads_.emplace_back();
        fiber->SetLocal(kKernelSlot, state);
    }
    return *state;
}

void Kernel::SetIrql(KIRQL irql) {
    CurrentThread().irql = irql;
    pool_.GuardPaged(irql >= DISPATCH_LEVEL);
}

void Kernel::OnSwitch(Fiber* fiber) {
    const auto* state =
        fiber ? static_cast<const KernelThread*>(fiber->Local(kKernelSlot)) : nullptr;
    pool_.GuardPaged(state != nullptr && state->irql >= DISPATCH_LEVEL);
}

std::string Kernel::CurrentThreadName() const {
    const Fiber* fiber = scheduler_.CurrentFiber();
    return fiber ? fiber->Name() : "(scheduler)";
}

ULONG Kernel::SetTimerResolution(ULONG desired100ns, bool set) {
    timerRequests_.push_back({scheduler_.Now(), desired100ns, set});
    const ULONG granted = std::clamp(desired100ns, kFinestTimerResolution, kDefaultTimerResolution);
    if (set) {
        activeResolutions_.insert(granted);
    } else if (!activeResolutions_.empty()) {
        // Windows ignores the value when a request is withdrawn; one request goes.
        auto it = activeResolutions_.find(granted);
        activeResolutions_.erase(it != activeResolutions_.end() ? it : activeResolutions_.begin());
    }
    return TimerResolution();
}

ULONG Kernel::TimerResolution() const {
    return activeResolutions_.empty() ? kDefaultTimerResolution : *activeResolutions_.begin();
}

KTHREAD& Kernel::NewThreadObject() {
    threadObjects_.push_back(std::make_unique<KTHREAD>());
    return *threadObjects_.back();
}

HANDLE Kernel::AddHandle(KTHREAD* thread) {
    const ULONG_PTR value = nextHandle_;
    nextHandle_ += 4;  // handle values are multiples of four, as on Windows
    handles_[value] = thread;
    return reinterpret_cast<HANDLE>(value);
}

KTHREAD* Kernel::LookupHandle(HANDLE handle) const {
    auto it = handles_.find(reinterpret_cast<ULONG_PTR>(handle));
    return it == handles_.end() ? nullptr : it->second;
}

bool Kernel::CloseHandle(HANDLE handle) {
    return handles_.erase(reinterpret_cast<ULONG_PTR>(handle)) == 1;
}

}  // namespace platform
