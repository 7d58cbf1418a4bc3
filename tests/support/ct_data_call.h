#pragma once
// One CT_data call as the tests write it: hex in, hex out.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "ctapi/include/keldapi.h"
#include "support/hex.h"

namespace keld::test {

// CT_data from the host (sad 2) to `dad` on terminal `ctn`: the response as
// hex, or "ERR <code>".
inline std::string ctData(std::uint16_t ctn, std::uint8_t dad, Bytes c) {
  std::uint8_t response[300];
  std::uint16_t length = sizeof response;
  std::uint8_t sad = 2;
  const std::int8_t r = CT_data(ctn, &dad, &sad, static_cast<std::uint16_t>(c.size()), c.data(), &length, response);
  if (r != OK) return "ERR " + std::to_string(r);
  return toHex(std::span(response, length));
}
inline std::string ctData(std::uint16_t ctn, std::uint8_t dad, std::string_view command) {
  return ctData(ctn, dad, hex(command));
}

// The last `bytes` bytes of a response in hex, such as its status word.
inline std::string lastBytes(const std::string& response, std::size_t bytes) {
  return response.size() >= bytes * 3 - 1 ? response.substr(response.size() - (bytes * 3 - 1)) : response;
}

}  // namespace keld::test
