#pragma once
// The kernel's part for keldrin.so: loads the driver, plays the PnP and power
// managers and the bus driver for the configured readers, and serves their
// devices to the socket's clients as the I/O manager would.

#include <memory>
#include <string>

#include "host/device_service.h"
#include "host/options.h"

namespace keld::host {

class KernelHost : public DeviceService {
 public:
  // Loads the driver and adds and starts every reader. A reader the driver
  // refuses is reported and left out; a driver that cannot be loaded is an error.
  static std::unique_ptr<KernelHost> start(const HostConfig& config, const std::string& programPath,
                                           std::string& error);
  // Removes every device and unloads the driver.
  virtual void stop() = 0;
};

}  // namespace keld::host
