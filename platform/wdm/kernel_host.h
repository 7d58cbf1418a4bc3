#pragma once
// What the driver host needs to play the system around a driver: the loader,
// the bus driver below the function driver, the plug-and-play, power and
// I/O managers above it, and a look into the object namespace.
//
// Every call here is made at PASSIVE_LEVEL from any thread; none holds a
// lock of the stand-in while the driver runs. Statuses are NT statuses.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/wdm/wdm.h"

namespace keld::wdm {

// --- Loader ---------------------------------------------------------------

struct LoadedDriver {
  NTSTATUS status;
  PDRIVER_OBJECT driver;  // nullptr unless DriverEntry succeeded
};

// Creates the driver object "\Driver\<serviceName>" with every major
// function rejecting the request (STATUS_INVALID_DEVICE_REQUEST) and calls
// `driverEntry` with the registry path
// "\Registry\Machine\System\CurrentControlSet\Services\<serviceName>".
// A driver whose entry fails is dropped again.
LoadedDriver loadDriver(PDRIVER_INITIALIZE driverEntry, std::string_view serviceName);

// Calls the driver's unload routine and drops the driver object.
// STATUS_DEVICE_BUSY, with nothing done, while the driver still has devices.
NTSTATUS unloadDriver(PDRIVER_OBJECT driver);

// --- Bus driver -------------------------------------------------------------

// Creates the physical device object of one device on the bus. Its own
// dispatch completes plug-and-play and power requests with success and
// passes nothing further; it completes a device set-power to D0 at
// DISPATCH_LEVEL, as a real bus driver may, so that the completion routines
// above it run there. `instanceId` (for example "PCMCIA\KELDMATIC\0") names
// the device interfaces registered on it. nullptr when `instanceId` is taken.
PDEVICE_OBJECT createPhysicalDevice(std::string_view instanceId);

// The device left the bus: deletes the physical device object and its
// interfaces. Run the removal requests first (sendPnp IRP_MN_REMOVE_DEVICE).
void deletePhysicalDevice(PDEVICE_OBJECT physicalDevice);

// Calls the driver's AddDevice routine for the physical device.
// STATUS_INVALID_DEVICE_REQUEST when the driver has none.
NTSTATUS addDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice);

// --- Plug-and-play manager ------------------------------------------------

CM_PARTIAL_RESOURCE_DESCRIPTOR portResource(std::uint32_t base, std::uint32_t length);
CM_PARTIAL_RESOURCE_DESCRIPTOR interruptResource(std::uint32_t vector);

// Sends IRP_MN_START_DEVICE to the top of the physical device's stack with
// the descriptors as both the raw and the translated resources (one full
// descriptor; I/O ports translate to themselves). Returns the request's final
// status; STATUS_INVALID_PARAMETER for more than CM_MAX_PARTIAL_DESCRIPTORS.
NTSTATUS startDevice(PDEVICE_OBJECT physicalDevice, std::span<const CM_PARTIAL_RESOURCE_DESCRIPTOR> resources);

// Start with a port range and, when given, an interrupt.
NTSTATUS startDevice(PDEVICE_OBJECT physicalDevice, std::uint32_t portBase, std::uint32_t portLength,
                     std::optional<std::uint32_t> interruptVector);

// Sends a plug-and-play request without parameters (query-stop, stop,
// cancel-stop, query-remove, cancel-remove, surprise removal, remove) to the
// top of the stack and returns its final status. The request starts out as
// STATUS_NOT_SUPPORTED, as the manager sends it. IRP_MN_START_DEVICE goes
// through startDevice (STATUS_INVALID_PARAMETER here).
NTSTATUS sendPnp(PDEVICE_OBJECT physicalDevice, UCHAR minorFunction);

// --- Power manager --------------------------------------------------------

// System power requests (IRP_MN_SET_POWER, IRP_MN_QUERY_POWER with a
// system state) to the top of the stack; the device requests the driver asks
// for with PoRequestPowerIrp meanwhile are served. Final status returned.
NTSTATUS setSystemPower(PDEVICE_OBJECT physicalDevice, SYSTEM_POWER_STATE state);
NTSTATUS querySystemPower(PDEVICE_OBJECT physicalDevice, SYSTEM_POWER_STATE state);

// A device power request (IRP_MN_SET_POWER with a device state), as a power
// policy owner would send it.
NTSTATUS setDevicePower(PDEVICE_OBJECT physicalDevice, DEVICE_POWER_STATE state);

// The states the device last recorded with PoSetPowerState (D0 and working
// until it records any).
DEVICE_POWER_STATE recordedDevicePower(PDEVICE_OBJECT device);
SYSTEM_POWER_STATE recordedSystemPower(PDEVICE_OBJECT device);

// --- I/O manager ----------------------------------------------------------

// One open handle on a device. Destroying it closes it if closeDevice has not.
class OpenFile;
using FileHandle = std::shared_ptr<OpenFile>;

// Opens a device by name: "\\.\KELDCT_0", "\DosDevices\KELDCT_0",
// "\??\...", a device interface's link name, or "\Device\KELDCT0". Symbolic
// links are followed; the request (IRP_MJ_CREATE) goes to the top of the
// device's stack. STATUS_OBJECT_NAME_NOT_FOUND when the name leads nowhere
// (also for a disabled interface), STATUS_DEVICE_DOES_NOT_EXIST while the
// device is still initialising, STATUS_ACCESS_DENIED for a second open of
// an exclusive device (the driver sees nothing of it), else the driver's status.
NTSTATUS openDevice(std::string_view name, FileHandle& file);

struct ControlResult {
  NTSTATUS status;
  ULONG_PTR information;              // byte count the driver reported
  std::vector<std::uint8_t> output;   // the first `information` output bytes, unless an error status
};

// A buffered device-control request: one system buffer of max(input,
// output) bytes holding the input, the lengths as given. STATUS_DEVICE_DOES_NOT_EXIST
// once the device was removed, STATUS_INVALID_HANDLE after close.
ControlResult deviceIoControl(const FileHandle& file, ULONG ioControlCode, std::span<const std::uint8_t> input,
                              ULONG outputLength);

// IRP_MJ_CLEANUP then IRP_MJ_CLOSE; returns the close's status. A removed
// device gets neither; the handle is released all the same.
NTSTATUS closeDevice(const FileHandle& file);

// --- Object namespace -----------------------------------------------------

// The \Device\ name that `name` leads to through links and enabled
// interfaces; nullopt when it leads nowhere.
std::optional<std::string> resolveName(std::string_view name);

// The link's target, as the link was created; nullopt when there is no link.
std::optional<std::string> symbolicLinkTarget(std::string_view link);

// Names as they were created.
std::vector<std::string> deviceNames();
std::vector<std::string> symbolicLinkNames();

struct DeviceInterface {
  std::string symbolicLinkName;
  GUID interfaceClass;
  PDEVICE_OBJECT physicalDevice;
  bool enabled;
};
std::vector<DeviceInterface> deviceInterfaces();

// Forgets every device, link, interface and driver, for a test to start over.
// Open handles keep their objects alive but see them as removed.
void resetKernel();

}  // namespace keld::wdm
