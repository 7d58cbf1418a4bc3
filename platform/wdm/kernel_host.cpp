#include "platform/wdm/kernel_host.h"

#include <algorithm>
#include <atomic>

#include "platform/wdm/bugcheck.h"
#include "platform/wdm/kernel_state.h"

namespace keld::wdm {

using namespace detail;

namespace {

constexpr bool NT_ERROR(NTSTATUS status) { return (static_cast<std::uint32_t>(status) >> 30) == 3; }

NTSTATUS rejectRequest(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

// --- the bus driver below the function driver ---

NTSTATUS busDispatchPnp(PDEVICE_OBJECT, PIRP irp) {
  switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    default:
      break;  // what the bus does not handle keeps the status it came with
  }
  const NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS busDispatchPower(PDEVICE_OBJECT, PIRP irp) {
  PoStartNextPowerIrp(irp);
  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  irp->IoStatus.Status = STATUS_SUCCESS;
  const bool powerUp = stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState &&
                       stack->Parameters.Power.State.DeviceState == PowerDeviceD0;
  if (powerUp) {
    // A bus driver may finish powering up from its interrupt handling.
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    KeLowerIrql(old);
  } else {
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
  return STATUS_SUCCESS;
}

NTSTATUS busDispatchSystemControl(PDEVICE_OBJECT, PIRP irp) {
  const NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

DRIVER_OBJECT& busDriver() {
  static DRIVER_OBJECT driver = [] {
    DRIVER_OBJECT d{};
    std::fill(std::begin(d.MajorFunction), std::end(d.MajorFunction), rejectRequest);
    d.MajorFunction[IRP_MJ_PNP] = busDispatchPnp;
    d.MajorFunction[IRP_MJ_POWER] = busDispatchPower;
    d.MajorFunction[IRP_MJ_SYSTEM_CONTROL] = busDispatchSystemControl;
    return d;
  }();
  return driver;
}

// --- sending a request and waiting for it ---

void requirePassive(const char* what) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) bugCheck(what);
}

// Builds a request for the stack topped by `top`, lets `fill` set the top
// driver's location, sends it and waits until it has completed.
template <class Fill>
IO_STATUS_BLOCK sendAndWait(DEVICE_OBJECT& top, NTSTATUS initialStatus, PVOID systemBuffer, Fill fill) {
  requirePassive("request sent above PASSIVE_LEVEL");
  PIRP irp = IoAllocateIrp(top.StackSize, FALSE);
  irp->IoStatus.Status = initialStatus;
  irp->AssociatedIrp.SystemBuffer = systemBuffer;
  fill(*IoGetNextIrpStackLocation(irp));
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  irp->UserEvent = &done;
  IoCallDriver(&top, irp);
  requirePassive("dispatch routine returned above PASSIVE_LEVEL");
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  const IO_STATUS_BLOCK result = irp->IoStatus;
  IoFreeIrp(irp);
  return result;
}

// The top of the physical device's stack, held for the length of a request.
std::shared_ptr<DeviceNode> referenceStackTop(PDEVICE_OBJECT physicalDevice) {
  Kernel& k = kernel();
  std::lock_guard guard(k.lock);
  if (!findDevice(k, physicalDevice)) return nullptr;
  return findDevice(k, topOfStack(physicalDevice));
}

template <class Fill>
NTSTATUS sendToStack(PDEVICE_OBJECT physicalDevice, Fill fill) {
  const auto top = referenceStackTop(physicalDevice);
  if (!top) return STATUS_DEVICE_DOES_NOT_EXIST;
  return sendAndWait(top->object, STATUS_NOT_SUPPORTED, nullptr, fill).Status;
}

NTSTATUS sendPower(PDEVICE_OBJECT physicalDevice, UCHAR minorFunction, POWER_STATE_TYPE type, POWER_STATE state) {
  return sendToStack(physicalDevice, [&](IO_STACK_LOCATION& stack) {
    stack.MajorFunction = IRP_MJ_POWER;
    stack.MinorFunction = minorFunction;
    stack.Parameters.Power.Type = type;
    stack.Parameters.Power.State = state;
  });
}

bool sameName(std::wstring_view a, std::wstring_view b) { return !NameLess{}(a, b) && !NameLess{}(b, a); }

// The device an open of `name` reaches, or nullptr. Caller holds the lock.
PDEVICE_OBJECT resolveLocked(Kernel& k, std::wstring_view name) {
  std::wstring current = canonicalName(name);
  for (int hop = 0; hop < 16; ++hop) {  // bounded, so that a loop of links ends
    if (auto link = k.symbolicLinks.find(current); link != k.symbolicLinks.end()) {
      current = canonicalName(link->second.second);
      continue;
    }
    for (const DeviceInterfaceEntry& entry : k.interfaces)
      if (entry.enabled && sameName(entry.link, current)) return topOfStack(entry.physicalDevice);
    if (auto device = k.deviceNames.find(current); device != k.deviceNames.end()) return device->second;
    return nullptr;
  }
  return nullptr;
}

}  // namespace

// --- Loader ---

LoadedDriver loadDriver(PDRIVER_INITIALIZE driverEntry, std::string_view serviceName) {
  requirePassive("driver loaded above PASSIVE_LEVEL");
  auto node = std::make_unique<DriverNode>();
  DRIVER_OBJECT& driver = node->object;
  node->name = L"\\Driver\\" + widen(serviceName);
  RtlInitUnicodeString(&driver.DriverName, node->name.c_str());
  node->extension.DriverObject = &driver;
  driver.DriverExtension = &node->extension;
  std::fill(std::begin(driver.MajorFunction), std::end(driver.MajorFunction), rejectRequest);
  PDRIVER_OBJECT result = &driver;
  {
    Kernel& k = kernel();
    std::lock_guard guard(k.lock);
    k.drivers.push_back(std::move(node));
  }
  std::wstring path = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + widen(serviceName);
  UNICODE_STRING registryPath;
  RtlInitUnicodeString(&registryPath, path.c_str());
  const NTSTATUS status = driverEntry(result, &registryPath);
  if (!NT_SUCCESS(status)) {
    Kernel& k = kernel();
    std::lock_guard guard(k.lock);
    std::erase_if(k.drivers, [result](const auto& d) { return &d->object == result; });
    return {status, nullptr};
  }
  return {status, result};
}

NTSTATUS unloadDriver(PDRIVER_OBJECT driver) {
  requirePassive("driver unloaded above PASSIVE_LEVEL");
  {
    std::lock_guard guard(kernel().lock);
    if (driver->DeviceObject != nullptr) return STATUS_DEVICE_BUSY;
  }
  if (driver->DriverUnload != nullptr) driver->DriverUnload(driver);
  Kernel& k = kernel();
  std::lock_guard guard(k.lock);
  std::erase_if(k.drivers, [driver](const auto& d) { return &d->object == driver; });
  return STATUS_SUCCESS;
}

// --- Bus driver ---

PDEVICE_OBJECT createPhysicalDevice(std::string_view instanceId) {
  const std::wstring id = widen(instanceId);
  Kernel& k = kernel();
  {
    std::lock_guard guard(k.lock);
    for (const auto& [device, node] : k.devices)
      if (node->bookkeeping.physical && sameName(node->bookkeeping.instanceId, id)) return nullptr;
  }
  PDEVICE_OBJECT device = nullptr;
  if (!NT_SUCCESS(IoCreateDevice(&busDriver(), 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &device)))
    return nullptr;
  std::lock_guard guard(k.lock);
  device->DeviceObjectExtension->physical = true;
  device->DeviceObjectExtension->instanceId = id;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return device;
}

void deletePhysicalDevice(PDEVICE_OBJECT physicalDevice) {
  {
    Kernel& k = kernel();
    std::lock_guard guard(k.lock);
    const auto node = findDevice(k, physicalDevice);
    if (!node || !node->bookkeeping.physical) return;
  }
  IoDeleteDevice(physicalDevice);
}

NTSTATUS addDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice) {
  requirePassive("AddDevice called above PASSIVE_LEVEL");
  if (driver->DriverExtension->AddDevice == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  const auto top = referenceStackTop(physicalDevice);
  if (!top) return STATUS_DEVICE_DOES_NOT_EXIST;
  const NTSTATUS status = driver->DriverExtension->AddDevice(driver, physicalDevice);
  requirePassive("AddDevice returned above PASSIVE_LEVEL");
  return status;
}

// --- Plug-and-play manager ---

CM_PARTIAL_RESOURCE_DESCRIPTOR portResource(std::uint32_t base, std::uint32_t length) {
  CM_PARTIAL_RESOURCE_DESCRIPTOR descriptor{};
  descriptor.Type = CmResourceTypePort;
  descriptor.ShareDisposition = CmResourceShareDeviceExclusive;
  descriptor.u.Port.Start.QuadPart = base;
  descriptor.u.Port.Length = length;
  return descriptor;
}

CM_PARTIAL_RESOURCE_DESCRIPTOR interruptResource(std::uint32_t vector) {
  CM_PARTIAL_RESOURCE_DESCRIPTOR descriptor{};
  descriptor.Type = CmResourceTypeInterrupt;
  descriptor.ShareDisposition = CmResourceShareDeviceExclusive;
  descriptor.u.Interrupt.Level = vector;
  descriptor.u.Interrupt.Vector = vector;
  descriptor.u.Interrupt.Affinity = 1;
  return descriptor;
}

NTSTATUS startDevice(PDEVICE_OBJECT physicalDevice, std::span<const CM_PARTIAL_RESOURCE_DESCRIPTOR> resources) {
  if (resources.size() > CM_MAX_PARTIAL_DESCRIPTORS) return STATUS_INVALID_PARAMETER;
  CM_RESOURCE_LIST raw{};
  raw.Count = 1;
  raw.List[0].InterfaceType = PCMCIABus;
  raw.List[0].PartialResourceList.Version = 1;
  raw.List[0].PartialResourceList.Revision = 1;
  raw.List[0].PartialResourceList.Count = static_cast<ULONG>(resources.size());
  std::copy(resources.begin(), resources.end(), raw.List[0].PartialResourceList.PartialDescriptors);
  CM_RESOURCE_LIST translated = raw;
  return sendToStack(physicalDevice, [&](IO_STACK_LOCATION& stack) {
    stack.MajorFunction = IRP_MJ_PNP;
    stack.MinorFunction = IRP_MN_START_DEVICE;
    stack.Parameters.StartDevice.AllocatedResources = &raw;
    stack.Parameters.StartDevice.AllocatedResourcesTranslated = &translated;
  });
}

NTSTATUS startDevice(PDEVICE_OBJECT physicalDevice, std::uint32_t portBase, std::uint32_t portLength,
                     std::optional<std::uint32_t> interruptVector) {
  std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> resources{portResource(portBase, portLength)};
  if (interruptVector) resources.push_back(interruptResource(*interruptVector));
  return startDevice(physicalDevice, resources);
}

NTSTATUS sendPnp(PDEVICE_OBJECT physicalDevice, UCHAR minorFunction) {
  if (minorFunction == IRP_MN_START_DEVICE) return STATUS_INVALID_PARAMETER;
  return sendToStack(physicalDevice, [&](IO_STACK_LOCATION& stack) {
    stack.MajorFunction = IRP_MJ_PNP;
    stack.MinorFunction = minorFunction;
  });
}

// --- Power manager ---

NTSTATUS setSystemPower(PDEVICE_OBJECT physicalDevice, SYSTEM_POWER_STATE state) {
  return sendPower(physicalDevice, IRP_MN_SET_POWER, SystemPowerState, POWER_STATE{.SystemState = state});
}

NTSTATUS querySystemPower(PDEVICE_OBJECT physicalDevice, SYSTEM_POWER_STATE state) {
  return sendPower(physicalDevice, IRP_MN_QUERY_POWER, SystemPowerState, POWER_STATE{.SystemState = state});
}

NTSTATUS setDevicePower(PDEVICE_OBJECT physicalDevice, DEVICE_POWER_STATE state) {
  POWER_STATE power;
  power.DeviceState = state;
  return sendPower(physicalDevice, IRP_MN_SET_POWER, DevicePowerState, power);
}

DEVICE_POWER_STATE recordedDevicePower(PDEVICE_OBJECT device) {
  std::lock_guard guard(kernel().lock);
  return device->DeviceObjectExtension->devicePower.DeviceState;
}

SYSTEM_POWER_STATE recordedSystemPower(PDEVICE_OBJECT device) {
  std::lock_guard guard(kernel().lock);
  return device->DeviceObjectExtension->systemPower.SystemState;
}

// --- I/O manager ---

class OpenFile {
 public:
  explicit OpenFile(std::shared_ptr<DeviceNode> device) : device_(std::move(device)) {}
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  ~OpenFile() {
    if (!closed_.exchange(true)) release();
  }

  // Null once the device was removed.
  std::shared_ptr<DeviceNode> liveDevice() const {
    std::lock_guard guard(kernel().lock);
    return device_->bookkeeping.deleted ? nullptr : device_;
  }

  bool isClosed() const { return closed_.load(); }
  bool markClosed() { return !closed_.exchange(true); }

  NTSTATUS release() {
    NTSTATUS status = STATUS_SUCCESS;
    if (const auto device = liveDevice()) {
      sendAndWait(device->object, STATUS_SUCCESS, nullptr,
                  [](IO_STACK_LOCATION& stack) { stack.MajorFunction = IRP_MJ_CLEANUP; });
      status = sendAndWait(device->object, STATUS_SUCCESS, nullptr, [](IO_STACK_LOCATION& stack) {
                 stack.MajorFunction = IRP_MJ_CLOSE;
               }).Status;
    }
    std::lock_guard guard(kernel().lock);
    --device_->bookkeeping.openCount;
    return status;
  }

 private:
  std::shared_ptr<DeviceNode> device_;  // the top of the stack when it was opened
  std::atomic<bool> closed_{false};
};

NTSTATUS openDevice(std::string_view name, FileHandle& file) {
  file.reset();
  std::shared_ptr<DeviceNode> node;
  {
    Kernel& k = kernel();
    std::lock_guard guard(k.lock);
    PDEVICE_OBJECT device = resolveLocked(k, widen(name));
    if (device == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    node = findDevice(k, topOfStack(device));
    if (!node) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (node->object.Flags & DO_DEVICE_INITIALIZING) return STATUS_DEVICE_DOES_NOT_EXIST;
    DEVOBJ_EXTENSION& book = node->bookkeeping;
    if (book.exclusive && book.openCount > 0) return STATUS_ACCESS_DENIED;
    ++book.openCount;  // taken before the driver runs, so that a racing open is refused
  }
  const NTSTATUS status = sendAndWait(node->object, STATUS_SUCCESS, nullptr, [](IO_STACK_LOCATION& stack) {
                            stack.MajorFunction = IRP_MJ_CREATE;
                          }).Status;
  if (!NT_SUCCESS(status)) {
    std::lock_guard guard(kernel().lock);
    --node->bookkeeping.openCount;
    return status;
  }
  file = std::make_shared<OpenFile>(std::move(node));
  return status;
}

ControlResult deviceIoControl(const FileHandle& file, ULONG ioControlCode, std::span<const std::uint8_t> input,
                              ULONG outputLength) {
  if (!file || file->isClosed()) return {STATUS_INVALID_HANDLE, 0, {}};
  const auto device = file->liveDevice();
  if (!device) return {STATUS_DEVICE_DOES_NOT_EXIST, 0, {}};
  if (input.size() > 0xFFFFFFFFu) return {STATUS_INVALID_PARAMETER, 0, {}};
  const auto inputLength = static_cast<ULONG>(input.size());
  std::vector<std::uint8_t> buffer(std::max(inputLength, outputLength));
  std::copy(input.begin(), input.end(), buffer.begin());
  const IO_STATUS_BLOCK result = sendAndWait(
      device->object, STATUS_SUCCESS, buffer.empty() ? nullptr : buffer.data(), [&](IO_STACK_LOCATION& stack) {
        stack.MajorFunction = IRP_MJ_DEVICE_CONTROL;
        stack.Parameters.DeviceIoControl.OutputBufferLength = outputLength;
        stack.Parameters.DeviceIoControl.InputBufferLength = inputLength;
        stack.Parameters.DeviceIoControl.IoControlCode = ioControlCode;
      });
  ControlResult out{result.Status, result.Information, {}};
  if (!NT_ERROR(result.Status)) {
    // A byte count beyond the caller's buffer is cut to it.
    const std::size_t count = std::min<std::size_t>(result.Information, outputLength);
    out.output.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(count));
  }
  return out;
}

NTSTATUS closeDevice(const FileHandle& file) {
  if (!file || !file->markClosed()) return STATUS_INVALID_HANDLE;
  return file->release();
}

// --- Object namespace ---

std::optional<std::string> resolveName(std::string_view name) {
  Kernel& k = kernel();
  std::lock_guard guard(k.lock);
  PDEVICE_OBJECT device = resolveLocked(k, widen(name));
  if (device == nullptr) return std::nullopt;
  return narrow(device->DeviceObjectExtension->name);
}

std::optional<std::string> symbolicLinkTarget(std::string_view link) {
  Kernel& k = kernel();
  std::lock_guard guard(k.lock);
  auto it = k.symbolicLinks.find(canonicalName(widen(link)));
  if (it == k.symbolicLinks.end()) return std::nullopt;
  return narrow(it->second.second);
}

std::vector<std::string> deviceNames() {
  Kernel& k = kernel();
  std::lock_guard guard(k.lock);
  std::vector<std::string> names;
  for (const auto& [name, device] : k.deviceNames) names.push_back(narrow(name));
  return names;
}

std::vector<std::string> symbolicLinkNames() {
  Kernel& k = kernel();
  std::lock_guard guard(k.lock);
  std::vector<std::string> names;
  for (const auto& [key, link] : k.symbolicLinks) names.push_back(narrow(link.first));
  return names;
}

std::vector<DeviceInterface> deviceInterfaces() {
  Kernel& k = kernel();
  std::lock_guard guard(k.lock);
  std::vector<DeviceInterface> interfaces;
  for (const DeviceInterfaceEntry& entry : k.interfaces)
    interfaces.push_back(DeviceInterface{narrow(entry.link), entry.interfaceClass, entry.physicalDevice, entry.enabled});
  return interfaces;
}

void resetKernel() {
  std::map<PDEVICE_OBJECT, std::shared_ptr<DeviceNode>> devices;
  std::vector<std::unique_ptr<DriverNode>> drivers;
  Kernel& k = kernel();
  std::lock_guard guard(k.lock);
  for (auto& [device, node] : k.devices) node->bookkeeping.deleted = true;
  devices.swap(k.devices);
  drivers.swap(k.drivers);
  k.deviceNames.clear();
  k.symbolicLinks.clear();
  k.interfaces.clear();
  busDriver().DeviceObject = nullptr;
}

}  // namespace keld::wdm
