#pragma once
// What kind of reader the emulator is: its firmware version text and variant
// code, chosen at start. The version decides what the host adapts to: the
// long length form (two minor digits 18 or more, compared as nibbles) and,
// from 4.00 on, the firmware's own REQUEST ICC, GET STATUS and EJECT ICC.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace keld::reader {

struct Personality {
  // Digit, point, digit, digit, optionally one more character ("2.27k").
  std::string versionText = "4.00";
  std::uint8_t variant = 0x01;

  // Version as three digit nibbles: "2.32" is 0x232.
  std::uint16_t versionCode() const;
  bool longLengthForm() const { return (versionCode() & 0xFF) >= 0x18; }
  bool iccCommands() const { return versionCode() >= 0x400; }
};

// A personality for the version text, or nothing when the text is not of the
// form above.
std::optional<Personality> makePersonality(std::string_view versionText,
                                           std::uint8_t variant = 0x01);

}  // namespace keld::reader
