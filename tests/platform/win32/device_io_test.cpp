#include "platform/win32/device_io.h"

#include <gtest/gtest.h>

#include "driver/ioctl/reader_ioctl.h"
#include "support/fake_device.h"

namespace keld::test {
namespace {

using namespace keld::ioctl;

HANDLE open(const char* name) {
  return CreateFileA(name, 0, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

TEST(DeviceIo, TellsAMissingDeviceFromOneInUse) {
  FakeDevices devices;
  devices.addReader(0, 0x300);
  EXPECT_EQ(open("\\\\.\\KELDCT_1"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  HANDLE first = open("\\\\.\\KELDCT_0");
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  EXPECT_EQ(open("\\\\.\\KELDCT_0"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(CloseHandle(first));
  HANDLE again = open("\\\\.\\KELDCT_0");
  EXPECT_NE(again, INVALID_HANDLE_VALUE);
  CloseHandle(again);
  EXPECT_FALSE(CloseHandle(again));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(DeviceIo, ControlRequestsCarryTheCallersSizesAndOnlyReportedBytesReturn) {
  FakeDevices devices;
  auto device = devices.addReader(0, 0x320);
  device->queueAnswer("21 00 02 90 00 B3");
  HANDLE handle = open("\\\\.\\KELDCT_0");

  std::uint8_t block[] = {0x12, 0x00, 0x05, 0x20, 0x10, 0x00, 0x00, 0x00, 0x27};
  std::uint8_t answer[270];
  std::fill(std::begin(answer), std::end(answer), 0xEE);
  DWORD returned = 99;
  ASSERT_TRUE(DeviceIoControl(handle, IOCTL_READER_TRANSMIT, block, sizeof block, answer,
                              sizeof answer, &returned, nullptr));
  EXPECT_EQ(returned, 6u);
  EXPECT_EQ(toHex({answer, 6}), "21 00 02 90 00 B3");
  EXPECT_EQ(answer[6], 0xEE);

  ReaderConfigRecord config{};
  ASSERT_TRUE(DeviceIoControl(handle, IOCTL_READER_GET_CONFIG, nullptr, 0, &config, sizeof config,
                              &returned, nullptr));
  EXPECT_EQ(config.IoBase, 0x320u);

  auto requests = device->requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].code, IOCTL_READER_TRANSMIT);
  EXPECT_EQ(toHex(requests[0].input), "12 00 05 20 10 00 00 00 27");
  EXPECT_EQ(requests[0].outputSize, 270u);
  EXPECT_EQ(requests[1].code, IOCTL_READER_GET_CONFIG);
  EXPECT_TRUE(requests[1].input.empty());
  EXPECT_EQ(requests[1].outputSize, 8u);
  CloseHandle(handle);
}

TEST(DeviceIo, AFailedRequestFailsTheCallWithTheMappedError) {
  FakeDevices devices;
  auto device = devices.addReader(0, 0x300);
  HANDLE handle = open("\\\\.\\KELDCT_0");
  std::uint8_t block[] = {0x00};
  std::uint8_t answer[270];
  DWORD returned = 5;
  EXPECT_FALSE(DeviceIoControl(handle, IOCTL_READER_TRANSMIT, block, 1, answer, sizeof answer,
                               &returned, nullptr));  // silent reader
  EXPECT_EQ(returned, 0u);
  EXPECT_EQ(GetLastError(), ERROR_BUSY);
  EXPECT_FALSE(DeviceIoControl(INVALID_HANDLE_VALUE, IOCTL_READER_TRANSMIT, block, 1, answer,
                               sizeof answer, &returned, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  CloseHandle(handle);
}

TEST(DeviceIo, TimeoutSwapsInUnitsOfTen) {
  FakeDevices devices;
  auto device = devices.addReader(0, 0x300);
  HANDLE handle = open("\\\\.\\KELDCT_0");
  std::uint32_t value = 25, previous = 0;
  DWORD returned = 0;
  ASSERT_TRUE(DeviceIoControl(handle, IOCTL_READER_TIMEOUT, &value, 4, &previous, 4, &returned, nullptr));
  EXPECT_EQ(previous, 10000u);
  EXPECT_EQ(returned, 4u);
  EXPECT_EQ(device->timeoutValue(), 20u);
  CloseHandle(handle);
}

}  // namespace
}  // namespace keld::test
