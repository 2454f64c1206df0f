// The base of the driver's reference-counted objects, and their allocation from
// pool. An object starts with one reference, held by its creator; the last
// Release destroys it. Objects are allocated with their pool type and tag:
//     auto* stream = new (NonPagedPool, PoolTag("PcNw")) UsbStream(...);
// and come zero-filled; a failed allocation gives null, never an exception.
#pragma once

#include <cstddef>

#include "platform/core/guid.h"
#include "platform/core/status.h"
#include "platform/kernel/pool.h"

// Every reference-counted kernel object answers QueryInterface for this identifier.
inline constexpr GUID IID_IKernelObject =
    platform::GuidLiteral("5F0B6C1E-7A31-4E2A-9C4D-2E4A7A310001");

class PoolObject {
  public:
    static void* operator new(std::size_t bytes, POOL_TYPE type, ULONG tag) noexcept {
        return ExAllocatePoolZero(type, bytes, tag);
    }
    static void operator delete(void* block) noexcept {
        if (block != nullptr) ExFreePool(block);
    }
    // Used only when a constructor throws.
    static void operator delete(void* block, POOL_TYPE, ULONG) noexcept { operator delete(block); }
    // Kernel objects always say where their memory comes from.
    static void* operator new(std::size_t) = delete;
    static void* operator new[](std::size_t) = delete;

  protected:
    PoolObject() = default;
    ~PoolObject() = default;
};

class KernelObject : public PoolObject {
  public:
    KernelObject() = default;
    KernelObject(const KernelObject&) = delete;
    KernelObject& operator=(const KernelObject&) = delete;

    // Gives this object, with a reference added, for the interfaces it implements.
    virtual NTSTATUS QueryInterface(REFIID iid, PVOID* object);
    // Each gives the new count.
    virtual ULONG AddRef();
    virtual ULONG Release();

    LONG ReferenceCount() const { return references_; }

  protected:
    virtual ~KernelObject() = default;
    // Runs on the last Release; frees the object to its pool.
    virtual void Destroy() { delete this; }

  private:
    volatile LONG references_ = 1;
};
