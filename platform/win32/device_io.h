#pragma once
// Device access: CreateFileA, DeviceIoControl and CloseHandle over a
// backend that reaches the reader devices. The driver host's socket is the
// backend in normal use; tests install a scripted fake device.

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "platform/win32/win32_types.h"

constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;

HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode, LPVOID securityAttributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);

// Synchronous only: `overlapped` must be null.
BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                     LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned, LPVOID overlapped);

BOOL CloseHandle(HANDLE handle);

namespace keld::win32 {

// Outcome of one control request as the driver completed it.
struct ControlResult {
  std::int32_t status = 0;         // NT status; negative values are failures
  std::uint32_t bytesReturned = 0; // bytes of output the driver wrote
};

// NT statuses a backend reports for its own failures.
constexpr std::int32_t STATUS_SUCCESS = 0;
constexpr std::int32_t STATUS_DEVICE_DOES_NOT_EXIST = static_cast<std::int32_t>(0xC00000C0);

// One open device: a handle's worth of connection to a driver.
class DeviceConnection {
 public:
  virtual ~DeviceConnection() = default;
  // One buffered control request. The driver sees `input` and an output
  // buffer of `output.size()` bytes, and writes at most that many.
  virtual ControlResult control(std::uint32_t code, std::span<const std::uint8_t> input,
                                std::span<std::uint8_t> output) = 0;
};

struct OpenResult {
  std::unique_ptr<DeviceConnection> connection;  // null when the open failed
  DWORD error = ERROR_SUCCESS;                    // ERROR_FILE_NOT_FOUND: no such device;
                                                  // ERROR_ACCESS_DENIED: in use
};

class DeviceBackend {
 public:
  virtual ~DeviceBackend() = default;
  // `name` as the caller gave it, for example "\\.\KELDCT_0".
  virtual OpenResult open(std::string_view name) = 0;
};

// Installs the backend for every later CreateFileA; null puts the default
// back. Handles already open keep the connection they have.
void setDeviceBackend(std::shared_ptr<DeviceBackend> backend);

// Win32 error code for an NT status that failed a control request.
DWORD win32ErrorFromStatus(std::int32_t status);

}  // namespace keld::win32
