// The synchronous memory card as the terminal presents it.

#include "reader/cards/memory_card.h"

#include <gtest/gtest.h>

#include "support/hex.h"

namespace keld::reader {
namespace {

using test::hex;
using test::toHex;

MemoryCardImage sample() {
  MemoryCardImage image;
  image.memory.resize(20);
  for (std::size_t i = 0; i < image.memory.size(); ++i) image.memory[i] = static_cast<std::uint8_t>(0xA0 + i);
  image.aid = hex("D2 76 00 00 01");
  return image;
}

TEST(SynchronousCard, PresentsItsMemoryAsOneApplication) {
  SynchronousCard card(sample());
  EXPECT_EQ(card.kind(), CardKind::Synchronous);
  EXPECT_NE(card.protocolByte(), 2);
  EXPECT_NE(card.ifsc(), 0);
  EXPECT_TRUE(card.exchangeApdu(hex("00 B0 00 00 01")).empty());  // not powered
  EXPECT_EQ(toHex(card.reset()), "A2 13 10 91");
  const struct {
    const char* command;
    const char* answer;
  } steps[] = {
      {"00 B0 00 00 02", "A0 A1 90 00"},  // selected from the reset on
      {"00 A4 00 00 02 3F 00", "90 00"},
      {"00 A4 04 00 05 D2 76 00 00 01", "90 00"},
      {"00 A4 00 00 02 2F 00", "6A 82"},
      {"00 A4 04 00 02 D2 77", "6A 82"},
      {"00 B0 00 10 00", "B0 B1 B2 B3 62 82"},
      {"00 B0 00 12 02", "B2 B3 90 00"},
      {"00 B0 00 14 01", "6B 00"},
      {"00 B0 00 00", "67 00"},
      {"00 D6 00 02 02 11 22", "90 00"},
      {"00 B0 00 01 03", "A1 11 22 90 00"},
      {"00 D6 00 13 02 11 22", "6A 84"},
      {"00 84 00 00 08", "6D 00"},
      {"80 B0 00 00 01", "6E 00"},
  };
  for (const auto& step : steps) EXPECT_EQ(toHex(card.exchangeApdu(hex(step.command))), step.answer) << step.command;
  EXPECT_TRUE(card.exchangeBlock(hex("00 00 04 00 A4 00 00")).empty());
}

TEST(SynchronousCard, ReadOnlyMemoryRefusesUpdates) {
  MemoryCardImage image = sample();
  image.readOnly = true;
  SynchronousCard card(image);
  card.reset();
  EXPECT_EQ(toHex(card.exchangeApdu(hex("00 D6 00 00 01 00"))), "69 82");
  EXPECT_EQ(card.memory(), image.memory);
}

}  // namespace
}  // namespace keld::reader
