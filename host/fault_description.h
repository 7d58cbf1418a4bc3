#pragma once
// The fault descriptions of the inject-fault host command, for example
// "corrupt=2", "silence=1,timeout=1", "stuck-busy=on", "unsolicited=21 00 05 30 00 01 00 00 15",
// "clear". Pure parsing; the kernel host applies them to the emulator.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace keld::host {

struct FaultRequest {
  bool clear = false;                          // drop every fault first
  unsigned corruptAnswers = 0;                 // answers with a wrong epilogue
  unsigned silentBlocks = 0;                   // blocks never answered
  unsigned timeOutBlocks = 0;                  // blocks answered with 64 A8
  unsigned failIdentifications = 0;            // resets with a wrong identification text
  std::optional<bool> stuckBusy;               // never ready / ready again
  std::optional<std::vector<std::uint8_t>> unsolicited;  // a block offered ahead of the next answer
};

// Comma-separated key=value items; nothing set is an error.
std::optional<FaultRequest> parseFaultDescription(std::string_view description, std::string& error);

// The keys, for help texts.
constexpr std::string_view FAULT_DESCRIPTION_KEYS =
    "corrupt=N, silence=N, timeout=N, fail-identification=N, stuck-busy=on|off, unsolicited=HEX, clear";

}  // namespace keld::host
