#pragma once
// A scripted port expectation fake: a device model for the port bus that
// expects an exact sequence of register reads and writes ("write 0x01 to
// base+1, then read base+1 returning 0x40 ..."). The first access that
// differs is recorded with its step number; from then on reads return 0.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/wdm/port_device.h"
#include "support/hex.h"

namespace keld::test {

class PortScript : public keld::PortDevice {
 public:
  struct Step {
    bool isWrite;
    std::uint16_t offset;
    std::uint8_t value;  // written value, or the value a read returns
  };

  PortScript& write(std::uint16_t offset, std::uint8_t value);
  PortScript& read(std::uint16_t offset, std::uint8_t result);
  // The same read `times` times in a row.
  PortScript& reads(std::uint16_t offset, std::uint8_t result, std::size_t times);
  // One write (or read) per byte, at the same offset.
  PortScript& writeBytes(std::uint16_t offset, const Bytes& values);
  PortScript& readBytes(std::uint16_t offset, const Bytes& results);

  // Empty when every step was taken in order and nothing else happened;
  // otherwise the first difference, e.g. "step 4: expected write 0x01 to
  // base+1, got read of base+1".
  std::string verify() const;
  // Steps taken so far.
  std::size_t position() const;
  // Accesses seen, in order, as "W1=01" / "R0=40".
  std::vector<std::string> trace() const;

  std::uint8_t readPort(std::uint16_t offset) override;
  void writePort(std::uint16_t offset, std::uint8_t value) override;

 private:
  void take(const Step& seen, std::uint8_t* result);

  mutable std::mutex lock_;
  std::vector<Step> steps_;
  std::size_t next_ = 0;
  std::string failure_;
  std::vector<std::string> trace_;
};

}  // namespace keld::test
