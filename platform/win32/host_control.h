#pragma once
// Host commands for people and tests (`keld host ...`, the end-to-end tests):
// card insertion and removal, suspend and resume, unplug and replug, fault
// injection and a status report. Only the owner of the host's socket (or
// root) may send them.

#include <cstdint>
#include <string>

#include "platform/win32/host_protocol.h"

namespace keld::hostctl {

struct CommandResult {
  std::int32_t status = hostproto::STATUS_UNSUCCESSFUL;  // NT status from the host
  std::string text;  // the status report, or a one-line reason when it failed
  bool ok() const { return status >= 0; }
};

struct CommandOptions {
  std::uint16_t reader = 0;        // index of the configured reader, 0 first
  std::uint32_t delayMs = 0;       // run it this long from now on the host's clock
  std::string argument;            // card image path, fault description
};

class HostControl {
 public:
  // `socketPath` empty: the usual resolution ($KELD_SOCKET, ...).
  explicit HostControl(std::string socketPath = {});

  CommandResult send(hostproto::HostCommand command, const CommandOptions& options = {});

  CommandResult status() { return send(hostproto::HostCommand::Status, {hostproto::ALL_READERS, 0, {}}); }
  // Empty `cardImage`: the default T=1 card.
  CommandResult insertCard(std::uint16_t reader, const std::string& cardImage = {}, std::uint32_t delayMs = 0) {
    return send(hostproto::HostCommand::InsertCard, {reader, delayMs, cardImage});
  }
  CommandResult removeCard(std::uint16_t reader, std::uint32_t delayMs = 0) {
    return send(hostproto::HostCommand::RemoveCard, {reader, delayMs, {}});
  }
  CommandResult suspend() { return send(hostproto::HostCommand::Suspend, {hostproto::ALL_READERS, 0, {}}); }
  CommandResult resume() { return send(hostproto::HostCommand::Resume, {hostproto::ALL_READERS, 0, {}}); }
  CommandResult unplug(std::uint16_t reader) { return send(hostproto::HostCommand::Unplug, {reader, 0, {}}); }
  CommandResult replug(std::uint16_t reader) { return send(hostproto::HostCommand::Replug, {reader, 0, {}}); }
  CommandResult injectFault(std::uint16_t reader, const std::string& fault, std::uint32_t delayMs = 0) {
    return send(hostproto::HostCommand::InjectFault, {reader, delayMs, fault});
  }

 private:
  std::string socketPath_;
};

}  // namespace keld::hostctl
