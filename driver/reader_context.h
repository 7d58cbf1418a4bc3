#pragma once
// Per-device state of the reader driver: the reader's port state
// (ReaderContext) and the device extension that carries it (ReaderExtension).

#include <atomic>

#include "platform/wdm/wdm.h"

namespace keldrin {

// Called when the reader reports a card insertion (Inserted TRUE) or removal.
using CARD_CHANGE_CALLBACK = void (*)(PVOID CallbackContext, BOOLEAN Inserted, ULONG Reserved);

struct ReaderContext {
  ULONG IoBase;           // port base from the start resources; 0 until the first start
  ULONG InterruptVector;  // recorded and reported only; no interrupt is connected
  ULONG PollLimit;        // status polls per wait; read at every poll, replaced by IOCTL_READER_TIMEOUT
  UCHAR ConfigP1;         // P1 of the configuration command sent after every reset
  UCHAR FwMajor;
  UCHAR FwMinor;          // tens and units as two nibbles
  UCHAR FwVariant;
  ULONG PowerState;       // POWER_STATE_D0 or POWER_STATE_D3
  CARD_CHANGE_CALLBACK CardChangeCallback;
  PVOID CallbackContext;
};

constexpr ULONG POWER_STATE_D0 = 1;
constexpr ULONG POWER_STATE_D3 = 2;
constexpr ULONG DEFAULT_POLL_LIMIT = 1000;

struct ReaderExtension {
  PDEVICE_OBJECT LowerDevice;
  UNICODE_STRING InterfaceLink;
  LONG StopPending;       // -1 from query-stop until cancel-stop or the next start
  KSPIN_LOCK StateLock;   // guards StopPending
  UCHAR IsOpen;
  UCHAR LinkCreated;
  ULONG SlotIndex;
  ReaderContext Reader;
  UCHAR CardEvent;
  PVOID ActiveTransmit;   // the request that owns the reader's ports, or none
  // Set by a successful start, cleared by stop, surprise removal and removal:
  // no port is touched while it is clear.
  UCHAR DeviceStarted;
};

inline ReaderExtension* ExtensionOf(PDEVICE_OBJECT DeviceObject) {
  return static_cast<ReaderExtension*>(DeviceObject->DeviceExtension);
}

// Plug and play changes it while control requests read it.
inline void SetDeviceStarted(ReaderExtension* Extension, bool Started) {
  std::atomic_ref<UCHAR>(Extension->DeviceStarted).store(Started ? 1 : 0);
}

inline bool ReaderPortsUsable(ReaderExtension* Extension) {
  return std::atomic_ref<UCHAR>(Extension->DeviceStarted).load() != 0 && Extension->Reader.IoBase != 0;
}

// Takes the reader's ports for `Owner` in one atomic step; false when another
// request holds them.
inline bool AcquireReader(ReaderExtension* Extension, PVOID Owner) {
  return InterlockedCompareExchangePointer(&Extension->ActiveTransmit, Owner, nullptr) == nullptr;
}

// Only the owner releases; a request that did not take the ports changes nothing.
inline void ReleaseReader(ReaderExtension* Extension, PVOID Owner) {
  InterlockedCompareExchangePointer(&Extension->ActiveTransmit, nullptr, Owner);
}

}  // namespace keldrin
