#include "platform/wdm/object_namespace.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <limits>

#include "platform/wdm/kernel_state.h"

using namespace keld::wdm::detail;

namespace {

std::wstring guidText(const GUID& guid) {
  wchar_t text[40];
  std::swprintf(text, std::size(text), L"{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", guid.Data1, guid.Data2,
                guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                guid.Data4[6], guid.Data4[7]);
  return text;
}

// A counted copy the caller frees with RtlFreeUnicodeString.
NTSTATUS allocateUnicodeString(std::wstring_view text, PUNICODE_STRING out) {
  const std::size_t bytes = text.size() * sizeof(WCHAR);
  if (bytes + sizeof(WCHAR) > std::numeric_limits<USHORT>::max()) return STATUS_INSUFFICIENT_RESOURCES;
  auto* buffer = new WCHAR[text.size() + 1];
  std::wmemcpy(buffer, text.data(), text.size());
  buffer[text.size()] = L'\0';
  out->Buffer = buffer;
  out->Length = static_cast<USHORT>(bytes);
  out->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  return STATUS_SUCCESS;
}

}  // namespace

VOID RtlInitUnicodeString(PUNICODE_STRING destinationString, PCWSTR sourceString) {
  if (sourceString == nullptr) {
    *destinationString = UNICODE_STRING{};
    return;
  }
  const std::size_t maxChars = std::numeric_limits<USHORT>::max() / sizeof(WCHAR) - 1;
  const std::size_t chars = std::min(std::wcslen(sourceString), maxChars);
  destinationString->Buffer = const_cast<PWCH>(sourceString);
  destinationString->Length = static_cast<USHORT>(chars * sizeof(WCHAR));
  destinationString->MaximumLength = static_cast<USHORT>((chars + 1) * sizeof(WCHAR));
}

VOID RtlFreeUnicodeString(PUNICODE_STRING unicodeString) {
  delete[] unicodeString->Buffer;
  *unicodeString = UNICODE_STRING{};
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING symbolicLinkName, PUNICODE_STRING deviceName) {
  const std::wstring link = fromUnicodeString(symbolicLinkName);
  const std::wstring target = fromUnicodeString(deviceName);
  if (link.empty() || link.front() != L'\\' || target.empty()) return STATUS_OBJECT_NAME_INVALID;
  Kernel& k = kernel();
  std::lock_guard guard(k.lock);
  if (!k.symbolicLinks.emplace(canonicalName(link), std::pair{link, target}).second)
    return STATUS_OBJECT_NAME_COLLISION;
  return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING symbolicLinkName) {
  Kernel& k = kernel();
  std::lock_guard guard(k.lock);
  if (k.symbolicLinks.erase(canonicalName(fromUnicodeString(symbolicLinkName))) == 0)
    return STATUS_OBJECT_NAME_NOT_FOUND;
  return STATUS_SUCCESS;
}

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT physicalDeviceObject, const GUID* interfaceClassGuid,
                                   PUNICODE_STRING referenceString, PUNICODE_STRING symbolicLinkName) {
  if (interfaceClassGuid == nullptr || symbolicLinkName == nullptr) return STATUS_INVALID_PARAMETER;
  const std::wstring reference = fromUnicodeString(referenceString);
  Kernel& k = kernel();
  std::lock_guard guard(k.lock);
  const auto node = findDevice(k, physicalDeviceObject);
  // Interfaces hang off the bus driver's device; a function device has no instance to name them by.
  if (!node || !node->bookkeeping.physical) return STATUS_INVALID_DEVICE_REQUEST;
  for (const DeviceInterfaceEntry& entry : k.interfaces) {
    if (entry.physicalDevice == physicalDeviceObject && entry.interfaceClass == *interfaceClassGuid &&
        NameLess{}(entry.reference, reference) == NameLess{}(reference, entry.reference))
      return allocateUnicodeString(entry.link, symbolicLinkName);
  }
  std::wstring instance = node->bookkeeping.instanceId;
  for (wchar_t& c : instance)
    if (c == L'\\') c = L'#';
  std::wstring link = L"\\??\\" + instance + L"#" + guidText(*interfaceClassGuid);
  if (!reference.empty()) link += L"\\" + reference;
  const NTSTATUS status = allocateUnicodeString(link, symbolicLinkName);
  if (NT_SUCCESS(status))
    k.interfaces.push_back(DeviceInterfaceEntry{link, *interfaceClassGuid, reference, physicalDeviceObject, false});
  return status;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING symbolicLinkName, BOOLEAN enable) {
  const std::wstring link = fromUnicodeString(symbolicLinkName);
  Kernel& k = kernel();
  std::lock_guard guard(k.lock);
  for (DeviceInterfaceEntry& entry : k.interfaces) {
    if (NameLess{}(entry.link, link) || NameLess{}(link, entry.link)) continue;
    if (enable && entry.enabled) return STATUS_OBJECT_NAME_EXISTS;
    entry.enabled = enable != FALSE;
    return STATUS_SUCCESS;
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}
