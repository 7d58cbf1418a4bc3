// Answers to reset: the ATRs the cards build read back as what they say.

#include "reader/cards/atr.h"

#include <gtest/gtest.h>

#include "support/hex.h"

namespace keld::reader {
namespace {

using test::hex;
using test::toHex;

TEST(Atr, BuiltT1AtrReadsBack) {
  const Bytes atr = buildT1Atr(0xFE, 4, 5, defaultHistorical);
  EXPECT_EQ(toHex(atr), "3B 84 81 31 FE 45 4B 45 4C 44 89");
  auto summary = readAtr(atr);
  ASSERT_TRUE(std::holds_alternative<AtrSummary>(summary)) << std::get<std::string>(summary);
  const AtrSummary& parts = std::get<AtrSummary>(summary);
  EXPECT_TRUE(parts.offersT1);
  EXPECT_FALSE(parts.offersT0);
  EXPECT_EQ(parts.ifsc, 0xFE);
  EXPECT_EQ(parts.blockWaiting, 0x45);
  EXPECT_EQ(toHex(parts.historical), "4B 45 4C 44");
}

TEST(Atr, T0AtrHasNoTck) {
  auto summary = readAtr(buildT0Atr(defaultHistorical));
  ASSERT_TRUE(std::holds_alternative<AtrSummary>(summary));
  EXPECT_TRUE(std::get<AtrSummary>(summary).offersT0);
  EXPECT_FALSE(std::get<AtrSummary>(summary).ifsc);
  // T=0 in TD1 and TA1, TB1, TC1: still no TCK.
  EXPECT_TRUE(std::holds_alternative<AtrSummary>(readAtr(hex("3B F2 11 00 FF 00 4B 45"))));
  // A TCK where only T=0 is offered is one byte too many.
  EXPECT_TRUE(std::holds_alternative<std::string>(readAtr(hex("3B 02 4B 45 0E"))));
}

TEST(Atr, T0AndT1Offered) {
  // TD1 offers T=0, TD2 T=1 with TA3 and TB3.
  Bytes withTck = hex("3B 80 80 31 3F 45");
  std::uint8_t tck = 0;
  for (std::size_t i = 1; i < withTck.size(); ++i) tck ^= withTck[i];
  withTck.push_back(tck);
  auto read = readAtr(withTck);
  ASSERT_TRUE(std::holds_alternative<AtrSummary>(read)) << std::get<std::string>(read);
  EXPECT_TRUE(std::get<AtrSummary>(read).offersT0);
  EXPECT_TRUE(std::get<AtrSummary>(read).offersT1);
  EXPECT_EQ(std::get<AtrSummary>(read).ifsc, 0x3F);
}

}  // namespace
}  // namespace keld::reader
