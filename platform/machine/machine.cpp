#include "platform/machine/machine.h"

namespace platform {
namespace {
thread_local Machine* tCurrent = nullptr;
}

Machine::Scope::Scope(Machine& machine)
    : previous_(tCurrent), kernel_(machine.kernel_), io_(machine.io_), trace_(machine.trace_) {
    tCurrent = &machine;
}
Machine::Scope::~Scope() {
    tCurrent = previous_;
}

Machine::Machine(MachineOptions options)
    : scheduler_(options.scheduler), kernel_(scheduler_), io_(kernel_) {
    trace_.SetPrefix([this] {
        const Fiber* fiber = scheduler_.CurrentFiber();
        return "[" + FormatVirtualTime(scheduler_.Now()) + " " +
               (fiber ? fiber->Name() : std::string("-")) + "] ";
    });
}

Machine::~Machine() {
    // Fibers still alive unwind while the kernel they may call into still exists.
    Scope scope(*this);
    scheduler_.Shutdown();
}

Machine* Machine::Current() {
    return tCurrent;
}

Fiber& Machine::Spawn(std::string name, std::function<void()> body) {
    return scheduler_.Spawn(std::move(name), std::move(body));
}

RunOutcome Machine::Run(std::function<void()> body, std::string name) {
    Fiber& fiber = scheduler_.Spawn(std::move(name), std::move(body));
    return RunScheduler(&fiber, kNever);
}

RunOutcome Machine::Advance(VirtualTime duration) {
    return RunScheduler(nullptr, scheduler_.Now() + duration);
}

RunOutcome Machine::RunScheduler(Fiber* target, VirtualTime until) {
    Scope scope(*this);
    return scheduler_.Run(target, until);
}

}  // namespace platform
