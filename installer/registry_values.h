#pragma once
// Bounded reads and writes of registry values for the installer's steps.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32/registry.h"

namespace keldinst {

// Paths and subkey names are held in 200-character buffers, terminator included.
constexpr std::size_t kPathCapacity = 200;
constexpr DWORD kNameCapacity = 200;
constexpr DWORD kShortValueCapacity = 50;
constexpr DWORD kValueCapacity = 200;

struct ValueRead {
  DWORD type = REG_NONE;
  std::vector<std::uint8_t> bytes;
  // The text up to its first zero, never past the bytes read.
  std::string_view text() const;
};

// Nothing when the value is missing or larger than `capacity`.
std::optional<ValueRead> readValue(HKEY key, const char* name, DWORD capacity);

// Substring test; `upperCased` converts the value to upper case first and
// expects an upper-case marker.
bool containsMarker(const ValueRead& value, std::string_view marker, bool upperCased);

// Writes `text` with its terminating zero counted.
LONG writeString(HKEY key, const char* name, std::string_view text, DWORD type = REG_SZ);

// `parent\child`, or nothing when it would not fit in a path buffer.
std::optional<std::string> joinPath(std::string_view parent, std::string_view child);

// The subkey name at `index`; nothing past the last or when it does not fit.
std::optional<std::string> subkeyAt(HKEY key, DWORD index);

// Closes on scope exit.
class OpenedKey {
 public:
  OpenedKey() = default;
  explicit OpenedKey(HKEY key) : key_(key) {}
  ~OpenedKey() { close(); }
  OpenedKey(const OpenedKey&) = delete;
  OpenedKey& operator=(const OpenedKey&) = delete;
  HKEY* out() {
    close();
    return &key_;
  }
  HKEY get() const { return key_; }
  explicit operator bool() const { return key_ != nullptr; }
  void close() {
    if (key_) RegCloseKey(key_);
    key_ = nullptr;
  }

 private:
  HKEY key_ = nullptr;
};

// Opens `path` below `parent`; an empty key when that fails.
bool openKey(OpenedKey& key, HKEY parent, const std::string& path, REGSAM access);

}  // namespace keldinst
