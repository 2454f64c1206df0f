// Interrupt request levels. Every fiber has its own, as every processor has on
// Windows; spin locks raise it to DISPATCH_LEVEL, and the verifier checks what code
// does there.
#pragma once

#include "platform/core/types.h"

using KIRQL = UCHAR;

inline constexpr KIRQL PASSIVE_LEVEL = 0;
inline constexpr KIRQL APC_LEVEL = 1;
inline constexpr KIRQL DISPATCH_LEVEL = 2;
inline constexpr KIRQL HIGH_LEVEL = 15;

KIRQL KeGetCurrentIrql();
// Raises to `newIrql` (not below the current level) and gives the previous one.
void KeRaiseIrql(KIRQL newIrql, KIRQL* oldIrql);
KIRQL KeRaiseIrqlToDpcLevel();
// Lowers to `newIrql` (not above the current level).
void KeLowerIrql(KIRQL newIrql);

namespace platform {
const char* IrqlName(KIRQL irql);
}
