#include "platform/kernel/irql.h"

#include <string>

#include "platform/kernel/kernel.h"

namespace platform {

const char* IrqlName(KIRQL irql) {
    switch (irql) {
        case PASSIVE_LEVEL:
            return "PASSIVE_LEVEL";
        case APC_LEVEL:
            return "APC_LEVEL";
        case DISPATCH_LEVEL:
            return "DISPATCH_LEVEL";
        case HIGH_LEVEL:
            return "HIGH_LEVEL";
        default:
            return "device IRQL";
    }
}

}  // namespace platform

using platform::Kernel;
using platform::Violation;

KIRQL KeGetCurrentIrql() {
    return Kernel::Current().CurrentThread().irql;
}

void KeRaiseIrql(KIRQL newIrql, KIRQL* oldIrql) {
    Kernel& kernel = Kernel::Current();
    const KIRQL current = kernel.CurrentThread().irql;
    if (newIrql < current) {
        platform::VerifierViolation(Violation::kIrqlMisuse,
                                    std::string("KeRaiseIrql to ") + platform::IrqlName(newIrql) +
                                        " from " + platform::IrqlName(current));
    }
    *oldIrql = current;
    kernel.SetIrql(newIrql);
}

KIRQL KeRaiseIrqlToDpcLevel() {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

void KeLowerIrql(KIRQL newIrql) {
    Kernel& kernel = Kernel::Current();
    const KIRQL current = kernel.CurrentThread().irql;
    if (newIrql > current) {
        platform::VerifierViolation(Violation::kIrqlMisuse,
                                    std::string("KeLowerIrql to ") + platform::IrqlName(newIrql) +
                                        " from " + platform::IrqlName(current));
    }
    kernel.SetIrql(newIrql);
    // A fault reported while this thread could not be unwound (paged pool touched at
    // DISPATCH_LEVEL) ends it here, at its first safe point.
    kernel.scheduler().CheckFault();
}
