#include "tools/ctapi_session.h"

#include <keldapi.h>

#include <array>

namespace keld::tools {

Terminal::~Terminal() {
  if (open_) CT_close(ctn_);
}

int Terminal::open() {
  const int code = CT_init(ctn_, port_);
  open_ = code == OK;
  return code;
}

Exchange Terminal::send(std::uint8_t destination, const Bytes& command) {
  // Room for the longest response APDU (256 data bytes and the status word)
  // and then some, so that a chained response is never cut by our buffer.
  std::array<std::uint8_t, 1024> response{};
  Bytes copy = command;  // the library may rewrite bytes of the command
  Exchange out;
  out.dad = destination;
  out.sad = ADDRESS_HOST;
  std::uint16_t length = static_cast<std::uint16_t>(response.size());
  out.code = CT_data(ctn_, &out.dad, &out.sad, static_cast<std::uint16_t>(copy.size()), copy.data(),
                     &length, response.data());
  if (out.code == OK) out.response.assign(response.begin(), response.begin() + length);
  return out;
}

}  // namespace keld::tools
