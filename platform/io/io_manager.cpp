#include "platform/io/io_manager.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "platform/kernel/verifier.h"

namespace platform {
namespace {
thread_local IoManager* tCurrent = nullptr;
}  // namespace

IoManager::IoManager(Kernel& kernel) : kernel_(kernel) {
    KeInitializeSpinLock(&cancelLock_);
    cancelLock_.SetDebugName("cancel spin lock");
}

IoManager::~IoManager() = default;

IoManager& IoManager::Current() {
    if (tCurrent == nullptr) {
        std::fprintf(stderr, "I/O routine called outside a running machine\n");
        std::abort();
    }
    return *tCurrent;
}

IoManager::Scope::Scope(IoManager& io) : previous_(tCurrent) {
    tCurrent = &io;
}
IoManager::Scope::~Scope() {
    tCurrent = previous_;
}

void CheckLiveIrp(const IRP* irp, const char* what) {
    if (irp != nullptr && IoManager::Current().IsLiveIrp(irp) &&
        irp->Bookkeeping.magic == kIrpMagic) {
        return;
    }
    std::ostringstream detail;
    detail << what << " of " << (irp == nullptr ? "a null IRP" : "memory that is no live IRP")
           << " (freed already?) by '" << Kernel::Current().CurrentThreadName() << "'";
    VerifierViolation(Violation::kIoMisuse, detail.str());
}

}  // namespace platform
