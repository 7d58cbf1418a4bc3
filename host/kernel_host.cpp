#include "host/kernel_host.h"

namespace keld::host {
namespace {

// Without the kernel stand-in there is no driver to load: the host serves
// an empty namespace.
class EmptyKernel final : public KernelHost {
 public:
  OpenOutcome open(std::string_view) override { return {hostproto::STATUS_OBJECT_NAME_NOT_FOUND, 0}; }
  ControlOutcome control(std::uint32_t, std::uint32_t, std::span<const std::uint8_t>, std::uint32_t) override {
    return {hostproto::STATUS_INVALID_HANDLE, 0, {}};
  }
  std::int32_t close(std::uint32_t) override { return hostproto::STATUS_INVALID_HANDLE; }
  CommandOutcome command(hostproto::HostCommand command, std::uint16_t, std::uint32_t, std::string_view) override {
    if (command == hostproto::HostCommand::Status) return {hostproto::STATUS_SUCCESS, "readers: none\n"};
    return {hostproto::STATUS_NOT_SUPPORTED, "no readers are served"};
  }
  void stop() override {}
};

}  // namespace

std::unique_ptr<KernelHost> KernelHost::start(const HostConfig&, const std::string&, std::string&) {
  return std::make_unique<EmptyKernel>();
}

}  // namespace keld::host
