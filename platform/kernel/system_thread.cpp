#include "platform/kernel/system_thread.h"

#include "platform/kernel/kernel.h"

using platform::Kernel;

namespace {

struct ThreadExit {
    NTSTATUS status;
};

std::string& NextName() {
    static std::string name;
    return name;
}

}  // namespace

std::string KTHREAD::Describe() const {
    return "thread '" + (fiber ? fiber->Name() : std::string("?")) + "'" +
           (terminated ? " (ended)" : "");
}

void platform::SetNextSystemThreadName(std::string name) {
    NextName() = std::move(name);
}

NTSTATUS PsCreateSystemThread(HANDLE* threadHandle, ULONG, void*, HANDLE, void*,
                              PKSTART_ROUTINE startRoutine, PVOID startContext) {
    Kernel& kernel = Kernel::Current();
    if (startRoutine == nullptr || threadHandle == nullptr) return STATUS_INVALID_PARAMETER;
    KTHREAD& thread = kernel.NewThreadObject();
    std::string name = NextName().empty()
                           ? "system thread " + std::to_string(kernel.scheduler().Fibers().size())
                           : std::move(NextName());
    NextName().clear();
    KTHREAD* object = &thread;
    thread.fiber =
        &kernel.scheduler().Spawn(std::move(name), [&kernel, object, startRoutine, startContext] {
            kernel.CurrentThread().thread = object;
            NTSTATUS status = STATUS_SUCCESS;
            try {
                startRoutine(startContext);
            } catch (const ThreadExit& exit) {
                status = exit.status;
            }
            object->exitStatus = status;
            object->terminated = true;
            object->WakeWaiters();
        });
    *threadHandle = kernel.AddHandle(&thread);
    return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS exitStatus) {
    throw ThreadExit{exitStatus};
}

PKTHREAD KeGetCurrentThread() {
    return Kernel::Current().CurrentThread().thread;
}

NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ULONG, void*, KPROCESSOR_MODE, PVOID* object,
                                   void*) {
    KTHREAD* thread = Kernel::Current().LookupHandle(handle);
    if (thread == nullptr) {
        *object = nullptr;
        return STATUS_INVALID_HANDLE;
    }
    *object = thread;
    return STATUS_SUCCESS;
}

// Thread objects live as long as the kernel; references need no counting.
void ObDereferenceObject(PVOID) {}

NTSTATUS ZwClose(HANDLE handle) {
    return Kernel::Current().CloseHandle(handle) ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}
