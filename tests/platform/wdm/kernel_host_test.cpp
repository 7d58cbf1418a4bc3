#include "platform/wdm/kernel_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace keld::wdm {
namespace {

// A tiny function driver over the bus driver's physical device: one device
// "\Device\TESTRDR0", linked as "\DosDevices\TESTRDR_0", with a device
// interface, forwarding and waiting for start, and the power policy of a
// WDM function driver.
constexpr GUID TEST_INTERFACE_CLASS = {0x12345678, 0x9ABC, 0xDEF0, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};

constexpr ULONG IOCTL_ECHO_PLUS_ONE = 0x00222000;
constexpr ULONG IOCTL_OVERSTATED_COUNT = 0x00222004;
constexpr ULONG IOCTL_FAILS_WITH_COUNT = 0x00222008;
constexpr ULONG IOCTL_COMPLETES_LATER = 0x0022200C;
constexpr ULONG IOCTL_BLOCKS_UNTIL_RELEASED = 0x00222010;

struct TestExtension {
  PDEVICE_OBJECT Lower;
  UNICODE_STRING Interface;
  ULONG IoBase;
  ULONG Vector;
  ULONG InputLengthSeen;
  ULONG OutputLengthSeen;
  KIRQL PowerUpIrql;
  LONG PowerUps;
};

struct DriverLog {
  std::vector<std::string> events;
  std::string registryPath;
  bool clearInitializing = true;
  UCHAR lastRequestedMinor = 0xFF;
  POWER_STATE lastRequestedState{};
  NTSTATUS lastRequestedStatus = STATUS_PENDING;
  KIRQL requestDoneIrql = PASSIVE_LEVEL;
  std::thread completer;
  KEVENT entered{};
  KEVENT release{};
} testLog;

WCHAR deviceNameText[] = L"\\Device\\TESTRDR0";
WCHAR linkNameText[] = L"\\DosDevices\\TESTRDR_0";

TestExtension* extensionOf(PDEVICE_OBJECT device) { return static_cast<TestExtension*>(device->DeviceExtension); }

NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS passDown(PDEVICE_OBJECT device, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(extensionOf(device)->Lower, irp);
}

NTSTATUS forwardDone(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS forwardAndWait(PDEVICE_OBJECT device, PIRP irp) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, forwardDone, &event, TRUE, TRUE, TRUE);
  if (IoCallDriver(extensionOf(device)->Lower, irp) == STATUS_PENDING)
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  return irp->IoStatus.Status;
}

NTSTATUS dispatchCreate(PDEVICE_OBJECT, PIRP irp) {
  testLog.events.push_back("create");
  return complete(irp, STATUS_SUCCESS);
}

NTSTATUS dispatchCleanup(PDEVICE_OBJECT, PIRP irp) {
  testLog.events.push_back("cleanup");
  return complete(irp, STATUS_SUCCESS);
}

NTSTATUS dispatchClose(PDEVICE_OBJECT, PIRP irp) {
  testLog.events.push_back("close");
  return complete(irp, STATUS_SUCCESS);
}

NTSTATUS dispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const auto& control = stack->Parameters.DeviceIoControl;
  TestExtension* extension = extensionOf(device);
  extension->InputLengthSeen = control.InputBufferLength;
  extension->OutputLengthSeen = control.OutputBufferLength;
  auto* buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
  switch (control.IoControlCode) {
    case IOCTL_ECHO_PLUS_ONE:
      for (ULONG i = 0; i < control.InputBufferLength; ++i) buffer[i] = static_cast<UCHAR>(buffer[i] + 1);
      return complete(irp, STATUS_SUCCESS, control.InputBufferLength);
    case IOCTL_OVERSTATED_COUNT:
      return complete(irp, STATUS_SUCCESS, 100);
    case IOCTL_FAILS_WITH_COUNT:
      buffer[0] = 0x77;
      return complete(irp, STATUS_BUFFER_TOO_SMALL, 1);
    case IOCTL_COMPLETES_LATER:
      IoMarkIrpPending(irp);
      testLog.completer = std::thread([irp] {
        static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer)[0] = 0x42;
        complete(irp, STATUS_SUCCESS, 1);
      });
      return STATUS_PENDING;
    case IOCTL_BLOCKS_UNTIL_RELEASED:
      KeSetEvent(&testLog.entered, IO_NO_INCREMENT, FALSE);
      KeWaitForSingleObject(&testLog.release, Executive, KernelMode, FALSE, nullptr);
      return complete(irp, STATUS_SUCCESS);
    default:
      return complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

void removeDevice(PDEVICE_OBJECT device) {
  TestExtension* extension = extensionOf(device);
  if (extension->Interface.Buffer != nullptr) {
    IoSetDeviceInterfaceState(&extension->Interface, FALSE);
    RtlFreeUnicodeString(&extension->Interface);
  }
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, linkNameText);
  IoDeleteSymbolicLink(&link);
  if (extension->Lower != nullptr) IoDetachDevice(extension->Lower);
  extension->Lower = nullptr;
  IoDeleteDevice(device);
}

NTSTATUS dispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  TestExtension* extension = extensionOf(device);
  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  testLog.events.push_back("pnp " + std::to_string(stack->MinorFunction));
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      NTSTATUS status = forwardAndWait(device, irp);
      if (!NT_SUCCESS(status)) return complete(irp, status);
      const PCM_RESOURCE_LIST translated = stack->Parameters.StartDevice.AllocatedResourcesTranslated;
      const CM_PARTIAL_RESOURCE_LIST& partial = translated->List[0].PartialResourceList;
      for (ULONG i = 0; i < partial.Count; ++i) {
        const CM_PARTIAL_RESOURCE_DESCRIPTOR& descriptor = partial.PartialDescriptors[i];
        if (descriptor.Type == CmResourceTypePort) extension->IoBase = descriptor.u.Port.Start.u.LowPart;
        if (descriptor.Type == CmResourceTypeInterrupt) extension->Vector = descriptor.u.Interrupt.Vector;
      }
      if (stack->Parameters.StartDevice.AllocatedResources == nullptr || extension->IoBase == 0)
        return complete(irp, STATUS_INSUFFICIENT_RESOURCES);
      status = IoSetDeviceInterfaceState(&extension->Interface, TRUE);
      if (status == STATUS_OBJECT_NAME_EXISTS) status = STATUS_SUCCESS;
      return complete(irp, status);
    }
    case IRP_MN_REMOVE_DEVICE: {
      const PDEVICE_OBJECT lower = extension->Lower;
      removeDevice(device);
      IoSkipCurrentIrpStackLocation(irp);
      return IoCallDriver(lower, irp);
    }
    default:
      return passDown(device, irp);
  }
}

VOID powerRequestDone(PDEVICE_OBJECT, UCHAR minorFunction, POWER_STATE state, PVOID context, PIO_STATUS_BLOCK status) {
  testLog.lastRequestedMinor = minorFunction;
  testLog.lastRequestedState = state;
  testLog.lastRequestedStatus = status->Status;
  testLog.requestDoneIrql = KeGetCurrentIrql();
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
}

NTSTATUS powerUpComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto* extension = static_cast<TestExtension*>(context);
  extension->PowerUpIrql = KeGetCurrentIrql();
  extension->PowerUps++;
  PoSetPowerState(device, DevicePowerState, IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State);
  PoStartNextPowerIrp(irp);
  return STATUS_SUCCESS;
}

NTSTATUS dispatchPower(PDEVICE_OBJECT device, PIRP irp) {
  TestExtension* extension = extensionOf(device);
  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == SystemPowerState) {
    POWER_STATE wanted;
    wanted.DeviceState = stack->Parameters.Power.State.SystemState == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    const NTSTATUS status = PoRequestPowerIrp(device, IRP_MN_SET_POWER, wanted, powerRequestDone, &event, nullptr);
    if (status != STATUS_PENDING) return complete(irp, status);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    PoSetPowerState(device, SystemPowerState, stack->Parameters.Power.State);
  } else if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.State.DeviceState == PowerDeviceD0) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, powerUpComplete, extension, TRUE, TRUE, TRUE);
    return PoCallDriver(extension->Lower, irp);
  } else if (stack->MinorFunction == IRP_MN_SET_POWER) {
    PoSetPowerState(device, DevicePowerState, stack->Parameters.Power.State);
  }
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(extension->Lower, irp);
}

NTSTATUS addTestDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice) {
  UNICODE_STRING deviceName;
  RtlInitUnicodeString(&deviceName, deviceNameText);
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(TestExtension), &deviceName, FILE_DEVICE_SMARTCARD, 0, TRUE, &device);
  if (!NT_SUCCESS(status)) return status;
  TestExtension* extension = extensionOf(device);
  extension->Lower = IoAttachDeviceToDeviceStack(device, physicalDevice);
  IoRegisterDeviceInterface(physicalDevice, &TEST_INTERFACE_CLASS, nullptr, &extension->Interface);
  device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
  if (testLog.clearInitializing) device->Flags &= ~DO_DEVICE_INITIALIZING;
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, linkNameText);
  status = IoCreateSymbolicLink(&link, &deviceName);
  if (!NT_SUCCESS(status)) removeDevice(device);
  return status;
}

NTSTATUS testDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  std::wstring path(registryPath->Buffer, registryPath->Length / sizeof(WCHAR));
  testLog.registryPath.assign(path.begin(), path.end());
  driver->MajorFunction[IRP_MJ_CREATE] = dispatchCreate;
  driver->MajorFunction[IRP_MJ_CLEANUP] = dispatchCleanup;
  driver->MajorFunction[IRP_MJ_CLOSE] = dispatchClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatchDeviceControl;
  driver->MajorFunction[IRP_MJ_PNP] = dispatchPnp;
  driver->MajorFunction[IRP_MJ_POWER] = dispatchPower;
  driver->DriverExtension->AddDevice = addTestDevice;
  return STATUS_SUCCESS;
}

// Only create is served; everything else keeps the system's default.
NTSTATUS createOnlyDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_CREATE] = dispatchCreate;
  driver->DriverExtension->AddDevice = addTestDevice;
  return STATUS_SUCCESS;
}

NTSTATUS failingDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_INSUFFICIENT_RESOURCES; }

class KernelHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testLog.events.clear();
    testLog.clearInitializing = true;
    KeInitializeEvent(&testLog.entered, NotificationEvent, FALSE);
    KeInitializeEvent(&testLog.release, NotificationEvent, FALSE);
    pdo = createPhysicalDevice("PCMCIA\\TESTRDR\\0");
    ASSERT_NE(pdo, nullptr);
  }
  void TearDown() override {
    if (testLog.completer.joinable()) testLog.completer.join();
    if (pdo != nullptr && pdo->AttachedDevice != nullptr) sendPnp(pdo, IRP_MN_REMOVE_DEVICE);  // lets the driver free its strings
    resetKernel();
  }

  PDEVICE_OBJECT addDriver(PDRIVER_INITIALIZE entry = testDriverEntry) {
    const LoadedDriver loaded = loadDriver(entry, "testrdr");
    EXPECT_EQ(loaded.status, STATUS_SUCCESS);
    driver = loaded.driver;
    EXPECT_EQ(addDevice(driver, pdo), STATUS_SUCCESS);
    return pdo->AttachedDevice;
  }

  PDEVICE_OBJECT pdo = nullptr;
  PDRIVER_OBJECT driver = nullptr;
};

TEST_F(KernelHostTest, DriverEntryGetsItsServiceKeyAndAFailedEntryLeavesNoDriver) {
  addDriver();
  EXPECT_EQ(testLog.registryPath, "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\testrdr");
  const LoadedDriver failed = loadDriver(failingDriverEntry, "broken");
  EXPECT_EQ(failed.status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(failed.driver, nullptr);
}

TEST_F(KernelHostTest, AddDeviceNamesLinksAndRegistersTheDevice) {
  PDEVICE_OBJECT fdo = addDriver();
  ASSERT_NE(fdo, nullptr);
  EXPECT_EQ(fdo->StackSize, 2);
  EXPECT_EQ(deviceNames(), (std::vector<std::string>{"\\Device\\TESTRDR0"}));
  EXPECT_EQ(symbolicLinkNames(), (std::vector<std::string>{"\\DosDevices\\TESTRDR_0"}));
  EXPECT_EQ(symbolicLinkTarget("\\DosDevices\\TESTRDR_0"), "\\Device\\TESTRDR0");
  EXPECT_EQ(resolveName("\\\\.\\TESTRDR_0"), "\\Device\\TESTRDR0");
  EXPECT_EQ(resolveName("\\\\.\\testrdr_0"), "\\Device\\TESTRDR0");
  const auto interfaces = deviceInterfaces();
  ASSERT_EQ(interfaces.size(), 1u);
  EXPECT_EQ(interfaces[0].symbolicLinkName, "\\??\\PCMCIA#TESTRDR#0#{12345678-9abc-def0-0123-456789abcdef}");
  EXPECT_EQ(interfaces[0].physicalDevice, pdo);
  EXPECT_FALSE(interfaces[0].enabled);
}

TEST_F(KernelHostTest, InterfaceOpensOnlyWhileEnabled) {
  addDriver();
  const std::string interfaceName = deviceInterfaces().at(0).symbolicLinkName;
  FileHandle file;
  EXPECT_EQ(openDevice(interfaceName, file), STATUS_OBJECT_NAME_NOT_FOUND);
  ASSERT_EQ(startDevice(pdo, 0x300, 4, std::nullopt), STATUS_SUCCESS);
  EXPECT_TRUE(deviceInterfaces().at(0).enabled);
  EXPECT_EQ(openDevice(interfaceName, file), STATUS_SUCCESS);
  EXPECT_EQ(closeDevice(file), STATUS_SUCCESS);

  std::wstring wide(interfaceName.begin(), interfaceName.end());
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, wide.c_str());
  EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_OBJECT_NAME_EXISTS);
  EXPECT_EQ(IoSetDeviceInterfaceState(&name, FALSE), STATUS_SUCCESS);
  EXPECT_EQ(openDevice(interfaceName, file), STATUS_OBJECT_NAME_NOT_FOUND);
  WCHAR unknown[] = L"\\??\\NOWHERE#{0}";
  RtlInitUnicodeString(&name, unknown);
  EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(KernelHostTest, RegisteringTheSameInterfaceAgainGivesTheSameName) {
  addDriver();
  UNICODE_STRING again{};
  ASSERT_EQ(IoRegisterDeviceInterface(pdo, &TEST_INTERFACE_CLASS, nullptr, &again), STATUS_SUCCESS);
  EXPECT_EQ(std::wstring(again.Buffer, again.Length / sizeof(WCHAR)),
            L"\\??\\PCMCIA#TESTRDR#0#{12345678-9abc-def0-0123-456789abcdef}");
  RtlFreeUnicodeString(&again);
  EXPECT_EQ(again.Buffer, nullptr);
  EXPECT_EQ(deviceInterfaces().size(), 1u);
  // Interfaces belong to physical devices only.
  EXPECT_EQ(IoRegisterDeviceInterface(pdo->AttachedDevice, &TEST_INTERFACE_CLASS, nullptr, &again),
            STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(KernelHostTest, SymbolicLinksRefuseATakenNameAndReportAMissingOne) {
  addDriver();
  WCHAR target[] = L"\\Device\\ELSEWHERE";
  UNICODE_STRING link;
  UNICODE_STRING device;
  RtlInitUnicodeString(&link, L"\\??\\TESTRDR_0");  // another spelling of the driver's link
  RtlInitUnicodeString(&device, target);
  EXPECT_EQ(IoCreateSymbolicLink(&link, &device), STATUS_OBJECT_NAME_COLLISION);
  RtlInitUnicodeString(&link, L"\\DosDevices\\TESTRDR_9");
  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(IoCreateSymbolicLink(&link, &device), STATUS_SUCCESS);
  FileHandle file;
  EXPECT_EQ(openDevice("\\\\.\\TESTRDR_9", file), STATUS_OBJECT_NAME_NOT_FOUND);  // dangling target
  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
}

TEST_F(KernelHostTest, ExclusiveDeviceRefusesASecondOpenBeforeTheDriverSeesIt) {
  addDriver();
  FileHandle first;
  FileHandle second;
  ASSERT_EQ(openDevice("\\\\.\\TESTRDR_0", first), STATUS_SUCCESS);
  EXPECT_EQ(openDevice("\\Device\\TESTRDR0", second), STATUS_ACCESS_DENIED);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(closeDevice(first), STATUS_SUCCESS);
  EXPECT_EQ(closeDevice(first), STATUS_INVALID_HANDLE);
  ASSERT_EQ(openDevice("\\DosDevices\\TESTRDR_0", second), STATUS_SUCCESS);
  second.reset();  // dropping the last reference closes the handle
  EXPECT_EQ(testLog.events,
            (std::vector<std::string>{"create", "cleanup", "close", "create", "cleanup", "close"}));
}

TEST_F(KernelHostTest, NamesThatLeadNowhereAreNotFound) {
  addDriver();
  FileHandle file;
  for (const char* name : {"\\\\.\\NOPE", "\\\\.\\TESTRDR_1", "\\Device\\TESTRDR", "", "TESTRDR_0"})
    EXPECT_EQ(openDevice(name, file), STATUS_OBJECT_NAME_NOT_FOUND) << name;
  EXPECT_TRUE(testLog.events.empty());
}

TEST_F(KernelHostTest, DeviceStillInitialisingCannotBeOpened) {
  testLog.clearInitializing = false;
  addDriver();
  FileHandle file;
  EXPECT_EQ(openDevice("\\\\.\\TESTRDR_0", file), STATUS_DEVICE_DOES_NOT_EXIST);
  EXPECT_TRUE(testLog.events.empty());
}

TEST_F(KernelHostTest, BufferedControlSharesOneBufferForInputAndOutput) {
  PDEVICE_OBJECT fdo = addDriver();
  FileHandle file;
  ASSERT_EQ(openDevice("\\\\.\\TESTRDR_0", file), STATUS_SUCCESS);
  const std::vector<std::uint8_t> input{0x01, 0x02, 0x03};
  ControlResult result = deviceIoControl(file, IOCTL_ECHO_PLUS_ONE, input, 8);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 3u);
  EXPECT_EQ(result.output, (std::vector<std::uint8_t>{0x02, 0x03, 0x04}));
  EXPECT_EQ(extensionOf(fdo)->InputLengthSeen, 3u);
  EXPECT_EQ(extensionOf(fdo)->OutputLengthSeen, 8u);

  // Output shorter than the input: the driver still gets all of the input.
  result = deviceIoControl(file, IOCTL_ECHO_PLUS_ONE, input, 2);
  EXPECT_EQ(result.output, (std::vector<std::uint8_t>{0x02, 0x03}));

  result = deviceIoControl(file, IOCTL_OVERSTATED_COUNT, {}, 4);
  EXPECT_EQ(result.information, 100u);
  EXPECT_EQ(result.output.size(), 4u);

  result = deviceIoControl(file, IOCTL_FAILS_WITH_COUNT, input, 4);
  EXPECT_EQ(result.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_TRUE(result.output.empty());

  result = deviceIoControl(file, 0x00222FFC, {}, 0);
  EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(KernelHostTest, ARequestCompletedLaterOnAnotherThreadIsWaitedFor) {
  addDriver();
  FileHandle file;
  ASSERT_EQ(openDevice("\\\\.\\TESTRDR_0", file), STATUS_SUCCESS);
  const ControlResult result = deviceIoControl(file, IOCTL_COMPLETES_LATER, {}, 1);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.output, (std::vector<std::uint8_t>{0x42}));
}

TEST_F(KernelHostTest, RequestsOnOneHandleRunSideBySide) {
  addDriver();
  FileHandle file;
  ASSERT_EQ(openDevice("\\\\.\\TESTRDR_0", file), STATUS_SUCCESS);
  std::thread blocked([&] { EXPECT_EQ(deviceIoControl(file, IOCTL_BLOCKS_UNTIL_RELEASED, {}, 0).status, STATUS_SUCCESS); });
  KeWaitForSingleObject(&testLog.entered, Executive, KernelMode, FALSE, nullptr);
  // The stand-in holds no lock while the first request sits in the driver.
  const std::vector<std::uint8_t> input{0x10};
  EXPECT_EQ(deviceIoControl(file, IOCTL_ECHO_PLUS_ONE, input, 1).output, (std::vector<std::uint8_t>{0x11}));
  EXPECT_EQ(resolveName("\\\\.\\TESTRDR_0"), "\\Device\\TESTRDR0");
  KeSetEvent(&testLog.release, IO_NO_INCREMENT, FALSE);
  blocked.join();
}

TEST_F(KernelHostTest, DefaultDispatchRejectsWhatTheDriverDoesNotServe) {
  PDEVICE_OBJECT fdo = addDriver(createOnlyDriverEntry);
  FileHandle file;
  ASSERT_EQ(openDevice("\\\\.\\TESTRDR_0", file), STATUS_SUCCESS);
  EXPECT_EQ(deviceIoControl(file, IOCTL_ECHO_PLUS_ONE, {}, 0).status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(closeDevice(file), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(sendPnp(pdo, IRP_MN_REMOVE_DEVICE), STATUS_INVALID_DEVICE_REQUEST);
  removeDevice(fdo);  // the driver cannot remove itself
}

TEST_F(KernelHostTest, StartHandsTheDriverPortAndInterruptAndReturnsItsStatus) {
  PDEVICE_OBJECT fdo = addDriver();
  const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> interruptOnly{interruptResource(5)};
  EXPECT_EQ(startDevice(pdo, interruptOnly), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(startDevice(pdo, 0x320, 4, 11), STATUS_SUCCESS);
  EXPECT_EQ(extensionOf(fdo)->IoBase, 0x320u);
  EXPECT_EQ(extensionOf(fdo)->Vector, 11u);
  const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> tooMany(CM_MAX_PARTIAL_DESCRIPTORS + 1, portResource(0x300, 4));
  EXPECT_EQ(startDevice(pdo, tooMany), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(sendPnp(pdo, IRP_MN_START_DEVICE), STATUS_INVALID_PARAMETER);
}

TEST_F(KernelHostTest, PnpRequestsReachTheDriverAndTheBusCompletesThem) {
  addDriver();
  for (UCHAR minor : {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_STOP_DEVICE,
                      IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_SURPRISE_REMOVAL})
    EXPECT_EQ(sendPnp(pdo, minor), STATUS_SUCCESS) << int{minor};
  EXPECT_EQ(sendPnp(pdo, 0x18), STATUS_NOT_SUPPORTED);  // the bus leaves what it does not know
  EXPECT_EQ(testLog.events.size(), 7u);
}

TEST_F(KernelHostTest, RemovedDeviceFailsRequestsOnAHandleStillOpen) {
  addDriver();
  FileHandle file;
  ASSERT_EQ(openDevice("\\\\.\\TESTRDR_0", file), STATUS_SUCCESS);
  EXPECT_EQ(sendPnp(pdo, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(pdo->AttachedDevice, nullptr);
  EXPECT_TRUE(deviceNames().empty());
  EXPECT_TRUE(symbolicLinkNames().empty());
  EXPECT_EQ(deviceIoControl(file, IOCTL_ECHO_PLUS_ONE, {}, 0).status, STATUS_DEVICE_DOES_NOT_EXIST);
  testLog.events.clear();
  EXPECT_EQ(closeDevice(file), STATUS_SUCCESS);
  EXPECT_TRUE(testLog.events.empty());
  EXPECT_EQ(unloadDriver(driver), STATUS_SUCCESS);

  deletePhysicalDevice(pdo);
  EXPECT_TRUE(deviceInterfaces().empty());
  EXPECT_EQ(sendPnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_DEVICE_DOES_NOT_EXIST);
  pdo = nullptr;
}

TEST_F(KernelHostTest, DriverWithDevicesCannotBeUnloaded) {
  addDriver();
  EXPECT_EQ(unloadDriver(driver), STATUS_DEVICE_BUSY);
}

TEST_F(KernelHostTest, SystemPowerRequestsAreServedWithTheDeviceRequestsTheDriverAsksFor) {
  PDEVICE_OBJECT fdo = addDriver();
  EXPECT_EQ(setSystemPower(pdo, PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(testLog.lastRequestedMinor, IRP_MN_SET_POWER);
  EXPECT_EQ(testLog.lastRequestedState.DeviceState, PowerDeviceD3);
  EXPECT_EQ(testLog.lastRequestedStatus, STATUS_SUCCESS);
  EXPECT_EQ(recordedDevicePower(fdo), PowerDeviceD3);
  EXPECT_EQ(recordedSystemPower(fdo), PowerSystemSleeping3);
  EXPECT_EQ(extensionOf(fdo)->PowerUps, 0);

  EXPECT_EQ(setSystemPower(pdo, PowerSystemWorking), STATUS_SUCCESS);
  EXPECT_EQ(testLog.lastRequestedState.DeviceState, PowerDeviceD0);
  EXPECT_EQ(extensionOf(fdo)->PowerUps, 1);
  // The bus completes a power-up at DISPATCH_LEVEL, so the routines above it run there.
  EXPECT_EQ(extensionOf(fdo)->PowerUpIrql, DISPATCH_LEVEL);
  EXPECT_EQ(testLog.requestDoneIrql, DISPATCH_LEVEL);
  EXPECT_EQ(recordedDevicePower(fdo), PowerDeviceD0);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

  EXPECT_EQ(querySystemPower(pdo, PowerSystemHibernate), STATUS_SUCCESS);
  EXPECT_EQ(setDevicePower(pdo, PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(extensionOf(fdo)->PowerUps, 2);
}

TEST_F(KernelHostTest, PowerRequestsNeedAKnownMinorFunctionAndDevice) {
  POWER_STATE state;
  state.DeviceState = PowerDeviceD0;
  EXPECT_EQ(PoRequestPowerIrp(pdo, IRP_MN_WAIT_WAKE, state, powerRequestDone, nullptr, nullptr),
            STATUS_INVALID_PARAMETER);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = nullptr;
  EXPECT_EQ(PoRequestPowerIrp(pdo, IRP_MN_QUERY_POWER, state, powerRequestDone, &event, &irp), STATUS_PENDING);
  EXPECT_NE(irp, nullptr);
  EXPECT_EQ(KeReadStateEvent(&event), 1);  // the bus completed it right away
  EXPECT_EQ(testLog.lastRequestedMinor, IRP_MN_QUERY_POWER);
  EXPECT_EQ(testLog.requestDoneIrql, PASSIVE_LEVEL);
}

TEST_F(KernelHostTest, SecondPhysicalDeviceWithTheSameInstanceIsRefused) {
  EXPECT_EQ(createPhysicalDevice("PCMCIA\\TESTRDR\\0"), nullptr);
  EXPECT_NE(createPhysicalDevice("PCMCIA\\TESTRDR\\1"), nullptr);
}

}  // namespace
}  // namespace keld::wdm
