#include <cstring>

#include "platform/kernel/kernel_fixture.h"

namespace platform::testing {
namespace {

constexpr ULONG kBuac = PoolTag("Buac");
constexpr ULONG kPcNw = PoolTag("PcNw");

using VerifierTest = KernelTest;

TEST_F(VerifierTest, WaitWithATimeOutAtDispatch) {
    ExpectViolation(Violation::kWaitAtDispatch, "with a non-zero time-out at DISPATCH_LEVEL", [] {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        KIRQL old = KeRaiseIrqlToDpcLevel();
        LARGE_INTEGER timeout{.QuadPart = -10};
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        KeLowerIrql(old);
    });
}

TEST_F(VerifierTest, WaitForEverAtDispatchAndDelay) {
    ExpectViolation(Violation::kWaitAtDispatch, "in fiber 'main'", [] {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        LARGE_INTEGER delay{.QuadPart = -10'000};
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
    });
}

TEST_F(VerifierTest, AZeroTimeOutPollIsAllowedAtDispatch) {
    RunOk([] {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, TRUE);
        KIRQL old = KeRaiseIrqlToDpcLevel();
        LARGE_INTEGER zero{};
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero),
                  STATUS_SUCCESS);
        KeLowerIrql(old);
    });
}

TEST_F(VerifierTest, MutexAtDispatchEvenWithoutATimeOut) {
    ExpectViolation(Violation::kMutexAtDispatch, "for a kernel mutex at DISPATCH_LEVEL", [] {
        KMUTEX mutex;
        KeInitializeMutex(&mutex, 0);
        KIRQL old = KeRaiseIrqlToDpcLevel();
        LARGE_INTEGER zero{};
        KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &zero);
        KeLowerIrql(old);
    });
}

TEST_F(VerifierTest, PagedPoolAllocatedOrFreedAtDispatch) {
    ExpectViolation(Violation::kPagedPoolAtDispatch, "paged allocation of 16 bytes, tag 'Buac'",
                    [] {
                        KIRQL old = KeRaiseIrqlToDpcLevel();
                        ExAllocatePoolWithTag(PagedPool, 16, kBuac);
                        KeLowerIrql(old);
                    });
}

TEST_F(VerifierTest, PagedPoolTouchedAtDispatch) {
    char* block = nullptr;
    ExpectViolation(Violation::kPagedPoolAtDispatch, "paged pool touched by thread 'main'", [&] {
        block = static_cast<char*>(ExAllocatePoolWithTag(PagedPool, 64, kBuac));
        block[0] = 1;  // fine at PASSIVE_LEVEL
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        block[1] = 2;  // faults; the run ends when the lock is released
        KeReleaseSpinLock(&lock, old);
        ADD_FAILURE() << "ran on after the violation";
    });
    EXPECT_EQ(block[1], 2) << "the touching instruction completes";
}

TEST_F(VerifierTest, ReleasingALockThatIsNotHeld) {
    ExpectViolation(Violation::kReleaseNotHeld, "KeReleaseSpinLock of a spin lock (free)", [] {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL old = KeRaiseIrqlToDpcLevel();
        KeReleaseSpinLock(&lock, old);
    });
}

TEST_F(VerifierTest, ReleasingAMutexOwnedByAnotherThread) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    scheduler_.Spawn("owner", [&] {
        KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
        LARGE_INTEGER forever{.QuadPart = -kSecond};
        KeDelayExecutionThread(KernelMode, FALSE, &forever);
    });
    ExpectViolation(Violation::kReleaseNotHeld, "kernel mutex held by 'owner' by 'main'",
                    [&] { KeReleaseMutex(&mutex, FALSE); });
}

TEST_F(VerifierTest, SpinLockTakenAgainByItsHolder) {
    ExpectViolation(Violation::kSpinLockRecursion, "'main' acquired a spin lock it holds", [] {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        KeAcquireSpinLockAtDpcLevel(&lock);
    });
}

TEST_F(VerifierTest, DoubleFreeAndFreeOfForeignMemory) {
    ExpectViolation(Violation::kDoubleFree, "block freed twice, tag 'Buac'", [] {
        void* block = ExAllocatePoolWithTag(NonPagedPool, 8, kBuac);
        ExFreePoolWithTag(block, kBuac);
        ExFreePoolWithTag(block, kBuac);
    });
}

TEST_F(VerifierTest, ForeignFree) {
    static int notPool;
    ExpectViolation(Violation::kDoubleFree, "free of memory pool never gave",
                    [] { ExFreePool(&notPool); });
}

TEST_F(VerifierTest, FreeWithTheWrongTag) {
    ExpectViolation(Violation::kWrongTag, "block of tag 'Buac', 8 bytes, freed with tag 'PcNw'",
                    [] {
                        void* block = ExAllocatePoolWithTag(NonPagedPool, 8, kBuac);
                        ExFreePoolWithTag(block, kPcNw);
                    });
}

TEST_F(VerifierTest, PoolOutstandingAtDriverUnload) {
    ExpectViolation(Violation::kPoolLeakAtUnload,
                    "BRNHDUAC.sys unloaded with 1 block(s) outstanding:\n"
                    "tag 'PcNw' non-paged 136 bytes (allocation #2)",
                    [&] {
                        ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 10, kBuac));
                        ExAllocatePoolWithTag(NonPagedPool, 136, kPcNw);
                        kernel_.pool().CheckUnload("BRNHDUAC.sys");
                    });
}

TEST_F(VerifierTest, IrqlMisuse) {
    ExpectViolation(Violation::kIrqlMisuse, "KeLowerIrql to DISPATCH_LEVEL from PASSIVE_LEVEL",
                    [] { KeLowerIrql(DISPATCH_LEVEL); });
}

}  // namespace
}  // namespace platform::testing
