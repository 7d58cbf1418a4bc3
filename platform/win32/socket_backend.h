#pragma once
// Device access through the driver host: each open device is one connection
// to the host's socket, on which every DeviceIoControl is one request and
// its reply. The default backend of CreateFileA.

#include <memory>
#include <string>

#include "platform/win32/device_io.h"

namespace keld::win32 {

// `socketPath` empty: resolve it at every open ($KELD_SOCKET and so on), so
// that a program that sets the variable after loading the library is served.
std::shared_ptr<DeviceBackend> makeSocketBackend(std::string socketPath = {});

}  // namespace keld::win32
