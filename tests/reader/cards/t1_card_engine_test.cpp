// The card-side T=1 engine, block by block: the host's blocks in, the card's
// answer blocks (NAD PCB LEN INF, no epilogue) out.

#include "reader/cards/t1_card_engine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/hex.h"

namespace keld::reader {
namespace {

using test::hex;
using test::toHex;

// The handler answers each command with `answer`, or with the loopback of
// its length when `answer` is empty.
class T1CardEngineTest : public ::testing::Test {
 protected:
  T1CardEngine makeEngine(T1CardSettings settings = {}) {
    return T1CardEngine(std::move(settings), [this](std::span<const std::uint8_t> command) {
      commands.push_back(toHex(command));
      return answer;
    });
  }
  static std::string exchange(T1CardEngine& engine, std::string_view block) {
    return toHex(engine.exchange(hex(block)));
  }

  std::vector<std::string> commands;
  Bytes answer = hex("90 00");
};

Bytes counting(std::size_t n) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(i);
  return out;
}

TEST_F(T1CardEngineTest, SingleBlocksAlternateSequenceNumbers) {
  auto engine = makeEngine();
  EXPECT_EQ(exchange(engine, "00 00 04 00 84 00 00"), "20 00 02 90 00");
  EXPECT_EQ(exchange(engine, "00 40 04 00 84 00 00"), "20 40 02 90 00");
  EXPECT_EQ(exchange(engine, "02 00 04 00 84 00 00"), "20 00 02 90 00");
  EXPECT_EQ(commands.size(), 3u);
  EXPECT_EQ(engine.state(), T1CardState::AwaitingCommand);
}

TEST_F(T1CardEngineTest, ChainedCommandIsAcknowledgedBlockByBlock) {
  T1CardSettings settings;
  settings.ifsc = 4;
  auto engine = makeEngine(settings);
  EXPECT_EQ(exchange(engine, "00 20 04 00 D6 00 00"), "20 90 00");
  EXPECT_EQ(engine.state(), T1CardState::ReceivingChain);
  EXPECT_EQ(exchange(engine, "00 60 04 05 01 02 03"), "20 80 00");
  EXPECT_EQ(exchange(engine, "00 00 02 04 05"), "20 00 02 90 00");
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0], "00 D6 00 00 05 01 02 03 04 05");
}

TEST_F(T1CardEngineTest, BlockLongerThanIfscIsRefused) {
  T1CardSettings settings;
  settings.ifsc = 4;
  auto engine = makeEngine(settings);
  EXPECT_EQ(exchange(engine, "00 00 05 00 B0 00 00 10"), "20 82 00");
  EXPECT_TRUE(commands.empty());
  EXPECT_EQ(engine.receiveSequence(), 0);
}

TEST_F(T1CardEngineTest, ChainedResponseWaitsForEachAcknowledgement) {
  answer = counting(70);
  auto engine = makeEngine();  // IFSD 32 until the host says otherwise
  const Bytes first = engine.exchange(hex("00 00 05 80 EE 00 00 46"));
  ASSERT_EQ(first.size(), 3u + 32);
  EXPECT_EQ(toHex(std::span(first).first(3)), "20 20 20");
  EXPECT_EQ(engine.state(), T1CardState::SendingChain);
  const Bytes second = engine.exchange(hex("00 90 00"));
  ASSERT_EQ(second.size(), 3u + 32);
  EXPECT_EQ(toHex(std::span(second).first(4)), "20 60 20 20");
  const Bytes third = engine.exchange(hex("00 80 00"));
  EXPECT_EQ(toHex(third), "20 00 06 40 41 42 43 44 45");
  EXPECT_EQ(engine.state(), T1CardState::AwaitingCommand);
  EXPECT_EQ(engine.sendSequence(), 1);
}

TEST_F(T1CardEngineTest, HostIfsRequestSetsTheChunkSize) {
  answer = counting(258);
  auto engine = makeEngine();
  EXPECT_EQ(exchange(engine, "00 C1 01 FE"), "20 E1 01 FE");
  EXPECT_EQ(engine.ifsd(), 254);
  const Bytes first = engine.exchange(hex("00 00 05 80 EE 00 00 00"));
  ASSERT_EQ(first.size(), 3u + 254);
  EXPECT_EQ(first[1], 0x20);
  EXPECT_EQ(first[2], 254);
  const Bytes last = engine.exchange(hex("00 90 00"));
  EXPECT_EQ(toHex(last), "20 40 04 FE FF 00 01");
}

TEST_F(T1CardEngineTest, ReservedIfsValuesAreRefused) {
  auto engine = makeEngine();
  EXPECT_EQ(exchange(engine, "00 C1 01 00"), "20 82 00");
  EXPECT_EQ(exchange(engine, "00 C1 01 FF"), "20 82 00");
  EXPECT_EQ(engine.ifsd(), 32);
}

TEST_F(T1CardEngineTest, CardAsksForANewIfscBeforeAnsweringChosenCommand) {
  T1CardSettings settings;
  settings.ifsInstructions = {0xB0};
  settings.ifsRequestSize = 0x40;
  auto engine = makeEngine(settings);
  EXPECT_EQ(exchange(engine, "00 00 04 00 A4 00 00"), "20 00 02 90 00");
  EXPECT_EQ(exchange(engine, "00 40 05 00 B0 00 00 00"), "20 C1 01 40");
  EXPECT_EQ(engine.state(), T1CardState::AwaitingIfsResponse);
  EXPECT_EQ(engine.ifsc(), 32);
  EXPECT_EQ(exchange(engine, "00 E1 01 40"), "20 40 02 90 00");
  EXPECT_EQ(engine.ifsc(), 0x40);
  // The new IFSC lets a 64-byte block in.
  Bytes block = hex("00 00 40");
  block.resize(3 + 0x40, 0x11);
  EXPECT_EQ(toHex(engine.exchange(block)), "20 00 02 90 00");
}

TEST_F(T1CardEngineTest, WtxOnChosenCommandBeforeTheAnswer) {
  T1CardSettings settings;
  settings.wtxInstructions = {0xEE};
  settings.wtxMultiplier = 3;
  settings.wtxRepeat = 2;
  auto engine = makeEngine(settings);
  EXPECT_EQ(exchange(engine, "00 00 05 80 EE 00 00 02"), "20 C3 01 03");
  EXPECT_EQ(engine.state(), T1CardState::AwaitingWtxResponse);
  EXPECT_EQ(exchange(engine, "00 E3 01 03"), "20 C3 01 03");
  EXPECT_EQ(exchange(engine, "00 E3 01 03"), "20 00 02 90 00");
  // Other commands are answered at once.
  EXPECT_EQ(exchange(engine, "00 40 04 00 A4 00 00"), "20 40 02 90 00");
}

TEST_F(T1CardEngineTest, LostWtxRequestIsSentAgainAndAWrongResponseRefused) {
  T1CardSettings settings;
  settings.wtxInstructions = {0xEE};
  auto engine = makeEngine(settings);
  EXPECT_EQ(exchange(engine, "00 00 05 80 EE 00 00 02"), "20 C3 01 02");
  EXPECT_EQ(exchange(engine, "00 81 00"), "20 C3 01 02");
  EXPECT_EQ(exchange(engine, "00 E3 01 05"), "20 92 00");
  EXPECT_EQ(exchange(engine, "00 40 04 00 A4 00 00"), "20 92 00");
  EXPECT_EQ(exchange(engine, "00 E3 01 02"), "20 00 02 90 00");
  EXPECT_EQ(commands.size(), 1u);
}

TEST_F(T1CardEngineTest, AbortDropsTheResponseChain) {
  answer = counting(70);
  auto engine = makeEngine();
  ASSERT_EQ(engine.exchange(hex("00 00 05 80 EE 00 00 46"))[1], 0x20);
  EXPECT_EQ(exchange(engine, "00 C2 00"), "20 E2 00");
  EXPECT_EQ(engine.state(), T1CardState::AwaitingCommand);
  // An acknowledgement now has nothing to acknowledge.
  EXPECT_EQ(exchange(engine, "00 90 00"), "20 92 00");
  answer = hex("90 00");
  EXPECT_EQ(exchange(engine, "00 40 04 00 A4 00 00"), "20 40 02 90 00");
}

TEST_F(T1CardEngineTest, AbortDropsTheCommandChain) {
  auto engine = makeEngine();
  EXPECT_EQ(exchange(engine, "00 20 02 00 A4"), "20 90 00");
  EXPECT_EQ(exchange(engine, "00 C2 00"), "20 E2 00");
  EXPECT_EQ(exchange(engine, "00 40 04 00 B0 00 00"), "20 00 02 90 00");
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0], "00 B0 00 00");
}

TEST_F(T1CardEngineTest, ResynchResetsSequenceNumbersAndIfsd) {
  auto engine = makeEngine();
  EXPECT_EQ(exchange(engine, "00 C1 01 FE"), "20 E1 01 FE");
  EXPECT_EQ(exchange(engine, "00 00 04 00 A4 00 00"), "20 00 02 90 00");
  EXPECT_EQ(exchange(engine, "00 60 02 00 A4"), "20 80 00");
  EXPECT_EQ(exchange(engine, "00 C0 00"), "20 E0 00");
  EXPECT_EQ(engine.sendSequence(), 0);
  EXPECT_EQ(engine.receiveSequence(), 0);
  EXPECT_EQ(engine.ifsd(), 32);
  EXPECT_EQ(engine.state(), T1CardState::AwaitingCommand);
  EXPECT_EQ(exchange(engine, "00 00 04 00 B0 00 00"), "20 00 02 90 00");
}

TEST_F(T1CardEngineTest, RBlockWithErrorGetsTheLastBlockAgain) {
  answer = counting(40);
  auto engine = makeEngine();
  const Bytes first = engine.exchange(hex("00 00 05 80 EE 00 00 28"));
  // The host lost the first chained block: N(R) names it again.
  EXPECT_EQ(engine.exchange(hex("00 81 00")), first);
  EXPECT_EQ(engine.exchange(hex("00 82 00")), first);
  const Bytes last = engine.exchange(hex("00 90 00"));
  EXPECT_EQ(toHex(last), "20 40 08 20 21 22 23 24 25 26 27");
  // ... and the last one of the chain.
  EXPECT_EQ(engine.exchange(hex("00 91 00")), last);
  EXPECT_EQ(engine.state(), T1CardState::AwaitingCommand);
}

TEST_F(T1CardEngineTest, RBlockWithErrorGetsTheLastAcknowledgementAgain) {
  auto engine = makeEngine();
  EXPECT_EQ(exchange(engine, "00 20 02 00 A4"), "20 90 00");
  EXPECT_EQ(exchange(engine, "00 81 00"), "20 90 00");
  EXPECT_EQ(exchange(engine, "00 40 02 00 00"), "20 00 02 90 00");
  EXPECT_EQ(commands.at(0), "00 A4 00 00");
}

struct BadBlock {
  const char* name;
  const char* block;
};

class T1CardEngineBadBlock : public T1CardEngineTest, public ::testing::WithParamInterface<BadBlock> {};

// Rule 7.1: each is answered with R(N(R) = 0, other error) and leaves the
// engine waiting for the first command.
TEST_P(T1CardEngineBadBlock, IsAnsweredWithRBlockError) {
  auto engine = makeEngine();
  EXPECT_EQ(exchange(engine, GetParam().block), "20 82 00");
  EXPECT_TRUE(commands.empty());
  EXPECT_EQ(engine.state(), T1CardState::AwaitingCommand);
  EXPECT_EQ(exchange(engine, "00 00 04 00 A4 00 00"), "20 00 02 90 00");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, T1CardEngineBadBlock,
    ::testing::Values(BadBlock{"TooShort", "00 00"}, BadBlock{"LengthDisagrees", "00 00 05 00 A4 00 00"},
                      BadBlock{"WrongSequence", "00 40 04 00 A4 00 00"},
                      BadBlock{"ReservedPcbBits", "00 01 04 00 A4 00 00"},
                      BadBlock{"ForTheTerminal", "12 00 04 00 A4 00 00"},
                      BadBlock{"RBlockWithInf", "00 80 01 00"}, BadBlock{"RBlockReservedBits", "00 A0 00"},
                      BadBlock{"NothingToAcknowledge", "00 90 00"}, BadBlock{"WtxRequestFromHost", "00 C3 01 01"},
                      BadBlock{"UnaskedWtxResponse", "00 E3 01 01"},
                      BadBlock{"UnaskedResynchResponse", "00 E0 00"}, BadBlock{"AbortWithInf", "00 C2 01 00"},
                      BadBlock{"UnknownSBlock", "00 C5 00"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(T1CardEngineTest, IBlockDuringResponseChainIsRefused) {
  answer = counting(40);
  auto engine = makeEngine();
  ASSERT_EQ(engine.exchange(hex("00 00 05 80 EE 00 00 28"))[1], 0x20);
  EXPECT_EQ(exchange(engine, "00 40 04 00 A4 00 00"), "20 92 00");
  EXPECT_EQ(engine.state(), T1CardState::SendingChain);
}

TEST_F(T1CardEngineTest, OverlongChainedCommandIsAnsweredWrongLength) {
  T1CardSettings settings;
  settings.ifsc = 254;
  auto engine = makeEngine(settings);
  Bytes block = hex("00 00 FE");
  block.resize(3 + 254, 0xAA);
  std::size_t sent = 0;
  int seq = 0;
  while (sent + 254 <= maxChainedCommand) {
    block[1] = static_cast<std::uint8_t>((seq ? 0x40 : 0) | 0x20);
    ASSERT_EQ(engine.exchange(block)[1] & 0xEF, 0x80);
    seq ^= 1;
    sent += 254;
  }
  block[1] = static_cast<std::uint8_t>(seq ? 0x40 : 0);
  EXPECT_EQ(toHex(engine.exchange(block)), "20 00 02 67 00");
  EXPECT_TRUE(commands.empty());
}

TEST_F(T1CardEngineTest, ResetForgetsTheSession) {
  T1CardSettings settings;
  settings.ifsInstructions = {0xA4};
  settings.ifsRequestSize = 100;
  auto engine = makeEngine(settings);
  EXPECT_EQ(exchange(engine, "00 C1 01 FE"), "20 E1 01 FE");
  EXPECT_EQ(exchange(engine, "00 00 04 00 A4 00 00"), "20 C1 01 64");
  EXPECT_EQ(exchange(engine, "00 E1 01 64"), "20 00 02 90 00");
  engine.reset();
  EXPECT_EQ(engine.ifsc(), 32);
  EXPECT_EQ(engine.ifsd(), 32);
  EXPECT_EQ(engine.sendSequence(), 0);
  EXPECT_EQ(engine.receiveSequence(), 0);
  EXPECT_EQ(exchange(engine, "00 81 00"), "20 82 00");
}

}  // namespace
}  // namespace keld::reader
