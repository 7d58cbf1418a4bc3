#include "ctapi/link/transport.h"

#include "ctapi/state/library_state.h"
#include "driver/ioctl/reader_ioctl.h"
#include "platform/win32/device_io.h"

namespace keldapi {
namespace {

HANDLE deviceOf(int terminal) {
  if (terminal < 0 || terminal >= TERMINAL_COUNT) return INVALID_HANDLE_VALUE;
  return lib.terminals[terminal].device;
}

}  // namespace

std::uint32_t transmitBlock(int terminal, std::uint16_t length) {
  DWORD returned = 0;
  const BOOL ok = DeviceIoControl(deviceOf(terminal), keld::ioctl::IOCTL_READER_TRANSMIT,
                                  lib.blockBuffer.data(), length, lib.answerBuffer.data(),
                                  static_cast<DWORD>(lib.answerBuffer.size()), &returned, nullptr);
  lib.answerByteCount = ok ? returned : 0;
  return lib.answerByteCount;
}

bool setWaitingTime(int terminal, std::int32_t value, std::int32_t* previous) {
  DWORD returned = 0;
  std::int32_t old = 0;
  const BOOL ok = DeviceIoControl(deviceOf(terminal), keld::ioctl::IOCTL_READER_TIMEOUT, &value,
                                  sizeof value, &old, sizeof old, &returned, nullptr);
  if (ok && previous != nullptr) *previous = old;
  return ok != FALSE;
}

}  // namespace keldapi
