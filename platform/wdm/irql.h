#pragma once
// Interrupt request level, per thread. Code that runs at DISPATCH_LEVEL must
// not sleep or wait; the stand-in stops the process when it tries.

#include "platform/wdm/wdm_types.h"

using KIRQL = UCHAR;
using PKIRQL = KIRQL*;

constexpr KIRQL PASSIVE_LEVEL = 0;
constexpr KIRQL APC_LEVEL = 1;
constexpr KIRQL DISPATCH_LEVEL = 2;
constexpr KIRQL HIGH_LEVEL = 31;

KIRQL KeGetCurrentIrql();
// Raising to a lower level, or lowering to a higher one, is a fault.
VOID KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql);
VOID KeLowerIrql(KIRQL newIrql);
