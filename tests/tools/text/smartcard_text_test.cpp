#include "tools/smartcard_text.h"

#include <gtest/gtest.h>

namespace keld::tools {
namespace {

TEST(ParseHex, AcceptsTheUsualSpellings) {
  for (const char* text : {"00 A4 04 00", "00a40400", "00:A4:04:00", "  00  A4 04\t00 "}) {
    HexError error;
    auto bytes = parseHex(text, &error);
    ASSERT_TRUE(bytes) << text;
    EXPECT_EQ(formatHex(*bytes), "00 A4 04 00") << text;
  }
}

TEST(ParseHex, NamesTheFaultyCharacter) {
  struct Case {
    const char* text;
    std::size_t position;
    const char* reason;
  };
  for (const Case& c : {Case{"00 A4 0g 00", 7, "'g' is not a hex digit"},
                        Case{"00 A4 0 400", 6, "a byte needs two hex digits"},
                        Case{"00 A", 3, "a byte needs two hex digits"}}) {
    HexError error;
    EXPECT_FALSE(parseHex(c.text, &error)) << c.text;
    EXPECT_EQ(error.position, c.position) << c.text;
    EXPECT_EQ(error.reason, c.reason) << c.text;
  }
}

TEST(StatusWords, AreExplained) {
  EXPECT_EQ(describeStatusWord(0x90, 0x00), "success");
  EXPECT_EQ(describeStatusWord(0x6A, 0x82), "file or application not found");
  EXPECT_EQ(describeStatusWord(0x61, 0x10), "success, 16 more bytes available (GET RESPONSE)");
  EXPECT_EQ(describeStatusWord(0x63, 0xC2), "verification failed, 2 tries left");
  EXPECT_TRUE(statusWordIsSuccess(0x90, 0x01));
  EXPECT_FALSE(statusWordIsSuccess(0x64, 0xA8));
  EXPECT_EQ(ctApiCodeName(-10), "ERR_TRANS");
  EXPECT_EQ(ctApiCodeName(-128), "ERR_HTSI");
}

TEST(AnswerToReset, DecodesAT1CardWithItsChecksum) {
  // TS T0 TD1(T=1) TD2(TA3 TB3, T=1) TA3 TB3 historical "KELD" TCK
  Bytes atr = {0x3B, 0x84, 0x81, 0x31, 0xFE, 0x45, 'K', 'E', 'L', 'D'};
  std::uint8_t tck = 0;
  for (std::size_t i = 1; i < atr.size(); ++i) tck ^= atr[i];
  atr.push_back(tck);
  AnswerToReset decoded = decodeAnswerToReset(atr);
  EXPECT_FALSE(decoded.problem) << *decoded.problem;
  EXPECT_EQ(decoded.protocols, (std::vector<int>{1, 1}));
  ASSERT_EQ(decoded.interfaceBytes.size(), 4u);
  EXPECT_EQ(decoded.interfaceBytes[2].name, "TA3");
  EXPECT_EQ(decoded.interfaceBytes[2].value, 0xFE);
  EXPECT_EQ(formatHex(decoded.historicalBytes), "4B 45 4C 44");
  EXPECT_TRUE(decoded.tckValid);

  atr.back() ^= 1;
  EXPECT_FALSE(decodeAnswerToReset(atr).tckValid);
}

TEST(AnswerToReset, ReportsTruncatedAnswers) {
  EXPECT_TRUE(decodeAnswerToReset(Bytes{0x3B}).problem);
  EXPECT_EQ(*decodeAnswerToReset(Bytes{0x3B, 0x90}).problem, "interface bytes announced but missing");
  EXPECT_EQ(*decodeAnswerToReset(Bytes{0x3B, 0x02, 0x41}).problem, "historical bytes announced but missing");
  AnswerToReset t0 = decodeAnswerToReset(Bytes{0x3B, 0x00});
  EXPECT_FALSE(t0.problem);
  EXPECT_EQ(t0.protocols, std::vector<int>{0});
}

}  // namespace
}  // namespace keld::tools
