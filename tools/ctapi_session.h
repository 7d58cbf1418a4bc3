#pragma once
// One card terminal opened through the CT-API library, as any application
// opens it, with the commands `keld` sends to the terminal and the card.

#include <cstdint>
#include <string>

#include "tools/smartcard_text.h"

namespace keld::tools {

constexpr std::uint8_t ADDRESS_CARD = 0;
constexpr std::uint8_t ADDRESS_TERMINAL = 1;
constexpr std::uint8_t ADDRESS_HOST = 2;

struct Exchange {
  int code = 0;           // CT-API return code
  Bytes response;         // status word last, when code is 0
  std::uint8_t dad = 0;   // receiver and sender of the response
  std::uint8_t sad = 0;

  bool ok() const { return code == 0 && response.size() >= 2; }
  std::uint8_t sw1() const { return response[response.size() - 2]; }
  std::uint8_t sw2() const { return response[response.size() - 1]; }
  // The response without its status word.
  Bytes data() const { return ok() ? Bytes(response.begin(), response.end() - 2) : Bytes{}; }
};

class Terminal {
 public:
  Terminal(std::uint16_t ctn, std::uint16_t port) : ctn_(ctn), port_(port) {}
  ~Terminal();
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  // CT_init; the CT-API code.
  int open();
  Exchange send(std::uint8_t destination, const Bytes& command);

 private:
  std::uint16_t ctn_;
  std::uint16_t port_;
  bool open_ = false;
};

// Commands of the card-terminal command set.
namespace ct_command {
inline const Bytes RESET_CT = {0x20, 0x11, 0x00, 0x00, 0x00};
inline const Bytes REQUEST_ICC = {0x20, 0x12, 0x01, 0x00, 0x00};
inline const Bytes GET_STATUS_ICC = {0x20, 0x13, 0x00, 0x80, 0x00};
inline const Bytes GET_STATUS_MANUFACTURER = {0x20, 0x13, 0x00, 0x46, 0x00};
inline const Bytes EJECT_ICC = {0x20, 0x15, 0x01, 0x00, 0x00};
inline const Bytes SELECT_FF10 = {0x00, 0xA4, 0x00, 0x00, 0x02, 0xFF, 0x10};
inline const Bytes SELECT_FF11 = {0x00, 0xA4, 0x00, 0x00, 0x02, 0xFF, 0x11};
inline const Bytes READ_BINARY_ALL = {0x00, 0xB0, 0x00, 0x00, 0x00};
}  // namespace ct_command

}  // namespace keld::tools
