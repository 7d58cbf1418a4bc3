#include "reader/personality.h"

namespace keld::reader {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

std::uint16_t digit(char c) { return static_cast<std::uint16_t>(c - '0'); }

}  // namespace

std::uint16_t Personality::versionCode() const {
  if (versionText.size() < 4) return 0;
  return static_cast<std::uint16_t>(digit(versionText[0]) << 8 | digit(versionText[2]) << 4 |
                                    digit(versionText[3]));
}

std::optional<Personality> makePersonality(std::string_view versionText, std::uint8_t variant) {
  if (versionText.size() < 4 || versionText.size() > 5) return std::nullopt;
  if (!isDigit(versionText[0]) || versionText[1] != '.' || !isDigit(versionText[2]) ||
      !isDigit(versionText[3])) {
    return std::nullopt;
  }
  return Personality{std::string(versionText), variant};
}

}  // namespace keld::reader
