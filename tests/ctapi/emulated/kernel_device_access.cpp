// The library's CreateFileA and DeviceIoControl served by the kernel
// stand-in of this process.

#include <algorithm>

#include "driver/ioctl/reader_ioctl.h"
#include "kernel_reader.h"
#include "platform/win32/device_io.h"

namespace keld::test::kernel {
namespace {

constexpr std::int32_t STATUS_OBJECT_NAME_NOT_FOUND = static_cast<std::int32_t>(0xC0000034);

class KernelConnection final : public win32::DeviceConnection {
 public:
  KernelConnection(std::shared_ptr<void> file, KernelReader& reader) : file_(std::move(file)), reader_(reader) {}
  ~KernelConnection() override { close(file_); }

  win32::ControlResult control(std::uint32_t code, std::span<const std::uint8_t> input,
                               std::span<std::uint8_t> output) override {
    const Reply reply = kernel::control(file_, code, input, static_cast<std::uint32_t>(output.size()));
    const std::size_t count = std::min({reply.output.size(), output.size(), std::size_t{reply.information}});
    std::copy_n(reply.output.begin(), count, output.begin());
    if (code == ioctl::IOCTL_READER_TRANSMIT)
      reader_.record({Bytes(input.begin(), input.end()), reply.status, Bytes(reply.output.begin(), reply.output.begin() + count)});
    return {reply.status, static_cast<std::uint32_t>(count)};
  }

 private:
  std::shared_ptr<void> file_;
  KernelReader& reader_;
};

class KernelBackend final : public win32::DeviceBackend {
 public:
  explicit KernelBackend(KernelReader& reader) : reader_(reader) {}
  win32::OpenResult open(std::string_view name) override {
    std::int32_t status = 0;
    std::shared_ptr<void> file = kernel::open(name, status);
    if (!file)
      return {nullptr, status == STATUS_OBJECT_NAME_NOT_FOUND ? ERROR_FILE_NOT_FOUND
                                                              : win32::win32ErrorFromStatus(status)};
    return {std::make_unique<KernelConnection>(std::move(file), reader_), ERROR_SUCCESS};
  }

 private:
  KernelReader& reader_;
};

}  // namespace

void routeDeviceAccess(KernelReader* reader) {
  win32::setDeviceBackend(reader != nullptr ? std::make_shared<KernelBackend>(*reader) : nullptr);
}

}  // namespace keld::test::kernel
