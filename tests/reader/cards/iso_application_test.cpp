// The ISO/IEC 7816-4 application over the default card's file system, as
// scripts of commands and their responses from a fresh session.

#include "reader/cards/iso_application.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "reader/cards/atr.h"
#include "reader/cards/cards.h"
#include "reader/cards/processor_cards.h"
#include "support/hex.h"

namespace keld::reader {
namespace {

using test::hex;
using test::toHex;

struct Step {
  const char* command;
  const char* answer;  // hex; "..." after it means: only the end is compared
};

struct Script {
  const char* name;
  std::vector<Step> steps;
};

std::string pattern(std::size_t from, std::size_t count) {
  Bytes bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(from + i);
  return toHex(bytes);
}

class IsoApplicationScript : public ::testing::TestWithParam<Script> {};

TEST_P(IsoApplicationScript, AnswersEachCommand) {
  IsoApplication application(defaultT1Image().files);
  application.reset();
  for (const Step& step : GetParam().steps) {
    EXPECT_EQ(toHex(application.process(hex(step.command))), step.answer) << step.command;
  }
}

const std::string readAll = pattern(0, 256) + " 90 00";
const std::string readEnd = pattern(256, 44) + " 62 82";

INSTANTIATE_TEST_SUITE_P(
    Cases, IsoApplicationScript,
    ::testing::Values(
        Script{"SelectByIdAndRead",
               {{"00 A4 00 00 02 50 00", "90 00"},
                {"00 A4 02 0C 02 50 01", "90 00"},
                {"00 B0 00 00 04", "00 01 02 03 90 00"},
                {"00 B0 01 2A 00", "2A 2B 62 82"}}},
        Script{"ReadWholeFileInTwoParts",
               {{"00 A4 08 00 04 50 00 50 01", "90 00"},
                {"00 B0 00 00 00", readAll.c_str()},
                {"00 B0 01 00 00", readEnd.c_str()},
                {"00 B0 01 2C 01", "6B 00"},
                {"00 B0 7F FF 01", "6B 00"}}},
        Script{"SelectByAidThenShortIdentifier",
               {{"00 A4 04 00 06 F0 4B 45 4C 44 01", "90 00"},
                {"00 A4 04 0C 03 F0 4B 45", "90 00"},
                {"00 B0 81 10 02", "10 11 90 00"},
                {"00 B0 00 12 01", "12 90 00"},
                {"00 B0 83 00 01", "6A 82"},
                {"00 B0 A1 00 01", "6A 86"},
                {"00 A4 04 00 03 F0 00 00", "6A 82"}}},
        Script{"FileControlParameters",
               {{"00 A4 00 04 02 50 00 00", "62 0F 82 01 38 83 02 50 00 84 06 F0 4B 45 4C 44 01 90 00"},
                {"00 A4 02 04 02 50 01 00", "62 0E 80 02 01 2C 82 01 01 83 02 50 01 88 01 08 90 00"},
                {"00 A4 00 00 02 3F 00 00", "6F 07 82 01 38 83 02 3F 00 90 00"},
                {"00 A4 00 00 02 3F 00 04", "6F 07 82 01 90 00"}}},
        Script{"SelectionRules",
               {{"00 A4 00 00 02 50 01", "6A 82"},        // not a child of the MF
                {"00 A4 00 00 02 2F 01", "90 00"},        // EF of the MF
                {"00 A4 00 00 02 50 00", "90 00"},
                {"00 A4 00 00 02 2F 01", "90 00"},        // child of the parent DF
                {"00 A4 09 00 04 50 00 50 02", "90 00"},  // path from the current DF (the MF)
                {"00 A4 03 00", "90 00"},                 // parent of 5000
                {"00 A4 01 00 02 2F 01", "6A 82"},        // an EF, not a DF
                {"00 A4 02 00 02 50 00", "6A 82"},        // a DF, not an EF
                {"00 A4 00 00", "90 00"},                 // no data: the MF
                {"00 A4 00 00 01 50", "67 00"},
                {"00 A4 05 00 02 50 00", "6A 86"},
                {"00 A4 00 02 02 50 00", "6A 86"}}},
        Script{"UpdateBinary",
               {{"00 A4 08 0C 04 50 00 50 02", "90 00"},
                {"00 D6 01 FC 03 A1 A2 A3", "90 00"},
                {"00 B0 01 FB 05", "00 A1 A2 A3 00 90 00"},
                {"00 D6 01 FE 02 B1 B2", "90 00"},
                {"00 D6 01 FF 04 C1 C2 C3", "67 00"},
                {"00 D6 01 FF 02 C1 C2", "6A 84"},
                {"00 D6 02 00 01 00", "6B 00"},
                {"00 D6 00 00", "67 00"},
                {"00 B0 01 FE 03", "B1 B2 62 82"}}},
        Script{"ReadOnlyFileAndNoCurrentEf",
               {{"00 B0 00 00 01", "69 86"},
                {"00 D6 00 00 01 00", "69 86"},
                {"00 A4 08 0C 04 50 00 50 01", "90 00"},
                {"00 D6 00 00 01 00", "69 82"},
                {"00 A4 00 0C 02 50 00", "90 00"},
                {"00 B0 00 00 01", "69 86"}}},
        Script{"WrongLengths",
               {{"00 A4 08 0C 04 50 00 50 01", "90 00"},
                {"00 B0 00 00", "67 00"},
                {"00 B0 00 00 01 00 01", "67 00"},
                {"00 B0", "67 00"},
                {"00 B0 00 00 03 01 02", "67 00"},
                {"00 B0 00 00 00 01 02", "67 00"}}},
        Script{"LoopbackAndUnknownCommands",
               {{"80 EE 00 00 03", "00 01 02 90 00"},
                {"80 EE 00 00 02 A5 5A 05", "A5 5A A5 5A A5 90 00"},
                {"80 EE 00 00 02 A5 5A", "90 00"},
                {"80 EE 01 00 01", "6A 86"},
                {"80 10 00 00 01", "6D 00"},
                {"00 20 00 00 01", "6D 00"},
                {"A0 B0 00 00 01", "6E 00"},
                {"01 B0 00 00 01", "68 81"}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(IsoApplication, LoopbackOf256Bytes) {
  IsoApplication application(FileSystem{});
  const Bytes answer = application.process(hex("80 EE 00 00 00"));
  ASSERT_EQ(answer.size(), 258u);
  EXPECT_EQ(toHex(answer), pattern(0, 256) + " 90 00");
}

TEST(IsoApplication, ChallengesAreFreshAndOfTheLengthAskedFor) {
  IsoApplication application(FileSystem{});
  const Bytes first = application.process(hex("00 84 00 00 08"));
  const Bytes second = application.process(hex("00 84 00 00 08"));
  ASSERT_EQ(first.size(), 10u);
  EXPECT_EQ(toHex(std::span(first).last(2)), "90 00");
  EXPECT_NE(first, second);
  EXPECT_EQ(application.process(hex("00 84 00 00 00")).size(), 258u);
  EXPECT_EQ(toHex(application.process(hex("00 84 01 00 08"))), "6A 86");
  EXPECT_EQ(toHex(application.process(hex("00 84 00 00"))), "67 00");
}

TEST(IsoApplication, ResetClearsTheSelectionButKeepsTheContents) {
  IsoApplication application(defaultT1Image().files);
  application.reset();
  EXPECT_EQ(toHex(application.process(hex("00 A4 08 0C 04 50 00 50 02"))), "90 00");
  EXPECT_EQ(toHex(application.process(hex("00 D6 00 00 02 12 34"))), "90 00");
  application.reset();
  EXPECT_EQ(application.currentDf(), FileSystem::masterFile);
  EXPECT_EQ(toHex(application.process(hex("00 B0 00 00 02"))), "69 86");
  EXPECT_EQ(toHex(application.process(hex("00 A4 08 0C 04 50 00 50 02"))), "90 00");
  EXPECT_EQ(toHex(application.process(hex("00 B0 00 00 02"))), "12 34 90 00");
}

TEST(FileSystem, RefusesFilesThatWouldMakeSelectionAmbiguous) {
  FileSystem files;
  const auto df = files.addDedicatedFile(FileSystem::masterFile, 0x5000, {});
  ASSERT_TRUE(df.index);
  EXPECT_FALSE(files.addDedicatedFile(FileSystem::masterFile, 0x5000, {}).index);
  EXPECT_FALSE(files.addElementaryFile(*df.index, 0x5000, {}).index);
  EXPECT_FALSE(files.addElementaryFile(*df.index, 0x3F00, {}).index);
  EXPECT_FALSE(files.addElementaryFile(*df.index, 0x3FFF, {}).index);
  ASSERT_TRUE(files.addElementaryFile(*df.index, 0x5001, {}, 1).index);
  EXPECT_FALSE(files.addElementaryFile(*df.index, 0x5002, {}, 1).index);
  EXPECT_FALSE(files.addElementaryFile(*df.index, 0x5003, {}, 31).index);
  const auto ef = files.addElementaryFile(*df.index, 0x5004, {});
  EXPECT_FALSE(files.addElementaryFile(*ef.index, 0x5005, {}).index);
  EXPECT_FALSE(files.addElementaryFile(*df.index, 0x5006, Bytes(maxEfSize + 1)).index);
}

// The T=1 card end to end at block level, as the host starts a session.
TEST(ProcessorT1Card, ReadsA300ByteFileThroughChainedBlocks) {
  auto card = makeDefaultT1Card();
  EXPECT_EQ(card->kind(), CardKind::ProcessorT1);
  EXPECT_EQ(card->protocolByte(), 2);
  EXPECT_EQ(card->ifsc(), 32);
  EXPECT_TRUE(card->exchangeBlock(hex("00 C1 01 FE")).empty());  // not powered
  EXPECT_EQ(toHex(card->reset()), "3B 84 81 31 20 45 4B 45 4C 44 57");
  EXPECT_EQ(toHex(card->exchangeBlock(hex("00 C1 01 FE"))), "20 E1 01 FE");
  EXPECT_EQ(toHex(card->exchangeBlock(hex("00 00 09 00 A4 08 0C 04 50 00 50 01"))), "20 00 02 90 00");
  const Bytes first = card->exchangeBlock(hex("00 40 05 00 B0 00 00 00"));
  ASSERT_EQ(first.size(), 3u + 254);
  EXPECT_EQ(first[1], 0x60);
  const Bytes last = card->exchangeBlock(hex("00 80 00"));
  EXPECT_EQ(toHex(last), "20 00 04 FE FF 90 00");
  card->powerOff();
  EXPECT_TRUE(card->exchangeBlock(hex("00 40 04 00 A4 00 00")).empty());
}

TEST(ProcessorOtherCard, ExchangesWholeApdus) {
  CardImage image = defaultT1Image();
  ProcessorOtherCard card(buildT0Atr(defaultHistorical), 1, 32, std::move(image.files));
  EXPECT_EQ(card.kind(), CardKind::ProcessorOther);
  EXPECT_EQ(card.protocolByte(), 1);
  EXPECT_TRUE(card.exchangeApdu(hex("80 EE 00 00 01")).empty());
  EXPECT_EQ(toHex(card.reset()), "3B 04 4B 45 4C 44");
  EXPECT_EQ(toHex(card.exchangeApdu(hex("00 A4 08 0C 04 50 00 50 01"))), "90 00");
  EXPECT_EQ(card.exchangeApdu(hex("00 B0 00 00 00")).size(), 258u);
  EXPECT_TRUE(card.exchangeBlock(hex("00 00 04 00 A4 00 00")).empty());
}

}  // namespace
}  // namespace keld::reader
