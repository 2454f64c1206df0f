// The machine-level switch between stacks. Only what a call preserves is saved
// (callee-saved registers and the floating-point control words), which is why a
// switch costs nanoseconds instead of the system call a full context switch makes.
#pragma once

#include <cstddef>

namespace platform {

// Saves the running context's stack pointer in *save and continues the context
// whose stack pointer is `load`.
extern "C" void KaldritSwitchContext(void** save, void* load);

// Prepares a stack of `size` bytes at `bottom` so that switching to the returned
// stack pointer calls `entry`, which must never return.
void* PrepareContext(void* bottom, std::size_t size, void (*entry)());

}  // namespace platform
