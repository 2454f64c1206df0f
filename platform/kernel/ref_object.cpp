#include "platform/kernel/ref_object.h"

#include "platform/kernel/interlocked.h"

NTSTATUS KernelObject::QueryInterface(REFIID iid, PVOID* object) {
    if (iid == IID_IKernelObject) {
        AddRef();
        *object = this;
        return STATUS_SUCCESS;
    }
    *object = nullptr;
    return STATUS_NOINTERFACE;
}

ULONG KernelObject::AddRef() {
    return static_cast<ULONG>(InterlockedIncrement(&references_));
}

ULONG KernelObject::Release() {
    const LONG remaining = InterlockedDecrement(&references_);
    if (remaining == 0) Destroy();
    return static_cast<ULONG>(remaining);
}
