#include "reader/t1_frame.h"

#include <gtest/gtest.h>

#include "support/hex.h"

namespace keld::reader {
namespace {

using test::hex;
using test::toHex;

TEST(T1Frame, EpiloguesMatchTheLinkExamples) {
  Bytes terminalReset = hex("12 00 05 20 10 00 00 00");
  appendEpilogue(terminalReset, Epilogue::Lrc);
  EXPECT_EQ(toHex(terminalReset), "12 00 05 20 10 00 00 00 27");

  Bytes digits = hex("31 32 33 34 35 36 37 38 39");
  appendEpilogue(digits, Epilogue::Crc);
  EXPECT_EQ(toHex(digits), "31 32 33 34 35 36 37 38 39 6E 90");
}

TEST(T1Frame, CheckReportsLengthAndEpilogueFaultsApart) {
  struct Case {
    const char* block;
    Epilogue epilogue;
    bool longForm;
    FrameCheck expected;
    std::size_t infLength;
  };
  const Case cases[] = {
      {"12 00 05 20 10 00 00 00 27", Epilogue::Lrc, false, FrameCheck::Good, 5},
      {"12 00 05 20 10 00 00 00 26", Epilogue::Lrc, false, FrameCheck::BadEpilogue, 5},
      {"12 00 05 20 10 00 00 27", Epilogue::Lrc, false, FrameCheck::BadLength, 0},
      {"12 00 12", Epilogue::Lrc, false, FrameCheck::BadLength, 0},
      {"00 90 00 90", Epilogue::Lrc, false, FrameCheck::Good, 0},
      {"31 32 33 34 35 36 37 38 39 6E 90", Epilogue::Lrc, false, FrameCheck::BadLength, 0},
  };
  for (const Case& c : cases) {
    const Frame frame = checkFrame(hex(c.block), c.epilogue, c.longForm);
    EXPECT_EQ(frame.check, c.expected) << c.block;
    if (c.expected == FrameCheck::Good) {
      EXPECT_EQ(frame.inf.size(), c.infLength) << c.block;
    }
  }
}

TEST(T1Frame, LongFormOnlyWhenAllowedAndNeeded) {
  const Bytes inf(300, 0x5A);
  const Bytes longBlock = buildBlock(0x20, 0x00, inf, Epilogue::Crc, true);
  ASSERT_EQ(longBlock.size(), 5 + 300 + 2u);
  EXPECT_EQ(toHex(std::span(longBlock).first(5)), "20 00 FF 01 2C");
  const Frame frame = checkFrame(longBlock, Epilogue::Crc, true);
  EXPECT_EQ(frame.check, FrameCheck::Good);
  EXPECT_EQ(frame.inf, inf);
  // Without the long form the same LEN byte is the length 255.
  EXPECT_EQ(checkFrame(longBlock, Epilogue::Crc, false).check, FrameCheck::BadLength);

  const Bytes shortInf(254, 0x01);
  EXPECT_EQ(buildBlock(0x20, 0x00, shortInf, Epilogue::Lrc, true)[2], 254);
}

}  // namespace
}  // namespace keld::reader
