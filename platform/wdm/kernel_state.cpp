#include "platform/wdm/kernel_state.h"

#include <algorithm>

namespace keld::wdm::detail {
namespace {

wchar_t foldCase(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

bool startsWith(std::wstring_view text, std::wstring_view prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(),
                    [](wchar_t a, wchar_t b) { return foldCase(a) == foldCase(b); });
}

}  // namespace

bool NameLess::operator()(std::wstring_view a, std::wstring_view b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [](wchar_t x, wchar_t y) { return foldCase(x) < foldCase(y); });
}

Kernel& kernel() {
  static Kernel k;
  return k;
}

std::shared_ptr<DeviceNode> findDevice(Kernel& k, PDEVICE_OBJECT device) {
  auto it = k.devices.find(device);
  return it == k.devices.end() ? nullptr : it->second;
}

PDEVICE_OBJECT topOfStack(PDEVICE_OBJECT device) {
  while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
  return device;
}

std::wstring widen(std::string_view text) {
  std::wstring wide;
  wide.reserve(text.size());
  for (char c : text) wide.push_back(static_cast<unsigned char>(c) < 0x80 ? static_cast<wchar_t>(c) : L'?');
  return wide;
}

std::string narrow(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t c : text) out.push_back(c >= 0 && c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

std::wstring fromUnicodeString(PCUNICODE_STRING string) {
  if (string == nullptr || string->Buffer == nullptr) return {};
  return std::wstring(string->Buffer, string->Length / sizeof(WCHAR));
}

std::wstring canonicalName(std::wstring_view name) {
  constexpr std::wstring_view dosDevices = L"\\DosDevices\\";
  constexpr std::wstring_view userMode = L"\\\\.\\";
  constexpr std::wstring_view interfaceUserMode = L"\\\\?\\";
  constexpr std::wstring_view global = L"\\??\\";
  if (startsWith(name, interfaceUserMode)) return std::wstring(global) + std::wstring(name.substr(interfaceUserMode.size()));
  if (startsWith(name, dosDevices)) return std::wstring(global) + std::wstring(name.substr(dosDevices.size()));
  if (startsWith(name, userMode)) return std::wstring(global) + std::wstring(name.substr(userMode.size()));
  return std::wstring(name);
}

}  // namespace keld::wdm::detail
