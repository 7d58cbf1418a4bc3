#pragma once
// Faults the emulator can be told to show, for tests and for the host's
// control commands. Counts run down as the faults are shown.

#include <optional>

#include "reader/card.h"

namespace keld::reader {

struct FaultScript {
  unsigned corruptAnswers = 0;      // answers whose last epilogue byte is flipped
  unsigned silentBlocks = 0;        // blocks taken and never answered (nor carried out)
  unsigned timeOutBlocks = 0;       // blocks answered with the time-out status 64 A8 instead
  unsigned failIdentifications = 0; // resets whose identification text is wrong
  bool stuckBusy = false;           // never ready; blocks written meanwhile are lost
  std::optional<Bytes> unsolicited; // offered ahead of the next answer
};

}  // namespace keld::reader
