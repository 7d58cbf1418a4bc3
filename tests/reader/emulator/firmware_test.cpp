#include <gtest/gtest.h>

#include "emulator_fixture.h"

namespace keld::test {
namespace {

using reader::CardState;

class Firmware : public EmulatorTest {};

TEST_F(Firmware, TerminalResetAnswers9000) {
  EXPECT_EQ(exchange("12 00 05 20 10 00 00 00"), "21 00 02 90 00 B3");
}

struct CommandCase {
  const char* command;
  const char* answer;
};

TEST_F(Firmware, TerminalCommandsAnswerWithTheirStatusWords) {
  const CommandCase cases[] = {
      {"20 99 00 00 00", "6D 00"},
      {"55 10 00 00 00", "6E 00"},
      {"20 10", "67 00"},
      {"20 10 02 00 00", "6B 00"},
      {"20 14 00 00 00", "6B 00"},
      {"20 13 00 47 00", "6B 00"},
      {"00 A4 00 00 02 12 34", "6A 82"},
      {"00 A4 01 00 02 3F 00", "6B 00"},
      {"00 A4 00 00 01 3F", "67 00"},
      {"00 B0 00 00 00", "69 86"},
      {"00 CA 00 00 00", "6D 00"},
      {"80 60 00 00 04 13 01 01", "67 00"},
      {"80 60 00 00 03 11 01 06", "6A 80"},
      {"80 60 00 00 03 11 02 01", "6A 80"},
      {"80 60 00 00 03 11 01 09", "90 00"},
      {"80 60 00 01 03 11 01 01", "6B 00"},
      {"80 60 01 00 03 29 01 0A", "90 00"},
      {"80 60 01 00 03 29 00 00", "6A 80"},
      {"80 61 00 00 00", "6D 00"},
  };
  for (const CommandCase& c : cases) EXPECT_EQ(terminal(c.command), c.answer) << c.command;
}

TEST_F(Firmware, BadFrameFromTheHostIsAnsweredWithAnRBlock) {
  EXPECT_EQ(toHex(*host_.exchange(hex("12 00 05 20 10 00 00 00 26"))), "21 81 00 A0");
  EXPECT_EQ(toHex(*host_.exchange(hex("12 00 06 20 10 00 00 00 21"))), "21 82 00 A3");
}

struct VersionCase {
  const char* version;
  const char* readerInfo;
};

class ReaderInfoFile : public EmulatorTest, public ::testing::WithParamInterface<VersionCase> {
 protected:
  ReaderInfoFile() : EmulatorTest(GetParam().version) {}
};

TEST_P(ReaderInfoFile, HoldsVersionTextAndVariant) {
  EXPECT_EQ(terminal("00 A4 00 00 02 3F 00"), "90 00");
  EXPECT_EQ(terminal("00 A4 00 00 02 00 20"), "90 00");
  EXPECT_EQ(terminal("00 B0 00 00 00"), GetParam().readerInfo);
  EXPECT_EQ(terminal("00 B0 00 02 03"), std::string(GetParam().readerInfo).substr(6, 8) + " 90 00")
      << "offset and Le";
  EXPECT_EQ(terminal("00 B0 00 0A 10"), "6B 00") << "offset behind the end";
}

INSTANTIATE_TEST_SUITE_P(
    Versions, ReaderInfoFile,
    ::testing::Values(VersionCase{"2.27k", "0F 05 32 2E 32 37 6B 08 01 05 90 00"},
                      VersionCase{"4.00", "0F 04 34 2E 30 30 08 01 05 90 00"}),
    [](const auto& info) { return std::string(info.param.version[0] == '2' ? "V227k" : "V400"); });

TEST_F(Firmware, ReadToTheEndOfShortFileWarns) {
  terminal("00 A4 00 00 02 00 20");
  EXPECT_EQ(terminal("00 B0 00 07 10"), "01 05 62 82");
}

TEST_F(Firmware, IccStatusFileAndCardStatusFollowTheSlot) {
  terminal("00 A4 00 00 02 70 21");
  EXPECT_EQ(terminal("00 B0 00 00 00"), "21 01 00 22 01 00 03 02 00 00 90 00");
  EXPECT_EQ(terminal("20 13 00 80 00"), "00 90 00");

  reader_.setCardChangeNotifications(false);
  reader_.insertCard(t1Card());
  EXPECT_EQ(terminal("00 B0 00 00 00"), "21 01 01 22 01 02 03 02 00 FE 90 00");
  EXPECT_EQ(terminal("20 13 00 80 00"), "03 90 00");

  EXPECT_EQ(terminal("20 10 01 00 00"), "3B 84 81 31 20 45 4B 45 4C 44 20 90 01");
  EXPECT_EQ(terminal("00 B0 00 00 00"), "21 01 02 22 01 02 03 02 00 FE 90 00");
  EXPECT_EQ(terminal("20 13 00 80 00"), "05 90 00");

  EXPECT_EQ(terminal("20 14 01 00 00"), "90 00");
  EXPECT_EQ(terminal("20 13 00 80 00"), "03 90 00");
  EXPECT_EQ(reader_.cardState(), CardState::Present);
}

TEST_F(Firmware, CardResetAnswersByCardKindAndFormat) {
  reader_.setCardChangeNotifications(false);
  EXPECT_EQ(terminal("20 10 01 00 00"), "64 A1");
  reader_.insertCard(t1Card());
  EXPECT_EQ(terminal("20 10 01 00"), "90 01") << "no Le: no data";
  EXPECT_EQ(terminal("20 10 01 02 00"), "4B 45 4C 44 90 01") << "historical bytes";
  EXPECT_EQ(terminal("20 1F 01 01 00"), "3B 84 81 31 20 45 4B 45 4C 44 20 90 01");
  EXPECT_EQ(terminal("20 10 01 03 00"), "6B 00");
  reader_.insertCard(memoryCard());
  EXPECT_EQ(terminal("20 10 01 00 00"), "A2 13 10 91 90 00");
}

TEST_F(Firmware, InterfaceParametersSwitchToCrcAfterTheAnswer) {
  EXPECT_EQ(exchange("12 00 08 80 60 00 00 03 13 01 01"), "21 00 02 90 00 B3");
  EXPECT_EQ(reader_.epilogue(), reader::Epilogue::Crc);
  EXPECT_EQ(exchange("12 00 05 20 10 00 00 00"), toHex(*[] {
              Bytes b = hex("21 82 00");
              reader::appendEpilogue(b, reader::Epilogue::Crc);
              return std::optional<Bytes>(b);
            }())) << "an LRC block no longer fits";
  Bytes reset = hex("12 00 05 20 10 00 00 00");
  reader::appendEpilogue(reset, reader::Epilogue::Crc);
  Bytes expected = hex("21 00 02 90 00");
  reader::appendEpilogue(expected, reader::Epilogue::Crc);
  EXPECT_EQ(toHex(*host_.exchange(reset)), toHex(expected));
  ASSERT_EQ(host_.hardwareReset(), PortHost::ResetResult::Success);
  EXPECT_EQ(reader_.epilogue(), reader::Epilogue::Lrc) << "the reset brings the LRC back";
}

TEST_F(Firmware, BlocksToT1CardAreRelayed) {
  reader_.setCardChangeNotifications(false);
  EXPECT_EQ(exchange("00 00 05 00 A4 00 00 00"), "21 00 02 64 A1 E6") << "no card";
  auto card = t1Card();
  reader_.insertCard(card);
  terminal("20 10 01 00 00");
  card->answer = hex("00 E1 01 FE");
  EXPECT_EQ(exchange("00 C1 01 FE"), toHex(lrcBlock("20 E1 01 FE")));
  card->answer = hex("20 00 02 90 00");
  EXPECT_EQ(exchange("02 40 04 00 84 00 00"), toHex(lrcBlock("20 00 02 90 00")));
  ASSERT_EQ(card->blocks.size(), 2u);
  EXPECT_EQ(toHex(card->blocks[0]), "00 C1 01 FE");
  EXPECT_EQ(toHex(card->blocks[1]), "02 40 04 00 84 00 00");
  card->answer.clear();
  EXPECT_EQ(exchange("00 00 01 00"), "21 00 02 64 A8 EF") << "a mute card";
}

struct LongAnswerCase {
  const char* version;
  bool longForm;
};

class LongAnswer : public EmulatorTest, public ::testing::WithParamInterface<LongAnswerCase> {
 protected:
  LongAnswer() : EmulatorTest(GetParam().version) {}
};

TEST_P(LongAnswer, UsesTheLongFormOnlyFromMinorDigits18) {
  reader_.setCardChangeNotifications(false);
  auto card = t0Card();
  reader_.insertCard(card);
  EXPECT_EQ(terminal("20 10 01 00 00"), "3B 02 14 50 90 01");
  card->answer = Bytes(258, 0x5A);
  card->answer.insert(card->answer.end(), {0x90, 0x00});
  const auto first = host_.exchange(lrcBlock("00 00 05 00 B0 00 00 00"));
  ASSERT_TRUE(first);
  ASSERT_EQ(card->apdus.size(), 1u);
  EXPECT_EQ(toHex(card->apdus[0]), "00 B0 00 00 00");
  if (GetParam().longForm) {
    ASSERT_EQ(first->size(), 5 + 260 + 1u);
    EXPECT_EQ(toHex(std::span(*first).first(5)), "20 00 FF 01 04");
    EXPECT_EQ(reader::lrc(*first), 0);
    return;
  }
  ASSERT_EQ(first->size(), 3 + 254 + 1u);
  EXPECT_EQ(toHex(std::span(*first).first(3)), "20 20 FE") << "chained, N(S) 0";
  const auto second = host_.exchange(lrcBlock("00 90 00"));
  ASSERT_TRUE(second);
  ASSERT_EQ(second->size(), 3 + 6 + 1u);
  EXPECT_EQ(toHex(std::span(*second).first(9)), "20 40 06 5A 5A 5A 5A 90 00");
  EXPECT_EQ(reader::lrc(*second), 0);
}

INSTANTIATE_TEST_SUITE_P(Versions, LongAnswer,
                         ::testing::Values(LongAnswerCase{"1.24", true}, LongAnswerCase{"1.07", false}),
                         [](const auto& info) { return std::string(info.param.longForm ? "V124" : "V107"); });

TEST_F(Firmware, ApduCardAnswersWithAlternatingSequence) {
  reader_.setCardChangeNotifications(false);
  auto card = t0Card();
  reader_.insertCard(card);
  terminal("20 10 01 00 00");
  card->answer = hex("90 00");
  EXPECT_EQ(exchange("00 00 04 00 84 00 08"), toHex(lrcBlock("20 00 02 90 00")));
  EXPECT_EQ(exchange("00 40 04 00 84 00 08"), toHex(lrcBlock("20 40 02 90 00")));
  EXPECT_EQ(exchange("00 C0 00"), toHex(lrcBlock("20 E0 00"))) << "resynchronisation";
  EXPECT_EQ(exchange("00 00 04 00 84 00 08"), toHex(lrcBlock("20 00 02 90 00")));
}

TEST_F(Firmware, OlderFirmwareLeavesIccCommandsToTheHost) {
  reader::ReaderEmulator older(*reader::makePersonality("2.32"));
  PortHost host(older);
  ASSERT_EQ(host.hardwareReset(), PortHost::ResetResult::Success);
  for (const char* command : {"12 00 05 20 12 01 00 00", "12 00 05 20 15 01 00 00",
                              "12 00 05 20 11 00 00 00"}) {
    EXPECT_EQ(toHex(*host.exchange(lrcBlock(command))), toHex(lrcBlock("21 00 02 6D 00"))) << command;
  }
  EXPECT_EQ(toHex(*host.exchange(lrcBlock("12 00 05 20 13 00 46 00"))), toHex(lrcBlock("21 00 02 6B 00")));
}

TEST_F(Firmware, GetStatusGivesTheManufacturerObject) {
  EXPECT_EQ(terminal("20 13 00 46 00"), "44 45 56 4E 52 20 20 51 54 56 20 34 2E 30 30 90 00");
  EXPECT_EQ(terminal("20 11 00 00 00"), "90 00") << "the command set's own reset INS";
}

TEST_F(Firmware, RequestIccWaitsForTheCard) {
  reader_.setCardChangeNotifications(false);
  clock::scheduleAt(clock::now() + clock::seconds(2), [this] { reader_.insertCard(t1Card()); });
  const clock::Microseconds start = clock::now();
  EXPECT_EQ(terminal("20 12 01 01 01 05"), "3B 84 81 31 20 45 4B 45 4C 44 20 90 01");
  EXPECT_GE(clock::now() - start, clock::seconds(2));
  EXPECT_LT(clock::now() - start, clock::seconds(3));
  EXPECT_EQ(terminal("20 12 01 00 00"), "62 01") << "already present and activated";
  EXPECT_EQ(reader_.cardState(), CardState::Active);
}

TEST_F(Firmware, RequestIccTimesOut) {
  const clock::Microseconds start = clock::now();
  EXPECT_EQ(terminal("20 12 01 00 03 80 01 02"), "62 00");
  EXPECT_GE(clock::now() - start, clock::seconds(2));
  EXPECT_EQ(terminal("20 12 01 00 00"), "62 00") << "no time: no wait";
  EXPECT_EQ(terminal("20 12 02 00 00"), "6B 00");
}

TEST_F(Firmware, EjectIccWaitsForRemoval) {
  auto card = t1Card();
  reader_.setCardChangeNotifications(false);
  reader_.insertCard(card);
  terminal("20 10 01 00 00");
  EXPECT_EQ(terminal("20 15 01 00 00"), "90 00");
  EXPECT_EQ(reader_.cardState(), CardState::Present) << "deactivated";
  EXPECT_EQ(terminal("20 15 01 00 01 03"), "90 00") << "left in the slot";
  EXPECT_EQ(terminal("20 15 01 08 00"), "6B 00");
  clock::scheduleAt(clock::now() + clock::seconds(1), [this] { reader_.removeCard(); });
  EXPECT_EQ(terminal("20 15 01 00 01 05"), "90 01");
  EXPECT_EQ(reader_.cardState(), CardState::None);
  EXPECT_EQ(terminal("20 15 01 00 00"), "90 01") << "no card: gone at once, also without a time";
}

TEST_F(Firmware, NewBlockEndsAWait) {
  host_.pollLimit = 10;
  EXPECT_EQ(terminal("20 12 01 00 01 1E"), "none") << "30 s is longer than the host waits";
  EXPECT_EQ(terminal("20 13 00 80 00"), "00 90 00");
  clock::advance(clock::seconds(40));
  EXPECT_EQ(host_.status(), keld::reader_registers::SR_READY) << "the abandoned wait never answers";
}

}  // namespace
}  // namespace keld::test
