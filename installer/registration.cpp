// InstallDriver: takes the reader's device-class entry and the driver
// service's image path over for this system, or puts the saved values back,
// and secures the reader's PC-Card keys.

#include <array>
#include <cstdio>
#include <string>
#include <string_view>

#include "installer/backup_store.h"
#include "installer/keldinst.h"
#include "installer/registry_values.h"
#include "platform/win32/message_box.h"

namespace keldinst {
namespace {

constexpr std::string_view kHardwareId = "VRDX-SMART_CARD_READER-488C";
constexpr std::string_view kClassGuid = "50DD5230-BA8A-11D1-BF5D-0000F805F530";
constexpr std::string_view kServiceName = "VNR488C";
constexpr std::string_view kClassNameFragment = "SMARTCARD";
constexpr std::string_view kInfSectionMarker = "VNR488C.INSTALL";
constexpr std::string_view kInfSection = "VNR488C.Install";
constexpr std::string_view kImageMarker = "KELDRIN.SYS";
constexpr std::string_view kImagePath = "System32\\DRIVERS\\KELDRIN.SYS";

constexpr const char* kCalaisKey = "SOFTWARE\\Microsoft\\Cryptography\\Calais";
constexpr const char* kPcmciaKey = "SYSTEM\\CurrentControlSet\\Enum\\PCMCIA";
constexpr const char* kReaderKey = "SYSTEM\\CurrentControlSet\\Enum\\PCMCIA\\VRDX-SMART_CARD_READER-488C";
constexpr const char* kClassKey = "System\\CurrentControlSet\\Control\\Class\\{50DD5230-BA8A-11D1-BF5D-0000F805F530}";
constexpr const char* kServicesKey = "System\\CurrentControlSet\\Services";
constexpr const char* kServiceEnumKey = "System\\CurrentControlSet\\Services\\VNR488C\\Enum";

constexpr DWORD kKeyAccessMask = GENERIC_ALL | STANDARD_RIGHTS_ALL;
constexpr DWORD kStartFailedCapacity = 4;
constexpr std::size_t kMessageCapacity = 200;

// A class-entry string with its marker and the text written in its place.
struct ClassString {
  const char* name;
  std::string_view marker;
  bool upperCased;
  std::string_view text;
};

constexpr std::array<ClassString, 4> kClassStrings = {{
    {"InfPath", "KELDRIN.INF", true, "Keldrin.inf"},
    {"DriverDate", "7-23-2003", false, "7-23-2003"},
    {"DriverDesc", "KLR850 CT-API", false, "KLR850 CT-API"},
    {"DriverVersion", "2.1.0.1", false, "2.1.0.1"},
}};

struct CallState {
  bool install = false;
  int32_t result = 2;
  bool readerFound = false;
  bool imageHandled = false;
};

void ensureReaderList() {
  OpenedKey calais;
  if (!openKey(calais, HKEY_LOCAL_MACHINE, kCalaisKey, KEY_ALL_ACCESS)) return;
  OpenedKey readers;
  RegCreateKeyExA(calais.get(), "Readers", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                  readers.out(), nullptr);
}

// Passes only while each instance is a smart-card reader of this service
// whose Control key does not name the service as active.
void scanPcCardInstances(CallState& call) {
  OpenedKey pcmcia;
  if (!openKey(pcmcia, HKEY_LOCAL_MACHINE, kPcmciaKey, KEY_READ)) return;
  ApplyKeySecurity(kReaderKey);
  OpenedKey reader;
  if (!openKey(reader, pcmcia.get(), std::string(kHardwareId), KEY_READ)) {
    call.result = 3;
    return;
  }
  for (DWORD index = 0;; ++index) {
    const auto instanceName = subkeyAt(reader.get(), index);
    if (!instanceName) return;
    OpenedKey instance;
    if (!openKey(instance, reader.get(), *instanceName, KEY_READ)) return;
    const auto driver = readValue(instance.get(), "Driver", kShortValueCapacity);
    if (!driver || !containsMarker(*driver, kClassGuid, true)) return;
    call.readerFound = true;
    // A Control path that would not fit its buffer keeps the DACL it has.
    if (const auto instancePath = joinPath(kReaderKey, *instanceName)) {
      if (const auto controlPath = joinPath(*instancePath, "Control")) ApplyKeySecurity(controlPath->c_str());
    }
    {
      OpenedKey control;
      if (openKey(control, instance.get(), "Control", KEY_READ)) {
        const auto active = readValue(control.get(), "ActiveService", kShortValueCapacity);
        if (active && containsMarker(*active, kServiceName, true)) return;
      }
    }
    const auto deviceClass = readValue(instance.get(), "Class", kShortValueCapacity);
    if (!deviceClass || !containsMarker(*deviceClass, kClassNameFragment, true)) return;
    const auto service = readValue(instance.get(), "Service", kShortValueCapacity);
    if (!service || !containsMarker(*service, kServiceName, true)) return;
  }
}

void takeOverOrRestoreString(const CallState& call, HKEY entry, const std::string& entryName,
                             const ClassString& string) {
  const auto value = readValue(entry, string.name, kValueCapacity);
  if (!value) return;
  const bool ours = containsMarker(*value, string.marker, string.upperCased);
  if (call.install && !ours) {
    SaveOriginalValue(entryName.c_str(), string.name, value->bytes.data(), static_cast<uint32_t>(value->bytes.size()));
    writeString(entry, string.name, string.text);
  } else if (!call.install && ours) {
    // One byte more than the read may fill, so that a saved copy that fills
    // the whole capacity still ends in a zero.
    std::array<std::uint8_t, kValueCapacity + 1> saved{};
    if (ReadSavedValue(entryName.c_str(), string.name, saved.data(), kValueCapacity))
      writeString(entry, string.name, reinterpret_cast<const char*>(saved.data()));
  }
}

void moveDriverDateData(const CallState& call, HKEY entry, const std::string& entryName) {
  const auto savedEntryPath = joinPath(kBackupKey, entryName);
  if (!savedEntryPath) return;
  const auto value = readValue(entry, "DriverDateData", kValueCapacity);
  if (call.install && value) {
    OpenedKey saved;
    if (!openKey(saved, HKEY_LOCAL_MACHINE, *savedEntryPath, KEY_ALL_ACCESS)) return;
    if (RegSetValueExA(saved.get(), "DriverDateData", 0, value->type, value->bytes.data(),
                       static_cast<DWORD>(value->bytes.size())) == ERROR_SUCCESS)
      RegDeleteValueA(entry, "DriverDateData");
  } else if (!call.install && !value) {
    OpenedKey saved;
    if (!openKey(saved, HKEY_LOCAL_MACHINE, *savedEntryPath, KEY_READ)) return;
    if (const auto copy = readValue(saved.get(), "DriverDateData", kValueCapacity))
      RegSetValueExA(entry, "DriverDateData", 0, copy->type, copy->bytes.data(), static_cast<DWORD>(copy->bytes.size()));
  }
}

void handleClassEntries(const CallState& call) {
  OpenedKey classKey;
  if (!openKey(classKey, HKEY_LOCAL_MACHINE, kClassKey, KEY_READ)) return;
  for (DWORD index = 0;; ++index) {
    const auto entryName = subkeyAt(classKey.get(), index);
    if (!entryName) return;
    const auto entryPath = joinPath(kClassKey, *entryName);
    if (!entryPath) continue;  // would not fit its path buffer: skipped
    {
      OpenedKey probe;
      if (!openKey(probe, HKEY_LOCAL_MACHINE, *entryPath, KEY_READ)) continue;
      const auto matching = readValue(probe.get(), "MatchingDeviceId", kValueCapacity);
      if (!matching || !containsMarker(*matching, kHardwareId, true)) continue;
    }
    OpenedKey entry;
    if (!openKey(entry, HKEY_LOCAL_MACHINE, *entryPath, KEY_READ | KEY_SET_VALUE)) continue;
    for (const ClassString& string : kClassStrings) takeOverOrRestoreString(call, entry.get(), *entryName, string);
    const auto infSection = readValue(entry.get(), "InfSection", kValueCapacity);
    if (infSection && !containsMarker(*infSection, kInfSectionMarker, true))
      writeString(entry.get(), "InfSection", kInfSection);
    moveDriverDateData(call, entry.get(), *entryName);
    if (!call.install) {
      OpenedKey backup;
      if (openKey(backup, HKEY_LOCAL_MACHINE, kBackupKey, KEY_ALL_ACCESS)) RegDeleteKeyA(backup.get(), entryName->c_str());
    }
  }
}

void handleServiceImage(CallState& call) {
  OpenedKey services;
  if (!openKey(services, HKEY_LOCAL_MACHINE, kServicesKey, KEY_READ)) return;
  OpenedKey service;
  if (!openKey(service, services.get(), std::string(kServiceName), KEY_ALL_ACCESS)) {
    call.result = 3;
    return;
  }
  const auto image = readValue(service.get(), "ImagePath", kValueCapacity);
  if (!image) return;
  call.imageHandled = true;
  const bool ours = containsMarker(*image, kImageMarker, true);
  if (call.install && !ours) {
    OpenedKey backup;
    if (openKey(backup, HKEY_LOCAL_MACHINE, kBackupKey, KEY_ALL_ACCESS))
      RegSetValueExA(backup.get(), "ImagePath", 0, image->type, image->bytes.data(), static_cast<DWORD>(image->bytes.size()));
    writeString(service.get(), "ImagePath", kImagePath, image->type);
  } else if (!call.install && ours) {
    std::optional<ValueRead> saved;
    {
      OpenedKey backup;
      if (!openKey(backup, HKEY_LOCAL_MACHINE, kBackupKey, KEY_ALL_ACCESS)) return;
      saved = readValue(backup.get(), "ImagePath", kValueCapacity);
      RegDeleteValueA(backup.get(), "ImagePath");
    }
    if (saved)
      RegSetValueExA(service.get(), "ImagePath", 0, saved->type, saved->bytes.data(), static_cast<DWORD>(saved->bytes.size()));
  }
}

void checkStartFailure(CallState& call) {
  OpenedKey serviceEnum;
  if (!openKey(serviceEnum, HKEY_LOCAL_MACHINE, kServiceEnumKey, KEY_READ)) return;
  const auto instance = readValue(serviceEnum.get(), "0", kValueCapacity);
  if (!instance || !containsMarker(*instance, kHardwareId, true)) return;
  if (readValue(serviceEnum.get(), "INITSTARTFAILED", kStartFailedCapacity)) {
    call.result = 2;
    std::array<char, kMessageCapacity> text{};
    std::snprintf(text.data(), text.size(), "The start of driver %s failed. It isn't possible to update the driver.",
                  std::string(kServiceName).c_str());
    MessageBoxA(nullptr, text.data(), nullptr, MB_ICONERROR);
  } else {
    call.readerFound = true;
  }
}

}  // namespace
}  // namespace keldinst

int32_t InstallDriver(int32_t, int32_t mode) {
  using namespace keldinst;
  CallState call;
  call.install = mode != 0;
  ensureReaderList();
  const std::array<const char*, 3> names = {"Administrators", "System", nullptr};
  BuildKeySecurity(names.data(), kKeyAccessMask);
  scanPcCardInstances(call);
  handleClassEntries(call);
  handleServiceImage(call);
  if (!call.readerFound) checkStartFailure(call);
  ReleaseKeySecurity();
  if (call.readerFound && call.imageHandled) call.result = 1;
  return call.result;
}
