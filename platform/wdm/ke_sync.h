#pragma once
// Kernel events, spin locks, waits, delays and interlocked pointer updates.

#include "platform/wdm/irql.h"
#include "platform/wdm/ntstatus.h"
#include "platform/wdm/wdm_types.h"

enum EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 };
enum KWAIT_REASON { Executive = 0 };

// A notification event stays signalled until cleared; a synchronization
// event releases one waiter and clears itself.
struct KEVENT {
  LONG Type;
  LONG SignalState;
};
using PKEVENT = KEVENT*;

VOID KeInitializeEvent(PKEVENT event, EVENT_TYPE type, BOOLEAN state);
// Returns the previous signal state.
LONG KeSetEvent(PKEVENT event, KPRIORITY increment, BOOLEAN wait);
VOID KeClearEvent(PKEVENT event);
LONG KeResetEvent(PKEVENT event);
LONG KeReadStateEvent(PKEVENT event);

// Waits on a KEVENT. No time-out (nullptr) waits for ever; a time-out is a
// negative relative interval in 100 ns units, or zero to test the state.
// STATUS_SUCCESS when signalled, STATUS_TIMEOUT when the time ran out.
// Waiting with a time-out other than zero is a fault at DISPATCH_LEVEL.
NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON waitReason, KPROCESSOR_MODE waitMode,
                               BOOLEAN alertable, PLARGE_INTEGER timeout);

// Sleeps on the shared clock. The interval is in 100 ns units, negative for
// a relative pause, positive for an absolute time on the shared clock.
// Calling it at DISPATCH_LEVEL or above stops the process.
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE waitMode, BOOLEAN alertable, PLARGE_INTEGER interval);

using KSPIN_LOCK = ULONG_PTR;
using PKSPIN_LOCK = KSPIN_LOCK*;

VOID KeInitializeSpinLock(PKSPIN_LOCK lock);
// Raises to DISPATCH_LEVEL, then takes the lock; the release lowers back.
VOID KeAcquireSpinLock(PKSPIN_LOCK lock, PKIRQL oldIrql);
VOID KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql);

// Both return the value the target held before.
PVOID InterlockedCompareExchangePointer(PVOID volatile* destination, PVOID exchange, PVOID comparand);
PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value);
