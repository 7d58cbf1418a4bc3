// The driver's own conversation with the reader: reset and identification,
// its commands, and the firmware query.

#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "driver/port_protocol.h"
#include "driver/reader_startup.h"
#include "driver_fixture.h"
#include "scripted_reader.h"
#include "support/port_script.h"

namespace keld::test {
namespace {

using namespace keldrin;

const Bytes CONFIGURATION_BLOCK = hex("12 00 08 80 60 01 00 03 28 01 00 D1");

Bytes identification(std::string_view text, bool zero = true) {
  Bytes bytes(text.begin(), text.end());
  if (zero) bytes.push_back(0);
  return bytes;
}

// The validating send of `block` (LRC included) to a ready reader.
void expectSend(PortScript& script, const Bytes& block) {
  script.read(REG_STATUS, SR_READY)
      .write(REG_CONTROL, CR_TRANSFER)
      .read(REG_STATUS, SR_READY)
      .write(REG_CONTROL, CR_TRANSFER)
      .write(REG_LEN_HI, static_cast<std::uint8_t>(block.size() >> 8))
      .write(REG_LEN_LO, static_cast<std::uint8_t>(block.size() & 0xFF))
      .writeBytes(REG_DATA, block)
      .write(REG_CONTROL, CR_IDLE);
}

void expectReceive(PortScript& script, const Bytes& block) {
  script.read(REG_STATUS, 0xC0)
      .write(REG_CONTROL, CR_TRANSFER)
      .read(REG_LEN_HI, static_cast<std::uint8_t>(block.size() >> 8))
      .read(REG_LEN_LO, static_cast<std::uint8_t>(block.size() & 0xFF))
      .readBytes(REG_DATA, block)
      .write(REG_CONTROL, CR_IDLE);
}

void expectConfiguration(PortScript& script) {
  expectSend(script, CONFIGURATION_BLOCK);
  expectReceive(script, hex("21 00 02 90 00 B3"));
}

// Reset pulse up to the end of the first block.
void expectIdentification(PortScript& script, const Bytes& text, std::uint8_t announced) {
  script.read(REG_STATUS, 0x00)  // nothing to flush
      .write(REG_CONTROL, CR_RESET)
      .write(REG_CONTROL, CR_IDLE)
      .read(REG_STATUS, SR_DATA_PENDING)
      .write(REG_CONTROL, CR_TRANSFER)
      .read(REG_LEN_HI, 0x00)
      .read(REG_LEN_LO, static_cast<std::uint8_t>(announced + 2))
      .read(REG_DATA, 0x00)
      .read(REG_DATA, announced)
      .readBytes(REG_DATA, text)
      .write(REG_CONTROL, CR_IDLE);
}

class HardwareResetTest : public PortFixture {
 protected:
  void SetUp() override {
    PortFixture::SetUp();
    reader.ConfigP1 = 1;
    attach(script);
  }
  PortScript script;
};

TEST_F(HardwareResetTest, RunsTheWholeSequenceAndConfiguresTheReader) {
  const Bytes text = identification("VNR Keldmatic 2.");
  expectIdentification(script, text, 17);
  script.write(REG_CONTROL, CR_SETUP)
      .read(REG_STATUS, 0x00)
      .read(REG_STATUS, SR_DATA_PENDING)
      .write(REG_CONTROL, CR_SETUP_TRANSFER)
      .read(REG_LEN_HI, 0x00)
      .read(REG_LEN_LO, 0x02)
      .readBytes(REG_DATA, hex("3B 7A"))
      .write(REG_CONTROL, CR_IDLE)
      .write(REG_CONTROL, CR_TRANSFER)
      .write(REG_LEN_HI, 0x00)
      .write(REG_LEN_LO, 0x02)
      .writeBytes(REG_DATA, hex("3B 7A"))
      .write(REG_CONTROL, CR_OPERATE)
      .read(REG_STATUS, SR_READY)
      .write(REG_CONTROL, CR_IDLE);
  expectConfiguration(script);
  const auto start = clock::now();
  EXPECT_EQ(ReaderHardwareReset(&reader), STATUS_SUCCESS);
  EXPECT_EQ(script.verify(), "");
  // Five 1 ms pauses, one missed poll, and the configuration's two length pauses.
  EXPECT_EQ(clock::now() - start, clock::milliseconds(5 + 5 + 2));
}

TEST_F(HardwareResetTest, TextContinuingAfterTheVersionFailsAndStillConfigures) {
  const Bytes text = identification("VNR Keldmatic 2.3", false);
  expectIdentification(script, text, 17);
  script.write(REG_CONTROL, CR_IDLE);
  expectConfiguration(script);
  EXPECT_EQ(ReaderHardwareReset(&reader), STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(script.verify(), "");
}

TEST_F(HardwareResetTest, AnnouncedTextLengthIsCappedAt32) {
  Bytes text = identification("VNR Keldmatic 2.");
  text.resize(32, 'x');
  expectIdentification(script, text, 40);  // eight announced bytes stay unread
  script.write(REG_CONTROL, CR_SETUP).read(REG_STATUS, 0x00);
  script.write(REG_CONTROL, CR_IDLE);
  expectConfiguration(script);
  reader.PollLimit = 1;
  EXPECT_EQ(ReaderHardwareReset(&reader), STATUS_DEVICE_BUSY);
  EXPECT_EQ(script.verify(), "");
}

TEST_F(HardwareResetTest, TextShorterThanTheConstantNeverMatches) {
  // The 16 characters without their zero byte: nothing the reader sent fills byte 17.
  const Bytes text = identification("VNR Keldmatic 2.", false);
  expectIdentification(script, text, 16);
  script.write(REG_CONTROL, CR_IDLE);
  expectConfiguration(script);
  EXPECT_EQ(ReaderHardwareReset(&reader), STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(script.verify(), "");
}

TEST_F(HardwareResetTest, SilentReaderIsBusyAndStillConfigured) {
  reader.PollLimit = 2;
  script.read(REG_STATUS, 0x00)
      .write(REG_CONTROL, CR_RESET)
      .write(REG_CONTROL, CR_IDLE)
      .reads(REG_STATUS, 0x00, 2)
      .write(REG_CONTROL, CR_IDLE);
  expectConfiguration(script);
  EXPECT_EQ(ReaderHardwareReset(&reader), STATUS_DEVICE_BUSY);
  EXPECT_EQ(script.verify(), "");
}

// The driver's commands against a reader model that answers them.
class ReaderCommandTest : public PortFixture {
 protected:
  void SetUp() override {
    PortFixture::SetUp();
    reader.ConfigP1 = 1;
    attach(model);
    // The model starts in reset like a reader after power-on.
    ASSERT_EQ(ReaderHardwareReset(&reader), STATUS_SUCCESS);
  }
  void answerWith(const Bytes& answer) {
    model.respond([answer](const Bytes&) { return std::optional<Bytes>(answer); });
  }
  ScriptedReader model;
};

TEST_F(ReaderCommandTest, EveryResetIsFollowedByTheConfigurationBlock) {
  ASSERT_EQ(ReaderHardwareReset(&reader), STATUS_SUCCESS);
  const auto blocks = model.received();
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(toHex(blocks[0]), toHex(CONFIGURATION_BLOCK));
  EXPECT_EQ(toHex(blocks[1]), toHex(CONFIGURATION_BLOCK));
}

TEST_F(ReaderCommandTest, VersionQueryReadsFile0020) {
  EXPECT_EQ(ReaderQueryVersion(&reader), STATUS_SUCCESS);
  EXPECT_EQ(reader.FwMajor, 2);
  EXPECT_EQ(reader.FwMinor, 0x32);
  EXPECT_EQ(reader.FwVariant, 5);
  const auto blocks = model.received();
  ASSERT_EQ(blocks.size(), 4u);
  EXPECT_EQ(toHex(blocks[1]), "12 00 07 00 A4 00 00 02 3F 00 8C");
  EXPECT_EQ(toHex(blocks[2]), "12 00 07 00 A4 00 00 02 00 20 93");
  EXPECT_EQ(toHex(blocks[3]), "12 00 05 00 B0 00 00 00 A7");
}

TEST_F(ReaderCommandTest, VersionQueryWithoutVariantKeepsTheOldVariant) {
  reader.FwVariant = 9;
  model.setInfoFile(hex("0F 04 34 2E 30 30"));
  EXPECT_EQ(ReaderQueryVersion(&reader), STATUS_SUCCESS);
  EXPECT_EQ(reader.FwMajor, 4);
  EXPECT_EQ(reader.FwMinor, 0x00);
  EXPECT_EQ(reader.FwVariant, 9);
}

TEST_F(ReaderCommandTest, VersionRecordTooShortLeavesTheFieldsAlone) {
  model.setInfoFile(hex("0F 02 33 2E"));
  EXPECT_EQ(ReaderQueryVersion(&reader), STATUS_SUCCESS);
  EXPECT_EQ(reader.FwMajor, 0);
  EXPECT_EQ(reader.FwMinor, 0);
}

struct CommandCase {
  const char* name;
  const char* answer;
  NTSTATUS terminalReset;
  NTSTATUS selectFile;
  NTSTATUS configure;
};

class CommandAnswerTest : public ReaderCommandTest, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(CommandAnswerTest, EvaluatesTheStatusWord) {
  const CommandCase& c = GetParam();
  answerWith(hex(c.answer));
  EXPECT_EQ(ReaderResetTerminal(&reader), c.terminalReset);
  EXPECT_EQ(ReaderSelectFile(&reader, 0x3F00), c.selectFile);
  const std::array<UCHAR, 3> data = {0x28, 0x01, 0x00};
  EXPECT_EQ(ReaderConfigure(&reader, 1, data.data(), 3), c.configure);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, CommandAnswerTest,
    ::testing::Values(
        CommandCase{"Bare9000", "21 00 02 90 00 B3", STATUS_SUCCESS, STATUS_SUCCESS, STATUS_SUCCESS},
        CommandCase{"Bare9001", "21 00 02 90 01 B2", STATUS_SUCCESS, STATUS_SUCCESS, STATUS_INVALID_DEVICE_STATE},
        CommandCase{"Bare6A82", "21 00 02 6A 82 CB", STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL,
                    STATUS_UNSUCCESSFUL},
        CommandCase{"Bare64A8", "21 00 02 64 A8 EF", STATUS_IO_TIMEOUT, STATUS_IO_TIMEOUT, STATUS_IO_TIMEOUT},
        CommandCase{"DataEnding64A1", "21 00 03 01 64 A1 E6", STATUS_NO_MEDIA, STATUS_SUCCESS,
                    STATUS_INVALID_DEVICE_STATE},
        CommandCase{"DataEnding6A82", "21 00 03 01 6A 82 CB", STATUS_UNRECOGNIZED_MEDIA, STATUS_UNSUCCESSFUL,
                    STATUS_INVALID_DEVICE_STATE},
        CommandCase{"WrongLrc", "21 00 02 90 00 B4", STATUS_DATA_ERROR, STATUS_DATA_ERROR, STATUS_DATA_ERROR},
        // A card change in place of the answer: the command got no answer.
        CommandCase{"Notification", "21 00 05 30 00 01 00 00 15", STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL,
                    STATUS_UNSUCCESSFUL}),
    [](const ::testing::TestParamInfo<CommandCase>& info) { return std::string(info.param.name); });

TEST_F(ReaderCommandTest, ReadBinaryHandsOverDataAndFirstStatusByte) {
  answerWith(hex("21 00 05 AA BB CC 90 00 69"));
  std::array<UCHAR, 8> data{};
  ULONG length = 8;
  ASSERT_EQ(ReaderReadBinary(&reader, 0, data.data(), &length), STATUS_SUCCESS);
  EXPECT_EQ(length, 4u);
  EXPECT_EQ(toHex({data.data(), 4}), "AA BB CC 90");

  length = 3;
  EXPECT_EQ(ReaderReadBinary(&reader, 0, data.data(), &length), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(ReaderReadBinary(&reader, 0, nullptr, &length), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ReaderReadBinary(&reader, 0, data.data(), nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(ReaderCommandTest, ReadBinaryRefusesTheFileAccessStatusWords) {
  for (const char* answer : {"21 00 03 00 62 82 C2", "21 00 03 00 69 82 C9", "21 00 03 00 69 85 CE",
                             "21 00 03 00 6B 00 49"}) {
    answerWith(hex(answer));
    std::array<UCHAR, 8> data{};
    ULONG length = 8;
    EXPECT_EQ(ReaderReadBinary(&reader, 0, data.data(), &length), STATUS_UNSUCCESSFUL) << answer;
  }
}

TEST_F(ReaderCommandTest, NotificationInPlaceOfAnAnswerSetsOffTheCallback) {
  int calls = 0;
  reader.CallbackContext = &calls;
  reader.CardChangeCallback = [](PVOID context, BOOLEAN, ULONG) { ++*static_cast<int*>(context); };
  answerWith(hex("21 00 05 30 00 00 00 00 14"));
  EXPECT_EQ(ReaderResetTerminal(&reader), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(calls, 1);
}

struct TlvCase {
  const char* name;
  const char* data;
  UCHAR tag;
  NTSTATUS status;
  const char* value;  // the bytes copied
  UCHAR valueLength;
};

class FindTlvTest : public ::testing::TestWithParam<TlvCase> {};

TEST_P(FindTlvTest, WalksTheRecords) {
  const TlvCase& c = GetParam();
  const Bytes data = hex(c.data);
  std::array<UCHAR, 20> value{};
  value.fill(0xEE);
  UCHAR valueLength = 0;
  EXPECT_EQ(FindTlv(c.tag, data.data(), static_cast<ULONG>(data.size()), &valueLength, value.data()), c.status);
  const Bytes expected = hex(c.value);
  EXPECT_EQ(toHex({value.data(), expected.size()}), toHex(expected));
  EXPECT_EQ(value[expected.size()], 0xEE);
  if (c.status == STATUS_SUCCESS) {
    EXPECT_EQ(valueLength, c.valueLength);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Records, FindTlvTest,
    ::testing::Values(
        TlvCase{"First", "0F 04 32 2E 33 32 08 01 05", 0x0F, STATUS_SUCCESS, "32 2E 33 32", 4},
        TlvCase{"Second", "0F 04 32 2E 33 32 08 01 05", 0x08, STATUS_SUCCESS, "05", 1},
        TlvCase{"Absent", "0F 04 32 2E 33 32", 0x08, STATUS_UNSUCCESSFUL, "", 0},
        TlvCase{"ValueRunsPastTheData", "08 05 01 02", 0x08, STATUS_SUCCESS, "01 02", 5},
        TlvCase{"TagWithoutLengthByte", "0F 01 33 08", 0x08, STATUS_UNSUCCESSFUL, "", 0},
        TlvCase{"AtMostSixteenBytes", "01 12 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11", 0x01,
                STATUS_SUCCESS, "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F", 0x12}),
    [](const ::testing::TestParamInfo<TlvCase>& info) { return std::string(info.param.name); });

TEST(FindTlv, RefusesAbsentPointers) {
  const Bytes data = hex("08 01 05");
  UCHAR length = 0;
  std::array<UCHAR, 16> value{};
  EXPECT_EQ(FindTlv(8, nullptr, 3, &length, value.data()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(FindTlv(8, data.data(), 3, nullptr, value.data()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(FindTlv(8, data.data(), 3, &length, nullptr), STATUS_INVALID_PARAMETER);
}

}  // namespace
}  // namespace keld::test
