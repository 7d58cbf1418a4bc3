#include "platform/clock/clock.h"
#include "platform/wdm/bugcheck.h"
#include "platform/wdm/hal.h"
#include "platform/wdm/irql.h"

namespace {

thread_local KIRQL currentIrql = PASSIVE_LEVEL;

}  // namespace

KIRQL KeGetCurrentIrql() { return currentIrql; }

VOID KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql) {
  if (newIrql < currentIrql) keld::wdm::bugCheck("KeRaiseIrql to a lower level");
  *oldIrql = currentIrql;
  currentIrql = newIrql;
}

VOID KeLowerIrql(KIRQL newIrql) {
  if (newIrql > currentIrql) keld::wdm::bugCheck("KeLowerIrql to a higher level");
  currentIrql = newIrql;
}

VOID KeStallExecutionProcessor(ULONG microseconds) { keld::clock::stallFor(microseconds); }
