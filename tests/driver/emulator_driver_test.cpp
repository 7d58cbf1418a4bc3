// The real driver against the reader emulator: the start-up for each kind of
// reader, a transmit that reaches the card, and where each of the emulator's
// faults shows up on the driver's side.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string_view>

#include "driver/ioctl/reader_ioctl.h"
#include "driver/reader_startup.h"
#include "driver_fixture.h"
#include "reader/cards/cards.h"
#include "reader/emulator.h"

namespace keld::test {
namespace {

using namespace keld::ioctl;
using namespace keldrin;

// The block as the host writes it, LRC appended.
Bytes withLrc(std::string_view text) {
  Bytes block = hex(text);
  std::uint8_t value = 0;
  for (const std::uint8_t byte : block) value ^= byte;
  block.push_back(value);
  return block;
}

Bytes u32le(std::uint32_t value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

const Bytes CARD_STATUS = withLrc("12 00 05 20 13 00 80 00");
// A card in the slot that has no power: status byte 0x03.
const char* const CARD_STATUS_PRESENT = "21 00 03 03 90 00 B1";

class EmulatedReaderTest : public DriverFixture {
 protected:
  void TearDown() override {
    close(handle);
    DriverFixture::TearDown();
  }

  // An emulated reader of this firmware with the default T=1 card, on the
  // bus; the device above it added but not started.
  void plugIn(std::string_view version = "2.32", std::uint8_t variant = 0x05) {
    emulator = std::make_unique<reader::ReaderEmulator>(*reader::makePersonality(version, variant));
    emulator->insertCard(reader::makeDefaultT1Card());
    attach(*emulator);
    pdo = createPdo();
    ASSERT_EQ(addDevice(pdo), STATUS_SUCCESS);
  }
  NTSTATUS startDevice() { return start(pdo, TEST_IO_BASE, 5); }
  // Plugged in, started and opened.
  void openReader(std::string_view version = "2.32") {
    plugIn(version);
    ASSERT_EQ(startDevice(), STATUS_SUCCESS);
    handle = open("\\\\.\\KELDCT_0");
    ASSERT_NE(handle, nullptr);
  }
  Reply control(std::uint32_t code, const Bytes& input, std::uint32_t outputSize = 270) {
    return DriverFixture::control(handle, code, input, outputSize);
  }
  Reply transmit(const Bytes& block) { return control(IOCTL_READER_TRANSMIT, block); }
  ReaderContext* context() { return &extension(pdo)->Reader; }
  // A poll limit of `polls` through the control code, as the library sets it.
  void setPollLimit(std::uint32_t polls) {
    ASSERT_EQ(control(IOCTL_READER_TIMEOUT, u32le(polls * 10), 4).status, STATUS_SUCCESS);
    ASSERT_EQ(context()->PollLimit, polls);
  }

  std::unique_ptr<reader::ReaderEmulator> emulator;
  Pdo pdo{};
  Handle handle;
};

struct ReaderKind {
  const char* version;
  std::uint8_t variant;
  UCHAR major;
  UCHAR minor;
};

class StartUpTest : public EmulatedReaderTest, public ::testing::WithParamInterface<ReaderKind> {};

// Reset, identification, second block, operate, configuration, terminal
// reset and the query of file 0020, all against the emulator's registers.
TEST_P(StartUpTest, PassesAndReadsTheFirmwareOfFile0020) {
  const ReaderKind& kind = GetParam();
  plugIn(kind.version, kind.variant);
  ASSERT_EQ(startDevice(), STATUS_SUCCESS);
  EXPECT_EQ(context()->FwMajor, kind.major);
  EXPECT_EQ(context()->FwMinor, kind.minor);
  EXPECT_EQ(context()->FwVariant, kind.variant);
  // The terminal reset of the start took the power from the card.
  EXPECT_EQ(emulator->cardState(), reader::CardState::Present);

  handle = open("\\\\.\\KELDCT_0");
  ASSERT_NE(handle, nullptr);
  const Reply version = control(IOCTL_READER_GET_VERSION, {}, 12);
  ASSERT_EQ(version.status, STATUS_SUCCESS);
  const Bytes firmware{kind.major, kind.minor, kind.variant};
  EXPECT_EQ(toHex(version.output).substr(0, 26), "00 00 00 00 02 01 " + toHex(firmware));
  // In operation: a block is taken and answered.
  const Reply status = transmit(CARD_STATUS);
  EXPECT_EQ(status.status, STATUS_SUCCESS);
  EXPECT_EQ(toHex(status.output), CARD_STATUS_PRESENT);
}

INSTANTIATE_TEST_SUITE_P(Firmware, StartUpTest,
                         ::testing::Values(ReaderKind{"1.06", 0x01, 0x01, 0x06}, ReaderKind{"1.24", 0x02, 0x01, 0x24},
                                           ReaderKind{"2.27k", 0x03, 0x02, 0x27},
                                           ReaderKind{"2.32", 0x05, 0x02, 0x32}, ReaderKind{"4.00", 0x01, 0x04, 0x00}),
                         [](const auto& info) {
                           std::string name = std::string("V") + info.param.version;
                           std::erase(name, '.');
                           return name;
                         });

TEST_F(EmulatedReaderTest, WrongIdentificationFailsTheStartAndTheNextResetRecovers) {
  plugIn();
  emulator->failNextIdentifications(1);
  EXPECT_EQ(startDevice(), STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(emulator->faults().failIdentifications, 0u);
  ASSERT_EQ(startDevice(), STATUS_SUCCESS);
  handle = open("\\\\.\\KELDCT_0");
  ASSERT_NE(handle, nullptr);

  // A reader that failed its identification is not taken into operation:
  // blocks find it never ready until the next reset passes.
  emulator->failNextIdentifications(1);
  EXPECT_EQ(control(IOCTL_READER_RESET_READER, {}, 0).status, STATUS_IO_DEVICE_ERROR);
  setPollLimit(10);
  EXPECT_EQ(transmit(CARD_STATUS).status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(control(IOCTL_READER_RESET_READER, {}, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(toHex(transmit(CARD_STATUS).output), CARD_STATUS_PRESENT);
}

// The answer to the configuration block comes first and its outcome is
// ignored; the terminal reset's answer decides.
TEST_F(EmulatedReaderTest, CorruptedTerminalResetAnswerFailsTheStartWithADataError) {
  plugIn();
  emulator->corruptNextAnswers(2);
  EXPECT_EQ(startDevice(), STATUS_DATA_ERROR);
  EXPECT_EQ(emulator->faults().corruptAnswers, 0u);
  EXPECT_EQ(startDevice(), STATUS_SUCCESS);
}

struct OwnCommand {
  const char* name;
  std::function<NTSTATUS(ReaderContext*)> run;
};

class OwnCommandTest : public EmulatedReaderTest, public ::testing::WithParamInterface<OwnCommand> {};

TEST_P(OwnCommandTest, CorruptedAnswerIsADataErrorAndTheNextOneIsTaken) {
  openReader();
  ASSERT_EQ(ReaderSelectFile(context(), READER_INFO_FILE), STATUS_SUCCESS);
  emulator->corruptNextAnswers(1);
  EXPECT_EQ(GetParam().run(context()), STATUS_DATA_ERROR);
  EXPECT_EQ(emulator->faults().corruptAnswers, 0u);
  ASSERT_EQ(ReaderSelectFile(context(), READER_INFO_FILE), STATUS_SUCCESS);
  EXPECT_EQ(GetParam().run(context()), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, OwnCommandTest,
    ::testing::Values(OwnCommand{"TerminalReset", ReaderResetTerminal},
                      OwnCommand{"SelectFile", [](ReaderContext* r) { return ReaderSelectFile(r, MASTER_FILE); }},
                      OwnCommand{"ReadBinary",
                                 [](ReaderContext* r) {
                                   std::array<UCHAR, 64> data{};
                                   ULONG length = data.size();
                                   return ReaderReadBinary(r, 0, data.data(), &length);
                                 }},
                      OwnCommand{"Configuration",
                                 [](ReaderContext* r) {
                                   constexpr UCHAR data[] = {0x28, 0x01, 0x00};
                                   return ReaderConfigure(r, 1, data, sizeof data);
                                 }},
                      OwnCommand{"VersionQuery", ReaderQueryVersion}),
    [](const auto& info) { return std::string(info.param.name); });

// A transmit carries the answer as the reader sent it: the wrong epilogue is
// for the library to find.
TEST_F(EmulatedReaderTest, CorruptedAnswerToATransmitReachesTheCallerUnchanged) {
  openReader();
  emulator->corruptNextAnswers(1);
  const Reply reply = transmit(CARD_STATUS);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(toHex(reply.output), "21 00 03 03 90 00 4E");  // B1 flipped
}

TEST_F(EmulatedReaderTest, SilentReaderIsBusyAfterThePollLimitOnTheVirtualClock) {
  openReader();
  setPollLimit(100);
  emulator->silenceNextBlocks(1);
  auto start = clock::now();
  const Reply reply = transmit(CARD_STATUS);
  EXPECT_EQ(reply.status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(reply.information, 0u);
  // The pause before a transmit, the two length pauses, then 100 missed polls.
  EXPECT_EQ(clock::now() - start, clock::milliseconds(5 + 2 + 100 * 5));
  // The block was taken and dropped: the reader answers the next one.
  EXPECT_EQ(toHex(transmit(CARD_STATUS).output), CARD_STATUS_PRESENT);

  emulator->silenceNextBlocks(1);
  start = clock::now();
  EXPECT_EQ(ReaderSelectFile(context(), MASTER_FILE), STATUS_DEVICE_BUSY);
  EXPECT_EQ(clock::now() - start, clock::milliseconds(2 + 100 * 5));
  EXPECT_EQ(ReaderSelectFile(context(), MASTER_FILE), STATUS_SUCCESS);
}

TEST_F(EmulatedReaderTest, TimeOutStatusIsAnIoTimeoutInTheDriversOwnCommands) {
  openReader();
  emulator->timeOutNextBlocks(1);
  EXPECT_EQ(ReaderSelectFile(context(), MASTER_FILE), STATUS_IO_TIMEOUT);
  // A transmit hands it on as the reader's answer.
  emulator->timeOutNextBlocks(1);
  const Reply reply = transmit(CARD_STATUS);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(toHex(reply.output), "21 00 02 64 A8 EF");
}

TEST_F(EmulatedReaderTest, StuckBusyReaderIsBusyWithoutTakingAByteUntilItRecovers) {
  openReader();
  setPollLimit(50);
  emulator->setStuckBusy(true);
  const auto start = clock::now();
  EXPECT_EQ(transmit(CARD_STATUS).status, STATUS_DEVICE_BUSY);
  // The wait for the reader to become ready ran out before the length was written.
  EXPECT_EQ(clock::now() - start, clock::milliseconds(5 + 50 * 5));
  // The reset goes through the identification but the reader never turns ready.
  EXPECT_EQ(control(IOCTL_READER_RESET_READER, {}, 0).status, STATUS_DEVICE_BUSY);

  emulator->setStuckBusy(false);
  EXPECT_EQ(toHex(transmit(CARD_STATUS).output), CARD_STATUS_PRESENT);
  EXPECT_EQ(control(IOCTL_READER_RESET_READER, {}, 0).status, STATUS_SUCCESS);
}

TEST_F(EmulatedReaderTest, StuckBusyReaderFailsTheStart) {
  plugIn();
  emulator->setStuckBusy(true);
  EXPECT_EQ(startDevice(), STATUS_DEVICE_BUSY);
  emulator->setStuckBusy(false);
  EXPECT_EQ(startDevice(), STATUS_SUCCESS);
}

// The card speaks T=1 end to end: the reader relays the host's I-blocks and
// the card's answers, which come back with NAD 0x20.
TEST_F(EmulatedReaderTest, TransmitCarriesT1BlocksBetweenHostAndCard) {
  openReader();
  const Reply reset = transmit(withLrc("12 00 05 20 10 01 01 00"));
  ASSERT_EQ(reset.status, STATUS_SUCCESS);
  const std::string atr = toHex(reset.output);
  EXPECT_EQ(atr.substr(0, 38), "21 00 0D 3B 84 81 31 20 45 4B 45 4C 44") << atr;
  EXPECT_EQ(atr.substr(atr.size() - 8, 5), "90 01") << atr;
  EXPECT_EQ(emulator->cardState(), reader::CardState::Active);

  const Reply select = transmit(withLrc("00 00 0B 00 A4 04 00 06 F0 4B 45 4C 44 01"));
  ASSERT_EQ(select.status, STATUS_SUCCESS);
  EXPECT_EQ(select.information, select.output.size());
  EXPECT_EQ(toHex(select.output), toHex(withLrc("20 00 02 90 00")));
  // N(S) 1 from the host, and the card's answer with its own N(S) 1.
  const Reply file = transmit(withLrc("00 40 07 00 A4 00 00 02 50 01"));
  EXPECT_EQ(toHex(file.output), toHex(withLrc("20 40 02 90 00")));
}

// The driver's own card-reset rewrite meets the real firmware: the nine-byte
// form (Le 00: the whole ATR) goes out and its answer ending in 90 01 is
// handed back as it came.
TEST_F(EmulatedReaderTest, RewrittenCardResetIsAnsweredByTheFirmware) {
  openReader();
  const Reply reply = transmit(hex("12 00 06 20 10 01 00 00 01 24"));
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(toHex(reply.output), "21 00 0D 3B 84 81 31 20 45 4B 45 4C 44 57 90 01 86");
  EXPECT_EQ(emulator->cardState(), reader::CardState::Active);
}

// A card change the reader announces ahead of the answer to one of the
// driver's own commands sets the card event, and the answer behind it does
// not stay pending to block the next transmit.
TEST_F(EmulatedReaderTest, NotificationAheadOfAnAnswerSetsTheCardEvent) {
  openReader();
  emulator->offerBeforeNextAnswer(hex("21 00 05 30 00 01 00 00 15"));
  EXPECT_EQ(control(IOCTL_READER_GET_VERSION, {}, 12).status, STATUS_SUCCESS);
  EXPECT_EQ(toHex(control(IOCTL_READER_CARD_EVENT, hex("01"), 1).output), "01");
  EXPECT_EQ(toHex(transmit(CARD_STATUS).output), CARD_STATUS_PRESENT);
}

}  // namespace
}  // namespace keld::test
