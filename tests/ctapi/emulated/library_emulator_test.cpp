// The library through the real driver to the reader emulator, in one
// process: the library's own reads of the reader's files, and what each of
// the emulator's faults makes of a CT_data call. Every block the library
// sends is seen as the driver completed its transmit.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "ctapi/front/terminals.h"
#include "ctapi/state/library_state.h"
#include "kernel_reader.h"
#include "platform/clock/clock.h"
#include "platform/win32/message_queue.h"
#include "reader/cards/cards.h"
#include "reader/emulator.h"
#include "support/ct_data_call.h"

namespace keld::test {
namespace {

using keldapi::lib;

const char* const SELECT_APPLICATION = "00 A4 04 00 06 F0 4B 45 4C 44 01";

class LibraryOnEmulatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clock::useVirtualClock(clock::seconds(1000), clock::milliseconds(1));
    keldapi::resetLibraryState();
    win32::resetMessageQueue();
  }
  void TearDown() override {
    keldapi::resetLibraryState();  // closes the terminal's device first
    kernel.reset();
    win32::resetMessageQueue();
    clock::useRealClock();
  }

  // A reader of this firmware with `card` in its slot, started by the driver
  // and opened as terminal 1 on port 1.
  void plugIn(std::string_view version = "2.32", std::shared_ptr<reader::Card> card = reader::makeDefaultT1Card()) {
    emulator = std::make_unique<reader::ReaderEmulator>(*reader::makePersonality(version, 0x05));
    // As keldrind runs it: an unasked block would hold up the next transmit.
    emulator->setCardChangeNotifications(false);
    if (card) emulator->insertCard(std::move(card));
    kernel = std::make_unique<KernelReader>(*emulator, 0x300);
    ASSERT_EQ(kernel->startStatus(), 0);
    ASSERT_EQ(CT_init(1, 1), OK);
  }
  // RESET CT, then REQUEST ICC: the link is open and the card active.
  void activateCard() {
    ASSERT_EQ(send(1, "20 10 00 00 00"), "90 00");
    ASSERT_EQ(lastBytes(send(1, "20 12 01 01 00"), 2), "90 01");
  }
  // A reader of firmware 4.00 after RESET CT, its traffic so far forgotten.
  void terminalReady() {
    plugIn("4.00");
    ASSERT_EQ(send(1, "20 10 00 00 00"), "90 00");
    kernel->clearTransmits();
  }
  // An active T=1 card after a first SELECT, whose response this is; the
  // traffic so far forgotten.
  std::string cardSessionReady() {
    plugIn();
    activateCard();
    const std::string response = send(0, SELECT_APPLICATION);
    EXPECT_EQ(lastBytes(response, 2), "90 00");
    kernel->clearTransmits();
    return response;
  }

  // CT_data from the host to `dad` (1 terminal, 0 card); the response, or "ERR <code>".
  std::string send(std::uint8_t dad, std::string_view command) { return ctData(1, dad, command); }

  // The blocks the library sent since the last clear, as hex.
  std::vector<std::string> traffic() const {
    std::vector<std::string> blocks;
    for (const Transmit& t : kernel->transmits()) blocks.push_back(toHex(t.block) + " -> " + toHex(t.answer));
    return blocks;
  }
  std::vector<std::string> blocksSent() const {
    std::vector<std::string> blocks;
    for (const Transmit& t : kernel->transmits()) blocks.push_back(toHex(t.block));
    return blocks;
  }
  int timesSent(std::string_view block) const {
    const std::vector<std::string> blocks = blocksSent();
    return static_cast<int>(std::count(blocks.begin(), blocks.end(), block));
  }
  // Whether a block whose information field starts with `inf` went out.
  bool sentCommand(std::string_view inf) const {
    const std::vector<std::string> blocks = blocksSent();
    return std::any_of(blocks.begin(), blocks.end(),
                       [&](const std::string& b) { return b.size() > 9 && b.compare(9, inf.size(), inf) == 0; });
  }
  keldapi::LinkState& link() { return lib.links[static_cast<std::size_t>(keldapi::findOpenSlot(1))]; }

  std::unique_ptr<reader::ReaderEmulator> emulator;
  std::unique_ptr<KernelReader> kernel;
};

struct Firmware {
  const char* version;
  std::int16_t code;    // the library's firmwareVersion
  const char* cardNad;  // of the I-blocks to the card
  bool ownCardTerminalCommands;  // REQUEST ICC and GET STATUS reach the reader
};

class FirmwareTest : public LibraryOnEmulatorTest, public ::testing::WithParamInterface<Firmware> {};

TEST_P(FirmwareTest, ReaderFilesGiveTheLibraryWhatTheEmulatorHolds) {
  const Firmware& f = GetParam();
  reader::CardImage image = reader::defaultT1Image();
  image.t1.ifsc = 254;
  plugIn(f.version, reader::makeCard(image));
  // 0020: the version text, read once at the first terminal reset.
  ASSERT_EQ(send(1, "20 10 00 00 00"), "90 00");
  EXPECT_EQ(lib.firmwareVersion, f.code);

  const std::string atr = send(1, "20 12 01 01 00");
  EXPECT_EQ(atr.substr(0, 29), "3B 84 81 31 20 45 4B 45 4C 44") << atr;
  EXPECT_EQ(lastBytes(atr, 2), "90 01");
  EXPECT_EQ(sentCommand("20 12 01 01"), f.ownCardTerminalCommands);

  // The manufacturer object carries the version text, from the reader's own
  // command or from the library's read of 0020.
  std::string text(f.version);
  text.insert(0, 5 - text.size(), ' ');
  const std::string manufacturer = "DEVNR  QTV" + text;
  EXPECT_EQ(send(1, "20 13 00 46 00"),
            toHex(Bytes(manufacturer.begin(), manufacturer.end())) + " 90 00");
  // 7021 or the reader's status byte: the card is active.
  EXPECT_EQ(send(1, "20 13 00 80 00"), "05 90 00");
  EXPECT_EQ(sentCommand("20 13 00 80"), f.ownCardTerminalCommands);

  // 7021 before the first card command: protocol 2 and the card's IFSC,
  // which the library then asks the card for.
  kernel->clearTransmits();
  EXPECT_EQ(lastBytes(send(0, SELECT_APPLICATION), 2), "90 00");
  EXPECT_EQ(link().cardProtocol, 2);
  EXPECT_EQ(link().ifsc, 254);
  EXPECT_EQ(timesSent("00 C1 01 FE 3E"), 1);
  const std::vector<std::string> blocks = blocksSent();
  const std::string command = std::string(f.cardNad) + " 00 0B 00 A4 04 00";
  EXPECT_TRUE(std::any_of(blocks.begin(), blocks.end(), [&](const std::string& b) { return b.starts_with(command); }))
      << ::testing::PrintToString(blocks);
}

INSTANTIATE_TEST_SUITE_P(Versions, FirmwareTest,
                         ::testing::Values(Firmware{"1.06", 0x106, "02", false}, Firmware{"2.27k", 0x227, "00", false},
                                           Firmware{"2.32", 0x232, "00", false}, Firmware{"4.00", 0x400, "00", true}),
                         [](const auto& info) {
                           std::string name = std::string("V") + info.param.version;
                           std::erase(name, '.');
                           return name;
                         });

TEST_F(LibraryOnEmulatorTest, CorruptedCardAnswerIsAnsweredWithAnEpilogueRBlockAndTheRepeatIsTaken) {
  const std::string expected = cardSessionReady();
  emulator->corruptNextAnswers(1);
  EXPECT_EQ(send(0, SELECT_APPLICATION), expected);
  const std::vector<std::string> blocks = blocksSent();
  ASSERT_EQ(blocks.size(), 2u) << ::testing::PrintToString(blocks);
  // The card's first answer had N(S) 0, so the R-block's N(R) is 1; error code 1: the epilogue.
  EXPECT_EQ(blocks[1], "00 91 00 91");
}

TEST_F(LibraryOnEmulatorTest, CorruptedTerminalAnswerEndsTheCallWithoutAnRBlock) {
  terminalReady();
  emulator->corruptNextAnswers(1);
  // Terminal exchanges have no retry budget.
  EXPECT_EQ(send(1, "20 13 00 80 00"), "ERR " + std::to_string(ERR_TRANS));
  EXPECT_EQ(blocksSent().size(), 1u) << ::testing::PrintToString(blocksSent());
  EXPECT_EQ(send(1, "20 13 00 80 00"), "03 90 00");
}

TEST_F(LibraryOnEmulatorTest, TimeOutStatusToATerminalCommandIsTheResponse) {
  terminalReady();
  emulator->timeOutNextBlocks(1);
  EXPECT_EQ(send(1, "20 13 00 80 00"), "64 A8");
  EXPECT_EQ(send(1, "20 13 00 80 00"), "03 90 00");
}

TEST_F(LibraryOnEmulatorTest, TimeOutOfOneCardBlockIsRecovered) {
  const std::string expected = cardSessionReady();
  emulator->timeOutNextBlocks(1);
  EXPECT_EQ(send(0, SELECT_APPLICATION), expected) << ::testing::PrintToString(blocksSent());
}

TEST_F(LibraryOnEmulatorTest, SilentReaderFailsATerminalCommandWithErrCt) {
  terminalReady();
  emulator->silenceNextBlocks(1);
  EXPECT_EQ(send(1, "20 13 00 80 00"), "ERR " + std::to_string(ERR_CT));
  ASSERT_EQ(kernel->transmits().size(), 1u);
  EXPECT_EQ(kernel->transmits()[0].status, static_cast<std::int32_t>(0x80000011));  // STATUS_DEVICE_BUSY
  EXPECT_EQ(send(1, "20 13 00 80 00"), "03 90 00");
}

// The lost block had used up its N(S): the command goes again with the next
// one, which the card refuses until the retries are gone.
TEST_F(LibraryOnEmulatorTest, SilenceOfOneCardBlockIsRepeatedWithTheNextSequenceNumberAndEndsIn64A8) {
  const std::string expected = cardSessionReady();
  emulator->silenceNextBlocks(1);
  EXPECT_EQ(send(0, SELECT_APPLICATION), "64 A8");
  const std::vector<std::string> traffic = this->traffic();
  ASSERT_GE(traffic.size(), 2u);
  EXPECT_EQ(traffic[0], "00 40 0B 00 A4 04 00 06 F0 4B 45 4C 44 01 1A -> ");
  EXPECT_TRUE(traffic[1].starts_with("00 00 0B 00 A4 04 00")) << traffic[1];
  EXPECT_EQ(timesSent("00 C0 00 C0"), 1) << ::testing::PrintToString(traffic);
  // The resynchronisation started both sides afresh.
  EXPECT_EQ(send(0, SELECT_APPLICATION), expected);
}

struct LastingFault {
  const char* name;
  void (reader::ReaderEmulator::*inject)(unsigned count);
};

class LastingFaultTest : public LibraryOnEmulatorTest, public ::testing::WithParamInterface<LastingFault> {};

// A card link that keeps failing uses up its retries: three RESYNCH
// requests, the card reset, and 64 A8 from the terminal in the card's place.
TEST_P(LastingFaultTest, CardLinkIsResynchronisedAndReported64A8) {
  cardSessionReady();
  (emulator.get()->*GetParam().inject)(100);
  EXPECT_EQ(send(0, SELECT_APPLICATION), "64 A8");
  EXPECT_EQ(timesSent("00 C0 00 C0"), 3) << ::testing::PrintToString(traffic());
  EXPECT_EQ(timesSent("12 00 05 20 10 01 00 00 26"), 1);
  EXPECT_EQ(blocksSent().back(), "12 00 05 20 10 01 00 00 26");
}

INSTANTIATE_TEST_SUITE_P(Faults, LastingFaultTest,
                         ::testing::Values(LastingFault{"TimeOut", &reader::ReaderEmulator::timeOutNextBlocks},
                                           LastingFault{"Silence", &reader::ReaderEmulator::silenceNextBlocks}),
                         [](const auto& info) { return std::string(info.param.name); });

struct CardRequest {
  const char* name;
  const char* version;
  const char* command;
};

class CardRequestTest : public LibraryOnEmulatorTest, public ::testing::WithParamInterface<CardRequest> {};

// Every form of card reset makes the library read the card's parameters, so
// that a command longer than the card's IFSC of 32 goes out chained.
TEST_P(CardRequestTest, LongCommandAfterTheResetIsChainedByTheCardsBlockSize) {
  plugIn(GetParam().version);
  ASSERT_EQ(send(1, "20 10 00 00 00"), "90 00");
  ASSERT_EQ(lastBytes(send(1, GetParam().command), 2), "90 01");
  ASSERT_EQ(lastBytes(send(0, SELECT_APPLICATION), 2), "90 00");
  EXPECT_EQ(link().cardProtocol, 2);
  ASSERT_EQ(send(0, "00 A4 00 00 02 50 02"), "90 00");
  kernel->clearTransmits();
  std::string update = "00 D6 00 00 40";
  for (int i = 0; i < 64; ++i) update += " 5A";
  EXPECT_EQ(send(0, update), "90 00") << ::testing::PrintToString(traffic());
  ASSERT_FALSE(blocksSent().empty());
  EXPECT_EQ(blocksSent().front().substr(0, 8), "00 20 20");  // M set, 32 bytes
}

// A new card after the first one starts its block sequence afresh, whoever
// carried out the REQUEST ICC; a REQUEST ICC for the active card leaves the
// sequence as it is.
TEST_P(CardRequestTest, NextCardSessionStartsTheBlockSequenceAfresh) {
  plugIn(GetParam().version);
  ASSERT_EQ(send(1, "20 10 00 00 00"), "90 00");
  ASSERT_EQ(lastBytes(send(1, GetParam().command), 2), "90 01");
  const std::string expected = send(0, SELECT_APPLICATION);
  ASSERT_EQ(lastBytes(expected, 2), "90 00");
  EXPECT_EQ(send(1, "20 12 01 00 00"), "62 01");
  EXPECT_EQ(send(0, SELECT_APPLICATION), expected);

  emulator->removeCard();
  emulator->insertCard(reader::makeDefaultT1Card());
  ASSERT_EQ(lastBytes(send(1, GetParam().command), 2), "90 01");
  EXPECT_EQ(send(0, SELECT_APPLICATION), expected) << ::testing::PrintToString(traffic());
}

INSTANTIATE_TEST_SUITE_P(Resets, CardRequestTest,
                         ::testing::Values(CardRequest{"RequestIccByTheLibrary", "2.32", "20 12 01 01 00"},
                                           CardRequest{"RequestIccByTheReader", "4.00", "20 12 01 01 00"},
                                           CardRequest{"ResetCtOfTheCardByTheReader", "4.00", "20 11 01 01 00"},
                                           CardRequest{"CardResetOfOlderFirmware", "2.32", "20 10 01 01 00"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace keld::test
