#pragma once
// What the socket server needs of the devices: the host's object namespace
// and I/O manager as its clients see them, and the host commands. The kernel
// host implements it over the driver; the server's tests use a fake.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32/host_protocol.h"

namespace keld::host {

struct OpenOutcome {
  std::int32_t status;
  std::uint32_t handle;  // valid only when status is a success
};

struct ControlOutcome {
  std::int32_t status;
  std::uint32_t bytesReturned;       // at most the caller's output size
  std::vector<std::uint8_t> output;  // at least bytesReturned bytes
};

struct CommandOutcome {
  std::int32_t status;
  std::string text;
};

class DeviceService {
 public:
  virtual ~DeviceService() = default;
  // Opens a name of the namespace ("\DosDevices\KELDCT_0"), following links.
  virtual OpenOutcome open(std::string_view name) = 0;
  // One buffered control request on an open handle.
  virtual ControlOutcome control(std::uint32_t handle, std::uint32_t code, std::span<const std::uint8_t> input,
                                 std::uint32_t outputSize) = 0;
  // Cleanup and close of the handle.
  virtual std::int32_t close(std::uint32_t handle) = 0;
  virtual CommandOutcome command(hostproto::HostCommand command, std::uint16_t reader, std::uint32_t delayMs,
                                 std::string_view argument) = 0;
};

}  // namespace keld::host
