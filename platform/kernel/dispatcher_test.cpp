#include <string>
#include <vector>

#include "platform/kernel/kernel_fixture.h"

namespace platform::testing {
namespace {

using Dispatcher = KernelTest;

TEST_F(Dispatcher, TimeOutsRelativeAbsoluteAndZero) {
    RunOk([&] {
        KEVENT never;
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        LARGE_INTEGER relative = Relative(5 * kSecond);
        EXPECT_EQ(Nt{KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &relative)},
                  Nt{STATUS_TIMEOUT});
        EXPECT_EQ(KeQueryInterruptTime(), static_cast<ULONGLONG>(5 * kSecond));

        LARGE_INTEGER now;
        KeQuerySystemTime(&now);
        LARGE_INTEGER absolute;
        absolute.QuadPart = now.QuadPart + 2 * kSecond;
        EXPECT_EQ(Nt{KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &absolute)},
                  Nt{STATUS_TIMEOUT});
        EXPECT_EQ(KeQueryInterruptTime(), static_cast<ULONGLONG>(7 * kSecond));

        LARGE_INTEGER zero{};
        EXPECT_EQ(Nt{KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &zero)},
                  Nt{STATUS_TIMEOUT});
        EXPECT_EQ(KeQueryInterruptTime(), static_cast<ULONGLONG>(7 * kSecond));

        LARGE_INTEGER delay = Relative(50 * kMillisecond);
        EXPECT_EQ(Nt{KeDelayExecutionThread(KernelMode, FALSE, &delay)}, Nt{STATUS_SUCCESS});
        LARGE_INTEGER frequency;
        const LARGE_INTEGER counter = KeQueryPerformanceCounter(&frequency);
        EXPECT_EQ(frequency.QuadPart, 10'000'000);
        EXPECT_EQ(counter.QuadPart, 7 * kSecond + 50 * kMillisecond);
    });
}

TEST_F(Dispatcher, NotificationEventReleasesAllSynchronizationEventOne) {
    for (EVENT_TYPE type : {NotificationEvent, SynchronizationEvent}) {
        Scheduler scheduler;
        Kernel kernel(scheduler);
        Kernel::Scope scope(kernel);
        KEVENT event;
        KeInitializeEvent(&event, type, FALSE);
        std::vector<std::string> released;
        for (const char* name : {"a", "b", "c"}) {
            scheduler.Spawn(name, [&, name] {
                LARGE_INTEGER timeout = Relative(kSecond);
                if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) ==
                    STATUS_SUCCESS) {
                    released.push_back(name);
                }
            });
        }
        Fiber& setter = scheduler.Spawn("setter", [&] {
            LARGE_INTEGER delay = Relative(kMillisecond);
            KeDelayExecutionThread(KernelMode, FALSE, &delay);
            EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
        });
        ASSERT_TRUE(scheduler.Run(&setter).Ok());
        ASSERT_TRUE(scheduler.Run(nullptr).Ok());
        if (type == NotificationEvent) {
            EXPECT_EQ(released, (std::vector<std::string>{"a", "b", "c"}));
            EXPECT_EQ(KeReadStateEvent(&event), 1);
        } else {
            EXPECT_EQ(released, (std::vector<std::string>{"a"}));  // the oldest waiter
            EXPECT_EQ(KeReadStateEvent(&event), 0);
        }
    }
}

TEST_F(Dispatcher, WaitForMultipleObjectsAnyAndAll) {
    RunOk([&] {
        KEVENT a, b;
        KeInitializeEvent(&a, NotificationEvent, FALSE);
        KeInitializeEvent(&b, SynchronizationEvent, FALSE);
        DispatcherObject* both[] = {&a, &b};
        HANDLE setter;
        PsCreateSystemThread(
            &setter, 0, nullptr, nullptr, nullptr,
            [](PVOID e) {
                LARGE_INTEGER delay{.QuadPart = -3 * kMillisecond};
                KeDelayExecutionThread(KernelMode, FALSE, &delay);
                KeSetEvent(static_cast<KEVENT*>(e), IO_NO_INCREMENT, FALSE);
            },
            &b);
        ZwClose(setter);
        EXPECT_EQ(Nt{KeWaitForMultipleObjects(2, both, WaitAny, Executive, KernelMode, FALSE,
                                              nullptr, nullptr)},
                  Nt{STATUS_WAIT_1});
        EXPECT_EQ(KeQueryInterruptTime(), static_cast<ULONGLONG>(3 * kMillisecond));
        EXPECT_EQ(KeReadStateEvent(&b), 0) << "the wait took the synchronization event";

        KeSetEvent(&b, IO_NO_INCREMENT, FALSE);
        LARGE_INTEGER timeout = Relative(kMillisecond);
        EXPECT_EQ(Nt{KeWaitForMultipleObjects(2, both, WaitAll, Executive, KernelMode, FALSE,
                                              &timeout, nullptr)},
                  Nt{STATUS_TIMEOUT});
        EXPECT_EQ(KeReadStateEvent(&b), 1) << "a failed wait-all takes nothing";
        KeSetEvent(&a, IO_NO_INCREMENT, FALSE);
        EXPECT_EQ(Nt{KeWaitForMultipleObjects(2, both, WaitAll, Executive, KernelMode, FALSE,
                                              &timeout, nullptr)},
                  Nt{STATUS_SUCCESS});
        EXPECT_EQ(KeReadStateEvent(&b), 0);
    });
}

TEST_F(Dispatcher, MutexIsRecursiveForItsOwnerAndExcludesOthers) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    std::vector<std::string> log;
    RunOk([&] {
        EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr),
                  STATUS_SUCCESS);
        EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr),
                  STATUS_SUCCESS);  // again: the owner does not block on itself
        HANDLE handle;
        PsCreateSystemThread(
            &handle, 0, nullptr, nullptr, nullptr,
            [](PVOID context) {
                auto* m = static_cast<KMUTEX*>(context);
                KeWaitForSingleObject(m, Executive, KernelMode, FALSE, nullptr);
                DbgPrint("other got it at %llu",
                         static_cast<unsigned long long>(KeQueryInterruptTime()));
                KeReleaseMutex(m, FALSE);
            },
            &mutex);
        LARGE_INTEGER delay = Relative(kMillisecond);
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        KeReleaseMutex(&mutex, FALSE);
        EXPECT_EQ(KeReadStateMutex(&mutex), 0) << "still held once";
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        log.push_back("released at " + std::to_string(KeQueryInterruptTime()));
        KeReleaseMutex(&mutex, FALSE);

        PVOID object;
        ASSERT_EQ(ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &object, nullptr),
                  STATUS_SUCCESS);
        EXPECT_EQ(KeWaitForSingleObject(static_cast<KTHREAD*>(object), Executive, KernelMode, FALSE,
                                        nullptr),
                  STATUS_SUCCESS);
        ObDereferenceObject(object);
        EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
        EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);
        EXPECT_EQ(KeReadStateMutex(&mutex), 1);
    });
    EXPECT_EQ(log, (std::vector<std::string>{"released at 20000"}));
    EXPECT_TRUE(platform::Trace::Current().Contains("other got it at 20000"));
}

TEST_F(Dispatcher, SystemThreadsCanEndThemselvesAndBeJoined) {
    RunOk([&] {
        HANDLE handle;
        platform::SetNextSystemThreadName("worker");
        ASSERT_EQ(PsCreateSystemThread(
                      &handle, 0, nullptr, nullptr, nullptr,
                      [](PVOID) {
                          EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
                          PsTerminateSystemThread(STATUS_CANCELLED);
                      },
                      nullptr),
                  STATUS_SUCCESS);
        PVOID object;
        ASSERT_EQ(ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &object, nullptr),
                  STATUS_SUCCESS);
        auto* thread = static_cast<KTHREAD*>(object);
        EXPECT_EQ(thread->fiber->Name(), "worker");
        KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
        EXPECT_EQ(Nt{thread->exitStatus}, Nt{STATUS_CANCELLED});
        ZwClose(handle);
    });
}

TEST_F(Dispatcher, TimerResolutionRequestsAreRecorded) {
    RunOk([&] {
        EXPECT_EQ(ExSetTimerResolution(10000, TRUE), 10000u);
        EXPECT_EQ(ExSetTimerResolution(10000, FALSE), 156250u);
    });
    ASSERT_EQ(kernel_.TimerResolutionRequests().size(), 2u);
    EXPECT_TRUE(kernel_.TimerResolutionRequests()[0].set);
    EXPECT_FALSE(kernel_.TimerResolutionRequests()[1].set);
}

}  // namespace
}  // namespace platform::testing
