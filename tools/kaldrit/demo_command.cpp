// `kaldrit demo`: a simulated machine at work on virtual time.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "platform/kernel/ntddk.h"
#include "platform/machine/machine.h"
#include "platform/sched/timer.h"
#include "tools/kaldrit/command.h"

namespace kaldrit {
namespace {

using platform::kMillisecond;
using platform::kSecond;
using platform::VirtualTime;

struct DemoOptions {
    VirtualTime duration = 2 * kSecond;
    std::optional<std::uint64_t> stressSeed;
};

std::optional<double> ParseNumber(std::string_view text) {
    const std::string copy(text);
    char* end = nullptr;
    const double value = std::strtod(copy.c_str(), &end);
    if (copy.empty() || *end != '\0') return std::nullopt;
    return value;
}

// Work handed from a producer to a consumer: a count under a spin lock, and an
// event that says there is some.
struct Mailbox {
    KSPIN_LOCK lock;
    KEVENT ready;
    int pending = 0;
    int produced = 0;
    int consumed = 0;
    bool closed = false;
};

void Say(const char* who, const std::string& what) {
    std::printf("  %s  %-9s %s\n", platform::FormatVirtualTime(KeQueryInterruptTime()).c_str(), who,
                what.c_str());
}

void Delay(VirtualTime duration) {
    LARGE_INTEGER interval{.QuadPart = -duration};
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

int RunDemoMachine(const DemoOptions& options) {
    platform::MachineOptions machineOptions;
    machineOptions.scheduler.stressSeed = options.stressSeed;
    platform::Machine machine(machineOptions);
    Mailbox mailbox;
    std::uint64_t timerTicks = 0;
    platform::Timer frameClock(machine.scheduler(), "1 ms clock", [&] { ++timerTicks; });

    const auto realStart = std::chrono::steady_clock::now();
    const platform::RunOutcome outcome = machine.Run([&] {
        Say("main", "machine booted: scheduler, kernel and verifier on" +
                        std::string(options.stressSeed
                                        ? ", stress seed " + std::to_string(*options.stressSeed)
                                        : ""));
        KeInitializeSpinLock(&mailbox.lock);
        KeInitializeEvent(&mailbox.ready, SynchronizationEvent, FALSE);
        frameClock.Start(KeQueryInterruptTime() + kMillisecond, kMillisecond);

        HANDLE threads[3];
        platform::SetNextSystemThreadName("metronome");
        PsCreateSystemThread(
            &threads[0], 0, nullptr, nullptr, nullptr,
            [](PVOID context) {
                const auto* duration = static_cast<const VirtualTime*>(context);
                for (int beat = 1; beat <= 4; ++beat) {
                    Delay(*duration / 4);
                    Say("metronome", "beat " + std::to_string(beat) + " of 4");
                }
            },
            const_cast<VirtualTime*>(&options.duration));

        platform::SetNextSystemThreadName("producer");
        PsCreateSystemThread(
            &threads[1], 0, nullptr, nullptr, nullptr,
            [](PVOID context) {
                auto* box = static_cast<Mailbox*>(context);
                for (;;) {
                    Delay(100 * kMillisecond);
                    KIRQL old;
                    KeAcquireSpinLock(&box->lock, &old);
                    const bool closed = box->closed;
                    if (!closed) {
                        ++box->pending;
                        ++box->produced;
                    }
                    KeReleaseSpinLock(&box->lock, old);
                    if (closed) break;
                    KeSetEvent(&box->ready, IO_NO_INCREMENT, FALSE);
                }
            },
            &mailbox);

        platform::SetNextSystemThreadName("consumer");
        PsCreateSystemThread(
            &threads[2], 0, nullptr, nullptr, nullptr,
            [](PVOID context) {
                auto* box = static_cast<Mailbox*>(context);
                for (;;) {
                    LARGE_INTEGER timeout{.QuadPart = -kSecond};
                    const NTSTATUS status =
                        KeWaitForSingleObject(&box->ready, Executive, KernelMode, FALSE, &timeout);
                    KIRQL old;
                    KeAcquireSpinLock(&box->lock, &old);
                    box->consumed += box->pending;
                    box->pending = 0;
                    const bool done = box->closed && box->consumed == box->produced;
                    KeReleaseSpinLock(&box->lock, old);
                    if (done || (status == STATUS_TIMEOUT && box->closed)) break;
                }
            },
            &mailbox);

        // The metronome sets the length of the run.
        PVOID metronome;
        ObReferenceObjectByHandle(threads[0], 0, nullptr, KernelMode, &metronome, nullptr);
        KeWaitForSingleObject(static_cast<KTHREAD*>(metronome), Executive, KernelMode, FALSE,
                              nullptr);
        KIRQL old;
        KeAcquireSpinLock(&mailbox.lock, &old);
        mailbox.closed = true;
        KeReleaseSpinLock(&mailbox.lock, old);
        KeSetEvent(&mailbox.ready, IO_NO_INCREMENT, FALSE);
        frameClock.Cancel();
        for (HANDLE handle : threads) {
            PVOID thread;
            ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &thread, nullptr);
            KeWaitForSingleObject(static_cast<KTHREAD*>(thread), Executive, KernelMode, FALSE,
                                  nullptr);
            ZwClose(handle);
        }
        Say("main", "every thread has ended");
    });
    const double realMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - realStart)
            .count();

    if (!outcome.Ok()) {
        std::fprintf(stderr, "kaldrit demo: the run failed: %s\n",
                     platform::FormatVirtualTime(machine.Now()).c_str());
        std::fprintf(stderr, "%s\n", outcome.report.c_str());
        return kExitFailed;
    }
    std::printf("\nsummary\n");
    std::printf("  virtual time   %s, taken in %.1f ms of real time\n",
                platform::FormatVirtualTime(machine.Now()).c_str(), realMs);
    std::printf("  threads        %zu fibers ran\n", machine.scheduler().Fibers().size());
    std::printf("  handover       %d items produced, %d consumed\n", mailbox.produced,
                mailbox.consumed);
    std::printf("  1 ms timer     %llu ticks\n", static_cast<unsigned long long>(timerTicks));
    std::printf("  pool           %zu blocks outstanding\n",
                machine.kernel().pool().BlocksOutstanding());
    return mailbox.produced == mailbox.consumed ? kExitOk : kExitFailed;
}

}  // namespace

int RunDemo(std::span<const std::string_view> args) {
    DemoOptions options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (arg == "--seconds") {
            if (!hasValue) return UsageError("demo", "--seconds needs a value");
            const std::optional<double> seconds = ParseNumber(args[++i]);
            if (!seconds || *seconds <= 0 || *seconds > 86400) {
                return UsageError("demo",
                                  "--seconds takes a number above 0 and at most 86400, not '" +
                                      std::string(args[i]) + "'");
            }
            options.duration = static_cast<VirtualTime>(*seconds * kSecond);
        } else if (arg == "--stress-seed") {
            if (!hasValue) return UsageError("demo", "--stress-seed needs a value");
            const std::string text(args[++i]);
            char* end = nullptr;
            const unsigned long long seed = std::strtoull(text.c_str(), &end, 10);
            if (text.empty() || *end != '\0' || text.front() == '-') {
                return UsageError("demo", "--stress-seed takes a whole number, not '" + text + "'");
            }
            options.stressSeed = seed;
        } else {
            return UsageError("demo", "unknown option '" + std::string(arg) + "'");
        }
    }
    std::printf("kaldrit demo: a simulated machine on virtual time\n\n");
    return RunDemoMachine(options);
}

}  // namespace kaldrit
