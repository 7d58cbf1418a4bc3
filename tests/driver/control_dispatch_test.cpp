// The control codes through the kernel stand-in, against the reader model.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "driver/ioctl/reader_ioctl.h"
#include "driver_fixture.h"

namespace keld::test {
namespace {

using namespace keld::ioctl;
using namespace keldrin;

Bytes u32le(std::uint32_t value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

class ControlDispatchTest : public DriverFixture {
 protected:
  void SetUp() override {
    DriverFixture::SetUp();
    attach(model);
    pdo = createPdo();
    ASSERT_EQ(addDevice(pdo), STATUS_SUCCESS);
    ASSERT_EQ(start(pdo, 0x300, 5), STATUS_SUCCESS);
    handle = open("\\\\.\\KELDCT_0");
    ASSERT_NE(handle, nullptr);
  }
  void TearDown() override {
    close(handle);
    DriverFixture::TearDown();
  }
  Reply control(std::uint32_t code, const Bytes& input, std::uint32_t outputSize) {
    return DriverFixture::control(handle, code, input, outputSize);
  }
  void answerWith(const Bytes& answer) {
    model.respond([answer](const Bytes&) { return std::optional<Bytes>(answer); });
  }

  ScriptedReader model;
  Pdo pdo{};
  Handle handle;
};

struct FailureCase {
  const char* name;
  std::uint32_t code;
  const char* input;
  std::uint32_t outputSize;
  NTSTATUS status;
  std::uint32_t pollLimit = DEFAULT_POLL_LIMIT;
};

class ControlFailureTest : public ControlDispatchTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ControlFailureTest, CompletesWithTheStatusAndNoBytes) {
  const FailureCase& c = GetParam();
  extension(pdo)->Reader.PollLimit = c.pollLimit;
  const Reply reply = control(c.code, hex(c.input), c.outputSize);
  EXPECT_EQ(reply.status, c.status);
  EXPECT_EQ(reply.information, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    FailureTable, ControlFailureTest,
    ::testing::Values(
        FailureCase{"TransmitWithoutInput", IOCTL_READER_TRANSMIT, "", 270, STATUS_INVALID_PARAMETER},
        FailureCase{"TransmitWithoutOutput", IOCTL_READER_TRANSMIT, "12 00 00 12", 0, STATUS_INVALID_PARAMETER},
        FailureCase{"TransmitToASilentReader", IOCTL_READER_TRANSMIT, "12 00 00 12", 270, STATUS_DEVICE_BUSY, 3},
        FailureCase{"TransmitAnswerLongerThanOutput", IOCTL_READER_TRANSMIT, "12 00 05 20 10 00 00 00 27", 5,
                    STATUS_BUFFER_TOO_SMALL},
        FailureCase{"VersionIntoElevenBytes", IOCTL_READER_GET_VERSION, "", 11, STATUS_BUFFER_TOO_SMALL},
        FailureCase{"ConfigIntoSevenBytes", IOCTL_READER_GET_CONFIG, "", 7, STATUS_BUFFER_TOO_SMALL},
        FailureCase{"CardEventWithoutOutput", IOCTL_READER_CARD_EVENT, "01", 0, STATUS_BUFFER_TOO_SMALL},
        FailureCase{"UndefinedFunction806", 0x00312018, "", 16, STATUS_INVALID_DEVICE_REQUEST}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST_F(ControlDispatchTest, TransmitReturnsTheAnswerUnchanged) {
  answerWith(hex("21 00 02 6A 82 CB"));
  const Reply reply = control(IOCTL_READER_TRANSMIT, hex("12 00 05 00 A4 00 00 00 B3"), 270);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(toHex(reply.output), "21 00 02 6A 82 CB");
  EXPECT_EQ(toHex(model.received().back()), "12 00 05 00 A4 00 00 00 B3");
}

TEST_F(ControlDispatchTest, TransmitWhileTheReaderHoldsABlockIsBusyAndSendsNothing) {
  const auto before = model.received().size();
  model.offer(hex("21 00 05 30 00 01 00 00 15"));
  const Reply reply = control(IOCTL_READER_TRANSMIT, hex("12 00 00 12"), 270);
  EXPECT_EQ(reply.status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(reply.information, 0u);
  EXPECT_EQ(model.received().size(), before);
}

TEST_F(ControlDispatchTest, AnswerAbove270IsReadAndDiscarded) {
  answerWith(Bytes(300, 0x20));
  const Reply reply = control(IOCTL_READER_TRANSMIT, hex("12 00 00 12"), 270);
  EXPECT_EQ(reply.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(reply.information, 0u);
  EXPECT_FALSE(model.holdsBlock());
}

TEST_F(ControlDispatchTest, TooSmallOutputLeavesNoBlockPending) {
  answerWith(hex("21 00 02 90 00 B3"));
  EXPECT_EQ(control(IOCTL_READER_TRANSMIT, hex("12 00 00 12"), 5).status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_FALSE(model.holdsBlock());
  EXPECT_EQ(control(IOCTL_READER_TRANSMIT, hex("12 00 00 12"), 6).status, STATUS_SUCCESS);
}

struct CardResetCase {
  const char* name;
  const char* input;
  const char* sent;
  const char* answer;
  std::uint32_t outputSize;
  NTSTATUS status;
  const char* received;  // what the caller gets
};

class CardResetTest : public ControlDispatchTest, public ::testing::WithParamInterface<CardResetCase> {};

TEST_P(CardResetTest, RewritesTheCommandAndSubstitutesTheAnswer) {
  const CardResetCase& c = GetParam();
  answerWith(hex(c.answer));
  const Reply reply = control(IOCTL_READER_TRANSMIT, hex(c.input), c.outputSize);
  EXPECT_EQ(toHex(model.received().back()), toHex(hex(c.sent)));
  EXPECT_EQ(reply.status, c.status);
  EXPECT_EQ(toHex(reply.output), toHex(hex(c.received)));
  EXPECT_EQ(reply.information, reply.output.size());
}

constexpr const char* CARD_RESET = "12 00 06 20 10 01 00 00 01 24";
constexpr const char* SENT_RESET = "12 00 05 20 10 01 00 00 26";

INSTANTIATE_TEST_SUITE_P(
    Rewrite, CardResetTest,
    ::testing::Values(
        CardResetCase{"Failure64A0BecomesSuccess", CARD_RESET, SENT_RESET, "21 00 02 64 00 47", 270, STATUS_SUCCESS,
                      "21 00 02 90 00 B3"},
        CardResetCase{"Success9000Kept", CARD_RESET, SENT_RESET, "21 00 02 90 00 B3", 270, STATUS_SUCCESS,
                      "21 00 02 90 00 B3"},
        CardResetCase{"NoCard64A1Kept", CARD_RESET, SENT_RESET, "21 00 02 64 A1 E6", 270, STATUS_SUCCESS,
                      "21 00 02 64 A1 E6"},
        CardResetCase{"AnswerWith62A7Kept", CARD_RESET, SENT_RESET, "21 00 04 01 02 62 A7 E3", 270, STATUS_SUCCESS,
                      "21 00 04 01 02 62 A7 E3"},
        CardResetCase{"AnswerWith9001Kept", CARD_RESET, SENT_RESET, "21 00 02 90 01 B2", 270, STATUS_SUCCESS,
                      "21 00 02 90 01 B2"},
        // The caller is told the length of what it received.
        CardResetCase{"LongerAnswerReplacedCountsSix", CARD_RESET, SENT_RESET, "21 00 04 01 02 6A 00 4C", 270,
                      STATUS_SUCCESS, "21 00 02 90 00 B3"},
        // No status word to take: replaced, without a read outside the answer.
        CardResetCase{"TwoByteAnswerReplaced", CARD_RESET, SENT_RESET, "21 00", 270, STATUS_SUCCESS,
                      "21 00 02 90 00 B3"},
        CardResetCase{"SubstituteNeedsSixBytesOfOutput", CARD_RESET, SENT_RESET, "21 00", 2,
                      STATUS_BUFFER_TOO_SMALL, ""},
        CardResetCase{"NineByteFormSentUnchanged", SENT_RESET, SENT_RESET, "21 00 02 64 00 47", 270, STATUS_SUCCESS,
                      "21 00 02 64 00 47"},
        CardResetCase{"ChangedByteSentUnchanged", "12 00 06 20 10 01 00 00 02 27", "12 00 06 20 10 01 00 00 02 27",
                      "21 00 02 64 00 47", 270, STATUS_SUCCESS, "21 00 02 64 00 47"}),
    [](const ::testing::TestParamInfo<CardResetCase>& info) { return std::string(info.param.name); });

TEST_F(ControlDispatchTest, SecondTransmitIsBusyAtOnceWhileTheFirstRuns) {
  extension(pdo)->Reader.PollLimit = 0xFFFFFFFF;
  std::atomic<bool> release{false};
  std::atomic<bool> firstSent{false};
  model.respond([&](const Bytes& block) -> std::optional<Bytes> {
    if (block == hex("12 00 00 12")) firstSent = true;
    return std::nullopt;  // answered below, once the second transmit was refused
  });
  Reply first;
  std::thread runner([&] { first = control(IOCTL_READER_TRANSMIT, hex("12 00 00 12"), 270); });
  while (!firstSent) std::this_thread::yield();

  const std::size_t blocksBefore = model.received().size();
  const Reply second = control(IOCTL_READER_TRANSMIT, hex("12 00 00 12"), 270);
  EXPECT_EQ(second.status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(second.information, 0u);
  // The reset and the version query share the ports with the transmit: refused too.
  EXPECT_EQ(control(IOCTL_READER_RESET_READER, {}, 0).status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(control(IOCTL_READER_GET_VERSION, {}, 12).status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(model.received().size(), blocksBefore);

  model.offer(hex("21 00 02 90 00 B3"));
  runner.join();
  EXPECT_EQ(first.status, STATUS_SUCCESS);
  EXPECT_EQ(toHex(first.output), "21 00 02 90 00 B3");
  answerWith(hex("21 00 02 90 00 B3"));
  EXPECT_EQ(control(IOCTL_READER_TRANSMIT, hex("12 00 00 12"), 270).status, STATUS_SUCCESS);
}

TEST_F(ControlDispatchTest, VersionRecordCarriesTheFirmwareBytes) {
  const Reply reply = control(IOCTL_READER_GET_VERSION, {}, 12);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  ASSERT_EQ(reply.information, 12u);
  EXPECT_EQ(toHex({reply.output.data(), 9}), "00 00 00 00 02 01 02 32 05");
}

TEST_F(ControlDispatchTest, FailedVersionQueryReportsTheLastValues) {
  model.respond([](const Bytes& block) -> std::optional<Bytes> {
    if (block.size() > 4 && block[4] == 0xA4) return ScriptedReader::answer(hex("6A 82"));
    return std::nullopt;
  });
  const Reply reply = control(IOCTL_READER_GET_VERSION, {}, 16);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.information, 12u);
  EXPECT_EQ(toHex({reply.output.data(), 9}), "00 00 00 00 02 01 02 32 05");
}

TEST_F(ControlDispatchTest, TimeoutSwapsTheValueInTensOfPolls) {
  Reply reply = control(IOCTL_READER_TIMEOUT, u32le(25), 4);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.information, 4u);
  EXPECT_EQ(toHex(reply.output), toHex(u32le(10000)));
  EXPECT_EQ(extension(pdo)->Reader.PollLimit, 2u);
  EXPECT_EQ(toHex(control(IOCTL_READER_TIMEOUT, {}, 4).output), toHex(u32le(20)));

  // Lengths other than four change and report nothing, and still succeed.
  reply = control(IOCTL_READER_TIMEOUT, hex("00 00 01"), 8);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.information, 0u);
  EXPECT_EQ(extension(pdo)->Reader.PollLimit, 2u);

  EXPECT_EQ(control(IOCTL_READER_TIMEOUT, u32le(9), 0).status, STATUS_SUCCESS);
  EXPECT_EQ(extension(pdo)->Reader.PollLimit, 0u);
  const int accesses = model.portAccesses();
  EXPECT_EQ(control(IOCTL_READER_TRANSMIT, hex("12 00 00 12"), 270).status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(model.portAccesses(), accesses + 2);  // the status read and CR_TRANSFER; the wait reads nothing
}

TEST_F(ControlDispatchTest, ConfigReportsTheStartResources) {
  const Reply reply = control(IOCTL_READER_GET_CONFIG, {}, 16);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.information, 8u);
  EXPECT_EQ(toHex({reply.output.data(), 8}), "00 03 00 00 05 00 00 00");
}

TEST_F(ControlDispatchTest, CardEventIsClearedOnlyByInputOne) {
  model.respond([](const Bytes& block) -> std::optional<Bytes> {
    if (block.size() > 4 && block[4] == 0xA4) return hex("21 00 05 30 00 01 00 00 15");
    return std::nullopt;
  });
  (void)control(IOCTL_READER_GET_VERSION, {}, 12);  // meets the notification
  for (const char* input : {"00", "02", ""}) {
    const Reply reply = control(IOCTL_READER_CARD_EVENT, hex(input), 1);
    EXPECT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.information, 1u);
    EXPECT_EQ(toHex(reply.output), "01") << input;
  }
  EXPECT_EQ(toHex(control(IOCTL_READER_CARD_EVENT, hex("01"), 1).output), "01");
  EXPECT_EQ(toHex(control(IOCTL_READER_CARD_EVENT, hex("01"), 1).output), "00");
}

TEST_F(ControlDispatchTest, ResetReaderReportsTheResetStatus) {
  const int resets = model.resets();
  EXPECT_EQ(control(IOCTL_READER_RESET_READER, hex("FF"), 4).status, STATUS_SUCCESS);
  EXPECT_EQ(model.resets(), resets + 1);
  model.setIdentification(hex("56 4E 52 20 4B 65 6C 64 6D 61 74 69 63 20 32 2E 33"));
  const Reply reply = control(IOCTL_READER_RESET_READER, {}, 0);
  EXPECT_EQ(reply.status, STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(reply.information, 0u);
  model.setSilent(true);
  extension(pdo)->Reader.PollLimit = 2;
  EXPECT_EQ(control(IOCTL_READER_RESET_READER, {}, 0).status, STATUS_DEVICE_BUSY);
}

// No port is touched without a started device.
TEST_F(ControlDispatchTest, StoppedDeviceRefusesPortCodesWithoutTouchingThePorts) {
  ASSERT_EQ(pnp(pdo, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  ASSERT_EQ(pnp(pdo, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  const int accesses = model.portAccesses();
  EXPECT_EQ(control(IOCTL_READER_TRANSMIT, hex("12 00 00 12"), 270).status, STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(control(IOCTL_READER_RESET_READER, {}, 0).status, STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(control(IOCTL_READER_GET_VERSION, {}, 12).status, STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(control(IOCTL_READER_GET_CONFIG, {}, 8).status, STATUS_SUCCESS);
  EXPECT_EQ(control(IOCTL_READER_TIMEOUT, {}, 4).status, STATUS_SUCCESS);
  close(handle);
  handle = open("\\\\.\\KELDCT_0");
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(model.portAccesses(), accesses);
}

}  // namespace
}  // namespace keld::test
