#pragma once
// The I/O port bus behind READ_PORT_UCHAR and WRITE_PORT_UCHAR. Device models
// (the reader emulator, a test's port fake) claim a range of ports and get
// every access in it as an offset from the range's base. A read of a port
// that nobody claimed returns 0xFF, as an empty bus does; a write there is
// dropped.

#include <cstdint>
#include <functional>

#include "platform/wdm/port_device.h"

namespace keld::wdm {

using PortNumber = std::uint16_t;

// Claims ports base .. base + length - 1 for `device`, which must outlive the
// claim. Refused (false) for an empty range, one beyond port 0xFFFF, or one
// that overlaps an existing claim. A model must not claim or release ports
// from inside one of its own port accesses.
bool claimPorts(PortNumber base, std::uint32_t length, PortDevice& device);

// Drops the claim that starts at `base`; false when there is none.
bool releasePorts(PortNumber base);

// Drops every claim of `device`.
void releasePorts(PortDevice& device);

std::uint8_t readPort(PortNumber port);
void writePort(PortNumber port, std::uint8_t value);

struct PortAccess {
  PortNumber port;
  std::uint8_t value;  // read or written
  bool write;
  bool claimed;  // false when no model holds the port
};

// Called after every access, on the accessing thread; an empty function
// turns tracing off. For the host's trace log and for tests.
void setPortTrace(std::function<void(const PortAccess&)> trace);

}  // namespace keld::wdm
