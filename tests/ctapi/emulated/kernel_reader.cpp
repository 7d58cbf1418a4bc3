#include "kernel_reader.h"

#include "driver/driver_objects.h"
#include "driver/registers.h"
#include "platform/wdm/kernel_host.h"
#include "platform/wdm/port_bus.h"

namespace keld::test {

KernelReader::KernelReader(PortDevice& device, std::uint16_t ioBase) : ioBase_(ioBase) {
  wdm::resetKernel();
  keldrin::DeviceSlots = {};
  const wdm::LoadedDriver driver = wdm::loadDriver(DriverEntry, "Keldrin");
  if (driver.status != STATUS_SUCCESS || !wdm::claimPorts(ioBase, reader_registers::REG_COUNT, device)) return;
  const PDEVICE_OBJECT pdo = wdm::createPhysicalDevice("PCMCIA\\KELDMATIC\\0");
  if (pdo == nullptr || wdm::addDevice(driver.driver, pdo) != STATUS_SUCCESS) return;
  startStatus_ = wdm::startDevice(pdo, ioBase, reader_registers::REG_COUNT, 5);
  kernel::routeDeviceAccess(this);
}

KernelReader::~KernelReader() {
  kernel::routeDeviceAccess(nullptr);
  for (const wdm::DeviceInterface& i : wdm::deviceInterfaces())
    (void)wdm::sendPnp(i.physicalDevice, IRP_MN_REMOVE_DEVICE);
  wdm::resetKernel();
  keldrin::DeviceSlots = {};
  wdm::releasePorts(ioBase_);
}

std::vector<Transmit> KernelReader::transmits() const {
  std::lock_guard guard(lock_);
  return transmits_;
}

void KernelReader::clearTransmits() {
  std::lock_guard guard(lock_);
  transmits_.clear();
}

void KernelReader::record(Transmit transmit) {
  std::lock_guard guard(lock_);
  transmits_.push_back(std::move(transmit));
}

namespace kernel {

std::shared_ptr<void> open(std::string_view name, std::int32_t& status) {
  wdm::FileHandle file;
  status = wdm::openDevice(name, file);
  return NT_SUCCESS(status) ? std::static_pointer_cast<void>(file) : nullptr;
}

Reply control(const std::shared_ptr<void>& file, std::uint32_t code, std::span<const std::uint8_t> input,
              std::uint32_t outputSize) {
  const wdm::ControlResult result =
      wdm::deviceIoControl(std::static_pointer_cast<wdm::OpenFile>(file), code, input, outputSize);
  return {result.status, static_cast<std::uint32_t>(result.information), result.output};
}

void close(const std::shared_ptr<void>& file) {
  (void)wdm::closeDevice(std::static_pointer_cast<wdm::OpenFile>(file));
}

}  // namespace kernel
}  // namespace keld::test
