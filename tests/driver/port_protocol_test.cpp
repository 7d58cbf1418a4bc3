// Register traffic of the port protocol, step by step against a port script.

#include <gtest/gtest.h>

#include <array>

#include "driver/port_protocol.h"
#include "driver_fixture.h"
#include "support/port_script.h"

namespace keld::test {
namespace {

using namespace keldrin;

class PortProtocolTest : public PortFixture {
 protected:
  void SetUp() override {
    PortFixture::SetUp();
    attach(script);
  }
  PortScript script;
};

TEST_F(PortProtocolTest, ScriptNamesTheFirstStepThatDiffers) {
  script.write(REG_CONTROL, CR_TRANSFER).read(REG_STATUS, SR_READY);
  WriteRegister(&reader, REG_CONTROL, CR_IDLE);
  EXPECT_EQ(script.verify(), "step 1: expected write 0x01 to base+1, got write 0x00 to base+1");
  EXPECT_EQ(ReadRegister(&reader, REG_STATUS), 0);
}

TEST_F(PortProtocolTest, ScriptReportsStepsNotTaken) {
  script.write(REG_CONTROL, CR_TRANSFER).read(REG_STATUS, SR_READY);
  WriteRegister(&reader, REG_CONTROL, CR_TRANSFER);
  EXPECT_EQ(script.verify(), "stopped after step 1 of 2: next expected read of base+1 (returning 0x40)");
  EXPECT_EQ(ReadRegister(&reader, REG_STATUS), SR_READY);
  EXPECT_EQ(script.verify(), "");
}

TEST_F(PortProtocolTest, SendWritesControlLengthAndDataInOrder) {
  script.read(REG_STATUS, SR_READY)
      .write(REG_CONTROL, CR_TRANSFER)
      .read(REG_STATUS, SR_READY)
      .write(REG_CONTROL, CR_TRANSFER)
      .write(REG_LEN_HI, 0x00)
      .write(REG_LEN_LO, 0x04)
      .writeBytes(REG_DATA, hex("12 00 00 12"))
      .write(REG_CONTROL, CR_IDLE);
  const Bytes block = hex("12 00 00 12");
  ULONG sent = 0;
  const auto start = clock::now();
  EXPECT_EQ(ReaderSendRaw(&reader, block.data(), 4, &sent), STATUS_SUCCESS);
  EXPECT_EQ(sent, 4u);
  EXPECT_EQ(script.verify(), "");
  // Only the two length bytes are followed by a pause.
  EXPECT_EQ(clock::now() - start, clock::milliseconds(2));
}

TEST_F(PortProtocolTest, SendWhileTheReaderHoldsABlockWritesNothing) {
  script.read(REG_STATUS, SR_DATA_PENDING | SR_READY);
  const Bytes block = hex("12 00 00 12");
  ULONG sent = 77;
  EXPECT_EQ(ReaderSendRaw(&reader, block.data(), 4, &sent), STATUS_DEVICE_BUSY);
  EXPECT_EQ(sent, 77u);
  EXPECT_EQ(script.verify(), "");
}

TEST_F(PortProtocolTest, SendWhoseReadyWaitRunsOutLeavesTransferInControl) {
  reader.PollLimit = 3;
  script.read(REG_STATUS, 0x00).write(REG_CONTROL, CR_TRANSFER).reads(REG_STATUS, 0x00, 3);
  const Bytes block = hex("12 00 00 12");
  const auto start = clock::now();
  EXPECT_EQ(ReaderSendRaw(&reader, block.data(), 4, nullptr), STATUS_DEVICE_BUSY);
  EXPECT_EQ(script.verify(), "");
  EXPECT_EQ(clock::now() - start, clock::milliseconds(15));
}

TEST_F(PortProtocolTest, SendLongerThanTheLengthRegistersIsRefusedBeforeAnyAccess) {
  std::vector<UCHAR> block(0x10000, 0x55);
  EXPECT_EQ(ReaderSendRaw(&reader, block.data(), static_cast<ULONG>(block.size()), nullptr),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(script.verify(), "");
  EXPECT_TRUE(script.trace().empty());
}

TEST_F(PortProtocolTest, SendBlockAppendsTheLrc) {
  std::array<UCHAR, 9> buffer = {0x12, 0x00, 0x05, 0x20, 0x10, 0x00, 0x00, 0x00};
  script.read(REG_STATUS, SR_READY)
      .write(REG_CONTROL, CR_TRANSFER)
      .read(REG_STATUS, SR_READY)
      .write(REG_CONTROL, CR_TRANSFER)
      .write(REG_LEN_HI, 0x00)
      .write(REG_LEN_LO, 0x09)
      .writeBytes(REG_DATA, hex("12 00 05 20 10 00 00 00 27"))
      .write(REG_CONTROL, CR_IDLE);
  EXPECT_EQ(ReaderSendBlock(&reader, buffer.data(), 8, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(script.verify(), "");
}

TEST_F(PortProtocolTest, PollLimitZeroFailsAtOnceWithoutReadingThePort) {
  reader.PollLimit = 0;
  const auto start = clock::now();
  EXPECT_EQ(ReaderWaitStatus(&reader, SR_READY), STATUS_DEVICE_BUSY);
  std::array<UCHAR, 16> buffer{};
  EXPECT_EQ(ReaderReceiveRaw(&reader, buffer.data(), 16, nullptr), STATUS_DEVICE_BUSY);
  EXPECT_TRUE(script.trace().empty());
  EXPECT_EQ(clock::now(), start);
}

TEST_F(PortProtocolTest, WaitPollsUntilEveryMaskBitIsSetPausingAfterEachMiss) {
  script.read(REG_STATUS, SR_READY).read(REG_STATUS, SR_DATA_PENDING).read(REG_STATUS, 0xC0);
  const auto start = clock::now();
  EXPECT_EQ(ReaderWaitStatus(&reader, 0xC0), STATUS_SUCCESS);
  EXPECT_EQ(script.verify(), "");
  EXPECT_EQ(clock::now() - start, clock::milliseconds(10));
}

TEST_F(PortProtocolTest, WaitReadsTheLimitAgainAtEveryPoll) {
  reader.PollLimit = 100;
  script.read(REG_STATUS, 0x00);
  clock::scheduleAt(clock::now() + 1, [this] { std::atomic_ref<ULONG>(reader.PollLimit).store(1); });
  EXPECT_EQ(ReaderWaitStatus(&reader, SR_READY), STATUS_DEVICE_BUSY);
  EXPECT_EQ(script.verify(), "");
}

TEST_F(PortProtocolTest, AnnouncedAnswerAboveCapacityIsReadWholeAndReportedTooSmall) {
  script.read(REG_STATUS, 0xC0)
      .write(REG_CONTROL, CR_TRANSFER)
      .read(REG_LEN_HI, 0x01)
      .read(REG_LEN_LO, 0x2C)
      .reads(REG_DATA, 0xAA, 300)
      .write(REG_CONTROL, CR_IDLE);
  std::array<UCHAR, 270> buffer{};
  ULONG count = 99;
  EXPECT_EQ(ReaderReceiveRaw(&reader, buffer.data(), 270, &count), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(count, 99u);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(script.verify(), "");
}

TEST_F(PortProtocolTest, EmptyAnswerSucceedsWithoutACount) {
  script.read(REG_STATUS, 0xC0)
      .write(REG_CONTROL, CR_TRANSFER)
      .read(REG_LEN_HI, 0)
      .read(REG_LEN_LO, 0)
      .write(REG_CONTROL, CR_IDLE);
  std::array<UCHAR, 16> buffer{};
  ULONG count = 99;
  EXPECT_EQ(ReaderReceiveRaw(&reader, buffer.data(), 16, &count), STATUS_SUCCESS);
  EXPECT_EQ(count, 99u);
  EXPECT_EQ(script.verify(), "");
}

TEST_F(PortProtocolTest, FlushDrainsOnlyABlockThatIsPendingAndReady) {
  script.read(REG_STATUS, SR_DATA_PENDING);
  ReaderFlushInput(&reader);
  EXPECT_EQ(script.verify(), "");

  script.read(REG_STATUS, 0xC0)
      .write(REG_CONTROL, CR_TRANSFER)
      .read(REG_LEN_HI, 0)
      .read(REG_LEN_LO, 3)
      .readBytes(REG_DATA, hex("01 02 03"))
      .write(REG_CONTROL, CR_IDLE);
  ReaderFlushInput(&reader);
  EXPECT_EQ(script.verify(), "");
}

struct ValidatingCase {
  const char* name;
  const char* block;
  NTSTATUS status;
  ULONG count;  // 0: the caller's count is left alone
  int notifications;
  bool inserted;
};

class ValidatingReceiveTest : public PortProtocolTest, public ::testing::WithParamInterface<ValidatingCase> {};

TEST_P(ValidatingReceiveTest, GivesTheStatusOfTheBlock) {
  const ValidatingCase& c = GetParam();
  const Bytes block = hex(c.block);
  script.read(REG_STATUS, 0xC0)
      .write(REG_CONTROL, CR_TRANSFER)
      .read(REG_LEN_HI, 0)
      .read(REG_LEN_LO, static_cast<std::uint8_t>(block.size()))
      .readBytes(REG_DATA, block)
      .write(REG_CONTROL, CR_IDLE);
  struct Seen {
    int calls = 0;
    BOOLEAN inserted = FALSE;
    ULONG reserved = 1;
  } seen;
  reader.CallbackContext = &seen;
  reader.CardChangeCallback = [](PVOID context, BOOLEAN inserted, ULONG reserved) {
    auto* s = static_cast<Seen*>(context);
    ++s->calls;
    s->inserted = inserted;
    s->reserved = reserved;
  };
  std::array<UCHAR, 270> buffer{};
  ULONG count = 0;
  EXPECT_EQ(ReaderReceiveBlock(&reader, buffer.data(), 270, &count), c.status);
  EXPECT_EQ(count, c.count);
  EXPECT_EQ(seen.calls, c.notifications);
  if (c.notifications != 0) {
    EXPECT_EQ(seen.inserted != FALSE, c.inserted);
    EXPECT_EQ(seen.reserved, 0u);
  }
  EXPECT_EQ(script.verify(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, ValidatingReceiveTest,
    ::testing::Values(ValidatingCase{"Success9001", "21 00 02 90 01 B2", STATUS_SUCCESS, 6, 0, false},
                      ValidatingCase{"TimeOut64A8", "21 00 02 64 A8 EF", STATUS_IO_TIMEOUT, 0, 0, false},
                      ValidatingCase{"Refused6A82", "21 00 02 6A 82 CB", STATUS_UNSUCCESSFUL, 0, 0, false},
                      ValidatingCase{"WrongLrc", "21 00 02 90 01 B3", STATUS_DATA_ERROR, 0, 0, false},
                      ValidatingCase{"CardInserted", "21 00 05 30 00 01 00 00 15", STATUS_SUCCESS, 0, 1, true},
                      ValidatingCase{"CardRemoved", "21 00 05 30 00 00 00 00 14", STATUS_SUCCESS, 0, 1, false},
                      ValidatingCase{"NineBytesFromTheHostNad", "12 00 05 30 00 01 00 00 26", STATUS_SUCCESS, 9, 0,
                                     false},
                      ValidatingCase{"NineBytesOtherTag", "21 00 05 31 00 01 00 00 14", STATUS_SUCCESS, 9, 0, false},
                      ValidatingCase{"CardAnswerWithStatus", "20 00 02 6A 82 CA", STATUS_SUCCESS, 6, 0, false},
                      ValidatingCase{"OneByteBlock", "00", STATUS_SUCCESS, 1, 0, false}),
    [](const ::testing::TestParamInfo<ValidatingCase>& info) { return std::string(info.param.name); });

TEST_F(PortProtocolTest, ComputeLrcIsTheXorOfTheBytes) {
  const Bytes block = hex("12 00 05 20 10 00 00 00");
  EXPECT_EQ(ComputeLrc(block.data(), static_cast<ULONG>(block.size())), 0x27);
}

// The stand-in stops the process on a sleep at DISPATCH_LEVEL, so getting
// through the raised call shows that it stalled.
TEST_F(PortProtocolTest, DelaySleepsBelowDispatchLevelAndStallsAtIt) {
  auto start = clock::now();
  ReaderDelay(5);
  EXPECT_EQ(clock::now() - start, clock::milliseconds(5));

  start = clock::now();
  {
    AtDispatchLevel raised;
    ReaderDelay(5);
  }
  EXPECT_EQ(clock::now() - start, clock::milliseconds(5));
}

}  // namespace
}  // namespace keld::test
