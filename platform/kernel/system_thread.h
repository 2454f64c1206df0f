// System threads: fibers of the kernel, started at PASSIVE_LEVEL. The thread object
// is signalled when the thread ends, so a driver can wait for it to finish.
#pragma once

#include <string>

#include "platform/core/status.h"
#include "platform/core/types.h"
#include "platform/kernel/dispatcher.h"

namespace platform {
class Fiber;
}

struct KTHREAD final : DispatcherObject {
    platform::Fiber* fiber = nullptr;
    bool terminated = false;
    NTSTATUS exitStatus = STATUS_PENDING;

    bool IsSignaledFor(const platform::Fiber&) const override { return terminated; }
    std::string Describe() const override;
};
using PKTHREAD = KTHREAD*;
using PETHREAD = KTHREAD*;

using PKSTART_ROUTINE = void (*)(PVOID context);

// The handle, to be closed with ZwClose; the thread runs by itself.
NTSTATUS PsCreateSystemThread(HANDLE* threadHandle, ULONG desiredAccess, void* objectAttributes,
                              HANDLE processHandle, void* clientId, PKSTART_ROUTINE startRoutine,
                              PVOID startContext);
// Ends the calling system thread.
[[noreturn]] NTSTATUS PsTerminateSystemThread(NTSTATUS exitStatus);
PKTHREAD KeGetCurrentThread();
// For a thread handle: the thread object, referenced.
NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ULONG desiredAccess, void* objectType,
                                   KPROCESSOR_MODE accessMode, PVOID* object, void* handleInfo);
void ObDereferenceObject(PVOID object);
NTSTATUS ZwClose(HANDLE handle);

namespace platform {
// Names the next system thread this fiber creates (reports read better).
void SetNextSystemThreadName(std::string name);
}  // namespace platform
