#pragma once
// Private to the kernel stand-in: its tables of devices, names, links,
// interfaces and drivers, under one lock. The lock is never held while a
// driver routine runs.

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/wdm/io_manager.h"
#include "platform/wdm/power_types.h"

struct DEVOBJ_EXTENSION {
  std::wstring name;                     // \Device\... name, empty for an unnamed device
  PDEVICE_OBJECT attachedTo = nullptr;   // device below in the stack
  bool exclusive = false;
  bool deleted = false;
  int openCount = 0;
  bool physical = false;                 // a bus driver's physical device object
  std::wstring instanceId;               // physical devices: names their interfaces
  POWER_STATE devicePower{.DeviceState = PowerDeviceD0};
  POWER_STATE systemPower{.SystemState = PowerSystemWorking};
};

namespace keld::wdm::detail {

struct DeviceNode {
  DEVICE_OBJECT object{};
  DEVOBJ_EXTENSION bookkeeping;
  std::unique_ptr<std::max_align_t[]> extension;
};

struct DriverNode {
  DRIVER_OBJECT object{};
  DRIVER_EXTENSION extension{};
  std::wstring name;
};

struct DeviceInterfaceEntry {
  std::wstring link;  // \??\... symbolic link name
  GUID interfaceClass;
  std::wstring reference;
  PDEVICE_OBJECT physicalDevice;
  bool enabled = false;
};

// Object names compare without regard to ASCII case, as the namespace does.
struct NameLess {
  bool operator()(std::wstring_view a, std::wstring_view b) const;
  using is_transparent = void;
};

struct Kernel {
  std::mutex lock;
  std::map<PDEVICE_OBJECT, std::shared_ptr<DeviceNode>> devices;  // devices not yet deleted
  std::map<std::wstring, PDEVICE_OBJECT, NameLess> deviceNames;
  // Keyed by the canonical \??\ spelling; holds the spelling as created and the target.
  std::map<std::wstring, std::pair<std::wstring, std::wstring>, NameLess> symbolicLinks;
  std::vector<DeviceInterfaceEntry> interfaces;
  std::vector<std::unique_ptr<DriverNode>> drivers;
};

Kernel& kernel();

// The node of a device not yet deleted, or nullptr. Caller holds the lock.
std::shared_ptr<DeviceNode> findDevice(Kernel& k, PDEVICE_OBJECT device);

// Top of the stack; caller holds the lock.
PDEVICE_OBJECT topOfStack(PDEVICE_OBJECT device);

// Names are ASCII; other characters become '?'.
std::wstring widen(std::string_view text);
std::string narrow(std::wstring_view text);
std::wstring fromUnicodeString(PCUNICODE_STRING string);

// \DosDevices\X, \\.\X and \\?\X are spellings of \??\X.
std::wstring canonicalName(std::wstring_view name);

}  // namespace keld::wdm::detail
