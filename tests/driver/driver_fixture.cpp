#include "driver_fixture.h"

#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "driver/registers.h"
#include "platform/wdm/port_bus.h"

namespace keld::test {

void PortFixture::SetUp() {
  clock::useVirtualClock(0, 0);
  reader = {};
  reader.IoBase = TEST_IO_BASE;
  reader.PollLimit = keldrin::DEFAULT_POLL_LIMIT;
}

void PortFixture::TearDown() {
  wdm::releasePorts(TEST_IO_BASE);
  clock::useRealClock();
}

void PortFixture::attach(keld::PortDevice& device) {
  ASSERT_TRUE(wdm::claimPorts(TEST_IO_BASE, keld::reader_registers::REG_COUNT, device));
}

AtDispatchLevel::AtDispatchLevel() { KeRaiseIrql(DISPATCH_LEVEL, &previous_); }
AtDispatchLevel::~AtDispatchLevel() { KeLowerIrql(previous_); }

}  // namespace keld::test

namespace keld::test {
namespace {

// A lower filter between Keldrin and the bus driver's physical device: it
// records what reaches the bus driver and passes everything on.
struct FilterExtension {
  PDEVICE_OBJECT Lower;
  PDEVICE_OBJECT Pdo;
};

struct LowerLog {
  std::mutex lock;
  std::map<PDEVICE_OBJECT, std::vector<LowerRequest>> requests;
  std::map<PDEVICE_OBJECT, std::function<void(UCHAR, UCHAR)>> observers;
};

LowerLog& lowerLog() {
  static LowerLog log;
  return log;
}

NTSTATUS FilterDispatch(PDEVICE_OBJECT device, PIRP irp) {
  auto* extension = static_cast<FilterExtension*>(device->DeviceExtension);
  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const UCHAR major = stack->MajorFunction;
  const UCHAR minor = stack->MinorFunction;
  std::function<void(UCHAR, UCHAR)> observer;
  {
    LowerLog& log = lowerLog();
    std::lock_guard guard(log.lock);
    log.requests[extension->Pdo].push_back({major, minor});
    if (auto it = log.observers.find(extension->Pdo); it != log.observers.end()) observer = it->second;
  }
  if (observer) observer(major, minor);
  const PDEVICE_OBJECT lower = extension->Lower;
  IoSkipCurrentIrpStackLocation(irp);
  const NTSTATUS status = major == IRP_MJ_POWER ? PoCallDriver(lower, irp) : IoCallDriver(lower, irp);
  if (major == IRP_MJ_PNP && minor == IRP_MN_REMOVE_DEVICE) {
    IoDetachDevice(lower);
    IoDeleteDevice(device);
  }
  return status;
}

NTSTATUS FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& routine : driver->MajorFunction) routine = FilterDispatch;
  return STATUS_SUCCESS;
}

}  // namespace

void DriverFixture::SetUp() {
  PortFixture::SetUp();
  wdm::resetKernel();
  keldrin::DeviceSlots = {};
  {
    std::lock_guard guard(lowerLog().lock);
    lowerLog().requests.clear();
    lowerLog().observers.clear();
  }
  const wdm::LoadedDriver loaded = wdm::loadDriver(DriverEntry, "Keldrin");
  ASSERT_EQ(loaded.status, STATUS_SUCCESS);
  driver = loaded.driver;
}

void DriverFixture::TearDown() {
  for (const Pdo pdo : pdos_)
    if (functionDevice(pdo) != nullptr) (void)wdm::sendPnp(pdo, IRP_MN_REMOVE_DEVICE);
  {
    std::lock_guard guard(lowerLog().lock);
    lowerLog().observers.clear();
  }
  wdm::resetKernel();
  keldrin::DeviceSlots = {};
  PortFixture::TearDown();
}

Pdo DriverFixture::createPdo() {
  const std::string instance = "PCMCIA\\KELDMATIC\\" + std::to_string(pdos_.size());
  const Pdo pdo = wdm::createPhysicalDevice(instance);
  EXPECT_NE(pdo, nullptr);
  const wdm::LoadedDriver filter = wdm::loadDriver(FilterEntry, "KeldTestFilter" + std::to_string(pdos_.size()));
  EXPECT_EQ(filter.status, STATUS_SUCCESS);
  PDEVICE_OBJECT device = nullptr;
  EXPECT_EQ(IoCreateDevice(filter.driver, sizeof(FilterExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
            STATUS_SUCCESS);
  auto* extension = static_cast<FilterExtension*>(device->DeviceExtension);
  extension->Pdo = pdo;
  extension->Lower = IoAttachDeviceToDeviceStack(device, pdo);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  pdos_.push_back(pdo);
  return pdo;
}

NTSTATUS DriverFixture::addDevice(Pdo pdo) { return wdm::addDevice(driver, pdo); }

NTSTATUS DriverFixture::start(Pdo pdo, std::optional<ULONG> port, ULONG vector) {
  std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> resources;
  if (port) resources.push_back(wdm::portResource(*port, keld::reader_registers::REG_COUNT));
  if (vector != 0) resources.push_back(wdm::interruptResource(vector));
  return wdm::startDevice(pdo, resources);
}

NTSTATUS DriverFixture::pnp(Pdo pdo, UCHAR minor) { return wdm::sendPnp(pdo, minor); }

NTSTATUS DriverFixture::systemPower(Pdo pdo, UCHAR minor, SYSTEM_POWER_STATE state) {
  return minor == IRP_MN_QUERY_POWER ? wdm::querySystemPower(pdo, state) : wdm::setSystemPower(pdo, state);
}

NTSTATUS DriverFixture::devicePower(Pdo pdo, UCHAR, DEVICE_POWER_STATE state) {
  return wdm::setDevicePower(pdo, state);
}

PDEVICE_OBJECT DriverFixture::functionDevice(Pdo pdo) {
  const PDEVICE_OBJECT top = IoGetAttachedDevice(pdo);
  return top != nullptr && top->DriverObject == driver ? top : nullptr;
}

keldrin::ReaderExtension* DriverFixture::extension(Pdo pdo) {
  const PDEVICE_OBJECT device = functionDevice(pdo);
  return device != nullptr ? keldrin::ExtensionOf(device) : nullptr;
}

bool DriverFixture::objectExists(const std::string& name) { return wdm::resolveName(name).has_value(); }

std::vector<LowerRequest> DriverFixture::lowerRequests(Pdo pdo) {
  std::lock_guard guard(lowerLog().lock);
  return lowerLog().requests[pdo];
}

void DriverFixture::onLowerRequest(Pdo pdo, std::function<void(UCHAR, UCHAR)> observer) {
  std::lock_guard guard(lowerLog().lock);
  lowerLog().observers[pdo] = std::move(observer);
}

Handle DriverFixture::open(const std::string& name) {
  Handle file;
  return NT_SUCCESS(wdm::openDevice(name, file)) ? file : nullptr;
}

Reply DriverFixture::control(const Handle& handle, std::uint32_t code, const Bytes& input, std::uint32_t outputSize) {
  const wdm::ControlResult result = wdm::deviceIoControl(handle, code, input, outputSize);
  return {result.status, result.information, result.output};
}

void DriverFixture::close(Handle& handle) {
  if (handle != nullptr) (void)wdm::closeDevice(handle);
  handle.reset();
}

}  // namespace keld::test
