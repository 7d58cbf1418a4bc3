#include "installer/registry_values.h"

#include <algorithm>
#include <cctype>

namespace keldinst {

std::string_view ValueRead::text() const {
  const auto* chars = reinterpret_cast<const char*>(bytes.data());
  const auto end = std::find(bytes.begin(), bytes.end(), std::uint8_t{0});
  return {chars, static_cast<std::size_t>(end - bytes.begin())};
}

std::optional<ValueRead> readValue(HKEY key, const char* name, DWORD capacity) {
  ValueRead value;
  value.bytes.resize(capacity);
  DWORD size = capacity;
  if (RegQueryValueExA(key, name, nullptr, &value.type, value.bytes.data(), &size) != ERROR_SUCCESS)
    return std::nullopt;
  value.bytes.resize(size);
  return value;
}

bool containsMarker(const ValueRead& value, std::string_view marker, bool upperCased) {
  std::string text(value.text());
  if (upperCased)
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text.find(marker) != std::string::npos;
}

LONG writeString(HKEY key, const char* name, std::string_view text, DWORD type) {
  const std::string copy(text);
  return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(copy.c_str()),
                        static_cast<DWORD>(copy.size() + 1));
}

std::optional<std::string> joinPath(std::string_view parent, std::string_view child) {
  if (parent.size() + 1 + child.size() + 1 > kPathCapacity) return std::nullopt;
  std::string path(parent);
  path += '\\';
  path += child;
  return path;
}

std::optional<std::string> subkeyAt(HKEY key, DWORD index) {
  char name[kNameCapacity];
  DWORD size = kNameCapacity;
  if (RegEnumKeyExA(key, index, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
    return std::nullopt;
  return std::string(name, size);
}

bool openKey(OpenedKey& key, HKEY parent, const std::string& path, REGSAM access) {
  return RegOpenKeyExA(parent, path.c_str(), 0, access, key.out()) == ERROR_SUCCESS;
}

}  // namespace keldinst
