// The driver verifier: always on. It turns a misuse of the kernel's rules into a
// loud, immediate end of the run whose report names the fiber, instead of a
// corruption found much later or never.
#pragma once

#include <string>

namespace platform {

enum class Violation {
    kWaitAtDispatch,       // a wait with a non-zero time-out at DISPATCH_LEVEL or above
    kMutexAtDispatch,      // a kernel mutex acquired at DISPATCH_LEVEL or above
    kPagedPoolAtDispatch,  // paged pool allocated, freed or touched at DISPATCH_LEVEL
    kReleaseNotHeld,       // a spin lock or mutex released by a thread that does not hold it
    kSpinLockRecursion,    // a spin lock acquired again by its holder: a certain hang
    kDoubleFree,           // pool freed twice, or memory freed that pool never gave
    kWrongTag,             // pool freed with a tag other than its own
    kPoolLeakAtUnload,     // pool still allocated when a driver unloads
    kIrqlMisuse,           // a raise to a lower level, a lower to a higher one, and the like
    kIoMisuse,             // an IRP or device object used against the I/O manager's rules
};

const char* ViolationName(Violation violation);

// Ends the run with "DRIVER VERIFIER: <name>: <detail>" and the current fiber.
[[noreturn]] void VerifierViolation(Violation violation, const std::string& detail);

}  // namespace platform
