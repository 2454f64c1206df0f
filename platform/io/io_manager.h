// The I/O manager of one machine: the cancel spin lock, and the IRPs and device
// objects alive, so that a request on freed memory is reported instead of followed.
// Io* routines find it as the running machine's, as Kernel routines find the kernel;
// whoever owns the kernel owns one beside it and makes it current with a Scope.
#pragma once

#include <unordered_set>

#include "platform/io/device_object.h"
#include "platform/io/irp.h"
#include "platform/kernel/kernel.h"
#include "platform/kernel/spin_lock.h"

namespace platform {

class IoManager {
  public:
    explicit IoManager(Kernel& kernel);
    ~IoManager();
    IoManager(const IoManager&) = delete;
    IoManager& operator=(const IoManager&) = delete;

    // The I/O manager of the running machine; an I/O call outside any is a
    // programming error and aborts with a message.
    static IoManager& Current();
    // Makes `io` current until the scope ends.
    class Scope {
      public:
        explicit Scope(IoManager& io);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

      private:
        IoManager* previous_;
    };

    Kernel& kernel() { return kernel_; }
    KSPIN_LOCK& CancelLock() { return cancelLock_; }

    void AddIrp(IRP* irp) { irps_.insert(irp); }
    void RemoveIrp(IRP* irp) { irps_.erase(irp); }
    bool IsLiveIrp(const IRP* irp) const { return irps_.count(const_cast<IRP*>(irp)) != 0; }
    std::size_t LiveIrps() const { return irps_.size(); }

    void AddDevice(DEVICE_OBJECT* device) { devices_.insert(device); }
    void RemoveDevice(DEVICE_OBJECT* device) { devices_.erase(device); }
    bool IsLiveDevice(const DEVICE_OBJECT* device) const {
        return devices_.count(const_cast<DEVICE_OBJECT*>(device)) != 0;
    }

  private:
    Kernel& kernel_;
    KSPIN_LOCK cancelLock_;
    std::unordered_set<IRP*> irps_;
    std::unordered_set<DEVICE_OBJECT*> devices_;
};

// Faults the run unless `irp` is an IRP alive in the running machine; `what` names
// the call for the report.
void CheckLiveIrp(const IRP* irp, const char* what);

}  // namespace platform

namespace platform {
// Frees an IRP without the checks IoFreeIrp makes of a driver's call.
void ReleaseIrp(IRP* irp);
}  // namespace platform
