#include "platform/kernel/verifier.h"

#include "platform/kernel/kernel.h"

namespace platform {

const char* ViolationName(Violation violation) {
    switch (violation) {
        case Violation::kWaitAtDispatch:
            return "wait at DISPATCH_LEVEL";
        case Violation::kMutexAtDispatch:
            return "kernel mutex acquired at DISPATCH_LEVEL";
        case Violation::kPagedPoolAtDispatch:
            return "paged pool used at DISPATCH_LEVEL";
        case Violation::kReleaseNotHeld:
            return "lock released that is not held";
        case Violation::kSpinLockRecursion:
            return "spin lock acquired by its holder";
        case Violation::kDoubleFree:
            return "pool freed twice or never allocated";
        case Violation::kWrongTag:
            return "pool freed with the wrong tag";
        case Violation::kPoolLeakAtUnload:
            return "pool still allocated at driver unload";
        case Violation::kIrqlMisuse:
            return "IRQL misuse";
        case Violation::kIoMisuse:
            return "I/O request misuse";
    }
    return "?";
}

void VerifierViolation(Violation violation, const std::string& detail) {
    Kernel& kernel = Kernel::Current();
    kernel.RecordViolation(violation);
    kernel.scheduler().Fault(std::string("DRIVER VERIFIER: ") + ViolationName(violation) + ": " +
                             detail);
}

}  // namespace platform
