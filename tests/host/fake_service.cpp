#include "host/fake_service.h"

#include <algorithm>

namespace keld::test {

using namespace keld::hostproto;

void FakeService::addDevice(const std::string& name, Responder responder) {
  if (!responder) {
    responder = [](std::uint32_t, std::span<const std::uint8_t> input, std::uint32_t outputSize) {
      host::ControlOutcome out{STATUS_SUCCESS, 0, {input.begin(), input.end()}};
      out.bytesReturned = static_cast<std::uint32_t>(std::min<std::size_t>(input.size(), outputSize));
      return out;
    };
  }
  std::lock_guard guard(lock_);
  devices_[name] = std::move(responder);
}

host::OpenOutcome FakeService::open(std::string_view name) {
  std::lock_guard guard(lock_);
  if (!devices_.contains(std::string(name))) return {STATUS_OBJECT_NAME_NOT_FOUND, 0};
  for (const auto& [handle, device] : handles_)
    if (device == name) return {STATUS_SHARING_VIOLATION, 0};
  const std::uint32_t handle = nextHandle_++;
  handles_[handle] = name;
  return {STATUS_SUCCESS, handle};
}

host::ControlOutcome FakeService::control(std::uint32_t handle, std::uint32_t code, std::span<const std::uint8_t> input,
                                          std::uint32_t outputSize) {
  Responder responder;
  {
    std::lock_guard guard(lock_);
    auto it = handles_.find(handle);
    if (it == handles_.end()) return {STATUS_INVALID_HANDLE, 0, {}};
    responder = devices_[it->second];
  }
  return responder(code, input, outputSize);
}

std::int32_t FakeService::close(std::uint32_t handle) {
  std::lock_guard guard(lock_);
  return handles_.erase(handle) != 0 ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}

host::CommandOutcome FakeService::command(HostCommand command, std::uint16_t reader, std::uint32_t delayMs,
                                          std::string_view argument) {
  std::lock_guard guard(lock_);
  commands_.push_back(std::string(commandName(command)) + " " + std::to_string(reader) + " " +
                      std::to_string(delayMs) + " " + std::string(argument));
  return {STATUS_SUCCESS, "ok"};
}

int FakeService::openHandles() const {
  std::lock_guard guard(lock_);
  return static_cast<int>(handles_.size());
}

std::vector<std::string> FakeService::commands() const {
  std::lock_guard guard(lock_);
  return commands_;
}

}  // namespace keld::test
