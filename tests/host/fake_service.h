#pragma once
// A DeviceService with named exclusive devices that answer control requests
// from a function, for the server's and the session's tests.

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host/device_service.h"

namespace keld::test {

class FakeService final : public host::DeviceService {
 public:
  using Responder = std::function<host::ControlOutcome(std::uint32_t code, std::span<const std::uint8_t> input,
                                                       std::uint32_t outputSize)>;

  // "\DosDevices\KELDCT_<n>"; the default responder echoes the input.
  void addDevice(const std::string& name, Responder responder = {});

  host::OpenOutcome open(std::string_view name) override;
  host::ControlOutcome control(std::uint32_t handle, std::uint32_t code, std::span<const std::uint8_t> input,
                               std::uint32_t outputSize) override;
  std::int32_t close(std::uint32_t handle) override;
  host::CommandOutcome command(hostproto::HostCommand command, std::uint16_t reader, std::uint32_t delayMs,
                               std::string_view argument) override;

  int openHandles() const;
  std::vector<std::string> commands() const;

 private:
  mutable std::mutex lock_;
  std::map<std::string, Responder> devices_;
  std::map<std::uint32_t, std::string> handles_;
  std::vector<std::string> commands_;
  std::uint32_t nextHandle_ = 1;
};

}  // namespace keld::test
