#include <algorithm>
#include <atomic>
#include <thread>

#include "platform/clock/clock.h"
#include "platform/wdm/bugcheck.h"
#include "platform/wdm/ke_sync.h"

namespace {

// 100 ns units to microseconds, rounded up so that a pause never ends early.
keld::clock::Microseconds toMicroseconds(LONGLONG hundredNanoseconds) {
  return static_cast<keld::clock::Microseconds>((hundredNanoseconds + 9) / 10);
}

// Takes the event's signal; a synchronization event clears itself for the waiter it releases.
bool takeSignal(KEVENT& event) {
  std::atomic_ref<LONG> state(event.SignalState);
  if (event.Type == SynchronizationEvent) {
    LONG signalled = 1;
    return state.compare_exchange_strong(signalled, 0);
  }
  return state.load() != 0;
}

// Marks a spin lock with its holder, so that a second acquire by the same thread is caught.
ULONG_PTR threadMark() {
  thread_local char mark;
  return reinterpret_cast<ULONG_PTR>(&mark);
}

}  // namespace

VOID KeInitializeEvent(PKEVENT event, EVENT_TYPE type, BOOLEAN state) {
  event->Type = type;
  std::atomic_ref<LONG>(event->SignalState).store(state ? 1 : 0);
}

LONG KeSetEvent(PKEVENT event, KPRIORITY, BOOLEAN) {
  std::atomic_ref<LONG> state(event->SignalState);
  const LONG previous = state.exchange(1);
  state.notify_all();
  return previous;
}

VOID KeClearEvent(PKEVENT event) { std::atomic_ref<LONG>(event->SignalState).store(0); }

LONG KeResetEvent(PKEVENT event) { return std::atomic_ref<LONG>(event->SignalState).exchange(0); }

LONG KeReadStateEvent(PKEVENT event) { return std::atomic_ref<LONG>(event->SignalState).load(); }

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER timeout) {
  KEVENT& event = *static_cast<PKEVENT>(object);
  const bool poll = timeout != nullptr && timeout->QuadPart == 0;
  if (!poll && KeGetCurrentIrql() >= DISPATCH_LEVEL) keld::wdm::bugCheck("KeWaitForSingleObject at DISPATCH_LEVEL");
  if (takeSignal(event)) return STATUS_SUCCESS;
  if (poll) return STATUS_TIMEOUT;

  std::atomic_ref<LONG> state(event.SignalState);
  if (timeout == nullptr) {
    for (;;) {
      state.wait(0);
      if (takeSignal(event)) return STATUS_SUCCESS;
    }
  }

  // A timed wait steps along the shared clock, so that virtual time runs it out at once.
  const keld::clock::Microseconds start = keld::clock::now();
  const keld::clock::Microseconds deadline =
      timeout->QuadPart < 0 ? start + toMicroseconds(-timeout->QuadPart) : toMicroseconds(timeout->QuadPart);
  for (;;) {
    const keld::clock::Microseconds now = keld::clock::now();
    if (now >= deadline) return takeSignal(event) ? STATUS_SUCCESS : STATUS_TIMEOUT;
    keld::clock::sleepFor(std::min<keld::clock::Microseconds>(deadline - now, 1000));
    if (takeSignal(event)) return STATUS_SUCCESS;
  }
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER interval) {
  if (KeGetCurrentIrql() >= DISPATCH_LEVEL) keld::wdm::bugCheck("KeDelayExecutionThread at DISPATCH_LEVEL");
  if (interval->QuadPart < 0) {
    keld::clock::sleepFor(toMicroseconds(-interval->QuadPart));
  } else {
    const keld::clock::Microseconds until = toMicroseconds(interval->QuadPart);
    const keld::clock::Microseconds now = keld::clock::now();
    if (until > now) keld::clock::sleepFor(until - now);
  }
  return STATUS_SUCCESS;
}

VOID KeInitializeSpinLock(PKSPIN_LOCK lock) { std::atomic_ref<KSPIN_LOCK>(*lock).store(0); }

VOID KeAcquireSpinLock(PKSPIN_LOCK lock, PKIRQL oldIrql) {
  KeRaiseIrql(DISPATCH_LEVEL, oldIrql);
  std::atomic_ref<KSPIN_LOCK> held(*lock);
  const ULONG_PTR mark = threadMark();
  for (;;) {
    KSPIN_LOCK expected = 0;
    if (held.compare_exchange_weak(expected, mark, std::memory_order_acquire)) return;
    if (expected == mark) keld::wdm::bugCheck("spin lock acquired again by its holder");
    std::this_thread::yield();
  }
}

VOID KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql) {
  std::atomic_ref<KSPIN_LOCK> held(*lock);
  if (held.load(std::memory_order_relaxed) != threadMark()) keld::wdm::bugCheck("spin lock released by a thread that does not hold it");
  held.store(0, std::memory_order_release);
  KeLowerIrql(newIrql);
}

PVOID InterlockedCompareExchangePointer(PVOID volatile* destination, PVOID exchange, PVOID comparand) {
  std::atomic_ref<PVOID> target(*const_cast<PVOID*>(destination));
  target.compare_exchange_strong(comparand, exchange);
  return comparand;
}

PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value) {
  return std::atomic_ref<PVOID>(*const_cast<PVOID*>(target)).exchange(value);
}
