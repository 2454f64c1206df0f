#include "platform/sched/context_switch.h"

#include <cstdint>
#include <cstring>

#if !defined(__x86_64__)
#error "the fiber context switch is written for x86-64"
#endif

// Saved frame, from the saved stack pointer up: x87 control word and MXCSR (16
// bytes, to keep the stack 16-byte aligned), r15, r14, r13, r12, rbx, rbp, and the
// address to continue at.
asm(R"(
    .text
    .globl KaldritSwitchContext
    .type KaldritSwitchContext, @function
KaldritSwitchContext:
    pushq %rbp
    pushq %rbx
    pushq %r12
    pushq %r13
    pushq %r14
    pushq %r15
    subq $16, %rsp
    stmxcsr 8(%rsp)
    fnstcw (%rsp)
    movq %rsp, (%rdi)
    movq %rsi, %rsp
    fldcw (%rsp)
    ldmxcsr 8(%rsp)
    addq $16, %rsp
    popq %r15
    popq %r14
    popq %r13
    popq %r12
    popq %rbx
    popq %rbp
    ret
    .size KaldritSwitchContext, .-KaldritSwitchContext
    .section .note.GNU-stack,"",@progbits
    .text
)");

namespace platform {

void* PrepareContext(void* bottom, std::size_t size, void (*entry)()) {
    auto top = reinterpret_cast<std::uintptr_t>(bottom) + size;
    top &= ~std::uintptr_t{15};
    auto* slots = reinterpret_cast<std::uint64_t*>(top);
    slots[-1] = 0;  // the entry's return address: none, which also ends unwinding
    slots[-2] = reinterpret_cast<std::uint64_t>(entry);
    for (int i = 3; i <= 8; ++i) slots[-i] = 0;  // rbp, rbx, r12 to r15
    // Control words as a fresh thread has them: all exceptions masked, round to
    // nearest, 64-bit x87 precision.
    auto* control = reinterpret_cast<unsigned char*>(&slots[-10]);
    const std::uint16_t x87 = 0x037F;
    const std::uint32_t mxcsr = 0x1F80;
    std::memset(control, 0, 16);
    std::memcpy(control, &x87, sizeof x87);
    std::memcpy(control + 8, &mxcsr, sizeof mxcsr);
    return control;
}

}  // namespace platform
