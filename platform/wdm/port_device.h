#pragma once
// A device model on the port bus: the reader emulator, or a test's scripted
// port fake. The bus hands it every port access that falls in the range it
// claimed, as an offset from the range's base.

#include <cstdint>

namespace keld {

class PortDevice {
 public:
  virtual ~PortDevice() = default;
  virtual std::uint8_t readPort(std::uint16_t offset) = 0;
  virtual void writePort(std::uint16_t offset, std::uint8_t value) = 0;
};

}  // namespace keld
