#pragma once
// The real driver in this process's kernel stand-in, serving one emulated
// reader, with the library's device access routed to it. This header speaks
// only standard types, so that it sits beside the library's user-mode
// headers; the kernel's own stay in kernel_reader.cpp.

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>
#include <vector>

#include "platform/wdm/port_device.h"

namespace keld::test {

using Bytes = std::vector<std::uint8_t>;

// One IOCTL_READER_TRANSMIT as the driver completed it.
struct Transmit {
  Bytes block;
  std::int32_t status;
  Bytes answer;
};

class KernelReader {
 public:
  // Loads Keldrin into a fresh kernel, puts `device` on the port bus at
  // `ioBase`, adds and starts a reader device above it, and makes every
  // CreateFileA of the library open names in the kernel's namespace.
  KernelReader(PortDevice& device, std::uint16_t ioBase);
  ~KernelReader();
  KernelReader(const KernelReader&) = delete;
  KernelReader& operator=(const KernelReader&) = delete;

  std::int32_t startStatus() const { return startStatus_; }
  // Every transmit the library made, in order.
  std::vector<Transmit> transmits() const;
  void clearTransmits();

  // Called by the device access for each completed transmit.
  void record(Transmit transmit);

 private:
  std::int32_t startStatus_ = -1;
  std::uint16_t ioBase_;
  mutable std::mutex lock_;
  std::vector<Transmit> transmits_;
};

// Between the two halves: the kernel's side (kernel_reader.cpp) opens files
// and runs control requests; the library's side (kernel_device_access.cpp)
// serves CreateFileA and DeviceIoControl with them.
namespace kernel {

struct Reply {
  std::int32_t status;
  std::uint32_t information;
  Bytes output;
};

// An open file of the kernel's namespace, or null with the failure status.
std::shared_ptr<void> open(std::string_view name, std::int32_t& status);
Reply control(const std::shared_ptr<void>& file, std::uint32_t code, std::span<const std::uint8_t> input,
              std::uint32_t outputSize);
void close(const std::shared_ptr<void>& file);

// The library's device access to the kernel for `reader` (null: its default again).
void routeDeviceAccess(KernelReader* reader);

}  // namespace kernel
}  // namespace keld::test
