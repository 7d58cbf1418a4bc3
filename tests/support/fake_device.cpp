#include "support/fake_device.h"

#include <algorithm>
#include <cstring>

#include "driver/ioctl/reader_ioctl.h"

namespace keld::test {

using namespace keld::ioctl;

class FakeDevice::Connection final : public win32::DeviceConnection {
 public:
  explicit Connection(std::shared_ptr<FakeDevice> device) : device_(std::move(device)) {}
  ~Connection() override { device_->closed(); }
  win32::ControlResult control(std::uint32_t code, std::span<const std::uint8_t> input,
                               std::span<std::uint8_t> output) override {
    return device_->control(code, input, output);
  }

 private:
  std::shared_ptr<FakeDevice> device_;
};

FakeDevice::FakeDevice(std::uint32_t ioBase, std::uint32_t interruptVector)
    : ioBase_(ioBase), interruptVector_(interruptVector) {}

void FakeDevice::queueAnswer(Bytes answer) {
  std::lock_guard guard(lock_);
  script_.push_back(TransmitReply{0, std::move(answer)});
}

void FakeDevice::queueFailure(std::int32_t status) {
  std::lock_guard guard(lock_);
  script_.push_back(TransmitReply::failure(status));
}

void FakeDevice::setResponder(std::function<TransmitReply(const Bytes&)> responder) {
  std::lock_guard guard(lock_);
  responder_ = std::move(responder);
}

void FakeDevice::failCode(std::uint32_t code, std::optional<std::int32_t> status) {
  std::lock_guard guard(lock_);
  if (status)
    failures_[code] = *status;
  else
    failures_.erase(code);
}

std::uint32_t FakeDevice::ioBase() const {
  std::lock_guard guard(lock_);
  return ioBase_;
}

void FakeDevice::setIoBase(std::uint32_t ioBase) {
  std::lock_guard guard(lock_);
  ioBase_ = ioBase;
}

std::uint32_t FakeDevice::timeoutValue() const {
  std::lock_guard guard(lock_);
  return pollLimit_ * TIMEOUT_UNITS_PER_POLL;
}

std::vector<std::uint32_t> FakeDevice::timeoutWrites() const {
  std::lock_guard guard(lock_);
  return timeoutWrites_;
}

std::vector<ControlRequest> FakeDevice::requests() const {
  std::lock_guard guard(lock_);
  return requests_;
}

std::vector<Bytes> FakeDevice::transmitted() const {
  std::lock_guard guard(lock_);
  std::vector<Bytes> blocks;
  for (const ControlRequest& r : requests_)
    if (r.code == IOCTL_READER_TRANSMIT) blocks.push_back(r.input);
  return blocks;
}

void FakeDevice::clearRecords() {
  std::lock_guard guard(lock_);
  requests_.clear();
  timeoutWrites_.clear();
}

std::size_t FakeDevice::queuedAnswers() const {
  std::lock_guard guard(lock_);
  return script_.size();
}

int FakeDevice::openCount() const {
  std::lock_guard guard(lock_);
  return openCount_;
}

void FakeDevice::setExclusive(bool exclusive) {
  std::lock_guard guard(lock_);
  exclusive_ = exclusive;
}

std::unique_ptr<win32::DeviceConnection> FakeDevice::connect(win32::OpenResult* result) {
  std::lock_guard guard(lock_);
  if (exclusive_ && openCount_ > 0) {
    result->error = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  ++openCount_;
  return std::make_unique<Connection>(shared_from_this());
}

void FakeDevice::closed() {
  std::lock_guard guard(lock_);
  --openCount_;
}

win32::ControlResult FakeDevice::control(std::uint32_t code, std::span<const std::uint8_t> input,
                                         std::span<std::uint8_t> output) {
  std::unique_lock guard(lock_);
  requests_.push_back(ControlRequest{code, Bytes(input.begin(), input.end()),
                                     static_cast<std::uint32_t>(output.size())});
  if (auto failure = failures_.find(code); failure != failures_.end()) return {failure->second, 0};

  switch (code) {
    case IOCTL_READER_GET_CONFIG: {
      if (output.size() < sizeof(ReaderConfigRecord)) return {STATUS_BUFFER_TOO_SMALL, 0};
      const ReaderConfigRecord config{ioBase_, interruptVector_};
      std::memcpy(output.data(), &config, sizeof config);
      return {0, sizeof config};
    }
    case IOCTL_READER_TIMEOUT: {
      // As the driver: the value is ten times the poll limit, and one call
      // with both buffers swaps the old value for the new.
      const std::uint32_t previous = pollLimit_ * TIMEOUT_UNITS_PER_POLL;
      if (input.size() == 4) {
        std::uint32_t value;
        std::memcpy(&value, input.data(), 4);
        pollLimit_ = value / TIMEOUT_UNITS_PER_POLL;
        timeoutWrites_.push_back(value);
      }
      if (output.size() == 4) {
        std::memcpy(output.data(), &previous, 4);
        return {0, 4};
      }
      return {0, 0};
    }
    case IOCTL_READER_TRANSMIT: {
      TransmitReply reply;
      if (!script_.empty()) {
        reply = std::move(script_.front());
        script_.pop_front();
      } else if (responder_) {
        auto responder = responder_;
        const Bytes block(input.begin(), input.end());
        guard.unlock();  // the responder may inspect the device
        reply = responder(block);
        guard.lock();
      } else {
        reply = TransmitReply::failure();
      }
      if (reply.status < 0) return {reply.status, 0};
      if (reply.answer.size() > output.size()) return {STATUS_BUFFER_TOO_SMALL, 0};
      std::copy(reply.answer.begin(), reply.answer.end(), output.begin());
      return {0, static_cast<std::uint32_t>(reply.answer.size())};
    }
    default:
      return {static_cast<std::int32_t>(0xC0000010), 0};  // STATUS_INVALID_DEVICE_REQUEST
  }
}

std::shared_ptr<FakeDevice> FakeDeviceBackend::add(const std::string& name, std::uint32_t ioBase) {
  auto device = std::make_shared<FakeDevice>(ioBase);
  add(name, device);
  return device;
}

void FakeDeviceBackend::add(const std::string& name, std::shared_ptr<FakeDevice> device) {
  std::lock_guard guard(lock_);
  devices_[name] = std::move(device);
}

void FakeDeviceBackend::remove(const std::string& name) {
  std::lock_guard guard(lock_);
  devices_.erase(name);
}

win32::OpenResult FakeDeviceBackend::open(std::string_view name) {
  std::shared_ptr<FakeDevice> device;
  {
    std::lock_guard guard(lock_);
    auto it = devices_.find(name);
    if (it == devices_.end()) return {nullptr, ERROR_FILE_NOT_FOUND};
    device = it->second;
  }
  win32::OpenResult result;
  result.connection = device->connect(&result);
  return result;
}

FakeDevices::FakeDevices() : backend_(std::make_shared<FakeDeviceBackend>()) {
  win32::setDeviceBackend(backend_);
}

FakeDevices::~FakeDevices() { win32::setDeviceBackend(nullptr); }

std::shared_ptr<FakeDevice> FakeDevices::addReader(int n, std::uint32_t ioBase) {
  return backend_->add("\\\\.\\KELDCT_" + std::to_string(n), ioBase);
}

}  // namespace keld::test
