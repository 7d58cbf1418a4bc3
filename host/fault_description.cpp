#include "host/fault_description.h"

#include <charconv>

namespace keld::host {
namespace {

std::optional<unsigned> count(std::string_view text) {
  unsigned value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc{} || end != text.data() + text.size() || value > 1000) return std::nullopt;
  return value;
}

std::optional<std::vector<std::uint8_t>> hexBytes(std::string_view text) {
  std::vector<std::uint8_t> bytes;
  int high = -1;
  for (char c : text) {
    if (c == ' ') continue;
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else return std::nullopt;
    if (high < 0) {
      high = v;
    } else {
      bytes.push_back(static_cast<std::uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  if (high >= 0 || bytes.empty() || bytes.size() > 270) return std::nullopt;
  return bytes;
}

}  // namespace

std::optional<FaultRequest> parseFaultDescription(std::string_view description, std::string& error) {
  FaultRequest request;
  bool any = false;
  while (!description.empty()) {
    const std::size_t comma = description.find(',');
    std::string_view item = description.substr(0, comma);
    description = comma == std::string_view::npos ? std::string_view{} : description.substr(comma + 1);
    while (item.starts_with(' ')) item.remove_prefix(1);
    if (item.empty()) continue;
    any = true;
    if (item == "clear") {
      request.clear = true;
      continue;
    }
    const std::size_t eq = item.find('=');
    const std::string_view key = item.substr(0, eq);
    const std::string_view value = eq == std::string_view::npos ? std::string_view{} : item.substr(eq + 1);
    auto bad = [&](const char* what) {
      error = "fault '" + std::string(item) + "': " + what;
      return std::nullopt;
    };
    unsigned* counter = key == "corrupt"               ? &request.corruptAnswers
                        : key == "silence"             ? &request.silentBlocks
                        : key == "timeout"             ? &request.timeOutBlocks
                        : key == "fail-identification" ? &request.failIdentifications
                                                       : nullptr;
    if (counter != nullptr) {
      std::optional<unsigned> n = count(value);
      if (!n) return bad("needs a count from 0 to 1000");
      *counter = *n;
    } else if (key == "stuck-busy") {
      if (value == "on") request.stuckBusy = true;
      else if (value == "off") request.stuckBusy = false;
      else return bad("is on or off");
    } else if (key == "unsolicited") {
      request.unsolicited = hexBytes(value);
      if (!request.unsolicited) return bad("needs a block in hex, 1 to 270 bytes");
    } else {
      error = "unknown fault '" + std::string(key) + "' (" + std::string(FAULT_DESCRIPTION_KEYS) + ")";
      return std::nullopt;
    }
  }
  if (!any) {
    error = "no fault given (" + std::string(FAULT_DESCRIPTION_KEYS) + ")";
    return std::nullopt;
  }
  return request;
}

}  // namespace keld::host
