// The socket server with a fake device service, reached through the
// library's device access and the host-command client.

#include "host/server.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <future>
#include <thread>

#include "host/fake_service.h"
#include "platform/win32/device_io.h"
#include "platform/win32/host_control.h"
#include "platform/win32/socket_backend.h"
#include "support/hex.h"

namespace keld::test {
namespace {

using namespace keld::hostproto;

HANDLE openDevice(const char* name) {
  return CreateFileA(name, 0, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    directory = std::filesystem::path(::testing::TempDir()) /
                ("keld-server-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(directory);
    path = (directory / "keldrind.sock").string();  // the directory is made by the server
    service.addDevice("\\DosDevices\\KELDCT_0");
    ASSERT_EQ(::pipe(stopPipe), 0);
    win32::setDeviceBackend(win32::makeSocketBackend(path));
  }

  void TearDown() override {
    stopServer();
    win32::setDeviceBackend(nullptr);
    ::close(stopPipe[0]);
    ::close(stopPipe[1]);
    std::filesystem::remove_all(directory);
  }

  void startServer() {
    server = std::make_unique<host::Server>(service, host::ServerOptions{path, std::nullopt, 64});
    std::string error;
    ASSERT_TRUE(server->listen(error)) << error;
    serving = std::thread([this] { server->run(stopPipe[0]); });
  }

  void stopServer() {
    if (!server) return;
    const char byte = 1;
    ASSERT_EQ(::write(stopPipe[1], &byte, 1), 1);
    serving.join();
    server.reset();
    char drained = 0;
    ASSERT_EQ(::read(stopPipe[0], &drained, 1), 1);
  }

  std::filesystem::path directory;
  std::string path;
  FakeService service;
  int stopPipe[2] = {-1, -1};
  std::unique_ptr<host::Server> server;
  std::thread serving;
};

TEST_F(ServerTest, NoHostListeningMeansNoDevice) {
  EXPECT_EQ(openDevice("\\\\.\\KELDCT_0"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(ServerTest, OpensTellAMissingDeviceFromOneInUseAndCloseFreesIt) {
  startServer();
  EXPECT_EQ(openDevice("\\\\.\\KELDCT_1"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  HANDLE first = openDevice("\\\\.\\KELDCT_0");
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  EXPECT_EQ(openDevice("\\\\.\\KELDCT_0"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(CloseHandle(first));
  // The close has reached the host before CloseHandle returned.
  EXPECT_EQ(service.openHandles(), 0);
  HANDLE again = openDevice("\\\\.\\KELDCT_0");
  EXPECT_NE(again, INVALID_HANDLE_VALUE);
  CloseHandle(again);
}

TEST_F(ServerTest, ControlRequestsTravelWithTheCallersSizesAndStatus) {
  service.addDevice("\\DosDevices\\KELDCT_1", [](std::uint32_t code, std::span<const std::uint8_t> input,
                                                 std::uint32_t outputSize) {
    if (code == 0x00312004) return host::ControlOutcome{static_cast<std::int32_t>(0xC0000023), 0, {}};
    host::ControlOutcome out{STATUS_SUCCESS, 2, {static_cast<std::uint8_t>(input.size()),
                                                 static_cast<std::uint8_t>(outputSize)}};
    return out;
  });
  startServer();
  HANDLE device = openDevice("\\\\.\\KELDCT_1");
  ASSERT_NE(device, INVALID_HANDLE_VALUE);
  std::uint8_t input[5] = {1, 2, 3, 4, 5};
  std::uint8_t output[270] = {};
  DWORD returned = 99;
  ASSERT_TRUE(DeviceIoControl(device, 0x00312000, input, sizeof input, output, sizeof output, &returned, nullptr));
  EXPECT_EQ(returned, 2u);
  EXPECT_EQ(output[0], 5);
  EXPECT_EQ(output[1], 270 & 0xFF);

  EXPECT_FALSE(DeviceIoControl(device, 0x00312004, nullptr, 0, output, 12, &returned, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(returned, 0u);
  CloseHandle(device);
}

TEST_F(ServerTest, SocketIsForItsOwnerOnly) {
  startServer();
  struct stat st{};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(directory.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0077, 0u);
}

TEST_F(ServerTest, AStaleSocketIsReplacedButALiveHostIsNot) {
  startServer();
  host::Server second(service, host::ServerOptions{path, std::nullopt, 64});
  std::string error;
  EXPECT_FALSE(second.listen(error));
  EXPECT_NE(error.find("another keldrind"), std::string::npos) << error;
  stopServer();
  EXPECT_FALSE(std::filesystem::exists(path));

  // A socket file whose host died without removing it.
  {
    Socket stale(::socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    ASSERT_EQ(::bind(stale.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  }
  ASSERT_TRUE(std::filesystem::exists(path));
  startServer();
  HANDLE device = openDevice("\\\\.\\KELDCT_0");
  EXPECT_NE(device, INVALID_HANDLE_VALUE);
  CloseHandle(device);
}

TEST_F(ServerTest, AHostThatStopsFailsTheNextCallAndLeavesNoSocketFile) {
  startServer();
  HANDLE device = openDevice("\\\\.\\KELDCT_0");
  ASSERT_NE(device, INVALID_HANDLE_VALUE);
  stopServer();
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(service.openHandles(), 0);
  std::uint8_t byte = 0;
  DWORD returned = 0;
  EXPECT_FALSE(DeviceIoControl(device, 0x00312010, nullptr, 0, &byte, 1, &returned, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_TRUE(CloseHandle(device));
}

TEST_F(ServerTest, HostCommandsReachTheServiceWithTheirArguments) {
  startServer();
  hostctl::HostControl control(path);
  hostctl::CommandResult r = control.insertCard(1, "/tmp/card.txt", 40);
  EXPECT_TRUE(r.ok()) << r.text;
  EXPECT_EQ(r.text, "ok");
  EXPECT_TRUE(control.suspend().ok());
  EXPECT_EQ(service.commands(), (std::vector<std::string>{"insert-card 1 40 /tmp/card.txt", "suspend 65535 0 "}));

  hostctl::HostControl nobody((directory / "absent.sock").string());
  hostctl::CommandResult absent = nobody.status();
  EXPECT_FALSE(absent.ok());
  EXPECT_NE(absent.text.find("no host answers"), std::string::npos);
}

TEST_F(ServerTest, ClientsAreServedConcurrently) {
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> first{true};
  service.addDevice("\\DosDevices\\KELDCT_1", [&](std::uint32_t, std::span<const std::uint8_t>, std::uint32_t) {
    if (first.exchange(false)) {
      entered.set_value();
      released.wait();
    }
    return host::ControlOutcome{STATUS_SUCCESS, 0, {}};
  });
  startServer();
  HANDLE slow = openDevice("\\\\.\\KELDCT_1");
  HANDLE quick = openDevice("\\\\.\\KELDCT_0");
  ASSERT_NE(slow, INVALID_HANDLE_VALUE);
  ASSERT_NE(quick, INVALID_HANDLE_VALUE);
  std::thread blocked([&] {
    DWORD n = 0;
    EXPECT_TRUE(DeviceIoControl(slow, 0x00312010, nullptr, 0, nullptr, 0, &n, nullptr));
  });
  entered.get_future().wait();
  std::uint8_t in = 0x42, out = 0;
  DWORD n = 0;
  EXPECT_TRUE(DeviceIoControl(quick, 0x00312000, &in, 1, &out, 1, &n, nullptr));
  EXPECT_EQ(out, 0x42);
  release.set_value();
  blocked.join();
  CloseHandle(slow);
  CloseHandle(quick);
}

}  // namespace
}  // namespace keld::test
