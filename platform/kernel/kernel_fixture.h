// A scheduler and kernel for kernel tests, and a way to run code as fibers in them.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/kernel/kernel.h"
#include "platform/kernel/ntddk.h"

namespace platform::testing {

class KernelTest : public ::testing::Test {
  protected:
    KernelTest() : kernel_(scheduler_), scope_(kernel_) {}
    // Fibers still alive unwind while the kernel is current.
    ~KernelTest() override { scheduler_.Shutdown(); }

    // Runs `body` as the fiber "main" (others it spawns run too) and gives the outcome.
    RunOutcome Run(std::function<void()> body) {
        Fiber& main = scheduler_.Spawn("main", std::move(body));
        return scheduler_.Run(&main);
    }
    void RunOk(std::function<void()> body) {
        const RunOutcome outcome = Run(std::move(body));
        EXPECT_TRUE(outcome.Ok()) << outcome;
    }
    // Expects the run to end with `violation`, its report containing `fragment`.
    void ExpectViolation(Violation violation, const std::string& fragment,
                         std::function<void()> body) {
        const RunOutcome outcome = Run(std::move(body));
        EXPECT_EQ(outcome.end, RunEnd::kFault) << outcome;
        EXPECT_EQ(kernel_.LastViolation(), violation) << outcome;
        EXPECT_NE(outcome.report.find(std::string("DRIVER VERIFIER: ") + ViolationName(violation)),
                  std::string::npos)
            << outcome;
        EXPECT_NE(outcome.report.find(fragment), std::string::npos) << outcome;
    }

    static LARGE_INTEGER Relative(VirtualTime t) {
        LARGE_INTEGER value;
        value.QuadPart = -t;
        return value;
    }

    Scheduler scheduler_;
    Kernel kernel_;
    Kernel::Scope scope_;
};

}  // namespace platform::testing
