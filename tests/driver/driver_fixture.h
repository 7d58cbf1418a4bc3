#pragma once
// Fixtures of the driver's tests. PortFixture: a ReaderContext on a port
// range of the bus, on the virtual clock. DriverFixture: the driver loaded
// into the kernel stand-in, with physical devices to add and start, the
// plug-and-play and power requests of the managers above, and handles for
// control requests as user mode sends them.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/driver_objects.h"
#include "driver/reader_context.h"
#include "platform/clock/clock.h"
#include "platform/wdm/port_device.h"
#include "platform/wdm/kernel_host.h"
#include "platform/wdm/wdm.h"
#include "scripted_reader.h"
#include "support/hex.h"

namespace keld::test {

constexpr std::uint16_t TEST_IO_BASE = 0x300;

class PortFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Puts `device` on the bus at TEST_IO_BASE, for the rest of the test.
  void attach(keld::PortDevice& device);

  keldrin::ReaderContext reader{};
};

// Raises the current thread to DISPATCH_LEVEL for its lifetime.
class AtDispatchLevel {
 public:
  AtDispatchLevel();
  ~AtDispatchLevel();
  AtDispatchLevel(const AtDispatchLevel&) = delete;
  AtDispatchLevel& operator=(const AtDispatchLevel&) = delete;

 private:
  KIRQL previous_;
};

struct Reply {
  NTSTATUS status = 0;
  std::uint64_t information = 0;
  Bytes output;  // the first `information` bytes of the output
};

struct LowerRequest {
  UCHAR major;
  UCHAR minor;
  bool operator==(const LowerRequest&) const = default;
};

using Handle = keld::wdm::FileHandle;

using Pdo = PDEVICE_OBJECT;

class DriverFixture : public PortFixture {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A physical device object of the bus driver below Keldrin.
  Pdo createPdo();
  NTSTATUS addDevice(Pdo pdo);
  // Start with a port resource at `port` (none when nullopt) and an interrupt vector (none when 0).
  NTSTATUS start(Pdo pdo, std::optional<ULONG> port, ULONG vector);
  NTSTATUS pnp(Pdo pdo, UCHAR minor);
  NTSTATUS systemPower(Pdo pdo, UCHAR minor, SYSTEM_POWER_STATE state);
  NTSTATUS devicePower(Pdo pdo, UCHAR minor, DEVICE_POWER_STATE state);

  // Keldrin's device above `pdo`, or none.
  PDEVICE_OBJECT functionDevice(Pdo pdo);
  keldrin::ReaderExtension* extension(Pdo pdo);
  bool objectExists(const std::string& name);
  // Requests that reached the bus driver below, in order.
  std::vector<LowerRequest> lowerRequests(Pdo pdo);
  void onLowerRequest(Pdo pdo, std::function<void(UCHAR major, UCHAR minor)> observer);

  // nullptr when the open fails.
  Handle open(const std::string& name);
  Reply control(const Handle& handle, std::uint32_t code, const Bytes& input, std::uint32_t outputSize);
  void close(Handle& handle);

  PDRIVER_OBJECT driver = nullptr;

 private:
  std::vector<Pdo> pdos_;
};

}  // namespace keld::test
