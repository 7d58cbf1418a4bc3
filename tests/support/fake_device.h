#pragma once
// A scripted reader device for the library's tests. It records every control
// request, keeps the waiting time the way the driver does (in units of ten),
// reports its I/O base, and answers transmits from a script: queued answers
// first, then a responder function; with neither it fails the transmit as a
// silent reader would.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32/device_io.h"
#include "support/hex.h"

namespace keld::test {

constexpr std::int32_t STATUS_DEVICE_BUSY = static_cast<std::int32_t>(0x80000011);
constexpr std::int32_t STATUS_BUFFER_TOO_SMALL = static_cast<std::int32_t>(0xC0000023);

struct ControlRequest {
  std::uint32_t code;
  Bytes input;
  std::uint32_t outputSize;
};

struct TransmitReply {
  std::int32_t status = 0;  // a failure status makes the transmit fail
  Bytes answer;

  static TransmitReply failure(std::int32_t status = STATUS_DEVICE_BUSY) { return {status, {}}; }
};

class FakeDevice : public std::enable_shared_from_this<FakeDevice> {
 public:
  explicit FakeDevice(std::uint32_t ioBase = 0x300, std::uint32_t interruptVector = 5);

  // Answer of the next transmit (in queue order).
  void queueAnswer(Bytes answer);
  void queueAnswer(std::string_view answerHex) { queueAnswer(hex(answerHex)); }
  void queueFailure(std::int32_t status = STATUS_DEVICE_BUSY);
  // Asked for every transmit that finds the queue empty.
  void setResponder(std::function<TransmitReply(const Bytes& block)> responder);

  // Makes every request with this code fail with `status` (or succeed again).
  void failCode(std::uint32_t code, std::optional<std::int32_t> status);

  std::uint32_t ioBase() const;
  void setIoBase(std::uint32_t ioBase);
  // The driver's waiting time as IOCTL_READER_TIMEOUT reads it back.
  std::uint32_t timeoutValue() const;
  // Every value IOCTL_READER_TIMEOUT wrote, in order.
  std::vector<std::uint32_t> timeoutWrites() const;

  std::vector<ControlRequest> requests() const;
  // The input blocks of all transmits so far.
  std::vector<Bytes> transmitted() const;
  void clearRecords();
  std::size_t queuedAnswers() const;

  // Open handles. The device is exclusive like the real one unless told
  // otherwise (so that one device can stand for several readers).
  int openCount() const;
  void setExclusive(bool exclusive);

  std::unique_ptr<win32::DeviceConnection> connect(win32::OpenResult* result);

 private:
  class Connection;
  win32::ControlResult control(std::uint32_t code, std::span<const std::uint8_t> input,
                               std::span<std::uint8_t> output);
  void closed();

  mutable std::mutex lock_;
  std::uint32_t ioBase_;
  std::uint32_t interruptVector_;
  std::uint32_t pollLimit_ = 1000;
  std::vector<std::uint32_t> timeoutWrites_;
  std::deque<TransmitReply> script_;
  std::function<TransmitReply(const Bytes&)> responder_;
  std::map<std::uint32_t, std::int32_t> failures_;
  std::vector<ControlRequest> requests_;
  int openCount_ = 0;
  bool exclusive_ = true;
};

// Backend with named fake devices ("\\.\KELDCT_0" ...). Names that are not
// added do not exist.
class FakeDeviceBackend : public win32::DeviceBackend {
 public:
  std::shared_ptr<FakeDevice> add(const std::string& name, std::uint32_t ioBase = 0x300);
  void add(const std::string& name, std::shared_ptr<FakeDevice> device);
  void remove(const std::string& name);
  win32::OpenResult open(std::string_view name) override;

 private:
  std::mutex lock_;
  std::map<std::string, std::shared_ptr<FakeDevice>, std::less<>> devices_;
};

// Installs a fresh FakeDeviceBackend for the lifetime of the object.
class FakeDevices {
 public:
  FakeDevices();
  ~FakeDevices();
  FakeDeviceBackend& backend() { return *backend_; }
  // Adds "\\.\KELDCT_<n>".
  std::shared_ptr<FakeDevice> addReader(int n, std::uint32_t ioBase);

 private:
  std::shared_ptr<FakeDeviceBackend> backend_;
};

}  // namespace keld::test
