// T=1 block format: epilogues, both length forms, the card address rewrite,
// the frame check of answers and the I-block validity test.

#include <gtest/gtest.h>

#include <algorithm>

#include "ctapi/link/blocks.h"
#include "link_fixture.h"

namespace keld::test {
namespace {

using keldapi::lib;

class BlocksTest : public LibraryTest {
 protected:
  std::string built(std::uint8_t nad, std::uint8_t pcb, std::string_view infHex) {
    const Bytes inf = hex(infHex);
    const std::size_t n =
        keldapi::buildBlock(nad, pcb, static_cast<std::uint16_t>(inf.size()), inf.data());
    return toHex(std::span<const std::uint8_t>(lib.blockBuffer.data(), n));
  }
  // Puts `answer` where the transmit call leaves it and runs the frame check.
  int take(const Bytes& answer) {
    std::copy(answer.begin(), answer.end(), lib.answerBuffer.begin());
    lib.answerByteCount = static_cast<std::uint32_t>(answer.size());
    return keldapi::takeAnswer();
  }
};

TEST(Crc, TableAndCheckValueOfX25) {
  EXPECT_EQ(keldapi::crcTable[0], 0x0000);
  EXPECT_EQ(keldapi::crcTable[1], 0x1189);
  EXPECT_EQ(keldapi::crcTable[2], 0x2312);
  EXPECT_EQ(keldapi::crcTable[255], 0x0F78);
  const Bytes digits = hex("31 32 33 34 35 36 37 38 39");
  // The standard check value 0x906E is the register's complement.
  EXPECT_EQ(static_cast<std::uint16_t>(~keldapi::computeCrc(digits)), 0x906E);
}

TEST(Crc, EpilogueGoesLowByteFirstAndTheBlockChecksGood) {
  std::array<std::uint8_t, 11> block{};
  const Bytes digits = hex("31 32 33 34 35 36 37 38 39");
  std::copy(digits.begin(), digits.end(), block.begin());
  ASSERT_EQ(keldapi::appendCrc(block, 9), 11u);
  EXPECT_EQ(toHex(std::span<const std::uint8_t>(block).subspan(9)), "6E 90");
  EXPECT_TRUE(keldapi::checkCrc(block));
  block[4] ^= 0x01;
  EXPECT_FALSE(keldapi::checkCrc(block));
  block[4] ^= 0x01;
  std::swap(block[9], block[10]);
  EXPECT_FALSE(keldapi::checkCrc(block));
}

TEST(Lrc, AppendAndCheck) {
  std::array<std::uint8_t, 4> block{0x00, 0x90, 0x00, 0x00};
  ASSERT_EQ(keldapi::appendLrc(block, 3), 4u);
  EXPECT_EQ(block[3], 0x90);
  EXPECT_TRUE(keldapi::checkLrc(block));
  block[1] = 0x80;
  EXPECT_FALSE(keldapi::checkLrc(block));
  EXPECT_FALSE(keldapi::checkLrc({}));
}

TEST_F(BlocksTest, TerminalCommandWithLrc) {
  EXPECT_EQ(built(0x12, 0x00, "20 14 01 00 00"), "12 00 05 20 14 01 00 00 22");
}

TEST_F(BlocksTest, CrcEpilogueWhenSelected) {
  lib.edcMode = 0;
  const std::string block = built(0x12, 0x00, "20 14 01 00 00");
  ASSERT_EQ(block.size(), 3u * 10 - 1);
  const Bytes bytes = hex(block);
  EXPECT_TRUE(keldapi::checkCrc(bytes));
}

TEST_F(BlocksTest, CardAddressIsRewrittenFromFirmware107On) {
  lib.firmwareVersion = 0x106;
  EXPECT_EQ(built(0x02, 0x40, "00 B0 00 00 00").substr(0, 2), "02");
  lib.firmwareVersion = 0x107;
  EXPECT_EQ(built(0x02, 0x40, "00 B0 00 00 00").substr(0, 2), "00");
  EXPECT_EQ(built(0x12, 0x00, "20 14 01 00 00").substr(0, 2), "12");
  lib.firmwareVersion = 0x232;
  EXPECT_EQ(built(0x02, 0x00, "").substr(0, 2), "00");
}

struct LengthFormCase {
  const char* name;
  std::int16_t firmware;
  std::int32_t edcMode;
  std::uint16_t infLength;
  std::size_t expectedLength;  // 0: refused, nothing built
  const char* expectedPrologue;
};

class BlockLengthForms : public BlocksTest, public ::testing::WithParamInterface<LengthFormCase> {};

TEST_P(BlockLengthForms, LongFormOnlyForNewerFirmwareAndNothingBeyondTheBuffer) {
  const LengthFormCase& c = GetParam();
  lib.firmwareVersion = c.firmware;
  lib.edcMode = c.edcMode;
  lib.blockBuffer.fill(0xAA);
  const Bytes inf(c.infLength, 0x5A);
  const std::size_t n = keldapi::buildBlock(0x12, 0x00, c.infLength, inf.data());
  EXPECT_EQ(n, c.expectedLength);
  if (n == 0) {
    EXPECT_EQ(lib.blockBuffer[0], 0xAA);  // untouched
    return;
  }
  const std::string prologue(c.expectedPrologue);
  EXPECT_EQ(toHex(std::span<const std::uint8_t>(lib.blockBuffer.data(), (prologue.size() + 1) / 3)),
            prologue);
  const std::span<const std::uint8_t> block(lib.blockBuffer.data(), n);
  EXPECT_TRUE(c.edcMode == 1 ? keldapi::checkLrc(block) : keldapi::checkCrc(block));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BlockLengthForms,
    ::testing::Values(
        LengthFormCase{"ShortAt254", 0x124, 1, 254, 258, "12 00 FE"},
        LengthFormCase{"LongAt255From118", 0x118, 1, 255, 261, "12 00 FF 00 FF"},
        LengthFormCase{"LongWith124", 0x124, 1, 260, 266, "12 00 FF 01 04"},
        LengthFormCase{"NoLongFormWith205", 0x205, 1, 255, 0, ""},
        LengthFormCase{"NoLongFormWith117", 0x117, 1, 260, 0, ""},
        // 5 + INF + epilogue must stay within the 270 bytes.
        LengthFormCase{"LrcFillsTheBufferAt264", 0x124, 1, 264, 270, "12 00 FF 01 08"},
        LengthFormCase{"LrcBeyondTheBufferAt265", 0x124, 1, 265, 0, ""},
        LengthFormCase{"CrcFillsTheBufferAt263", 0x124, 0, 263, 270, "12 00 FF 01 07"},
        LengthFormCase{"CrcBeyondTheBufferAt264", 0x124, 0, 264, 0, ""}),
    [](const auto& info) { return std::string(info.param.name); });

struct FrameCase {
  const char* name;
  std::int16_t firmware;
  std::int32_t edcMode;
  Bytes answer;
  int good;
  std::int16_t blockLength;
  std::int32_t extendedLength;
};

Bytes blockOf(std::string_view prologue, std::size_t infLength, int edcMode, int lengthDelta = 0,
              bool spoil = false) {
  Bytes block = hex(prologue);
  block.resize(block.size() + infLength, 0x31);
  if (edcMode == 1) {
    std::uint8_t lrc = 0;
    for (std::uint8_t b : block) lrc ^= b;
    block.push_back(lrc);
  } else {
    std::array<std::uint8_t, 300> buffer{};
    std::copy(block.begin(), block.end(), buffer.begin());
    const std::size_t n = keldapi::appendCrc(buffer, block.size());
    block.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
  }
  if (spoil) block.back() ^= 0x01;
  if (lengthDelta > 0) block.push_back(0x00);
  if (lengthDelta < 0) block.pop_back();
  return block;
}

class FrameCheck : public BlocksTest, public ::testing::WithParamInterface<FrameCase> {};

TEST_P(FrameCheck, AnswerIsTakenOverAndChecked) {
  const FrameCase& c = GetParam();
  lib.firmwareVersion = c.firmware;
  lib.edcMode = c.edcMode;
  lib.extendedLength = 7;
  EXPECT_EQ(take(c.answer), c.good);
  EXPECT_EQ(lib.blockLength, c.blockLength);
  EXPECT_EQ(lib.linkPhase, c.good != 0 ? 6 : 7);
  if (c.good != 0) {
    EXPECT_EQ(lib.extendedLength, c.extendedLength);
    EXPECT_EQ(keldapi::infOffset(), c.extendedLength != 0 ? 5u : 3u);
    EXPECT_TRUE(std::equal(c.answer.begin(), c.answer.end(), lib.blockBuffer.begin()));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FrameCheck,
    ::testing::Values(
        FrameCase{"FourBytesWithEmptyInf", 0x124, 1, hex("21 00 00 21"), 1, 0, 0},
        FrameCase{"StatusWord", 0x124, 1, hex("21 00 02 90 00 B3"), 1, 2, 0},
        FrameCase{"ThreeBytesIsAnEpilogueError", 0x124, 1, hex("21 00 00"), 0, -128, 0},
        FrameCase{"OneByteMore", 0x124, 1, blockOf("21 00 02", 2, 1, +1), 0, -5, 0},
        FrameCase{"OneByteLess", 0x124, 1, blockOf("21 00 02", 2, 1, -1), 0, -5, 0},
        FrameCase{"WrongLrc", 0x124, 1, blockOf("20 00 02", 2, 1, 0, true), 0, -128, 0},
        FrameCase{"NoAnswerBytes", 0x124, 1, Bytes{}, 0, -5, 0},
        FrameCase{"GoodCrc", 0x124, 0, blockOf("20 40 09", 9, 0), 1, 9, 0},
        FrameCase{"WrongCrc", 0x124, 0, blockOf("20 40 09", 9, 0, 0, true), 0, -128, 0},
        FrameCase{"LrcBlockUnderCrc", 0x124, 0, hex("21 00 02 90 00 B3"), 0, -5, 0},
        FrameCase{"LongFormWith124", 0x124, 1, blockOf("20 00 FF 01 00", 256, 1), 1, 256, 1},
        FrameCase{"FFIsTheLength255With107", 0x107, 1, blockOf("20 00 FF", 255, 1), 1, 255, 0},
        FrameCase{"LongFormMarkWithoutItsLengthBytes", 0x124, 1, hex("21 00 FF DE"), 0, -5, 0},
        FrameCase{"LongFormLengthBeyondTheAnswer", 0x124, 1, blockOf("20 00 FF FF FF", 4, 1), 0,
                  -5, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BlocksTest, AnswerCountIsReadAsSigned16Bit) {
  lib.answerByteCount = 0x8004;  // negative as 16 bits
  EXPECT_EQ(keldapi::takeAnswer(), 0);
  EXPECT_EQ(lib.blockLength, -5);
}

struct IBlockCase {
  const char* name;
  std::uint8_t cardProtocol;
  std::uint8_t nad;
  std::uint8_t pcb;
  int valid;
};

class IBlockValidity : public BlocksTest, public ::testing::WithParamInterface<IBlockCase> {};

TEST_P(IBlockValidity, AddressAndControlByteTest) {
  const IBlockCase& c = GetParam();
  lib.links[0].cardProtocol = c.cardProtocol;
  EXPECT_EQ(keldapi::isValidIBlock(0, c.nad, c.pcb), c.valid);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IBlockValidity,
    ::testing::Values(IBlockCase{"CardReservedBitsT1", 2, 0x20, 0x01, 0},
                      IBlockCase{"CardReservedBitsOtherProtocol", 0, 0x20, 0x01, 1},
                      IBlockCase{"TerminalWhateverItsBits", 2, 0x21, 0x1F, 1},
                      IBlockCase{"CardNormal", 2, 0x20, 0x40, 1},
                      IBlockCase{"CardMoreData", 2, 0x20, 0x20, 1},
                      IBlockCase{"NadZero", 2, 0x00, 0x00, 1},
                      IBlockCase{"VppBitSet", 2, 0xA0, 0x00, 0},
                      IBlockCase{"LowVppBitSet", 2, 0x28, 0x00, 0},
                      IBlockCase{"EqualNibbles", 2, 0x22, 0x00, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(IBlockValidity, TerminalOutsideTheTableIsInvalid) {
  EXPECT_EQ(keldapi::isValidIBlock(7, 0x21, 0x00), 0);
  EXPECT_EQ(keldapi::isValidIBlock(-1, 0x21, 0x00), 0);
}

}  // namespace
}  // namespace keld::test
