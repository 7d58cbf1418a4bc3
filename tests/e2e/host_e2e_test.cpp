// The real keldrind with the real libkeldapi.so: terminals opened through
// the host's socket, readers chosen by port, unplug and replug, a host that
// stops or dies, and a host that random frames cannot break.

#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <random>

#include "e2e/host_process.h"
#include "keldapi.h"
#include "platform/win32/host_socket.h"

namespace keld::test {
namespace {

using namespace keld::hostproto;

class HostEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    // The library's own waits run on its virtual clock as well.
    ::setenv("KELD_VIRTUAL_TIME", "1", 1);
  }

  // Starts keldrind and points the library at its socket.
  HostProcess& startHost(std::vector<std::string> arguments = {}) {
    host = std::make_unique<HostProcess>(std::move(arguments));
    EXPECT_TRUE(host->ready()) << host->log();
    ::setenv("KELD_SOCKET", host->socketPath().c_str(), 1);
    return *host;
  }

  std::string status() {
    hostctl::CommandResult r = host->control().status();
    EXPECT_TRUE(r.ok()) << r.text;
    return r.text;
  }

  std::unique_ptr<HostProcess> host;
};

TEST_F(HostEndToEnd, NoHostRunningMakesCtInitFailAtOnce) {
  const std::string directory = makeTestDirectory("nohost");
  ::setenv("KELD_SOCKET", (directory + "/keldrind.sock").c_str(), 1);
  EXPECT_EQ(CT_init(1, 1), ERR_TRANS);
  EXPECT_EQ(CT_init(1, 0), ERR_TRANS);
  std::filesystem::remove_all(directory);
}

TEST_F(HostEndToEnd, OpensTerminalOnPort1WithTheReaderAt300) {
  startHost();
  ASSERT_EQ(CT_init(1, 1), OK) << host->log();
  EXPECT_NE(status().find("handle 1: \\DosDevices\\KELDCT_0"), std::string::npos) << status();
  // The device is exclusive: a second terminal on it cannot be opened.
  EXPECT_EQ(CT_init(2, 1), ERR_TRANS);
  EXPECT_EQ(CT_close(1), OK);
  EXPECT_NE(status().find("open handles: 0"), std::string::npos);
  EXPECT_EQ(CT_init(2, 1), OK);
  EXPECT_EQ(CT_close(2), OK);
}

TEST_F(HostEndToEnd, TwoReadersAt300And320AreChosenByPortNumber) {
  startHost({"--reader", "sim,io=0x300", "--reader", "sim,io=0x320,card=none"});
  ASSERT_EQ(CT_init(7, 2), OK) << host->log();
  EXPECT_NE(status().find(": \\DosDevices\\KELDCT_1"), std::string::npos) << status();
  EXPECT_EQ(CT_init(8, 1), OK);
  EXPECT_NE(status().find(": \\DosDevices\\KELDCT_0"), std::string::npos) << status();
  EXPECT_EQ(CT_init(9, 3), ERR_TRANS);  // nothing at 0x340
  EXPECT_EQ(CT_close(7), OK);
  EXPECT_EQ(CT_close(8), OK);
  EXPECT_EQ(CT_init(9, 0), OK);  // port 0: the first reader that answers
  EXPECT_EQ(CT_close(9), OK);
}

TEST_F(HostEndToEnd, AThirdReaderIsRefusedByTheDriverAndReported) {
  startHost({"--reader", "sim,io=0x300", "--reader", "sim,io=0x320", "--reader", "sim,io=0x340"});
  EXPECT_NE(host->log().find("reader 2 (sim at 0x340): the driver refused it"), std::string::npos) << host->log();
  const std::string text = status();
  EXPECT_NE(text.find("reader 2 (sim at 0x340): irq 5, firmware"), std::string::npos) << text;
  EXPECT_NE(text.find("refused by the driver"), std::string::npos) << text;
  EXPECT_EQ(CT_init(1, 3), ERR_TRANS);
  EXPECT_EQ(CT_init(1, 2), OK);
  EXPECT_EQ(CT_close(1), OK);
}

TEST_F(HostEndToEnd, UnpluggedReaderHasNoDeviceUntilReplugged) {
  startHost();
  ASSERT_EQ(CT_init(1, 1), OK);
  ASSERT_TRUE(host->control().unplug(0).ok());
  EXPECT_NE(status().find("unplugged"), std::string::npos);
  EXPECT_EQ(CT_close(1), OK);
  EXPECT_EQ(CT_init(2, 1), ERR_TRANS);
  hostctl::CommandResult replug = host->control().replug(0);
  ASSERT_TRUE(replug.ok()) << replug.text;
  EXPECT_EQ(CT_init(2, 1), OK);
  EXPECT_EQ(CT_close(2), OK);
}

TEST_F(HostEndToEnd, SigtermRemovesTheDevicesAndTheSocketFile) {
  startHost({"--reader", "sim,io=0x300", "--reader", "sim,io=0x320"});
  ASSERT_EQ(CT_init(1, 1), OK);
  const std::string socket = host->socketPath();
  EXPECT_EQ(host->stop(SIGTERM), 0);
  EXPECT_FALSE(std::filesystem::exists(socket));
  const std::string log = host->log();
  EXPECT_NE(log.find("reader 0 (sim at 0x300) removed"), std::string::npos) << log;
  EXPECT_NE(log.find("reader 1 (sim at 0x320) removed"), std::string::npos) << log;
  EXPECT_EQ(CT_close(1), OK);
  EXPECT_EQ(CT_init(1, 1), ERR_TRANS);
}

TEST_F(HostEndToEnd, HostKilledDuringACallFailsTheCallWithoutHanging) {
  startHost();
  ASSERT_EQ(CT_init(1, 1), OK);
  // Stopped, the host takes the connection but never answers; killed, it
  // closes it: the call in flight must fail, not wait for an answer.
  host->signal(SIGSTOP);
  auto call = std::async(std::launch::async, [] { return CT_init(2, 2); });
  EXPECT_EQ(call.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  host->stop(SIGKILL);
  ASSERT_EQ(call.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(call.get(), ERR_TRANS);
  EXPECT_EQ(CT_close(1), OK);
}

TEST_F(HostEndToEnd, BadConfigurationStopsTheHostWithTheLineAndReason) {
  const std::string directory = makeTestDirectory("config");
  const std::string config = directory + "/host.conf";
  std::ofstream(config) << "reader sim,io=0x300\nreader sim,io=0x320,firmware=two\n";
  HostProcess bad({"--config", config});
  EXPECT_FALSE(bad.ready());
  EXPECT_NE(bad.log().find(config + ":2: reader firmware 'two' is not a version like 2.32"), std::string::npos)
      << bad.log();

  const std::string image = directory + "/card.toml";
  std::ofstream(image) << "[card]\nkind = \"t1\"\nifsc = banana\n";
  HostProcess badCard({"--reader", "sim,card=" + image});
  EXPECT_FALSE(badCard.ready());
  EXPECT_NE(badCard.log().find("card image " + image + ":3:"), std::string::npos) << badCard.log();
  std::filesystem::remove_all(directory);
}

// Frames for the fuzz test: raw noise, or a frame with a good header whose
// type, lengths and fields are random, after a greeting or without one.
Bytes randomFrame(std::mt19937& random) {
  std::uniform_int_distribution<int> byte(0, 255);
  auto noise = [&](std::size_t n) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<std::uint8_t>(byte(random));
    return b;
  };
  switch (random() % 4) {
    case 0: return noise(1 + random() % 64);
    case 1: {  // a header with a random length, and a payload of another length
      Bytes frame = encodeFrame(static_cast<std::uint16_t>(random() % 8), random(), noise(random() % 48));
      const std::uint32_t length = random() % 3 == 0 ? random() : static_cast<std::uint32_t>(random() % 64);
      std::memcpy(frame.data() + 8, &length, 4);
      return frame;
    }
    default: {  // a well-framed request with random fields; never a host command
      static constexpr MessageType types[] = {MessageType::Hello, MessageType::Open, MessageType::Control,
                                              MessageType::Close};
      const MessageType type = types[random() % 4];
      Bytes payload = noise(random() % 40);
      if (type == MessageType::Control && payload.size() >= 16 && random() % 2) {
        ControlRequest r{static_cast<std::uint32_t>(random() % 4),
                         static_cast<std::uint32_t>(0x00312000 + 4 * (random() % 8)), 0,
                         static_cast<std::uint32_t>(random() % 300)};
        r.inputLength = static_cast<std::uint32_t>(payload.size() - 16);
        std::memcpy(payload.data(), &r, sizeof r);
      }
      return encodeFrame(static_cast<std::uint16_t>(type), random(), payload);
    }
  }
}

TEST_F(HostEndToEnd, RandomFramesNeverCrashTheHostAndAGoodClientKeepsWorking) {
  startHost();
  ASSERT_EQ(CT_init(1, 1), OK);
  std::mt19937 random(20261211);
  const Bytes hello = encodeFrame(static_cast<std::uint16_t>(MessageType::Hello), 1,
                                  encodePayload(HelloRequest{PROTOCOL_VERSION, 0, 0}));
  for (int connection = 0; connection < 150; ++connection) {
    Socket s = connectToHost(host->socketPath());
    ASSERT_TRUE(s.valid()) << "connection " << connection << "\n" << host->log();
    if (random() % 2) sendAll(s.fd(), hello);
    for (int frame = 0; frame < 8; ++frame)
      if (!sendAll(s.fd(), randomFrame(random))) break;
    // Read what the host answered, so that it never blocks on a full socket.
    ::shutdown(s.fd(), SHUT_WR);
    while (receiveFrame(s.fd(), 2000).error == ReceiveError::None) {
    }
  }
  int exitStatus = 0;
  ASSERT_EQ(::waitpid(host->pid(), &exitStatus, WNOHANG), 0) << host->log();
  EXPECT_EQ(CT_close(1), OK);
  EXPECT_EQ(CT_init(2, 1), OK);
  EXPECT_EQ(CT_close(2), OK);
  EXPECT_NE(status().find("open handles: 0"), std::string::npos);
}

}  // namespace
}  // namespace keld::test
