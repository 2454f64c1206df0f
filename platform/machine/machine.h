// Machine: one simulated Windows computer. It owns the scheduler (and with it
// virtual time), the kernel, the I/O manager and the debug trace; later parts of the platform (the
// I/O manager, the USB host controller, the registry, processes) attach here.
//
// Tests and tools create a Machine and run code inside it; code inside finds it as
// the current machine, as Windows code acts on "this machine".
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/core/trace.h"
#include "platform/io/io_manager.h"
#include "platform/kernel/kernel.h"
#include "platform/sched/scheduler.h"

namespace platform {

struct MachineOptions {
    SchedulerOptions scheduler = SchedulerOptions::FromEnvironment();
};

class Machine {
  public:
    explicit Machine(MachineOptions options = {});
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // The machine running on this OS thread, or null.
    static Machine* Current();

    // Runs `body` as a fiber named `name` until it returns (other fibers run
    // meanwhile), or until a deadlock or a fault ends the run.
    [[nodiscard]] RunOutcome Run(std::function<void()> body, std::string name = "main");
    // Lets virtual time pass by `duration`, running whatever is due meanwhile.
    [[nodiscard]] RunOutcome Advance(VirtualTime duration);
    // Starts a fiber that the next Run or Advance runs along.
    Fiber& Spawn(std::string name, std::function<void()> body);

    VirtualTime Now() const { return scheduler_.Now(); }
    Scheduler& scheduler() { return scheduler_; }
    Kernel& kernel() { return kernel_; }
    IoManager& io() { return io_; }
    Trace& trace() { return trace_; }

  private:
    // Makes this machine current on the OS thread for its lifetime.
    class Scope {
      public:
        explicit Scope(Machine& machine);
        ~Scope();

      private:
        Machine* previous_;
        Kernel::Scope kernel_;
        IoManager::Scope io_;
        Trace::Scope trace_;
    };
    RunOutcome RunScheduler(Fiber* target, VirtualTime until);

    Trace trace_;
    Scheduler scheduler_;
    Kernel kernel_;
    IoManager io_;
};

}  // namespace platform
