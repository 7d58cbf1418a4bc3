#include "reader/cards/apdu.h"

namespace keld::reader {

std::optional<CommandApdu> parseCommandApdu(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 4) return std::nullopt;
  CommandApdu apdu{bytes[0], bytes[1], bytes[2], bytes[3], {}, std::nullopt};
  if (bytes.size() == 4) return apdu;  // case 1
  const std::size_t first = bytes[4];
  if (bytes.size() == 5) {  // case 2
    apdu.le = first == 0 ? 256 : first;
    return apdu;
  }
  // A zero Lc in front of more bytes opens the extended form, which these
  // cards do not take.
  if (first == 0) return std::nullopt;
  if (bytes.size() == 5 + first) {  // case 3
    apdu.data = bytes.subspan(5, first);
    return apdu;
  }
  if (bytes.size() == 6 + first) {  // case 4
    apdu.data = bytes.subspan(5, first);
    apdu.le = bytes.back() == 0 ? 256 : bytes.back();
    return apdu;
  }
  return std::nullopt;
}

Bytes response(std::span<const std::uint8_t> data, std::uint16_t status) {
  Bytes out(data.begin(), data.end());
  out.push_back(static_cast<std::uint8_t>(status >> 8));
  out.push_back(static_cast<std::uint8_t>(status & 0xFF));
  return out;
}

Bytes response(std::uint16_t status) { return response({}, status); }

}  // namespace keld::reader
