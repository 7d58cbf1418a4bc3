#include "platform/win32/device_io.h"

#include "platform/win32/socket_backend.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace keld::win32 {
namespace {

struct HandleTable {
  std::mutex lock;
  std::shared_ptr<DeviceBackend> backend;
  std::unordered_map<std::uintptr_t, std::shared_ptr<DeviceConnection>> open;
  std::uintptr_t nextHandle = 0x100;
};

HandleTable& table() {
  static HandleTable t;
  return t;
}

std::shared_ptr<DeviceBackend> currentBackend() {
  HandleTable& t = table();
  std::lock_guard guard(t.lock);
  if (!t.backend) t.backend = makeSocketBackend();  // the driver host
  return t.backend;
}

std::shared_ptr<DeviceConnection> connectionOf(HANDLE handle) {
  HandleTable& t = table();
  std::lock_guard guard(t.lock);
  auto it = t.open.find(reinterpret_cast<std::uintptr_t>(handle));
  return it == t.open.end() ? nullptr : it->second;
}

}  // namespace

void setDeviceBackend(std::shared_ptr<DeviceBackend> backend) {
  HandleTable& t = table();
  std::lock_guard guard(t.lock);
  t.backend = std::move(backend);
}

DWORD win32ErrorFromStatus(std::int32_t status) {
  switch (static_cast<std::uint32_t>(status)) {
    case 0x80000011: return ERROR_BUSY;                  // STATUS_DEVICE_BUSY
    case 0xC0000023: return ERROR_INSUFFICIENT_BUFFER;   // STATUS_BUFFER_TOO_SMALL
    case 0xC000000D: return ERROR_INVALID_PARAMETER;     // STATUS_INVALID_PARAMETER
    case 0xC0000010: return ERROR_INVALID_FUNCTION;      // STATUS_INVALID_DEVICE_REQUEST
    case 0xC00000B5: return ERROR_TIMEOUT;               // STATUS_IO_TIMEOUT
    case 0xC0000185: return ERROR_IO_DEVICE;             // STATUS_IO_DEVICE_ERROR
    case 0xC000003F: return ERROR_CRC;                   // STATUS_DATA_ERROR
    case 0xC00000C0: return ERROR_DEVICE_NOT_CONNECTED;  // STATUS_DEVICE_DOES_NOT_EXIST
    case 0xC0000184: return ERROR_NOT_READY;             // STATUS_INVALID_DEVICE_STATE
    case 0xC0000022: return ERROR_ACCESS_DENIED;         // STATUS_ACCESS_DENIED
    default: return ERROR_GEN_FAILURE;
  }
}

}  // namespace keld::win32

using namespace keld::win32;

HANDLE CreateFileA(LPCSTR fileName, DWORD, DWORD, LPVOID, DWORD creationDisposition, DWORD, HANDLE) {
  if (fileName == nullptr || creationDisposition != OPEN_EXISTING) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  OpenResult opened = currentBackend()->open(fileName);
  if (!opened.connection) {
    SetLastError(opened.error != ERROR_SUCCESS ? opened.error : ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  HandleTable& t = table();
  std::lock_guard guard(t.lock);
  const std::uintptr_t handle = t.nextHandle++;
  t.open.emplace(handle, std::move(opened.connection));
  SetLastError(ERROR_SUCCESS);
  return reinterpret_cast<HANDLE>(handle);
}

BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                     LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned, LPVOID overlapped) {
  if (bytesReturned != nullptr) *bytesReturned = 0;
  if (overlapped != nullptr || (inBuffer == nullptr && inBufferSize != 0) ||
      (outBuffer == nullptr && outBufferSize != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::shared_ptr<DeviceConnection> connection = connectionOf(device);
  if (!connection) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // Buffered I/O: the driver works on a copy and only the bytes it reports
  // reach the caller's output.
  std::vector<std::uint8_t> input(inBufferSize);
  if (inBufferSize != 0) std::memcpy(input.data(), inBuffer, inBufferSize);
  std::vector<std::uint8_t> output(outBufferSize);
  ControlResult result = connection->control(ioControlCode, input, output);
  if (result.status < 0) {
    SetLastError(win32ErrorFromStatus(result.status));
    return FALSE;
  }
  const DWORD count = std::min<DWORD>(result.bytesReturned, outBufferSize);
  if (count != 0) std::memcpy(outBuffer, output.data(), count);
  if (bytesReturned != nullptr) *bytesReturned = count;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
  std::shared_ptr<DeviceConnection> closing;
  {
    HandleTable& t = table();
    std::lock_guard guard(t.lock);
    auto it = t.open.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == t.open.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    closing = std::move(it->second);
    t.open.erase(it);
  }
  closing.reset();  // the connection closes outside the table's lock
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
